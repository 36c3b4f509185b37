// The built-in panel's backlight (the laptop screen, not an external
// monitor), as a fraction from 0 (dark) to 1 (full).
//
// Backends: Linux (platform/linux/: the panel's /sys/class/backlight entry,
// written through logind so no root is needed, the sysfs file as fallback)
// and sim (platform/sim/, in memory).
//
// Threads: any; members block for at most the backend's time limit (a D-Bus
// call, a sysfs read), so callers keep them off the main loop.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace qb {

class Backlight {
public:
    virtual ~Backlight() = default;

    // nullopt when there is no built-in panel or it cannot be read.
    virtual std::optional<float> brightness() = 0;
    // `value` is limited to 0...1. False when there is no panel or every way
    // of writing failed.
    virtual bool setBrightness(float value) = 0;

    // Which backend and panel, for the report ("sysfs intel_backlight").
    virtual std::string provider() const = 0;
};

} // namespace qb
