#include "core/StatsAggregation.h"

namespace qb {

StreamStats foldSessionStats(StreamStats published, std::span<const StreamStats> sessions)
{
    if (sessions.empty()) return published;
    published.takeEncoderFigures(sessions.front());
    published.bandwidthMBps = 0;
    published.totalFrames = 0;
    published.skippedFrames = 0;
    for (const auto& session : sessions) {
        published.bandwidthMBps += session.bandwidthMBps;
        published.totalFrames += session.totalFrames;
        published.skippedFrames += session.skippedFrames;
    }
    return published;
}

int totalClients(std::span<const StreamStats> sessions)
{
    int count = 0;
    for (const auto& session : sessions) count += session.clientCount;
    return count;
}

MetricsSample metricsSample(const StreamStats& published, WallTime at)
{
    MetricsSample sample;
    sample.timestamp = at;
    sample.fps = published.fps;
    sample.rttAvgMs = published.rttMs;
    sample.rttP95Ms = published.rttP95Ms;
    sample.jitterMs = published.jitterMs;
    sample.bandwidthMbps = published.bandwidthMBps;
    sample.frameSizeKB = static_cast<double>(published.frameSizeKB);
    sample.skippedFrames = published.skippedFrames;
    sample.greyMs = published.convertMs;
    sample.compressMs = published.compressMs;
    sample.clientCount = published.clientCount;
    return sample;
}

} // namespace qb
