// The persisted engine settings: what loading makes of stored values (older
// forms, migrations, the profile rule), what it writes back, and a corrupt
// file.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/EngineSettings.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

class EngineSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("qb-settings-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(EngineSettingsTest, LoadsMigratesAndWritesBack)
{
    {
        SettingsStore store(dir / "settings.json");
        const auto v = EngineSettings(store).load();
        EXPECT_EQ(v.resolution, DisplayResolution::cozy());
        EXPECT_EQ(v.nonDC1Mode, "portrait-cozy");
        EXPECT_EQ(v.displayProfile, DisplayProfile::crispPaper);
        EXPECT_TRUE(v.autoMirrorEnabled);
        EXPECT_EQ(v.connectionMode, ConnectionMode::usb);
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
    }
}

TEST_F(EngineSettingsTest, EverySettingRoundTripsAndACorruptFileIsKept)
{
    const fs::path file = dir / "settings.json";
    {
        SettingsStore store(file);
        EngineSettings settings(store);
        settings.load();
        settings.storeResolution(DisplayResolution::portraitBalanced());
        settings.storeNonDC1Mode("landscape-sharp");
        settings.storeDisplayMode(DisplayMode::extended);
        settings.storeContrastAmount(1.6);
        settings.storeGammaAmount(1.1);
        settings.storeDisplayProfile(DisplayProfile::custom);
        settings.storeAutoMirrorEnabled(false);
        settings.storeAutoDimHost(false);
        settings.storeClamshellModeEnabled(true);
        settings.storeConnectionMode(ConnectionMode::wifi);
    }
    {
        SettingsStore store(file); // a later daemon
        const auto v = EngineSettings(store).load();
        EXPECT_EQ(v.resolution, DisplayResolution::portraitBalanced());
        EXPECT_EQ(v.nonDC1Mode, "landscape-sharp");
        EXPECT_EQ(v.displayMode, DisplayMode::extended);
        EXPECT_DOUBLE_EQ(v.contrastAmount, 1.6);
        EXPECT_DOUBLE_EQ(v.gammaAmount, 1.1);
        EXPECT_EQ(v.displayProfile, DisplayProfile::custom);
        EXPECT_FALSE(v.autoMirrorEnabled);
        EXPECT_FALSE(v.autoDimHost);
        EXPECT_TRUE(v.clamshellModeEnabled);
        EXPECT_EQ(v.connectionMode, ConnectionMode::wifi);
    }

    { std::ofstream(file, std::ios::trunc) << "{\"resolution\": \"sharp\", "; }
    SettingsStore store(file);
    const auto v = EngineSettings(store).load();
    EXPECT_EQ(v.resolution, DisplayResolution::cozy());
    EXPECT_TRUE(fs::exists(dir / "settings.json.bad"));
}

} // namespace
} // namespace qb
