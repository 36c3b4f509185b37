#include "pipeline/FramePolicy.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qb {
namespace {

using Plan = FramePolicy::Plan;

const FramePolicy::Link idle{};                          // no client acknowledging yet
const FramePolicy::Link congested{true, 100, 20.0};      // far more in flight than 20 ms allows

// Runs `frames` delta frames of `bytes` each through the policy.
void sendDeltas(FramePolicy& policy, int frames, std::size_t bytes)
{
    for (int i = 0; i < frames; ++i) policy.judge(policy.plan(idle), bytes, true);
}

TEST(FramePolicy, EverySixtiethFrameAndTheFrameAfterALossAreKeyframes)
{
    FramePolicy policy;
    EXPECT_EQ(policy.plan(idle), Plan::keyframe);
    EXPECT_EQ(policy.judge(Plan::keyframe, 5000, true), (FramePolicy::Verdict{true, 0, false}));
    sendDeltas(policy, 59, 5000);
    EXPECT_EQ(policy.plan(idle), Plan::keyframe); // frame 60
    // An empty keyframe is not sent, leaves its number and is retried.
    EXPECT_EQ(policy.judge(Plan::keyframe, 0, true), (FramePolicy::Verdict{false, 0, false}));
    EXPECT_EQ(policy.plan(idle), Plan::keyframe);
    EXPECT_EQ(policy.judge(Plan::keyframe, 5000, true).sequence, 60u);

    // A restarted stream counts from 0 and opens with a keyframe; the
    // numbers go on.
    sendDeltas(policy, 5, 5000);
    policy.restart();
    EXPECT_EQ(policy.frameCount(), 0);
    EXPECT_EQ(policy.plan(idle), Plan::keyframe);
    EXPECT_EQ(policy.judge(Plan::keyframe, 5000, true).sequence, 66u);
}

TEST(FramePolicy, BackPressureDropsCountTheFrameAndForceAKeyframe)
{
    // 120 ms of frames for the round trip, 2 to 6; 15 ms before any
    // measurement; an average below 1 ms (or not a number) counts as 1 ms.
    EXPECT_EQ(FramePolicy::inflightLimit(std::nullopt), 6);
    EXPECT_EQ(FramePolicy::inflightLimit(30.0), 4);
    EXPECT_EQ(FramePolicy::inflightLimit(45.0), 2);
    EXPECT_EQ(FramePolicy::inflightLimit(500.0), 2);
    EXPECT_EQ(FramePolicy::inflightLimit(-3.0), 6);
    EXPECT_EQ(FramePolicy::inflightLimit(std::nan("")), 6);

    FramePolicy policy;
    policy.judge(policy.plan(idle), 5000, true);
    EXPECT_EQ(policy.plan({true, 4, 30.0}), Plan::delta); // at the limit: sent
    policy.judge(Plan::delta, 5000, true);
    EXPECT_EQ(policy.plan({false, 100, 30.0}), Plan::delta); // a client that never acknowledges is not held back
    policy.judge(Plan::delta, 5000, true);
    EXPECT_EQ(policy.plan({true, 5, 30.0}), Plan::drop);
    EXPECT_EQ(policy.frameCount(), 4); // the dropped frame counts
    EXPECT_EQ(policy.droppedFrames(), 1);
    EXPECT_EQ(policy.nextSequence(), 3u);
    EXPECT_EQ(policy.plan(idle), Plan::keyframe);

    // The periodic keyframe is never held back.
    FramePolicy periodic;
    EXPECT_EQ(periodic.plan(congested), Plan::keyframe);
}

// Whether the client acknowledges or not, two frames waiting to be written
// hold the next one back, periodic or not, without counting it.
TEST(FramePolicy, ABusyLinkHoldsFramesWithoutCountingOrForcingAnything)
{
    FramePolicy policy;
    sendDeltas(policy, 60, 5000); // a keyframe and 59 deltas: frame 60 is periodic
    EXPECT_EQ(policy.plan({false, 0, std::nullopt, 2}), Plan::hold);
    EXPECT_EQ(policy.plan({true, 0, 20.0, 5}), Plan::hold);
    EXPECT_EQ(policy.frameCount(), 60);
    EXPECT_EQ(policy.heldFrames(), 2);
    EXPECT_EQ(policy.droppedFrames(), 0);
    EXPECT_EQ(policy.plan({false, 0, std::nullopt, 1}), Plan::keyframe);
    policy.judge(Plan::keyframe, 5000, true);
    EXPECT_EQ(policy.plan({false, 0, std::nullopt, 1}), Plan::delta); // a hold forces no keyframe
}

TEST(FramePolicy, TinyAndOversizedDeltasAreDroppedAgainstTheRollingAverage)
{
    FramePolicy policy;
    EXPECT_DOUBLE_EQ(policy.averageFrameSize(), 10000.0);
    policy.judge(policy.plan(idle), 10000, true);
    policy.plan(idle);
    // Every frame moves the average, keyframe or delta, sent or not.
    EXPECT_EQ(policy.judge(Plan::delta, 2000, true), (FramePolicy::Verdict{true, 1, false}));
    EXPECT_DOUBLE_EQ(policy.averageFrameSize(), 9600.0);

    policy.plan(idle);
    EXPECT_EQ(policy.judge(Plan::delta, 511, true), (FramePolicy::Verdict{false, 0, false}));
    EXPECT_EQ(policy.plan(idle), Plan::delta); // a tiny delta needs no repair

    const auto limit = static_cast<std::size_t>(3 * policy.averageFrameSize());
    EXPECT_TRUE(policy.judge(Plan::delta, limit, true).send);
    policy.plan(idle);
    const auto over = static_cast<std::size_t>(3 * policy.averageFrameSize()) + 1;
    EXPECT_EQ(policy.judge(Plan::delta, over, true), (FramePolicy::Verdict{false, 0, true}));
    EXPECT_EQ(policy.plan(idle), Plan::keyframe);
    EXPECT_EQ(policy.droppedFrames(), 2);
    EXPECT_EQ(policy.nextSequence(), 3u); // dropped frames leave their numbers to the next

    // On a stream that sends only on change a small delta is the change itself.
    FramePolicy onChange;
    onChange.setOnChangeOnly(true);
    onChange.judge(onChange.plan(idle), 5000, true);
    onChange.plan(idle);
    EXPECT_TRUE(onChange.judge(Plan::delta, 40, true).send);
    onChange.plan(idle);
    EXPECT_FALSE(onChange.judge(Plan::delta, 40, false).send);
}

} // namespace
} // namespace qb
