// Tracks every coroutine a component spawns, so that shutdown can cancel them
// all and wait until each has really finished. Nothing is spawned detached.
//
//   TaskGroup tasks(MainLoop::shared().executor());
//   tasks.spawn(session->healthLoop());
//   ...
//   tasks.cancelAll();
//   co_await tasks.join();
//
// spawn/cancelAll/join are called on the group's executor (the main loop for
// the engine); the coroutines run there too.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "runtime/Asio.h"

namespace qb {

class TaskGroup {
public:
    explicit TaskGroup(Executor executor);
    ~TaskGroup();
    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    // Starts `task`. An exception escaping it is logged under "Engine" with
    // `name` and otherwise swallowed: one failed task never takes the daemon down.
    void spawn(asio::awaitable<void> task, std::string name = "task");

    // Asks every running task to stop at its next cancellable wait. Called
    // off the group's executor, the request is delivered there on its next
    // turn.
    void cancelAll();

    // Completes when no task is running.
    asio::awaitable<void> join();

    std::size_t running() const { return state_->tasks.size(); }

private:
    struct Task {
        asio::cancellation_signal signal;
        std::string name;
    };
    // Shared with every running coroutine's completion, so a task's
    // cancellation signal outlives its coroutine frame even when the group
    // itself is destroyed first.
    struct State {
        std::list<Task> tasks;
        std::shared_ptr<asio::steady_timer> idle; // woken when tasks becomes empty
    };
    static void finished(const std::shared_ptr<State>& state, std::list<Task>::iterator it,
        std::exception_ptr error);

    Executor executor_;
    std::shared_ptr<State> state_;
};

} // namespace qb
