#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/sim/SimScene.h"
#include "support/TestSupport.h"

namespace qb::sim {
namespace {

namespace fs = std::filesystem;

fs::path framesDirectory(const char* sequence)
{
    // CI has shared/ beside the clone; developers have it under /work.
    for (fs::path base : {fs::path(QB_SOURCE_DIR) / ".." / "shared" / "frames", fs::path("/work/shared/frames")}) {
        if (fs::exists(base / sequence / "0000.png")) return base / sequence;
    }
    return {};
}

// Writes an 8-bit PNG of `colorType` (gray, gray+alpha, RGB or RGBA).
void writePng(const fs::path& path, int width, int height, int colorType, const std::vector<std::uint8_t>& data)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(file);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
        PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const std::size_t rowBytes = data.size() / height;
    for (int y = 0; y < height; ++y) png_write_row(png, data.data() + y * rowBytes);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
}

TEST(SimScene, LoadsPngOfAnyColourTypeAsBgraAndRejectsBrokenFiles)
{
    test::TempDir dir("qb-scene");
    writePng(dir / "rgb.png", 2, 1, PNG_COLOR_TYPE_RGB, {10, 20, 30, 40, 50, 60});
    writePng(dir / "gray.png", 1, 2, PNG_COLOR_TYPE_GRAY, {7, 200});
    writePng(dir / "rgba.png", 1, 1, PNG_COLOR_TYPE_RGB_ALPHA, {1, 2, 3, 4});

    using Bytes = std::vector<std::uint8_t>;
    for (const auto& [name, bgra] : {std::pair<const char*, Bytes>{"rgb.png", {30, 20, 10, 255, 60, 50, 40, 255}},
             {"gray.png", {7, 7, 7, 255, 200, 200, 200, 255}}, {"rgba.png", {3, 2, 1, 4}}}) {
        auto image = loadPng(dir / name);
        ASSERT_TRUE(image) << name;
        EXPECT_EQ(image->bgra, bgra) << name;
    }
    EXPECT_EQ(loadPng(dir / "rgb.png")->width, 2u);

    // Truncated, garbage and missing files are refused, not crashed on.
    const std::string bytes = test::readFile(dir / "rgb.png");
    for (std::size_t cut : {bytes.size() / 2, std::size_t(8), std::size_t(3)}) {
        test::writeFile(dir / "cut.png", bytes.substr(0, cut));
        EXPECT_FALSE(loadPng(dir / "cut.png")) << cut;
    }
    test::writeFile(dir / "junk.png", "\x89PNG\r\n\x1a\nnot really a png at all");
    EXPECT_FALSE(loadPng(dir / "junk.png"));
    EXPECT_FALSE(loadPng(dir / "absent.png"));
}

TEST(SimScene, PngDirectoryReplaysFramesInOrderAtItsRateAndLoops)
{
    test::TempDir dir("qb-scene");
    // Three 2×2 frames of one grey level each, plus a file that is not a frame.
    for (int i = 0; i < 3; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%04d.png", i);
        writePng(dir / name, 2, 2, PNG_COLOR_TYPE_GRAY, std::vector<std::uint8_t>(4, std::uint8_t(50 * (i + 1))));
    }
    std::ofstream(dir / "frames.json") << "{}";
    auto scene = makePngDirectoryScene(dir.path(), 10);
    ASSERT_TRUE(scene);
    EXPECT_EQ(scene->frameAt(0.099), 0u);
    EXPECT_EQ(scene->frameAt(0.15), 1u);

    // Rendered into a padded 4×3 area: every pixel the frame's grey, padding untouched.
    const std::size_t stride = 4 * 4 + 8;
    auto greyAt = [&](std::uint64_t index) {
        std::vector<std::uint8_t> out(stride * 3, 0xAB);
        scene->render(index, out.data(), 4, 3, stride);
        EXPECT_EQ(out[stride - 1], 0xAB);
        EXPECT_EQ(out[2 * stride + 3 * 4], out[0]);
        return out[0];
    };
    EXPECT_EQ(greyAt(0), 50);
    EXPECT_EQ(greyAt(2), 150);
    EXPECT_EQ(greyAt(3), 50) << "the sequence loops";

    test::TempDir empty("qb-scene");
    EXPECT_EQ(makePngDirectoryScene(empty.path(), 10), nullptr);
    EXPECT_EQ(makePngDirectoryScene(empty / "missing", 10), nullptr);
}

TEST(SimScene, RecordedDesktopFramesAreShownExactlyAtTheirSizeAndScaledOtherwise)
{
    const fs::path reading = framesDirectory("reading");
    if (reading.empty()) GTEST_SKIP() << "no recorded frames";
    auto scene = makePngDirectoryScene(reading, 30);
    ASSERT_TRUE(scene);
    auto original = loadPng(reading / "0001.png");
    ASSERT_TRUE(original);
    ASSERT_EQ(original->width, 1600u);

    const std::size_t stride = 1600 * 4 + 64;
    std::vector<std::uint8_t> full(stride * 1200);
    scene->render(1, full.data(), 1600, 1200, stride);
    for (std::size_t y : {0u, 599u, 1199u}) {
        EXPECT_TRUE(std::equal(original->bgra.begin() + y * 6400, original->bgra.begin() + (y + 1) * 6400,
            full.begin() + y * stride))
            << "row " << y;
    }

    // Half the size: every output pixel is the source pixel at twice its position.
    std::vector<std::uint8_t> half(800 * 600 * 4);
    scene->render(1, half.data(), 800, 600, 800 * 4);
    for (auto [x, y] : {std::pair<std::size_t, std::size_t>{0, 0}, {400, 300}, {799, 599}}) {
        EXPECT_EQ(0, std::memcmp(&half[(y * 800 + x) * 4], &original->bgra[(2 * y * 1600 + 2 * x) * 4], 4));
    }
}

TEST(SimScene, PatternChangesEveryPicture)
{
    auto pattern = makePatternScene(60);
    EXPECT_EQ(pattern->frameAt(1.0), 60u);
    std::vector<std::uint8_t> a(32 * 16 * 4), b(a.size());
    pattern->render(5, a.data(), 32, 16, 32 * 4);
    pattern->render(6, b.data(), 32, 16, 32 * 4);
    EXPECT_NE(a, b);
}

} // namespace
} // namespace qb::sim
