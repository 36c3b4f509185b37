// The platform log: where every line of the daemon ends up for the person at
// the terminal or the system journal. On Linux it is standard error with a
// time stamp; when the daemon runs under systemd (JOURNAL_STREAM is set) the
// lines carry a syslog priority prefix instead, which the journal understands.
//
// Components of the pipeline and transport write their bracketed lines
// ("[TCPServer] Sent resolution: 1600x1200") here and only here; the engine
// log functions and SMLog loggers (Log.h, SMLog.h) also write here before
// they append to the ring.
//
// Thread-safe: any thread may write; one line is written with one call.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/LogLevel.h"

namespace qb {


// "debug", "info", "warn", "error".
std::string_view logLevelName(LogLevel level);

// Writes one line under `category` (the component or subsystem name).
// Debug lines are written only when QUILLBRIGHT_LOG_LEVEL=debug.
void platformLog(LogLevel level, std::string_view category, std::string_view line);

// True when lines of `level` reach the platform log.
bool platformLogEnabled(LogLevel level);

// Collects every platform-log line written while it lives (tests, and the
// demo's own checks). Lines are also still written to the real sink.
class PlatformLogCapture {
public:
    PlatformLogCapture();
    ~PlatformLogCapture();
    PlatformLogCapture(const PlatformLogCapture&) = delete;
    PlatformLogCapture& operator=(const PlatformLogCapture&) = delete;

    std::vector<std::string> lines() const;
    // Lines containing `needle`.
    std::vector<std::string> matching(std::string_view needle) const;
    bool contains(std::string_view needle) const { return !matching(needle).empty(); }
    void clear();

private:
    friend void platformLog(LogLevel, std::string_view, std::string_view);
    void append(std::string line);
    struct State;
    State* state_;
};

// Silences the real sink (standard error) while it lives; for tests that
// produce thousands of lines on purpose.
class PlatformLogMute {
public:
    PlatformLogMute();
    ~PlatformLogMute();
    PlatformLogMute(const PlatformLogMute&) = delete;
    PlatformLogMute& operator=(const PlatformLogMute&) = delete;
};

} // namespace qb
