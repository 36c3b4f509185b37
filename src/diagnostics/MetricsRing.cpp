#include "diagnostics/MetricsRing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "diagnostics/TimeWindow.h"

namespace qb {

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double clamped = std::isnan(p) ? 0.0 : std::clamp(p, 0.0, 1.0);
    const auto n = values.size();
    const auto index = std::min(static_cast<std::size_t>(static_cast<double>(n) * clamped), n - 1);
    return values[index];
}

MetricsRing& MetricsRing::shared()
{
    static MetricsRing instance; // thread-safe initialisation
    return instance;
}

void MetricsRing::record(const MetricsSample& sample)
{
    std::lock_guard guard(lock_);
    if (buffer_.size() >= capacity) buffer_.pop_front();
    buffer_.push_back(sample);
}

std::vector<MetricsSample> MetricsRing::samples(std::optional<double> last) const
{
    const auto since = windowStart(wallNow(), last);
    std::vector<MetricsSample> copy = allSamples();
    if (since) {
        std::erase_if(copy, [&](const MetricsSample& s) { return s.timestamp < *since; });
    }
    return copy;
}

std::vector<MetricsSample> MetricsRing::allSamples() const
{
    std::lock_guard guard(lock_);
    return {buffer_.begin(), buffer_.end()};
}

std::optional<MetricsSummary> MetricsRing::summary(std::optional<double> last) const
{
    const auto window = samples(last);
    if (window.empty()) return std::nullopt;

    MetricsSummary s;
    s.count = static_cast<std::int64_t>(window.size());
    s.fpsMin = std::numeric_limits<double>::infinity();
    s.fpsMax = -std::numeric_limits<double>::infinity();
    s.rttMax = s.jitterMax = s.bandwidthMax = -std::numeric_limits<double>::infinity();
    std::vector<double> rttAverages;
    rttAverages.reserve(window.size());
    for (const auto& sample : window) {
        s.fpsAvg += sample.stats.fps;
        s.rttAvg += sample.stats.rttMs;
        s.jitterAvg += sample.stats.jitterMs;
        s.bandwidthAvg += sample.stats.bandwidthMBps;
        s.fpsMin = std::min(s.fpsMin, sample.stats.fps);
        s.fpsMax = std::max(s.fpsMax, sample.stats.fps);
        s.rttMax = std::max(s.rttMax, sample.stats.rttP95Ms);
        s.jitterMax = std::max(s.jitterMax, sample.stats.jitterMs);
        s.bandwidthMax = std::max(s.bandwidthMax, sample.stats.bandwidthMBps);
        rttAverages.push_back(sample.stats.rttMs);
    }
    const auto n = static_cast<double>(window.size());
    s.fpsAvg /= n;
    s.rttAvg /= n;
    s.jitterAvg /= n;
    s.bandwidthAvg /= n;
    s.rttP95 = percentile(std::move(rttAverages), 0.95);
    return s;
}

std::string MetricsRing::fpsTrend(double interval, std::optional<double> last) const
{
    const auto window = samples(last);
    if (window.empty()) return "(no data)";

    // Windows are [start + k * interval, start + (k + 1) * interval) from the
    // earliest sample on. Grouping each sample by its window index gives the
    // same text as walking the windows one by one, without stepping through
    // millions of empty windows when the interval is tiny against the span.
    // Starting at the earliest sample (not the first recorded) keeps samples
    // from being dropped if the wall clock was set back between them.
    using Ticks = WallTime::duration;
    const auto [earliest, latest] = std::minmax_element(window.begin(), window.end(),
        [](const MetricsSample& a, const MetricsSample& b) { return a.timestamp < b.timestamp; });
    const WallTime start = earliest->timestamp;
    const Ticks span = latest->timestamp - start;

    Ticks step = span + Ticks(1); // one window holding everything
    if (interval > 0 && std::isfinite(interval)) {
        const double ticks = std::chrono::duration<double>(interval) / Ticks(1);
        if (ticks < static_cast<double>(step.count())) {
            step = Ticks(std::max<Ticks::rep>(1, static_cast<Ticks::rep>(ticks)));
        }
    }

    std::map<Ticks::rep, std::pair<double, int>> windows; // index -> (fps sum, count)
    for (const auto& sample : window) {
        auto& [sum, count] = windows[(sample.timestamp - start) / step];
        sum += sample.stats.fps;
        ++count;
    }

    std::string text;
    for (const auto& [index, totals] : windows) {
        char number[400]; // "%.0f" of the largest double is 309 digits
        std::snprintf(number, sizeof number, "%.0f", totals.first / totals.second);
        if (!text.empty()) text += ' ';
        text += number;
    }
    return text;
}

void MetricsRing::clear()
{
    std::lock_guard guard(lock_);
    buffer_.clear();
}

} // namespace qb
