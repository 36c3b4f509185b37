// Keeps a display's picture changing at a steady rate so the compositor
// recomposes it and the capture stream delivers complete frames continuously:
// a 4×4-point borderless window in the display's top-left corner flips its
// background between black and the darkest non-black red on every tick.
// Ticks come from the display's own refresh (a display link, 30-60 Hz) or,
// when the display has no screen of its own, from a 16 ms timer with the
// window on the main screen.
//
// Ownership: each device session owns one pacer, created with
// CompositorPacer::create (the queued work holds it weakly).
// Threads: start() and stop() may be called from any thread; they only queue
// their work on the main loop, where every tick also runs, in call order.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/PacerWindows.h"
#include "runtime/Timer.h"

namespace qb {

struct CompositorPacerTiming {
    // Tick interval of the fallback timer.
    Duration fallbackInterval = std::chrono::milliseconds(16);
};

class CompositorPacer : public std::enable_shared_from_this<CompositorPacer> {
public:
    using Timing = CompositorPacerTiming;

    static constexpr double WINDOW_SIZE = 4.0;
    // 1/255: the darkest red that still differs from black.
    static constexpr double FLIP_RED = 1.0 / 255.0;
    // A progress line every this many ticks.
    static constexpr std::uint64_t LOG_EVERY_TICKS = 300;

    // `windows`: the platform's pacer windows (required).
    static std::shared_ptr<CompositorPacer> create(std::uint32_t targetDisplayID,
        std::shared_ptr<PacerWindows> windows, Timing timing = {});
    ~CompositorPacer();
    CompositorPacer(const CompositorPacer&) = delete;
    CompositorPacer& operator=(const CompositorPacer&) = delete;

    void start();
    void stop();
    // One flip; the display link's and the timer's callback (main loop).
    void tick();

    std::uint32_t targetDisplayID() const { return targetDisplayID_; }
    std::uint64_t tickCount() const { return tickCount_.load(); }
    // Main loop only.
    bool isPacing() const { return window_ != nullptr; }
    bool usesDisplayLink() const { return displayLink_ != nullptr; }

private:
    CompositorPacer(std::uint32_t targetDisplayID, std::shared_ptr<PacerWindows> windows, Timing timing);
    void startWork();
    void stopWork();
    std::optional<ScreenInfo> screenForDisplay(std::uint32_t displayID);

    const std::uint32_t targetDisplayID_;
    const std::shared_ptr<PacerWindows> windows_;
    const Timing timing_;

    // Main loop only.
    std::unique_ptr<PacerWindow> window_;
    std::unique_ptr<DisplayLink> displayLink_;
    std::shared_ptr<Timer> timer_;
    bool toggle_ = false;
    std::atomic<std::uint64_t> tickCount_{0};
};

} // namespace qb
