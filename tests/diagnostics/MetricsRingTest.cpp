#include "diagnostics/MetricsRing.h"

#include <chrono>

#include <gtest/gtest.h>

#include "diagnostics/DiagnosticsTestSupport.h"

namespace qb {
namespace {

MetricsSample sampleAt(WallTime t, double fps)
{
    return {t, StreamStats{.fps = fps}};
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
    ASSERT_EQ(ring.allSamples().size(), 300u);
    EXPECT_EQ(ring.allSamples().front().stats.fps, 1);
    EXPECT_EQ(ring.allSamples().back().stats.fps, 300);
}

TEST(MetricsRingTest, FpsTrendSkipsEmptyWindowsAndSurvivesAClockSetBack)
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
    // A tiny interval over a long span still answers at once, one number
    // per sample.
    EXPECT_EQ(ring.fpsTrend(1e-9), "30 40 50 20 60");
    // A non-positive or non-finite interval is one window over everything.
    EXPECT_EQ(ring.fpsTrend(0), "40");
    EXPECT_EQ(ring.fpsTrend(-5), "40");
    EXPECT_EQ(ring.fpsTrend(std::numeric_limits<double>::quiet_NaN()), "40");

    // A wall clock set back ten seconds between samples.
    MetricsRing setBack;
    setBack.record(sampleAt(at(10), 30));
    setBack.record(sampleAt(at(0), 10));
    time.clock.setWall(at(11));
    EXPECT_EQ(setBack.fpsTrend(5), "10 30");
}

} // namespace
} // namespace qb
