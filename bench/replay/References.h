// The reference encoders the replay benchmark measures the frame path against:
// zstd level 1 on the same delta, JPEG quality 80 of the frame, and x264
// (ultrafast, zerolatency, one thread) on the whole sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qb::bench {

// zstd level 1 of `size` bytes; the compressed size (0 on failure).
class ZstdReference {
public:
    ZstdReference();
    ~ZstdReference();
    ZstdReference(const ZstdReference&) = delete;
    ZstdReference& operator=(const ZstdReference&) = delete;
    std::size_t compress(const std::uint8_t* data, std::size_t size);

private:
    void* context_;
    std::vector<std::uint8_t> output_;
};

// H.264 through libx264 directly: ultrafast preset, zerolatency tune, one
// thread, a keyframe every 60 frames. Input is one luma plane (greyscale
// devices: neutral chroma) or packed RGB converted to 4:2:0 outside the timing.
class X264Reference {
public:
    // Nothing usable when the size is odd or the encoder does not open.
    X264Reference(int width, int height);
    ~X264Reference();
    X264Reference(const X264Reference&) = delete;
    X264Reference& operator=(const X264Reference&) = delete;

    bool ready() const { return encoder_ != nullptr; }
    // Loads the next picture (not timed) from a converted frame.
    void loadGrey(const std::uint8_t* grey);
    void loadRGB(const std::uint8_t* rgb);
    // Encodes the loaded picture; the bytes produced for it.
    std::size_t encode();

private:
    struct Picture;
    int width_;
    int height_;
    void* encoder_ = nullptr;
    std::unique_ptr<Picture> picture_;
    std::int64_t pts_ = 0;
};

} // namespace qb::bench
