#include "diagnostics/Log.h"

#include <fmt/format.h>

#include "diagnostics/RingLogger.h"
#include "runtime/RuntimeLog.h"

namespace qb {

void logAt(LogLevel level, std::string_view subsystem, std::string_view message)
{
    platformLog(level, subsystem, fmt::format("[{}:{}] {}", subsystem, logLevelName(level), message));
    RingLogger::shared().log(level, subsystem, message);
}

void routeRuntimeLog() { setRuntimeLogSink(&logAt); }

void logDebug(std::string_view subsystem, std::string_view message) { logAt(LogLevel::debug, subsystem, message); }
void logInfo(std::string_view subsystem, std::string_view message) { logAt(LogLevel::info, subsystem, message); }
void logWarn(std::string_view subsystem, std::string_view message) { logAt(LogLevel::warn, subsystem, message); }
void logError(std::string_view subsystem, std::string_view message) { logAt(LogLevel::error, subsystem, message); }

} // namespace qb
