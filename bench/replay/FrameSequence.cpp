#include "FrameSequence.h"

#include <algorithm>
#include <cstring>

#include <fstream>

#include <nlohmann/json.hpp>
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

struct Layer {
    std::string sequence;
    std::size_t first = 0;
    std::size_t x = 0;
    std::size_t y = 0;
};

struct Recipe {
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t frames = 0;
    std::vector<Layer> layers;
};

std::optional<Recipe> readRecipe(const fs::path& file, std::string& error)
{
    std::ifstream in(file);
    if (!in) {
        error = "cannot read " + file.string();
        return std::nullopt;
    }
    const auto json = nlohmann::json::parse(in, nullptr, false);
    Recipe recipe;
    try {
        recipe.width = json.at("width").get<std::size_t>();
        recipe.height = json.at("height").get<std::size_t>();
        recipe.frames = json.at("frames").get<std::size_t>();
        for (const auto& layer : json.at("layers")) {
            recipe.layers.push_back({layer.at("sequence").get<std::string>(), layer.value("first", std::size_t{0}),
                layer.value("x", std::size_t{0}), layer.value("y", std::size_t{0})});
        }
    } catch (const nlohmann::json::exception& e) {
        error = file.string() + ": " + e.what();
        return std::nullopt;
    }
    if (recipe.width == 0 || recipe.height == 0 || recipe.frames == 0 || recipe.layers.empty()) {
        error = file.string() + ": an empty screen or no layers";
        return std::nullopt;
    }
    return recipe;
}

std::optional<FrameSequence> compose(const Recipe& recipe, const fs::path& root, const std::string& name,
    std::size_t maxFrames, std::size_t padding, std::string& error)
{
    const std::size_t count = maxFrames > 0 ? std::min(maxFrames, recipe.frames) : recipe.frames;
    FrameSequence sequence;
    sequence.name = name;
    sequence.width = recipe.width;
    sequence.height = recipe.height;
    for (std::size_t i = 0; i < count; ++i) {
        sequence.frames.push_back(std::make_unique<test::FakeSurface>(recipe.width, recipe.height, padding));
        auto& pixels = sequence.frames.back()->storage();
        // Black, opaque.
        for (std::size_t k = 3; k < pixels.size(); k += 4) pixels[k] = 0xFF;
    }
    for (const Layer& layer : recipe.layers) {
        auto source = loadSequence(root / layer.sequence, layer.first + count, 0, error);
        if (!source) return std::nullopt;
        if (layer.x >= recipe.width || layer.y >= recipe.height) continue;
        const std::size_t columns = std::min(source->width, recipe.width - layer.x);
        const std::size_t rows = std::min(source->height, recipe.height - layer.y);
        for (std::size_t i = 0; i < count; ++i) {
            const test::FakeSurface& from = *source->frames[std::min(layer.first + i, source->frames.size() - 1)];
            test::FakeSurface& to = *sequence.frames[i];
            for (std::size_t y = 0; y < rows; ++y) {
                std::memcpy(to.pixel(layer.x, layer.y + y), from.lockReadOnly() + y * from.bytesPerRow(), 4 * columns);
            }
        }
    }
    return sequence;
}

} // namespace

std::filesystem::path composedSequencesDirectory()
{
    return std::filesystem::path(QB_SOURCE_DIR) / "bench" / "sequences";
}

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
    for (const auto& entry : fs::directory_iterator(composedSequencesDirectory(), ec)) {
        if (entry.path().extension() != ".json") continue;
        std::string error;
        const auto recipe = readRecipe(entry.path(), error);
        const bool present = recipe && std::all_of(recipe->layers.begin(), recipe->layers.end(), [&](const Layer& layer) {
            return std::find(names.begin(), names.end(), layer.sequence) != names.end();
        });
        if (present) names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<FrameSequence> loadNamedSequence(const fs::path& root, const std::string& name, std::size_t maxFrames,
    std::size_t padding, std::string& error)
{
    const fs::path recipe = composedSequencesDirectory() / (name + ".json");
    if (fs::is_directory(root / name) || !fs::is_regular_file(recipe)) return loadSequence(root / name, maxFrames, padding, error);
    const auto parsed = readRecipe(recipe, error);
    if (!parsed) return std::nullopt;
    return compose(*parsed, root, name, maxFrames, padding, error);
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
