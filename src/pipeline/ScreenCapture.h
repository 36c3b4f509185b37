// ScreenCapture: captures one display and turns every captured frame into a
// compressed message for the device.
//
// Per frame (on the stream's serial "capture" queue, one at a time) it
// converts the BGRA surface to the device's pixel format (8-bit grey through
// the contrast/gamma tone curve, or packed RGB), chooses a keyframe (every
// 60th frame, or when forced) or the XOR delta against the previous frame,
// compresses it as one raw LZ4 block (the pixel work is a FrameEncoder's)
// and hands it to the frame server with its keyframe flag and sequence
// number. It throttles itself against the frames in flight, drops deltas
// that are tiny (< 512 B) or abnormally large (> 3× the rolling average),
// feeds the browser preview with JPEGs while a preview client is connected
// (on a queue of their own, dropping frames rather than delaying the
// device's), and publishes StreamStats every 5 seconds.
//
// Ownership: the device session owns it (always through a std::shared_ptr:
// the stream's handler holds it weakly) from construction to after stop().
// start(), stop() and restartStream() are coroutines awaited by the session
// or the engine, one at a time per object except that stop() may arrive
// while restartStream() waits. setContrastAmount/setGammaAmount may be called
// from any thread at any time; the other setters before start().
//
// Buffers: the FrameEncoder, made by start() and dropped by stop(), holds the
// reference picture the deltas are taken against; each frame converts only
// the rows its surface reports changed. The encoder is guarded by a frame
// lock held for the whole frame, so stop() never frees it under a running
// frame.
//
// Healing: change reports can be lost (an X server under load, a compositor
// that sends no damage metadata), and a row nobody reports is never read
// again. So every `reread` period the stream is asked for a frame read whole
// and the encoder takes all of it in: a stale region heals within that time,
// at the cost of one whole conversion and one mostly-zero delta per period.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/StreamStats.h"
#include "config/Modes.h"
#include "transport/FrameSink.h"
#include "pipeline/FrameEncoder.h"
#include "pipeline/FramePolicy.h"
#include "pipeline/StreamFigures.h"
#include "pipeline/SideEncoder.h"
#include "platform/CaptureStream.h"
#include "runtime/Asio.h"
#include "runtime/Clock.h"
#include "runtime/Timer.h"

namespace qb {

class ScreenCaptureError : public std::runtime_error {
public:
    enum class Kind {
        streamStartFailed,
        permissionDenied,
        streamCreationFailed,
    };

    // The descriptions are the backend's words (CaptureWords, CaptureFailure).
    static ScreenCaptureError streamStartFailed(const CaptureFailure& failure);
    static ScreenCaptureError permissionDenied(const CaptureWords& words);
    static ScreenCaptureError streamCreationFailed(const CaptureWords& words);

    Kind kind() const { return kind_; }
    // A start that may pass when tried again later.
    bool temporary() const { return temporary_; }

private:
    ScreenCaptureError(Kind kind, std::string description, bool temporary = false);
    Kind kind_;
    bool temporary_;
};

// Creates the comparison encoder for (width, height, fps, bitrate Mbit/s);
// nullptr when none can be had.
using ComparisonEncoderFactory =
    std::function<std::unique_ptr<ComparisonEncoder>(std::int64_t, std::int64_t, std::int64_t, double)>;

struct ScreenCaptureTiming {
    Duration drain = std::chrono::milliseconds(100);        // stop: let a frame under way finish
    Duration restartPause = std::chrono::milliseconds(200); // restart: between old and new stream
    double statsInterval = 5.0;                             // seconds of wall clock per StreamStats
    Duration reread = std::chrono::seconds(2);              // the whole picture read again; 0: never
};

struct ScreenCaptureOptions {
    std::shared_ptr<CaptureBackend> backend; // required: the platform's capture
    ScreenCaptureTiming timing;
    ComparisonEncoderFactory comparisonEncoderFactory; // default: a HardwareEncoder
};

class ScreenCapture : public std::enable_shared_from_this<ScreenCapture> {
public:
    using Timing = ScreenCaptureTiming;
    using Options = ScreenCaptureOptions;

    // Frame geometry and cadence.
    static constexpr std::int64_t KEYFRAME_INTERVAL = FramePolicy::KEYFRAME_INTERVAL;
    static constexpr std::int64_t ADVICE_LOG_INTERVAL = 300;
    static constexpr int NOMINAL_FPS = 60;
    static constexpr double COMPARISON_BITRATE_MBPS = 20.0;

    ScreenCapture(std::shared_ptr<FrameSink> tcpServer, std::shared_ptr<PreviewSink> wsServer,
        std::uint32_t targetDisplayID, std::int64_t width, std::int64_t height, PixelFormat pixelFormat,
        Options options = {});
    ~ScreenCapture();
    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;

    // Throws ScreenCaptureError. A start that throws leaves the capture
    // running-without-stream and keeps what it allocated; stop() releases it.
    asio::awaitable<void> start();
    // Never throws; a second stop returns at once.
    asio::awaitable<void> stop();
    // Re-creates the stream in place (after a lid opening). Never throws;
    // refused unless running; a failure leaves the capture stopped.
    asio::awaitable<void> restartStream();

    void setContrastAmount(double amount) { contrastAmount_.store(amount, std::memory_order_relaxed); }
    void setGammaAmount(double amount) { gammaAmount_.store(amount, std::memory_order_relaxed); }
    double contrastAmount() const { return contrastAmount_.load(std::memory_order_relaxed); }
    double gammaAmount() const { return gammaAmount_.load(std::memory_order_relaxed); }

    void setEnableHardwareEncoderComparison(bool enabled) { enableHardwareEncoderComparison_ = enabled; }
    // Called on the capture queue every statistics interval, inside the frame
    // that completed it (so it must not wait for the capture's stop).
    void setOnStats(std::function<void(const StreamStats&)> onStats);
    // Called on the capture queue when the stream ended on its own while
    // running (its display left the desktop or went dark): no frame comes
    // until the capture is started again. Set before start().
    void setOnStreamEnded(std::function<void()> onEnded) { onStreamEnded_ = std::move(onEnded); }

    std::uint32_t targetDisplayID() const { return targetDisplayID_; }
    PixelFormat pixelFormat() const { return pixelFormat_; }
    bool isRunning() const;
    // Frames not sent since creation (back-pressure, tiny and oversized deltas,
    // unreadable surfaces).
    std::int64_t skippedFrames() const;
    // Returns once the preview and comparison work handed off so far is done
    // (it runs on its own queue; frames it is too busy for are dropped there).
    // Not from the capture queue.
    void waitForSideWork();

private:
    enum class CaptureLifecycle { running, restarting, stopped };

    void handleFrame(std::int32_t status, const CaptureSurface* surface);
    bool surfaceCoversFrame(const CaptureSurface& surface, const std::uint8_t* base);
    void publishStatsIfDue();
    // Asks an on-change stream for a frame that repairs one not sent.
    void requestRepairFrame();
    // The next frame is taken in whole, and the stream asked for one read whole.
    void requestReread();

    // The backend's words (neutral ones without a backend).
    const CaptureWords& words() const;
    // Creates and starts a stream into displayStream_; throws ScreenCaptureError.
    void createAndStartStream();
    // Takes the stream out under the lifecycle lock, stops and destroys it outside.
    void releaseStream();
    void stopHeldStream();
    void freeBuffers();

    const std::shared_ptr<FrameSink> tcpServer_;
    const std::shared_ptr<PreviewSink> wsServer_;
    const std::uint32_t targetDisplayID_;
    const PixelFormat pixelFormat_;
    const std::int64_t expectedWidth_;
    const std::int64_t expectedHeight_;
    const std::shared_ptr<CaptureBackend> backend_;
    const Timing timing_;
    const ComparisonEncoderFactory comparisonEncoderFactory_;

    // Lifecycle and the stream: short sections only.
    mutable std::mutex lifecycleLock_;
    CaptureLifecycle lifecycle_ = CaptureLifecycle::stopped;
    std::shared_ptr<CaptureStream> displayStream_;
    std::shared_ptr<Timer> rereadTimer_;
    std::function<void()> onStreamEnded_;
    std::atomic<bool> rereadNext_{false};

    std::atomic<double> contrastAmount_{1.0};
    std::atomic<double> gammaAmount_{1.2};
    bool enableHardwareEncoderComparison_ = false;

    std::mutex statsCallbackLock_;
    std::function<void(const StreamStats&)> onStats_;

    // Held for a whole frame, and by start/stop/restart while they touch the
    // frame state below.
    mutable std::mutex frameLock_;
    std::unique_ptr<FrameEncoder> encoder_;
    // The preview JPEG and the comparison, off the capture queue.
    std::shared_ptr<SideEncoder> sideEncoder_;
    std::int64_t frameWidth_ = 0;
    std::int64_t frameHeight_ = 0;
    FramePolicy policy_;
    StreamFigures figures_;
    std::atomic<std::int64_t> skippedFrames_{0}; // written by frames only; read from anywhere
    // The stream sends frames only on change: a frame not sent is followed
    // by a requested one, and small deltas are real changes, never dropped.
    bool onChangeOnly_ = false;
    WallTime lastStatTime_;
    std::int64_t unreadableSurfaces_ = 0;
    // The surface geometry last logged (capture queue; reset by a restart).
    struct SurfaceGeometry {
        std::size_t width = 0;
        std::size_t height = 0;
        std::size_t bytesPerElement = 0;
        std::size_t bytesPerRow = 0;
        bool operator==(const SurfaceGeometry&) const = default;
    };
    SurfaceGeometry loggedGeometry_;
};

} // namespace qb
