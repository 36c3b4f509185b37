// Helpers the test programs share: waiting for what another thread or
// process brings about, a private scratch directory that goes away with the
// test, and frames compressed the way the encoder compresses them.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <lz4.h>

namespace qb::test {

// True once `pred` holds; false when the deadline passes first. A costly
// `pred` (one that starts a process, say) is asked every `poll`.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10),
    std::chrono::milliseconds poll = std::chrono::milliseconds(0))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        if (poll.count() > 0) std::this_thread::sleep_for(poll);
        else std::this_thread::yield();
    }
    return true;
}

// Sets an environment variable (or, with nullopt, removes it) for the
// object's lifetime; the previous value, copied, comes back afterwards.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name))
    {
        if (const char* old = std::getenv(name_.c_str())) saved_ = old;
        set(value);
    }
    ~ScopedEnv() { set(saved_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value) const
    {
        if (value) ::setenv(name_.c_str(), value->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }

    std::string name_;
    std::optional<std::string> saved_;
};

// Empty when the file is gone, also while it is read (a process that ended
// takes its /proc files with it: the read fails, and the stream throws).
inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    try {
        return {std::istreambuf_iterator<char>(in), {}};
    } catch (const std::ios_base::failure&) {
        return {};
    }
}

inline void writeFile(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// What a shell command line prints on standard output.
inline std::string commandOutput(const std::string& command)
{
    std::string text;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (pipe) ::pclose(pipe);
    return text;
}

// A fresh directory under the temporary directory, removed with everything
// in it when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "qb-test")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // An executable shell script standing in for a tool; returns its path.
    std::string script(const std::string& name, const std::string& body) const
    {
        const auto file = path_ / name;
        writeFile(file, "#!/bin/sh\n" + body + "\n");
        ::chmod(file.c_str(), 0755);
        return file.string();
    }

private:
    std::filesystem::path path_;
};

// An LZ4 block of `raw`: a keyframe is the block of the frame, a delta the
// block of its XOR with the previous frame.
inline std::vector<std::uint8_t> lz4(const std::vector<std::uint8_t>& raw)
{
    std::vector<std::uint8_t> out(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(raw.size()))));
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(raw.data()), reinterpret_cast<char*>(out.data()),
        static_cast<int>(raw.size()), static_cast<int>(out.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// `payload` decoded as one LZ4 block of exactly `size` bytes; nothing when it is not one.
inline std::optional<std::vector<std::uint8_t>> unlz4(std::span<const std::uint8_t> payload, std::size_t size)
{
    std::vector<std::uint8_t> out(size);
    const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(payload.data()), reinterpret_cast<char*>(out.data()),
        static_cast<int>(payload.size()), static_cast<int>(size));
    if (n != static_cast<int>(size)) return std::nullopt;
    return out;
}

inline std::vector<std::uint8_t> xorDelta(const std::vector<std::uint8_t>& frame, const std::vector<std::uint8_t>& previous)
{
    std::vector<std::uint8_t> delta(frame.size());
    for (std::size_t i = 0; i < delta.size(); ++i) delta[i] = frame[i] ^ previous[i];
    return delta;
}

} // namespace qb::test
