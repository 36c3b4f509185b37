#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "diagnostics/PlatformLog.h"
#include "pipeline/FakeCapture.h"
#include "pipeline/HardwareEncoder.h"

namespace qb {
namespace {

// A BGRA picture with padded rows: a gradient that moves with `shift`.
std::unique_ptr<test::FakeSurface> gradient(std::size_t width, std::size_t height, int shift = 0)
{
    auto surface = std::make_unique<test::FakeSurface>(width, height, 16);
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            std::uint8_t* p = surface->pixel(x, y);
            p[0] = static_cast<std::uint8_t>(x * 4 + shift);
            p[1] = static_cast<std::uint8_t>(y * 4);
            p[2] = static_cast<std::uint8_t>((x + y + shift) * 2);
            p[3] = 255;
        }
    }
    return surface;
}

// NAL unit types of an Annex-B byte stream (after 00 00 01 / 00 00 00 01 start codes).
std::vector<int> nalTypes(const std::vector<std::uint8_t>& bytes)
{
    std::vector<int> types;
    for (std::size_t i = 0; i + 3 < bytes.size(); ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            types.push_back(bytes[i + 3] & 0x1F);
            i += 2;
        }
    }
    return types;
}

bool has(const std::vector<int>& v, int x)
{
    return std::find(v.begin(), v.end(), x) != v.end();
}

// The encoder feeds a log-only size comparison: its session, keyframe
// interval and refusal of other sizes matter, not its bitstream's details.
TEST(HardwareEncoder, SoftwareFallbackKeysEverySixtyFramesAndRefusesOtherSizes)
{
    PlatformLogMute mute;
    HardwareEncoder encoder(64, 64, 60, 20.0, {"libx264"});
    ASSERT_TRUE(encoder.hasSession());

    std::vector<bool> keyframes;
    for (int i = 0; i < 61; ++i) {
        auto bytes = encoder.encode(*gradient(64, 64, i));
        ASSERT_TRUE(bytes) << "frame " << i;
        auto types = nalTypes(*bytes);
        keyframes.push_back(has(types, 5));
        EXPECT_TRUE(has(types, 1) || has(types, 5)) << "frame " << i << " holds a slice";
    }
    EXPECT_TRUE(keyframes[0]);
    EXPECT_TRUE(keyframes[60]) << "keyframe interval 60";
    for (int i = 1; i < 60; ++i) EXPECT_FALSE(keyframes[i]) << "frame " << i;

    // Surfaces of another size are refused without reading past them; the
    // session is still good afterwards.
    EXPECT_FALSE(encoder.encode(*gradient(32, 32)));
    EXPECT_FALSE(encoder.encode(*gradient(64, 65)));
    EXPECT_TRUE(encoder.encode(*gradient(64, 64)));

    encoder.stop();
    EXPECT_FALSE(encoder.hasSession());
    EXPECT_FALSE(encoder.encode(*gradient(64, 64)));
}

TEST(HardwareEncoder, WithoutAUsableEncoderThereIsNoSessionAndNothingIsEncoded)
{
    PlatformLogMute mute;
    HardwareEncoder none(64, 64, 60, 20.0, {"h264_made_up"});
    EXPECT_FALSE(none.hasSession());
    EXPECT_FALSE(none.encode(*gradient(64, 64)));

    // Sizes no encoder can take are refused up front.
    HardwareEncoder empty(0, 64, 60, 20.0, {"libx264"});
    EXPECT_FALSE(empty.hasSession());
    HardwareEncoder hugeFps(64, 64, 1'000'000, 20.0, {"libx264"});
    EXPECT_FALSE(hugeFps.hasSession());

    // The default list ends with the software encoder, so a session exists here too.
    HardwareEncoder fallback(64, 64, 60, 20.0);
    EXPECT_TRUE(fallback.hasSession());
    EXPECT_FALSE(fallback.encoderName().empty());
}

} // namespace
} // namespace qb
