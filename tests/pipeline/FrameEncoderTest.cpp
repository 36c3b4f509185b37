// The device's view of the encoder: every payload, decoded (LZ4, then XOR
// onto the picture before for a delta), must give the whole frame as the
// scalar definitions convert it, whatever rows the capture reported changed.
#include "pipeline/FrameEncoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace qb {
namespace {

using Bytes = std::vector<std::uint8_t>; // empty: a payload that did not decode

struct Picture {
    std::size_t width, height, stride;
    std::vector<std::uint8_t> bgra;
};

// The whole frame through the scalar definitions.
std::vector<std::uint8_t> convertWhole(const Picture& picture, PixelFormat format, double contrast, double gamma)
{
    const int w = static_cast<int>(picture.width), h = static_cast<int>(picture.height);
    std::vector<std::uint8_t> out(picture.width * picture.height * bytesPerPixel(format));
    if (format == PixelFormat::rgb) {
        scalar::convertBGRAToRGB(picture.bgra.data(), picture.stride, out.data(), w, h);
        return out;
    }
    scalar::convertBGRAToGrey(picture.bgra.data(), picture.stride, out.data(), w, h);
    if (!toneCurveIsIdentity(contrast, gamma)) scalar::applyToneCurve(makeToneCurve(contrast, gamma), out.data(), out.size());
    return out;
}

std::vector<const PixelKernelSet*> availableSets()
{
    std::vector<const PixelKernelSet*> sets;
    for (auto level : {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512bw, SimdLevel::avx512vbmi}) {
        if (auto* set = pixelKernels(level)) sets.push_back(set);
    }
    return sets;
}

// Random rectangles change between frames and are reported (with some
// reported rectangles that change nothing, some reaching past the frame);
// along the way an unchanged frame, a tone-curve change and a frame the
// encoder never saw (invalidate) happen. Keyframes and deltas alternate.
TEST(FrameEncoderTest, PayloadsDecodeToWholeFrameConversionForRandomDamage)
{
    std::mt19937 rng(5);
    auto pick = [&](std::size_t below) { return std::uniform_int_distribution<std::size_t>(0, below - 1)(rng); };
    for (const PixelKernelSet* set : availableSets()) {
        for (PixelFormat format : {PixelFormat::greyscale, PixelFormat::rgb}) {
            SCOPED_TRACE(std::string(simdLevelName(set->level)) + (format == PixelFormat::rgb ? " rgb" : " grey"));
            Picture picture{131, 47, 131 * 4 + 20, {}};
            picture.bgra.resize(picture.stride * picture.height);
            for (auto& b : picture.bgra) b = static_cast<std::uint8_t>(pick(256));
            FrameEncoder encoder(picture.width, picture.height, format, set);
            std::vector<std::uint8_t> screen; // what the device shows
            double contrast = 1.0;
            for (int frame = 0; frame < 40; ++frame) {
                std::vector<CaptureRect> changed;
                if (frame == 7 || frame == 8) {
                    // Nothing changed.
                } else if (frame == 20) {
                    contrast = 1.4; // every row is stale though no pixel changed
                } else {
                    for (std::size_t r = pick(4); r-- > 0;) {
                        CaptureRect rect{pick(picture.width), pick(picture.height), 1 + pick(40), 1 + pick(20)};
                        const std::size_t right = std::min(rect.x + rect.width, picture.width);
                        const std::size_t bottom = std::min(rect.y + rect.height, picture.height);
                        for (std::size_t y = rect.y; y < bottom; ++y) {
                            for (std::size_t x = rect.x; x < right; ++x) {
                                for (int k = 0; k < 4; ++k) picture.bgra[y * picture.stride + 4 * x + k] = static_cast<std::uint8_t>(pick(256));
                            }
                        }
                        changed.push_back(rect);
                    }
                    if (pick(3) == 0) changed.push_back({0, picture.height - 2, picture.width, 1000}); // clipped
                }
                if (frame == 30) {
                    // A frame whose changes the encoder never saw.
                    for (std::size_t i = 0; i < picture.bgra.size(); i += 97) picture.bgra[i] ^= 0x5A;
                    encoder.invalidate();
                }
                encoder.takeIn(picture.bgra.data(), picture.stride, changed, contrast, 1.2);
                const auto expected = convertWhole(picture, format, contrast, 1.2);
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), encoder.reference().begin())) << "frame " << frame;

                screen = frame % 9 == 0
                    ? test::unlz4(encoder.compressKeyframe(), expected.size()).value_or(Bytes{})
                    : test::xorDelta(test::unlz4(encoder.compressDelta(), expected.size()).value_or(Bytes{}), screen);
                ASSERT_EQ(screen, expected) << "frame " << frame;
            }
        }
    }
}

// A colour tablet's frame is large enough for the faster compressor passes,
// both as one pass over a mostly changed delta and as a large changed band
// joined with a small one far below it; the device still decodes each,
// also when helper threads compress it in pieces.
TEST(FrameEncoderTest, LargeColourDeltasDecodeOnEveryPath)
{
    RowSplitter helpers(2);
    for (RowSplitter* splitter : {static_cast<RowSplitter*>(nullptr), &helpers}) {
        std::uint32_t state = 11; // xorshift: sixteen million bytes a frame
        Picture picture{1600, 2560, 1600 * 4, {}};
        picture.bgra.resize(picture.stride * picture.height);
        auto paint = [&](std::size_t top, std::size_t bottom) {
            for (std::size_t i = top * picture.stride; i < bottom * picture.stride; ++i) {
                state ^= state << 13;
                state ^= state >> 17;
                state ^= state << 5;
                picture.bgra[i] = static_cast<std::uint8_t>(state % 5 == 0 ? state >> 8 : 200);
            }
        };
        FrameEncoder encoder(picture.width, picture.height, PixelFormat::rgb, nullptr, splitter);
        ASSERT_GE(1100 * picture.width * 3, FrameEncoder::FAST_COMPRESSION_BYTES);
        std::vector<std::uint8_t> screen;
        const std::vector<std::vector<CaptureRect>> frames{{{0, 0, 1600, 2560}}, {{0, 40, 1600, 1100}, {7, 2500, 30, 3}},
            {{0, 0, 1600, 2000}}};
        for (std::size_t frame = 0; frame < frames.size(); ++frame) {
            for (const CaptureRect& rect : frames[frame]) paint(rect.y, rect.y + rect.height);
            encoder.takeIn(picture.bgra.data(), picture.stride, frames[frame], 1.0, 1.0);
            const auto expected = convertWhole(picture, PixelFormat::rgb, 1.0, 1.0);
            screen = frame == 0 ? test::unlz4(encoder.compressKeyframe(), expected.size()).value_or(Bytes{})
                                : test::xorDelta(test::unlz4(encoder.compressDelta(), expected.size()).value_or(Bytes{}), screen);
            ASSERT_TRUE(screen == expected) << "frame " << frame << (splitter ? " with helpers" : "");
        }
    }
}

// A frame large enough to be shared with helper threads gives the same bytes
// as one encoded on the calling thread alone, band by band.
TEST(FrameEncoderTest, SharingTheWorkWithHelpersChangesNoByte)
{
    std::mt19937 rng(9);
    RowSplitter splitter(2);
    for (PixelFormat format : {PixelFormat::greyscale, PixelFormat::rgb}) {
        Picture picture{640, 480, 640 * 4 + 8, {}};
        picture.bgra.resize(picture.stride * picture.height);
        FrameEncoder alone(picture.width, picture.height, format);
        FrameEncoder shared(picture.width, picture.height, format, nullptr, &splitter);
        for (int frame = 0; frame < 4; ++frame) {
            for (auto& b : picture.bgra) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() : 255);
            // The whole frame, then one band over the split threshold and a small one.
            const std::vector<CaptureRect> changed = frame == 0 ? std::vector<CaptureRect>{}
                                                                : std::vector<CaptureRect>{{0, 3, 640, 450}, {5, 470, 9, 4}};
            alone.takeIn(picture.bgra.data(), picture.stride, changed, 1.3, 1.2);
            shared.takeIn(picture.bgra.data(), picture.stride, changed, 1.3, 1.2);
            ASSERT_TRUE(std::ranges::equal(alone.reference(), shared.reference())) << "frame " << frame;
            ASSERT_TRUE(std::ranges::equal(alone.compressDelta(), shared.compressDelta())) << "frame " << frame;
        }
    }
}

TEST(FrameEncoderTest, UnchangedFramesConvertNothingAndRepeatOnePayload)
{
    Picture picture{64, 16, 256, std::vector<std::uint8_t>(256 * 16, 0x40)};
    FrameEncoder encoder(64, 16, PixelFormat::greyscale);
    encoder.takeIn(picture.bgra.data(), picture.stride, {}, 1.0, 1.2);
    EXPECT_EQ(encoder.changedRows().size(), 1U); // the first frame is read whole
    const std::vector<std::uint8_t> key(encoder.compressKeyframe().begin(), encoder.compressKeyframe().end());

    // Pixels changed behind the encoder's back are not read when no rectangle names them.
    picture.bgra.assign(picture.bgra.size(), 0xFF);
    encoder.takeIn(picture.bgra.data(), picture.stride, {}, 1.0, 1.2);
    EXPECT_TRUE(encoder.changedRows().empty());
    const auto first = encoder.compressDelta();
    const std::vector<std::uint8_t> unchanged(first.begin(), first.end());
    EXPECT_EQ(test::unlz4(unchanged, 64 * 16), std::vector<std::uint8_t>(64 * 16, 0));
    encoder.takeIn(picture.bgra.data(), picture.stride, {}, 1.0, 1.2);
    const auto again = encoder.compressDelta();
    EXPECT_TRUE(std::equal(again.begin(), again.end(), unchanged.begin(), unchanged.end()));
    EXPECT_TRUE(std::ranges::equal(encoder.compressKeyframe(), key));

    // A rectangle of width 0, or right of the frame, changes no row.
    const std::vector<CaptureRect> empty{{3, 3, 0, 5}, {64, 2, 10, 5}};
    encoder.takeIn(picture.bgra.data(), picture.stride, empty, 1.0, 1.2);
    EXPECT_TRUE(encoder.changedRows().empty());

    EXPECT_FALSE(FrameEncoder::fits(0, 10, PixelFormat::rgb));
    EXPECT_FALSE(FrameEncoder::fits(70000, 70000, PixelFormat::greyscale));
    EXPECT_THROW(FrameEncoder(70000, 70000, PixelFormat::greyscale), std::invalid_argument);
}

} // namespace
} // namespace qb
