// Recorded desktop frames: a directory of sequences, each a directory of
// NNNN.png frames, loaded as BGRA capture surfaces.
//
// A composed sequence is a recipe (bench/sequences/NAME.json) that lays
// frames of recorded sequences side by side on a larger screen, so a new
// screen size or mix of content needs no new recording:
//
//   {"width": 1600, "height": 2560, "frames": 10,
//    "layers": [{"sequence": "browsing", "first": 5, "x": 0, "y": 0}, ...]}
//
// Frame i of the result holds frame first + i of each layer's sequence (the
// last one once the sequence ends) at (x, y), clipped to the screen; layers
// later in the list cover earlier ones, and uncovered pixels are black.
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

// The recipes of composed sequences kept with the benches (bench/sequences).
std::filesystem::path composedSequencesDirectory();

// The sequence directories under `root` that hold at least one NNNN.png,
// then the composed sequences whose layers are all there, sorted by name.
std::vector<std::string> listSequences(const std::filesystem::path& root);

// Loads up to `maxFrames` frames (0: all) in file-name order, each as a BGRA
// surface with `padding` extra bytes per row. Nothing, with `error` set, when
// a file cannot be read or the frames differ in size.
std::optional<FrameSequence> loadSequence(const std::filesystem::path& directory, std::size_t maxFrames,
    std::size_t padding, std::string& error);

// The sequence `name`: the directory root/name, else the composed sequence of
// that name built from the sequences under `root`.
std::optional<FrameSequence> loadNamedSequence(const std::filesystem::path& root, const std::string& name,
    std::size_t maxFrames, std::size_t padding, std::string& error);

} // namespace qb::bench
