#include "pipeline/CompositorPacer.h"

#include <fmt/format.h>

#include "diagnostics/Log.h"
#include "runtime/MainLoop.h"

namespace qb {

namespace {

void info(const std::string& line)
{
    componentLog(LogLevel::info, "CompositorPacer", line);
}

} // namespace

std::shared_ptr<CompositorPacer> CompositorPacer::create(std::uint32_t targetDisplayID,
    std::shared_ptr<PacerWindows> windows, Timing timing)
{
    return std::shared_ptr<CompositorPacer>(new CompositorPacer(targetDisplayID, std::move(windows), timing));
}

CompositorPacer::CompositorPacer(std::uint32_t targetDisplayID, std::shared_ptr<PacerWindows> windows,
    Timing timing)
    : targetDisplayID_(targetDisplayID)
    , windows_(std::move(windows))
    , timing_(timing)
{
}

CompositorPacer::~CompositorPacer()
{
    if (displayLink_) displayLink_->invalidate();
    if (timer_) timer_->cancel();
    if (window_) window_->close();
}

void CompositorPacer::start()
{
    std::weak_ptr<CompositorPacer> weak = weak_from_this();
    MainLoop::shared().post([weak] {
        if (auto self = weak.lock()) self->startWork();
    });
}

void CompositorPacer::stop()
{
    std::weak_ptr<CompositorPacer> weak = weak_from_this();
    MainLoop::shared().post([weak] {
        if (auto self = weak.lock()) self->stopWork();
    });
}

std::optional<ScreenInfo> CompositorPacer::screenForDisplay(std::uint32_t displayID)
{
    for (const auto& screen : windows_->screens()) {
        if (screen.displayNumber == displayID) return screen;
    }
    return std::nullopt;
}

void CompositorPacer::startWork()
{
    // A second start replaces what the first one built instead of leaving
    // its window and tick source running unowned.
    if (window_) stopWork();

    const auto screen = screenForDisplay(targetDisplayID_);

    windows_->disableAutomaticWindowTabbing();
    PacerWindowRequest request;
    request.contentRect = {0, 0, WINDOW_SIZE, WINDOW_SIZE};
    request.screen = screen;
    request.level = SCREEN_SAVER_WINDOW_LEVEL;
    request.background = {0, 0, 0, 1.0};
    window_ = windows_->makeWindow(request);
    if (window_) {
        if (screen) window_->setFrameOrigin(screen->frame.minX(), screen->frame.maxY() - WINDOW_SIZE);
        window_->orderFrontRegardless();
    }

    std::weak_ptr<CompositorPacer> weak = weak_from_this();
    auto onTick = [weak] {
        if (auto self = weak.lock()) self->tick();
    };
    if (screen) displayLink_ = windows_->makeDisplayLink(targetDisplayID_, FrameRateRange{30, 60, 60}, onTick);

    if (displayLink_) {
        info(fmt::format("[CompositorPacer] Started on virtual display {} (X Present vblank, 4x4)", targetDisplayID_));
    } else {
        timer_ = Timer::repeating(MainLoop::shared().executor(), Duration::zero(), timing_.fallbackInterval, onTick);
        info(fmt::format("[CompositorPacer] Started on main screen (timer fallback, 4x4) — virtual display {} has no "
                         "XRandR monitor",
            targetDisplayID_));
    }
    info(fmt::format("[CompositorPacer] Target display: {}, on virtual screen: {}", targetDisplayID_,
        displayLink_ ? "true" : "false"));
}

void CompositorPacer::tick()
{
    const bool previous = toggle_;
    toggle_ = !previous;
    if (window_) window_->setBackgroundColor({previous ? FLIP_RED : 0.0, 0, 0, 1.0});
    const std::uint64_t count = tickCount_.fetch_add(1) + 1;
    if (count % LOG_EVERY_TICKS == 0) {
        info(fmt::format("[CompositorPacer] {} ticks (~{}s)", count, count / 60));
    }
}

void CompositorPacer::stopWork()
{
    if (displayLink_) {
        displayLink_->invalidate();
        displayLink_.reset();
    }
    if (timer_) {
        timer_->cancel();
        timer_.reset();
    }
    if (window_) {
        window_->close();
        window_.reset();
    }
    info("[CompositorPacer] Compositor pacer stopped");
}

} // namespace qb
