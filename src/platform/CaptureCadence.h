// When a capture stream may take its next picture: as soon as a change
// arrives, but at most one frame per minimum frame time.
//
//   CaptureCadence cadence{request.minimumFrameTime};
//   const double at = cadence.claim(mediaTime());   // on a change
//   timer = Timer::oneShot(..., at - now, capture);
//
// The frame time counts from the moment each frame was due, not from when
// its capture ran or finished: a desktop that draws at the frame rate would
// otherwise lose the read time and every late wake-up of the capture thread
// once per frame, its changes waiting longer each frame until one is
// skipped, and most of a frame on average. Counted this way a change that
// comes a whole frame time after the previous one is taken at once.
//
// Not thread-safe: the stream's lock guards it.
#pragma once

#include <algorithm>

namespace qb {

struct CaptureCadence {
    double minimumFrameTime = 1.0 / 60;
    double lastDue = -1e9; // seconds, the clock of claim()

    // The time the next frame is due for a change seen at `now` (never
    // before it), and that frame's slot taken.
    double claim(double now)
    {
        lastDue = std::max(now, lastDue + minimumFrameTime);
        return lastDue;
    }
};

} // namespace qb
