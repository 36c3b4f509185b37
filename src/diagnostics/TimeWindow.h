// The "last N seconds" windows of the diagnostic rings: the start date of a
// window that ends now. A window too long to represent, infinite or NaN has
// no start (everything matches); a negative one starts in the future
// (nothing matches). Converting such numbers to clock ticks directly would
// overflow.
#pragma once

#include <chrono>
#include <cmath>
#include <optional>

#include "runtime/Clock.h"

namespace qb {

inline std::optional<WallTime> windowStart(WallTime now, std::optional<double> lastSeconds)
{
    if (!lastSeconds || std::isnan(*lastSeconds)) return std::nullopt;
    // About a century either way stays well inside the clock's 64-bit range.
    constexpr double limit = 100.0 * 365 * 24 * 3600;
    if (*lastSeconds > limit) return std::nullopt;
    const double seconds = *lastSeconds < -limit ? -limit : *lastSeconds;
    return now - std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds));
}

} // namespace qb
