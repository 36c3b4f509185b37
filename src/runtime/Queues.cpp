#include "runtime/Queues.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "runtime/MainLoop.h"

namespace qb {

namespace {

struct GlobalPools {
    // Utility work blocks on child processes for seconds: give it room.
    asio::thread_pool utility{4};
    asio::thread_pool defaultQoS{4};
    asio::thread_pool userInitiated{2};

    asio::thread_pool& pool(QoS qos)
    {
        switch (qos) {
        case QoS::utility: return utility;
        case QoS::defaultQoS: return defaultQoS;
        case QoS::userInitiated: return userInitiated;
        }
        return defaultQoS;
    }
};

// The pools live as long as the process: never destroyed, so work still
// running on a pool thread while the process exits (an adb call a test left
// behind, a timer it cancels on another pool) never meets a pool that static
// destruction has already torn down.
GlobalPools& pools()
{
    static auto* const instance = new GlobalPools;
    return *instance;
}

thread_local const SerialQueue* currentDedicated = nullptr;

} // namespace

Executor globalQueue(QoS qos) { return pools().pool(qos).get_executor(); }

struct SerialQueue::Dedicated {
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
    std::thread thread;
};

SerialQueue::SerialQueue(std::string name, Executor executor)
    : name_(std::move(name)), executor_(std::move(executor))
{
}

std::shared_ptr<SerialQueue> SerialQueue::make(std::string name, QoS qos)
{
    auto strand = asio::make_strand(pools().pool(qos).get_executor());
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(name), strand));
}

std::shared_ptr<SerialQueue> SerialQueue::makeDedicated(std::string name)
{
    auto dedicated = std::make_shared<Dedicated>();
    auto queue = std::shared_ptr<SerialQueue>(
        new SerialQueue(std::move(name), dedicated->context.get_executor()));
    const SerialQueue* self = queue.get();
    // The thread keeps its context alive, so a queue whose last owner lets go
    // of it from inside one of its own items still finishes cleanly.
    dedicated->thread = std::thread([keep = dedicated, self]() mutable {
        currentDedicated = self;
        keep->context.run();
        currentDedicated = nullptr;
    });
    queue->dedicated_ = std::move(dedicated);
    return queue;
}

SerialQueue::~SerialQueue()
{
    if (dedicated_) {
        // Finish what was queued, then let the thread end.
        dedicated_->work.reset();
        if (dedicated_->thread.get_id() == std::this_thread::get_id()) {
            dedicated_->thread.detach(); // last owner released from its own thread
        } else if (dedicated_->thread.joinable()) {
            dedicated_->thread.join();
        }
    }
}

void SerialQueue::async(std::function<void()> fn) { asio::post(executor_, std::move(fn)); }

bool SerialQueue::isCurrent() const
{
    if (dedicated_) return currentDedicated == this;
    if (auto* strand = executor_.target<asio::strand<asio::thread_pool::executor_type>>()) {
        return strand->running_in_this_thread();
    }
    return false;
}

void SerialQueue::assertNotOnMainLoop(const std::string& queue)
{
    if (!MainLoop::shared().isCurrent()) return;
    std::fprintf(stderr, "quillbright: a blocking wait for queue %s on the main loop\n", queue.c_str());
    std::abort();
}

} // namespace qb
