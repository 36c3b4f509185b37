#include "config/DeviceModels.h"
#include "config/DisplayResolution.h"
#include "config/Modes.h"

#include <set>
#include <unordered_set>

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(DisplayResolutionTest, PresetsAreDistinctAndFoundByExactName)
{
    // Cozy and Sharp share a pixel size but not an identity.
    const auto& cozy = DisplayResolution::cozy();
    const auto& sharp = DisplayResolution::sharp();
    EXPECT_EQ(cozy.id(), "1600x1200@2x");
    EXPECT_EQ(sharp.id(), "1600x1200");
    EXPECT_EQ(cozy.rawValue(), sharp.rawValue());
    EXPECT_NE(cozy, sharp);
    auto unnamed = sharp;
    unnamed.preset.reset();
    EXPECT_NE(unnamed, sharp); // equality uses every field
    const std::unordered_set<DisplayResolution> all(
        DisplayResolution::dc1Presets().begin(), DisplayResolution::dc1Presets().end());
    EXPECT_EQ(all.size(), 8u);

    EXPECT_EQ(DisplayResolution::presetNamed("portraitSharp"), DisplayResolution::portraitSharp());
    for (const char* name : {"Sharp", "landscape-cozy", "", "1600x1200", "cozy "}) {
        EXPECT_FALSE(DisplayResolution::presetNamed(name)) << name;
    }
    EXPECT_TRUE(DisplayResolution::portraitCozy().isPortrait());
    EXPECT_FALSE(DisplayResolution::sharp(1000, 1000).isPortrait()); // a square is not portrait
}

TEST(DisplayResolutionTest, ComputedPresetsFromANativeSize)
{
    // Either orientation of the native size gives the same presets.
    const auto a = DisplayResolution::dynamicPresets(1600, 2560);
    const auto b = DisplayResolution::dynamicPresets(2560, 1600);
    EXPECT_EQ(a.landscape, b.landscape);
    EXPECT_EQ(a.portrait, b.portrait);
    EXPECT_EQ(a.landscape, (std::vector<DisplayResolution>{{2560, 1600, true, "Cozy (1280\u00D7800)", std::nullopt},
                               {2560, 1600, false, "Sharp (2560\u00D71600)", std::nullopt}}));
    EXPECT_EQ(a.portrait, (std::vector<DisplayResolution>{{1600, 2560, true, "Cozy (800\u00D71280)", std::nullopt},
                              {1600, 2560, false, "Sharp (1600\u00D72560)", std::nullopt}}));
    // Odd sizes halve downwards in the label but keep their pixels.
    EXPECT_EQ(DisplayResolution::cozy(1081, 2401), (DisplayResolution{1081, 2401, true, "Cozy (540\u00D71200)", std::nullopt}));
}

TEST(EnumerationTest, LookupsAreExactAndTheOlderProfileNameStillLoads)
{
    EXPECT_FALSE(displayModeFromRawValue("Mirror"));
    EXPECT_FALSE(pixelFormatFromRawValue(2)); // the byte on the wire: only 0 and 1 exist
    const auto legacy = displayProfileFromRawValue("E-ink Crisp");
    ASSERT_TRUE(legacy);
    EXPECT_EQ(rawValue(*legacy), "Crisp Paper");
}

TEST(KnownDeviceTest, PatternsAreDistinctLowercaseAndTheFirstMatchWins)
{
    // Models are matched lowercased: a pattern with a capital never matches.
    std::set<std::string_view> patterns;
    for (const auto& row : KNOWN_DEVICE_RESOLUTIONS) {
        for (char c : row.pattern) EXPECT_FALSE(c >= 'A' && c <= 'Z') << row.pattern;
        EXPECT_TRUE(patterns.insert(row.pattern).second) << "twice: " << row.pattern;
    }
    for (const auto& [model, size] : std::initializer_list<std::pair<const char*, PixelSize>>{
             {"DAYLIGHT DC-1", {1200, 1600}},
             {"Palma2", {824, 1648}},          // no space: only "palma" matches
             {"BOOX Tab X", {2480, 1860}},     // the landscape row
             {"Poke4 Lite", {758, 1024}},      // "poke4" before the general "poke"
             {"Galaxy A54", {720, 1440}},      // "a5" shadows "a54"
             {"Galaxy Tab A9+", {1080, 2400}}, // "a9" shadows "tab a9+"
             {"SM Tab A7 Lite", {1080, 2160}}, // "a7" shadows "tab a7"
             {"Pixel 9 Pro XL", {1344, 2992}}, // before "pixel 9 pro"
             {"Pixel 9 Pro", {1280, 2856}},
         }) {
        EXPECT_EQ(knownDeviceResolution(model), std::optional(size)) << model;
    }
    for (const std::string& model : {std::string("Unknown Phone"), std::string(), std::string("dc\0-1", 5)}) {
        EXPECT_FALSE(knownDeviceResolution(model)) << model;
    }
}

TEST(KnownDeviceTest, GreyscaleAndFamilyClassification)
{
    for (const char* model : {"DC-1", "BOOX Note Air3 C", "Hisense A9", "NXTPAPER 11", "PocketBook InkPad"}) {
        EXPECT_TRUE(isGreyscaleDevice(model)) << model;
    }
    for (const char* model : {"Pixel 8", "Galaxy S24", "", "SM-X910"}) {
        EXPECT_FALSE(isGreyscaleDevice(model)) << model;
        EXPECT_EQ(deviceFamilyForModel(model), DeviceFamily::other) << model;
    }
    for (const char* model : {"DC-1", "Daylight Computer", "dc_1 proto", "DC1"}) {
        EXPECT_EQ(deviceFamilyForModel(model), DeviceFamily::daylightDC1) << model;
    }
}

TEST(CompanionCompatibilityTest, OnlyTheMajorVersionMustMatch)
{
    EXPECT_TRUE(isCompanionCompatible("2.3.1", "2.0"));
    EXPECT_FALSE(isCompanionCompatible("1.9", "2.0"));
    EXPECT_FALSE(isCompanionCompatible("v2.0", "2.0"));
    EXPECT_FALSE(isCompanionCompatible("20.1", "2.0"));
    // Empty pieces are dropped before the major version is taken; without any
    // piece the whole strings decide.
    EXPECT_TRUE(isCompanionCompatible(".2.4", "2.4.4"));
    EXPECT_TRUE(isCompanionCompatible("", ""));
    EXPECT_FALSE(isCompanionCompatible("...", "2.4.4"));
    EXPECT_FALSE(isCompanionCompatible("..", "."));
}

} // namespace
} // namespace qb
