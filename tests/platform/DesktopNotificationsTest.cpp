// Desktop notifications reach the notification service on the session bus
// (python3-dbusmock's notification daemon on a private bus), one per call,
// and a missing service costs the caller nothing.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/DesktopNotifications.h"
#include "runtime/Process.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using test::eventually;

ProcessOptions quiet(std::string executable, std::vector<std::string> arguments)
{
    ProcessOptions options;
    options.executable = std::move(executable);
    options.arguments = std::move(arguments);
    options.standardOutput = OutputMode::discard;
    options.standardError = OutputMode::discard;
    return options;
}

class DesktopNotificationsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::access("/usr/bin/dbus-daemon", X_OK) != 0) GTEST_SKIP() << "dbus-daemon not installed";
        if (runProcess(quiet("/usr/bin/python3", {"-c", "import dbusmock"}), 20, "probe").exitStatus != 0) {
            GTEST_SKIP() << "python3-dbusmock not installed";
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "qb-notify-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        address_ = "unix:path=" + (dir_ / "bus").string();
        bus_ = Process::launch(quiet("/usr/bin/dbus-daemon", {"--session", "--nofork", "--nopidfile", "--address=" + address_}));
        ASSERT_TRUE(bus_ && eventually([&] { return std::filesystem::exists(dir_ / "bus"); }, 10s));
    }

    void TearDown() override
    {
        for (auto* process : {mock_.get(), bus_.get()}) {
            if (process) process->terminate();
            if (process) process->waitUntilExit(5s);
        }
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }

    void startService()
    {
        auto mock = quiet("/usr/bin/python3",
            {"-m", "dbusmock", "--template", "notification_daemon", "-l", (dir_ / "calls").string()});
        mock.environment = std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", address_}};
        mock_ = Process::launch(mock);
        ASSERT_TRUE(mock_);
        ASSERT_TRUE(eventually([&] { return std::filesystem::exists(dir_ / "calls"); }, 10s));
    }

    // The Notify calls the service received, as dbusmock logs them.
    std::vector<std::string> calls() const
    {
        std::ifstream log(dir_ / "calls");
        std::vector<std::string> notified;
        for (std::string line; std::getline(log, line);) {
            if (line.find(" Notify ") != std::string::npos) notified.push_back(line);
        }
        return notified;
    }

    std::filesystem::path dir_;
    std::string address_;
    std::shared_ptr<Process> bus_;
    std::shared_ptr<Process> mock_;
};

TEST_F(DesktopNotificationsTest, EachMessageReachesTheServiceOnceAndAMissingServiceBlocksNobody)
{
    // No service yet: the call returns at once and the message is dropped.
    auto notes = makeFreedesktopNotifications({address_, 500ms});
    const auto before = std::chrono::steady_clock::now();
    notes->notify("Tablet needs authorising", "Allow USB debugging on DC-1");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms);

    // The service comes up later: the next messages arrive, each once, in order.
    startService();
    notes->notify("Mirroring started", "DC-1 shows the desktop");
    notes->notify("Mirroring stopped", "DC-1");
    ASSERT_TRUE(eventually([&] { return calls().size() >= 2; }, 10s));
    std::this_thread::sleep_for(200ms);
    const auto received = calls();
    ASSERT_EQ(received.size(), 2U);
    EXPECT_NE(received[0].find("\"QuillBright\""), std::string::npos) << received[0];
    EXPECT_NE(received[0].find("\"Mirroring started\" \"DC-1 shows the desktop\""), std::string::npos)
        << received[0];
    EXPECT_NE(received[1].find("\"Mirroring stopped\""), std::string::npos) << received[1];
}

} // namespace
} // namespace qb
