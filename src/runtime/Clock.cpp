#include "runtime/Clock.h"

#include <atomic>

namespace qb {

double SystemClock::mediaTime() const
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

WallTime SystemClock::now() const { return std::chrono::system_clock::now(); }

ManualClock::ManualClock(WallTime start, double media) : wall_(start), media_(media) {}

double ManualClock::mediaTime() const
{
    std::lock_guard guard(lock_);
    return media_;
}

WallTime ManualClock::now() const
{
    std::lock_guard guard(lock_);
    return wall_;
}

void ManualClock::advance(double seconds)
{
    std::lock_guard guard(lock_);
    media_ += seconds;
    wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(seconds));
}

void ManualClock::setWall(WallTime t)
{
    std::lock_guard guard(lock_);
    wall_ = t;
}

namespace {
const SystemClock systemClock;
std::atomic<const Clock*> currentClock{&systemClock};
} // namespace

const Clock& clock() { return *currentClock.load(std::memory_order_acquire); }

void setClock(const Clock* c) { currentClock.store(c ? c : &systemClock, std::memory_order_release); }

} // namespace qb
