#include "platform/WaylandThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <future>
#include <memory>
#include <utility>

#include <wayland-client.h>

namespace qb {

WaylandThread::~WaylandThread()
{
    if (thread_.joinable()) stop();
    if (wake_ >= 0) ::close(wake_);
}

bool WaylandThread::prepare()
{
    if (wake_ < 0) wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return wake_ >= 0;
}

void WaylandThread::start(std::function<void()> body) { thread_ = std::thread(std::move(body)); }

void WaylandThread::post(std::function<void()> task)
{
    {
        std::lock_guard guard(tasksLock_);
        tasks_.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
}

void WaylandThread::run(std::function<void()> task)
{
    if (onThread() || lost_) {
        if (onThread()) task();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    post([task = std::move(task), done] {
        task();
        done->set_value();
    });
    // The thread runs every task it was given, even while it ends.
    future.wait();
}

void WaylandThread::runTasks()
{
    std::vector<std::function<void()>> now;
    {
        std::lock_guard guard(tasksLock_);
        now.swap(tasks_);
    }
    for (auto& task : now) task();
}

void WaylandThread::loop(wl_display* display, const Hooks& hooks)
{
    threadId_ = std::this_thread::get_id();
    const int fd = wl_display_get_fd(display);
    bool broken = false;
    while (!stopping_ && !broken) {
        while (!broken && wl_display_prepare_read(display) != 0) {
            broken = wl_display_dispatch_pending(display) < 0;
        }
        if (broken) break;
        wl_display_flush(display);
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, hooks.timeout ? hooks.timeout() : -1);
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            if (wl_display_read_events(display) < 0) break;
        } else {
            wl_display_cancel_read(display);
        }
        if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP))) break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto got = ::read(wake_, &count, sizeof count);
        }
        if (wl_display_dispatch_pending(display) < 0) break;
        runTasks();
        if (hooks.tick) hooks.tick();
    }
    if (!stopping_) {
        lost_ = true;
        if (hooks.broken) hooks.broken();
    }
    // Tasks posted meanwhile still run: whoever waits on one is released.
    runTasks();
    lost_ = true;
    runTasks();
}

void WaylandThread::stop()
{
    stopping_ = true;
    if (onThread()) {
        // It cannot join itself: it ends once the loop sees the flag.
        if (thread_.joinable()) thread_.detach();
        post([] {});
        return;
    }
    post([] {});
    if (thread_.joinable()) thread_.join();
}

} // namespace qb
