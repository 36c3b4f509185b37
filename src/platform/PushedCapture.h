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
#include <map>
#include <memory>
#include <mutex>
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

// What a capture stream receives from the display it watches.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // A new picture (the backend's thread; the pixels are valid during the call).
    virtual void frame(const PushedFrame& frame) = 0;
    // The display went away: no more frames.
    virtual void ended() = 0;
};

// The sink attached to each display of a desktop that sends a picture only
// when it changes (Mutter's and KWin's streams), with each display's newest
// picture, so that a capture attached later starts from it.
//
// Thread-safe. A sink is called under the lock: detach() returning means no
// call of it runs or will start.
class DisplaySinks {
public:
    // `sink` gets the display's newest picture at once, then every new one.
    void attach(std::uint32_t id, std::shared_ptr<FrameSink> sink);
    // Detaches `sink` when it is the one attached to `id`; the sink is let
    // go outside the lock (its owner may be waiting on it).
    void detach(std::uint32_t id, const FrameSink* sink);
    // A new picture of display `id`, kept and handed to its sink.
    void deliver(std::uint32_t id, const PushedFrame& frame);
    // Display `id` ended: its sink hears so.
    void ended(std::uint32_t id);
    // Forgets the newest picture of display `id`; with `ending`, its sink
    // hears first that the display ended (the display is gone).
    void forget(std::uint32_t id, bool ending);

private:
    // A display's newest picture, tightly packed.
    class Picture {
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

    std::mutex lock_;
    std::map<std::uint32_t, std::shared_ptr<FrameSink>> sinks_;
    std::map<std::uint32_t, Picture> pictures_;
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
