// Clocks: the monotonic media clock (seconds as a double, for frame timing,
// RTT and pacing) and the wall clock (timestamps in logs, rings and stats).
// Both go through one process-wide `Clock` so tests can inject a manual one.
// Any thread may read the clock; swapping it is for test set-up only.
#pragma once

#include <chrono>
#include <mutex>

namespace qb {

using WallTime = std::chrono::system_clock::time_point;

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic seconds since an arbitrary origin.
    virtual double mediaTime() const = 0;
    virtual WallTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    double mediaTime() const override;
    WallTime now() const override;
};

// A clock that only moves when told to; both readings advance together.
class ManualClock final : public Clock {
public:
    explicit ManualClock(WallTime start = std::chrono::system_clock::now(), double media = 1000.0);
    double mediaTime() const override;
    WallTime now() const override;
    void advance(double seconds);
    void setWall(WallTime t);

private:
    mutable std::mutex lock_;
    WallTime wall_;
    double media_;
};

// The process-wide clock. `setClock(nullptr)` restores the system clock.
const Clock& clock();
void setClock(const Clock* c);

inline double mediaTime() { return clock().mediaTime(); }
inline WallTime wallNow() { return clock().now(); }

// Installs a clock for the lifetime of a scope (tests).
class ScopedClock {
public:
    explicit ScopedClock(const Clock& c) { setClock(&c); }
    ~ScopedClock() { setClock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

} // namespace qb
