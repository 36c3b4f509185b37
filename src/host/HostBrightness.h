// The built-in panel's brightness, 0 (dark) to 1 (full). The dimming while a
// device mirrors the host (with its crash-recovery file) is AutoDim's; this
// is the panel it reads and writes.
//
// Without a built-in panel reads give nothing and writes fail.
//
// Tests and the sim platform give it a sim::SimBacklight (platform/sim/SimHost.h).
//
// Threads: any; one call at a time is served (a mutex). Calls block for up
// to the backlight's time limit (a D-Bus call), so the engine makes them off
// the main loop.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/Backlight.h"

namespace qb {

class HostBrightness {
public:
    explicit HostBrightness(std::shared_ptr<Backlight> backlight) : backlight_(std::move(backlight)) {}

    std::optional<float> brightness()
    {
        std::lock_guard guard(lock_);
        return backlight_->brightness();
    }
    bool setBrightness(float value)
    {
        std::lock_guard guard(lock_);
        return backlight_->setBrightness(value);
    }

private:
    std::shared_ptr<Backlight> backlight_;
    std::mutex lock_;
};

} // namespace qb
