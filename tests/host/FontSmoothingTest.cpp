#include "host/FontSmoothing.h"

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "platform/linux/GSettingsFontSettings.h"
#include "platform/sim/SimHost.h"
#include "runtime/Process.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

GSettingsFontSettings::Options schemaOptions(std::string schema)
{
    GSettingsFontSettings::Options options;
    options.schema = std::move(schema);
    return options;
}

// gsettings against a private keyfile store: every gsettings process of the
// test reads and writes $XDG_CONFIG_HOME/glib-2.0/settings/keyfile in a
// directory of its own, never the desktop's dconf database.
class FontSmoothingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::access(GSettingsFontSettings::Options{}.gsettings.c_str(), X_OK) != 0) {
            GTEST_SKIP() << "gsettings not installed (apt-get install libglib2.0-bin)";
        }
        if (!GSettingsFontSettings().antialiasing().supported) {
            GTEST_SKIP() << "org.gnome.desktop.interface schema not installed (apt-get install gsettings-desktop-schemas)";
        }
    }

    std::optional<std::string> desktopValue() { return GSettingsFontSettings().antialiasing().value; }
    fs::path stateFile() const { return dir_ / "home" / ".quillbright" / "font_smoothing"; }

    const test::TempDir dir_{"font-smoothing"};
    const test::ScopedEnv config_{"XDG_CONFIG_HOME", (dir_ / "config").string()};
    const test::ScopedEnv backend_{"GSETTINGS_BACKEND", "keyfile"};
    PlatformLogMute mute;
};

TEST_F(FontSmoothingTest, OffWhileMirroringThenBackToTheDesktopsOwnValueEvenAfterACrash)
{
    auto settings = std::make_shared<GSettingsFontSettings>();
    ASSERT_TRUE(settings->setAntialiasing("rgba"));

    FontSmoothing smoothing(settings, stateFile());
    ASSERT_TRUE(smoothing.disable());
    EXPECT_EQ(desktopValue(), "none");
    EXPECT_EQ(smoothing.savedValue(), "rgba");
    ASSERT_TRUE(smoothing.disable()); // again: the saved value is still the desktop's, not our "none"
    EXPECT_EQ(smoothing.savedValue(), "rgba");

    ASSERT_TRUE(smoothing.enable());
    EXPECT_EQ(desktopValue(), "rgba");
    EXPECT_FALSE(fs::exists(stateFile()));
    EXPECT_FALSE(FontSmoothing(settings, stateFile()).repairAfterCrash()); // nothing left behind

    // A run that dies with smoothing off: the next one repairs it at launch.
    ASSERT_TRUE(FontSmoothing(settings, stateFile()).disable());
    FontSmoothing nextRun(settings, stateFile());
    EXPECT_TRUE(nextRun.repairAfterCrash());
    EXPECT_EQ(desktopValue(), "rgba");
    EXPECT_FALSE(fs::exists(stateFile()));
}

TEST_F(FontSmoothingTest, DesktopWithoutTheSettingIsLeftUntouched)
{
    auto missing = std::make_shared<GSettingsFontSettings>(
        schemaOptions("org.example.nonexistent"));
    FontSmoothing smoothing(missing, stateFile());
    EXPECT_FALSE(smoothing.disable());
    EXPECT_FALSE(fs::exists(stateFile()));
    EXPECT_EQ(desktopValue(), "grayscale");

    // A state file whose content is not a plain setting word is not fed to the desktop.
    fs::create_directories(stateFile().parent_path());
    std::ofstream(stateFile()) << "'; rm -rf ~";
    auto sim = std::make_shared<sim::SimFontSettings>("none");
    EXPECT_TRUE(FontSmoothing(sim, stateFile()).repairAfterCrash());
    EXPECT_EQ(sim->value(), "grayscale");
}

} // namespace
} // namespace qb
