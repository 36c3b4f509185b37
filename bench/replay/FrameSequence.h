// Recorded desktop frames: a directory of sequences, each a directory of
// NNNN.png frames, loaded as BGRA capture surfaces.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/FakeCapture.h"

namespace qb::bench {

struct FrameSequence {
    std::string name;
    std::size_t width = 0;
    std::size_t height = 0;
    std::vector<std::unique_ptr<test::FakeSurface>> frames;
};

// The recorded frames beside the repository (../shared/frames), or the
// workplace's copy when this checkout is elsewhere.
std::filesystem::path defaultFramesDirectory();

// The sequence directories under `root` that hold at least one NNNN.png,
// sorted by name.
std::vector<std::string> listSequences(const std::filesystem::path& root);

// Loads up to `maxFrames` frames (0: all) in file-name order, each as a BGRA
// surface with `padding` extra bytes per row. Nothing, with `error` set, when
// a file cannot be read or the frames differ in size.
std::optional<FrameSequence> loadSequence(const std::filesystem::path& directory, std::size_t maxFrames,
    std::size_t padding, std::string& error);

} // namespace qb::bench
