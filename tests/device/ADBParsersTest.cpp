#include "device/ADBParsers.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace qb::ADBBridge {
namespace {

std::string fixture(const std::string& name)
{
    const std::filesystem::path path = std::filesystem::path(QB_FIXTURES_DIR) / "adb" / name;
    EXPECT_TRUE(std::filesystem::exists(path)) << name;
    return test::readFile(path);
}

TEST(ADBParsers, DeviceListKeepsAuthorizedDevicesInOrder)
{
    EXPECT_TRUE(parseDeviceLines(fixture("devices-l-empty.txt")).empty());
    EXPECT_TRUE(parseDeviceLines("List of devices attached\n").empty());
    EXPECT_TRUE(parseDeviceLines("").empty());

    // Unauthorized and offline lines are left out; a network device is kept.
    EXPECT_EQ(parseDeviceLines(fixture("devices-l-mixed.txt")),
        (std::vector<DeviceLine>{{"DC1A2B3C4D5E", "DC_1"}, {"R52N80ABCDE", "SM_X700"}, {"192.168.1.20:5555", "DC_1"}}));
    EXPECT_EQ(parseDeviceLines(fixture("devices-l-no-model.txt")),
        (std::vector<DeviceLine>{{"emulator-5554", "unknown"}}));
    EXPECT_EQ(parseDeviceLines(fixture("devices-short.txt")), (std::vector<DeviceLine>{{"DC1A2B3C4D5E", "unknown"}}));

    // The first line is adb's header even when it looks like a device.
    EXPECT_TRUE(parseDeviceLines("A device model:x\n").empty());
    EXPECT_EQ(parseDeviceLines("h\nA device model:x\nlonely\nB device model:\n"),
        (std::vector<DeviceLine>{{"A", "x"}, {"B", ""}}));
    // Windows line ends do not leak into the model.
    EXPECT_EQ(parseDeviceLines("h\r\nA device model:Pixel_7\r\n"), (std::vector<DeviceLine>{{"A", "Pixel_7"}}));
}

TEST(ADBParsers, UnauthorizedDevicesNeedTheExactState)
{
    EXPECT_EQ(parseUnauthorizedDevices(fixture("devices-l-unauthorized.txt")), std::vector<std::string>{"XYZ"});
    EXPECT_EQ(parseUnauthorizedDevices(fixture("devices-l-mixed.txt")), std::vector<std::string>{"XYZ"});
    EXPECT_EQ(parseUnauthorizedDevices(fixture("devices-short.txt")), std::vector<std::string>{"XYZ"});
    EXPECT_TRUE(parseUnauthorizedDevices("h\nA unauthorized-ish\nunauthorized\n").empty());
    EXPECT_TRUE(parseUnauthorizedDevices("XYZ unauthorized usb:1-1\n").empty()); // header only
}

TEST(ADBParsers, ScreenResolutionReadsOnlyThePhysicalSize)
{
    using Size = std::optional<std::pair<int, int>>;
    EXPECT_EQ(parseScreenResolution(fixture("wm-size.txt")), Size({1200, 1600}));
    EXPECT_EQ(parseScreenResolution(fixture("wm-size-override.txt")), Size({1200, 1600}));
    EXPECT_EQ(parseScreenResolution(fixture("wm-size-truncated.txt")), std::nullopt);
    EXPECT_EQ(parseScreenResolution("Override size: 1080x1440\n"), std::nullopt);
    EXPECT_EQ(parseScreenResolution(" \tPhysical size:   1404x1872  \r\n"), Size({1404, 1872}));
    // A broken first line does not hide a good later one.
    EXPECT_EQ(parseScreenResolution("Physical size: axb\nPhysical size: 800x600\n"), Size({800, 600}));
    for (const char* bad : {"Physical size: 0x1600", "Physical size: 1200x1600x3", "Physical size: -1200x1600",
             "Physical size: 99999999999x1", "Physical size: 1200 x 1600", "physical size: 1200x1600", ""}) {
        EXPECT_EQ(parseScreenResolution(bad), std::nullopt) << bad;
    }
}

TEST(ADBParsers, CompanionVersionFromTheFirstVersionLine)
{
    EXPECT_EQ(parseCompanionVersion(fixture("dumpsys-package.txt")), "2.4.4");
    // An empty first versionName= wins over a later one.
    EXPECT_EQ(parseCompanionVersion(fixture("dumpsys-package-empty-version.txt")), std::nullopt);
    EXPECT_EQ(parseCompanionVersion(fixture("dumpsys-package-missing.txt")), std::nullopt);
    EXPECT_EQ(parseCompanionVersion("    versionName=3.0.0-beta 1\r\n"), "3.0.0-beta 1");
    EXPECT_EQ(parseCompanionVersion("xversionName=1\n"), std::nullopt);
}

TEST(ADBParsers, LoginShellEnvironment)
{
    auto environment = parseEnvironment(fixture("env-login-shell.txt"));
    EXPECT_EQ(environment.at("A"), "b=c");
    EXPECT_EQ(environment.at("PATH"), "/opt/platform-tools:/usr/bin:/bin"); // the later line wins
    EXPECT_EQ(environment.at("LS_COLORS"), "rs=0:di=01;34:ln=01;36");
    EXPECT_EQ(environment.at("ANDROID_HOME"), "/home/ana/Android/Sdk");
    EXPECT_EQ(environment.size(), 5u);
    EXPECT_EQ(parseEnvironment("=x\nEMPTY=\n"), (std::map<std::string, std::string>{{"", "x"}, {"EMPTY", ""}}));
}

TEST(ADBParsers, SettingValues)
{
    EXPECT_EQ(parseSettingValue("120\n"), 120);
    EXPECT_EQ(parseSettingValue("  -5\r\n"), -5);
    EXPECT_EQ(parseSettingValue("+7"), 7);
    for (const char* bad : {"null\n", "", " \n", "12abc", "99999999999", "+", "++1", "+-1", "1 2"}) {
        EXPECT_EQ(parseSettingValue(bad), std::nullopt) << bad;
    }
}

TEST(ADBParsers, ToolsVersionFromTheVersionLine)
{
    EXPECT_EQ(parseToolsVersion("Android Debug Bridge version 1.0.41\r\nVersion 34.0.5-10900879\r\n"),
        (ToolsVersion{34, 0, 5}));
    for (const char* unreadable : {"Android Debug Bridge version 1.0.41\n", "Version 30.0\n", "Version x.1.2\n"}) {
        EXPECT_EQ(parseToolsVersion(unreadable), std::nullopt) << unreadable;
    }
}

// A lost server is told apart from a command that failed on the device.
TEST(ADBParsers, ServerUnreachableFromTheErrorText)
{
    for (const char* gone : {"* daemon not running; starting now at tcp:5037\nADB server didn't ACK\n",
             "error: cannot connect to daemon at tcp:5037: Connection refused\n",
             "error: protocol fault (couldn't read status): Connection reset by peer\n"}) {
        EXPECT_TRUE(saysServerUnreachable(gone)) << gone;
    }
    for (const char* device : {"", "error: device 'DC1-0001' not found\n", "error: device offline\n",
             "adb: error: listener 'tcp:8888' not found\n"}) {
        EXPECT_FALSE(saysServerUnreachable(device)) << device;
    }
}

// adb's length-prefixed lists, as its server sends them over a plug, an
// authorization and an unplug, arriving cut anywhere; bytes that are not
// that form stop the reader for good.
TEST(ADBParsers, TrackDevicesListsFromLengthPrefixedMessages)
{
    const std::string stream = std::string("0000") + "0016DC1-0001\tunauthorized\n" + "0010DC1-0001\tdevice\n"
        + "0026DC1-0001\tdevice\nemulator-5554\toffline\n" + "0000";
    const std::vector<std::vector<TrackedDevice>> expected = {{}, {{"DC1-0001", "unauthorized"}},
        {{"DC1-0001", "device"}}, {{"DC1-0001", "device"}, {"emulator-5554", "offline"}}, {}};
    TrackDevicesReader reader;
    std::vector<std::vector<TrackedDevice>> lists;
    for (std::size_t at = 0; at < stream.size(); at += 5) {
        for (auto& list : reader.feed(std::string_view(stream).substr(at, 5))) lists.push_back(list);
    }
    EXPECT_EQ(lists, expected);

    TrackDevicesReader garbled;
    EXPECT_EQ(garbled.feed("0010DC1-0001\tdevice\n* daemon started\n0000"),
        (std::vector<std::vector<TrackedDevice>>{{{"DC1-0001", "device"}}}));
    EXPECT_TRUE(garbled.broken());
    EXPECT_TRUE(garbled.feed("0000").empty());
}

} // namespace
} // namespace qb::ADBBridge
