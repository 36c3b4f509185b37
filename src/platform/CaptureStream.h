// Display capture: the platform service the frame encoder (ScreenCapture)
// draws its pixels from.
//
// The capture library is not linked: it is opened at run time and its
// operations are looked up by name, so a desktop without it (or an old one
// missing a symbol) becomes an orderly error instead of a failed program
// start. On Linux the library is libXext's XShm (shared-memory images), with
// XDamage telling which frames changed and XRandR giving the outputs:
//
//   auto backend = makeCaptureBackend(selectedPlatform());
//   if (!backend->preflightScreenCaptureAccess()) ...            // no X display access
//   auto library = backend->openLibrary();                       // nullptr: dlopen failed
//   if (!library->resolve(CAPTURE_SYMBOL_STOP)) ...              // missing symbol
//   CaptureStreamRequest request{.displayId = id, .width = w, .height = h,
//       .queue = SerialQueue::makeDedicated("capture")};
//   auto stream = library->createStream(request, handler);      // nullptr: display offline
//   if (std::int32_t code = stream->start(); code != 0) ...      // platform error code
//   ...
//   stream->stop();        // afterwards no handler call runs or will start
//
// Threads: the backend, the library and the stream may be used from any one
// thread at a time (the capture's owner). The handler runs on the request's
// serial queue, one call at a time, until stop() returns, the stream is
// destroyed, or the stream ends on its own with the `stopped` status.
//
// Lifetimes: a stream does not depend on its library object staying open
// (ScreenCapture closes the library after releasing the stream, and a
// restart may reopen it); destroying a stream stops it first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace qb {

class SerialQueue;

// ---------------------------------------------------------------------------
// Fixed values of the capture mechanism

// 'BGRA' as a four-character code: bytes B, G, R, A in memory, 4 per pixel.
inline constexpr std::uint32_t CAPTURE_PIXEL_FORMAT_BGRA = 0x42475241;

// The library opened at run time (dlopen, lazy binding) and the names of the
// three operations the capture resolves: create the shared image, attach it
// (start delivering), detach it (stop).
inline constexpr std::string_view CAPTURE_LIBRARY_PATH = "libXext.so.6";
inline constexpr std::string_view CAPTURE_LIBRARY_NAME = "libXext";
inline constexpr std::string_view CAPTURE_SYMBOL_STOP = "XShmDetach";
inline constexpr std::string_view CAPTURE_SYMBOL_CREATE = "XShmCreateImage";
inline constexpr std::string_view CAPTURE_SYMBOL_START = "XShmAttach";
// The name reported when either create or start is missing.
inline constexpr std::string_view CAPTURE_SYMBOL_CREATE_START = "XShmCreateImage/Attach";
// How log lines name the stream ("Restarting XShm capture stream for display 3...").
inline constexpr std::string_view CAPTURE_STREAM_NAME = "XShm capture stream";

// The user-visible descriptions of capture failures.
namespace capture_text {

// Followed by the symbol name.
inline constexpr std::string_view SYMBOL_RESOLUTION_FAILED_PREFIX = "Failed to resolve XShm capture symbol: ";
// Followed by the code in decimal and ".".
inline constexpr std::string_view STREAM_START_FAILED_PREFIX = "XShmAttach failed with code ";
inline constexpr std::string_view PERMISSION_DENIED =
    "Screen Recording permission not granted. Open the X display for QuillBright "
    "(DISPLAY and XAUTHORITY, or xhost +SI:localuser:<user>), then restart the app.";
inline constexpr std::string_view LIBRARY_LOAD_FAILED = "Failed to load libXext (XShm) library via dlopen.";
inline constexpr std::string_view STREAM_CREATION_FAILED =
    "XShmCreateImage returned NULL — display may be offline.";

inline std::string symbolResolutionFailed(std::string_view symbol)
{
    return std::string(SYMBOL_RESOLUTION_FAILED_PREFIX) + std::string(symbol);
}

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

// One captured picture, BGRA, rows possibly padded (bytesPerRow may exceed
// width × bytesPerElement). Valid only during the handler call that passed it.
class CaptureSurface {
public:
    virtual ~CaptureSurface() = default;

    virtual std::size_t width() const = 0;
    virtual std::size_t height() const = 0;
    virtual std::size_t bytesPerElement() const = 0;
    virtual std::size_t bytesPerRow() const = 0;

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

    // Stops delivering. When it returns, no handler call is running and none
    // will start, so the caller may free what the handler uses. Called from
    // the handler itself it cannot wait for that call: it only prevents later
    // ones. Idempotent.
    virtual void stop() = 0;
};

// The run-time opened capture library. Closing it is destroying it.
class CaptureLibrary {
public:
    virtual ~CaptureLibrary() = default;

    // Whether `symbol` (CAPTURE_SYMBOL_*) is present.
    virtual bool resolve(std::string_view symbol) const = 0;

    // Creates a stopped stream of the display; nullptr when the display does
    // not exist (or creation fails otherwise), or the create / start
    // operations are missing.
    virtual std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request,
        CaptureFrameHandler handler) = 0;
};

class CaptureBackend {
public:
    virtual ~CaptureBackend() = default;

    // Whether this process may capture the screen, without asking.
    virtual bool preflightScreenCaptureAccess() = 0;
    // Asks for access where the platform can; returns the resulting state.
    virtual bool requestScreenCaptureAccess() = 0;

    // Opens the capture library (CAPTURE_LIBRARY_PATH); nullptr when it cannot.
    virtual std::unique_ptr<CaptureLibrary> openLibrary() = 0;
};

std::shared_ptr<CaptureBackend> makeCaptureBackend(PlatformKind kind);

} // namespace qb
