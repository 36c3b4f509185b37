// Display capture: the platform service the frame encoder (ScreenCapture)
// draws its pixels from.
//
// The x11 backend links its libraries: XShm shared-memory images, XDamage
// telling when and where the picture changed, XRandR giving the displays'
// rectangles:
//
//   auto backend = platform->captureBackend();
//   if (!backend->preflightScreenCaptureAccess()) ...            // no X display access
//   CaptureStreamRequest request{.displayId = id, .width = w, .height = h,
//       .queue = SerialQueue::makeDedicated("capture")};
//   auto stream = backend->createStream(request, handler);      // nullptr: display offline
//   if (std::int32_t code = stream->start(); code != 0) ...      // platform error code
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

// How log lines name the stream ("Restarting XShm capture stream for display 3...").
inline constexpr std::string_view CAPTURE_STREAM_NAME = "XShm capture stream";

// The user-visible descriptions of capture failures.
namespace capture_text {

// Followed by the code in decimal and ".".
inline constexpr std::string_view STREAM_START_FAILED_PREFIX = "XShmAttach failed with code ";
inline constexpr std::string_view PERMISSION_DENIED =
    "Screen Recording permission not granted. Open the X display for QuillBright "
    "(DISPLAY and XAUTHORITY, or xhost +SI:localuser:<user>), then restart the app.";
inline constexpr std::string_view STREAM_CREATION_FAILED =
    "XShmCreateImage returned NULL — display may be offline.";

inline std::string streamStartFailed(std::int32_t code)
{
    return std::string(STREAM_START_FAILED_PREFIX) + std::to_string(code) + ".";
}

} // namespace capture_text

// What the handler's status says about a delivery.
enum class CaptureFrameStatus : std::int32_t {
    frameComplete = 0, // a new picture: the surface is valid
    frameIdle = 1,     // nothing changed since the last delivery; no surface
    frameBlank = 2,    // the display went blank (asleep, off); no surface
    stopped = 3,       // the stream ended on its own (display gone); last call
};

// Start errors (non-zero results of CaptureStream::start).
inline constexpr std::int32_t CAPTURE_ERROR_FAILURE = 1000;
inline constexpr std::int32_t CAPTURE_ERROR_ILLEGAL_ARGUMENT = 1001;
inline constexpr std::int32_t CAPTURE_ERROR_INVALID_CONNECTION = 1002;
inline constexpr std::int32_t CAPTURE_ERROR_CANNOT_COMPLETE = 1004;

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

    // Starts delivering; 0 on success, else a platform error code
    // (CAPTURE_ERROR_*). Starting a started stream returns 0.
    virtual std::int32_t start() = 0;

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

    // Creates a stopped stream of the display; nullptr when the display does
    // not exist or cannot be captured (creation fails otherwise).
    virtual std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request,
        CaptureFrameHandler handler) = 0;
};

} // namespace qb
