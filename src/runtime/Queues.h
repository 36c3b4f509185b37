// Background execution. Three global queues by quality of service, and named
// serial queues that run one item at a time in order:
//
//   auto queue = SerialQueue::make("tcp-server");            // strand on the shared pool
//   auto capture = SerialQueue::makeDedicated("capture");    // its own thread
//   queue->async([] { ... });
//   asio::post(globalQueue(QoS::utility), [] { ... });
//
// Work on the global queues may block (adb calls wait up to 40 s), so each
// quality of service has its own pool and blocking on one never starves the
// others. Serial queues built on the shared pool must not block for long.
#pragma once

#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "runtime/Asio.h"

namespace qb {

enum class QoS { utility, defaultQoS, userInitiated };

// The executor of the global queue for `qos`.
Executor globalQueue(QoS qos);

class SerialQueue : public std::enable_shared_from_this<SerialQueue> {
public:
    // A strand on the shared pool of the given quality of service.
    static std::shared_ptr<SerialQueue> make(std::string name, QoS qos = QoS::defaultQoS);
    // A queue with a thread of its own (capture, long blocking work).
    static std::shared_ptr<SerialQueue> makeDedicated(std::string name);

    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& name() const { return name_; }
    Executor executor() const { return executor_; }

    void async(std::function<void()> fn);

    // Runs `fn` on the queue and waits for it. Calling it from the queue itself
    // runs `fn` inline instead of deadlocking. Never from the main loop,
    // which must not block: it awaits run() instead.
    template <class F>
    auto sync(F&& fn) -> decltype(fn())
    {
        if (isCurrent()) return fn();
        assertNotOnMainLoop(name_);
        std::packaged_task<decltype(fn())()> task(std::forward<F>(fn));
        auto future = task.get_future();
        asio::post(executor_, [&task] { task(); });
        return future.get();
    }

    // Runs `fn` on the queue; the awaiting coroutine resumes on its own
    // executor with the result (or the exception `fn` threw).
    // (By reference: GCC 12 destroys a temporary of a co_await expression
    // twice, so callers pass a named function.)
    template <class Result>
    asio::awaitable<Result> run(const std::function<Result()>& fn)
    {
        return asio::co_spawn(executor_, invoke<Result>(fn), asio::use_awaitable);
    }

    // True while the calling thread runs an item of this queue.
    bool isCurrent() const;

private:
    SerialQueue(std::string name, Executor executor);
    template <class Result>
    static asio::awaitable<Result> invoke(std::function<Result()> fn)
    {
        co_return fn();
    }
    static void assertNotOnMainLoop(const std::string& queue);
    struct Dedicated;

    std::string name_;
    Executor executor_;
    std::shared_ptr<Dedicated> dedicated_;
};

} // namespace qb
