// The daemon as a systemd service: readiness and shutdown reach the
// notification socket the service manager would listen on (here one the
// test binds), and the unit's ExecStop stops it.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "e2e/DaemonHarness.h"
#include "fake-adb/FakeAdbState.h"
#include "runtime/Process.h"

namespace qb {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

// A datagram socket playing systemd's notification socket.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    bool bound() const { return bound_; }

    // The next datagram, or "" when none comes before the deadline.
    std::string receive(std::chrono::milliseconds timeout)
    {
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(timeout.count())) != 1) return {};
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

    // Datagrams until one contains `needle`; all of them, joined.
    std::string receiveUntil(const std::string& needle, std::chrono::milliseconds timeout)
    {
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (seen.find(needle) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            seen += receive(left) + "|";
        }
        return seen;
    }

private:
    fs::path path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(Service, ReadinessAndShutdownReachTheServiceManager)
{
    test::FakeAdbState adb(QB_FAKE_ADB); // no devices: the daemon waits for one
    std::string pattern = (fs::temp_directory_path() / "qb-service-XXXXXX").string();
    const fs::path dir = ::mkdtemp(pattern.data());
    NotifySocket notifications(dir / "notify");
    ASSERT_TRUE(notifications.bound());
    ::setenv("NOTIFY_SOCKET", (dir / "notify").c_str(), 1);
    ::setenv("QUILLBRIGHT_RUNTIME_DIR", dir.c_str(), 1);
    ::setenv("QUILLBRIGHT_TEST_TIMING_SCALE", "0.05", 1);

    ProcessOptions options;
    options.executable = QB_QUILLBRIGHT;
    options.arguments = {"start"};
    options.standardError = OutputMode::mergeIntoOutput;
    auto daemon = Process::launch(options);
    ::unsetenv("NOTIFY_SOCKET"); // the stop command below is not the service
    ASSERT_TRUE(daemon);

    const std::string ready = notifications.receiveUntil("READY=1", 20s);
    EXPECT_THAT(ready, HasSubstr("READY=1\nSTATUS=waiting_for_device")) << daemon->standardOutput();
    // The person at the terminal (or the journal) sees the slow steps and what
    // to do; the output is read on its own thread, so wait for its last line.
    EXPECT_TRUE(test::waitFor([&] { return daemon->standardOutput().find("Mirror running.") != std::string::npos; }, 10s));
    const std::string output = daemon->standardOutput();
    EXPECT_THAT(output, HasSubstr("Starting the adb server...\n"));
    EXPECT_THAT(output, HasSubstr("adb server ready.\n"));
    EXPECT_THAT(output, HasSubstr("No device connected yet.\nHint: connect the tablet by USB"));
    EXPECT_THAT(output, HasSubstr("Mirror running."));

    // The unit's ExecStop.
    ProcessOptions stop;
    stop.executable = QB_QUILLBRIGHT;
    stop.arguments = {"stop"};
    const auto stopped = runProcess(stop, 20, "quillbright stop");
    EXPECT_EQ(stopped.exitStatus, 0) << stopped.standardOutput;
    // After ExecStop, systemd ends what is left of the unit with SIGTERM.
    ::kill(daemon->pid(), SIGTERM);
    EXPECT_THAT(notifications.receiveUntil("STOPPING=1", 10s), HasSubstr("STOPPING=1"));
    EXPECT_TRUE(daemon->waitUntilExit(10000ms));
    EXPECT_EQ(daemon->exitStatus(), 0);

    if (daemon->isRunning()) ::kill(daemon->pid(), SIGKILL);
    ::unsetenv("QUILLBRIGHT_RUNTIME_DIR");
    ::unsetenv("QUILLBRIGHT_TEST_TIMING_SCALE");
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

// What `quillbright start` prints for a device whose companion is missing.
TEST(Service, StartSaysWhatItIsDoingStepByStep)
{
    test::FakeAdbState adb(QB_FAKE_ADB);
    auto device = test::FakeAdbState::device("DC1-0001", "DC_1");
    device["physicalSize"] = "1200x1600"; // no "companion": not installed yet
    adb.setDevices({device});
    adb.writeAPK("2.4.4");
    std::string pattern = (fs::temp_directory_path() / "qb-progress-XXXXXX").string();
    const fs::path dir = ::mkdtemp(pattern.data());
    ::setenv("QUILLBRIGHT_RUNTIME_DIR", dir.c_str(), 1);
    ::setenv("QUILLBRIGHT_TEST_TIMING_SCALE", "0.05", 1);

    ProcessOptions options;
    options.executable = QB_QUILLBRIGHT;
    options.arguments = {"start"};
    auto daemon = Process::launch(options); // standard output only: what the user reads
    ASSERT_TRUE(daemon);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (daemon->standardOutput().find("Mirror running.") == std::string::npos
        && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    ::kill(daemon->pid(), SIGTERM);
    EXPECT_TRUE(daemon->waitUntilExit(10000ms));
    const std::string output = daemon->standardOutput();
    std::size_t at = 0;
    for (const char* line : {"Starting the adb server...\n", "adb server ready.\n",
             "Starting: checking ports, opening the preview, listing devices...\n",
             "Companion app: installing on DC1-0001 (attempt 1)\n", "adb tunnels are up: the tablet reaches this computer.\n",
             "Mirroring 1 device.\n", "Mirror running."}) {
        const auto found = output.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << output;
        at = found;
    }

    ::unsetenv("QUILLBRIGHT_RUNTIME_DIR");
    ::unsetenv("QUILLBRIGHT_TEST_TIMING_SCALE");
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

} // namespace
} // namespace qb
