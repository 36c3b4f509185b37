#include "config/DeviceModels.h"
#include "config/DisplayResolution.h"
#include "config/MirrorStatus.h"
#include "config/Modes.h"
#include "config/MirrorError.h"

#include <set>
#include <unordered_set>

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(DisplayResolutionTest, CozyAndSharpShareAPixelSizeButNotAnIdentity)
{
    const auto& cozy = DisplayResolution::cozy();
    const auto& sharp = DisplayResolution::sharp();
    EXPECT_EQ(cozy.id(), "1600x1200@2x");
    EXPECT_EQ(cozy.rawValue(), "1600x1200");
    EXPECT_EQ(sharp.id(), "1600x1200");
    EXPECT_EQ(sharp.rawValue(), "1600x1200");
    EXPECT_NE(cozy, sharp);

    // Equality uses every field, the optional preset included.
    auto unnamed = sharp;
    unnamed.preset.reset();
    EXPECT_NE(unnamed, sharp);
    auto relabelled = sharp;
    relabelled.label = "Other";
    EXPECT_NE(relabelled, sharp);

    std::unordered_set<DisplayResolution> all(
        DisplayResolution::dc1Presets().begin(), DisplayResolution::dc1Presets().end());
    EXPECT_EQ(all.size(), 8u);
    EXPECT_TRUE(all.contains(DisplayResolution::portraitSharp()));

    EXPECT_TRUE(DisplayResolution::portraitCozy().isPortrait());
    EXPECT_FALSE(DisplayResolution::cozy().isPortrait());
    EXPECT_FALSE(DisplayResolution::sharp(1000, 1000).isPortrait()); // a square is not portrait
}

TEST(DisplayResolutionTest, PresetListsKeepTheirOrder)
{
    std::vector<std::string> names;
    for (const auto& r : DisplayResolution::dc1Presets()) names.push_back(*r.preset);
    EXPECT_EQ(names, (std::vector<std::string>{"cozy", "comfortable", "balanced", "sharp", "portraitCozy",
                         "portraitComfortable", "portraitBalanced", "portraitSharp"}));
    const auto& landscape = DisplayResolution::dc1LandscapePresets();
    const auto& portrait = DisplayResolution::dc1PortraitPresets();
    ASSERT_EQ(landscape.size(), 4u);
    ASSERT_EQ(portrait.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(landscape[i], DisplayResolution::dc1Presets()[i]);
        EXPECT_EQ(portrait[i], DisplayResolution::dc1Presets()[i + 4]);
        // Each portrait preset is its landscape twin turned on its side.
        EXPECT_EQ(portrait[i].width, landscape[i].height);
        EXPECT_EQ(portrait[i].height, landscape[i].width);
        EXPECT_EQ(portrait[i].isHiDPI, landscape[i].isHiDPI);
    }
}

TEST(DisplayResolutionTest, PresetNamedIsExactAndCaseSensitive)
{
    const auto found = DisplayResolution::presetNamed("portraitSharp");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->width, 1200u);
    EXPECT_EQ(found->height, 1600u);
    EXPECT_FALSE(found->isHiDPI);
    EXPECT_EQ(DisplayResolution::presetNamed("cozy"), DisplayResolution::cozy());
    for (const char* name : {"Sharp", "landscape-cozy", "", "1600x1200", "cozy "}) {
        EXPECT_FALSE(DisplayResolution::presetNamed(name)) << name;
    }
}

TEST(DisplayResolutionTest, ComputedPresetsFromANativeSize)
{
    const auto a = DisplayResolution::dynamicPresets(1600, 2560);
    const auto b = DisplayResolution::dynamicPresets(2560, 1600);
    EXPECT_EQ(a.landscape, b.landscape);
    EXPECT_EQ(a.portrait, b.portrait);
    ASSERT_EQ(a.landscape.size(), 2u);
    ASSERT_EQ(a.portrait.size(), 2u);

    EXPECT_EQ(a.landscape[0], (DisplayResolution{2560, 1600, true, "Cozy (1280\u00D7800)", std::nullopt}));
    EXPECT_EQ(a.landscape[1], (DisplayResolution{2560, 1600, false, "Sharp (2560\u00D71600)", std::nullopt}));
    EXPECT_EQ(a.portrait[0], (DisplayResolution{1600, 2560, true, "Cozy (800\u00D71280)", std::nullopt}));
    EXPECT_EQ(a.portrait[1], (DisplayResolution{1600, 2560, false, "Sharp (1600\u00D72560)", std::nullopt}));
    EXPECT_EQ(a.landscape[0].id(), "2560x1600@2x");

    // Odd sizes halve downwards in the label but keep their pixels.
    const auto odd = DisplayResolution::cozy(1081, 2401);
    EXPECT_EQ(odd.label, "Cozy (540\u00D71200)");
    EXPECT_EQ(odd.width, 1081u);
    EXPECT_EQ(odd.height, 2401u);
    EXPECT_FALSE(odd.preset);
}

TEST(EnumerationTest, ConstructionFromRawValues)
{
    // Every case round-trips through its raw value; lookups are exact.
    for (auto p : allDisplayProfiles) EXPECT_EQ(displayProfileFromRawValue(rawValue(p)), p);
    for (auto m : allDisplayModes) EXPECT_EQ(displayModeFromRawValue(rawValue(m)), m);
    for (auto m : allConnectionModes) EXPECT_EQ(connectionModeFromRawValue(rawValue(m)), m);
    for (auto f : allPixelFormats) EXPECT_EQ(pixelFormatFromRawValue(rawValue(f)), f);
    for (auto f : {DeviceFamily::daylightDC1, DeviceFamily::other}) EXPECT_EQ(deviceFamilyFromRawValue(rawValue(f)), f);
    EXPECT_FALSE(displayModeFromRawValue("Mirror"));
    EXPECT_FALSE(connectionModeFromRawValue("WiFi"));
    EXPECT_FALSE(displayProfileFromRawValue("crisp paper"));

    // The pixel format's raw value is the byte on the wire; only 0 and 1 exist.
    EXPECT_EQ(rawValue(PixelFormat::rgb), 1);
    EXPECT_EQ(bytesPerPixel(PixelFormat::rgb), 3u);
    EXPECT_FALSE(pixelFormatFromRawValue(2));

    // The older profile name still loads, and saves under the new one.
    const auto legacy = displayProfileFromRawValue("E-ink Crisp");
    ASSERT_TRUE(legacy);
    EXPECT_EQ(rawValue(*legacy), "Crisp Paper");
    EXPECT_DOUBLE_EQ(contrast(*legacy), 1.2);
    EXPECT_DOUBLE_EQ(gamma(DisplayProfile::balanced), 1.0);
}

TEST(MirrorStatusTest, LabelsAndEquality)
{
    EXPECT_EQ(MirrorStatus().label(), "idle");
    EXPECT_EQ(MirrorStatus::waitingForDevice().label(), "waiting_for_device");
    EXPECT_EQ(MirrorStatus::starting().label(), "starting");
    EXPECT_EQ(MirrorStatus::running().label(), "running");
    EXPECT_EQ(MirrorStatus::stopping().label(), "stopping");
    EXPECT_EQ(MirrorStatus::error("port 8888 busy").label(), "error: port 8888 busy");
    EXPECT_EQ(MirrorStatus::error("").label(), "error: ");

    EXPECT_EQ(MirrorStatus(), MirrorStatus::idle());
    EXPECT_EQ(MirrorStatus::error("a"), MirrorStatus::error("a"));
    EXPECT_NE(MirrorStatus::error("a"), MirrorStatus::error("b"));
    EXPECT_NE(MirrorStatus::error(""), MirrorStatus::idle());
    EXPECT_NE(MirrorStatus::running(), MirrorStatus::starting());
}

TEST(KnownDeviceTest, TableShape)
{
    std::set<std::string_view> patterns;
    int landscapeRows = 0;
    for (std::size_t i = 0; i < KNOWN_DEVICE_RESOLUTIONS.size(); ++i) {
        const auto& row = KNOWN_DEVICE_RESOLUTIONS[i];
        EXPECT_FALSE(row.pattern.empty()) << "row " << i + 1;
        EXPECT_GT(row.size.width, 0) << row.pattern;
        for (char c : row.pattern) EXPECT_FALSE(c >= 'A' && c <= 'Z') << row.pattern;
        patterns.insert(row.pattern);
        if (row.size.width > row.size.height) {
            ++landscapeRows;
            EXPECT_EQ(i + 1, 10u) << "only row 10 is landscape";
        }
    }
    EXPECT_EQ(patterns.size(), 108u) << "every pattern is distinct";
    EXPECT_EQ(landscapeRows, 1);
    EXPECT_EQ(KNOWN_DEVICE_RESOLUTIONS.front().pattern, "dc-1");
    EXPECT_EQ(KNOWN_DEVICE_RESOLUTIONS[9].pattern, "tab x");
    EXPECT_EQ(KNOWN_DEVICE_RESOLUTIONS[88].pattern, "a54");
    EXPECT_EQ(KNOWN_DEVICE_RESOLUTIONS.back().pattern, "razr 50 ultra");
}

TEST(KnownDeviceTest, FirstMatchingRowWins)
{
    struct Case {
        const char* model;
        PixelSize size;
    };
    const Case cases[] = {
        {"BOOX Note Air3 C", {1404, 1872}},
        {"DAYLIGHT DC-1", {1200, 1600}},
        {"Palma2", {824, 1648}},             // no space: only "palma" matches
        {"BOOX Tab X", {2480, 1860}},        // the landscape row
        {"Poke4 Lite", {758, 1024}},         // "poke4" before the general "poke"
        {"Poke5", {1072, 1448}},
        {"BOOX Poke3", {1072, 1448}},
        {"Max Lumi2", {1860, 2480}},
        {"Galaxy A54", {720, 1440}},         // "a5" (row 32) shadows "a54" (row 89)
        {"Galaxy Tab A9+", {1080, 2400}},    // "a9" (row 36) shadows "tab a9+" (row 55)
        {"SM Tab A7 Lite", {1080, 2160}},    // "a7" (row 35) shadows "tab a7" (row 58)
        {"Galaxy A34", {1080, 2340}},
        {"Galaxy A14 5G", {1080, 2408}},
        {"Pixel 9 Pro XL", {1344, 2992}},    // row 97 before "pixel 9 pro"
        {"Pixel 9 Pro", {1280, 2856}},
        {"Pixel 9", {1080, 2424}},
        {"Pixel 8 Pro", {1344, 2992}},
        {"Pixel Tablet", {1600, 2560}},
        {"Galaxy Tab S9 FE", {1600, 2560}},
        {"Galaxy Tab S9+", {1752, 2800}},
        {"Galaxy S24 Ultra", {1440, 3120}},
        {"Galaxy S23 FE", {1080, 2340}},
        {"OnePlus Pad 2", {1644, 2864}},
        {"OnePlus Pad", {1480, 2800}},
        {"Xiaomi Pad 6 Pro", {1440, 2880}},
        {"Galaxy Z Fold6", {1856, 2160}},
        {"Nothing Phone (2)", {1080, 2412}},
        {"moto edge 50 pro", {1220, 2712}},
    };
    for (const auto& c : cases) {
        const auto size = knownDeviceResolution(c.model);
        ASSERT_TRUE(size) << c.model;
        EXPECT_EQ(*size, c.size) << c.model;
    }
    EXPECT_FALSE(knownDeviceResolution("Unknown Phone"));
    EXPECT_FALSE(knownDeviceResolution(""));
    EXPECT_FALSE(knownDeviceResolution(std::string("dc\0-1", 5)));
}

TEST(KnownDeviceTest, GreyscaleAndFamilyClassification)
{
    for (const char* model : {"DC-1", "Daylight Computer", "BOOX Note Air3 C", "Hisense A9", "Galaxy A54",
             "Galaxy Tab A9+", "NXTPAPER 11", "Kindle Paperlike", "PocketBook InkPad"}) {
        EXPECT_TRUE(isGreyscaleDevice(model)) << model;
    }
    for (const char* model : {"Pixel 8", "Galaxy S24", "Pixel Tablet", "", "SM-X910"}) {
        EXPECT_FALSE(isGreyscaleDevice(model)) << model;
    }
    EXPECT_EQ(GREYSCALE_MODEL_PATTERNS.size(), 27u);

    EXPECT_EQ(deviceFamilyForModel("DC-1"), DeviceFamily::daylightDC1);
    EXPECT_EQ(deviceFamilyForModel("Daylight Computer"), DeviceFamily::daylightDC1);
    EXPECT_EQ(deviceFamilyForModel("dc_1 proto"), DeviceFamily::daylightDC1);
    EXPECT_EQ(deviceFamilyForModel("DC1"), DeviceFamily::daylightDC1);
    EXPECT_EQ(deviceFamilyForModel("Pixel 8"), DeviceFamily::other);
    EXPECT_EQ(deviceFamilyForModel(""), DeviceFamily::other);
}

TEST(CompanionCompatibilityTest, OnlyTheMajorVersionMustMatch)
{
    EXPECT_TRUE(isCompanionCompatible("2.3.1", "2.0"));
    EXPECT_FALSE(isCompanionCompatible("1.9", "2.0"));
    EXPECT_TRUE(isCompanionCompatible("", ""));
    EXPECT_TRUE(isCompanionCompatible("2", "2.0.0"));
    EXPECT_FALSE(isCompanionCompatible("v2.0", "2.0"));
    EXPECT_FALSE(isCompanionCompatible("20.1", "2.0"));
    // Empty pieces are dropped before the major version is taken.
    EXPECT_TRUE(isCompanionCompatible(".2.4", "2.4.4"));
    EXPECT_TRUE(isCompanionCompatible("..2", "2"));
    // Without any piece the whole strings decide.
    EXPECT_FALSE(isCompanionCompatible("...", "2.4.4"));
    EXPECT_TRUE(isCompanionCompatible("..", ".."));
    EXPECT_FALSE(isCompanionCompatible("..", "."));
}

TEST(MirrorErrorTest, FixedDescriptions)
{
    EXPECT_EQ(MirrorError::portUnavailable(8888).errorDescription(),
        "TCP port 8888 is unavailable (already in use or permission denied).");
    EXPECT_NE(MirrorError::portUnavailable(1), MirrorError::portUnavailable(2));

    // Thrown and caught as an ordinary exception.
    try {
        throw MirrorError::tcpOptionsUnavailable();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), MirrorError::tcpOptionsUnavailable().errorDescription().c_str());
    }
}

} // namespace
} // namespace qb
