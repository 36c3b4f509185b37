#include "device/ADBBridge.h"

#include <fstream>

#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "fake-adb/FakeAdbState.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

class ADBBridgeTest : public ::testing::Test {
protected:
    ADBBridgeTest() { reset(); }
    ~ADBBridgeTest() override { reset(); }
    static void reset()
    {
        ADBBridge::resetForTesting();
        ADBBridge::setTiming({});
    }

    std::string calls() { return fake.calls(); }

    PlatformLogMute mute;
    test::FakeAdbState fake{QB_FAKE_ADB};
};

// The status, package and tunnel-removal lines are pinned, in order, by the
// end-to-end daemon test, which also runs the liveness check and the install
// through the real bridge.
TEST_F(ADBBridgeTest, EveryOperationIssuesItsExactCommandLine)
{
    auto dc1 = test::FakeAdbState::device("DC1");
    dc1["overrideSize"] = "1080x1440";
    fake.setDevices({dc1});
    fake.writeAPK("2.4.4");

    // The server is started once, before the first command needing it.
    auto devices = ADBBridge::connectedDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0], (ConnectedDevice{"DC1", "DC_1", 1200, 1600}));
    EXPECT_EQ(calls(), "start-server | devices -l | -s DC1 shell wm size");
    EXPECT_TRUE(ADBBridge::ensureServerRunning());
    EXPECT_EQ(calls(), "");

    EXPECT_TRUE(ADBBridge::setupReverseTunnel("DC1", 8888, 8889));
    EXPECT_EQ(calls(), "-s DC1 reverse tcp:8888 tcp:8889 | -s DC1 reverse --list");

    EXPECT_TRUE(ADBBridge::installBundledAPK("DC1"));
    EXPECT_EQ(calls(), "-s DC1 install -r " + (fake.resources() / "app-debug.apk").string()
            + " | -s DC1 shell pm grant app.quillbright android.permission.WRITE_SECURE_SETTINGS");

    EXPECT_FALSE(ADBBridge::isCompanionRunning("DC1"));
    EXPECT_EQ(calls(), "-s DC1 shell pidof app.quillbright");

    ADBBridge::launchApp("DC1", true, "192.168.1.5");
    ADBBridge::launchApp("DC1", false, std::nullopt);
    EXPECT_EQ(calls(), "-s DC1 shell am start -S -n app.quillbright/.MirrorActivity --es wifi_host 192.168.1.5"
                       " | -s DC1 shell am start -n app.quillbright/.MirrorActivity");
    EXPECT_TRUE(ADBBridge::resetDisplaySizeOverride("DC1"));
    EXPECT_EQ(calls(), "-s DC1 shell wm size | -s DC1 shell wm size reset");

    ADBBridge::setSystemSetting("screen_brightness", -42, "DC1");
    EXPECT_EQ(ADBBridge::querySystemSetting("screen_brightness", "DC1"), -42);
    EXPECT_EQ(calls(), "-s DC1 shell settings put system screen_brightness -42"
                       " | -s DC1 shell settings get system screen_brightness");
}

TEST_F(ADBBridgeTest, DeviceListReadsSizesAndSurvivesFailures)
{
    auto plain = test::FakeAdbState::device("R52N80", "SM_X700");
    plain.erase("physicalSize");
    auto unauthorized = nlohmann::json{{"serial", "XYZ"}, {"state", "unauthorized"}, {"usb", "1-1"}};
    fake.setDevices({test::FakeAdbState::device("DC1"), plain, unauthorized});

    auto devices = ADBBridge::connectedDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].deviceFamily(), DeviceFamily::daylightDC1);
    EXPECT_EQ(devices[1], (ConnectedDevice{"R52N80", "SM_X700", std::nullopt, std::nullopt}));
    EXPECT_EQ(devices[1].deviceFamily(), DeviceFamily::other);
    EXPECT_EQ(ADBBridge::unauthorizedDevices(), std::vector<std::string>{"XYZ"});

    fake.fail("devices", {{"exit", 1}, {"stderr", "error: protocol fault (couldn't read status): reset\n"}});
    EXPECT_TRUE(ADBBridge::connectedDevices().empty());
    EXPECT_TRUE(ADBBridge::unauthorizedDevices().empty());
}

// What a run that died left: the tunnels to the companion's ports on every
// device go, another program's tunnel stays.
TEST_F(ADBBridgeTest, LeftoverTunnelsToTheCompanionsPortsAreRemovedFromEveryDevice)
{
    auto dc1 = test::FakeAdbState::device("DC1");
    using Json = nlohmann::json;
    dc1["reverse"] = Json::array({Json::array({"tcp:8888", "tcp:8889"}), Json::array({"tcp:9000", "tcp:9000"}),
        Json::array({"tcp:8892", "tcp:8892"})});
    auto phone = test::FakeAdbState::device("PHONE", "Pixel_8");
    phone["reverse"] = Json::array({Json::array({"tcp:8888", "tcp:8888"})});
    fake.setDevices({dc1, phone, {{"serial", "XYZ"}, {"state", "unauthorized"}, {"usb", "1-2"}}});

    EXPECT_EQ(ADBBridge::removeLeftoverTunnels(), 3);
    const auto& devices = fake.read()["devices"];
    EXPECT_EQ(devices[0]["reverse"], Json::array({Json::array({"tcp:9000", "tcp:9000"})}));
    EXPECT_EQ(devices[1]["reverse"], Json::array());
    EXPECT_EQ(ADBBridge::removeLeftoverTunnels(), 0);
}

TEST_F(ADBBridgeTest, ReverseTunnelIsTrustedOnlyWhenListed)
{
    fake.setDevices({test::FakeAdbState::device("DC1"), test::FakeAdbState::device("DC2")});

    // adb exits 0 but the device never created the tunnel.
    fake.fail("reverse tcp:8888", {{"mode", "silent"}, {"count", 1}});
    EXPECT_FALSE(ADBBridge::setupReverseTunnel("DC1", 8888, 8888));

    // A listed tunnel for a longer port number is not this one.
    EXPECT_TRUE(ADBBridge::setupReverseTunnel("DC1", 88880, 8888));
    fake.fail("reverse tcp:8888", {{"mode", "silent"}, {"count", 1}});
    EXPECT_FALSE(ADBBridge::setupReverseTunnel("DC1", 8888, 8888));

    EXPECT_TRUE(ADBBridge::setupReverseTunnel("DC1", 8888, 8889));

    // Without a serial adb refuses to choose between two devices.
    EXPECT_FALSE(ADBBridge::setupReverseTunnel(std::nullopt, 8888, 8888));

    EXPECT_TRUE(ADBBridge::removeReverseTunnel("DC1", 8888));
    EXPECT_FALSE(ADBBridge::removeReverseTunnel("DC1", 8888)); // already gone
    EXPECT_FALSE(ADBBridge::removeReverseTunnel("NOPE", 8892));
}

TEST_F(ADBBridgeTest, InstallNeedsThePackageFileAndReportsFailures)
{
    fake.setDevices({test::FakeAdbState::device("DC1")});

    EXPECT_FALSE(ADBBridge::installBundledAPK("DC1"));
    EXPECT_EQ(calls(), "");

    fake.writeAPK("2.5.0");
    fake.fail("install", {{"exit", 1}, {"stdout", "Performing Streamed Install\n"},
                             {"stderr", "adb: failed to install: INSTALL_FAILED_INSUFFICIENT_STORAGE\n"}, {"count", 1}});
    EXPECT_FALSE(ADBBridge::installBundledAPK("DC1"));

    // A failed grant does not undo a good install.
    fake.fail("shell pm grant", {{"exit", 255}, {"count", 1}});
    EXPECT_TRUE(ADBBridge::installBundledAPK("DC1"));
    EXPECT_EQ(ADBBridge::queryCompanionVersion("DC1"), "2.5.0");

    // Another package whose name merely contains ours is not the companion.
    fake.read();
    fake.deviceState("DC1").erase("companion");
    fake.deviceState("DC1")["packages"] = {"app.quillbright.tools"};
    fake.write();
    EXPECT_FALSE(ADBBridge::isAppInstalled("DC1"));
}

TEST_F(ADBBridgeTest, StartRequestCountsOnceAndAbsenceIsQuiet)
{
    auto dc1 = test::FakeAdbState::device("DC1");
    dc1["startRequest"] = true;
    fake.setDevices({dc1});

    EXPECT_TRUE(ADBBridge::checkStartRequest(std::nullopt));
    calls();
    EXPECT_FALSE(ADBBridge::checkStartRequest(std::nullopt));
    // A missing file makes cat fail: no removal is sent.
    EXPECT_EQ(calls(), "shell cat /data/local/tmp/quillbright_start");

    fake.read();
    fake.deviceState("DC1")["startRequest"] = " \n";
    fake.write();
    EXPECT_FALSE(ADBBridge::checkStartRequest("DC1"));
    EXPECT_EQ(calls(), "-s DC1 shell cat /data/local/tmp/quillbright_start");
}

TEST_F(ADBBridgeTest, HungAdbIsKilledAtItsLimit)
{
    fake.setDevices({test::FakeAdbState::device("DC1")});
    ADBBridge::Timing timing;
    timing.pidof = 1.5;
    ADBBridge::setTiming(timing);
    fake.fail("shell pidof", {{"mode", "hang"}, {"count", 1}});

    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(ADBBridge::isCompanionRunning("DC1"));
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(took, std::chrono::milliseconds(1400));
    EXPECT_LT(took, std::chrono::seconds(5));

    // Output that is not UTF-8 counts as no output.
    fake.fail("shell pidof", {{"mode", "garbage"}, {"count", 1}});
    EXPECT_FALSE(ADBBridge::isCompanionRunning("DC1"));
}

TEST_F(ADBBridgeTest, ServerStartAndNetworkConnect)
{
    fake.fail("start-server", {{"exit", 1}, {"stderr", "* failed to start daemon\nerror: cannot connect to daemon\n"}});
    EXPECT_FALSE(ADBBridge::ensureServerRunning());
    // A server that would not start is not tried again before every command.
    EXPECT_FALSE(ADBBridge::connectWiFi("10.0.0.9", 5555));
    EXPECT_EQ(calls(), "start-server | connect 10.0.0.9:5555");
    fake.fail("connect", {{"exit", 0}, {"stdout", "cannot resolve host 'x'\n"}});
    EXPECT_FALSE(ADBBridge::connectWiFi("x", 5555));
}

TEST(BundleIntegrity, ChecksTheResourcesDirectory)
{
    const test::TempDir dir("qb-bundle");
    auto touch = [&](const char* name) { std::ofstream(dir / name) << "x"; };

    // The companion file decides; adb comes from the system.
    EXPECT_EQ(BundleIntegrity::check(std::nullopt).description(), "missing_apk");
    touch("adb");
    EXPECT_EQ(BundleIntegrity::check(dir.path()).description(), "missing_apk");
    touch("app-debug.apk");
    EXPECT_EQ(BundleIntegrity::check(dir.path()).description(), "ok");
    std::filesystem::remove(dir / "adb");
    EXPECT_TRUE(BundleIntegrity::check(dir.path()).isOK());
}

} // namespace
} // namespace qb
