#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>

#include "runtime/MainLoop.h"
#include "runtime/Queues.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"

using namespace qb;
using namespace std::chrono_literals;

namespace {
// Coroutines take their state as parameters: a lambda coroutine's captures
// die with the lambda object, long before the coroutine finishes.
asio::awaitable<void> sleepOn(Sleeper* sleeper, Duration duration, std::optional<bool>* result)
{
    *result = co_await sleeper->sleep(duration);
}

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

TEST(SerialQueue, RunsItemsOneAtATimeInOrder)
{
    for (auto queue : {SerialQueue::make("tcp-server"), SerialQueue::makeDedicated("capture")}) {
        std::vector<int> order, expected(200);
        std::iota(expected.begin(), expected.end(), 0);
        std::atomic<int> concurrent{0};
        std::atomic<bool> overlapped{false};
        for (const int i : expected) {
            queue->async([&, i] {
                overlapped = overlapped || concurrent.fetch_add(1) != 0;
                order.push_back(i);
                concurrent.fetch_sub(1);
            });
        }
        EXPECT_TRUE(queue->sync([&] { return queue->isCurrent(); })) << queue->name();
        EXPECT_FALSE(queue->isCurrent());
        EXPECT_FALSE(overlapped.load());
        EXPECT_EQ(order, expected);
        // sync from the queue itself runs inline instead of deadlocking.
        EXPECT_EQ(queue->sync([&] { return queue->sync([] { return 7; }); }), 7);
    }
}

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

TEST(Timer, OneShotRepeatingAndCancel)
{
    auto& loop = MainLoop::shared();
    int oneShot = 0;
    auto t1 = Timer::oneShot(loop.executor(), 10ms, [&] { ++oneShot; });
    EXPECT_TRUE(loop.runUntil([&] { return oneShot == 1; }, 5000ms));

    std::atomic<int> ticks{0};
    auto repeating = Timer::repeating(globalQueue(QoS::utility), 5ms, 5ms, [&] { ++ticks; });
    EXPECT_TRUE(loop.runUntil([&] { return ticks.load() >= 3; }, 5000ms));
    repeating->cancel();
    const int afterCancel = ticks.load();
    loop.runFor(50ms);
    EXPECT_LE(ticks.load(), afterCancel + 1); // a firing under way may finish

    int never = 0;
    Timer::oneShot(loop.executor(), 20ms, [&] { ++never; })->cancel();
    Timer::oneShot(loop.executor(), 20ms, [&] { ++never; }).reset(); // dropping the last reference cancels too
    loop.runFor(60ms);
    EXPECT_EQ(never, 0);
    EXPECT_EQ(oneShot, 1);
}

TEST(Sleeper, InterruptEndsSleepEarlyAndReportsIt)
{
    auto& loop = MainLoop::shared();
    Sleeper sleeper, other;
    std::optional<bool> completed, shortOne;
    TaskGroup tasks(loop.executor());
    tasks.spawn(sleepOn(&sleeper, 10s, &completed));
    tasks.spawn(sleepOn(&other, 5ms, &shortOne));
    loop.runFor(20ms);
    EXPECT_EQ(shortOne, true);
    EXPECT_FALSE(completed.has_value());
    const auto start = std::chrono::steady_clock::now();
    std::thread([&] { sleeper.interrupt(); }).join();
    EXPECT_TRUE(loop.runUntil([&] { return completed.has_value(); }, 5000ms));
    EXPECT_EQ(completed, false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    // Once interrupted, later sleeps return false at once until reset.
    std::optional<bool> again;
    tasks.spawn(sleepOn(&sleeper, 10s, &again));
    EXPECT_TRUE(loop.runUntil([&] { return again.has_value(); }, 1000ms));
    EXPECT_EQ(again, false);
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

