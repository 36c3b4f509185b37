// JPEG renderings of captured frames for the browser preview.
//
// The preview shows the capture surface itself (the unconverted BGRA
// pixels), desaturated for greyscale devices so the browser sees what the
// paper-like panel shows. One encoder per capture object; it keeps its
// compressor between frames and is used on the capture queue only (not
// thread-safe).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qb {

class PreviewEncoder {
public:
    static constexpr int DEFAULT_QUALITY = 80;

    explicit PreviewEncoder(int quality = DEFAULT_QUALITY);
    ~PreviewEncoder();
    PreviewEncoder(const PreviewEncoder&) = delete;
    PreviewEncoder& operator=(const PreviewEncoder&) = delete;

    // A baseline JPEG of `height` rows of `width` BGRA pixels, `stride` bytes
    // apart: one grey channel when `greyscale`, colour otherwise. Nothing when
    // the geometry is impossible or the compressor fails.
    std::optional<std::vector<std::uint8_t>> encode(const std::uint8_t* bgra, std::size_t width,
        std::size_t height, std::size_t stride, bool greyscale);

private:
    int quality_;
    void* compressor_; // tjhandle, created on first use
};

} // namespace qb
