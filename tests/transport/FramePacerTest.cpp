#include "transport/FramePacer.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

constexpr double t0 = 100.0;

// Acknowledgements `interval` seconds apart until the pacer holds `samples`
// accepted period samples; returns the time of the last acknowledgement.
double feedAcks(FramePacer& pacer, double interval, int samples, std::uint32_t firstSeq = 0)
{
    double t = t0;
    pacer.recordACK(firstSeq, t);
    for (int i = 1; i <= samples; ++i) {
        t = t0 + interval * i;
        pacer.recordACK(firstSeq + static_cast<std::uint32_t>(i), t);
    }
    return t;
}

TEST(FramePacer, PeriodEstimateAcceptsOnlyPlausibleIntervals)
{
    FramePacer pacer(0.1, 2.0, 10);
    pacer.recordACK(1, t0);
    EXPECT_EQ(pacer.ackSampleCount(), 0);
    EXPECT_EQ(pacer.smoothedVsyncPeriod(), 0);
    EXPECT_EQ(pacer.nextVsyncPrediction(), 0);

    // The first interval in the 4-34 ms band becomes the period exactly.
    pacer.recordACK(2, t0 + 0.020);
    EXPECT_EQ(pacer.ackSampleCount(), 1);
    EXPECT_NEAR(pacer.smoothedVsyncPeriod(), 0.020, 1e-12);
    EXPECT_NEAR(pacer.nextVsyncPrediction(), t0 + 0.040, 1e-12);

    // Without an estimate, intervals outside the band are ignored but still
    // move the reference time forward.
    FramePacer fresh(0.1, 2.0, 10);
    fresh.recordACK(1, t0);
    fresh.recordACK(2, t0 + 0.050);
    fresh.recordACK(3, t0 + 0.053);
    EXPECT_EQ(fresh.ackSampleCount(), 0);
    fresh.recordACK(4, t0 + 0.070);
    EXPECT_EQ(fresh.ackSampleCount(), 1);
    EXPECT_NEAR(fresh.smoothedVsyncPeriod(), 0.017, 1e-12);
}

TEST(FramePacer, RatioBandAroundTheCurrentPeriod)
{
    FramePacer pacer(0.1, 2.0, 10);
    double t = t0;
    pacer.recordACK(1, t);
    pacer.recordACK(2, t += 0.0167);
    ASSERT_NEAR(pacer.smoothedVsyncPeriod(), 0.0167, 1e-12);

    // 42 ms is more than 2.5 periods: rejected, but it moves the reference.
    pacer.recordACK(3, t += 0.042);
    EXPECT_EQ(pacer.ackSampleCount(), 1);
    EXPECT_NEAR(pacer.smoothedVsyncPeriod(), 0.0167, 1e-12);
    EXPECT_NEAR(pacer.nextVsyncPrediction(), t + 0.0167, 1e-12);

    // 40 ms is a ratio of 2.4: accepted and averaged in.
    pacer.recordACK(4, t += 0.040);
    EXPECT_EQ(pacer.ackSampleCount(), 2);
    const double expected = 0.040 * 0.1 + 0.0167 * 0.9;
    EXPECT_NEAR(pacer.smoothedVsyncPeriod(), expected, 1e-12);

    // Below 0.4 periods: rejected too.
    pacer.recordACK(5, t += expected * 0.39);
    EXPECT_EQ(pacer.ackSampleCount(), 2);
    EXPECT_NEAR(pacer.smoothedVsyncPeriod(), expected, 1e-12);
}

TEST(FramePacer, TransportEstimateIsSmoothedHalfRoundTrip)
{
    FramePacer pacer(0.1, 2.0, 10);
    EXPECT_FALSE(pacer.hasTransportEstimate());
    pacer.recordFrameSent(7, t0);
    pacer.recordACK(7, t0 + 0.010);
    EXPECT_TRUE(pacer.hasTransportEstimate());
    EXPECT_NEAR(pacer.smoothedTransportTime(), 0.005, 1e-12);

    pacer.recordFrameSent(8, t0 + 0.1);
    pacer.recordACK(8, t0 + 0.130);
    EXPECT_NEAR(pacer.smoothedTransportTime(), 0.015 * 0.1 + 0.005 * 0.9, 1e-12);

    // A second acknowledgement of the same frame, or one never sent, leaves
    // the transport estimate alone.
    pacer.recordACK(8, t0 + 0.5);
    pacer.recordACK(99, t0 + 0.6);
    EXPECT_NEAR(pacer.smoothedTransportTime(), 0.006, 1e-12);
    EXPECT_EQ(pacer.pendingSendTimes(), 0u);
}

TEST(FramePacer, SendTimesKeepTheNewest300EvenAcrossWrap)
{
    FramePacer pacer;
    for (std::uint32_t seq = 0; seq < 301; ++seq) pacer.recordFrameSent(seq, t0 + seq);
    EXPECT_EQ(pacer.pendingSendTimes(), 300u);
    // Frame 0 expired: its acknowledgement gives no transport estimate.
    pacer.recordACK(0, t0 + 400);
    EXPECT_FALSE(pacer.hasTransportEstimate());
    pacer.recordACK(1, t0 + 1.010);
    EXPECT_TRUE(pacer.hasTransportEstimate());

    // Sequence numbers wrap modulo 2^32: the frames just sent stay.
    FramePacer wrapping;
    std::uint32_t seq = 0xFFFFFF00u;
    for (int i = 0; i < 400; ++i) wrapping.recordFrameSent(seq++, t0 + i * 0.016);
    EXPECT_EQ(wrapping.pendingSendTimes(), 300u);
    wrapping.recordACK(seq - 1, t0 + 399 * 0.016 + 0.010);
    EXPECT_TRUE(wrapping.hasTransportEstimate());
    EXPECT_NEAR(wrapping.smoothedTransportTime(), 0.005, 1e-9);
}

TEST(FramePacer, AdviceNeedsTenSamples)
{
    FramePacer nine(0.1, 2.0, 10);
    double last = feedAcks(nine, 0.0167, 9);
    ASSERT_EQ(nine.ackSampleCount(), 9);
    // A timing that would be delayed with enough samples.
    EXPECT_EQ(nine.advise(12, 0, last + 0.0067), FrameAdvice::sendNow());
    EXPECT_EQ(nine.advise(12, 0.5, last + 0.0067), FrameAdvice::sendNow());

    FramePacer ten(0.1, 2.0, 10);
    last = feedAcks(ten, 0.0167, 10);
    ASSERT_EQ(ten.ackSampleCount(), 10);
    EXPECT_EQ(ten.advise(11.5, 0.5, last + 0.0067).kind, FrameAdvice::Kind::delay);

    // No transport figure and no estimate of our own: nothing to plan with.
    EXPECT_EQ(ten.advise(12, 0, last + 0.0067), FrameAdvice::sendNow());
}

TEST(FramePacer, AdviceAgainstThePredictedVsync)
{
    FramePacer pacer(0.1, 2.0, 10);
    double last = feedAcks(pacer, 0.0167, 10);
    ASSERT_NEAR(pacer.smoothedVsyncPeriod(), 0.0167, 1e-12);
    const double next = pacer.nextVsyncPrediction();
    const double now = next - 0.010; // next vsync 10 ms away
    ASSERT_GT(now, last);

    // Total 4 ms: slack 6 ms, in time without being early.
    EXPECT_EQ(pacer.advise(3, 1, now), FrameAdvice::sendNow());

    // Total 12 ms: misses the next vsync; the one after is 26.7 ms away,
    // so wait 26.7 - 12 - 2 = 12.7 ms.
    FrameAdvice late = pacer.advise(11, 1, now);
    ASSERT_EQ(late.kind, FrameAdvice::Kind::delay);
    EXPECT_NEAR(late.delayMs, 12.7, 1e-6);
    EXPECT_EQ(late.description(), "delay(12.70ms)");

    // Far too slow even for the vsync after next: skip.
    EXPECT_EQ(pacer.advise(25, 1, now), FrameAdvice::skip());
    EXPECT_EQ(FrameAdvice::skip().description(), "skip");
    EXPECT_EQ(FrameAdvice::sendNow().description(), "sendNow");
    EXPECT_FALSE(FrameAdvice::delay(1.5) == FrameAdvice::delay(2));

    // A prediction long in the past is carried forward by whole periods:
    // 1000.3 periods later the next vsync is 0.7 periods away.
    double later = next + 0.0167 * 1000.3;
    FrameAdvice advice = pacer.advise(1, 1, later);
    EXPECT_EQ(advice, FrameAdvice::sendNow());
    advice = pacer.advise(0.0167 * 700, 1, later); // misses by 1 ms
    ASSERT_EQ(advice.kind, FrameAdvice::Kind::delay);
    EXPECT_NEAR(advice.delayMs, 16.7 - 1 - 2, 1e-5);
}

} // namespace
} // namespace qb
