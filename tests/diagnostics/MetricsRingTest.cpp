#include "diagnostics/MetricsRing.h"

#include <chrono>

#include <gtest/gtest.h>

#include "diagnostics/DiagnosticsTestSupport.h"

namespace qb {
namespace {

MetricsSample sampleAt(WallTime t, double fps, double rttAvg = 0, double rttP95 = 0)
{
    MetricsSample s;
    s.timestamp = t;
    s.fps = fps;
    s.rttAvgMs = rttAvg;
    s.rttP95Ms = rttP95;
    return s;
}

WallTime at(double seconds)
{
    return test::knownInstant()
        + std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds));
}

TEST(MetricsRingTest, KeepsTheLatest300Samples)
{
    MetricsRing ring;
    for (int i = 0; i < 301; ++i) ring.record(sampleAt(test::knownInstant(), i));
    const auto all = ring.allSamples();
    ASSERT_EQ(all.size(), 300u);
    EXPECT_EQ(all.front().fps, 1);
    EXPECT_EQ(all.back().fps, 300);
    ring.clear();
    EXPECT_TRUE(ring.allSamples().empty());
}

TEST(MetricsRingTest, Percentile)
{
    EXPECT_EQ(percentile({}, 0.95), 0);
    std::vector<double> ten{10, 1, 9, 2, 8, 3, 7, 4, 6, 5};
    EXPECT_EQ(percentile(ten, 0.95), 10); // index 9, the maximum
    EXPECT_EQ(percentile(ten, 0.5), 6);   // index 5 of the sorted list
    EXPECT_EQ(percentile(ten, 0), 1);
    EXPECT_EQ(percentile(ten, 1), 10);    // index capped at n - 1
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) hundred.push_back(i);
    EXPECT_EQ(percentile(hundred, 0.95), 96); // index 95
    EXPECT_EQ(percentile(hundred, 7), 100);   // out-of-range p is clamped
    EXPECT_EQ(percentile(hundred, -1), 1);
}

TEST(MetricsRingTest, SummaryOverAWindow)
{
    test::FixedTime time;
    MetricsRing ring;
    EXPECT_FALSE(ring.summary()); // absent, not a summary of zeros

    auto one = sampleAt(time.clock.now(), 42, 12, 20);
    one.jitterMs = 1.5;
    one.bandwidthMbps = 3;
    ring.record(one);
    auto single = ring.summary();
    ASSERT_TRUE(single);
    EXPECT_EQ(single->count, 1);
    EXPECT_EQ(single->fpsMin, 42);
    EXPECT_EQ(single->fpsMax, 42);
    EXPECT_EQ(single->rttP95, 12); // the percentile of the averages
    EXPECT_EQ(single->rttMax, 20); // the largest per-sample p95

    time.clock.advance(30);
    auto two = sampleAt(time.clock.now(), 58, 30, 25);
    two.jitterMs = 0.5;
    two.bandwidthMbps = 5;
    ring.record(two);
    const auto both = ring.summary();
    ASSERT_TRUE(both);
    EXPECT_EQ(both->count, 2);
    EXPECT_EQ(both->fpsAvg, 50);
    EXPECT_EQ(both->fpsMin, 42);
    EXPECT_EQ(both->fpsMax, 58);
    EXPECT_EQ(both->rttAvg, 21);
    EXPECT_EQ(both->rttP95, 30);
    EXPECT_EQ(both->rttMax, 25);
    EXPECT_EQ(both->jitterAvg, 1);
    EXPECT_EQ(both->jitterMax, 1.5);
    EXPECT_EQ(both->bandwidthMax, 5);

    time.clock.advance(1); // the first sample is now 31 s old
    ASSERT_TRUE(ring.summary(30));
    EXPECT_EQ(ring.summary(30)->count, 1);
    EXPECT_EQ(ring.summary(30)->fpsMin, 58);
    EXPECT_FALSE(ring.summary(0.5));
}

TEST(MetricsRingTest, FpsTrendSkipsEmptyWindows)
{
    test::FixedTime time;
    MetricsRing ring;
    EXPECT_EQ(ring.fpsTrend(5), "(no data)");

    ring.record(sampleAt(at(0), 30));
    ring.record(sampleAt(at(1), 40));
    ring.record(sampleAt(at(4.999), 50)); // still the first window
    ring.record(sampleAt(at(5), 20));     // the second window starts here
    ring.record(sampleAt(at(27), 60));    // after a gap of three empty windows
    time.clock.setWall(at(30));

    EXPECT_EQ(ring.fpsTrend(5), "40 20 60");
    EXPECT_EQ(ring.fpsTrend(5, 26), "35 60"); // windows start at the first sample in range (t = 4.999)
    EXPECT_EQ(ring.fpsTrend(5, 25), "20 60");
    EXPECT_EQ(ring.fpsTrend(5, 2), "(no data)");
    EXPECT_EQ(ring.fpsTrend(100), "40");
    // A tiny interval over a long span still answers at once, one number
    // per sample.
    EXPECT_EQ(ring.fpsTrend(1e-9), "30 40 50 20 60");
    // A non-positive or non-finite interval is one window over everything.
    EXPECT_EQ(ring.fpsTrend(0), "40");
    EXPECT_EQ(ring.fpsTrend(-5), "40");
    EXPECT_EQ(ring.fpsTrend(std::numeric_limits<double>::quiet_NaN()), "40");
}

TEST(MetricsRingTest, FpsTrendSurvivesAClockSetBack)
{
    test::FixedTime time;
    MetricsRing ring;
    ring.record(sampleAt(at(10), 30));
    ring.record(sampleAt(at(0), 10)); // the wall clock went back ten seconds
    time.clock.setWall(at(11));
    EXPECT_EQ(ring.fpsTrend(5), "10 30");
}

} // namespace
} // namespace qb
