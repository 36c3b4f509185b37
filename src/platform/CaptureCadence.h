// When a capture stream may take its next picture: as soon as a change
// arrives, within the frame rate cap of one frame per minimum frame time.
//
//   CaptureCadence cadence{request.minimumFrameTime};
//   const double at = cadence.claim(mediaTime());   // on a change
//   timer = Timer::oneShot(..., at - now, capture);
//
// The cap is kept as a schedule, not as a distance between each two frames:
// each frame taken moves the schedule on by (a little less than) a frame
// time, a frame may be taken up to one frame time ahead of it, and a frame
// taken after a quiet spell starts it afresh. Under a flood of changes that
// is 62 frames a second at 60, and never more than one frame over that in
// any stretch; but a change is not held back for being close to the frame
// before it. Two cases need that:
//
// - A picture read while its application was still drawing it (its first
//   requests woke the capture, the rest came a moment later): the rest is
//   taken at once, ahead of the schedule, not a frame time later.
// - A frame taken late (the reread, a capture thread that waited for a
//   core): with a strict "one frame time since the last one", or a cap
//   counted over a window of past frames, a desktop that draws at exactly
//   the frame rate had every later change wait as long, for many frames
//   (measured: 13 of 16.7 ms, for 7 frames in every 120).

// Every time counts from when its frame was due, not from when its capture
// ran: a late wake-up of the capture thread does not push later frames back.
//
// A wake-up that finds nothing of its own to take (X11 reports damage for
// the whole screen, so a stream hears of every other output's changes)
// gives its place back, or a second tablet's drawing would use up this
// one's frames and delay its own changes.
//
// Not thread-safe: the stream's lock guards it.
#pragma once

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "runtime/Timer.h"

namespace qb {

class CaptureCadence {
public:
    static constexpr double CREDIT = 1.0; // frame times a frame may come ahead of the schedule
    // The schedule's step, in frame times: a little short of one. A desktop
    // drawing at exactly the frame rate gains 1 - STEP of a frame time on
    // the schedule with every frame, so a schedule pushed ahead of it (by a
    // frame taken with the credit) falls back behind it again instead of
    // holding every change back for ever. Under a flood of changes: 62
    // frames a second at 60.
    static constexpr double STEP = 31.0 / 32;

    explicit CaptureCadence(double minimumFrameTime = 1.0 / 60) : frameTime_(minimumFrameTime) {}

    // The time the next frame would be due for a change seen at `now`.
    double due(double now) const { return std::max(now, scheduled_ - frameTime_ * CREDIT); }

    // The time the next frame is due for a change seen at `now` (never
    // before it), and that frame's place taken.
    double claim(double now)
    {
        const double at = due(now);
        released_ = scheduled_;
        scheduled_ = std::max(at, scheduled_) + frameTime_ * STEP;
        ++claims_;
        return at;
    }

    // How many claims were made: a capture that wants to give its place
    // back checks that no claim came after its own.
    unsigned long claims() const { return claims_; }

    // The last claim's place given back, as if it had not been made. Only
    // the last one, once.
    void release()
    {
        if (!released_) return;
        scheduled_ = *released_;
        released_.reset();
    }

private:
    double frameTime_;
    double scheduled_ = -1e9; // when the frame after the last one is due by the schedule
    std::optional<double> released_; // what the last claim replaced
    unsigned long claims_ = 0;
};

// A reread rides on the next change's frame when one comes within a frame
// time: a frame of its own would take that change's place under the cap.
// This arms the frame of its own for a still screen: after a frame time,
// unless `pending(state)` says a change's frame took the reread with it,
// the stream's next frame is forced and `schedule(state)` asks for it.
// `State` has `lock`, `forced`, `rereadArmed` and `rereadTimer`; called
// under its lock.
template <typename State, typename Pending, typename Schedule>
void armRereadFrame(const std::shared_ptr<State>& state, Executor executor, double frameTime, Pending pending,
    Schedule schedule)
{
    if (std::exchange(state->rereadArmed, true)) return;
    std::weak_ptr<State> weak = state;
    state->rereadTimer = Timer::oneShot(executor, seconds(frameTime), [weak, pending, schedule] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard guard(self->lock);
            self->rereadArmed = false;
            if (!pending(*self)) return;
            self->forced = true;
        }
        schedule(self);
    });
}

} // namespace qb
