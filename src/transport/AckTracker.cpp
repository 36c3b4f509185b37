#include "transport/AckTracker.h"

#include <algorithm>
#include <vector>

namespace qb {

void AckTracker::clientConnected(double now)
{
    // The rate's base time restarts with the count, so the rate stays "acks
    // per second since this connection" rather than decaying with age.
    inflight_ = 0;
    sendTimes_.clear();
    framesSinceAck_ = 0;
    acks_ = 0;
    rateBase_ = now;
}

void AckTracker::frameSent(std::uint32_t sequenceNumber, double now)
{
    sendTimes_[sequenceNumber] = now;
    ++inflight_;
    ++framesSinceAck_;
    if (sendTimes_.size() > MAX_TRACKED_FRAMES) {
        const auto removed = std::erase_if(sendTimes_, [sequenceNumber](const auto& entry) {
            return static_cast<std::uint32_t>(sequenceNumber - entry.first) >= MAX_TRACKED_FRAMES;
        });
        inflight_ = std::max(0, inflight_ - static_cast<int>(removed));
    }
}

std::optional<LatencyStats> AckTracker::acknowledged(std::uint32_t sequenceNumber, double now)
{
    // Too old, sent before this client connected, or a replay from the
    // keyframe cache: nothing to measure.
    auto it = sendTimes_.find(sequenceNumber);
    if (it == sendTimes_.end()) return std::nullopt;
    const double sent = it->second;
    sendTimes_.erase(it);
    // Older frames still tracked were passed over by the client.
    const auto settled = std::erase_if(sendTimes_, [sequenceNumber](const auto& entry) {
        return static_cast<std::uint32_t>(sequenceNumber - entry.first) < MAX_TRACKED_FRAMES;
    });
    inflight_ = std::max(0, inflight_ - 1 - static_cast<int>(settled));
    framesSinceAck_ = 0;

    const double rtt = (now - sent) * 1000;
    rttSamples_.push_back(rtt);
    while (rttSamples_.size() > RTT_WINDOW_SIZE) rttSamples_.pop_front();
    ++acks_;

    std::vector<double> sorted(rttSamples_.begin(), rttSamples_.end());
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    double sum = 0;
    for (double v : sorted) sum += v;
    LatencyStats stats;
    stats.rttMs = rtt;
    stats.rttMinMs = sorted.front();
    stats.rttMaxMs = sorted.back();
    stats.rttAvgMs = sum / static_cast<double>(n);
    stats.rttP95Ms = sorted[std::min(static_cast<std::size_t>(static_cast<double>(n) * 0.95), n - 1)];
    stats.acksReceived = acks_;
    const double age = now - rateBase_;
    stats.ackRate = age > 0 ? static_cast<double>(acks_) / age : 0;
    stats_ = stats;
    return stats;
}

} // namespace qb
