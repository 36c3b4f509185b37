// The daemon as a systemd service: readiness and shutdown reach the
// notification socket the service manager would listen on (here one the
// test binds), and the unit's ExecStop stops it.
#include <csignal>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "e2e/DaemonHarness.h"
#include "fake-adb/FakeAdbState.h"
#include "runtime/Process.h"
#include "support/SocketSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

// A datagram socket playing systemd's notification socket.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_un address = test::unixAddress(path);
        bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    bool bound() const { return bound_; }

    // Datagrams until one contains `needle`; all of them, joined by '|'.
    std::string receiveUntil(const std::string& needle, std::chrono::milliseconds timeout)
    {
        std::string seen;
        test::eventually([&] {
            pollfd waiting{fd_, POLLIN, 0};
            char buffer[4096];
            const ssize_t n = ::poll(&waiting, 1, 50) == 1 ? ::recv(fd_, buffer, sizeof buffer, 0) : 0;
            if (n > 0) seen.append(buffer, static_cast<std::size_t>(n)) += '|';
            return seen.find(needle) != std::string::npos;
        }, timeout);
        return seen;
    }

private:
    int fd_;
    bool bound_ = false;
};

class Service : public test::DaemonHarness {
protected:
    Service() : DaemonHarness(nullptr, "0.05") {}
};

TEST_F(Service, ReadinessAndShutdownReachTheServiceManager)
{
    // No devices: the daemon waits for one, on defaults: a corrupt settings
    // file is kept aside, not lost and not fatal.
    fs::create_directories(settingsPath().parent_path());
    test::writeFile(settingsPath(), "{\"resolution\": \"sharp\",");
    NotifySocket notifications(directory() / "notify");
    ASSERT_TRUE(notifications.bound());
    {
        const test::ScopedEnv notify("NOTIFY_SOCKET", (directory() / "notify").string());
        launch();
    } // the stop command below is not the service

    const std::string ready = notifications.receiveUntil("READY=1", 20s);
    EXPECT_THAT(ready, HasSubstr("READY=1\nSTATUS=waiting_for_device")) << output();
    EXPECT_EQ(test::readFile(settingsPath().string() + ".bad"), "{\"resolution\": \"sharp\",");
    // The person at the terminal (or the journal) sees what to do (the steps
    // before: the next test); the output is read on its own thread, so wait
    // for its last line.
    EXPECT_TRUE(test::waitFor([&] { return output().find("Waiting for a tablet.") != std::string::npos; }, 10s));
    EXPECT_THAT(output(), Not(HasSubstr("Mirror running.")));
    EXPECT_THAT(output(), HasSubstr("No device connected yet.\nHint: connect the tablet by USB"));

    // The unit's ExecStop.
    const auto [stopStatus, stopOutput] = cli({"stop"});
    EXPECT_EQ(stopStatus, 0) << stopOutput;
    // After ExecStop, systemd ends what is left of the unit with SIGTERM.
    ::kill(pid(), SIGTERM);
    EXPECT_THAT(notifications.receiveUntil("STOPPING=1", 10s), HasSubstr("STOPPING=1"));
    EXPECT_EQ(terminate(0), 0);
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
    terminate();
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
