// Shared set-up for the diagnostics tests: a manual wall clock at a known
// instant and UTC as the local time zone, so rendered times are exact.
#pragma once

#include <ctime>

#include "runtime/Clock.h"
#include "support/TestSupport.h"

namespace qb::test {

// 2026-12-06 09:15:30.250 UTC.
inline WallTime knownInstant()
{
    return WallTime(std::chrono::seconds(1796548530)) + std::chrono::milliseconds(250);
}

// TZ=UTC, read again when set and again once the old value is back.
struct UtcTimeZone {
    struct Reread {
        ~Reread() { ::tzset(); }
    } reread;
    ScopedEnv tz{"TZ", "UTC"};
    UtcTimeZone() { ::tzset(); }
};

// A manual clock installed for the test's lifetime, in UTC.
struct FixedTime {
    UtcTimeZone zone;
    ManualClock clock{knownInstant()};
    ScopedClock installed{clock};
};

} // namespace qb::test
