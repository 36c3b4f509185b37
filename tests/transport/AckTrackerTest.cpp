#include "transport/AckTracker.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(AckTracker, RoundTripStatisticsOverTheNewest150Samples)
{
    AckTracker tracker(0.0);
    tracker.clientConnected(100.0);
    // Frame i is acknowledged i + 1 ms after it was sent: 151 samples of
    // 1..151 ms, of which the window keeps the newest 150 (2..151).
    double t = 100.0;
    std::optional<LatencyStats> stats;
    for (std::uint32_t i = 0; i < 151; ++i) {
        tracker.frameSent(i, t);
        t += (i + 1) / 1000.0;
        stats = tracker.acknowledged(i, t);
        ASSERT_TRUE(stats);
    }
    EXPECT_NEAR(stats->rttMs, 151, 1e-6);
    EXPECT_NEAR(stats->rttMinMs, 2, 1e-6);
    EXPECT_NEAR(stats->rttMaxMs, 151, 1e-6);
    EXPECT_NEAR(stats->rttAvgMs, (2 + 151) / 2.0, 1e-6);
    EXPECT_NEAR(stats->rttP95Ms, 2 + 142, 1e-6); // sorted index 142 of 150
    EXPECT_EQ(stats->acksReceived, 151);
    EXPECT_NEAR(stats->ackRate, 151 / (t - 100.0), 1e-6); // per second since the connection
    EXPECT_EQ(tracker.latencyStats(), stats);
    EXPECT_EQ(tracker.inflightFrames(), 0);

    // Unknown and repeated acknowledgements change nothing.
    EXPECT_FALSE(tracker.acknowledged(150, t + 1));
    EXPECT_FALSE(tracker.acknowledged(5000, t + 1));
    EXPECT_EQ(tracker.latencyStats()->acksReceived, 151);
}

TEST(AckTracker, UnacknowledgedFramesExpireAfter300NewerOnesEvenAcrossTheWrap)
{
    for (std::uint32_t first : {0u, 0xFFFFFF80u}) {
        AckTracker tracker(0.0);
        std::uint32_t seq = first;
        for (int i = 0; i < 400; ++i) tracker.frameSent(seq++, 1.0);
        EXPECT_EQ(tracker.trackedFrames(), 300u);
        EXPECT_EQ(tracker.inflightFrames(), 300);
        EXPECT_FALSE(tracker.acknowledged(first + 99, 2.0)); // expired
        EXPECT_TRUE(tracker.acknowledged(first + 100, 2.0));
        EXPECT_EQ(tracker.inflightFrames(), 299);
    }
}

TEST(AckTracker, AcknowledgementIsAssumedForSixtyFramesAfterEachConnection)
{
    AckTracker tracker(0.0);
    for (std::uint32_t seq = 0; seq < 59; ++seq) tracker.frameSent(seq, 1.0);
    EXPECT_TRUE(tracker.ackProtocolActive());
    tracker.frameSent(59, 1.0);
    EXPECT_FALSE(tracker.ackProtocolActive());
    tracker.acknowledged(59, 1.5);
    EXPECT_TRUE(tracker.ackProtocolActive());

    // A new client starts the probe and the counts again; the statistics stay.
    tracker.clientConnected(2.0);
    EXPECT_EQ(tracker.inflightFrames(), 0);
    EXPECT_EQ(tracker.trackedFrames(), 0u);
    EXPECT_TRUE(tracker.latencyStats());
    for (std::uint32_t seq = 60; seq < 120; ++seq) tracker.frameSent(seq, 3.0);
    EXPECT_FALSE(tracker.ackProtocolActive());
    EXPECT_EQ(tracker.acknowledged(60, 3.5)->acksReceived, 1);
}

// A client that skips acknowledgements, then stops sending them, is not
// waited for: the frames it passed over leave the window, and after 60
// silent frames it is no longer counted as acknowledging.
TEST(AckTracker, PassedOverFramesAreSettledAndASilentClientStopsCounting)
{
    AckTracker tracker(0.0);
    for (std::uint32_t seq = 0; seq < 10; ++seq) tracker.frameSent(seq, 1.0);
    ASSERT_TRUE(tracker.acknowledged(4, 1.1));
    EXPECT_EQ(tracker.inflightFrames(), 5);
    EXPECT_FALSE(tracker.acknowledged(2, 1.2));
    for (std::uint32_t seq = 10; seq < 69; ++seq) tracker.frameSent(seq, 2.0);
    EXPECT_TRUE(tracker.ackProtocolActive());
    tracker.frameSent(69, 2.0);
    EXPECT_FALSE(tracker.ackProtocolActive());
    ASSERT_TRUE(tracker.acknowledged(69, 2.1));
    EXPECT_TRUE(tracker.ackProtocolActive());
    EXPECT_EQ(tracker.inflightFrames(), 0);
}

} // namespace
} // namespace qb
