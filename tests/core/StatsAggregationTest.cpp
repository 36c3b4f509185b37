#include "core/StatsAggregation.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(StatsAggregationTest, FirstSessionsRatesOthersSummedRoundTripAndClientsKept)
{
    const StreamStats published{.totalFrames = 999, .rttMs = 12, .clientCount = 3};
    // (The encoder's copy knows no round trip.)
    const StreamStats first{.fps = 30, .bandwidthMBps = 1.5, .frameSizeKB = 40, .totalFrames = 100,
        .skippedFrames = 2, .rttMs = 99, .clientCount = 1};
    StreamStats second = first;
    second.fps = 10;
    second.totalFrames = 50;
    const std::vector<StreamStats> sessions{first, second};
    const StreamStats folded = foldSessionStats(published, sessions);
    EXPECT_EQ(std::tuple(folded.fps, folded.frameSizeKB, folded.bandwidthMBps, folded.totalFrames, folded.skippedFrames),
        std::tuple(30.0, std::int64_t{40}, 3.0, std::int64_t{150}, std::int64_t{4}));
    EXPECT_EQ(std::pair(folded.rttMs, folded.clientCount), std::pair(12.0, 3));
    EXPECT_EQ(foldSessionStats(published, {}), published);
    EXPECT_EQ(totalClients(sessions), 2 * first.clientCount);
}

} // namespace
} // namespace qb
