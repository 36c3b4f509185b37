#include "diagnostics/RingLogger.h"

#include <ctime>

#include "diagnostics/TimeWindow.h"

#include <fmt/format.h>

namespace qb {

RingLogger& RingLogger::shared()
{
    static RingLogger instance; // thread-safe initialisation
    return instance;
}

RingLogger::RingLogger() { buffer_.reserve(capacity); }

std::optional<RingLogger::Level> RingLogger::levelFromString(std::string_view text)
{
    if (text == "debug") return Level::debug;
    if (text == "info") return Level::info;
    if (text == "warn") return Level::warn;
    if (text == "error") return Level::error;
    return std::nullopt;
}

void RingLogger::log(Level level, std::string_view subsystem, std::string_view message)
{
    Entry entry{wallNow(), level, std::string(subsystem), std::string(message)};
    std::lock_guard guard(lock_);
    if (buffer_.size() >= capacity) {
        buffer_.erase(buffer_.begin());
    }
    buffer_.push_back(std::move(entry));
}

std::vector<RingLogger::Entry> RingLogger::entries(std::optional<Level> minLevel,
    std::optional<std::string> subsystem, std::optional<WallTime> since) const
{
    std::vector<Entry> copy;
    {
        std::lock_guard guard(lock_);
        copy = buffer_;
    }
    std::vector<Entry> result;
    result.reserve(copy.size());
    for (auto& entry : copy) {
        if (minLevel && entry.level < *minLevel) continue;
        if (subsystem && entry.subsystem != *subsystem) continue;
        if (since && entry.timestamp < *since) continue;
        result.push_back(std::move(entry));
    }
    return result;
}

std::string RingLogger::formatted(std::optional<Level> minLevel, std::optional<std::string> subsystem,
    std::optional<double> last) const
{
    // NaN, infinite or absurd windows must not overflow the clock arithmetic.
    const auto matching = entries(minLevel, std::move(subsystem), windowStart(wallNow(), last));
    if (matching.empty()) {
        return "(no log entries)";
    }
    std::string text;
    for (const auto& entry : matching) {
        if (!text.empty()) text += '\n';
        text += fmt::format("{} [{:<5}] {}: {}", formatLocalTime(entry.timestamp, true),
            logLevelName(entry.level), entry.subsystem, entry.message);
    }
    return text;
}

void RingLogger::clear()
{
    std::lock_guard guard(lock_);
    buffer_.clear();
}

std::string formatLocalTime(WallTime t, bool withMillis)
{
    using namespace std::chrono;
    const auto since = t.time_since_epoch();
    auto secs = duration_cast<seconds>(since);
    auto millis = duration_cast<milliseconds>(since - secs).count();
    if (millis < 0) { // times before 1970 floor towards the earlier second
        secs -= seconds(1);
        millis += 1000;
    }
    const std::time_t tt = static_cast<std::time_t>(secs.count());
    std::tm local{};
    localtime_r(&tt, &local);
    if (withMillis) {
        return fmt::format("{:02d}:{:02d}:{:02d}.{:03d}", local.tm_hour, local.tm_min, local.tm_sec,
            static_cast<int>(millis));
    }
    return fmt::format("{:02d}:{:02d}:{:02d}", local.tm_hour, local.tm_min, local.tm_sec);
}

} // namespace qb
