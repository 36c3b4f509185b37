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

    // Asks every running task to stop at its next cancellable wait.
    void cancelAll();

    // Completes when no task is running.
    asio::awaitable<void> join();

    std::size_t running() const { return tasks_.size(); }

private:
    struct Task {
        asio::cancellation_signal signal;
        std::string name;
    };
    void finished(std::list<Task>::iterator it, std::exception_ptr error);

    Executor executor_;
    std::list<Task> tasks_;
    std::shared_ptr<asio::steady_timer> idle_; // woken when tasks_ becomes empty
    std::shared_ptr<bool> alive_;
};

} // namespace qb
