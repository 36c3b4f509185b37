// What the end-to-end tests share: a private runtime and settings directory,
// the fake adb, the real quillbright program started and killed, and waits
// with deadlines.
//
// By default the daemon runs as every user runs it: QUILLBRIGHT_PLATFORM
// unset, so it detects its desktop (a private Xorg with the dummy driver as
// DISPLAY) and uses the Linux host's services: logind (python3-dbusmock's
// template on a private DBUS_SYSTEM_BUS_ADDRESS) and the panel's backlight
// (a fake sysfs tree, QUILLBRIGHT_SYSFS_ROOT, whose level logind's
// SetBrightness writes as the real one does). Tests whose subject is the
// simulated desktop ask for it ("sim"); a named desktop ("gnome") still
// gets the private logind and sysfs, never the machine's.
#pragma once

#include <fcntl.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "companion/CompanionClient.h"
#include "companion/TouchScript.h"
#include "core/RuntimePaths.h"
#include "fake-adb/FakeAdbState.h"
#include "host/MockLogind.h"
#include "pipeline/PixelKernels.h"
#include "platform/MirrorScaler.h"
#include "platform/XorgServer.h"
#include "runtime/Process.h"
#include "support/TestSupport.h"

namespace qb::test {

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    return eventually(done, timeout, std::chrono::milliseconds(20));
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

// The greeting, once connected to the frame port `port`; nothing when either failed.
inline std::optional<companion::Greeting> greeted(companion::CompanionClient& client, std::uint16_t port = 8888)
{
    if (!client.connect("127.0.0.1", port, std::chrono::milliseconds(5000))) return std::nullopt;
    return client.readGreeting(std::chrono::milliseconds(10000));
}

// Another program holding loopback `port` while the result lives (the
// daemon does not inherit it); none unless `held`.
inline std::optional<boost::asio::ip::tcp::acceptor> portHeld(boost::asio::io_context& io, std::uint16_t port,
    bool held = true)
{
    if (!held) return std::nullopt;
    std::optional<boost::asio::ip::tcp::acceptor> stranger;
    stranger.emplace(io, boost::asio::ip::tcp::endpoint{boost::asio::ip::make_address("127.0.0.1"), port});
    ::fcntl(stranger->native_handle(), F_SETFD, FD_CLOEXEC);
    return stranger;
}

// A tap on the touch port at (x, y), fractions of the tablet's width and height.
inline bool tap(float x, float y)
{
    companion::TouchSender touches;
    return touches.connect("127.0.0.1", 8892, std::chrono::milliseconds(5000))
        && touches.send(companion::encodeTouch(1, x, y, 0, 0)) && touches.send(companion::encodeTouch(3, x, y, 0, 0));
}

// The painter's pattern over `width` x `height` (BGRA): blue = x, green = y, red = x xor y.
inline std::vector<std::uint8_t> painterPattern(std::size_t width, std::size_t height)
{
    std::vector<std::uint8_t> bgra(width * height * 4, 0xFF);
    for (std::size_t i = 0; i < width * height; ++i) {
        const std::size_t x = i % width, y = i / width;
        bgra[i * 4] = std::uint8_t(x), bgra[i * 4 + 1] = std::uint8_t(y), bgra[i * 4 + 2] = std::uint8_t(x ^ y);
    }
    return bgra;
}

// What the tablet shows of a `width` x `height` BGRA picture: scaled to its
// `tabletWidth` x `tabletHeight` (area filter) unless it is that size, through
// the greyscale conversion and the default ("Crisp Paper") tone curve.
inline std::vector<std::uint8_t> asTabletShows(std::vector<std::uint8_t> bgra, std::size_t width, std::size_t height,
    std::size_t tabletWidth, std::size_t tabletHeight)
{
    if (width != tabletWidth || height != tabletHeight) {
        std::vector<std::uint8_t> scaled(tabletWidth * tabletHeight * 4);
        MirrorScaler().scale(bgra.data(), width, height, width * 4, scaled.data(), tabletWidth, tabletHeight);
        bgra = std::move(scaled);
    }
    const ToneCurve curve = makeToneCurve(1.2, 1.2);
    std::vector<std::uint8_t> grey(tabletWidth * tabletHeight);
    for (std::size_t i = 0; i < grey.size(); ++i) {
        grey[i] = curve[(29 * bgra[i * 4] + 150 * bgra[i * 4 + 1] + 77 * bgra[i * 4 + 2]) / 256];
    }
    return grey;
}

class DaemonHarness : public ::testing::Test {
protected:
    // `platform`: the backend the daemon is told to use (nullptr: none, it
    // detects the private Xorg); its pauses and periods shortened by
    // `timingScale`; settings in the test's own directory.
    DaemonHarness(const char* platform, const char* timingScale) : adb(QB_FAKE_ADB)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qb-e2e-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        ::setenv("QUILLBRIGHT_RUNTIME_DIR", dir_.c_str(), 1);
        ::setenv("QUILLBRIGHT_TEST_TIMING_SCALE", timingScale, 1);
        ::setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
        if (platform != nullptr) ::setenv("QUILLBRIGHT_PLATFORM", platform, 1);
        if (platform != nullptr && std::string(platform) == "sim") return;
        // The harness's own servers must not carry the fake adb's marker, by
        // which what the daemon left running is found.
        ::unsetenv("FAKE_ADB_STATE");
        startHost();
        if (platform == nullptr) {
            xorg_ = std::make_unique<XorgServer>();
            if (xorg_->running()) ::setenv("DISPLAY", xorg_->display.c_str(), 1);
        }
        ::setenv("FAKE_ADB_STATE", adb.statePath().c_str(), 1);
    }

    // Why the default path cannot run here (no Xorg, no dbusmock); empty when it can.
    std::string hostMissing() const
    {
        if (xorg_ && !xorg_->running()) return "no X server: " + xorg_->skipReason;
        if (logind_ && !logind_->ready()) return logind_->skipReason();
        return {};
    }
    MockLogind& logind() { return *logind_; }
    const XorgServer& xorg() const { return *xorg_; }
    XorgServer& xorg() { return *xorg_; }
    // The fake panel's raw level (of 1000); -1 when unreadable.
    int panelLevel() const
    {
        std::ifstream in(dir_ / "sys/class/backlight/intel_backlight/brightness");
        int value = -1;
        in >> value;
        return value;
    }

    ~DaemonHarness() override
    {
        if (daemon_ && daemon_->isRunning()) {
            ::kill(daemon_->pid(), SIGKILL);
            daemon_->waitUntilExit();
        }
        if (HasFailure() && daemon_) std::fprintf(stderr, "--- daemon output ---\n%s\n", output().c_str());
        for (const char* name : {"QUILLBRIGHT_RUNTIME_DIR", "QUILLBRIGHT_TEST_TIMING_SCALE", "XDG_CONFIG_HOME",
                 "QUILLBRIGHT_PLATFORM", "QUILLBRIGHT_SYSFS_ROOT", "DBUS_SYSTEM_BUS_ADDRESS", "DISPLAY"}) {
            ::unsetenv(name);
        }
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
        options.killedWithLaunchingThread = true;
        daemon_ = Process::launch(options);
        ASSERT_TRUE(daemon_);
    }

    std::string output() const { return daemon_ ? daemon_->standardOutput() : std::string(); }
    // launch(), then whether the frame server listens within 30 s.
    bool launchedListening()
    {
        launch();
        return outputHas("Listening on tcp://localhost:8888", std::chrono::seconds(30));
    }

    // `signal` (none: 0), and the daemon's own exit status once its teardown is done.
    int terminate(int signal = SIGTERM)
    {
        if (signal != 0) ::kill(daemon_->pid(), signal);
        EXPECT_TRUE(daemon_->waitUntilExit(std::chrono::milliseconds(15000)));
        return daemon_->exitStatus().value_or(-1);
    }

    std::filesystem::path settingsPath() const { return dir_ / "config" / "quillbright" / "settings.json"; }
    void writeSettings(const nlohmann::json& settings) const
    {
        std::filesystem::create_directories(settingsPath().parent_path());
        writeFile(settingsPath(), settings.dump());
    }

    // Whether `quillbright status` says the mirror runs, within `timeout`.
    bool statusRunning(std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        return waitFor([&] { return cli({"status"}).second.find("\nstatus=running\n") != std::string::npos; }, timeout);
    }

    // adb's reverse tunnels on every device.
    std::size_t tunnels()
    {
        std::size_t n = 0;
        for (const auto& d : adb.read()["devices"]) n += d.value("reverse", nlohmann::json::array()).size();
        return n;
    }

    // What every shutdown must leave: no tunnel on the device, no process
    // of the daemon's (an adb child of any kind), no PID or status file.
    void expectNothingLeft()
    {
        for (const auto& d : adb.read()["devices"]) {
            EXPECT_TRUE(d.value("reverse", nlohmann::json::array()).empty()) << d.dump();
        }
        EXPECT_TRUE(adb.processes().empty()) << "a process of the daemon outlived it";
        const auto paths = RuntimePaths::inDirectory(dir_.string());
        EXPECT_FALSE(std::filesystem::exists(paths.pidFile));
        EXPECT_FALSE(std::filesystem::exists(paths.statusFile));
    }

    // A `quillbright` command: its exit status and what it printed.
    std::pair<int, std::string> cli(std::vector<std::string> arguments)
    {
        ProcessOptions options;
        options.executable = QB_QUILLBRIGHT;
        options.arguments = std::move(arguments);
        const auto result = runProcess(options, 20, "quillbright");
        return {result.exitStatus.value_or(-1), result.standardOutput};
    }
    bool outputHas(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const
    {
        return waitFor([&] { return output().find(text) != std::string::npos; }, timeout);
    }
    pid_t pid() const { return daemon_->pid(); }
    const std::filesystem::path& directory() const { return dir_; }

    FakeAdbState adb;
    std::shared_ptr<Process> daemon_;

private:
    // A laptop panel at 600 of 1000, and logind answering for it.
    void startHost()
    {
        const auto panel = dir_ / "sys/class/backlight/intel_backlight";
        std::filesystem::create_directories(panel);
        std::ofstream(panel / "max_brightness") << "1000\n";
        std::ofstream(panel / "brightness") << "600\n";
        std::ofstream(panel / "type") << "firmware\n";
        std::filesystem::create_symlink("brightness", panel / "actual_brightness");
        ::setenv("QUILLBRIGHT_SYSFS_ROOT", (dir_ / "sys").c_str(), 1);
        logind_ = std::make_unique<MockLogind>();
        // Never the machine's own bus, even when the mock did not come up.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS",
            logind_->ready() ? logind_->address().c_str() : "unix:path=/nonexistent/system_bus_socket", 1);
        if (!logind_->ready()) return;
        logind_->addSession("auto");
        logind_->overrideMethod("/org/freedesktop/login1/session/auto", "org.freedesktop.login1.Session",
            "SetBrightness", "ssu",
            "open('" + (dir_ / "sys/class").string() + "/%s/%s/brightness' % (args[0], args[1]), 'w')"
            ".write('%d\\n' % args[2])");
    }

    std::filesystem::path dir_;
    std::unique_ptr<MockLogind> logind_;
    std::unique_ptr<XorgServer> xorg_;
};

} // namespace qb::test
