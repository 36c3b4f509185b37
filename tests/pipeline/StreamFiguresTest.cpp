#include "pipeline/StreamFigures.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(StreamFigures, RatesAndMeansOfOneIntervalThenAFreshOne)
{
    StreamFigures figures;
    for (int i = 0; i < 60; ++i) figures.frameEncoded(i % 2 ? 3.0 : 1.0, 4.0, 1 << 20);
    figures.frameEncoded(2.0, 4.0, 512 * 1024 + 1023); // the last frame sets size and rate
    const StreamStats stats = figures.publish(2.0, 500, 7);
    EXPECT_DOUBLE_EQ(stats.fps, 30.5);
    EXPECT_DOUBLE_EQ(stats.bandwidthMBps, 30.5 * (512 * 1024 + 1023) / 1048576.0); // MiB per second
    EXPECT_EQ(stats.frameSizeKB, 512);
    EXPECT_DOUBLE_EQ(stats.convertMs, 2.0);
    EXPECT_DOUBLE_EQ(stats.compressMs, 4.0);
    EXPECT_EQ(stats.totalFrames, 500);
    EXPECT_EQ(stats.skippedFrames, 7);

    const StreamStats quiet = figures.publish(5.0, 500, 7);
    EXPECT_EQ(quiet.fps, 0);
    EXPECT_EQ(quiet.convertMs, 0);
}

TEST(StreamFigures, JitterIsTheMeanDeviationOfTheLast150Intervals)
{
    StreamFigures figures;
    double t = 10.0;
    figures.frameArrived(t); // no interval yet
    EXPECT_EQ(figures.jitterSampleCount(), 0u);
    // 50 intervals 10 ms late, then 150 on time: the late ones leave the window.
    for (int i = 0; i < 50; ++i) figures.frameArrived(t += (1000.0 / 60 + 10) / 1000);
    EXPECT_NEAR(figures.publish(1, 0, 0).jitterMs, 10.0, 1e-6);
    for (int i = 0; i < 150; ++i) figures.frameArrived(t += 1.0 / 60);
    EXPECT_EQ(figures.jitterSampleCount(), 150u);
    EXPECT_NEAR(figures.publish(1, 0, 0).jitterMs, 0.0, 1e-6);

    // After a restart the gap to the first frame is no sample.
    figures.restart();
    figures.frameArrived(t + 30);
    EXPECT_NEAR(figures.publish(1, 0, 0).jitterMs, 0.0, 1e-6);
}

} // namespace
} // namespace qb
