// Scales a mirrored desktop onto a tablet of another size: the picture keeps
// its aspect (black bars fill the rest) and every target pixel is the
// average of the source area it covers, so a one-pixel stroke turns grey
// instead of vanishing between two sampled columns.
//
//   MirrorScaler scaler;
//   scaler.scale(pixels, 1920, 1080, stride, target, 1600, 1200);   // BGRA both
//
// Touches take the opposite road: mirrorInputBounds() is the source
// rectangle grown to the target's aspect, so a touch at a fraction of the
// tablet lands on the pixel drawn there (a touch on a bar lands outside the
// mirrored monitor).
//
// A stream's frames reach its handler through a RequestSizedSurface: the
// captured picture itself when it has the request's size, else its scaled
// copy (a mirrored monitor of another size). A picture of exactly half the
// request in both directions (a HiDPI display laid out at its logical size
// on a desktop that cannot scale an output) is enlarged by doubleBGRA:
// every pixel becomes a 2x2 block, edges stay sharp, and only what changed
// is enlarged again.
//
// Not thread-safe: one scaler and one surface per capture stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/CaptureStream.h"

namespace qb {

struct ScaledArea {
    std::size_t x = 0;
    std::size_t y = 0;
    std::size_t width = 0;
    std::size_t height = 0;
    bool operator==(const ScaledArea&) const = default;
};

// Where a source of the given size lands, centred, in the target.
ScaledArea letterbox(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t targetWidth,
    std::size_t targetHeight);

struct MirrorInputBounds {
    double left = 0;
    double top = 0;
    double width = 0;
    double height = 0;
};

// `left`/`top`/`width`/`height`: the mirrored monitor in global coordinates.
MirrorInputBounds mirrorInputBounds(double left, double top, double width, double height, std::size_t targetWidth,
    std::size_t targetHeight);

// Each of `height` rows of `width` BGRA pixels (`sourceStride` bytes apart)
// becomes two rows of 2 x `width` pixels at `target` (`targetStride` bytes
// apart), every pixel repeated: an exact 2x enlargement, a pixel kernel of
// the capture path (SSE2, the x86-64 baseline; no per-pixel branch).
void doubleBGRA(const std::uint8_t* source, std::size_t sourceStride, std::size_t width, std::size_t height,
    std::uint8_t* target, std::size_t targetStride);

class MirrorScaler {
public:
    // 4 bytes per pixel in and out; `target` holds targetWidth*targetHeight*4
    // bytes, rows packed.
    void scale(const std::uint8_t* source, std::size_t sourceWidth, std::size_t sourceHeight,
        std::size_t sourceStride, std::uint8_t* target, std::size_t targetWidth, std::size_t targetHeight);

private:
    // One target pixel's source span: `count` weights from `first`, summing to 256.
    struct Taps {
        std::size_t first = 0;
        std::size_t count = 0;
        std::size_t weights = 0; // index into weights_
    };
    struct Axis {
        std::vector<Taps> taps;
        std::vector<std::uint16_t> weights;
    };
    static void build(Axis& axis, std::size_t source, std::size_t target);

    std::size_t sourceWidth_ = 0, sourceHeight_ = 0, targetWidth_ = 0, targetHeight_ = 0;
    ScaledArea area_;
    Axis columns_;
    Axis rows_;
    std::vector<std::uint16_t> rowSum_; // one source-width row after the vertical pass
};

class RequestSizedSurface final : public CaptureSurface {
public:
    // The next frame of a stream asking for `requestWidth` x `requestHeight`
    // pixels: `pixels` (valid until the next call) and the rectangles that
    // changed in it. Scaled, a change anywhere is a change everywhere, but
    // doubled, a change is its own rectangle twice the size; with
    // `scaledAlwaysChanged` a scaled or doubled frame is all changed even
    // when nothing was (a forced frame, such as a new preview page's, must
    // carry the picture).
    void show(const std::uint8_t* pixels, std::size_t width, std::size_t height, std::size_t bytesPerRow,
        std::vector<CaptureRect> changed, std::size_t requestWidth, std::size_t requestHeight,
        bool scaledAlwaysChanged = false);

    std::size_t width() const override { return width_; }
    std::size_t height() const override { return height_; }
    std::size_t bytesPerElement() const override { return 4; }
    std::size_t bytesPerRow() const override { return bytesPerRow_; }
    double timestamp() const override { return timestamp_; }
    std::vector<CaptureRect> changedRects() const override { return rects_; }
    const std::uint8_t* lockReadOnly() const override { return data_; }
    void unlockReadOnly() const override {}

private:
    MirrorScaler scaler_;
    std::vector<std::uint8_t> scaled_;
    // The source size `scaled_` holds the doubled picture of (0 x 0: none),
    // so a change enlarges only its own rectangle.
    std::size_t doubledWidth_ = 0;
    std::size_t doubledHeight_ = 0;
    const std::uint8_t* data_ = nullptr;
    std::size_t width_ = 0;
    std::size_t height_ = 0;
    std::size_t bytesPerRow_ = 0;
    double timestamp_ = 0;
    std::vector<CaptureRect> rects_;
};

} // namespace qb
