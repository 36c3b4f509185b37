#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "runtime/MainLoop.h"
#include "runtime/Queues.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"

using namespace qb;
using namespace std::chrono_literals;

namespace {
asio::awaitable<void> plainSleep(Duration duration, int* interrupted)
{
    const bool completed = co_await sleepFor(duration);
    if (!completed) ++*interrupted;
}

asio::awaitable<void> joinThenMark(TaskGroup* group, bool* joined)
{
    co_await group->join();
    *joined = true;
}

// Awaits `work` on `queue`, noting where it resumed and what came back.
asio::awaitable<void> awaitOnQueue(std::shared_ptr<SerialQueue> queue, std::function<int()> work, int* result,
    std::string* failure, bool* resumedOnMain)
{
    try {
        *result = co_await queue->run(work);
    } catch (const std::exception& error) {
        *failure = error.what();
    }
    *resumedOnMain = MainLoop::shared().isCurrent();
}

asio::awaitable<void> throwing()
{
    throw std::runtime_error("boom"); // logged, never fatal
    co_return;
}
} // namespace

// The main loop awaits queue work instead of blocking on it; a blocking wait
// from the main loop is a broken invariant.
TEST(SerialQueue, MainLoopAwaitsQueueWorkAndNeverBlocksOnIt)
{
    auto queue = SerialQueue::make("tcp-server");
    for (bool fails : {false, true}) {
        int result = 0;
        std::string failure;
        bool resumedOnMain = false;
        bool ranOnQueue = false;
        std::function<int()> work = [&] {
            ranOnQueue = queue->isCurrent();
            if (fails) throw std::runtime_error("refused");
            return 42;
        };
        asio::co_spawn(MainLoop::shared().executor(),
            awaitOnQueue(queue, work, &result, &failure, &resumedOnMain), asio::detached);
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return resumedOnMain; }, 5000ms));
        EXPECT_TRUE(ranOnQueue);
        EXPECT_EQ(result, fails ? 0 : 42);
        EXPECT_EQ(failure, fails ? "refused" : "");
    }
    EXPECT_DEATH(
        {
            MainLoop::shared().post([queue] { queue->sync([] { return 1; }); });
            MainLoop::shared().runFor(1000ms);
        },
        "blocking wait for queue tcp-server on the main loop");
}

TEST(SerialQueue, DedicatedQueueReleasedFromItsOwnThread)
{
    auto queue = SerialQueue::makeDedicated("capture");
    std::promise<void> done;
    auto* raw = queue.get();
    raw->async([q = std::move(queue), &done]() mutable {
        q.reset(); // last owner lets go inside an item
        done.set_value();
    });
    EXPECT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
}

TEST(TaskGroup, CancelAllStopsSleepsAndJoinWaitsForEveryTask)
{
    auto& loop = MainLoop::shared();
    TaskGroup tasks(loop.executor());
    int interrupted = 0;
    for (int i = 0; i < 3; ++i) tasks.spawn(plainSleep(30s, &interrupted));
    tasks.spawn(throwing(), "thrower");
    loop.runFor(10ms);
    EXPECT_EQ(tasks.running(), 3u);

    bool joined = false;
    TaskGroup outer(loop.executor());
    outer.spawn(joinThenMark(&tasks, &joined));
    loop.runFor(10ms);
    EXPECT_FALSE(joined);
    tasks.cancelAll();
    EXPECT_TRUE(loop.runUntil([&] { return joined; }, 5000ms));
    EXPECT_EQ(interrupted, 3);
    EXPECT_EQ(tasks.running(), 0u);
}

