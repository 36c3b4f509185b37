// Keeps the host awake (and running with the lid closed in clamshell mode)
// while mirroring, and reports the lid being opened. Main loop. No-op by
// default.
#pragma once

#include <functional>

namespace qb {

class SleepControl {
public:
    virtual ~SleepControl() = default;
    // Called once by activate(); `lidOpened` runs on the main loop.
    virtual void setOnLidOpened(std::function<void()> lidOpened) { (void)lidOpened; }
    virtual void activate() {}
    // Undoes whatever activate() changed; harmless when nothing was.
    virtual void deactivate() {}
};

} // namespace qb
