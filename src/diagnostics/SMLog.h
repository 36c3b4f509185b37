// One logger per subsystem. Each call appends to the shared RingLogger and
// writes the bare message to the platform log under the subsystem's name
// (warn and error share the platform's error type).
//
//   SMLog::engine().info("Mirroring started");
#pragma once

#include <string>
#include <string_view>

#include "diagnostics/PlatformLog.h"

namespace qb {

class SubsystemLogger {
public:
    explicit SubsystemLogger(std::string name) : name_(std::move(name)) {}
    const std::string& name() const { return name_; }

    void debug(std::string_view message) const { write(LogLevel::debug, message); }
    void info(std::string_view message) const { write(LogLevel::info, message); }
    void warn(std::string_view message) const { write(LogLevel::warn, message); }
    void error(std::string_view message) const { write(LogLevel::error, message); }

private:
    void write(LogLevel level, std::string_view message) const;
    std::string name_;
};

namespace SMLog {
const SubsystemLogger& engine();  // "Engine"
const SubsystemLogger& session(); // "Session"
const SubsystemLogger& adb();     // "ADB"
const SubsystemLogger& capture(); // "Capture"
const SubsystemLogger& tcp();     // "TCP"
const SubsystemLogger& http();    // "HTTP"
const SubsystemLogger& usb();     // "USB"
const SubsystemLogger& wifi();    // "WiFi"
const SubsystemLogger& update();  // "Update"
const SubsystemLogger& display(); // "Display"
const SubsystemLogger& input();   // "Input"
const SubsystemLogger& sleep();   // "Sleep"
const SubsystemLogger& control(); // "Control"
const SubsystemLogger& pacer();   // "Pacer"
const SubsystemLogger& process(); // "Process"
} // namespace SMLog

} // namespace qb
