// The sim capture backend: streams that draw the SimWorld's picture of a
// display into padded BGRA surfaces on the request's serial queue, at most
// once per minimum frame time, reporting "idle" while the picture stays the same.
#include "platform/sim/SimBackends.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include <fmt/format.h>

#include "platform/sim/SimWorld.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"

namespace qb::sim {

namespace {

class SimSurface final : public CaptureSurface {
public:
    SimSurface(std::size_t width, std::size_t height, std::size_t bytesPerRow)
        : width_(width)
        , height_(height)
        , bytesPerRow_(bytesPerRow)
        , pixels_(bytesPerRow * height)
    {
    }

    std::size_t width() const override { return width_; }
    std::size_t height() const override { return height_; }
    std::size_t bytesPerElement() const override { return 4; }
    std::size_t bytesPerRow() const override { return bytesPerRow_; }

    const std::uint8_t* lockReadOnly() const override
    {
        locks_.fetch_add(1);
        return pixels_.data();
    }
    void unlockReadOnly() const override { locks_.fetch_sub(1); }

    std::uint8_t* pixels() { return pixels_.data(); }

private:
    std::size_t width_;
    std::size_t height_;
    std::size_t bytesPerRow_;
    std::vector<std::uint8_t> pixels_;
    mutable std::atomic<int> locks_{0};
};

// Shared by the stream object and its timer's firings, so a firing that
// outlives the stream finds the stream stopped instead of freed memory.
struct StreamState {
    CaptureStreamRequest request;
    CaptureFrameHandler handler;

    std::mutex lock;
    std::condition_variable idle;
    bool active = false;
    bool everStarted = false;
    int inHandler = 0;
    std::thread::id handlerThread;
    std::shared_ptr<Timer> timer;
    std::optional<SimPictureKey> lastKey;
    // The surface is reused while its size and padding stay the same.
    std::unique_ptr<SimSurface> surface;
};

void deliver(const std::shared_ptr<StreamState>& state)
{
    {
        std::lock_guard guard(state->lock);
        if (!state->active) return;
        ++state->inHandler;
        state->handlerThread = std::this_thread::get_id();
    }
    auto& world = SimWorld::shared();
    const auto& request = state->request;
    bool ended = false;

    auto key = world.pictureKey(request.displayId);
    if (!key) {
        // The display went away: the stream ends with a last "stopped" call.
        ended = true;
        state->handler(static_cast<std::int32_t>(CaptureFrameStatus::stopped), nullptr);
    } else if (state->lastKey && *state->lastKey == *key) {
        state->handler(static_cast<std::int32_t>(CaptureFrameStatus::frameIdle), nullptr);
    } else {
        const std::size_t bytesPerRow = request.width * 4 + world.rowPadding();
        if (!state->surface || state->surface->bytesPerRow() != bytesPerRow) {
            state->surface = std::make_unique<SimSurface>(request.width, request.height, bytesPerRow);
        }
        if (world.renderPicture(request.displayId, *key, state->surface->pixels(), request.width,
                request.height, bytesPerRow)) {
            state->lastKey = key;
            state->handler(static_cast<std::int32_t>(CaptureFrameStatus::frameComplete), state->surface.get());
        } else {
            ended = true;
            state->handler(static_cast<std::int32_t>(CaptureFrameStatus::stopped), nullptr);
        }
    }

    if (ended) {
        std::shared_ptr<Timer> timer;
        bool wasActive = false;
        {
            std::lock_guard guard(state->lock);
            wasActive = state->active;
            state->active = false;
            timer = std::move(state->timer);
        }
        if (timer) timer->cancel();
        if (wasActive) world.streamStopped();
    }
    {
        std::lock_guard guard(state->lock);
        --state->inHandler;
        state->handlerThread = {};
    }
    state->idle.notify_all();
}

class SimCaptureStream final : public CaptureStream {
public:
    explicit SimCaptureStream(std::shared_ptr<StreamState> state)
        : state_(std::move(state))
    {
    }

    ~SimCaptureStream() override { stop(); }

    std::optional<CaptureFailure> start() override
    {
        auto& world = SimWorld::shared();
        bool failsNow = false;
        world.updateFailures([&](SimFailures& failures) {
            failsNow = failures.temporaryStartFailures > 0;
            if (failsNow) --failures.temporaryStartFailures;
        });
        if (failsNow) return CaptureFailure::temporary("The simulated stream was told to fail this time.");
        if (world.failures().startFailsPermanently) {
            return CaptureFailure::permanent("The simulated stream was told never to start.");
        }
        if (!world.display(state_->request.displayId)) {
            return CaptureFailure::permanent(fmt::format("No simulated display {}.", state_->request.displayId));
        }
        std::lock_guard guard(state_->lock);
        if (state_->active) return std::nullopt;
        // A stream that ended or was stopped does not start again.
        if (state_->everStarted) return CaptureFailure::permanent("A simulated stream that ended does not start again.");
        state_->active = true;
        state_->everStarted = true;
        const auto interval = std::max<Duration>(seconds(state_->request.minimumFrameTime),
            std::chrono::milliseconds(1));
        std::weak_ptr<StreamState> weak = state_;
        state_->timer = Timer::repeating(state_->request.queue->executor(), Duration::zero(), interval, [weak] {
            if (auto state = weak.lock()) deliver(state);
        });
        world.streamStarted();
        return std::nullopt;
    }

    void stop() override
    {
        std::shared_ptr<Timer> timer;
        bool wasActive = false;
        {
            std::unique_lock guard(state_->lock);
            wasActive = state_->active;
            state_->active = false;
            timer = std::move(state_->timer);
            // From inside the handler the running call cannot be waited for.
            if (state_->handlerThread != std::this_thread::get_id()) {
                state_->idle.wait(guard, [this] { return state_->inHandler == 0; });
            }
        }
        if (timer) timer->cancel();
        if (wasActive) SimWorld::shared().streamStopped();
    }

private:
    std::shared_ptr<StreamState> state_;
};

class SimCaptureBackend final : public CaptureBackend {
public:
    bool preflightScreenCaptureAccess() override { return !SimWorld::shared().failures().permissionDenied; }
    bool requestScreenCaptureAccess() override { return preflightScreenCaptureAccess(); }
    const CaptureWords& words() const override
    {
        static const CaptureWords sim{"simulated capture stream",
            "Screen capture is not allowed on the simulated desktop (its world says so).",
            "The simulated display cannot be captured — it may be offline."};
        return sim;
    }

    std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request,
        CaptureFrameHandler handler) override
    {
        auto& world = SimWorld::shared();
        if (world.failures().createStreamFails || !world.display(request.displayId)) return nullptr;
        if (request.width == 0 || request.height == 0 || request.pixelFormat != CAPTURE_PIXEL_FORMAT_BGRA
            || !handler) {
            return nullptr;
        }
        // Guard the surface size against overflow: 32768² is far beyond any panel.
        if (request.width > 32768 || request.height > 32768) return nullptr;
        auto state = std::make_shared<StreamState>();
        state->request = request;
        if (!state->request.queue) state->request.queue = SerialQueue::makeDedicated("capture");
        state->handler = std::move(handler);
        return std::make_unique<SimCaptureStream>(std::move(state));
    }
};

} // namespace

std::shared_ptr<CaptureBackend> makeSimCaptureBackend()
{
    return std::make_shared<SimCaptureBackend>();
}

} // namespace qb::sim
