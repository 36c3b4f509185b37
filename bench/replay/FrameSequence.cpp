#include "FrameSequence.h"

#include <algorithm>
#include <cstring>

#include <png.h>

namespace qb::bench {

namespace fs = std::filesystem;

namespace {

bool isFrameFile(const fs::path& path)
{
    const std::string stem = path.stem().string();
    return path.extension() == ".png" && !stem.empty()
        && std::all_of(stem.begin(), stem.end(), [](unsigned char c) { return c >= '0' && c <= '9'; });
}

std::vector<fs::path> frameFiles(const fs::path& directory)
{
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(directory, ec)) {
        if (entry.is_regular_file() && isFrameFile(entry.path())) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

std::filesystem::path defaultFramesDirectory()
{
    const std::filesystem::path besideRepository = std::filesystem::path(QB_SOURCE_DIR) / ".." / "shared" / "frames";
    if (std::filesystem::is_directory(besideRepository)) return std::filesystem::weakly_canonical(besideRepository);
    return "/work/shared/frames";
}

std::vector<std::string> listSequences(const fs::path& root)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root, ec)) {
        if (entry.is_directory() && !frameFiles(entry.path()).empty()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<FrameSequence> loadSequence(const fs::path& directory, std::size_t maxFrames, std::size_t padding,
    std::string& error)
{
    FrameSequence sequence;
    sequence.name = directory.filename().string();
    auto files = frameFiles(directory);
    if (files.empty()) {
        error = "no NNNN.png frames in " + directory.string();
        return std::nullopt;
    }
    if (maxFrames > 0 && files.size() > maxFrames) files.resize(maxFrames);

    for (const auto& file : files) {
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&image, file.c_str())) {
            error = file.string() + ": " + image.message;
            return std::nullopt;
        }
        image.format = PNG_FORMAT_BGRA; // the capture surface's layout; opaque alpha is added
        if (sequence.frames.empty()) {
            sequence.width = image.width;
            sequence.height = image.height;
        } else if (image.width != sequence.width || image.height != sequence.height) {
            png_image_free(&image);
            error = file.string() + ": size differs from the first frame";
            return std::nullopt;
        }
        auto surface = std::make_unique<test::FakeSurface>(image.width, image.height, padding);
        const auto stride = static_cast<png_int_32>(surface->realBytesPerRow());
        if (!png_image_finish_read(&image, nullptr, surface->storage().data(), stride, nullptr)) {
            error = file.string() + ": " + image.message;
            png_image_free(&image);
            return std::nullopt;
        }
        sequence.frames.push_back(std::move(surface));
    }
    return sequence;
}

} // namespace qb::bench
