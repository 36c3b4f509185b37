// Timers on any executor (main loop, serial queue, global queue).
//
//   auto t = Timer::oneShot(globalQueue(QoS::defaultQoS), 10s, [] { ... });
//   auto r = Timer::repeating(queue->executor(), 2s, 2s, [] { ... });   // first after 2 s, then every 2 s
//   t->cancel();
//
// cancel() may be called from any thread; once it returns the callback will
// not start again (a firing already under way finishes). Dropping the last
// reference to a timer cancels it.
//
// Interruptible sleeps for coroutines:
//
//   Sleeper pause;                                  // owned by the component
//   bool completed = co_await pause.sleep(1s);      // false when interrupted
//   pause.interrupt();                              // from any thread
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "runtime/Asio.h"

namespace qb {

using Duration = std::chrono::steady_clock::duration;

// Seconds as a double to a steady-clock duration (for timing structs in seconds).
inline Duration seconds(double s)
{
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

class Timer : public std::enable_shared_from_this<Timer> {
public:
    static std::shared_ptr<Timer> oneShot(Executor executor, Duration delay, std::function<void()> fn);
    static std::shared_ptr<Timer> repeating(Executor executor, Duration firstDelay, Duration interval,
        std::function<void()> fn);

    ~Timer();
    void cancel();
    bool cancelled() const;

private:
    struct State;
    explicit Timer(std::shared_ptr<State> state);
    static void arm(const std::shared_ptr<State>& state, Duration delay);
    std::shared_ptr<State> state_;
};

// A sleep that another thread can cut short. Any number of coroutines may
// sleep on one Sleeper; interrupt() wakes them all, and every sleep begun
// after interrupt() returns false at once until reset().
class Sleeper {
public:
    Sleeper() = default;
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    // true when the full duration passed; false when interrupted or cancelled.
    asio::awaitable<bool> sleep(Duration duration);
    void interrupt();
    void reset();
    bool interrupted() const;

private:
    mutable std::mutex lock_;
    bool interrupted_ = false;
    std::set<std::shared_ptr<asio::steady_timer>> sleeping_;
};

// A plain cancellable sleep: true when it ran its course, false when the
// coroutine was cancelled (for example by TaskGroup::cancelAll).
asio::awaitable<bool> sleepFor(Duration duration);

} // namespace qb
