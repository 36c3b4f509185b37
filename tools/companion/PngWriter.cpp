#include "companion/PngWriter.h"

#include <csetjmp>
#include <cstdio>
#include <memory>

#include <png.h>

namespace qb::companion {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void onPngError(png_structp png, png_const_charp message)
{
    auto* error = static_cast<std::string*>(png_get_error_ptr(png));
    if (error) *error = message;
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

} // namespace

bool writePng(const std::string& path, std::uint32_t width, std::uint32_t height, bool rgb,
    std::span<const std::uint8_t> pixels, std::string& error)
{
    const std::size_t rowBytes = std::size_t{width} * (rgb ? 3 : 1);
    if (width == 0 || height == 0 || pixels.size() < rowBytes * height) {
        error = "no picture to save";
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot open " + path + " for writing";
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, onPngError, onPngWarning);
    if (!png) {
        error = "libpng: out of memory";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        if (error.empty()) error = "libpng failed";
        return false;
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, width, height, 8, rgb ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
        PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::uint32_t y = 0; y < height; ++y) {
        png_write_row(png, const_cast<png_bytep>(pixels.data() + rowBytes * y));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace qb::companion
