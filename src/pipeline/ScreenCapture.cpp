#include "pipeline/ScreenCapture.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include <boost/asio/error.hpp>
#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "pipeline/HardwareEncoder.h"
#include "platform/ThreadPriority.h"
#include "runtime/Queues.h"

namespace qb {

namespace {

constexpr std::string_view COMPONENT = "ScreenCapture";

void captureLog(LogLevel level, const std::string& line) { componentLog(level, COMPONENT, line); }
void captureLog(const std::string& line) { captureLog(LogLevel::info, line); }

// The description a cancelled wait reports.
std::string cancelledDescription()
{
    return boost::system::error_code(asio::error::operation_aborted).message();
}

// The comparison encoder of the real system.
class HardwareComparisonEncoder final : public ComparisonEncoder {
public:
    HardwareComparisonEncoder(std::int64_t width, std::int64_t height, std::int64_t fps, double bitrateMbps)
        : encoder_(width, height, fps, bitrateMbps)
    {
    }
    bool hasSession() const override { return encoder_.hasSession(); }
    std::optional<std::vector<std::uint8_t>> encode(const CaptureSurface& surface) override
    {
        return encoder_.encode(surface);
    }
    void stop() override { encoder_.stop(); }

private:
    HardwareEncoder encoder_;
};

std::unique_ptr<ComparisonEncoder> makeHardwareComparisonEncoder(std::int64_t width, std::int64_t height,
    std::int64_t fps, double bitrateMbps)
{
    return std::make_unique<HardwareComparisonEncoder>(width, height, fps, bitrateMbps);
}

} // namespace

// ---------------------------------------------------------------- errors

ScreenCaptureError::ScreenCaptureError(Kind kind, std::string description, bool temporary)
    : std::runtime_error(std::move(description))
    , kind_(kind)
    , temporary_(temporary)
{
}

ScreenCaptureError ScreenCaptureError::streamStartFailed(const CaptureFailure& failure)
{
    return {Kind::streamStartFailed, failure.message, failure.kind == CaptureFailure::Kind::temporary};
}

ScreenCaptureError ScreenCaptureError::permissionDenied(const CaptureWords& words)
{
    return {Kind::permissionDenied, words.accessDenied};
}

ScreenCaptureError ScreenCaptureError::streamCreationFailed(const CaptureWords& words)
{
    return {Kind::streamCreationFailed, words.streamUnavailable};
}

// ---------------------------------------------------------------- construction

const CaptureWords& ScreenCapture::words() const
{
    static const CaptureWords neutral;
    return backend_ ? backend_->words() : neutral;
}

ScreenCapture::ScreenCapture(std::shared_ptr<FrameSink> tcpServer, std::shared_ptr<PreviewSink> wsServer,
    std::uint32_t targetDisplayID, std::int64_t width, std::int64_t height, PixelFormat pixelFormat,
    Options options)
    : tcpServer_(std::move(tcpServer))
    , wsServer_(std::move(wsServer))
    , targetDisplayID_(targetDisplayID)
    , pixelFormat_(pixelFormat)
    , expectedWidth_(width)
    , expectedHeight_(height)
    , backend_(std::move(options.backend))
    , timing_(options.timing)
    , comparisonEncoderFactory_(options.comparisonEncoderFactory ? std::move(options.comparisonEncoderFactory)
                                                                 : makeHardwareComparisonEncoder)
    , lastStatTime_(wallNow())
{
}

ScreenCapture::~ScreenCapture()
{
    // The stream goes first: destroying it waits for a frame under way.
    releaseStream();
    std::shared_ptr<SideEncoder> side;
    {
        std::lock_guard frame(frameLock_);
        side = std::move(sideEncoder_);
    }
    if (side) side->stop();
}

void ScreenCapture::waitForSideWork()
{
    std::shared_ptr<SideEncoder> side;
    {
        std::lock_guard frame(frameLock_);
        side = sideEncoder_;
    }
    if (side) side->drain();
}

void ScreenCapture::setOnStats(std::function<void(const StreamStats&)> onStats)
{
    std::lock_guard guard(statsCallbackLock_);
    onStats_ = std::move(onStats);
}

bool ScreenCapture::isRunning() const
{
    std::lock_guard guard(lifecycleLock_);
    return lifecycle_ == CaptureLifecycle::running;
}

std::int64_t ScreenCapture::skippedFrames() const { return skippedFrames_.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------- per frame

bool ScreenCapture::surfaceCoversFrame(const CaptureSurface& surface, const std::uint8_t* base)
{
    const auto width = static_cast<std::size_t>(frameWidth_);
    const auto height = static_cast<std::size_t>(frameHeight_);
    const bool covers = base != nullptr && surface.width() >= width && surface.height() >= height
        && surface.bytesPerElement() == 4 && surface.bytesPerRow() >= width * 4;
    if (covers) return true;
    // Reading this surface with the frame's geometry would run past its end.
    if (unreadableSurfaces_++ % ADVICE_LOG_INTERVAL == 0) {
        captureLog(LogLevel::warn,
            fmt::format("[ScreenCapture] Skipping frame: surface {}x{}, {} bpp, rowBytes={}{} cannot hold the "
                        "{}x{} frame",
                surface.width(), surface.height(), surface.bytesPerElement(), surface.bytesPerRow(),
                base ? "" : ", no pixels", frameWidth_, frameHeight_));
    }
    return false;
}

void ScreenCapture::handleFrame(std::int32_t status, const CaptureSurface* surface)
{
    if (status == static_cast<std::int32_t>(CaptureFrameStatus::stopped)) {
        {
            std::lock_guard guard(lifecycleLock_);
            if (lifecycle_ != CaptureLifecycle::running) return;
        }
        captureLog(LogLevel::warn,
            fmt::format("[ScreenCapture] The {} of display {} ended: the display left the desktop",
                words().streamName, targetDisplayID_));
        if (onStreamEnded_) onStreamEnded_();
        return;
    }
    if (status != static_cast<std::int32_t>(CaptureFrameStatus::frameComplete) || !surface) return;

    // The frame lock marks a frame in flight: stop() frees the buffers only
    // when it can take it.
    std::lock_guard frame(frameLock_);
    {
        std::lock_guard guard(lifecycleLock_);
        if (lifecycle_ != CaptureLifecycle::running) return;
    }
    if (!encoder_) return;

    const double t0 = mediaTime();

    figures_.frameArrived(t0);

    SurfaceReadLock pixels(*surface);
    const std::size_t bytesPerRow = surface->bytesPerRow();

    // Once per geometry: a surface too small for the frame never gets a frame
    // counted, and must not log this line on every callback.
    const SurfaceGeometry geometry{surface->width(), surface->height(), surface->bytesPerElement(), bytesPerRow};
    if (geometry != loggedGeometry_) {
        loggedGeometry_ = geometry;
        captureLog(fmt::format("[ScreenCapture] XShm image: {}x{}, {} bpp, rowBytes={} (expected {}x{})",
            geometry.width, geometry.height, geometry.bytesPerElement, geometry.bytesPerRow, frameWidth_,
            frameHeight_));
    }
    if (!surfaceCoversFrame(*surface, pixels.data())) {
        ++skippedFrames_;
        encoder_->invalidate(); // this frame's changes were not taken in
        return;
    }

    // The link decides first: a frame that will not be sent is not taken in.
    FramePolicy::Link link;
    link.ackProtocolActive = tcpServer_->ackProtocolActive();
    link.unsentFrames = tcpServer_->unsentFrames();
    if (link.ackProtocolActive) {
        link.inflightFrames = tcpServer_->inflightFrames();
        if (auto stats = tcpServer_->latencyStats()) link.rttAvgMs = stats->rttAvgMs;
    }
    const FramePolicy::Plan plan = policy_.plan(link);
    if (plan == FramePolicy::Plan::hold || plan == FramePolicy::Plan::drop) {
        // The reference keeps what the device has; the next frame taken in
        // is read whole, so this frame's changes are not lost, and an
        // on-change stream is asked for it.
        ++skippedFrames_;
        encoder_->invalidate();
        requestRepairFrame();
        // The browser preview does not wait on the tablet's link.
        if (sideEncoder_ && wsServer_ && wsServer_->previewClientCount() > 0) {
            sideEncoder_->offer(*surface, pixels.data(), true, std::nullopt);
        }
        return;
    }

    // Only the rows that changed are converted; the encoder's reference
    // already holds the rest, unless a reread is due.
    if (rereadNext_.exchange(false)) encoder_->invalidate();
    const std::vector<CaptureRect> changed = surface->changedRects();
    encoder_->takeIn(pixels.data(), bytesPerRow, changed, contrastAmount(), gammaAmount());

    const double t1 = mediaTime();
    const double convertMs = (t1 - t0) * 1000.0;

    // The pacer's advice is logged only; the policy above decided.
    FramePacer& pacer = tcpServer_->framePacer();
    const double transportMs = pacer.smoothedTransportTime() * 1000.0;
    const FrameAdvice advice = pacer.advise(convertMs, transportMs, mediaTime());
    if (policy_.frameCount() > 0 && policy_.frameCount() % ADVICE_LOG_INTERVAL == 0) {
        componentLog(LogLevel::info, "FramePacer",
            fmt::format("[FramePacer] advice={} encode={:.2f}ms transport={:.2f}ms vsync={:.2f}ms",
                advice.description(), convertMs, transportMs, pacer.smoothedVsyncPeriod() * 1000.0));
    }

    const bool isKeyframe = plan == FramePolicy::Plan::keyframe;
    const std::span<const std::uint8_t> payload = isKeyframe ? encoder_->compressKeyframe() : encoder_->compressDelta();
    const std::int64_t frameIndex = policy_.frameCount();
    const FramePolicy::Verdict verdict = policy_.judge(plan, payload.size(), !encoder_->changedRows().empty());
    if (verdict.send) {
        tcpServer_->broadcast(payload, isKeyframe, verdict.sequence);
    } else {
        ++skippedFrames_;
        if (verdict.repair) requestRepairFrame();
    }
    const auto n = static_cast<std::int64_t>(payload.size());

    const double t2 = mediaTime();

    // The preview and the comparison are the side queue's: this frame goes
    // to it only when it is free.
    const bool wantPreview = wsServer_ && wsServer_->previewClientCount() > 0;
    std::optional<SideEncoder::ComparisonFigures> figures;
    if (sideEncoder_ && sideEncoder_->hasComparison() && frameIndex % KEYFRAME_INTERVAL == 0) {
        figures = SideEncoder::ComparisonFigures{isKeyframe, static_cast<int>(n), (t2 - t1) * 1000.0};
    }
    if (sideEncoder_ && (wantPreview || figures)) sideEncoder_->offer(*surface, pixels.data(), wantPreview, figures);

    figures_.frameEncoded(convertMs, (t2 - t1) * 1000.0, n);

    publishStatsIfDue();
}

void ScreenCapture::requestRepairFrame()
{
    if (!onChangeOnly_) return;
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard guard(lifecycleLock_);
        stream = displayStream_;
    }
    if (stream) stream->requestFrame();
}

void ScreenCapture::requestReread()
{
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard guard(lifecycleLock_);
        if (lifecycle_ != CaptureLifecycle::running) return;
        stream = displayStream_;
    }
    rereadNext_ = true;
    if (stream) stream->requestReread();
}

void ScreenCapture::publishStatsIfDue()
{
    const WallTime now = wallNow();
    const double elapsed = std::chrono::duration<double>(now - lastStatTime_).count();
    if (elapsed < timing_.statsInterval || elapsed <= 0) return;

    const StreamStats stats = figures_.publish(elapsed, policy_.frameCount(), skippedFrames_.load());
    captureLog(fmt::format("[ScreenCapture] FPS: {:.1f} | {}: {:.1f}ms | lz4+delta: {:.1f}ms | jitter: {:.1f}ms | "
                           "frame: {}KB | ~{:.1f}MB/s | total: {} | skipped: {}",
        stats.fps, pixelFormat_ == PixelFormat::greyscale ? "grey" : "rgb", stats.convertMs, stats.compressMs,
        stats.jitterMs, stats.frameSizeKB, stats.bandwidthMBps, stats.totalFrames, stats.skippedFrames));

    std::function<void(const StreamStats&)> onStats;
    {
        std::lock_guard guard(statsCallbackLock_);
        onStats = onStats_;
    }
    if (onStats) onStats(stats);
    lastStatTime_ = now;
}

// ---------------------------------------------------------------- stream life

void ScreenCapture::createAndStartStream()
{
    CaptureStreamRequest request;
    request.displayId = targetDisplayID_;
    request.width = static_cast<std::size_t>(frameWidth_);
    request.height = static_cast<std::size_t>(frameHeight_);
    request.pixelFormat = CAPTURE_PIXEL_FORMAT_BGRA;
    request.minimumFrameTime = 1.0 / NOMINAL_FPS;
    request.showCursor = true;
    request.queue = SerialQueue::makeDedicated("capture");
    // The capture thread reads and encodes every frame; on a busy machine its
    // wait for a core is the latency's tail.
    request.queue->async([] { raiseFrameThreadPriority(); });

    std::weak_ptr<ScreenCapture> weak = weak_from_this();
    std::shared_ptr<CaptureStream> stream = backend_->createStream(request,
        [weak](std::int32_t status, const CaptureSurface* surface) {
            if (auto self = weak.lock()) self->handleFrame(status, surface);
        });
    if (!stream) throw ScreenCaptureError::streamCreationFailed(words());

    std::shared_ptr<CaptureStream> replaced;
    {
        std::lock_guard guard(lifecycleLock_);
        replaced = std::exchange(displayStream_, stream);
    }
    replaced.reset(); // a stream left from a failed start; destroying it stops it

    {
        std::lock_guard frame(frameLock_);
        onChangeOnly_ = stream->deliversOnChangeOnly();
        policy_.setOnChangeOnly(onChangeOnly_);
    }
    if (const auto failure = stream->start()) throw ScreenCaptureError::streamStartFailed(*failure);
    if (timing_.reread > Duration::zero()) {
        std::weak_ptr<ScreenCapture> owner = weak_from_this();
        auto timer = Timer::repeating(request.queue->executor(), timing_.reread, timing_.reread, [owner] {
            if (auto self = owner.lock()) self->requestReread();
        });
        std::lock_guard guard(lifecycleLock_);
        std::swap(rereadTimer_, timer);
        if (timer) timer->cancel();
    }
    // A page that opens the preview gets the current picture, not the next change.
    if (wsServer_) {
        std::weak_ptr<CaptureStream> weak = stream;
        wsServer_->onClientJoined([weak] {
            if (auto current = weak.lock()) current->requestFrame();
        });
    }
}

void ScreenCapture::stopHeldStream()
{
    std::shared_ptr<CaptureStream> stream;
    {
        std::lock_guard guard(lifecycleLock_);
        stream = displayStream_;
    }
    // Outside the lock: stopping waits for a frame under way, which reads the lifecycle.
    if (stream) stream->stop();
}

void ScreenCapture::releaseStream()
{
    std::shared_ptr<CaptureStream> stream;
    std::shared_ptr<Timer> timer;
    {
        std::lock_guard guard(lifecycleLock_);
        stream = std::move(displayStream_);
        displayStream_.reset();
        timer = std::move(rereadTimer_);
    }
    if (timer) timer->cancel();
    if (stream) stream->stop();
}

void ScreenCapture::freeBuffers()
{
    std::unique_ptr<FrameEncoder> released;
    std::shared_ptr<SideEncoder> side;
    {
        std::lock_guard frame(frameLock_);
        released = std::move(encoder_);
        side = std::move(sideEncoder_);
    }
    if (side) side->stop();
}

asio::awaitable<void> ScreenCapture::start()
{
    {
        std::lock_guard guard(lifecycleLock_);
        lifecycle_ = CaptureLifecycle::running;
    }
    if (!backend_ || !backend_->preflightScreenCaptureAccess()) throw ScreenCaptureError::permissionDenied(words());

    const std::int64_t bytesPerPixelValue = static_cast<std::int64_t>(bytesPerPixel(pixelFormat_));
    // LZ4 takes sizes as int; a frame it cannot take cannot be streamed.
    if (expectedWidth_ <= 0 || expectedHeight_ <= 0
        || !FrameEncoder::fits(static_cast<std::size_t>(expectedWidth_), static_cast<std::size_t>(expectedHeight_),
            pixelFormat_)) {
        captureLog(LogLevel::error,
            fmt::format("[ScreenCapture] Cannot capture a {}x{} frame", expectedWidth_, expectedHeight_));
        throw ScreenCaptureError::streamCreationFailed(words());
    }

    {
        std::lock_guard frame(frameLock_);
        frameWidth_ = expectedWidth_;
        frameHeight_ = expectedHeight_;
        encoder_ = std::make_unique<FrameEncoder>(static_cast<std::size_t>(frameWidth_),
            static_cast<std::size_t>(frameHeight_), pixelFormat_, nullptr, RowSplitter::shared());
    }

    captureLog(fmt::format("[ScreenCapture] Capturing display: {}x{} {} ({} bpp, ID: {})", frameWidth_,
        frameHeight_, label(pixelFormat_), bytesPerPixelValue, targetDisplayID_));

    std::unique_ptr<ComparisonEncoder> comparison;
    if (enableHardwareEncoderComparison_) {
        if (comparisonEncoderFactory_) {
            comparison = comparisonEncoderFactory_(frameWidth_, frameHeight_, NOMINAL_FPS, COMPARISON_BITRATE_MBPS);
        }
        if (!comparison || !comparison->hasSession()) {
            captureLog(LogLevel::warn, "[ScreenCapture] HardwareEncoder failed to initialize — comparison disabled");
            comparison.reset();
        } else {
            captureLog("[ScreenCapture] HardwareEncoder comparison mode enabled (log-only)");
        }
    }
    if (wsServer_ || comparison) {
        auto side = SideEncoder::make(wsServer_, pixelFormat_ == PixelFormat::greyscale, std::move(comparison));
        std::weak_ptr<ScreenCapture> owner = weak_from_this();
        side->onPreviewOwed([owner] {
            if (auto self = owner.lock()) self->requestRepairFrame();
        });
        std::lock_guard frame(frameLock_);
        sideEncoder_ = std::move(side);
    }

    createAndStartStream();

    {
        std::lock_guard frame(frameLock_);
        lastStatTime_ = wallNow();
    }
    captureLog(fmt::format("[ScreenCapture] Capture started at {}fps -- {} + SIMD kernels + LZ4 delta (zero GPU)",
        NOMINAL_FPS, words().streamName));
    co_return;
}

asio::awaitable<void> ScreenCapture::stop()
{
    {
        std::lock_guard guard(lifecycleLock_);
        if (lifecycle_ == CaptureLifecycle::stopped) co_return;
        lifecycle_ = CaptureLifecycle::stopped;
    }

    stopHeldStream();

    // Awaited into a local: GCC 12 miscompiles co_await inside a condition.
    const bool drained = co_await sleepFor(timing_.drain);
    if (!drained) {
        captureLog(LogLevel::warn,
            fmt::format("[ScreenCapture] Sleep interrupted during stop drain: {}", cancelledDescription()));
    }

    releaseStream();

    // The stream is stopped and released, so no frame runs now; the frame lock
    // makes that certain even for a frame that outlived the drain.
    freeBuffers();
}

asio::awaitable<void> ScreenCapture::restartStream()
{
    captureLog(fmt::format("[ScreenCapture] Restarting {} for display {}...", words().streamName, targetDisplayID_));
    {
        std::unique_lock guard(lifecycleLock_);
        if (lifecycle_ != CaptureLifecycle::running) {
            guard.unlock();
            captureLog(LogLevel::warn, "[ScreenCapture] Cannot restart — lifecycle is not .running");
            co_return;
        }
        lifecycle_ = CaptureLifecycle::restarting;
    }

    stopHeldStream();

    const bool paused = co_await sleepFor(timing_.restartPause);
    if (!paused) {
        captureLog(LogLevel::warn,
            fmt::format("[ScreenCapture] Sleep interrupted during stream restart: {}", cancelledDescription()));
    }

    releaseStream();
    {
        std::lock_guard frame(frameLock_);
        policy_.restart();
        loggedGeometry_ = {};
        figures_.restart();
        if (encoder_) encoder_->invalidate(); // a new stream starts over with a whole frame
    }

    // A stop() that ran during the pause has torn everything down; creating a
    // stream now would leave one running with no buffers and nobody to stop it.
    auto stillRestarting = [this] {
        std::lock_guard guard(lifecycleLock_);
        return lifecycle_ == CaptureLifecycle::restarting;
    };
    if (!stillRestarting()) {
        captureLog(fmt::format("[ScreenCapture] Restart of display {} abandoned: capture was stopped", targetDisplayID_));
        co_return;
    }

    try {
        createAndStartStream();
    } catch (const ScreenCaptureError& error) {
        {
            std::lock_guard guard(lifecycleLock_);
            if (lifecycle_ == CaptureLifecycle::restarting) lifecycle_ = CaptureLifecycle::stopped;
        }
        releaseStream(); // a created stream that failed to start serves nothing
        captureLog(LogLevel::error, fmt::format("[ScreenCapture] Failed to restart {} for display {}: {}",
                                        words().streamName, targetDisplayID_, error.what()));
        co_return;
    }

    bool resumed = false;
    {
        std::lock_guard guard(lifecycleLock_);
        if (lifecycle_ == CaptureLifecycle::restarting) {
            lifecycle_ = CaptureLifecycle::running;
            resumed = true;
        }
    }
    if (resumed) {
        captureLog(fmt::format("[ScreenCapture] {} restarted successfully for display {}", words().streamName,
            targetDisplayID_));
    } else {
        // stop() ran while the stream was being created: it must not keep running.
        releaseStream();
        captureLog(fmt::format("[ScreenCapture] Restart of display {} abandoned: capture was stopped", targetDisplayID_));
    }
}

} // namespace qb
