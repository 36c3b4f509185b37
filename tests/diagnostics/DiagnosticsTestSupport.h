// Shared set-up for the diagnostics tests: a manual wall clock at a known
// instant and UTC as the local time zone, so rendered times are exact.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "runtime/Clock.h"

namespace qb::test {

// 2026-12-06 09:15:30.250 UTC.
inline WallTime knownInstant()
{
    return WallTime(std::chrono::seconds(1796548530)) + std::chrono::milliseconds(250);
}

class UtcTimeZone {
public:
    UtcTimeZone()
    {
        if (const char* tz = std::getenv("TZ")) saved_ = tz;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    ~UtcTimeZone()
    {
        if (saved_) ::setenv("TZ", saved_->c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }
    UtcTimeZone(const UtcTimeZone&) = delete;
    UtcTimeZone& operator=(const UtcTimeZone&) = delete;

private:
    std::optional<std::string> saved_;
};

// A manual clock installed for the test's lifetime, in UTC.
struct FixedTime {
    UtcTimeZone zone;
    ManualClock clock{knownInstant()};
    ScopedClock installed{clock};
};

} // namespace qb::test
