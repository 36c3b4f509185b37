// A capture backend driven frame by frame, for the encoder's tests and the
// replay benchmark: deliver(surface) runs the newest stream's handler on its
// queue and waits. RecordingSink keeps what the encoder sends.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <span>

#include "platform/CaptureStream.h"
#include "runtime/Asio.h"
#include "runtime/Queues.h"
#include "transport/FrameSink.h"

namespace qb::test {

class FakeSurface final : public CaptureSurface {
public:
    FakeSurface(std::size_t width, std::size_t height, std::size_t padding = 0)
        : width_(width), height_(height), bytesPerRow_(width * 4 + padding), pixels_(bytesPerRow_ * height) {}

    std::size_t width() const override { return width_; }
    std::size_t height() const override { return height_; }
    std::size_t bytesPerElement() const override { return 4; }
    std::size_t bytesPerRow() const override { return bytesPerRowOverride_ ? bytesPerRowOverride_ : bytesPerRow_; }
    const std::uint8_t* lockReadOnly() const override { return failLock_ ? nullptr : pixels_.data(); }
    void unlockReadOnly() const override {}
    std::vector<CaptureRect> changedRects() const override { return changed ? *changed : CaptureSurface::changedRects(); }

    // What the surface reports as changed; unset: the whole surface.
    std::optional<std::vector<CaptureRect>> changed;

    std::uint8_t* pixel(std::size_t x, std::size_t y) { return pixels_.data() + y * bytesPerRow_ + 4 * x; }
    std::vector<std::uint8_t>& storage() { return pixels_; }
    std::size_t realBytesPerRow() const { return bytesPerRow_; }
    // Misreport the row length (a surface narrower than it claims to be read as).
    void reportBytesPerRow(std::size_t value) { bytesPerRowOverride_ = value; }
    void failLock(bool fail) { failLock_ = fail; }

private:
    std::size_t width_, height_, bytesPerRow_, bytesPerRowOverride_ = 0;
    std::vector<std::uint8_t> pixels_;
    bool failLock_ = false;
};

class FakeCaptureBackend final : public CaptureBackend, public std::enable_shared_from_this<FakeCaptureBackend> {
public:
    std::atomic<bool> createFails{false};
    std::atomic<bool> onChangeOnly{false}; // streams deliver frames only on change
    std::atomic<int> streamsRunning{0};
    std::atomic<int> framesRequested{0};
    std::atomic<int> rereadsRequested{0};

    bool preflightScreenCaptureAccess() override { return true; }
    bool requestScreenCaptureAccess() override { return true; }

    std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request,
        CaptureFrameHandler handler) override
    {
        if (createFails) return nullptr;
        auto stream = std::make_unique<Stream>();
        stream->backend = shared_from_this();
        stream->core->handler = std::move(handler);
        stream->core->queue = request.queue ? request.queue : SerialQueue::makeDedicated("capture");
        std::lock_guard guard(lock_);
        newest_ = stream->core;
        return stream;
    }

    // False when the newest stream is not delivering. Without a surface,
    // the stream ends on its own (its display went away).
    bool deliver(const CaptureSurface* surface)
    {
        std::unique_lock guard(lock_);
        auto core = newest_;
        guard.unlock();
        return core && core->queue->sync([&] {
            if (!core->started || core->stopped) return false;
            core->handler(surface ? 0 : std::int32_t(CaptureFrameStatus::stopped), surface);
            return true;
        });
    }
    bool deliver(const CaptureSurface& surface) { return deliver(&surface); }

private:
    struct Core {
        CaptureFrameHandler handler;
        std::shared_ptr<SerialQueue> queue;
        std::atomic<bool> started{false}, stopped{false};
    };
    struct Stream final : CaptureStream {
        ~Stream() override { stop(); }
        bool deliversOnChangeOnly() const override { return backend->onChangeOnly; }
        void requestFrame() override { ++backend->framesRequested; }
        void requestReread() override { ++backend->rereadsRequested; }
        std::optional<CaptureFailure> start() override
        {
            if (!core->started.exchange(true)) ++backend->streamsRunning;
            return std::nullopt;
        }
        void stop() override
        {
            if (core->stopped.exchange(true)) return;
            if (core->started) --backend->streamsRunning;
            // As the real stream promises: once stop returns no handler call runs.
            if (!core->queue->isCurrent()) core->queue->sync([] {});
        }
        std::shared_ptr<FakeCaptureBackend> backend;
        std::shared_ptr<Core> core = std::make_shared<Core>();
    };
    std::mutex lock_;
    std::shared_ptr<Core> newest_;
};

struct SentFrame {
    std::vector<std::uint8_t> payload;
    bool isKeyframe;
    std::uint32_t seq;
    int sourceFrame; // the caller's index of the frame that produced it
};

class RecordingSink final : public FrameSink {
public:
    void broadcast(std::span<const std::uint8_t> payload, bool isKeyframe, std::uint32_t seq) override
    {
        std::lock_guard guard(lock_);
        frames.push_back({{payload.begin(), payload.end()}, isKeyframe, seq, currentSource});
    }
    int inflightFrames() const override { return inflight; }
    bool ackProtocolActive() const override { return true; }
    int unsentFrames() const override { return unsent; }
    std::optional<LatencyStats> latencyStats() const override { return latency; }
    FramePacer& framePacer() override { return pacer_; }

    std::vector<SentFrame> frames;
    std::optional<LatencyStats> latency;
    std::atomic<int> inflight{0};
    std::atomic<int> unsent{0};
    int currentSource = -1;

private:
    std::mutex lock_;
    FramePacer pacer_;
};

// Runs one coroutine to its end; rethrows what it threw.
inline void runToEnd(asio::awaitable<void> task)
{
    asio::io_context io;
    std::exception_ptr error;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr e) { error = e; });
    io.run();
    if (error) std::rethrow_exception(error);
}

} // namespace qb::test
