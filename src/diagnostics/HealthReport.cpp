#include "diagnostics/HealthReport.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "diagnostics/EventLog.h"
#include "diagnostics/MetricsRing.h"
#include "diagnostics/RingLogger.h"

namespace qb {

namespace {

const char* onOff(bool on) { return on ? "on" : "off"; }
const char* yesNo(bool yes) { return yes ? "yes" : "no"; }

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines) {
        if (!text.empty()) text += '\n';
        text += line;
    }
    return text;
}

std::string section(const std::string& name, const std::vector<std::string>& lines)
{
    return "## " + name + "\n" + joined(lines);
}

std::string dateText(WallTime t)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char buffer[64];
    std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S %Z", &local);
    return buffer;
}

std::string trimmed(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

} // namespace

std::string generateHealthReport(const HealthReportInput& in, const MetricsRing& metrics, const EventLog& events,
    const RingLogger& logs)
{
    std::vector<std::string> sections;

    std::string rule;
    for (int i = 0; i < 50; ++i) rule += "\u2500";
    sections.push_back("QuillBright Health Report\n" + rule + "\nGenerated: " + dateText(in.generated)
        + "\n\n## App\nversion=" + in.version + "\nstatus=" + in.engine.status.label() + "\nuptime=" + in.uptime
        + "\nsystem_uptime=" + in.systemUptime
        + "\nbundle_integrity=" + in.bundleIntegrity);

    const EngineState& state = in.engine;
    const StreamStats& stats = state.stats;
    std::vector<std::string> engine = {
        "resolution=" + state.resolution.label + " (" + state.resolution.rawValue() + ")",
        "display_mode=" + std::string(rawValue(state.displayMode)),
        "connection_mode=" + std::string(rawValue(state.connectionMode)),
        std::string("auto_mirror=") + onOff(state.autoMirrorEnabled),
        std::string("auto_dim=") + onOff(state.autoDimHost),
        std::string("auto_refresh=") + onOff(state.autoRefreshEnabled),
        std::string("clamshell=") + onOff(state.clamshellModeEnabled),
        std::string("font_smoothing=") + onOff(!state.fontSmoothingDisabled),
        fmt::format("sessions={}", in.sessionCount),
        std::string("device_detected=") + yesNo(state.deviceDetected),
    };
    if (state.status.is(MirrorStatus::Kind::running)) {
        engine.push_back(fmt::format("fps={:.1f}", stats.fps));
        engine.push_back(fmt::format("clients={}", stats.clientCount));
        engine.push_back(fmt::format("total_frames={}", stats.totalFrames));
        engine.push_back(fmt::format("skipped_frames={}", stats.skippedFrames));
        engine.push_back(fmt::format("frame_size_kb={}", stats.frameSizeKB));
        engine.push_back(fmt::format("bandwidth_mbps={:.2f}", stats.bandwidthMBps));
        engine.push_back(fmt::format("rtt_avg_ms={:.1f}", stats.rttMs));
        engine.push_back(fmt::format("rtt_p95_ms={:.1f}", stats.rttP95Ms));
        engine.push_back(fmt::format("grey_ms={:.1f}", stats.convertMs));
        engine.push_back(fmt::format("compress_ms={:.1f}", stats.compressMs));
        engine.push_back(fmt::format("jitter_ms={:.1f}", stats.jitterMs));
    }
    sections.push_back(section("Engine", engine));

    std::vector<std::string> device = {
        std::string("adb_available=") + yesNo(in.adbAvailable),
        fmt::format("connected_devices={}", in.devices.size()),
    };
    for (const auto& d : in.devices) {
        device.push_back("  device." + d.serial + ".model=" + d.model);
        device.push_back("  device." + d.serial + ".family=" + d.family);
        if (d.native) device.push_back(fmt::format("  device.{}.native={}x{}", d.serial, d.native->first, d.native->second));
    }
    const std::string tunnels = trimmed(in.reverseTunnels);
    device.push_back("reverse_tunnels=" + (tunnels.empty() ? std::string("none") : tunnels));
    sections.push_back(section("Device", device));

    std::vector<std::string> companion = {"companion_version=" + state.companionVersion.value_or("unknown")};
    if (state.companionVersion) companion.push_back(std::string("companion_compatible=") + yesNo(in.companionCompatible));
    if (in.companionInstalled) companion.push_back(std::string("companion_installed=") + yesNo(*in.companionInstalled));
    sections.push_back(section("Companion", companion));

    std::vector<std::string> sessionLines;
    for (std::size_t i = 0; i < in.sessions.size(); ++i) {
        const auto& s = in.sessions[i];
        const auto key = [i](const char* name) { return fmt::format("session[{}].{}=", i, name); };
        sessionLines.push_back(key("device") + s.device);
        sessionLines.push_back(key("serial") + s.serial);
        sessionLines.push_back(key("port") + std::to_string(s.port));
        sessionLines.push_back(key("resolution") + s.resolution);
        sessionLines.push_back(key("adb") + yesNo(s.adb));
        sessionLines.push_back(key("clients") + std::to_string(s.clients));
        sessionLines.push_back(key("fps") + fmt::format("{:.1f}", s.fps));
        sessionLines.push_back(key("companion_version") + s.companionVersion);
    }
    sections.push_back(section("Sessions", sessionLines));

    sections.push_back(section("Config", {
        std::string("setup_completed=") + yesNo(in.setupCompleted),
        "saved_resolution=" + in.savedResolution.value_or("default"),
        "saved_connection_mode=" + in.savedConnectionMode.value_or("default"),
    }));
    sections.push_back(section("Update", {"update_available=" + state.updateVersion.value_or("none")}));

    std::vector<std::string> system = {"os=" + in.osVersion};
    if (in.residentMB) system.push_back(fmt::format("memory_rss_mb={:.1f}", *in.residentMB));
    for (const auto& [name, provider] : in.platform) system.push_back("platform." + name + "=" + provider);
    sections.push_back(section("System", system));

    if (const auto summary = metrics.summary(1800.0)) {
        sections.push_back(section("Performance (last 30 min)", {
            fmt::format("samples={}", summary->count),
            fmt::format("fps: avg={:.1f} min={:.1f} max={:.1f}", summary->fpsAvg, summary->fpsMin, summary->fpsMax),
            fmt::format("rtt: avg={:.1f} p95={:.1f} max={:.1f}", summary->rttAvg, summary->rttP95, summary->rttMax),
            fmt::format("jitter: avg={:.1f} max={:.1f}", summary->jitterAvg, summary->jitterMax),
            fmt::format("bandwidth: avg={:.1f} max={:.1f}", summary->bandwidthAvg, summary->bandwidthMax),
            "fps_trend (10s): " + metrics.fpsTrend(10.0, 1800.0),
        }));
    }
    sections.push_back(section("Events (all buffered)", {events.formatted(86400.0)}));
    sections.push_back(section("Logs (all buffered)", {logs.formatted()}));
    if (!in.crashReports.empty()) sections.push_back(section("Recent Crash Logs", {in.crashReports}));

    std::string report;
    for (const auto& s : sections) {
        if (!report.empty()) report += "\n\n";
        report += s;
    }
    return report;
}

std::string healthReportSummary(const std::string& report)
{
    auto cut = report.find("## Performance");
    if (cut == std::string::npos) cut = report.find("## Events");
    if (cut != std::string::npos) return trimmed(report.substr(0, cut));
    if (report.size() <= 2000) return report;
    return report.substr(0, 2000) + "\n[truncated \u2014 paste full logs from Logs button]";
}

std::string crashReportText(const std::filesystem::path& directory, const std::string& currentVersion, WallTime now)
{
    namespace fs = std::filesystem;
    struct Found {
        fs::path path;
        WallTime modified;
    };
    std::vector<Found> found;
    std::error_code error;
    fs::directory_iterator it(directory, error);
    if (error) return {};
    for (const auto& entry : it) {
        const std::string name = entry.path().filename().string();
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        const std::string extension = entry.path().extension().string();
        if (lower.rfind("quillbright", 0) != 0 || (extension != ".crash" && extension != ".ips")) continue;
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const WallTime modified = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
        if (now - modified > std::chrono::seconds(604800)) continue;
        found.push_back({entry.path(), modified});
    }
    if (found.empty()) return {};
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.modified > b.modified; });

    std::string text = fmt::format("Found {} crash report(s) in last 7 days:\n", found.size());
    for (const auto& crash : found) {
        std::ifstream in(crash.path, std::ios::binary);
        std::string content;
        // Read one character past the limit to know whether to cut.
        content.resize(10001);
        in.read(content.data(), static_cast<std::streamsize>(content.size()));
        content.resize(static_cast<std::size_t>(in.gcount()));
        std::string version = "unknown";
        const auto firstLine = content.substr(0, content.find('\n'));
        const auto json = nlohmann::json::parse(firstLine, nullptr, false);
        if (json.is_object() && json.contains("app_version") && json["app_version"].is_string()) {
            version = json["app_version"].get<std::string>();
        }
        const std::string tag = version == currentVersion
            ? std::string("(current version)")
            : "\u26A0\uFE0F OLD VERSION " + version + " \u2014 not current (" + currentVersion + ")";
        if (content.size() > 10000) content = content.substr(0, 10000) + "\n[truncated]";
        text += "\n--- " + crash.path.filename().string() + " [" + tag + "] ---\n" + content;
    }
    return text;
}

} // namespace qb
