// The thread a Wayland client connection of a desktop backend lives on (the
// wlroots and KWin backends each have one): it dispatches the compositor's
// events and runs the work other threads hand it, so that every Wayland
// object is touched by that thread alone.
//
// Order: prepare(), then start() with a body that calls loop(); post() and
// run() from any thread once prepared; stop() from any thread, the connection's
// own included (the thread then ends by itself, so whatever the body holds
// must be kept alive by the body).
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct wl_display;

namespace qb {

class WaylandThread {
public:
    struct Hooks {
        // Milliseconds until the loop must wake by itself; -1: no limit.
        std::function<int()> timeout;
        // After each round of events and tasks (timers that came due).
        std::function<void()> tick;
        // The compositor closed the connection (not at stop): before the
        // tasks still waiting are released.
        std::function<void()> broken;
    };

    WaylandThread() = default;
    ~WaylandThread();
    WaylandThread(const WaylandThread&) = delete;
    WaylandThread& operator=(const WaylandThread&) = delete;

    // False when the wake-up descriptor cannot be made.
    bool prepare();
    // Runs `body` on the thread; it calls loop().
    void start(std::function<void()> body);
    // Dispatches `display` until stop() or until the connection breaks; on
    // return every task posted has run.
    void loop(wl_display* display, const Hooks& hooks);

    // `task` runs on the thread soon.
    void post(std::function<void()> task);
    // Runs `task` on the thread and waits for it (at once when called there);
    // once the connection is lost, only there.
    void run(std::function<void()> task);

    bool onThread() const { return std::this_thread::get_id() == threadId_; }
    // The connection broke or was stopped: the thread no longer dispatches.
    bool lost() const { return lost_; }
    bool stopping() const { return stopping_; }
    // Ends the thread and waits for it, or, called on the thread, lets it end by itself.
    void stop();

private:
    void runTasks();

    int wake_ = -1;
    std::thread thread_;
    std::thread::id threadId_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lost_{false};
    std::mutex tasksLock_;
    std::vector<std::function<void()>> tasks_;
};

} // namespace qb
