// A capture backend driven frame by frame, for the encoder's tests and the
// replay benchmark. Each knob makes one failure of the real mechanism
// happen: no permission, a display that cannot be captured, a start error
// code.
//
//   auto fake = std::make_shared<FakeCaptureBackend>();
//   ... ScreenCapture with options.backend = fake, co_await start() ...
//   FakeSurface surface(width, height, paddingBytes);
//   fake->deliver(surface);          // runs the handler on the stream's queue, waits for it
//
// RecordingSink keeps what the encoder sends; runToEnd runs one of the
// capture's coroutines on a private io_context.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/CaptureStream.h"
#include "runtime/Asio.h"
#include "runtime/Queues.h"
#include "transport/FrameSink.h"

namespace qb::test {

class FakeSurface final : public CaptureSurface {
public:
    FakeSurface(std::size_t width, std::size_t height, std::size_t padding = 0)
        : width_(width)
        , height_(height)
        , bytesPerRow_(width * 4 + padding)
        , pixels_(bytesPerRow_ * height)
    {
    }

    std::size_t width() const override { return width_; }
    std::size_t height() const override { return height_; }
    std::size_t bytesPerElement() const override { return 4; }
    std::size_t bytesPerRow() const override { return bytesPerRowOverride_ ? bytesPerRowOverride_ : bytesPerRow_; }
    const std::uint8_t* lockReadOnly() const override
    {
        if (failLock_) return nullptr;
        ++locks_;
        return pixels_.data();
    }
    void unlockReadOnly() const override { --locks_; }
    std::vector<CaptureRect> changedRects() const override
    {
        return changed ? *changed : CaptureSurface::changedRects();
    }

    // What the surface reports as changed; unset: the whole surface.
    std::optional<std::vector<CaptureRect>> changed;

    std::uint8_t* pixel(std::size_t x, std::size_t y) { return pixels_.data() + y * bytesPerRow_ + 4 * x; }
    std::vector<std::uint8_t>& storage() { return pixels_; }
    std::size_t realBytesPerRow() const { return bytesPerRow_; }

    // Misreport the row length (a surface narrower than it claims to be read as).
    void reportBytesPerRow(std::size_t value) { bytesPerRowOverride_ = value; }
    void failLock(bool fail) { failLock_ = fail; }
    int outstandingLocks() const { return locks_; }

private:
    std::size_t width_;
    std::size_t height_;
    std::size_t bytesPerRow_;
    std::size_t bytesPerRowOverride_ = 0;
    std::vector<std::uint8_t> pixels_;
    bool failLock_ = false;
    mutable std::atomic<int> locks_{0};
};

class FakeCaptureBackend final : public CaptureBackend, public std::enable_shared_from_this<FakeCaptureBackend> {
public:
    // What the next calls do.
    std::atomic<bool> permission{true};
    std::atomic<bool> createFails{false};
    std::atomic<std::int32_t> startError{0};
    std::atomic<bool> onChangeOnly{false}; // streams deliver frames only on change

    // What happened.
    std::atomic<int> streamsCreated{0};
    std::atomic<int> streamsRunning{0};
    std::atomic<int> framesRequested{0};

    bool preflightScreenCaptureAccess() override { return permission; }
    bool requestScreenCaptureAccess() override { return permission; }

    std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request,
        CaptureFrameHandler handler) override
    {
        if (createFails) return nullptr;
        auto core = std::make_shared<Core>();
        core->handler = std::move(handler);
        core->queue = request.queue ? request.queue : SerialQueue::makeDedicated("capture");
        {
            std::lock_guard guard(lock_);
            newest_ = core;
        }
        ++streamsCreated;
        return std::make_unique<Stream>(shared_from_this(), core);
    }


    // Runs the newest stream's handler with a complete frame (or `status`
    // without a surface) on its queue and waits; false when that stream is
    // not delivering.
    bool deliver(const CaptureSurface& surface) { return deliverStatus(0, &surface); }
    bool deliverStatus(std::int32_t status, const CaptureSurface* surface)
    {
        std::shared_ptr<Core> core;
        {
            std::lock_guard guard(lock_);
            core = newest_;
        }
        if (!core) return false;
        return core->queue->sync([&] {
            if (!core->started || core->stopped) return false;
            core->handler(status, surface);
            return true;
        });
    }

private:
    struct Core {
        CaptureFrameHandler handler;
        std::shared_ptr<SerialQueue> queue;
        std::atomic<bool> started{false};
        std::atomic<bool> stopped{false};
    };

    class Stream final : public CaptureStream {
    public:
        Stream(std::shared_ptr<FakeCaptureBackend> backend, std::shared_ptr<Core> core)
            : backend_(std::move(backend))
            , core_(std::move(core))
        {
        }
        ~Stream() override { stop(); }
        bool deliversOnChangeOnly() const override { return backend_->onChangeOnly; }
        void requestFrame() override { ++backend_->framesRequested; }
        std::int32_t start() override
        {
            if (std::int32_t code = backend_->startError) return code;
            if (!core_->started.exchange(true)) ++backend_->streamsRunning;
            return 0;
        }
        void stop() override
        {
            if (core_->stopped.exchange(true)) return;
            if (core_->started) --backend_->streamsRunning;
            // As the real stream promises: once stop returns no handler call runs.
            if (!core_->queue->isCurrent()) core_->queue->sync([] {});
        }

    private:
        std::shared_ptr<FakeCaptureBackend> backend_;
        std::shared_ptr<Core> core_;
    };

    std::mutex lock_;
    std::shared_ptr<Core> newest_;
};

struct SentFrame {
    std::vector<std::uint8_t> payload;
    bool isKeyframe;
    std::uint32_t seq;
    int sourceFrame; // the caller's index of the frame that produced it
    bool operator==(const SentFrame&) const = default;
};

class RecordingSink final : public FrameSink {
public:
    void broadcast(std::span<const std::uint8_t> payload, bool isKeyframe, std::uint32_t seq) override
    {
        std::lock_guard guard(lock_);
        frames.push_back({{payload.begin(), payload.end()}, isKeyframe, seq, currentSource});
    }
    int inflightFrames() const override { return inflight; }
    bool ackProtocolActive() const override { return ackActive; }
    // Set before the capture starts, read by its frames.
    std::optional<LatencyStats> latencyStats() const override { return latency; }
    FramePacer& framePacer() override { return pacer_; }

    std::vector<SentFrame> frames;
    std::optional<LatencyStats> latency;
    std::atomic<int> inflight{0};
    std::atomic<bool> ackActive{true};
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
