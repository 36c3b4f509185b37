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
std::vector<int> nalTypes(const std::vector<std::uint8_t>& bytes, int* firstSpsProfile = nullptr)
{
    std::vector<int> types;
    for (std::size_t i = 0; i + 3 < bytes.size(); ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            const int type = bytes[i + 3] & 0x1F;
            types.push_back(type);
            if (type == 7 && firstSpsProfile && i + 4 < bytes.size() && *firstSpsProfile < 0) {
                *firstSpsProfile = bytes[i + 4];
            }
            i += 2;
        }
    }
    return types;
}

bool has(const std::vector<int>& v, int x)
{
    return std::find(v.begin(), v.end(), x) != v.end();
}

TEST(HardwareEncoder, SoftwareFallbackProducesBaselineAnnexBWithAKeyframeEverySixtyFramesAndRefusesOtherSizes)
{
    PlatformLogCapture log;
    HardwareEncoder encoder(64, 64, 60, 20.0, {"libx264"});
    ASSERT_TRUE(encoder.hasSession());
    EXPECT_EQ(encoder.encoderName(), "libx264");
    EXPECT_TRUE(log.contains(
        "libavcodec session (libx264) configured: 64x64 @ 60fps, 20.000000Mbps, Baseline profile, no B-frames"));

    std::vector<bool> keyframes;
    for (int i = 0; i < 61; ++i) {
        auto bytes = encoder.encode(*gradient(64, 64, i));
        ASSERT_TRUE(bytes) << "frame " << i;
        ASSERT_FALSE(bytes->empty());
        if (i == 0) {
            ASSERT_GE(bytes->size(), 4u);
            EXPECT_TRUE((*bytes)[0] == 0 && (*bytes)[1] == 0 && ((*bytes)[2] == 1 || ((*bytes)[2] == 0 && (*bytes)[3] == 1)))
                << "Annex-B start code";
            int profile = -1;
            auto types = nalTypes(*bytes, &profile);
            EXPECT_TRUE(has(types, 7) && has(types, 8)) << "SPS and PPS in band";
            EXPECT_EQ(profile, 66) << "Baseline profile";
        }
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
    EXPECT_TRUE(log.contains("av_frame_make_writable failed"));
    EXPECT_TRUE(encoder.encode(*gradient(64, 64)));

    encoder.stop();
    EXPECT_FALSE(encoder.hasSession());
    EXPECT_FALSE(encoder.encode(*gradient(64, 64)));
    encoder.stop();
    EXPECT_EQ(log.matching("HardwareEncoder stopped").size(), 1u);
}

TEST(HardwareEncoder, WithoutAUsableEncoderThereIsNoSessionAndNothingIsEncoded)
{
    PlatformLogCapture log;
    HardwareEncoder none(64, 64, 60, 20.0, {"h264_made_up"});
    EXPECT_FALSE(none.hasSession());
    EXPECT_EQ(none.encoderName(), "");
    EXPECT_TRUE(log.contains("Failed to create libavcodec H.264 session: avcodec_open2 failed with status"));
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
