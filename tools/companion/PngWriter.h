// Saves a decoded frame as PNG (8-bit greyscale or RGB), for looking at what
// the device would show.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qb::companion {

// Rows of `width` pixels of 1 (greyscale) or 3 (R, G, B) bytes, packed.
// Returns false (with `error` set) when the file cannot be written.
bool writePng(const std::string& path, std::uint32_t width, std::uint32_t height, bool rgb,
    std::span<const std::uint8_t> pixels, std::string& error);

} // namespace qb::companion
