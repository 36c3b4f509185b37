#include "diagnostics/SMLog.h"

#include "diagnostics/RingLogger.h"

namespace qb {

void SubsystemLogger::write(LogLevel level, std::string_view message) const
{
    RingLogger::shared().log(level, name_, message);
    // The platform log has no separate warning type here: warn is written as error.
    const LogLevel platformLevel = level == LogLevel::warn ? LogLevel::error : level;
    if (platformLogEnabled(platformLevel)) {
        platformLog(platformLevel, name_, message);
    }
}

namespace SMLog {
#define QB_SUBSYSTEM_LOGGER(member, text)                                                          \
    const SubsystemLogger& member()                                                                \
    {                                                                                              \
        static const SubsystemLogger logger(text);                                                 \
        return logger;                                                                             \
    }
QB_SUBSYSTEM_LOGGER(engine, "Engine")
QB_SUBSYSTEM_LOGGER(session, "Session")
QB_SUBSYSTEM_LOGGER(adb, "ADB")
QB_SUBSYSTEM_LOGGER(capture, "Capture")
QB_SUBSYSTEM_LOGGER(tcp, "TCP")
QB_SUBSYSTEM_LOGGER(http, "HTTP")
QB_SUBSYSTEM_LOGGER(usb, "USB")
QB_SUBSYSTEM_LOGGER(wifi, "WiFi")
QB_SUBSYSTEM_LOGGER(update, "Update")
QB_SUBSYSTEM_LOGGER(display, "Display")
QB_SUBSYSTEM_LOGGER(input, "Input")
QB_SUBSYSTEM_LOGGER(sleep, "Sleep")
QB_SUBSYSTEM_LOGGER(control, "Control")
QB_SUBSYSTEM_LOGGER(pacer, "Pacer")
QB_SUBSYSTEM_LOGGER(process, "Process")
#undef QB_SUBSYSTEM_LOGGER
} // namespace SMLog

} // namespace qb
