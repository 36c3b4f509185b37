// The main actor: one io_context run by the main thread. Engine state, start
// and stop, command interpretation and every published property live here;
// other threads post work to it and never touch that state directly.
//
// `MainLoop::shared()` is the process's loop. Tests drive it with
// `runUntil(predicate, timeout)`, which runs the loop on the calling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "runtime/Asio.h"

namespace qb {

class MainLoop {
public:
    static MainLoop& shared();

    MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    asio::io_context& context() { return context_; }
    Executor executor() { return context_.get_executor(); }

    // Queues `fn` to run on the main thread.
    void post(std::function<void()> fn);

    // True on the thread currently running this loop.
    bool isCurrent() const;
    // Aborts with a message when called off the main thread: a broken invariant.
    void assertCurrent(const char* where) const;

    // Runs until stop() (the daemon's main thread).
    void run();
    void stop();

    // Runs the loop on this thread until `done()` holds or `timeout` passes;
    // returns whether `done()` held. For tests and the command line.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs ready handlers and whatever becomes ready within `duration`.
    void runFor(std::chrono::milliseconds duration);

private:
    asio::io_context context_;
    std::atomic<std::thread::id> runner_{};
};

// Runs `fn` on the main loop and returns its future result; for callers on
// other threads that must wait (never call it from the main thread).
template <class F>
auto onMainSync(F&& fn) -> decltype(fn())
{
    std::packaged_task<decltype(fn())()> task(std::forward<F>(fn));
    auto future = task.get_future();
    asio::post(MainLoop::shared().context(), [&task] { task(); });
    return future.get();
}

} // namespace qb
