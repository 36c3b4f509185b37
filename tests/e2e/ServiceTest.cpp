// The daemon as a systemd service: readiness and shutdown reach the
// notification socket the service manager would listen on (here one the
// test binds), and the unit's ExecStop stops it.
#include <csignal>
#include <filesystem>

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

class Service : public test::DaemonHarness {
protected:
    Service() : DaemonHarness("sim", "0.05") {}
};

TEST_F(Service, ReadinessAndShutdownReachTheServiceManager)
{
    // No devices: the daemon waits for one.
    NotifySocket notifications(directory() / "notify");
    ASSERT_TRUE(notifications.bound());
    ::setenv("NOTIFY_SOCKET", (directory() / "notify").c_str(), 1);
    launch();
    ::unsetenv("NOTIFY_SOCKET"); // the stop command below is not the service

    const std::string ready = notifications.receiveUntil("READY=1", 20s);
    EXPECT_THAT(ready, HasSubstr("READY=1\nSTATUS=waiting_for_device")) << output();
    // The person at the terminal (or the journal) sees the slow steps and what
    // to do; the output is read on its own thread, so wait for its last line.
    EXPECT_TRUE(test::waitFor([&] { return output().find("Mirror running.") != std::string::npos; }, 10s));
    EXPECT_THAT(output(), HasSubstr("Starting the adb server...\n"));
    EXPECT_THAT(output(), HasSubstr("adb server ready.\n"));
    EXPECT_THAT(output(), HasSubstr("No device connected yet.\nHint: connect the tablet by USB"));

    // The unit's ExecStop.
    ProcessOptions stop;
    stop.executable = QB_QUILLBRIGHT;
    stop.arguments = {"stop"};
    const auto stopped = runProcess(stop, 20, "quillbright stop");
    EXPECT_EQ(stopped.exitStatus, 0) << stopped.standardOutput;
    // After ExecStop, systemd ends what is left of the unit with SIGTERM.
    ::kill(pid(), SIGTERM);
    EXPECT_THAT(notifications.receiveUntil("STOPPING=1", 10s), HasSubstr("STOPPING=1"));
    EXPECT_TRUE(daemon_->waitUntilExit(10000ms));
    EXPECT_EQ(daemon_->exitStatus(), 0);
}

// What `quillbright start` prints for a device whose companion is missing.
TEST_F(Service, StartSaysWhatItIsDoingStepByStep)
{
    auto device = test::FakeAdbState::device("DC1-0001", "DC_1");
    device["physicalSize"] = "1200x1600"; // no "companion": not installed yet
    adb.setDevices({device});
    adb.writeAPK("2.4.4");
    launch(/*withErrors=*/false); // standard output only: what the user reads
    test::waitFor([&] { return output().find("Mirror running.") != std::string::npos; }, 20s);
    ::kill(pid(), SIGTERM);
    EXPECT_TRUE(daemon_->waitUntilExit(10000ms));
    const std::string out = output();
    std::size_t at = 0;
    for (const char* line : {"Starting the adb server...\n", "adb server ready.\n",
             "Starting: checking ports, opening the preview, listing devices...\n",
             "Companion app: installing on DC1-0001 (attempt 1)\n", "adb tunnels are up: the tablet reaches this computer.\n",
             "Mirroring 1 device.\n", "Mirror running."}) {
        const auto found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << out;
        at = found;
    }
}

} // namespace
} // namespace qb
