// Capture streams of desktops that push pictures as they change (Mutter's
// PipeWire streams, wlroots' screencopy with damage): the backend hands each
// new picture with its damage to a FrameSink; the stream copies the changed
// rows and delivers at most once per minimum frame time on the request's
// queue. Nothing is delivered while nothing changes; a picture of another
// size than the request's is scaled with its aspect kept (a mirrored monitor).
//
// Threads: FrameSource members from the stream's caller; the sink's calls
// from the backend's own thread, never after detach() returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/CaptureStream.h"

namespace qb {

// One picture as the desktop delivered it: BGRx/BGRA rows of `stride` bytes.
struct PushedFrame {
    const std::uint8_t* data = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t stride = 0;
    // What changed since the previous picture; empty: unknown, all of it.
    std::vector<CaptureRect> damage;
};

// A display's newest picture, tightly packed, kept by a backend whose
// desktop sends a picture only when it changes, so that a capture attached
// later starts from it. Not locked: its owner's lock guards it.
class LatestPicture {
public:
    // Takes the changed rows of `frame` (all of them at a new size).
    void update(const PushedFrame& frame);
    // The picture kept, valid until the next update; nullopt before the first.
    std::optional<PushedFrame> picture() const;

private:
    std::vector<std::uint8_t> pixels_;
    std::size_t width_ = 0;
    std::size_t height_ = 0;
};

// What a capture stream receives from the display it watches.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // A new picture (the backend's thread; the pixels are valid during the call).
    virtual void frame(const PushedFrame& frame) = 0;
    // The display went away: no more frames.
    virtual void ended() = 0;
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The display's picture size in pixels; nullopt for an unknown display.
    virtual std::optional<std::pair<std::size_t, std::size_t>> pictureSize(std::uint32_t displayId) = 0;
    // A capture of another size starts: the display may take that size.
    virtual void fit(std::uint32_t displayId, std::size_t width, std::size_t height)
    {
        (void)displayId, (void)width, (void)height;
    }
    // Frames of the request's display go to `sink` until detach, beginning
    // with the display's newest picture; false for an unknown display.
    virtual bool attach(const CaptureStreamRequest& request, std::shared_ptr<FrameSink> sink) = 0;
    // When it returns, no call of the sink runs or will start.
    virtual void detach(std::uint32_t displayId, const FrameSink* sink) = 0;
};

// `words`: the desktop backend's own (its stream's name, its messages).
std::shared_ptr<CaptureBackend> makePushedCaptureBackend(std::shared_ptr<FrameSource> source,
    CaptureWords words = {});

} // namespace qb
