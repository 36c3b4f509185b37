// The built-in panel's backlight (the laptop screen, not an external
// monitor), as a fraction from 0 (dark) to 1 (full).
//
// Backends: Linux (platform/linux/: the panel's /sys/class/backlight entry,
// written through logind so no root is needed, the sysfs file as fallback)
// and sim (platform/sim/, in memory).
//
// Threads: any. Reads block for a sysfs read. On Linux a write is a D-Bus
// call to logind (up to its time limit): the platform's backlight hands it
// to a thread of its own, in order, and answers at once whether the panel
// exists; flush() waits for what is still queued (the daemon, at exit).
#pragma once

#include <chrono>
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

    // Waits, at most `limit`, for writes still under way (a backlight that
    // writes in the background). True when none is left.
    virtual bool flush(std::chrono::milliseconds /*limit*/) { return true; }
};

} // namespace qb
