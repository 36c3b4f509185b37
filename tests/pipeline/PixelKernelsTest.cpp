#include "pipeline/PixelKernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace qb {
namespace {

std::vector<const PixelKernelSet*> availableSets()
{
    std::vector<const PixelKernelSet*> sets;
    for (auto level : {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512bw, SimdLevel::avx512vbmi}) {
        if (auto* set = pixelKernels(level)) sets.push_back(set);
    }
    return sets;
}

std::vector<std::uint8_t> randomBytes(std::size_t n, std::mt19937& rng)
{
    std::vector<std::uint8_t> bytes(n);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(rng));
    return bytes;
}

// The definitions written out independently of the kernels' own scalar code.
std::uint8_t referenceGrey(const std::uint8_t* p) { return static_cast<std::uint8_t>((29 * p[0] + 150 * p[1] + 77 * p[2]) / 256); }

// Pixels in runs of one colour (black, white or random), as flat parts of a
// desktop give them: kernels that reuse the result of an identical block
// see both hits and misses.
std::vector<std::uint8_t> flatRuns(std::size_t n, std::mt19937& rng)
{
    std::vector<std::uint8_t> bytes(n);
    std::uniform_int_distribution<int> byte(0, 255), length(1, 300), kind(0, 2);
    for (std::size_t i = 0; i < n;) {
        const int k = kind(rng);
        const std::uint8_t colour[4] = {static_cast<std::uint8_t>(k == 0 ? 0 : k == 1 ? 255 : byte(rng)),
            static_cast<std::uint8_t>(k == 0 ? 0 : k == 1 ? 255 : byte(rng)),
            static_cast<std::uint8_t>(k == 0 ? 0 : k == 1 ? 255 : byte(rng)), 255};
        for (std::size_t end = std::min(n, i + 4 * static_cast<std::size_t>(length(rng))); i < end; ++i) bytes[i] = colour[i % 4];
    }
    return bytes;
}

// Widths around every vector size and its tails; strides with and without padding.
const int WIDTHS[] = {1, 2, 3, 4, 5, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 127, 129};

TEST(PixelKernelsTest, ConversionsMatchDefinitionForEveryWidthStrideAndSet)
{
    std::mt19937 rng(7);
    for (auto* set : availableSets()) {
        SCOPED_TRACE(std::string(simdLevelName(set->level)));
        for (int width : WIDTHS) {
            for (std::size_t padding : {std::size_t{0}, std::size_t{4}, std::size_t{60}, std::size_t{3}}) {
                const int height = 5;
                const std::size_t stride = static_cast<std::size_t>(width) * 4 + padding;
                auto src = randomBytes(stride * height, rng);
                // A guard byte after each destination catches writes past the packed frame.
                std::vector<std::uint8_t> grey(static_cast<std::size_t>(width) * height + 1, 0xA5);
                std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3 + 1, 0xA5);
                set->toGrey(src.data(), stride, grey.data(), width, height);
                set->toRGB(src.data(), stride, rgb.data(), width, height);
                for (int y = 0; y < height; ++y) {
                    for (int x = 0; x < width; ++x) {
                        const std::uint8_t* p = src.data() + y * stride + 4 * x;
                        const std::size_t i = static_cast<std::size_t>(y) * width + x;
                        ASSERT_EQ(grey[i], referenceGrey(p)) << "width " << width << " x " << x << " y " << y;
                        ASSERT_EQ(rgb[3 * i], p[2]);
                        ASSERT_EQ(rgb[3 * i + 1], p[1]);
                        ASSERT_EQ(rgb[3 * i + 2], p[0]) << "width " << width << " x " << x << " y " << y;
                    }
                }
                ASSERT_EQ(grey.back(), 0xA5);
                ASSERT_EQ(rgb.back(), 0xA5);
            }
        }
    }
}

TEST(PixelKernelsTest, GreyHandlesExtremesWithoutOverflow)
{
    // Every B, G, R combination of the extreme values (and alpha set and clear)
    // sits on the edges of the 16-bit arithmetic of the vector paths.
    std::vector<std::uint8_t> src;
    const std::uint8_t levels[] = {0, 1, 127, 128, 254, 255};
    for (auto b : levels)
        for (auto g : levels)
            for (auto r : levels)
                for (std::uint8_t a : {std::uint8_t{0}, std::uint8_t{255}}) src.insert(src.end(), {b, g, r, a});
    const int width = static_cast<int>(src.size() / 4);
    for (auto* set : availableSets()) {
        std::vector<std::uint8_t> grey(static_cast<std::size_t>(width));
        set->toGrey(src.data(), src.size(), grey.data(), width, 1);
        for (int x = 0; x < width; ++x) ASSERT_EQ(grey[x], referenceGrey(&src[4 * x])) << simdLevelName(set->level) << " pixel " << x;
        // The fused pass sums the pairs its own way.
        std::vector<std::uint8_t> reference(grey.size()), delta(grey.size());
        set->encodeGrey(src.data(), src.size(), width, 1, nullptr, reference.data(), delta.data());
        ASSERT_EQ(reference, grey) << simdLevelName(set->level);
    }
    std::uint8_t white[4] = {255, 255, 255, 255};
    std::uint8_t out = 0;
    convertBGRAToGrey(white, 4, &out, 1, 1);
    EXPECT_EQ(out, 255); // 256·255/256
}

TEST(PixelKernelsTest, ToneCurveAndXorMatchDefinitionForEveryLengthAndSet)
{
    std::mt19937 rng(11);
    const ToneCurve curve = [&] {
        ToneCurve c{};
        auto bytes = randomBytes(256, rng); // an arbitrary table, not only monotonic curves
        std::copy(bytes.begin(), bytes.end(), c.begin());
        return c;
    }();
    for (auto* set : availableSets()) {
        SCOPED_TRACE(std::string(simdLevelName(set->level)));
        for (std::size_t count : {0, 1, 7, 8, 9, 31, 32, 33, 63, 64, 65, 127, 128, 129, 1000, 4099}) {
            auto data = randomBytes(count + 1, rng);
            auto expected = data;
            for (std::size_t i = 0; i < count; ++i) expected[i] = curve[expected[i]];
            set->toneCurve(curve, data.data(), count);
            ASSERT_EQ(data, expected) << "count " << count;

            auto a = randomBytes(count, rng);
            auto b = randomBytes(count, rng);
            std::vector<std::uint8_t> delta(count + 1, 0x5A);
            set->xorDelta(a.data(), b.data(), delta.data(), static_cast<std::int64_t>(count));
            for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(delta[i], a[i] ^ b[i]) << "count " << count;
            ASSERT_EQ(delta[count], 0x5A);
        }
        // Every table index is reached, including those with the top bit set.
        std::vector<std::uint8_t> all(256);
        for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
        set->toneCurve(curve, all.data(), all.size());
        for (int i = 0; i < 256; ++i) ASSERT_EQ(all[i], curve[i]);

        std::uint8_t untouched = 9;
        set->xorDelta(&untouched, &untouched, &untouched, -5);
        EXPECT_EQ(untouched, 9);
    }
}

// The fused pass of every set against the definitions: converted (and
// curved) bytes land in the reference, their XOR with what it held in the
// delta; nothing outside the rows is touched.
TEST(PixelKernelsTest, FusedPassMatchesDefinitionForEveryWidthCurveAndSet)
{
    std::mt19937 rng(13);
    ToneCurve arbitrary{};
    const auto table = randomBytes(256, rng);
    std::copy(table.begin(), table.end(), arbitrary.begin());
    const ToneCurve gamma = makeToneCurve(1.0, 1.2);
    // Steep enough that both ends clamp: long runs of 0 and of 255.
    const ToneCurve clamped = makeToneCurve(3.0, 2.5);
    const int widths[] = {1, 3, 31, 32, 33, 63, 64, 65, 127, 129, 200, 1601};
    for (auto* set : availableSets()) {
        SCOPED_TRACE(std::string(simdLevelName(set->level)));
        for (int width : widths) {
            for (std::size_t padding : {std::size_t{0}, std::size_t{12}, std::size_t{3}}) {
                const int height = 3;
                const std::size_t stride = static_cast<std::size_t>(width) * 4 + padding;
                const auto src = padding == 12 ? flatRuns(stride * height, rng) : randomBytes(stride * height, rng);
                const std::size_t pixels = static_cast<std::size_t>(width) * height;
                for (const ToneCurve* curve : {static_cast<const ToneCurve*>(nullptr), &gamma, &clamped, static_cast<const ToneCurve*>(&arbitrary)}) {
                    // Guard bytes after the packed rows catch writes past them.
                    auto reference = randomBytes(pixels + 1, rng);
                    auto delta = randomBytes(pixels + 1, rng);
                    const auto before = reference;
                    const std::uint8_t guardR = reference.back(), guardD = delta.back();
                    set->encodeGrey(src.data(), stride, width, height, curve, reference.data(), delta.data());
                    for (std::size_t i = 0; i < pixels; ++i) {
                        const std::uint8_t* p = src.data() + (i / width) * stride + 4 * (i % width);
                        const std::uint8_t v = curve ? (*curve)[referenceGrey(p)] : referenceGrey(p);
                        ASSERT_EQ(reference[i], v) << "width " << width << " pixel " << i;
                        ASSERT_EQ(delta[i], v ^ before[i]) << "width " << width << " pixel " << i;
                    }
                    ASSERT_EQ(reference.back(), guardR);
                    ASSERT_EQ(delta.back(), guardD);
                }
                auto reference = randomBytes(pixels * 3 + 1, rng);
                auto delta = randomBytes(pixels * 3 + 1, rng);
                const auto before = reference;
                const std::uint8_t guardD = delta.back();
                set->encodeRGB(src.data(), stride, width, height, reference.data(), delta.data());
                for (std::size_t i = 0; i < pixels; ++i) {
                    const std::uint8_t* p = src.data() + (i / width) * stride + 4 * (i % width);
                    for (int k = 0; k < 3; ++k) {
                        ASSERT_EQ(reference[3 * i + k], p[2 - k]) << "width " << width << " pixel " << i;
                        ASSERT_EQ(delta[3 * i + k], p[2 - k] ^ before[3 * i + k]) << "width " << width;
                    }
                }
                ASSERT_EQ(reference.back(), before.back());
                ASSERT_EQ(delta.back(), guardD);
            }
        }
    }
}

TEST(PixelKernelsTest, ToneCurveTable)
{
    const struct {
        double contrast, gamma;
        int in, out;
    } points[] = {
        // The default amounts (contrast 1.0, gamma 1.2) make a pure gamma curve.
        {1.0, 1.2, 0, 0}, {1.0, 1.2, 64, 80}, {1.0, 1.2, 128, 143}, {1.0, 1.2, 255, 255},
        // Contrast spreads values away from 128; the ends clamp (−64 and 318.5).
        {1.5, 1.0, 0, 0}, {1.5, 1.0, 128, 128}, {1.5, 1.0, 255, 255},
        {1.5, 1.0, 100, 86},  // 1.5·(100 − 128) + 128 = 86
        {1.5, 1.0, 129, 129}, // 129.5 truncates
        {1.5, 1.2, 64, 56},   // both: gamma first, then contrast around 128: 1.5·(80.4… − 128) + 128 = 56.6…
        {1.0, 0.0, 0, 0}, {1.0, 0.0, 255, 255}, // nonsensical amounts still give a table of clamped values
    };
    for (const auto& p : points) {
        EXPECT_EQ(makeToneCurve(p.contrast, p.gamma)[p.in], p.out) << p.contrast << " " << p.gamma << " at " << p.in;
    }

    // Within 0.01 of 1 an amount counts as 1.
    const ToneCurve nearIdentity = makeToneCurve(1.005, 0.995);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(nearIdentity[i], i);
    EXPECT_TRUE(toneCurveIsIdentity(1.009, 0.991));
    EXPECT_FALSE(toneCurveIsIdentity(1.0, 1.2));
}

} // namespace
} // namespace qb
