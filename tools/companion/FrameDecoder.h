// The device's view of the frame stream: applies each host message to a
// frame buffer exactly as a companion must, and says where the host broke
// the protocol. Pure (no sockets), so tests can drive it with bytes.
//
// Rules checked beyond the byte layout (which HostMessageReader checks):
//  - the stream opens with resolution, pixel format, brightness and warmth,
//    in that order;
//  - a resolution has no zero side and at most maxPixels pixels;
//  - every frame after the first one received carries the next sequence
//    number (modulo 2^32);
//  - a payload decompresses (raw LZ4 block) to exactly width x height x
//    bytes-per-pixel bytes.
// Deltas that arrive before any keyframe (a client that joined before the
// host had one) are counted and ignored: there is nothing to apply them to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "transport/FrameProtocol.h"

namespace qb::companion {

enum class FramePixelFormat : std::uint8_t { greyscale = 0, rgb = 1 };

struct DecodeCounters {
    std::uint64_t frames = 0;
    std::uint64_t keyframes = 0;
    std::uint64_t deltas = 0;
    std::uint64_t deltasBeforeKeyframe = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t commands = 0;
    double decodeSeconds = 0;
};

class FrameDecoder {
public:
    explicit FrameDecoder(std::uint64_t maxPixels = 64ull << 20) : maxPixels_(maxPixels) {}

    // Applies one message. Returns a description of the violation, if any;
    // after a violation the decoder's state is unspecified.
    std::optional<std::string> apply(const HostMessage& message);

    bool greetingComplete() const { return greetingSeen_ >= 4; }
    std::uint16_t width() const { return width_; }
    std::uint16_t height() const { return height_; }
    FramePixelFormat pixelFormat() const { return pixelFormat_; }
    std::size_t bytesPerPixel() const { return pixelFormat_ == FramePixelFormat::rgb ? 3 : 1; }
    std::size_t frameSize() const { return std::size_t{width_} * height_ * bytesPerPixel(); }
    std::optional<std::uint8_t> brightness() const { return brightness_; }
    std::optional<std::uint8_t> warmth() const { return warmth_; }

    // True once a keyframe has been applied at the current geometry.
    bool hasPicture() const { return hasPicture_; }
    // The current picture: rows of width pixels, 1 or 3 bytes each, packed.
    const std::vector<std::uint8_t>& frame() const { return frame_; }
    std::optional<std::uint32_t> lastSequence() const { return lastSequence_; }
    const DecodeCounters& counters() const { return counters_; }

private:
    std::optional<std::string> applyCommand(const CommandMessage& command);
    std::optional<std::string> applyFrame(const FrameMessage& frame);
    void resetPicture();

    std::uint64_t maxPixels_;
    int greetingSeen_ = 0;
    std::uint16_t width_ = 0;
    std::uint16_t height_ = 0;
    bool haveResolution_ = false;
    bool havePixelFormat_ = false;
    FramePixelFormat pixelFormat_ = FramePixelFormat::greyscale;
    std::optional<std::uint8_t> brightness_;
    std::optional<std::uint8_t> warmth_;
    bool hasPicture_ = false;
    std::vector<std::uint8_t> frame_;
    std::vector<std::uint8_t> scratch_;
    std::optional<std::uint32_t> lastSequence_;
    DecodeCounters counters_;
};

} // namespace qb::companion
