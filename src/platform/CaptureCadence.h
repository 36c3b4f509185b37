// When a capture stream may take its next picture: as soon as a change
// arrives, within the frame rate cap of one frame per minimum frame time.
//
//   CaptureCadence cadence{request.minimumFrameTime};
//   const double at = cadence.claim(mediaTime());   // on a change
//   timer = Timer::oneShot(..., at - now, capture);
//
// The cap is held over a window of frames rather than between each two: no
// more than WINDOW frames in WINDOW frame times (less a quarter of one), and
// no two frames closer than three quarters of a frame time. A strict "one
// frame time since the last one" locks onto whatever phase the first frame
// had: a desktop that draws at exactly the frame rate then has every change
// wait the same part of a frame for ever (measured: 9 of 16.7 ms). Under
// this rule the wait shrinks by a quarter of a frame time per window until
// changes are taken as they come, and a desktop drawing faster than the cap
// still gets at most WINDOW / (WINDOW - 1/4) times the frame rate (62 fps at
// 60).
//
// Every time counts from when its frame was due, not from when its capture
// ran: a late wake-up of the capture thread does not push later frames back.
//
// A wake-up that finds nothing of its own to take (X11 reports damage for
// the whole screen, so a stream hears of every other output's changes)
// gives its place back, or a second tablet's drawing would use up this
// one's frames and delay its own changes by most of a frame.
//
// Not thread-safe: the stream's lock guards it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>

namespace qb {

class CaptureCadence {
public:
    static constexpr std::size_t WINDOW = 8;
    static constexpr double SLACK = 0.25; // of a frame time

    explicit CaptureCadence(double minimumFrameTime = 1.0 / 60) : frameTime_(minimumFrameTime) {}

    // The time the next frame is due for a change seen at `now` (never
    // before it), and that frame's place taken.
    double claim(double now)
    {
        double due = std::max(now, last_ + frameTime_ * (1 - SLACK));
        due = std::max(due, window_[next_] + frameTime_ * (static_cast<double>(WINDOW) - SLACK));
        released_ = {last_, window_[next_]};
        window_[next_] = due;
        next_ = (next_ + 1) % WINDOW;
        last_ = due;
        ++claims_;
        return due;
    }

    // How many claims were made: a capture that wants to give its place
    // back checks that no claim came after its own.
    unsigned long claims() const { return claims_; }

    // The last claim's place given back, as if it had not been made. Only
    // the last one, once.
    void release()
    {
        if (!released_) return;
        next_ = (next_ + WINDOW - 1) % WINDOW;
        last_ = released_->last;
        window_[next_] = released_->slot;
        released_.reset();
    }

private:
    struct Before {
        double last, slot;
    };
    double frameTime_;
    double last_ = -1e9;
    std::optional<Before> released_; // what the last claim replaced
    unsigned long claims_ = 0;
    std::array<double, WINDOW> window_ = filled(-1e9); // the last WINDOW due times, oldest at next_
    std::size_t next_ = 0;

    static constexpr std::array<double, WINDOW> filled(double value)
    {
        std::array<double, WINDOW> a{};
        a.fill(value);
        return a;
    }
};

} // namespace qb
