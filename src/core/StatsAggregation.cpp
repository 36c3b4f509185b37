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

} // namespace qb
