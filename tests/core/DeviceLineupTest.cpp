#include "core/DeviceLineup.h"

#include <gtest/gtest.h>

#include "core/EngineFakes.h"
#include "diagnostics/PlatformLog.h"

namespace qb {
namespace {

using test::device;

TEST(DeviceLineupTest, DC1FirstThenOthersExtendedOnPortsThatSkipThePreviewAndInput)
{
    PlatformLogMute mute;
    NativeSizeCache cache;
    const auto lineup = deviceLineup({device("P1", "Pixel 8"), device("D1", "DC_1", 1200, 1600),
                                         device("T1", "Tablet X", 1600, 2560), device("T2", "Tablet Y", 1600, 2560)},
        LineupChoices{}, cache);
    ASSERT_EQ(lineup.size(), 4u);
    std::vector<std::tuple<std::string, int, DisplayMode, PixelFormat>> seen;
    for (const auto& e : lineup) seen.emplace_back(e.device.serial, e.port, e.displayMode, e.pixelFormat);
    EXPECT_EQ(seen, (std::vector<std::tuple<std::string, int, DisplayMode, PixelFormat>>{
                        {"D1", 8888, DisplayMode::mirror, PixelFormat::greyscale},
                        {"P1", 8889, DisplayMode::extended, PixelFormat::rgb},
                        {"T1", 8893, DisplayMode::extended, PixelFormat::rgb},
                        {"T2", 8894, DisplayMode::extended, PixelFormat::rgb}}));
    EXPECT_EQ(lineup[0].resolution, DisplayResolution::cozy()); // the DC-1 preset, not its native size
    EXPECT_EQ(lineup[1].resolution, DisplayResolution::cozy(1080, 2400)); // the known-device table
}

TEST(DeviceLineupTest, ResolutionForNonDC1Devices)
{
    PlatformLogMute mute;
    NativeSizeCache cache;
    LineupChoices choices;
    const auto size = [&](const ConnectedDevice& d) { return resolutionForDevice(d, choices, cache); };
    EXPECT_EQ(size(device("T1", "Tab", 1600, 2560)), DisplayResolution::cozy(1600, 2560));
    choices.nonDC1Mode = "landscape-sharp";
    EXPECT_EQ(size(device("T1", "Tab", 2560, 1600)), DisplayResolution::sharp(2560, 1600));

    // The known table, then the size the device reported earlier.
    choices.nonDC1Mode = "portrait-sharp";
    EXPECT_EQ(size(device("P1", "Pixel 8")), DisplayResolution::sharp(1080, 2400));
    size(device("P1", "Pixel 8", 1200, 2000));
    EXPECT_EQ(size(device("P1", "Pixel 8")), DisplayResolution::sharp(1200, 2000));
    // Unknown model without a size: the DC-1 preset.
    EXPECT_EQ(size(device("U1", "Mystery")), DisplayResolution::cozy());
    // Only the prefix and suffix of the mode count.
    choices.nonDC1Mode = "sharp";
    EXPECT_EQ(size(device("T1", "Tab", 2560, 1600)), DisplayResolution::sharp(1600, 2560));
    choices.nonDC1Mode = "landscape";
    EXPECT_EQ(size(device("T1", "Tab", 1600, 2560)), DisplayResolution::cozy(2560, 1600));
}

} // namespace
} // namespace qb
