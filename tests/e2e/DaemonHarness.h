// What the end-to-end tests share: a private runtime and settings directory,
// the fake adb, the real quillbright program started and killed, and waits
// with deadlines.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "companion/CompanionClient.h"
#include "fake-adb/FakeAdbState.h"
#include "runtime/Process.h"
#include "support/TestSupport.h"

namespace qb::test {

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    return eventually(done, timeout, std::chrono::milliseconds(20));
}

// A device as the fake adb lists it, its companion installed but not running.
inline nlohmann::json device(const std::string& serial, const std::string& model, const std::string& size,
    const std::string& companion = "2.4.4")
{
    auto d = FakeAdbState::device(serial, model);
    d["physicalSize"] = size;
    d["companion"] = {{"versionName", companion}, {"running", false}, {"granted", false}};
    return d;
}

// Frames, acknowledged, until the client's decoded picture is `expected`.
inline bool awaitPicture(companion::CompanionClient& client, const std::vector<std::uint8_t>& expected,
    std::chrono::milliseconds timeout = std::chrono::seconds(20))
{
    return eventually(
        [&] {
            if (const auto frame = client.readFrame(std::chrono::milliseconds(1000))) client.sendAck(frame->sequenceNumber);
            return client.decoder().hasPicture() && client.decoder().frame() == expected;
        },
        timeout);
}

class DaemonHarness : public ::testing::Test {
protected:
    // `platform`: the backend the daemon runs on; its pauses and periods
    // shortened by `timingScale`; settings in the test's own directory.
    DaemonHarness(const char* platform, const char* timingScale) : adb(QB_FAKE_ADB)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qb-e2e-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        ::setenv("QUILLBRIGHT_RUNTIME_DIR", dir_.c_str(), 1);
        ::setenv("QUILLBRIGHT_PLATFORM", platform, 1);
        ::setenv("QUILLBRIGHT_TEST_TIMING_SCALE", timingScale, 1);
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    }

    ~DaemonHarness() override
    {
        if (daemon_ && daemon_->isRunning()) {
            ::kill(daemon_->pid(), SIGKILL);
            daemon_->waitUntilExit();
        }
        if (HasFailure() && daemon_) std::fprintf(stderr, "--- daemon output ---\n%s\n", output().c_str());
        for (const char* name : {"QUILLBRIGHT_RUNTIME_DIR", "QUILLBRIGHT_TEST_TIMING_SCALE", "XDG_CONFIG_HOME"}) {
            ::unsetenv(name);
        }
        ::setenv("QUILLBRIGHT_PLATFORM", "sim", 1);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // `quillbright start`; `withErrors` false keeps only what the user reads
    // on standard output.
    void launch(bool withErrors = true)
    {
        ProcessOptions options;
        options.executable = QB_QUILLBRIGHT;
        options.arguments = {"start"};
        if (withErrors) options.standardError = OutputMode::mergeIntoOutput;
        daemon_ = Process::launch(options);
        ASSERT_TRUE(daemon_);
    }

    std::string output() const { return daemon_ ? daemon_->standardOutput() : std::string(); }
    bool outputHas(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
    {
        return waitFor([&] { return output().find(text) != std::string::npos; }, timeout);
    }
    pid_t pid() const { return daemon_->pid(); }
    const std::filesystem::path& directory() const { return dir_; }

    FakeAdbState adb;
    std::shared_ptr<Process> daemon_;

private:
    std::filesystem::path dir_;
};

} // namespace qb::test
