#include "transport/FramePacer.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

constexpr double t0 = 100.0;

// Acknowledgements `interval` seconds apart until the pacer holds `samples`
// accepted period samples; returns the time of the last acknowledgement.
double feedAcks(FramePacer& pacer, double interval, int samples)
{
    for (int i = 0; i <= samples; ++i) pacer.recordACK(static_cast<std::uint32_t>(i), t0 + interval * i);
    return t0 + interval * samples;
}

TEST(FramePacer, VsyncPeriodTakesOnlyPlausibleIntervals)
{
    // Without an estimate only the 4-34 ms band counts; an interval outside it
    // is ignored but still moves the reference time forward.
    FramePacer fresh(0.1, 2.0, 10);
    fresh.recordACK(1, t0);
    fresh.recordACK(2, t0 + 0.050);
    fresh.recordACK(3, t0 + 0.053);
    EXPECT_EQ(fresh.ackSampleCount(), 0);
    EXPECT_EQ(fresh.nextVsyncPrediction(), 0);
    fresh.recordACK(4, t0 + 0.070);
    EXPECT_EQ(fresh.ackSampleCount(), 1);
    EXPECT_NEAR(fresh.smoothedVsyncPeriod(), 0.017, 1e-12); // the first sample is taken whole
    EXPECT_NEAR(fresh.nextVsyncPrediction(), t0 + 0.087, 1e-12);

    // With an estimate, the band is 0.4 to 2.5 periods around it.
    FramePacer pacer(0.1, 2.0, 10);
    double t = feedAcks(pacer, 0.0167, 1);
    pacer.recordACK(3, t += 0.042); // 2.51 periods: rejected, but it moves the reference
    EXPECT_EQ(pacer.ackSampleCount(), 1);
    EXPECT_NEAR(pacer.nextVsyncPrediction(), t + 0.0167, 1e-12);
    pacer.recordACK(4, t += 0.040); // 2.4 periods: averaged in
    const double expected = 0.040 * 0.1 + 0.0167 * 0.9;
    EXPECT_NEAR(pacer.smoothedVsyncPeriod(), expected, 1e-12);
    pacer.recordACK(5, t += expected * 0.39);
    EXPECT_EQ(pacer.ackSampleCount(), 2);
}

TEST(FramePacer, TransportTimeIsHalfTheRoundTripOfFramesItStillRemembers)
{
    FramePacer pacer(0.1, 2.0, 10);
    EXPECT_FALSE(pacer.hasTransportEstimate());
    pacer.recordFrameSent(7, t0);
    pacer.recordACK(7, t0 + 0.010);
    EXPECT_NEAR(pacer.smoothedTransportTime(), 0.005, 1e-12);
    pacer.recordFrameSent(8, t0 + 0.1);
    pacer.recordACK(8, t0 + 0.130);
    EXPECT_NEAR(pacer.smoothedTransportTime(), 0.006, 1e-12);
    // A second acknowledgement of a frame, or one never sent, changes nothing.
    pacer.recordACK(8, t0 + 0.5);
    pacer.recordACK(99, t0 + 0.6);
    EXPECT_NEAR(pacer.smoothedTransportTime(), 0.006, 1e-12);
    EXPECT_EQ(pacer.pendingSendTimes(), 0u);

    // The newest 300 send times are kept: frame 0's acknowledgement is too late.
    FramePacer full;
    for (std::uint32_t seq = 0; seq < 301; ++seq) full.recordFrameSent(seq, t0 + seq);
    EXPECT_EQ(full.pendingSendTimes(), 300u);
    full.recordACK(0, t0 + 400);
    EXPECT_FALSE(full.hasTransportEstimate());

    // Across the 32-bit wrap, the frames just sent are the ones kept.
    FramePacer wrapping;
    std::uint32_t seq = 0xFFFFFF00u;
    for (int i = 0; i < 400; ++i) wrapping.recordFrameSent(seq++, t0 + i * 0.016);
    EXPECT_EQ(wrapping.pendingSendTimes(), 300u);
    wrapping.recordACK(seq - 1, t0 + 399 * 0.016 + 0.010);
    EXPECT_NEAR(wrapping.smoothedTransportTime(), 0.005, 1e-9);
}

TEST(FramePacer, AdviceAgainstThePredictedVsync)
{
    FramePacer nine(0.1, 2.0, 10);
    double last = feedAcks(nine, 0.0167, 9);
    EXPECT_EQ(nine.advise(12, 0.5, last + 0.0067), FrameAdvice::sendNow()); // too few samples to plan with

    FramePacer pacer(0.1, 2.0, 10);
    last = feedAcks(pacer, 0.0167, 10);
    const double next = pacer.nextVsyncPrediction();
    const double now = next - 0.010; // next vsync 10 ms away
    ASSERT_GT(now, last);
    EXPECT_EQ(pacer.advise(12, 0, now), FrameAdvice::sendNow()); // no transport figure at all
    EXPECT_EQ(pacer.advise(3, 1, now), FrameAdvice::sendNow());  // 4 ms: in time
    // 12 ms misses the next vsync; the one after is 26.7 ms away: wait 26.7 - 12 - 2.
    const FrameAdvice late = pacer.advise(11, 1, now);
    ASSERT_EQ(late.kind, FrameAdvice::Kind::delay);
    EXPECT_NEAR(late.delayMs, 12.7, 1e-6);
    EXPECT_EQ(late.description(), "delay(12.70ms)");
    EXPECT_EQ(pacer.advise(25, 1, now), FrameAdvice::skip()); // too slow even for the vsync after next

    // A prediction long past is carried forward by whole periods: 1000.3
    // periods later the next vsync is 0.7 periods away.
    const double later = next + 0.0167 * 1000.3;
    EXPECT_EQ(pacer.advise(1, 1, later), FrameAdvice::sendNow());
    const FrameAdvice advice = pacer.advise(0.0167 * 700, 1, later); // misses by 1 ms
    ASSERT_EQ(advice.kind, FrameAdvice::Kind::delay);
    EXPECT_NEAR(advice.delayMs, 16.7 - 1 - 2, 1e-5);
}

} // namespace
} // namespace qb
