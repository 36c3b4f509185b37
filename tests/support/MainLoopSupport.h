// Running a coroutine on the shared main loop from a test.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>

#include <gtest/gtest.h>

#include "runtime/MainLoop.h"

namespace qb::test {

struct Spawned {
    std::atomic<bool> done{false};
    std::exception_ptr error;
};

// Starts `task` on the main loop (which the test then runs).
inline std::shared_ptr<Spawned> spawnOnMain(asio::awaitable<void> task)
{
    auto state = std::make_shared<Spawned>();
    asio::co_spawn(MainLoop::shared().executor(), std::move(task), [state](std::exception_ptr e) {
        state->error = e;
        state->done.store(true);
    });
    return state;
}

// Runs `task` on the main loop until it ends; rethrows what it threw.
inline void runOnMain(asio::awaitable<void> task, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto state = spawnOnMain(std::move(task));
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return state->done.load(); }, timeout)) << "task hung";
    if (state->error) std::rethrow_exception(state->error);
}

} // namespace qb::test
