// Display capture: the platform service the frame encoder (ScreenCapture)
// draws its pixels from.
//
// Each backend keeps its own mechanism and its own words: the seam says
// only whether a stream started, and when it did not, whether trying again
// may help, with the backend's message.
//
//   auto backend = platform->captureBackend();
//   if (!backend->preflightScreenCaptureAccess()) ...            // no X display access
//   CaptureStreamRequest request{.displayId = id, .width = w, .height = h,
//       .queue = SerialQueue::makeDedicated("capture")};
//   auto stream = backend->createStream(request, handler);      // nullptr: display offline
//   if (auto failure = stream->start()) ...                      // temporary or permanent, and why
//   ...
//   stream->stop();        // afterwards no handler call runs or will start
//
// Threads: the backend and the stream may be used from any one
// thread at a time (the capture's owner). The handler runs on the request's
// serial queue, one call at a time, until stop() returns, the stream is
// destroyed, or the stream ends on its own with the `stopped` status.
//
// Lifetimes: destroying a stream stops it first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Platform.h"

namespace qb {

class SerialQueue;

// ---------------------------------------------------------------------------
// Fixed values of the capture mechanism

// 'BGRA' as a four-character code: bytes B, G, R, A in memory, 4 per pixel.
inline constexpr std::uint32_t CAPTURE_PIXEL_FORMAT_BGRA = 0x42475241;

// What a backend tells the user in its own words.
struct CaptureWords {
    // How log lines name one of its streams ("Restarting <name> for display 3...").
    std::string streamName = "capture stream";
    // Capture is not allowed (preflightScreenCaptureAccess() is false).
    std::string accessDenied = "Screen capture is not allowed on this desktop; `quillbright doctor` says what it needs.";
    // createStream() gave no stream.
    std::string streamUnavailable = "The display could not be captured — it may be offline.";
};

// Why a stream did not start, in the backend's words. A temporary failure
// may pass when the stream is started again later (the display is still
// being set up, the desktop was busy); a permanent one will not, for this
// display on this desktop.
struct CaptureFailure {
    enum class Kind { temporary, permanent };
    Kind kind = Kind::permanent;
    std::string message;

    static CaptureFailure temporary(std::string message) { return {Kind::temporary, std::move(message)}; }
    static CaptureFailure permanent(std::string message) { return {Kind::permanent, std::move(message)}; }
};

// What the handler's status says about a delivery.
enum class CaptureFrameStatus : std::int32_t {
    frameComplete = 0, // a new picture: the surface is valid
    frameIdle = 1,     // nothing changed since the last delivery; no surface
    frameBlank = 2,    // the display went blank (asleep, off); no surface
    stopped = 3,       // the stream ended on its own (display gone); last call
};

// ---------------------------------------------------------------------------
// Surfaces

// A rectangle of a surface, in pixels from its top-left corner.
struct CaptureRect {
    std::size_t x = 0;
    std::size_t y = 0;
    std::size_t width = 0;
    std::size_t height = 0;
    bool operator==(const CaptureRect&) const = default;
};

// One captured picture, BGRA, rows possibly padded (bytesPerRow may exceed
// width × bytesPerElement). Valid only during the handler call that passed it.
class CaptureSurface {
public:
    virtual ~CaptureSurface() = default;

    virtual std::size_t width() const = 0;
    virtual std::size_t height() const = 0;
    virtual std::size_t bytesPerElement() const = 0;
    virtual std::size_t bytesPerRow() const = 0;
    virtual std::uint32_t pixelFormat() const { return CAPTURE_PIXEL_FORMAT_BGRA; }
    // When the picture was taken (mediaTime seconds); 0 when unknown.
    virtual double timestamp() const { return 0; }

    // What changed since the stream's previous complete frame: the pixels
    // outside these rectangles are the same as in that frame. A backend that
    // does not track changes reports the whole surface; empty means nothing
    // changed. The first frame of a stream always reports the whole surface.
    virtual std::vector<CaptureRect> changedRects() const { return {{0, 0, width(), height()}}; }

    // Locks the pixels for reading; nullptr when the lock failed. Each
    // successful lock must be paired with unlockReadOnly().
    virtual const std::uint8_t* lockReadOnly() const = 0;
    virtual void unlockReadOnly() const = 0;
};

// RAII read lock:  SurfaceReadLock lock(*surface); if (!lock) return; lock.data()...
class SurfaceReadLock {
public:
    explicit SurfaceReadLock(const CaptureSurface& surface)
        : surface_(&surface)
        , data_(surface.lockReadOnly())
    {
    }
    ~SurfaceReadLock()
    {
        if (data_) surface_->unlockReadOnly();
    }
    SurfaceReadLock(const SurfaceReadLock&) = delete;
    SurfaceReadLock& operator=(const SurfaceReadLock&) = delete;

    explicit operator bool() const { return data_ != nullptr; }
    const std::uint8_t* data() const { return data_; }

private:
    const CaptureSurface* surface_;
    const std::uint8_t* data_;
};

// ---------------------------------------------------------------------------
// Streams

// status: a CaptureFrameStatus value as int32 (0 = complete frame);
// surface: the picture for frameComplete, nullptr otherwise.
using CaptureFrameHandler = std::function<void(std::int32_t status, const CaptureSurface* surface)>;

struct CaptureStreamRequest {
    std::uint32_t displayId = 0;
    std::size_t width = 0;  // output size; the display's picture is scaled to it
    std::size_t height = 0;
    std::uint32_t pixelFormat = CAPTURE_PIXEL_FORMAT_BGRA;
    double minimumFrameTime = 1.0 / 60.0; // seconds between deliveries, at least
    bool showCursor = true;               // the pointer is part of the picture
    // The serial queue the handler runs on; one per stream creation.
    std::shared_ptr<SerialQueue> queue;
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default;

    // Starts delivering; nothing on success, else why not. Starting a
    // started stream succeeds.
    virtual std::optional<CaptureFailure> start() = 0;

    // Whether frames come only when the picture changes (nothing repeats a
    // frame by itself, so a consumer that drops one asks for another).
    virtual bool deliversOnChangeOnly() const { return false; }
    // Asks for one more complete frame soon, changed or not; its surface
    // reports no changed rectangles when nothing changed.
    virtual void requestFrame() {}
    // Asks for a frame read whole from the screen and reported changed
    // everywhere, so that a change whose report was lost (an X server under
    // load, a compositor without damage metadata) reaches the device. By
    // default a frame as requestFrame() gives it, for backends whose surfaces
    // hold the whole current picture every time.
    virtual void requestReread() { requestFrame(); }

    // Stops delivering. When it returns, no handler call is running and none
    // will start, so the caller may free what the handler uses. Called from
    // the handler itself it cannot wait for that call: it only prevents later
    // ones. Idempotent.
    virtual void stop() = 0;
};

class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;

    // Whether this process may capture the screen, without asking.
    virtual bool preflightScreenCaptureAccess() = 0;
    // Asks for access where the platform can; returns the resulting state.
    virtual bool requestScreenCaptureAccess() = 0;
    // What the user reads about this backend's capture.
    virtual const CaptureWords& words() const
    {
        static const CaptureWords neutral;
        return neutral;
    }

    // Creates a stopped stream of the display; nullptr when the display does
    // not exist or cannot be captured (creation fails otherwise).
    virtual std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request,
        CaptureFrameHandler handler) = 0;
};

} // namespace qb
