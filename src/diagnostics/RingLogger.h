// RingLogger keeps the last 500 log lines in memory for the command line's
// `logs` command and the health report. SMLog loggers and the engine log
// functions (Log.h) append to the one shared ring; bracketed component lines
// do not (they go to the platform log only).
//
// Any thread may log or read; the lock is held only while copying.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/PlatformLog.h"
#include "runtime/Clock.h"

namespace qb {

class RingLogger {
public:
    using Level = LogLevel; // ordered: debug < info < warn < error

    struct Entry {
        WallTime timestamp;
        Level level;
        std::string subsystem;
        std::string message;
    };

    static constexpr std::size_t capacity = 500;

    static RingLogger& shared();

    RingLogger();

    // Exactly "debug", "info", "warn" or "error"; anything else is nothing.
    static std::optional<Level> levelFromString(std::string_view text);

    void log(Level level, std::string_view subsystem, std::string_view message);

    std::vector<Entry> entries(std::optional<Level> minLevel = std::nullopt,
        std::optional<std::string> subsystem = std::nullopt,
        std::optional<WallTime> since = std::nullopt) const;

    // "HH:mm:ss.SSS [level] Subsystem: message" lines, or "(no log entries)".
    // `last` is a number of seconds back from now.
    std::string formatted(std::optional<Level> minLevel = std::nullopt,
        std::optional<std::string> subsystem = std::nullopt,
        std::optional<double> last = std::nullopt) const;

    void clear();

private:
    mutable std::mutex lock_;
    std::vector<Entry> buffer_;
};

// Local time of `t` as "HH:mm:ss.SSS" (withMillis) or "HH:mm:ss".
std::string formatLocalTime(WallTime t, bool withMillis);

} // namespace qb
