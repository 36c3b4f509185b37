// HealthReport: the plain-text diagnostic report a user pastes into a
// support request — engine state, devices, companion, sessions, stored
// settings, update, system, a performance summary from the metrics ring,
// the event history, the whole log ring and recent crash reports.
//
// The caller gathers what the report shows into HealthReportInput (the
// control layer does it from the engine, adb and the settings store); the
// formatting here is pure apart from reading the shared rings.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "runtime/Clock.h"
#include "config/EngineState.h"

namespace qb {

class MetricsRing;
class EventLog;
class RingLogger;

struct HealthReportInput {
    WallTime generated{};
    std::string version;
    std::string uptime;          // processUptime(): the daemon's
    std::string systemUptime;    // systemUptime(): the machine's
    std::string bundleIntegrity = "ok"; // ok, missing_apk: the companion package to install is there

    // ## Engine (and the status above, the companion's version and the
    // update below): what the engine publishes
    EngineState engine;
    std::size_t sessionCount = 0;

    // ## Device
    struct Device {
        std::string serial;
        std::string model;
        std::string family;
        std::optional<std::pair<std::int64_t, std::int64_t>> native;
    };
    bool adbAvailable = false;
    std::vector<Device> devices;
    std::string reverseTunnels; // trimmed output; empty: "none"

    // ## Companion
    bool companionCompatible = true;
    std::optional<bool> companionInstalled; // only when a device is present

    // ## Sessions
    struct Session {
        std::string device;
        std::string serial;
        std::uint16_t port = 0;
        std::string resolution;
        bool adb = false;
        std::int64_t clients = 0;
        double fps = 0;
        std::string companionVersion;
    };
    std::vector<Session> sessions;

    // ## Config
    bool setupCompleted = false;
    std::optional<std::string> savedResolution;
    std::optional<std::string> savedConnectionMode;

    // ## System
    std::string osVersion;
    std::optional<double> residentMB;
    // Which backend provides each capability ("power", "logind"), desktop first.
    std::vector<std::pair<std::string, std::string>> platform;

    // ## Recent Crash Logs (empty: the section is left out)
    std::string crashReports;
};

std::string generateHealthReport(const HealthReportInput& input, const MetricsRing& metrics, const EventLog& events,
    const RingLogger& logs);
// The report before its performance data (or before the events when there
// is none); a report without either is cut to 2000 characters.
std::string healthReportSummary(const std::string& report);

// Crash reports in `directory` newer than 7 days whose names begin with
// "quillbright" (any case) and end in ".crash" or ".ips", newest first, each
// tagged with whether its first-line JSON "app_version" is the current
// version, cut at 10000 characters. Empty when there are none.
std::string crashReportText(const std::filesystem::path& directory, const std::string& currentVersion, WallTime now);

} // namespace qb
