// Logging for everything a user or support must see. Two equivalent paths,
// both ending in the platform log and the shared RingLogger:
//
//   logInfo("ADB", "Using adb at /usr/bin/adb");   // platform line "[ADB:info] ..."
//   SMLog::adb().warn("...");
//
// Component lines that only matter to a developer ("[TCPServer] ...") go
// through platformLog() directly and stay out of the ring.
#pragma once

#include <string_view>

#include "diagnostics/PlatformLog.h"

namespace qb {

void logDebug(std::string_view subsystem, std::string_view message);
void logInfo(std::string_view subsystem, std::string_view message);
void logWarn(std::string_view subsystem, std::string_view message);
void logError(std::string_view subsystem, std::string_view message);
void logAt(LogLevel level, std::string_view subsystem, std::string_view message);

// Sends the runtime's own lines (process deadlines, failed tasks, settings
// warnings) to this log. The daemon and the engine call it once; idempotent.
void routeRuntimeLog();

// A bracketed component line to the platform log only:
//   componentLog(LogLevel::info, "TCPServer", "[TCPServer] Sent resolution: 1600x1200");
inline void componentLog(LogLevel level, std::string_view component, std::string_view line)
{
    platformLog(level, component, line);
}

} // namespace qb
