// What a simulated display shows. A scene is a sequence of pictures in time:
// frameAt(t) names the picture shown t seconds after the scene began (a new
// index is a new picture, the same index an unchanged one), and render()
// draws a picture as BGRA at any size.
//
//   pattern   a moving test pattern (bars, gradient, a running counter)
//   PNG dir   0000.png, 0001.png, ... replayed in name order at a rate, looping;
//             each scaled to cover the output and centre-cropped
//   scripted  pictures the test shows one by one (ScriptedScene::show)
//
// QUILLBRIGHT_SIM_SCENE=pattern|<directory> and QUILLBRIGHT_SIM_FPS choose the
// scene of new displays (sceneFromEnvironment).
//
// Scenes are shared between capture threads: every member is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qb::sim {

// A tightly packed BGRA picture.
struct SimImage {
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<std::uint8_t> bgra;
};

// Reads a PNG of any colour type and depth as BGRA; nullopt when unreadable.
std::optional<SimImage> loadPng(const std::filesystem::path& path);

// Draws `image` into a width × height BGRA area with rows of `stride` bytes:
// scaled (nearest neighbour) to cover it, centred and cropped.
void drawCovering(const SimImage& image, std::uint8_t* out, std::size_t width, std::size_t height,
    std::size_t stride);

class SimScene {
public:
    virtual ~SimScene() = default;
    virtual std::uint64_t frameAt(double seconds) const = 0;
    virtual void render(std::uint64_t index, std::uint8_t* out, std::size_t width, std::size_t height,
        std::size_t stride) const = 0;
};

// A moving pattern at `fps` pictures per second.
std::shared_ptr<SimScene> makePatternScene(double fps);

// PNG frames of `directory` at `fps`; nullptr when it holds no readable PNG.
std::shared_ptr<SimScene> makePngDirectoryScene(const std::filesystem::path& directory, double fps);

// The scene QUILLBRIGHT_SIM_SCENE / QUILLBRIGHT_SIM_FPS describe (pattern at
// 30 fps by default; a directory without frames falls back to the pattern).
std::shared_ptr<SimScene> sceneFromEnvironment();

// Pictures a test shows one at a time; before the first show, black.
class ScriptedScene final : public SimScene {
public:
    void show(SimImage image);
    // A uniform picture of one BGRA colour.
    void showSolid(std::size_t width, std::size_t height, std::uint8_t b, std::uint8_t g, std::uint8_t r);

    std::uint64_t frameAt(double seconds) const override;
    void render(std::uint64_t index, std::uint8_t* out, std::size_t width, std::size_t height,
        std::size_t stride) const override;

private:
    mutable std::mutex lock_;
    std::uint64_t shown_ = 0;
    std::shared_ptr<const SimImage> image_;
};

} // namespace qb::sim
