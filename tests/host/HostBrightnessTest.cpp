#include "host/HostBrightness.h"

#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "host/MockLogind.h"
#include "platform/linux/SysfsBacklight.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using test::readFile;
using test::writeFile;

// A /sys/class/backlight look-alike: a firmware interface and the panel's
// own raw interface, whose device is the eDP connector.
class FakeSysfs {
public:
    FakeSysfs()
    {
        fs::create_directories(root());
        addEntry("acpi_video0", "firmware", 15, 15, "");
        addEntry("intel_backlight", "raw", 1000, 500, "card0-eDP-1");
    }
    fs::path root() const { return dir_ / "class" / "backlight"; }

    void addEntry(const std::string& name, const std::string& type, int max, int actual, const std::string& connector)
    {
        const auto entry = root() / name;
        fs::create_directories(entry);
        writeFile(entry / "type", type + "\n");
        writeFile(entry / "max_brightness", std::to_string(max) + "\n");
        writeFile(entry / "actual_brightness", std::to_string(actual) + "\n");
        writeFile(entry / "brightness", std::to_string(actual) + "\n");
        if (!connector.empty()) {
            fs::create_directories(dir_ / "devices" / connector);
            fs::create_directory_symlink(dir_ / "devices" / connector, entry / "device");
        }
    }

private:
    const test::TempDir dir_{"backlight"};
};

TEST(HostBrightnessTest, TheSysfsPanelIsReadAndSetAndNoPanelMeansNoWrites)
{
    PlatformLogMute mute;
    FakeSysfs sysfs;
    // No logind on this bus: writes fall back to the brightness file.
    auto logind = std::make_shared<LogindBus>(test::logindAt("unix:path=/nonexistent/bus", 1s));
    auto backlight = std::make_shared<SysfsBacklight>(sysfs.root(), logind);
    EXPECT_EQ(backlight->panel(), "intel_backlight");

    HostBrightness host(backlight);
    EXPECT_FLOAT_EQ(host.brightness().value_or(-1), 0.5F);
    EXPECT_TRUE(host.setBrightness(0.25F));
    EXPECT_EQ(readFile(sysfs.root() / "intel_backlight" / "brightness"), "250");
    EXPECT_TRUE(host.setBrightness(7.0F)); // limited to full
    EXPECT_EQ(readFile(sysfs.root() / "intel_backlight" / "brightness"), "1000");

    fs::remove_all(sysfs.root());
    fs::create_directories(sysfs.root());
    HostBrightness none(std::make_shared<SysfsBacklight>(sysfs.root(), nullptr));
    EXPECT_FALSE(none.brightness());
    EXPECT_FALSE(none.setBrightness(0.5F));
}

} // namespace
} // namespace qb
