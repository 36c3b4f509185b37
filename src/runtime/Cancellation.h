// Cancellation of blocking work that runs off the main loop.
//
// A coroutine that awaits offMainLoop() can be cancelled (TaskGroup's
// cancelAll, a stop that overtakes a start); the work itself runs on a
// global queue and cannot be interrupted in the middle of a system call.
// What can be cut short are the child processes it waits for: while the work
// runs, its thread carries the Cancellation (Cancellation::Scope), and every
// child launched there is registered with it. cancel() terminates those
// children (their whole process group) and makes later launches under it
// fail at once, so the work comes to its end quickly and starts nothing new.
//
// Thread-safe.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

namespace qb {

class Process;

class Cancellation {
public:
    static std::shared_ptr<Cancellation> make() { return std::shared_ptr<Cancellation>(new Cancellation()); }

    // Terminates every running child launched under this cancellation; later
    // launches under it fail. Idempotent.
    void cancel();
    bool cancelled() const;

    // The cancellation carried by the calling thread, or null.
    static std::shared_ptr<Cancellation> current();

    // Makes `cancellation` the calling thread's current one until destroyed.
    class Scope {
    public:
        explicit Scope(std::shared_ptr<Cancellation> cancellation);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::shared_ptr<Cancellation> previous_;
    };

    // Called by Process::launch: records a child launched under this
    // cancellation. False when it has already been cancelled; the caller
    // then terminates the child itself.
    bool adopt(const std::shared_ptr<Process>& child);

private:
    Cancellation() = default;

    mutable std::mutex lock_;
    bool cancelled_ = false;
    std::vector<std::weak_ptr<Process>> children_;
};

} // namespace qb
