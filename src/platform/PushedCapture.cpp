#include "platform/PushedCapture.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "platform/CaptureCadence.h"
#include "platform/MirrorScaler.h"
#include "runtime/Clock.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"

namespace qb {

namespace {

// Rows [top, bottom) the rectangles cover.
std::pair<std::size_t, std::size_t> band(const std::vector<CaptureRect>& rects)
{
    std::size_t top = SIZE_MAX;
    std::size_t bottom = 0;
    for (const auto& rect : rects) {
        top = std::min(top, rect.y);
        bottom = std::max(bottom, rect.y + rect.height);
    }
    return {top, bottom};
}

void copyRows(const std::uint8_t* from, std::size_t fromStride, std::uint8_t* to, std::size_t toStride,
    std::size_t rowBytes, std::size_t top, std::size_t bottom)
{
    for (std::size_t row = top; row < bottom; ++row) {
        std::memcpy(to + row * toStride, from + row * fromStride, rowBytes);
    }
}

struct StreamState final : FrameSink, std::enable_shared_from_this<StreamState> {
    std::shared_ptr<FrameSource> source;
    CaptureStreamRequest request;
    CaptureFrameHandler handler;
    std::string streamName; // the backend's, for its messages

    std::mutex lock;
    std::condition_variable idle;
    bool active = false;
    bool attached = false;
    bool finished = false; // the display ended the stream
    int inHandler = 0;
    std::thread::id handlerThread;
    bool scheduled = false;
    bool forced = false;
    CaptureCadence cadence;
    std::shared_ptr<Timer> timer;
    std::shared_ptr<Timer> rereadTimer; // a whole copy no new picture took with it
    bool rereadArmed = false;

    // The newest picture as PipeWire delivered it, tightly packed, and what
    // changed in it since the last delivery (whole: everything).
    std::vector<std::uint8_t> incoming;
    std::size_t width = 0;
    std::size_t height = 0;
    bool fresh = false;
    bool whole = true;
    // The next frame is copied whole, its damage regions not trusted: a
    // region the compositor left out is healed.
    bool copyWhole = false;
    std::vector<CaptureRect> damage;

    // The queue's own.
    std::vector<std::uint8_t> picture;
    std::size_t pictureWidth = 0;
    std::size_t pictureHeight = 0;
    RequestSizedSurface surface;

    void frame(const PushedFrame& f) override
    {
        {
            std::lock_guard guard(lock);
            if (!active) return;
            const std::size_t rowBytes = f.width * 4;
            if (f.width != width || f.height != height) {
                width = f.width;
                height = f.height;
                incoming.assign(rowBytes * height, 0);
                whole = true;
            }
            if (f.damage.empty() || whole || std::exchange(copyWhole, false)) {
                whole = true;
                damage.clear();
                copyRows(f.data, f.stride, incoming.data(), rowBytes, rowBytes, 0, height);
            } else {
                const auto [top, bottom] = band(f.damage);
                copyRows(f.data, f.stride, incoming.data(), rowBytes, rowBytes, top, bottom);
                damage.insert(damage.end(), f.damage.begin(), f.damage.end());
            }
            fresh = true;
        }
        schedule();
    }

    void ended() override
    {
        // Called with the desktop's sink lock held: the ending runs on the queue.
        std::weak_ptr<StreamState> weak = weak_from_this();
        request.queue->async([weak] {
            if (auto self = weak.lock()) self->end();
        });
    }

    void end()
    {
        {
            std::lock_guard guard(lock);
            if (!active || finished) return;
            finished = true;
            ++inHandler;
            handlerThread = std::this_thread::get_id();
        }
        handler(static_cast<std::int32_t>(CaptureFrameStatus::stopped), nullptr);
        std::lock_guard guard(lock);
        active = false;
        --inHandler;
        handlerThread = {};
        idle.notify_all();
    }

    void schedule()
    {
        std::lock_guard guard(lock);
        if (!active || scheduled) return;
        scheduled = true;
        const double now = mediaTime();
        const double wait = std::max(0.0, cadence.claim(now) - now);
        std::weak_ptr<StreamState> weak = weak_from_this();
        timer = Timer::oneShot(request.queue->executor(),
            std::chrono::duration_cast<Duration>(std::chrono::duration<double>(wait)), [weak] {
                if (auto self = weak.lock()) self->deliver();
            });
    }

    void deliver()
    {
        std::vector<CaptureRect> rects;
        {
            std::lock_guard guard(lock);
            scheduled = false;
            if (!active || finished) return;
            const bool wanted = std::exchange(forced, false);
            if (!fresh && (!wanted || picture.empty())) return;
            if (fresh) {
                const std::size_t rowBytes = width * 4;
                if (pictureWidth != width || pictureHeight != height) {
                    picture.assign(incoming.size(), 0);
                    pictureWidth = width;
                    pictureHeight = height;
                    whole = true;
                }
                if (whole) {
                    rects.assign(1, {0, 0, width, height});
                    std::memcpy(picture.data(), incoming.data(), incoming.size());
                } else {
                    rects = std::move(damage);
                    const auto [top, bottom] = band(rects);
                    copyRows(incoming.data(), rowBytes, picture.data(), rowBytes, rowBytes, top, bottom);
                }
                damage.clear();
                whole = false;
                fresh = false;
            }
            ++inHandler;
            handlerThread = std::this_thread::get_id();
        }

        // The primary while mirroring, or a monitor that kept its size, is scaled.
        surface.show(picture.data(), pictureWidth, pictureHeight, pictureWidth * 4, std::move(rects), request.width,
            request.height);
        handler(static_cast<std::int32_t>(CaptureFrameStatus::frameComplete), &surface);

        std::lock_guard guard(lock);
        --inHandler;
        handlerThread = {};
        idle.notify_all();
    }
};

class PushedCaptureStream final : public CaptureStream {
public:
    explicit PushedCaptureStream(std::shared_ptr<StreamState> state) : state_(std::move(state)) {}
    ~PushedCaptureStream() override { stop(); }

    bool deliversOnChangeOnly() const override { return true; }

    void requestFrame() override
    {
        {
            std::lock_guard guard(state_->lock);
            state_->forced = true;
        }
        state_->schedule();
    }

    // The picture is whole only in the compositor's buffer of the next
    // frame, which is copied whole; on a still screen one is asked for.
    void requestReread() override
    {
        std::lock_guard guard(state_->lock);
        state_->copyWhole = true;
        if (!state_->active) return;
        armRereadFrame(state_, state_->request.queue->executor(), state_->request.minimumFrameTime,
            [](const StreamState& s) { return s.copyWhole; },
            [](const std::shared_ptr<StreamState>& s) { s->schedule(); });
    }

    std::optional<CaptureFailure> start() override
    {
        {
            std::lock_guard guard(state_->lock);
            if (state_->active) return std::nullopt;
        }
        auto& source = *state_->source;
        const std::uint32_t id = state_->request.displayId;
        auto size = source.pictureSize(id);
        if (!size) {
            return CaptureFailure::temporary(
                fmt::format("The desktop shows no picture of display {} yet: its {} cannot start.", id,
                    state_->streamName));
        }
        // A capture of another size asks the display for it (a mirrored
        // monitor keeps its size and is scaled instead).
        if (size->first != state_->request.width || size->second != state_->request.height) {
            source.fit(id, state_->request.width, state_->request.height);
        }
        {
            std::lock_guard guard(state_->lock);
            state_->active = true;
            state_->finished = false;
            state_->attached = true;
            state_->whole = true;
            state_->fresh = false;
            state_->picture.clear();
        }
        if (!source.attach(state_->request, state_)) {
            std::lock_guard guard(state_->lock);
            state_->active = false;
            state_->attached = false;
            return CaptureFailure::temporary(
                fmt::format("The desktop refused the {} of display {}.", state_->streamName, id));
        }
        // The first picture is the display's newest, handed over by attach.
        return std::nullopt;
    }

    void stop() override
    {
        std::shared_ptr<Timer> timer, reread;
        bool attached = false;
        {
            std::unique_lock guard(state_->lock);
            state_->active = false;
            timer = std::move(state_->timer);
            reread = std::move(state_->rereadTimer);
            state_->rereadArmed = false;
            attached = std::exchange(state_->attached, false);
            if (state_->handlerThread != std::this_thread::get_id()) {
                state_->idle.wait(guard, [&] { return state_->inHandler == 0; });
            }
        }
        if (timer) timer->cancel();
        if (reread) reread->cancel();
        if (attached) state_->source->detach(state_->request.displayId, state_.get());
    }

private:
    std::shared_ptr<StreamState> state_;
};

class PushedCaptureBackend final : public CaptureBackend {
public:
    PushedCaptureBackend(std::shared_ptr<FrameSource> source, CaptureWords words)
        : source_(std::move(source))
        , words_(std::move(words))
    {
    }
    bool preflightScreenCaptureAccess() override { return true; }
    bool requestScreenCaptureAccess() override { return true; }
    const CaptureWords& words() const override { return words_; }
    std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest& request,
        CaptureFrameHandler handler) override
    {
        if (!request.queue || request.width == 0 || request.height == 0) return nullptr;
        if (request.pixelFormat != CAPTURE_PIXEL_FORMAT_BGRA || !source_->pictureSize(request.displayId)) return nullptr;
        auto state = std::make_shared<StreamState>();
        state->source = source_;
        state->request = request;
        state->cadence = CaptureCadence(request.minimumFrameTime);
        state->handler = std::move(handler);
        state->streamName = words_.streamName;
        return std::make_unique<PushedCaptureStream>(std::move(state));
    }

private:
    std::shared_ptr<FrameSource> source_;
    CaptureWords words_;
};

} // namespace

std::shared_ptr<CaptureBackend> makePushedCaptureBackend(std::shared_ptr<FrameSource> source, CaptureWords words)
{
    return std::make_shared<PushedCaptureBackend>(std::move(source), std::move(words));
}

void DisplaySinks::attach(std::uint32_t id, std::shared_ptr<FrameSink> sink)
{
    std::lock_guard guard(lock_);
    if (auto it = pictures_.find(id); it != pictures_.end()) {
        if (auto picture = it->second.picture()) sink->frame(*picture);
    }
    sinks_[id] = std::move(sink);
}

void DisplaySinks::detach(std::uint32_t id, const FrameSink* sink)
{
    // Declared before the guard, the released sink goes after the lock.
    std::shared_ptr<FrameSink> released;
    std::lock_guard guard(lock_);
    auto it = sinks_.find(id);
    if (it == sinks_.end() || it->second.get() != sink) return;
    released = std::move(it->second);
    sinks_.erase(it);
}

void DisplaySinks::deliver(std::uint32_t id, const PushedFrame& frame)
{
    std::lock_guard guard(lock_);
    pictures_[id].update(frame);
    if (auto it = sinks_.find(id); it != sinks_.end()) it->second->frame(frame);
}

void DisplaySinks::ended(std::uint32_t id)
{
    std::lock_guard guard(lock_);
    if (auto it = sinks_.find(id); it != sinks_.end()) it->second->ended();
}

void DisplaySinks::forget(std::uint32_t id, bool ending)
{
    std::lock_guard guard(lock_);
    if (auto it = sinks_.find(id); ending && it != sinks_.end()) it->second->ended();
    pictures_.erase(id);
}

void DisplaySinks::Picture::update(const PushedFrame& frame)
{
    const std::size_t rowBytes = frame.width * 4;
    std::size_t top = 0;
    std::size_t bottom = frame.height;
    if (width_ != frame.width || height_ != frame.height) {
        pixels_.assign(rowBytes * frame.height, 0);
        width_ = frame.width;
        height_ = frame.height;
    } else if (!frame.damage.empty()) {
        top = frame.height;
        bottom = 0;
        for (const auto& rect : frame.damage) {
            top = std::min(top, rect.y);
            bottom = std::max(bottom, rect.y + rect.height);
        }
    }
    for (std::size_t row = top; row < bottom; ++row) {
        std::memcpy(pixels_.data() + row * rowBytes, frame.data + row * frame.stride, rowBytes);
    }
}

std::optional<PushedFrame> DisplaySinks::Picture::picture() const
{
    if (pixels_.empty()) return std::nullopt;
    return PushedFrame{pixels_.data(), width_, height_, width_ * 4, {}};
}

} // namespace qb
