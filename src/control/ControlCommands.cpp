#include "control/ControlCommands.h"

#include <algorithm>
#include <functional>

#include <fmt/format.h>

#include "config/DeviceModels.h"
#include "config/Text.h"
#include "diagnostics/ProcessInfo.h"
#include "diagnostics/RingLogger.h"

namespace qb {

namespace {

const char* onOff(bool on) { return on ? "on" : "off"; }
const char* yesNo(bool yes) { return yes ? "yes" : "no"; }

std::string multiLine(const std::vector<std::string>& lines)
{
    std::string reply = "OK";
    for (const auto& line : lines) reply += "\n" + line;
    return reply;
}

bool isDC1(const ControlSessionInfo& session)
{
    return deviceFamilyForModel(session.model) == DeviceFamily::daylightDC1;
}

bool running(const ControlState& state) { return state.status.is(MirrorStatus::Kind::running); }

// A DC-1 preset sets the DC-1's resolution, a mode of the other tablets
// theirs; "portrait-cozy" and "portrait-sharp" are both. A name that applies
// to none of the tablets mirrored is refused with the names that do; with
// nothing mirrored, it is kept for the next start.
std::string resolutionCommand(const ResolutionChoice* choice, ControlTarget& target)
{
    const ControlState state = target.state();
    if (choice == nullptr) return "OK " + resolutionShown(state);
    const auto& preset = choice->preset;
    const bool anyDC1 = state.sessions.empty() || std::any_of(state.sessions.begin(), state.sessions.end(), isDC1);
    const bool anyOther = state.sessions.empty()
        || std::any_of(state.sessions.begin(), state.sessions.end(), [](const auto& s) { return !isDC1(s); });
    const bool forDC1 = preset && anyDC1;
    const bool forOther = choice->otherTabletMode && anyOther;
    if (!forDC1 && !forOther) {
        if (preset) {
            return "ERR " + presetName(*preset) + " is a DC-1 resolution; this tablet takes " + otherTabletModeNames();
        }
        return "ERR " + choice->name + " is for tablets other than the DC-1; the DC-1 takes " + dc1PresetNames();
    }
    const std::string name = forDC1 ? presetName(*preset) : choice->name;
    bool changed = false;
    if (forDC1 && !(*preset == state.resolution)) {
        target.setResolution(*preset);
        changed = true;
    }
    if (forOther && choice->name != state.nonDC1Mode) {
        target.setNonDC1Mode(choice->name);
        changed = true;
    }
    if (!changed) return "OK " + name + " (no change)";
    if (running(state)) {
        target.restart();
        return "OK " + name + " (restarting)";
    }
    return "OK " + name;
}

// "on"/"off" settings: absent shows the value.
std::string switchCommand(const bool* on, bool current, const std::function<void(bool)>& set)
{
    if (on == nullptr) return std::string("OK ") + onOff(current);
    set(*on);
    return std::string("OK ") + onOff(*on);
}

// A real setting: absent shows the value, "%.1f".
std::string realCommand(const double* value, double current, const std::function<void(double)>& set)
{
    if (value == nullptr) return fmt::format("OK {:.1f}", current);
    set(*value);
    return fmt::format("OK {:.1f}", *value);
}

std::string profileCommand(const DisplayProfile* profile, ControlTarget& target)
{
    if (profile == nullptr) return "OK " + profileName(target.state().displayProfile);
    target.setDisplayProfile(*profile);
    return "OK " + profileName(*profile);
}

std::string connectionCommand(const ConnectionMode* mode, ControlTarget& target)
{
    if (mode == nullptr) return "OK " + std::string(rawValue(target.state().connectionMode));
    const std::string name(rawValue(*mode));
    const ControlState state = target.state();
    if (*mode == state.connectionMode) return "OK " + name + " (no change)";
    // The engine moves its servers to the mode's address.
    target.setConnectionMode(*mode);
    if (!target.serving()) return "OK " + name;
    if (running(state)) return "OK " + name + " (restarting)";
    return "OK " + name
        + (*mode == ConnectionMode::wifi ? " (servers now listen on the LAN)" : " (servers now listen on this computer only)");
}

std::string byteValueCommand(const int* value, ControlTarget& target, bool brightness)
{
    if (value == nullptr) return "OK " + std::to_string(brightness ? target.state().brightness : target.state().warmth);
    if (brightness) {
        target.setBrightness(*value);
    } else {
        target.setWarmth(*value);
    }
    return "OK " + std::to_string(*value);
}

std::string backlightCommand(const BacklightAction* action, ControlTarget& target)
{
    const bool on = target.state().backlightOn;
    if (action != nullptr && *action == BacklightAction::on) {
        if (!on) target.toggleBacklight();
        return "OK on";
    }
    if (action != nullptr && *action == BacklightAction::off) {
        if (on) target.toggleBacklight();
        return "OK off";
    }
    if (action != nullptr) target.toggleBacklight();
    return std::string("OK ") + onOff(target.state().backlightOn);
}

std::string displayModeCommand(const DisplayMode* mode, ControlTarget& target)
{
    const ControlState state = target.state();
    if (mode == nullptr) return "OK " + std::string(rawValue(state.displayMode));
    const std::string name(rawValue(*mode));
    if (*mode == state.displayMode) return "OK " + name + " (no change)";
    target.setDisplayMode(*mode);
    if (running(state)) {
        target.restart();
        return "OK " + name + " (restarting)";
    }
    return "OK " + name;
}

std::string logsCommand(const ControlLogFilter* given)
{
    const ControlLogFilter filter = given != nullptr ? *given : ControlLogFilter{};
    std::optional<RingLogger::Level> level;
    if (filter.minLevel) level = RingLogger::levelFromString(*filter.minLevel);
    return "OK\n" + RingLogger::shared().formatted(level, filter.subsystem, filter.lastSeconds);
}

std::string startCommand(ControlTarget& target)
{
    const ControlState state = target.state();
    if (running(state)) return "OK already running";
    if (state.status.kind() == MirrorStatus::Kind::starting) return "OK already starting";
    if (!state.deviceDetected && state.connectionMode != ConnectionMode::wifi) return "ERR no device connected";
    // From an error the start is made again; a start refused at once
    // says why rather than claiming one is under way.
    if (!target.start()) {
        const MirrorStatus now = target.state().status;
        return "ERR not started: " + (now.isError() ? now.message() : now.label());
    }
    return "OK starting";
}

std::string tabletCommand(const TabletAction* action, ControlTarget& target)
{
    if (action == nullptr) return std::string(controlVerb(ControlVerb::tablet).refusal);
    switch (*action) {
    case TabletAction::pair: {
        if (target.state().connectionMode != ConnectionMode::wifi) return "ERR no pairing over USB";
        const auto offer = target.offerTabletPairing();
        return fmt::format("OK\ncode={}\naddress={}\nminutes={}", offer.code, offer.address, offer.minutes);
    }
    case TabletAction::forget:
        return target.forgetTabletPages() ? "OK forgot every paired tablet page" : "ERR cannot save the paired pages";
    case TabletAction::browser: break;
    }
    if (!running(target.state())) return "ERR not running";
    target.openTabletPages();
    return "OK opening the tablet page on the USB tablets";
}

} // namespace

std::string resolutionShown(const ControlState& state)
{
    if (state.sessions.empty()) return presetName(state.resolution);
    const auto& first = state.sessions.front();
    const std::string name = isDC1(first) ? presetName(first.resolution) : state.nonDC1Mode;
    const std::string pixels = first.resolution.rawValue();
    if (first.hiDPIActive) return name + " (" + pixels + ")";
    // A HiDPI preset the desktop could not scale: what the tablet shows is
    // the sharp twin's picture.
    std::string twin = name;
    if (const auto at = twin.rfind("cozy"); at != std::string::npos) twin.replace(at, 4, "sharp");
    return name + " (" + pixels + "; this desktop cannot scale it, so the tablet gets " + twin + ": " + pixels
        + " at 1x)";
}

// The pen's last values on the first session that saw one (a tablet page's
// pen): what a pressure-capable injector would get.
std::vector<std::string> penLines(const ControlState& s)
{
    for (const auto& session : s.sessions) {
        if (!session.pen) continue;
        const PenReading& pen = *session.pen;
        return {
            fmt::format("pen_pressure={:.2f}", pen.pressure),
            fmt::format("pen_tilt={},{}", pen.tiltX, pen.tiltY),
            std::string("pen_tool=") + (pen.eraser ? "eraser" : "tip"),
            std::string("pen_contact=") + yesNo(pen.touching),
            std::string("pen_barrel=") + yesNo(pen.barrel),
        };
    }
    return {};
}

std::vector<std::string> latencyLines(const ControlState& s)
{
    std::vector<std::string> lines = {
        fmt::format("fps={:.1f}", s.stats.fps),
        fmt::format("grey_ms={:.1f}", s.stats.convertMs),
        fmt::format("compress_ms={:.1f}", s.stats.compressMs),
        fmt::format("jitter_ms={:.1f}", s.stats.jitterMs),
        fmt::format("rtt_avg_ms={:.1f}", s.stats.rttMs),
        fmt::format("rtt_p95_ms={:.1f}", s.stats.rttP95Ms),
        fmt::format("clients={}", s.stats.clientCount),
        fmt::format("total_frames={}", s.stats.totalFrames),
        fmt::format("skipped_frames={}", s.stats.skippedFrames),
    };
    for (auto& line : penLines(s)) lines.push_back(std::move(line));
    return lines;
}

std::vector<std::string> healthLines(const ControlState& s, bool verbose)
{
    std::vector<std::string> lines = {
        "status=" + s.status.label(),
        "version=" + s.version,
        "resolution=" + resolutionShown(s),
        "display_mode=" + std::string(rawValue(s.displayMode)),
        "connection=" + std::string(rawValue(s.connectionMode)),
        "profile=" + profileName(s.displayProfile),
        "pixel_format="
            + (s.sessions.empty() ? std::string("n/a") : std::string(label(s.sessions.front().pixelFormat))),
        fmt::format("contrast={:.1f}", s.contrastAmount),
        fmt::format("gamma={:.1f}", s.gammaAmount),
        fmt::format("fps={:.1f}", s.stats.fps),
        fmt::format("clients={}", s.stats.clientCount),
        fmt::format("total_frames={}", s.stats.totalFrames),
        fmt::format("skipped_frames={}", s.stats.skippedFrames),
        fmt::format("frame_size_kb={}", s.stats.frameSizeKB),
        fmt::format("bandwidth_mbps={:.2f}", s.stats.bandwidthMBps),
        fmt::format("grey_ms={:.1f}", s.stats.convertMs),
        fmt::format("compress_ms={:.1f}", s.stats.compressMs),
        fmt::format("jitter_ms={:.1f}", s.stats.jitterMs),
        fmt::format("rtt_avg_ms={:.1f}", s.stats.rttMs),
        fmt::format("rtt_p95_ms={:.1f}", s.stats.rttP95Ms),
        fmt::format("brightness={}", s.brightness),
        fmt::format("warmth={}", s.warmth),
        std::string("backlight=") + onOff(s.backlightOn),
        std::string("clamshell=") + onOff(s.clamshellModeEnabled),
        std::string("auto_mirror=") + onOff(s.autoMirrorEnabled),
        std::string("auto_dim=") + onOff(s.autoDimHost),
        std::string("auto_refresh=") + onOff(s.autoRefreshEnabled),
        std::string("font_smoothing=") + onOff(!s.fontSmoothingDisabled),
        // adb's server, as `status` shows it; the sessions' links are in the verbose lines.
        std::string("adb=") + (s.adbServerAnswering ? "connected" : "disconnected"),
        fmt::format("sessions={}", s.sessions.size()),
        std::string("device_detected=") + yesNo(s.deviceDetected),
    };
    for (auto& line : penLines(s)) lines.push_back(std::move(line));
    if (!verbose) return lines;

    lines.emplace_back("---system---");
    if (const auto memory = processMemoryInfo()) {
        lines.push_back(fmt::format("memory_rss_mb={:.1f}", memory->residentMB));
        lines.push_back(fmt::format("memory_virtual_mb={:.0f}", memory->virtualMB));
    }
    lines.push_back("process_uptime=" + processUptime());
    lines.push_back("system_uptime=" + systemUptime());
    for (std::size_t i = 0; i < s.sessions.size(); ++i) {
        const auto& session = s.sessions[i];
        const auto key = [i](const char* name) { return fmt::format("session[{}].{}=", i, name); };
        lines.push_back(key("device") + session.model);
        lines.push_back(key("serial") + session.serial);
        lines.push_back(key("port") + std::to_string(session.port));
        lines.push_back(key("resolution") + session.resolution.label);
        lines.push_back(key("display_id") + std::to_string(session.displayId));
        lines.push_back(key("fps") + fmt::format("{:.1f}", session.fps));
        lines.push_back(key("clients") + std::to_string(session.clients));
        lines.push_back(key("adb") + yesNo(session.adbConnected));
        lines.push_back(key("capture_active") + yesNo(session.hasCapture));
        lines.push_back(key("input_server") + (session.inputServerRunning ? "running" : "stopped"));
        if (session.hasCapture) {
            lines.push_back(key("capture_frames") + std::to_string(session.captureFrames));
            lines.push_back(key("capture_skipped") + std::to_string(session.captureSkipped));
            lines.push_back(key("capture_stream") + (session.captureStreamAlive ? "alive" : "dead"));
        }
    }
    lines.push_back(fmt::format("inhibit_pid={}", s.keepAwakePid));
    lines.push_back(std::string("inhibit_running=") + yesNo(s.keepAwakeRunning));
    for (const auto& [name, value] : s.powerState) lines.push_back("logind." + name + "=" + value);
    for (const auto& [name, provider] : s.platform) lines.push_back("platform." + name + "=" + provider);
    return lines;
}

bool isSettingKey(std::string_view key)
{
    return std::any_of(controlVerbs().begin(), controlVerbs().end(), [key](const ControlVerbEntry& entry) {
        return entry.setting != SettingScope::none && entry.healthKey == key;
    });
}

std::vector<std::string> settingsLines(const ControlState& state)
{
    std::vector<std::string> lines;
    for (auto& line : healthLines(state, false)) {
        if (isSettingKey(std::string_view(line).substr(0, line.find('=')))) lines.push_back(std::move(line));
    }
    return lines;
}

std::string answerControlRequest(const ControlRequest& request, ControlTarget& target)
{
    const auto* argument = &request.argument;
    switch (request.verb) {
    case ControlVerb::brightness: return byteValueCommand(std::get_if<int>(argument), target, true);
    case ControlVerb::warmth: return byteValueCommand(std::get_if<int>(argument), target, false);
    case ControlVerb::backlight: return backlightCommand(std::get_if<BacklightAction>(argument), target);
    case ControlVerb::resolution: return resolutionCommand(std::get_if<ResolutionChoice>(argument), target);
    case ControlVerb::restart:
        if (!running(target.state())) return "ERR not running";
        target.restart();
        return "OK restarting";
    case ControlVerb::start: return startCommand(target);
    case ControlVerb::stop:
        if (target.state().status.kind() == MirrorStatus::Kind::idle) return "OK already idle";
        // A start under way is cancelled; an error's leftovers are torn down.
        target.stop();
        return "OK stopping";
    case ControlVerb::status: return "OK " + target.state().status.label();
    case ControlVerb::reconnect:
        if (!running(target.state())) return "ERR not running";
        target.reconnect();
        return "OK reconnecting";
    case ControlVerb::tablet: return tabletCommand(std::get_if<TabletAction>(argument), target);
    case ControlVerb::contrast:
        return realCommand(std::get_if<double>(argument), target.state().contrastAmount,
            [&](double value) { target.setContrastAmount(value); });
    case ControlVerb::gamma:
        return realCommand(std::get_if<double>(argument), target.state().gammaAmount,
            [&](double value) { target.setGammaAmount(value); });
    case ControlVerb::displayMode: return displayModeCommand(std::get_if<DisplayMode>(argument), target);
    case ControlVerb::connection: return connectionCommand(std::get_if<ConnectionMode>(argument), target);
    case ControlVerb::profile: return profileCommand(std::get_if<DisplayProfile>(argument), target);
    case ControlVerb::autoMirror:
        return switchCommand(std::get_if<bool>(argument), target.state().autoMirrorEnabled,
            [&](bool on) { target.setAutoMirrorEnabled(on); });
    case ControlVerb::autoDim:
        return switchCommand(
            std::get_if<bool>(argument), target.state().autoDimHost, [&](bool on) { target.setAutoDimHost(on); });
    case ControlVerb::autoRefresh:
        return switchCommand(std::get_if<bool>(argument), target.state().autoRefreshEnabled,
            [&](bool on) { target.setAutoRefreshEnabled(on); });
    case ControlVerb::fontSmoothing:
        return switchCommand(std::get_if<bool>(argument), !target.state().fontSmoothingDisabled,
            [&](bool on) { target.setFontSmoothing(on); });
    case ControlVerb::clamshell:
        return switchCommand(std::get_if<bool>(argument), target.state().clamshellModeEnabled,
            [&](bool on) { target.setClamshellModeEnabled(on); });
    case ControlVerb::latency: {
        const ControlState state = target.state();
        if (!running(state)) return "ERR not running";
        return multiLine(latencyLines(state));
    }
    case ControlVerb::health: {
        const auto* verbose = std::get_if<bool>(argument);
        return multiLine(healthLines(target.state(), verbose != nullptr && *verbose));
    }
    case ControlVerb::logs: return logsCommand(std::get_if<ControlLogFilter>(argument));
    case ControlVerb::report: return "OK\n" + target.report();
    }
    return "ERR unknown command";
}

std::string handleControlCommand(std::string_view requestText, ControlTarget& target)
{
    const auto parsed = parseControlRequest(requestText);
    if (const auto* refusal = std::get_if<ControlRefusal>(&parsed)) return refusal->reply;
    return answerControlRequest(std::get<ControlRequest>(parsed), target);
}

} // namespace qb
