#include "platform/sim/SimScene.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "diagnostics/PlatformLog.h"

namespace qb::sim {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void fillBlack(std::uint8_t* out, std::size_t width, std::size_t height, std::size_t stride)
{
    for (std::size_t y = 0; y < height; ++y) {
        std::uint8_t* row = out + y * stride;
        for (std::size_t x = 0; x < width; ++x) {
            row[x * 4 + 0] = 0;
            row[x * 4 + 1] = 0;
            row[x * 4 + 2] = 0;
            row[x * 4 + 3] = 0xFF;
        }
    }
}

std::uint64_t indexAt(double seconds, double fps)
{
    if (!(seconds > 0) || !(fps > 0)) return 0;
    double frames = std::floor(seconds * fps);
    if (frames >= 1.8e19) return 0;
    return static_cast<std::uint64_t>(frames);
}

class PatternScene final : public SimScene {
public:
    explicit PatternScene(double fps)
        : fps_(fps)
    {
    }

    std::uint64_t frameAt(double seconds) const override { return indexAt(seconds, fps_); }

    // A diagonal gradient that scrolls, a white bar that crosses the screen
    // and a black band at the bottom whose width counts the pictures: every
    // picture differs from the one before in a way a delta encoder sees.
    void render(std::uint64_t index, std::uint8_t* out, std::size_t width, std::size_t height,
        std::size_t stride) const override
    {
        if (width == 0 || height == 0) return;
        const std::size_t barX = (index * 8) % width;
        const std::size_t counter = index % (width + 1);
        const auto shift = static_cast<std::uint8_t>(index * 4);
        for (std::size_t y = 0; y < height; ++y) {
            std::uint8_t* row = out + y * stride;
            const bool band = y + 8 >= height;
            for (std::size_t x = 0; x < width; ++x) {
                std::uint8_t* p = row + x * 4;
                if (band) {
                    std::uint8_t v = x < counter ? 0x00 : 0xFF;
                    p[0] = p[1] = p[2] = v;
                } else if (x >= barX && x < barX + 16) {
                    p[0] = p[1] = p[2] = 0xFF;
                } else {
                    p[0] = static_cast<std::uint8_t>(x + shift);
                    p[1] = static_cast<std::uint8_t>(y);
                    p[2] = static_cast<std::uint8_t>((x ^ y) >> 2);
                }
                p[3] = 0xFF;
            }
        }
    }

private:
    double fps_;
};

class PngDirectoryScene final : public SimScene {
public:
    PngDirectoryScene(std::vector<std::filesystem::path> files, double fps)
        : files_(std::move(files))
        , fps_(fps)
    {
    }

    std::uint64_t frameAt(double seconds) const override { return indexAt(seconds, fps_); }

    void render(std::uint64_t index, std::uint8_t* out, std::size_t width, std::size_t height,
        std::size_t stride) const override
    {
        auto image = frame(static_cast<std::size_t>(index % files_.size()));
        if (!image) {
            fillBlack(out, width, height, stride);
            return;
        }
        drawCovering(*image, out, width, height, stride);
    }

private:
    // Decoded frames stay cached up to a budget; past it, frames are decoded
    // each time they are shown (slower, but a long sequence fits in memory).
    static constexpr std::size_t CACHE_BUDGET_BYTES = 512u << 20;

    std::shared_ptr<const SimImage> frame(std::size_t i) const
    {
        {
            std::lock_guard guard(lock_);
            auto it = cache_.find(i);
            if (it != cache_.end()) return it->second;
        }
        auto loaded = loadPng(files_[i]);
        if (!loaded) return nullptr;
        auto image = std::make_shared<const SimImage>(std::move(*loaded));
        std::lock_guard guard(lock_);
        if (cachedBytes_ + image->bgra.size() <= CACHE_BUDGET_BYTES) {
            cachedBytes_ += image->bgra.size();
            cache_.emplace(i, image);
        }
        return image;
    }

    std::vector<std::filesystem::path> files_;
    double fps_;
    mutable std::mutex lock_;
    mutable std::map<std::size_t, std::shared_ptr<const SimImage>> cache_;
    mutable std::size_t cachedBytes_ = 0;
};

// Broken files are expected (any bytes may be handed to us): report them by
// result, not on standard error.
void pngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) { }

} // namespace

std::optional<SimImage> loadPng(const std::filesystem::path& path)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) return std::nullopt;

    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
    if (!png) return std::nullopt;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return std::nullopt;
    }

    // libpng reports errors by longjmp: nothing with a destructor may be
    // created between here and the end of the decode.
    SimImage* result = new SimImage;
    std::vector<png_bytep>* rows = new std::vector<png_bytep>;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        delete rows;
        delete result;
        return std::nullopt;
    }

    png_init_io(png, file.get());
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const int colorType = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);

    if (depth == 16) png_set_strip_16(png);
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if (!(colorType & PNG_COLOR_MASK_ALPHA)) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    png_set_bgr(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    if (png_get_rowbytes(png, info) != std::size_t(width) * 4 || width == 0 || height == 0
        || std::size_t(width) * height > (std::size_t(1) << 28)) {
        png_destroy_read_struct(&png, &info, nullptr);
        delete rows;
        delete result;
        return std::nullopt;
    }

    result->width = width;
    result->height = height;
    result->bgra.resize(std::size_t(width) * height * 4);
    rows->resize(height);
    for (png_uint_32 y = 0; y < height; ++y) (*rows)[y] = result->bgra.data() + std::size_t(y) * width * 4;
    png_read_image(png, rows->data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);

    SimImage image = std::move(*result);
    delete rows;
    delete result;
    return image;
}

void drawCovering(const SimImage& image, std::uint8_t* out, std::size_t width, std::size_t height,
    std::size_t stride)
{
    if (width == 0 || height == 0) return;
    if (image.width == 0 || image.height == 0 || image.bgra.size() < image.width * image.height * 4) {
        fillBlack(out, width, height, stride);
        return;
    }
    if (image.width == width && image.height == height) {
        for (std::size_t y = 0; y < height; ++y) std::memcpy(out + y * stride, image.bgra.data() + y * width * 4, width * 4);
        return;
    }
    // Scale so the picture covers the output, then crop the overflow evenly.
    // scaled = source × s with s = max(width / iw, height / ih).
    const double s = std::max(double(width) / double(image.width), double(height) / double(image.height));
    const double offsetX = (double(image.width) * s - double(width)) / 2;
    const double offsetY = (double(image.height) * s - double(height)) / 2;
    std::vector<std::size_t> sourceX(width);
    for (std::size_t x = 0; x < width; ++x) {
        auto sx = static_cast<std::size_t>((double(x) + offsetX) / s);
        sourceX[x] = std::min(sx, image.width - 1);
    }
    for (std::size_t y = 0; y < height; ++y) {
        auto sy = std::min(static_cast<std::size_t>((double(y) + offsetY) / s), image.height - 1);
        const std::uint8_t* in = image.bgra.data() + sy * image.width * 4;
        std::uint8_t* row = out + y * stride;
        for (std::size_t x = 0; x < width; ++x) std::memcpy(row + x * 4, in + sourceX[x] * 4, 4);
    }
}

std::shared_ptr<SimScene> makePatternScene(double fps)
{
    return std::make_shared<PatternScene>(fps);
}

std::shared_ptr<SimScene> makePngDirectoryScene(const std::filesystem::path& directory, double fps)
{
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
        if (entry.path().extension() == ".png") files.push_back(entry.path());
    }
    if (ec || files.empty()) return nullptr;
    std::sort(files.begin(), files.end());
    return std::make_shared<PngDirectoryScene>(std::move(files), fps);
}

std::shared_ptr<SimScene> sceneFromEnvironment()
{
    double fps = 30;
    if (const char* env = std::getenv("QUILLBRIGHT_SIM_FPS")) {
        char* end = nullptr;
        double parsed = std::strtod(env, &end);
        if (end != env && parsed > 0 && parsed <= 1000) fps = parsed;
    }
    const char* scene = std::getenv("QUILLBRIGHT_SIM_SCENE");
    if (scene && *scene && std::string_view(scene) != "pattern") {
        if (auto frames = makePngDirectoryScene(scene, fps)) return frames;
        platformLog(LogLevel::warn, "SimScene",
            std::string("[SimScene] No PNG frames in ") + scene + " — showing the test pattern");
    }
    return makePatternScene(fps);
}

void ScriptedScene::show(SimImage image)
{
    auto shared = std::make_shared<const SimImage>(std::move(image));
    std::lock_guard guard(lock_);
    image_ = std::move(shared);
    ++shown_;
}

void ScriptedScene::showSolid(std::size_t width, std::size_t height, std::uint8_t b, std::uint8_t g, std::uint8_t r)
{
    SimImage image{width, height, std::vector<std::uint8_t>(width * height * 4)};
    for (std::size_t i = 0; i < width * height; ++i) {
        image.bgra[i * 4 + 0] = b;
        image.bgra[i * 4 + 1] = g;
        image.bgra[i * 4 + 2] = r;
        image.bgra[i * 4 + 3] = 0xFF;
    }
    show(std::move(image));
}

std::uint64_t ScriptedScene::frameAt(double) const
{
    std::lock_guard guard(lock_);
    return shown_;
}

void ScriptedScene::render(std::uint64_t, std::uint8_t* out, std::size_t width, std::size_t height,
    std::size_t stride) const
{
    std::shared_ptr<const SimImage> image;
    {
        std::lock_guard guard(lock_);
        image = image_;
    }
    if (image) {
        drawCovering(*image, out, width, height, stride);
    } else {
        fillBlack(out, width, height, stride);
    }
}

} // namespace qb::sim
