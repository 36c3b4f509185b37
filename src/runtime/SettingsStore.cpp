#include "runtime/SettingsStore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <thread>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "config/Text.h"
#include "runtime/DurableFile.h"
#include "runtime/RuntimeLog.h"
#include "runtime/Clock.h"

namespace qb {

using Json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Identifies one version of the file: every write renames a new file into
// place, so the inode and change time move on with each write.
struct FileSignature {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t mtimeNs = 0;
    std::int64_t ctimeNs = 0;
    bool operator==(const FileSignature&) const = default;
};

std::optional<FileSignature> signatureOf(const fs::path& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileSignature{st.st_dev, st.st_ino, st.st_size,
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

std::string errnoText(int error) { return std::strerror(error); }

// Deeply nested input would take the parser and the destructor down a very
// long road; a settings file is one flat object.
bool nestingWithin(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

enum class ReadOutcome { ok, missing, corrupt, unreadable };

struct ReadResult {
    ReadOutcome outcome = ReadOutcome::missing;
    Json document = Json::object();
    std::optional<FileSignature> signature;
    std::string problem; // why the file is corrupt or unreadable
};

ReadResult readDocument(const fs::path& path)
{
    ReadResult result;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) return result;
        result.outcome = ReadOutcome::unreadable;
        result.problem = errnoText(error);
        return result;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        result.outcome = ReadOutcome::unreadable;
        result.problem = "not a regular file";
        return result;
    }
    result.signature = FileSignature{st.st_dev, st.st_ino, st.st_size,
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
        static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec};

    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            result.outcome = ReadOutcome::unreadable;
            result.problem = errnoText(errno);
            return result;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }

    // An empty file holds nothing that could be lost.
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        result.outcome = ReadOutcome::ok;
        return result;
    }
    if (!nestingWithin(text, 64)) {
        result.outcome = ReadOutcome::corrupt;
        result.problem = "nested too deeply";
        return result;
    }
    Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        result.outcome = ReadOutcome::corrupt;
        result.problem = parsed.is_discarded() ? "not valid JSON" : "not a JSON object";
        return result;
    }
    result.outcome = ReadOutcome::ok;
    result.document = std::move(parsed);
    return result;
}

// "settings.json.bad"; "settings.json.bad-2", "-3", ... when earlier bad
// copies are still there, so none of them is ever overwritten.
std::optional<fs::path> moveAside(const fs::path& path, std::string& error)
{
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        fs::path target = path;
        target += attempt == 1 ? std::string(".bad") : fmt::format(".bad-{}", attempt);
        std::error_code ec;
        if (fs::exists(target, ec) || ec) continue;
        if (::rename(path.c_str(), target.c_str()) == 0) return target;
        error = errnoText(errno);
        return std::nullopt;
    }
    error = "no free name to move it to";
    return std::nullopt;
}

// Holds the advisory lock that serialises writers across processes.
class FileLock {
public:
    static std::optional<FileLock> acquire(
        const fs::path& lockPath, std::chrono::steady_clock::duration timeout, std::string& error)
    {
        FileDescriptor fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!fd) {
            error = "cannot open " + lockPath.string() + ": " + errnoText(errno);
            return std::nullopt;
        }
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        auto pause = std::chrono::microseconds(100);
        for (;;) {
            if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return FileLock(fd.release());
            if (errno != EWOULDBLOCK && errno != EINTR) {
                error = "cannot lock " + lockPath.string() + ": " + errnoText(errno);
                return std::nullopt;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                error = "timed out waiting for the lock on " + lockPath.string();
                return std::nullopt;
            }
            // Another process is in the middle of a write: milliseconds.
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::microseconds(2000));
        }
    }

    FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileLock& operator=(FileLock&& other) noexcept
    {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~FileLock()
    {
        if (fd_ >= 0) ::close(fd_); // closing releases the lock
    }

private:
    explicit FileLock(int fd) : fd_(fd) {}
    int fd_;
};

fs::path lockPathFor(const fs::path& path)
{
    fs::path lock = path;
    lock += ".lock";
    return lock;
}

std::optional<double> parseDouble(std::string_view text)
{
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<std::int64_t> truncateToInteger(double value)
{
    if (std::isnan(value)) return std::nullopt;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit) return std::numeric_limits<std::int64_t>::max();
    if (value < -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

std::optional<std::string> asString(const Json& v)
{
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return v.get<bool>() ? "1" : "0";
    if (v.is_number_integer() && !v.is_number_unsigned()) return fmt::format("{}", v.get<std::int64_t>());
    if (v.is_number_unsigned()) return fmt::format("{}", v.get<std::uint64_t>());
    if (v.is_number_float()) return fmt::format("{}", v.get<double>());
    return std::nullopt;
}

std::optional<double> asDouble(const Json& v)
{
    if (v.is_number_float()) return v.get<double>();
    if (v.is_number_unsigned()) return static_cast<double>(v.get<std::uint64_t>());
    if (v.is_number_integer()) return static_cast<double>(v.get<std::int64_t>());
    if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
    if (v.is_string()) return parseDouble(v.get_ref<const std::string&>());
    return std::nullopt;
}

std::optional<std::int64_t> asInteger(const Json& v)
{
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
            ? std::numeric_limits<std::int64_t>::max()
            : static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_float()) return truncateToInteger(v.get<double>());
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_string()) {
        const auto& text = v.get_ref<const std::string&>();
        std::int64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc() && end == text.data() + text.size() && !text.empty()) return value;
        if (const auto d = parseDouble(text)) return truncateToInteger(*d);
    }
    return std::nullopt;
}

std::optional<bool> asBoolean(const Json& v)
{
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number_float()) {
        const double d = v.get<double>();
        return !std::isnan(d) && d != 0.0;
    }
    if (v.is_number_unsigned()) return v.get<std::uint64_t>() != 0;
    if (v.is_number_integer()) return v.get<std::int64_t>() != 0;
    if (v.is_string()) {
        const auto text = lowercased(v.get_ref<const std::string&>());
        if (text == "yes" || text == "true") return true;
        if (text == "no" || text == "false") return false;
        if (const auto d = parseDouble(text)) return !std::isnan(*d) && *d != 0.0;
    }
    return std::nullopt;
}

} // namespace

struct SettingsStore::State {
    Json document = Json::object();
    std::optional<FileSignature> signature; // of the file `document` was read from
    bool loaded = false;
    bool outsideChange = false; // a version this store did not write was read
    std::optional<FileLock> heldLock; // taken by exclusively() for its body
    std::vector<std::string> warnings; // logged once the store's lock is released

    // Brings `document` up to the file's current content. A corrupt file is
    // moved aside under the writers' lock (re-read first: a writer may have
    // just replaced it).
    void refresh(const fs::path& path, std::chrono::steady_clock::duration lockTimeout)
    {
        if (loaded && signatureOf(path) == signature) return;
        if (loaded) outsideChange = true;
        auto result = readDocument(path);
        if (result.outcome == ReadOutcome::corrupt || result.outcome == ReadOutcome::unreadable) {
            std::string error;
            std::optional<FileLock> fileLock;
            if (!heldLock) fileLock = FileLock::acquire(lockPathFor(path), lockTimeout, error);
            if (!fileLock && !heldLock) {
                warnings.push_back(fmt::format("settings file {} cannot be read ({}) and {}; using no settings",
                    path.string(), result.problem, error));
                document = Json::object();
                signature.reset();
                loaded = false; // try again on the next access
                return;
            }
            result = readDocument(path);
            if (result.outcome == ReadOutcome::corrupt || result.outcome == ReadOutcome::unreadable) {
                result = setAside(path, result.problem);
            }
        }
        document = std::move(result.document);
        signature = result.signature;
        loaded = true;
    }

    // Moves a bad file out of the way; the caller holds the writers' lock.
    ReadResult setAside(const fs::path& path, const std::string& problem)
    {
        std::string error;
        if (const auto target = moveAside(path, error)) {
            warnings.push_back(fmt::format("settings file {} is {}; moved it aside to {} and started with no settings",
                path.string(), problem, target->string()));
            return ReadResult{};
        }
        // Keep the file where it is rather than overwrite it: the user may
        // still rescue its content.
        warnings.push_back(fmt::format("settings file {} is {} and could not be moved aside ({}); using no settings",
            path.string(), problem, error));
        ReadResult result;
        result.outcome = ReadOutcome::corrupt;
        return result;
    }

};

template <typename Body>
auto SettingsStore::withState(Body&& body) const
{
    std::vector<std::string> warnings;
    auto result = [&] {
        std::lock_guard guard(lock_);
        auto value = body(*state_);
        warnings = std::exchange(state_->warnings, {});
        return value;
    }();
    for (const auto& warning : warnings) runtimeLog(LogLevel::warn, "Engine", warning);
    return result;
}

template <typename Convert>
auto SettingsStore::read(std::string_view key, Convert convert) const
{
    return withState([&](State& s) -> decltype(convert(std::declval<const Json&>())) {
        s.refresh(path_, timing_.lockTimeout);
        const auto it = s.document.find(key);
        if (it == s.document.end()) return std::nullopt;
        return convert(*it);
    });
}

SettingsStore::SettingsStore(fs::path file) : SettingsStore(std::move(file), Timing{}) {}

namespace {

// A bare file name would have no directory to create and flush.
fs::path absoluteOrAsIs(fs::path file)
{
    std::error_code ec;
    auto absolute = fs::absolute(file, ec);
    return ec ? file : absolute;
}

} // namespace

SettingsStore::SettingsStore(fs::path file, Timing timing)
    : path_(absoluteOrAsIs(std::move(file))), timing_(timing), state_(std::make_unique<State>())
{
}

SettingsStore::~SettingsStore() = default;

std::optional<std::string> SettingsStore::string(std::string_view key) const
{
    return read(key, asString);
}

std::optional<double> SettingsStore::doubleValue(std::string_view key) const
{
    return read(key, asDouble);
}

std::optional<std::int64_t> SettingsStore::integer(std::string_view key) const
{
    return read(key, asInteger);
}

std::optional<bool> SettingsStore::boolean(std::string_view key) const
{
    return read(key, asBoolean);
}

bool SettingsStore::contains(std::string_view key) const
{
    return withState([&](State& s) {
        s.refresh(path_, timing_.lockTimeout);
        return s.document.contains(key);
    });
}

std::vector<std::string> SettingsStore::keys() const
{
    return withState([&](State& s) {
        s.refresh(path_, timing_.lockTimeout);
        std::vector<std::string> names;
        for (const auto& item : s.document.items()) names.push_back(item.key());
        return names;
    });
}

template <typename Change>
bool SettingsStore::write(std::string_view key, Change&& change)
{
    return withState([&](State& s) {
        const auto fail = [&](const std::string& why) {
            s.warnings.push_back(fmt::format("settings: could not save \"{}\": {}", key, why));
            return false;
        };

        std::string error;
        if (!createFoldersDurably(path_.parent_path(), &error)) return fail(error);
        std::optional<FileLock> fileLock;
        if (!s.heldLock) {
            fileLock = FileLock::acquire(lockPathFor(path_), timing_.lockTimeout, error);
            if (!fileLock) return fail(error);
        }

        // Apply this one change to what is on disk now, so a key another
        // process wrote a moment ago survives.
        auto current = readDocument(path_);
        // Another writer came between this store's last look and this
        // write: its version is kept (below) and still reported.
        if (s.loaded && current.signature != s.signature) s.outsideChange = true;
        if (current.outcome == ReadOutcome::corrupt || current.outcome == ReadOutcome::unreadable) {
            current = s.setAside(path_, current.problem);
            if (current.outcome != ReadOutcome::missing) return fail("the settings file is damaged");
        }
        Json document = std::move(current.document);
        const Json before = document;
        change(document);
        if (document == before) { // already on disk
            s.document = std::move(document);
            s.signature = current.signature;
            s.loaded = true;
            return true;
        }

        const auto text = document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        if (!writeFileDurably(path_, text, 0600, &error)) return fail(error);
        // What is cached is exactly what the file says (invalid UTF-8 was
        // replaced on the way out).
        s.document = Json::parse(text, nullptr, false);
        if (s.document.is_discarded()) s.document = std::move(document);
        s.signature = signatureOf(path_);
        s.loaded = true;
        return true;
    });
}

bool SettingsStore::takeOutsideChange()
{
    return withState([&](State& s) {
        s.refresh(path_, timing_.lockTimeout);
        return std::exchange(s.outsideChange, false);
    });
}

void SettingsStore::exclusively(const std::function<void()>& body)
{
    std::unique_lock guard(lock_);
    const bool outermost = !state_->heldLock;
    if (outermost) {
        std::string error;
        if (createFoldersDurably(path_.parent_path(), &error)) {
            state_->heldLock = FileLock::acquire(lockPathFor(path_), timing_.lockTimeout, error);
        }
        if (!state_->heldLock) state_->warnings.push_back(fmt::format("settings: working without the lock: {}", error));
    }
    struct Release {
        State& state;
        bool outermost;
        ~Release()
        {
            if (outermost) state.heldLock.reset();
        }
    } release{*state_, outermost};
    body();
}

bool SettingsStore::setString(std::string_view key, std::string_view value)
{
    return write(key, [&](Json& d) { d[std::string(key)] = std::string(value); });
}

bool SettingsStore::setDouble(std::string_view key, double value)
{
    if (!std::isfinite(value)) {
        runtimeLog(LogLevel::warn, "Engine", fmt::format("settings: could not save \"{}\": {} is not a finite number", key, value));
        return false;
    }
    return write(key, [&](Json& d) { d[std::string(key)] = value; });
}

bool SettingsStore::setInteger(std::string_view key, std::int64_t value)
{
    return write(key, [&](Json& d) { d[std::string(key)] = value; });
}

bool SettingsStore::setBool(std::string_view key, bool value)
{
    return write(key, [&](Json& d) { d[std::string(key)] = value; });
}

bool SettingsStore::remove(std::string_view key)
{
    return write(key, [&](Json& d) { d.erase(std::string(key)); });
}

} // namespace qb
