#include "control/ControlCommands.h"

#include <algorithm>
#include <functional>

#include <fmt/format.h>

#include "config/DeviceModels.h"
#include "config/Text.h"
#include "control/ControlRequest.h"
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

const char* NON_DC1_MODES[] = {"landscape-cozy", "landscape-sharp", "portrait-cozy", "portrait-sharp"};

bool isDC1(const ControlSessionInfo& session)
{
    return deviceFamilyForModel(session.model) == DeviceFamily::daylightDC1;
}

std::string dc1PresetNames()
{
    std::string names;
    for (const auto& preset : DisplayResolution::dc1Presets()) {
        names += (names.empty() ? "" : ", ") + presetName(preset);
    }
    return names;
}

std::string otherTabletModes()
{
    std::string names;
    for (const char* mode : NON_DC1_MODES) names += (names.empty() ? "" : ", ") + std::string(mode);
    return names;
}

// A DC-1 preset sets the DC-1's resolution, a mode of the other tablets
// theirs; "portrait-cozy" and "portrait-sharp" are both. A name that applies
// to none of the tablets mirrored is refused with the names that do; with
// nothing mirrored, it is kept for the next start.
std::string resolutionCommand(const std::optional<std::string>& argument, ControlTarget& target)
{
    const ControlState state = target.state();
    if (!argument) return "OK " + resolutionShown(state);
    const std::string lower = lowercased(*argument);
    const bool otherMode
        = std::find(std::begin(NON_DC1_MODES), std::end(NON_DC1_MODES), lower) != std::end(NON_DC1_MODES);
    const auto preset = matchResolution(*argument);
    const bool anyDC1 = state.sessions.empty() || std::any_of(state.sessions.begin(), state.sessions.end(), isDC1);
    const bool anyOther = state.sessions.empty()
        || std::any_of(state.sessions.begin(), state.sessions.end(), [](const auto& s) { return !isDC1(s); });
    const bool forDC1 = preset && anyDC1;
    const bool forOther = otherMode && anyOther;
    if (!forDC1 && !forOther) {
        if (preset) {
            return "ERR " + presetName(*preset) + " is a DC-1 resolution; this tablet takes " + otherTabletModes();
        }
        if (otherMode) {
            return "ERR " + lower + " is for tablets other than the DC-1; the DC-1 takes " + dc1PresetNames();
        }
        return "ERR unknown resolution (valid: " + dc1PresetNames() + ", " + otherTabletModes() + ")";
    }
    const std::string name = forDC1 ? presetName(*preset) : lower;
    bool changed = false;
    if (forDC1 && !(*preset == state.resolution)) {
        target.setResolution(*preset);
        changed = true;
    }
    if (forOther && lower != state.nonDC1Mode) {
        target.setNonDC1Mode(lower);
        changed = true;
    }
    if (!changed) return "OK " + name + " (no change)";
    if (state.status.is(MirrorStatus::Kind::running)) {
        target.restart();
        return "OK " + name + " (restarting)";
    }
    return "OK " + name;
}

// "on"/"off" settings: absent shows the value.
std::string switchCommand(
    const std::optional<std::string>& argument, bool current, const std::function<void(bool)>& set)
{
    if (!argument) return std::string("OK ") + onOff(current);
    const std::string word = lowercased(*argument);
    if (word != "on" && word != "off") return "ERR use on or off";
    set(word == "on");
    return "OK " + word;
}

std::string gammaCommand(const std::optional<std::string>& argument, ControlTarget& target)
{
    if (!argument) return fmt::format("OK {:.1f}", target.state().gammaAmount);
    const auto value = parseWholeDouble(*argument);
    if (!value || *value < 0.5 || *value > 2.5) {
        return "ERR value must be 0.5-2.5 (1.0=off, above 1 lightens mid-tones)";
    }
    target.setGammaAmount(*value);
    return fmt::format("OK {:.1f}", *value);
}

std::string profileCommand(const std::optional<std::string>& argument, ControlTarget& target)
{
    if (!argument) return "OK " + profileName(target.state().displayProfile);
    std::string wanted = lowercased(*argument);
    std::replace(wanted.begin(), wanted.end(), ' ', '-');
    for (const auto profile : {DisplayProfile::crispPaper, DisplayProfile::balanced, DisplayProfile::custom}) {
        if (wanted != profileName(profile)) continue;
        target.setDisplayProfile(profile);
        return "OK " + wanted;
    }
    return "ERR unknown profile (valid: crisp-paper, balanced, custom)";
}

std::string connectionCommand(const std::optional<std::string>& argument, ControlTarget& target)
{
    if (!argument) return "OK " + std::string(rawValue(target.state().connectionMode));
    const auto mode = connectionModeFromRawValue(lowercased(*argument));
    if (!mode) return "ERR unknown connection (valid: usb, wifi)";
    const std::string name(rawValue(*mode));
    const ControlState state = target.state();
    if (*mode == state.connectionMode) return "OK " + name + " (no change)";
    // The engine moves its servers to the mode's address.
    target.setConnectionMode(*mode);
    if (!target.serving()) return "OK " + name;
    if (state.status.is(MirrorStatus::Kind::running)) return "OK " + name + " (restarting)";
    return "OK " + name
        + (*mode == ConnectionMode::wifi ? " (servers now listen on the LAN)" : " (servers now listen on this computer only)");
}

std::string byteValueCommand(const std::optional<std::string>& argument, ControlTarget& target, bool brightness)
{
    const auto [valid, value] = validateByteValue(argument);
    if (!valid) return "OK " + std::to_string(brightness ? target.state().brightness : target.state().warmth);
    if (brightness) {
        target.setBrightness(value);
    } else {
        target.setWarmth(value);
    }
    return "OK " + std::to_string(value);
}

std::string backlightCommand(const std::optional<std::string>& argument, ControlTarget& target)
{
    const std::string word = argument ? lowercased(*argument) : std::string{};
    const bool on = target.state().backlightOn;
    if (word == "on") {
        if (!on) target.toggleBacklight();
        return "OK on";
    }
    if (word == "off") {
        if (on) target.toggleBacklight();
        return "OK off";
    }
    if (word == "toggle") target.toggleBacklight();
    return std::string("OK ") + onOff(target.state().backlightOn);
}

std::string contrastCommand(const std::optional<std::string>& argument, ControlTarget& target)
{
    if (!argument) return fmt::format("OK {:.1f}", target.state().contrastAmount);
    const auto value = parseWholeDouble(*argument);
    if (!value || *value < 1.0 || *value > 2.0) return "ERR value must be 1.0-2.0 (1.0=off, 1.5=moderate, 2.0=high)";
    target.setContrastAmount(*value);
    return fmt::format("OK {:.1f}", *value);
}

std::string displayModeCommand(const std::optional<std::string>& argument, ControlTarget& target)
{
    const ControlState state = target.state();
    if (!argument) return "OK " + std::string(rawValue(state.displayMode));
    const auto mode = displayModeFromRawValue(lowercased(*argument));
    if (!mode) return "ERR unknown mode (valid: mirror, extended)";
    const std::string name(rawValue(*mode));
    if (*mode == state.displayMode) return "OK " + name + " (no change)";
    target.setDisplayMode(*mode);
    if (state.status.is(MirrorStatus::Kind::running)) {
        target.restart();
        return "OK " + name + " (restarting)";
    }
    return "OK " + name;
}

std::string logsCommand(const std::optional<std::string>& argument)
{
    const ControlLogFilter filter = parseLogFilter(argument);
    std::optional<RingLogger::Level> level;
    if (filter.minLevel) level = RingLogger::levelFromString(*filter.minLevel);
    return "OK\n" + RingLogger::shared().formatted(level, filter.subsystem, filter.lastSeconds);
}

} // namespace

std::string presetName(const DisplayResolution& resolution)
{
    std::string name = lowercased(resolution.label);
    std::replace(name.begin(), name.end(), ' ', '-');
    return name;
}

std::string profileName(DisplayProfile profile)
{
    std::string name = lowercased(rawValue(profile));
    std::replace(name.begin(), name.end(), ' ', '-');
    return name;
}

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

std::optional<DisplayResolution> matchResolution(std::string_view argument)
{
    std::string normalized = lowercased(argument);
    for (auto& c : normalized) {
        if (c == '-') c = ' ';
    }
    std::string compact;
    for (const char c : normalized) {
        if (c != ' ') compact += c;
    }
    for (const auto& preset : DisplayResolution::dc1Presets()) {
        if (fmt::format("{}x{}", preset.width, preset.height) == argument) return preset;
        if (lowercased(preset.label) == normalized) return preset;
        if (preset.preset && lowercased(*preset.preset) == compact) return preset;
    }
    return std::nullopt;
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
    static constexpr std::string_view KEYS[] = {"resolution", "display_mode", "connection", "profile", "contrast",
        "gamma", "auto_mirror", "auto_dim", "clamshell", "font_smoothing"};
    return std::find(std::begin(KEYS), std::end(KEYS), key) != std::end(KEYS);
}

std::vector<std::string> settingsLines(const ControlState& state)
{
    std::vector<std::string> lines;
    for (auto& line : healthLines(state, false)) {
        if (isSettingKey(std::string_view(line).substr(0, line.find('=')))) lines.push_back(std::move(line));
    }
    return lines;
}

std::string handleControlCommand(std::string_view requestText, ControlTarget& target)
{
    const ControlRequest request = parseControlRequest(requestText);
    const auto& command = request.command;
    const auto& argument = request.argument;

    if (command == "BRIGHTNESS") return byteValueCommand(argument, target, true);
    if (command == "WARMTH") return byteValueCommand(argument, target, false);
    if (command == "BACKLIGHT") return backlightCommand(argument, target);
    if (command == "RESOLUTION") return resolutionCommand(argument, target);
    if (command == "RESTART") {
        if (!target.state().status.is(MirrorStatus::Kind::running)) return "ERR not running";
        target.restart();
        return "OK restarting";
    }
    if (command == "START") {
        const ControlState state = target.state();
        if (state.status.is(MirrorStatus::Kind::running)) return "OK already running";
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
    if (command == "STOP") {
        const auto kind = target.state().status.kind();
        if (kind == MirrorStatus::Kind::idle) return "OK already idle";
        // A start under way is cancelled; an error's leftovers are torn down.
        target.stop();
        return "OK stopping";
    }
    if (command == "STATUS") return "OK " + target.state().status.label();
    if (command == "RECONNECT") {
        if (!target.state().status.is(MirrorStatus::Kind::running)) return "ERR not running";
        target.reconnect();
        return "OK reconnecting";
    }
    if (command == "TABLET" && argument && lowercased(*argument) == "pair") {
        if (target.state().connectionMode != ConnectionMode::wifi) return "ERR no pairing over USB";
        const auto offer = target.offerTabletPairing();
        return fmt::format("OK\ncode={}\naddress={}\nminutes={}", offer.code, offer.address, offer.minutes);
    }
    if (command == "TABLET" && argument && lowercased(*argument) == "forget") {
        return target.forgetTabletPages() ? "OK forgot every paired tablet page" : "ERR cannot save the paired pages";
    }
    if (command == "TABLET") {
        if (!argument || lowercased(*argument) != "browser") return "ERR use TABLET BROWSER, PAIR or FORGET";
        if (!target.state().status.is(MirrorStatus::Kind::running)) return "ERR not running";
        target.openTabletPages();
        return "OK opening the tablet page on the USB tablets";
    }
    if (command == "CONTRAST") return contrastCommand(argument, target);
    if (command == "DISPLAYMODE") return displayModeCommand(argument, target);
    if (command == "CONNECTION") return connectionCommand(argument, target);
    if (command == "GAMMA") return gammaCommand(argument, target);
    if (command == "PROFILE") return profileCommand(argument, target);
    if (command == "AUTOMIRROR") {
        return switchCommand(
            argument, target.state().autoMirrorEnabled, [&](bool on) { target.setAutoMirrorEnabled(on); });
    }
    if (command == "AUTODIM") {
        return switchCommand(argument, target.state().autoDimHost, [&](bool on) { target.setAutoDimHost(on); });
    }
    if (command == "FONTSMOOTHING") {
        if (!argument) return target.state().fontSmoothingDisabled ? "OK off" : "OK on";
        const std::string word = lowercased(*argument);
        if (word == "on" || word == "off") {
            target.setFontSmoothing(word == "on");
            return "OK " + word;
        }
        return "ERR use on or off";
    }
    if (command == "LATENCY") {
        const ControlState state = target.state();
        if (!state.status.is(MirrorStatus::Kind::running)) return "ERR not running";
        return multiLine(latencyLines(state));
    }
    if (command == "CLAMSHELL") {
        if (!argument) return std::string("OK ") + onOff(target.state().clamshellModeEnabled);
        const std::string word = lowercased(*argument);
        if (word == "on" || word == "enable") {
            target.setClamshellModeEnabled(true);
            return "OK on";
        }
        if (word == "off" || word == "disable") {
            target.setClamshellModeEnabled(false);
            return "OK off";
        }
        return "ERR use on or off";
    }
    if (command == "HEALTH") {
        const bool verbose = argument && lowercased(*argument) == "verbose";
        return multiLine(healthLines(target.state(), verbose));
    }
    if (command == "LOGS") return logsCommand(argument);
    if (command == "REPORT") return "OK\n" + target.report();
    return "ERR unknown command";
}

} // namespace qb
