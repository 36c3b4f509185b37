#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "platform/sim/SimScene.h"
#include "support/TestSupport.h"

namespace qb::sim {
namespace {

namespace fs = std::filesystem;

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

} // namespace
} // namespace qb::sim
