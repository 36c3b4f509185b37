#include "runtime/RuntimeLog.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace qb {

namespace {

void standardError(LogLevel level, std::string_view subsystem, std::string_view message)
{
    static constexpr const char* names[] = {"debug", "info", "warn", "error"};
    const std::string line = "[" + std::string(subsystem) + ":" + names[static_cast<int>(level)] + "] "
        + std::string(message) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}

std::atomic<RuntimeLogSink> currentSink{&standardError};

} // namespace

void setRuntimeLogSink(RuntimeLogSink sink) { currentSink.store(sink ? sink : &standardError); }

void runtimeLog(LogLevel level, std::string_view subsystem, std::string_view message)
{
    currentSink.load()(level, subsystem, message);
}

} // namespace qb
