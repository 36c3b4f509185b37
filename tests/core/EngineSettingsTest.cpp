// The persisted engine settings: what loading makes of stored values (older
// forms, migrations, the profile rule) and what it writes back. (A corrupt
// file: the settings store's test and the end-to-end daemon test.)
#include <filesystem>

#include <gtest/gtest.h>

#include "core/EngineSettings.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

class EngineSettingsTest : public ::testing::Test {
protected:
    test::TempDir scratch{"qb-settings"};
    const fs::path& dir = scratch.path();
};

TEST_F(EngineSettingsTest, LoadsMigratesAndWritesBack)
{
    {
        SettingsStore store(dir / "settings.json");
        EngineSettings(store).load();
        EXPECT_EQ(store.boolean("v1.7_defaults_migrated"), true);
    }
    {
        // Older forms, and values from before the migration marker.
        SettingsStore store(dir / "old.json");
        store.setString("resolution", "1600x1200");
        store.setString("resolutionMode", "sharp");
        store.setString("displayMode", "extended");
        store.setDouble("contrastAmount", 1.7);
        store.setString("displayProfile", "Balanced");
        store.setDouble("sharpenAmount", 0.5);
        store.setString("connectionMode", "wifi");
        store.setBool("autoDimMac", false);
        const auto v = EngineSettings(store).load();
        EXPECT_EQ(v.resolution, DisplayResolution::cozy());
        EXPECT_EQ(store.string("resolution"), "cozy");
        EXPECT_EQ(v.nonDC1Mode, "portrait-sharp");
        EXPECT_EQ(v.displayMode, DisplayMode::extended);
        EXPECT_EQ(v.displayProfile, DisplayProfile::crispPaper); // dropped by the migration
        EXPECT_DOUBLE_EQ(v.contrastAmount, contrast(DisplayProfile::crispPaper));
        EXPECT_FALSE(store.contains("sharpenAmount"));
        EXPECT_EQ(v.connectionMode, ConnectionMode::wifi);
        EXPECT_FALSE(v.autoDimHost);
    }
    {
        // After the migration: a stored contrast makes the profile custom;
        // a named profile brings its own contrast and gamma.
        SettingsStore store(dir / "tuned.json");
        store.setBool("v1.7_defaults_migrated", true);
        store.setDouble("contrastAmount", 1.7);
        store.setString("displayProfile", "Balanced");
        store.setString("resolutionMode", "landscape-cozy");
        auto v = EngineSettings(store).load();
        EXPECT_EQ(v.displayProfile, DisplayProfile::custom);
        EXPECT_DOUBLE_EQ(v.contrastAmount, 1.7);
        EXPECT_EQ(store.string("displayProfile"), "Custom");
        EXPECT_EQ(v.nonDC1Mode, "landscape-cozy");

        store.remove("contrastAmount");
        store.setString("displayProfile", "Balanced");
        v = EngineSettings(store).load();
        EXPECT_EQ(v.displayProfile, DisplayProfile::balanced);
        EXPECT_EQ(store.doubleValue("contrastAmount"), contrast(DisplayProfile::balanced));
        EXPECT_EQ(store.doubleValue("gammaAmount"), gamma(DisplayProfile::balanced));
        // The profile's own values, read at the next start, keep it.
        EXPECT_EQ(EngineSettings(store).load().displayProfile, DisplayProfile::balanced);
    }
}

// Every row of the settings table writes what loading reads back.
TEST_F(EngineSettingsTest, EverySettingRoundTrips)
{
    SettingsStore store(dir / "settings.json");
    store.setBool("v1.7_defaults_migrated", true);
    const EngineSettingsValues values{.resolution = DisplayResolution::balanced(), .nonDC1Mode = "landscape-sharp",
        .displayMode = DisplayMode::extended, .contrastAmount = 1.7, .gammaAmount = 1.1,
        .displayProfile = DisplayProfile::custom, .autoMirrorEnabled = false, .autoDimHost = false,
        .connectionMode = ConnectionMode::wifi, .clamshellModeEnabled = true};
    EngineState state;
    static_cast<EngineSettingsValues&>(state) = values;
    for (int p = 0; p <= static_cast<int>(EngineProperty::clamshellModeEnabled); ++p) {
        EngineSettings(store).store(state, static_cast<EngineProperty>(p));
    }
    const auto fields = [](const EngineSettingsValues& v) {
        return std::tuple(v.resolution, v.nonDC1Mode, v.displayMode, v.contrastAmount, v.gammaAmount,
            v.displayProfile, v.autoMirrorEnabled, v.autoDimHost, v.connectionMode, v.clamshellModeEnabled);
    };
    EXPECT_EQ(fields(EngineSettings(store).load()), fields(values));
}

} // namespace
} // namespace qb
