// MetricsRing: a bounded history of the engine's performance figures, one
// sample each time the engine aggregates its sessions' statistics. The
// health report summarises it and prints a frames-per-second trend.
//
// The ring keeps the last 300 samples. Any thread may record or read; each
// operation copies the buffer under the lock and computes on the copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/StreamStats.h"
#include "runtime/Clock.h"

namespace qb {

// The engine's published figures (EngineState::stats) when it took them.
struct MetricsSample {
    WallTime timestamp;
    StreamStats stats;
};

struct MetricsSummary {
    std::int64_t count = 0;
    double fpsAvg = 0;
    double fpsMin = 0;
    double fpsMax = 0;
    double rttAvg = 0;
    double rttP95 = 0; // the 0.95 percentile of the per-sample averages
    double rttMax = 0; // the largest per-sample 95th percentile
    double jitterAvg = 0;
    double jitterMax = 0;
    double bandwidthAvg = 0;
    double bandwidthMax = 0;
};

// Sorted ascending, the value at index floor(n * p) capped at n - 1; 0 for
// an empty list. `p` outside [0, 1] is clamped.
double percentile(std::vector<double> values, double p);

class MetricsRing {
public:
    static constexpr std::size_t capacity = 300;

    static MetricsRing& shared();

    // Appends, dropping the oldest sample when full. The sample keeps the
    // timestamp it carries (the engine stamps it with qb::wallNow()).
    void record(const MetricsSample& sample);

    // Samples not older than `last` seconds (all when absent), oldest first.
    std::vector<MetricsSample> samples(std::optional<double> last = std::nullopt) const;
    std::vector<MetricsSample> allSamples() const;

    // Nothing when the window holds no sample.
    std::optional<MetricsSummary> summary(std::optional<double> last = std::nullopt) const;

    // Mean frame rates ("%.0f") per `interval` seconds over the last `last`
    // seconds, space-separated, windows without samples left out; "(no data)"
    // when the window is empty. A non-positive interval means one window.
    std::string fpsTrend(double interval, std::optional<double> last = std::nullopt) const;

    void clear();

private:
    mutable std::mutex lock_;
    std::deque<MetricsSample> buffer_;
};

} // namespace qb
