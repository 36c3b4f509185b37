#include "runtime/MainLoop.h"

#include <cstdio>
#include <cstdlib>

namespace qb {

// Never destroyed, for the same reason as the global pools: background work
// finishing during exit may still post its result here.
MainLoop& MainLoop::shared()
{
    static auto* const loop = new MainLoop;
    return *loop;
}

MainLoop::MainLoop() = default;

void MainLoop::post(std::function<void()> fn) { asio::post(context_, std::move(fn)); }

bool MainLoop::isCurrent() const { return runner_.load() == std::this_thread::get_id(); }

void MainLoop::assertCurrent(const char* where) const
{
    if (!isCurrent()) {
        std::fprintf(stderr, "quillbright: %s must run on the main loop\n", where);
        std::abort();
    }
}

void MainLoop::run()
{
    runner_.store(std::this_thread::get_id());
    auto guard = asio::make_work_guard(context_);
    context_.restart();
    context_.run();
    runner_.store(std::thread::id{});
}

void MainLoop::stop() { context_.stop(); }

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto previous = runner_.exchange(std::this_thread::get_id());
    auto guard = asio::make_work_guard(context_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool held = done();
    while (!held && std::chrono::steady_clock::now() < deadline) {
        if (context_.stopped()) context_.restart();
        context_.run_for(std::chrono::milliseconds(5));
        held = done();
    }
    runner_.store(previous);
    return held;
}

void MainLoop::runFor(std::chrono::milliseconds duration)
{
    runUntil([] { return false; }, duration);
}

} // namespace qb
