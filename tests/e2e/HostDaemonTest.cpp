// The real daemon on the default path (nothing chosen: it finds the private
// Xorg) drives the real host services: logind's inhibitor for clamshell
// mode, visible in the faked logind and gone at stop and at exit, and the
// built-in panel (a fake sysfs tree written through logind) dimmed while a
// device watches and restored after a stop or a crash; logind's sleep
// signal stops mirroring before the system sleeps and starts it after;
// desktop notifications reach the session's notification service, one per
// event and none from a daemon that idles.
#include <csignal>
#include <thread>

#include <fmt/format.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "companion/CompanionClient.h"
#include "e2e/DaemonHarness.h"
#include "runtime/Process.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using test::waitFor;

class HostDaemonTest : public test::DaemonHarness {
protected:
    HostDaemonTest() : DaemonHarness(nullptr, "0.05")
    {
        adb.setDevices({test::device("DC1-0001", "DC_1", "1200x1600")});
    }
    // `quillbright health verbose` with its columns closed up: "inhibit pid 7".
    std::string health()
    {
        std::string text = cli({"health", "verbose"}).second;
        std::string compact;
        for (char c : text) {
            if (c != ' ' || (!compact.empty() && compact.back() != ' ' && compact.back() != '\n')) compact += c;
        }
        return compact;
    }
    bool held() { return logind().inhibitors() != test::MockLogind::NO_INHIBITORS; }
    void startMirroring()
    {
        launch();
        ASSERT_TRUE(outputHas("Mirror running.", 30s)) << output();
    }
};

TEST_F(HostDaemonTest, ClamshellHoldsALogindInhibitorUntilStopOrExitAndHealthNamesEveryProvider)
{
    if (!hostMissing().empty()) GTEST_SKIP() << hostMissing();
    startMirroring();
    EXPECT_EQ(cli({"clamshell", "on"}), std::make_pair(0, std::string("OK on\n")));
    EXPECT_THAT(logind().inhibitors(), HasSubstr("\"sleep:idle:handle-lid-switch\" \"QuillBright\""));
    const std::string verbose = health();
    EXPECT_THAT(verbose, HasSubstr(fmt::format("\ninhibit pid {}\ninhibit running yes\nlogind.inhibitor fd: ", pid())));
    EXPECT_THAT(verbose, HasSubstr("\nplatform.desktop x11 " + xorg().display + "\nplatform.power logind\n"
                                   "platform.backlight sysfs intel_backlight\nplatform.font-settings gsettings\n"
                                   "platform.dns-sd avahi"));
    EXPECT_THAT(cli({"report"}).second, HasSubstr("\nplatform.power=logind\n"));

    EXPECT_EQ(cli({"stop"}).first, 0);
    EXPECT_TRUE(waitFor([&] { return !held(); }, 10s)) << logind().inhibitors();

    // The setting stays: the next start takes the lock again, and the
    // daemon's death, however it dies, gives it back.
    EXPECT_EQ(terminate(SIGTERM), 0);
    startMirroring();
    EXPECT_TRUE(waitFor([&] { return held(); }, 10s));
    terminate(SIGKILL);
    EXPECT_TRUE(waitFor([&] { return !held(); }, 10s)) << logind().inhibitors();
}

TEST_F(HostDaemonTest, ARefusedInhibitorIsReportedAndClamshellModeStaysOff)
{
    if (!hostMissing().empty()) GTEST_SKIP() << hostMissing();
    logind().overrideMethod(test::MockLogind::PATH, test::MockLogind::MANAGER, "Inhibit", "ssss",
        "raise dbus.exceptions.DBusException('denied by policy', name='org.freedesktop.DBus.Error.AccessDenied')");
    startMirroring();
    const auto [status, reply] = cli({"clamshell", "on"});
    EXPECT_NE(status, 0);
    EXPECT_THAT(reply, HasSubstr("clamshell mode is off: logind refused the inhibitor "
                                 "(org.freedesktop.DBus.Error.AccessDenied: denied by policy)\n"));
    const std::string verbose = health();
    EXPECT_THAT(verbose, HasSubstr("\nclamshell off\n"));
    EXPECT_THAT(verbose, HasSubstr("\ninhibit running no\nlogind.inhibitor none\n"));
    EXPECT_EQ(terminate(SIGTERM), 0);
}

TEST_F(HostDaemonTest, ThePanelIsDimmedWhileADeviceWatchesAndRestoredAfterAStopOrACrash)
{
    if (!hostMissing().empty()) GTEST_SKIP() << hostMissing();
    auto watchUntilDimmed = [&] {
        companion::CompanionClient client;
        ASSERT_TRUE(test::greeted(client)) << client.violation();
        ASSERT_TRUE(waitFor([&] { return panelLevel() == 0; }, 10s)) << output();
    };
    startMirroring();
    watchUntilDimmed();
    EXPECT_EQ(cli({"stop"}).first, 0);
    EXPECT_TRUE(waitFor([&] { return panelLevel() == 600; }, 10s)) << output();
    EXPECT_EQ(output().find("trying sysfs"), std::string::npos) << "written through logind, no root needed";
    EXPECT_EQ(terminate(SIGTERM), 0);

    // Killed while dimmed: the next start puts the panel back.
    startMirroring();
    watchUntilDimmed();
    terminate(SIGKILL);
    adb.setDevices({});
    launch();
    EXPECT_TRUE(waitFor([&] { return panelLevel() == 600; }, 10s)) << output();
    EXPECT_EQ(terminate(SIGTERM), 0);
}

TEST_F(HostDaemonTest, MirroringStopsBeforeTheSystemSleepsAndComesBackAfterItWakes)
{
    if (!hostMissing().empty()) GTEST_SKIP() << hostMissing();
    startMirroring();
    companion::CompanionClient client;
    ASSERT_TRUE(test::greeted(client)) << client.violation();
    ASSERT_TRUE(waitFor([&] { return tunnels() == 2; }, 10s)) << output();

    logind().prepareForSleep(true);
    // Nothing left for a sleeping tablet: its stream closed, its tunnels gone.
    EXPECT_TRUE(waitFor([&] { return tunnels() == 0 && !client.readFrame(100ms); }, 10s)) << output();
    EXPECT_FALSE(client.connect("127.0.0.1", 8888, 500ms));

    logind().prepareForSleep(false);
    ASSERT_TRUE(waitFor([&] { return tunnels() == 2; }, 5s)) << output();
    companion::CompanionClient again;
    ASSERT_TRUE(waitFor([&] { return again.connect("127.0.0.1", 8888, 500ms); }, 5s)) << output();
    ASSERT_TRUE(again.readGreeting(5000ms)) << again.violation();
    EXPECT_TRUE(again.readFrame(5000ms)) << again.violation() << output();
    EXPECT_EQ(terminate(SIGTERM), 0);
}

TEST_F(HostDaemonTest, ANotificationForEachEventAndNoneFromADaemonThatIdles)
{
    if (!hostMissing().empty()) GTEST_SKIP() << hostMissing();
    test::DbusMock service("notification_daemon", "DBUS_SESSION_BUS_ADDRESS", "org.freedesktop.Notifications");
    if (!service.ready()) GTEST_SKIP() << service.skipReason();
    const test::ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", service.address());
    const auto notified = [&] { return service.calls("Notify"); };
    adb.setDevices({});
    writeSettings({{"setupCompleted", true}});

    // Waiting for a tablet, polling adb many times over: nothing to say.
    launch();
    ASSERT_TRUE(waitFor([&] { return cli({"status"}).second.find("status=waiting_for_device") != std::string::npos; },
        20s)) << output();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(notified().size(), 0U) << ::testing::PrintToString(notified());

    // A tablet asking for USB-debugging authorisation: said once, however
    // many polls still find it asking.
    auto asking = test::FakeAdbState::device("UNAUTH-1");
    asking["state"] = "unauthorized";
    adb.setDevices({asking});
    ASSERT_TRUE(waitFor([&] { return notified().size() == 1; }, 10s)) << output();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(notified().size(), 1U) << ::testing::PrintToString(notified());
    EXPECT_THAT(notified()[0], HasSubstr("\"Tablet needs authorising\" \"Tap Allow on UNAUTH-1"));

    // Allowed: mirroring starts on it, said once.
    adb.setDevices({test::device("DC1-0001", "DC_1", "1200x1600")});
    ASSERT_TRUE(waitFor([&] { return notified().size() == 2; }, 30s)) << output();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(notified().size(), 2U) << ::testing::PrintToString(notified());
    EXPECT_THAT(notified()[1], HasSubstr("\"Mirroring started\""));
    EXPECT_EQ(terminate(SIGTERM), 0);
}

} // namespace
} // namespace qb
