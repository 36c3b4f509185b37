#include "cli/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include <fmt/format.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "cli/Pair.h"
#include "cli/Setup.h"
#include "cli/TerminalQRCode.h"
#include "config/Ports.h"
#include "config/Text.h"
#include "control/ControlCommands.h"
#include "control/SettingsFileTarget.h"
#include "core/MirrorEngine.h"
#include "device/DisplayController.h"
#include "platform/LanAddress.h"
#include "runtime/DurableFile.h"
#include "runtime/Process.h"
#include "transport/TabletPage.h"
#include "transport/TabletPairing.h"

namespace qb::cli {

namespace {

std::optional<std::string> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool exists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

std::vector<std::string> nonEmptyLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

bool beginsWithOK(const std::string& reply) { return reply.rfind("OK", 0) == 0; }

std::string request(ControlVerb verb, const std::optional<std::string>& argument = std::nullopt)
{
    return controlRequestText(verb, argument);
}

// Common failures of the diagnostics commands; the reply when there is one to print.
std::optional<std::string> diagnosticsReply(const Context& context, const std::string& command, std::ostream& out,
    int& exitStatus)
{
    exitStatus = 1;
    if (!exists(context.paths.controlSocket)) {
        out << "ERROR: QuillBright is not running.\n";
        return std::nullopt;
    }
    auto reply = sendControlCommand(context.paths.controlSocket, command, context.timing.controlTimeout);
    if (!reply) {
        out << "ERROR: Could not connect to control socket.\n";
        return std::nullopt;
    }
    if (reply->rfind("ERR", 0) == 0) {
        out << *reply << "\n";
        return std::nullopt;
    }
    exitStatus = 0;
    return reply;
}

std::string joinedFrom(const std::vector<std::string>& args, std::size_t from)
{
    std::string text;
    for (std::size_t i = from; i < args.size(); ++i) {
        if (i > from) text += ' ';
        text += args[i];
    }
    return text;
}

} // namespace

// ---------------------------------------------------------------------------
// Control client

std::optional<std::string> sendControlCommand(const std::string& socketPath, const std::string& command,
    std::chrono::milliseconds timeout)
{
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path) return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return std::nullopt;

    const std::string request = command + "\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) return std::nullopt;

    std::string reply;
    char buffer[4096];
    while (reply.size() < MAX_CONTROL_REPLY_BYTES) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd waiting{fd, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const auto wanted = std::min(sizeof buffer, MAX_CONTROL_REPLY_BYTES - reply.size());
        const ssize_t n = ::recv(fd, buffer, wanted, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    if (reply.empty()) return std::nullopt;
    if (const auto zero = reply.find('\0'); zero != std::string::npos) reply.resize(zero);
    return std::string(trimmed(reply));
}

int runControlCommand(const Context& context, const std::string& command, std::ostream& out)
{
    if (!exists(context.paths.controlSocket)) {
        SettingsStore settings(context.settingsFile);
        if (const auto reply = answerFromSettingsFile(command, settings)) {
            out << *reply << "\n";
            return beginsWithOK(*reply) ? 0 : 1;
        }
        out << "ERROR: QuillBright is not running.\n"
            << "Start the mirror first (`" << context.program << " start`, or the user service).\n";
        return 1;
    }
    const auto reply = sendControlCommand(context.paths.controlSocket, command, context.timing.controlTimeout);
    if (!reply) {
        out << "ERROR: Could not connect to control socket.\n"
            << "The running instance may not support CLI control. Try restarting.\n";
        return 1;
    }
    out << *reply << "\n";
    return beginsWithOK(*reply) ? 0 : 1;
}

// ---------------------------------------------------------------------------
// Files

std::optional<pid_t> readRunningPID(const RuntimePaths& paths, const std::string& program)
{
    const auto content = readFile(paths.pidFile);
    if (!content) return std::nullopt;
    const auto value = parseDecimalInteger(trimmed(*content));
    if (!value || *value < INT32_MIN || *value > INT32_MAX) return std::nullopt;
    const auto pid = static_cast<pid_t>(*value);
    if (pid > 0 && !program.empty() && processExecutable(pid) == program) return pid;
    removeFile(paths.pidFile);
    removeFile(paths.statusFile);
    return std::nullopt;
}

// Replaced whole: a command line reading it never sees a half-written PID.
void writePIDFile(const RuntimePaths& paths) { writeFileDurably(paths.pidFile, std::to_string(::getpid()), 0644); }

void removeFile(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

std::string statusFileText(const EngineState& s, pid_t pid, WallTime now)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char updated[32];
    std::strftime(updated, sizeof updated, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return fmt::format("status={}\nresolution={}\nfps={:.1f}\nbandwidth_mbps={:.2f}\nclients={}\ntotal_frames={}\n"
                       "adb={}\njitter_ms={:.1f}\nrtt_avg_ms={:.1f}\nrtt_p95_ms={:.1f}\npid={}\nupdated={}",
        s.status.label(), s.resolution.rawValue(), s.stats.fps, s.stats.bandwidthMBps, s.stats.clientCount,
        s.stats.totalFrames, s.adbServerAnswering ? "true" : "false", s.stats.jitterMs, s.stats.rttMs, s.stats.rttP95Ms, pid, updated);
}

void writeStatusFile(const RuntimePaths& paths, const EngineState& state)
{
    writeFileDurably(paths.statusFile, statusFileText(state, ::getpid(), wallNow()), 0644);
}

// ---------------------------------------------------------------------------
// Usage and argument checking

namespace {

int commandOpen(const Context& context, std::ostream& out);
int commandHelpFor(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// What a command of this program alone is given.
struct LocalCall {
    const Context& context;
    const std::vector<std::string>& args; // the words after the command
    std::ostream& out;
    std::ostream& err;
};

// A command of this program alone: it never reaches the daemon.
struct LocalCommand {
    CommandEntry command;
    int (*run)(const LocalCall& call);
};

const std::vector<LocalCommand>& localCommands()
{
    using K = ArgumentKind;
    using Call = const LocalCall&;
    static const std::vector<LocalCommand> table = {
        {{"doctor", "", "Check what mirroring needs on this computer (adb, desktop, ports)"},
            [](Call c) { return commandDoctor(c.context.program, c.out); }},
        {{"open", "", "Open the control page in the browser, starting the daemon first when none runs", K::none, {},
             "What the menu entry runs: a daemon that is not running is started as the user\n"
             "service when one is installed, else in the background; then the control page\n"
             "(http://localhost:8891/) opens in the default browser."},
            [](Call c) { return commandOpen(c.context, c.out); }},
        {{"install-service", "[--force]",
             "Write the systemd user unit (then: systemctl --user enable --now quillbright)", K::choice,
             {"--force"},
             "Writes ~/.config/systemd/user/quillbright.service. When a package installed its\n"
             "own unit, it refuses unless given --force (the user's unit would hide it)."},
            [](Call c) { return commandInstallService(c.args, c.out); }},
        {{"remove-service", "", "Remove the systemd user unit"}, [](Call c) { return commandRemoveService(c.out); }},
        {{"pair", "HOST:PORT CODE [--connect PORT]", "Pair and connect an Android 11+ device for Wi-Fi mode (its\n"
                                                     "wireless-debugging pairing code)",
             K::words},
            [](Call c) { return commandPair(c.args, c.out, c.err); }},
        {{"hotkeys", "[install|remove]",
             "Add or remove the front-light keys as GNOME shortcuts or sway bindings (KDE: say what to add);\n"
             "alone: show them",
             K::choice, {"install", "remove"}},
            [](Call c) { return commandHotkeys(c.args, c.out); }},
        {{"version", "", "Print the version"}, [](Call c) { return commandVersion(c.out); }},
        {{"completion", "", "Print the bash completion script (the package installs it)"},
            [](Call c) {
                c.out << bashCompletion();
                return 0;
            }},
        {{"help", "[command]", "Print this help, or one command's", K::word},
            [](Call c) { return commandHelpFor(c.args, c.out, c.err); }},
    };
    return table;
}

} // namespace

const std::vector<CommandEntry>& commandTable()
{
    static const std::vector<CommandEntry> table = [] {
        std::vector<CommandEntry> entries;
        for (const auto& verb : controlVerbs()) entries.push_back(verb.command);
        for (const auto& local : localCommands()) entries.push_back(local.command);
        return entries;
    }();
    return table;
}

const CommandEntry* findCommand(std::string_view name)
{
    for (const auto& entry : commandTable()) {
        if (entry.name == name) return &entry;
    }
    return nullptr;
}

namespace {

bool isValue(const CommandEntry& entry, const std::string& word)
{
    const std::string lower = lowercased(word);
    const auto same = [&](std::string_view v) { return lowercased(v) == lower; };
    return std::any_of(entry.values.begin(), entry.values.end(), same)
        || std::any_of(entry.aliases.begin(), entry.aliases.end(), same);
}

// "on or off", "on, off, or toggle".
std::string alternatives(const std::vector<std::string_view>& values)
{
    std::string text;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += values.size() == 2 ? " or " : (i + 1 == values.size() ? ", or " : ", ");
        text += values[i];
    }
    return text;
}

} // namespace

std::optional<Refusal> checkArguments(const CommandEntry& entry, const std::vector<std::string>& args)
{
    const std::string name(entry.name);
    const auto usage = [](std::string message) { return Refusal{std::move(message), false}; };
    const auto badValue = [](std::string message) { return Refusal{std::move(message), true}; };
    if (entry.kind == ArgumentKind::words) return std::nullopt;
    if (entry.kind == ArgumentKind::none) {
        if (args.empty()) return std::nullopt;
        return usage(fmt::format("ERROR: {} takes no argument (got {})", name, args.front()));
    }
    if (args.size() > 1) return usage(fmt::format("ERROR: {} takes one argument (got {})", name, joinedFrom(args, 0)));
    if (args.empty()) return std::nullopt;
    const std::string& word = args.front();
    switch (entry.kind) {
    case ArgumentKind::choice:
        if (isValue(entry, word)) return std::nullopt;
        return usage(fmt::format("ERROR: {} argument must be {}", name, alternatives(entry.values)));
    case ArgumentKind::value:
        if (isValue(entry, word)) return std::nullopt;
        return badValue(fmt::format("ERROR: {} argument must be {}", name, alternatives(entry.values)));
    case ArgumentKind::byteOrStep: {
        const auto value = parseDecimalInteger(word);
        if ((value && *value >= 0 && *value <= 255) || isValue(entry, word)) return std::nullopt;
        return badValue(fmt::format("ERROR: {} value must be 0-255", name));
    }
    case ArgumentKind::setting:
        if (!word.starts_with("--")) return std::nullopt;
        return usage(fmt::format("ERROR: unknown {} argument: {}", name, word));
    case ArgumentKind::word:
        if (!word.empty() && !word.starts_with('-')) return std::nullopt;
        return usage(fmt::format("ERROR: unknown {} argument: {}", name, word));
    case ArgumentKind::none:
    case ArgumentKind::words: break;
    }
    return std::nullopt;
}

std::string commandUsage(const CommandEntry& entry)
{
    return fmt::format("Usage: quillbright {}{}{}\n", entry.name, entry.arguments.empty() ? "" : " ", entry.arguments);
}

std::string commandHelp(const CommandEntry& entry)
{
    std::string text = commandUsage(entry) + "\n";
    const auto indented = [&text](std::string_view body) {
        std::istringstream lines{std::string(body)};
        for (std::string line; std::getline(lines, line);) text += "  " + line + "\n";
    };
    indented(entry.help);
    if (!entry.variant.empty()) indented(std::string(entry.variant) + ": " + std::string(entry.variantHelp));
    if (!entry.details.empty()) {
        text += "\n";
        indented(entry.details);
    }
    return text;
}

std::string usageText()
{
    std::string text = fmt::format("QuillBright v{} -- CLI\n\nUsage: quillbright <command>\n\nCommands:\n",
        MirrorEngine::appVersion);
    const auto row = [&text](std::string head, std::string_view help) {
        head.resize(std::max<std::size_t>(head.size() + 1, 25), ' ');
        std::istringstream lines{std::string(help)};
        std::string line;
        std::getline(lines, line);
        text += "  " + head + line + "\n";
        while (std::getline(lines, line)) text += std::string(29, ' ') + line + "\n";
    };
    for (const auto& entry : commandTable()) {
        const std::string name(entry.name);
        // A command with a form of its own shows each form on its line.
        if (!entry.variant.empty()) {
            row(name, entry.help);
            row(name + " " + std::string(entry.variant), entry.variantHelp);
            continue;
        }
        row(name + (entry.arguments.empty() ? "" : " ") + std::string(entry.arguments), entry.help);
    }
    return text
        + "\n"
          "The `start` command keeps the process alive. Stop it with Ctrl+C or `quillbright stop`.\n"
          "Control commands work with the daemon however it was started (terminal or user service).\n"
          "`quillbright <command> --help` explains one command.\n";
}

std::string bashCompletion()
{
    std::string names;
    std::string cases;
    for (const auto& entry : commandTable()) {
        names += (names.empty() ? "" : " ") + std::string(entry.name);
        std::string words = entry.name == "help" ? std::string() : "--help";
        for (const auto value : entry.values) words += (words.empty() ? "" : " ") + std::string(value);
        cases += fmt::format("    {}) words=\"{}\" ;;\n", entry.name, entry.name == "help" ? "$commands" : words);
    }
    return fmt::format(R"(# bash completion for quillbright, written by `quillbright completion` from its command table
_quillbright()
{{
    local commands="{}"
    local cur=${{COMP_WORDS[COMP_CWORD]}}
    local words=""
    if [ "$COMP_CWORD" -eq 1 ]; then
        words=$commands
    elif [ "$COMP_CWORD" -eq 2 ] || [ "${{COMP_WORDS[1]}}" = logs ]; then
        case ${{COMP_WORDS[1]}} in
{}        esac
    fi
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}}
complete -F _quillbright quillbright
)",
        names, cases);
}

// ---------------------------------------------------------------------------
// Client commands

int commandStop(const Context& context, std::ostream& out)
{
    if (exists(context.paths.controlSocket)) {
        if (auto reply = sendControlCommand(context.paths.controlSocket, request(ControlVerb::stop), context.timing.controlTimeout)) {
            out << *reply << "\n";
            return beginsWithOK(*reply) ? 0 : 1;
        }
    }
    const auto pid = readRunningPID(context.paths, context.executable);
    if (!pid) {
        out << "QuillBright is not running.\n";
        return 0;
    }
    out << "Stopping QuillBright (PID " << *pid << ")...\n" << std::flush;
    ::kill(*pid, SIGTERM);
    for (int probe = 0; probe < context.timing.stopProbes; ++probe) {
        std::this_thread::sleep_for(context.timing.stopProbeInterval);
        if (::kill(*pid, 0) != 0) {
            out << "Stopped.\n";
            return 0;
        }
    }
    out << "Process did not exit within 5 seconds. You may need to `kill -9 " << *pid << "`.\n";
    return 1;
}

int commandStatus(const Context& context, std::ostream& out)
{
    if (exists(context.paths.controlSocket)) {
        if (auto reply = sendControlCommand(context.paths.controlSocket, request(ControlVerb::status), context.timing.controlTimeout)) {
            std::string state = *reply;
            for (auto at = state.find("OK "); at != std::string::npos; at = state.find("OK ", at)) {
                state.erase(at, 3);
            }
            out << "running=" << (state == "idle" ? "false" : "true") << "\n"
                << "status=" << state << "\n";
            // The live settings, as `health` shows them.
            std::vector<std::string> shown;
            const auto health
                = sendControlCommand(context.paths.controlSocket, request(ControlVerb::health), context.timing.controlTimeout);
            for (const auto& line : nonEmptyLines(health.value_or(""))) {
                const std::string key = line.substr(0, line.find('='));
                if (!isSettingKey(key)) continue;
                out << line << "\n";
                shown.push_back(key + "=");
            }
            // The file's other keys follow; its own status= may be seconds old.
            if (auto content = readFile(context.paths.statusFile)) {
                std::istringstream lines(*content);
                for (std::string line; std::getline(lines, line);) {
                    const bool live = line.starts_with("status=")
                        || std::any_of(
                            shown.begin(), shown.end(), [&](const std::string& k) { return line.starts_with(k); });
                    if (!line.empty() && !live) out << line << "\n";
                }
            }
            return 0;
        }
    }
    const auto pid = readRunningPID(context.paths, context.executable);
    if (!pid) {
        out << "status=idle\nrunning=false\n";
        // The settings the next start uses.
        SettingsStore settings(context.settingsFile);
        for (const auto& line : settingsLines(SettingsFileTarget(settings).state())) out << line << "\n";
        return 0;
    }
    out << "running=true\n";
    if (auto content = readFile(context.paths.statusFile)) {
        out << *content << "\n";
    } else {
        out << "status=starting\npid=" << *pid << "\n";
    }
    return 0;
}

// One step of the front light, the size of the display controller's hotkey
// steps (the GNOME shortcuts run these): the current value is read, the
// stepped one set.
int commandStep(const Context& context, bool brightness, bool up, std::ostream& out)
{
    const ControlVerb verb = brightness ? ControlVerb::brightness : ControlVerb::warmth;
    int status = 1;
    const auto reply = diagnosticsReply(context, request(verb), out, status);
    if (!reply) return status;
    const auto current = parseDecimalInteger(trimmed(reply->substr(std::min<std::size_t>(reply->size(), 3))));
    if (!beginsWithOK(*reply) || !current) {
        out << "ERROR: unexpected reply: " << *reply << "\n";
        return 1;
    }
    int next = 0;
    if (brightness) {
        const double position
            = std::sqrt(double(std::clamp<long long>(*current, 0, 255)) / 255.0) + (up ? 0.05 : -0.05);
        next = DisplayController::brightnessFromSliderPos(std::clamp(position, 0.0, 1.0));
    } else {
        next = int(std::clamp<long long>(*current + (up ? 20 : -20), 0, 255));
    }
    return runControlCommand(context, request(verb, std::to_string(next)), out);
}

int commandReconnect(const Context& context, std::ostream& out)
{
    if (exists(context.paths.controlSocket)) {
        if (auto reply = sendControlCommand(context.paths.controlSocket, request(ControlVerb::reconnect), context.timing.controlTimeout)) {
            out << *reply << "\n";
            return beginsWithOK(*reply) ? 0 : 1;
        }
    }
    const auto pid = readRunningPID(context.paths, context.executable);
    if (!pid) {
        out << "ERROR: QuillBright is not running.\nStart it first with: " << context.program << " start\n";
        return 1;
    }
    out << "Sending reconnect signal to PID " << *pid << "...\n";
    ::kill(*pid, SIGUSR1);
    out << "Reconnect triggered.\n";
    return 0;
}

std::string formatHealth(const std::string& reply, bool verbose)
{
    std::string text = std::string("QuillBright — Health") + (verbose ? " (verbose)" : "") + "\n"
        + std::string(24, '=') + "\n";
    const auto lines = nonEmptyLines(reply);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() >= 3 && line.rfind("---", 0) == 0 && line.compare(line.size() - 3, 3, "---") == 0) {
            std::string name = line;
            std::erase(name, '-');
            text += "\n  [" + name + "]\n";
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == line.size()) continue;
        std::string key = line.substr(0, equals);
        std::replace(key.begin(), key.end(), '_', ' ');
        key.resize(28, ' ');
        text += "  " + key + " " + line.substr(equals + 1) + "\n";
    }
    return text;
}

std::string formatLatency(const std::string& reply, bool watch)
{
    std::map<std::string, std::string> values;
    const auto lines = nonEmptyLines(reply);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto equals = lines[i].find('=');
        if (equals == std::string::npos) continue;
        values[lines[i].substr(0, equals)] = lines[i].substr(equals + 1);
    }
    auto value = [&](const std::string& key, const char* fallback) {
        const auto it = values.find(key);
        return it == values.end() ? std::string(fallback) : it->second;
    };
    const std::string rtt = value("rtt_avg_ms", "?");
    std::string text = watch ? "\x1b[2J\x1b[H" : "";
    text += "QuillBright — Latency Diagnostics\n" + std::string(38, '=') + "\n";
    text += "FPS:              " + value("fps", "?") + "\n";
    text += "Clients:          " + value("clients", "?") + "\n";
    text += "Total frames:     " + value("total_frames", "?") + "\n";
    text += "Skipped frames:   " + value("skipped_frames", "0") + "\n\n";
    text += "Host processing:\n";
    text += "  Greyscale:      " + value("grey_ms", "?") + " ms\n";
    text += "  LZ4 compress:   " + value("compress_ms", "?") + " ms\n";
    // On a still screen frames come seconds apart: their spacing is no jitter.
    double fps = 0;
    const std::string fpsText = value("fps", "?");
    const auto [fpsEnd, fpsError] = std::from_chars(fpsText.data(), fpsText.data() + fpsText.size(), fps);
    const bool still = fpsError == std::errc() && fpsEnd == fpsText.data() + fpsText.size() && fps < 1.0;
    text += "  Jitter:         " + (still ? std::string("no frames (the screen is still)") : value("jitter_ms", "?") + " ms")
        + "\n\n";
    text += "Round-trip (host → tablet → host):\n";
    text += "  Average:        " + rtt + " ms\n";
    text += "  P95:            " + value("rtt_p95_ms", "?") + " ms\n\n";
    if (values.contains("pen_pressure")) {
        text += "Pen (last values from the tablet page):\n";
        text += "  Pressure:       " + value("pen_pressure", "?") + "\n";
        text += "  Tilt x,y:       " + value("pen_tilt", "?") + " degrees\n";
        text += "  Tool:           " + value("pen_tool", "?") + (value("pen_contact", "no") == "yes" ? ", touching" : "")
            + (value("pen_barrel", "no") == "yes" ? ", barrel button" : "") + "\n\n";
    }
    if (rtt == "?" || rtt == "0.0") {
        text += "(Waiting for ACKs from Daylight — is the Android app updated?)\n";
    } else {
        double parsed = 0;
        const auto [end, ec] = std::from_chars(rtt.data(), rtt.data() + rtt.size(), parsed);
        if (ec == std::errc() && end == rtt.data() + rtt.size()) {
            text += fmt::format("  Est. one-way:     ~{:.1f} ms\n", parsed / 2);
        }
    }
    return text;
}

int commandHealth(const Context& context, const std::vector<std::string>& args, std::ostream& out)
{
    const bool verbose = !args.empty() && lowercased(args[0]) == "verbose";
    int status = 0;
    const auto reply = diagnosticsReply(context, request(ControlVerb::health, verbose ? std::optional<std::string>("verbose") : std::nullopt), out, status);
    if (reply) out << formatHealth(*reply, verbose);
    return status;
}

int commandLogs(const Context& context, const std::vector<std::string>& args, std::ostream& out)
{
    int status = 0;
    const auto reply = diagnosticsReply(context, request(ControlVerb::logs, args.empty() ? std::nullopt : std::optional(joinedFrom(args, 0))), out, status);
    if (reply) out << (reply->rfind("OK\n", 0) == 0 ? reply->substr(3) : *reply) << "\n";
    return status;
}

int commandReport(const Context& context, std::ostream& out)
{
    int status = 0;
    const auto reply = diagnosticsReply(context, request(ControlVerb::report), out, status);
    if (reply) out << (reply->rfind("OK\n", 0) == 0 ? reply->substr(3) : *reply) << "\n";
    return status;
}

int commandLatency(const Context& context, const std::vector<std::string>& args, std::ostream& out)
{
    const bool watch
        = std::any_of(args.begin(), args.end(), [](const std::string& a) { return a == "--watch" || a == "-w"; });
    for (;;) {
        int status = 0;
        const auto reply = diagnosticsReply(context, request(ControlVerb::latency), out, status);
        if (!reply) return status;
        out << formatLatency(*reply, watch) << std::flush;
        if (!watch) return 0;
        std::this_thread::sleep_for(context.timing.latencyWatchInterval);
    }
}

// `quillbright tablet`: over USB the page's address; in Wi-Fi mode the LAN
// address, a pairing code and the address as a QR code.
int commandTablet(const Context& context, const std::optional<std::string>& argument, std::ostream& out)
{
    if (argument == "--browser") return runControlCommand(context, request(ControlVerb::tablet, "BROWSER"), out);
    if (argument == "--forget") {
        if (exists(context.paths.controlSocket)) return runControlCommand(context, request(ControlVerb::tablet, "FORGET"), out);
        // Not running: the daemon reads the list afresh when it starts.
        TabletPairing pairing(TabletPairing::defaultPath());
        if (!pairing.forgetAll()) {
            out << "ERROR: could not rewrite " << pairing.path().string() << "\n";
            return 1;
        }
        out << "OK forgot every paired tablet page\n";
        return 0;
    }
    const auto reply = exists(context.paths.controlSocket)
        ? sendControlCommand(context.paths.controlSocket, request(ControlVerb::tablet, "PAIR"), context.timing.controlTimeout)
        : std::nullopt;
    const auto abilities = [&out] {
        out << "\nOn the page:\n";
        for (const auto ability : TABLET_PAGE_ABILITIES) out << "  " << ability << "\n";
    };
    if (!reply || !beginsWithOK(*reply)) {
        out << "Open http://localhost:" << HTTP_PREVIEW_PORT << "/tablet in the tablet's browser\n"
            << "(over USB: adb reverse tcp:" << DEVICE_PAGE_PORT << " tcp:" << HTTP_PREVIEW_PORT
            << ", or `" << context.program << " tablet --browser`)\n";
        abilities();
        return 0;
    }
    std::map<std::string, std::string> values;
    for (const auto& line : nonEmptyLines(*reply)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    const std::string address = values["address"];
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    const std::string url = fmt::format("http://{}:{}/tablet", host, HTTP_PREVIEW_PORT);
    if (address.empty()) {
        out << "Open http://<this computer's LAN address>:" << HTTP_PREVIEW_PORT << "/tablet in the tablet's browser\n"
            << "(no LAN address found: start the daemon with " << LAN_INTERFACE_VARIABLE
            << "=<interface>, one that `ip -brief address` lists with the address tablets reach)\n";
    } else {
        out << "Open " << url << " in the tablet's browser\n\n" << terminalQRCode(url, context.terminal) << "\n";
    }
    out << "Pairing code: " << values["code"] << " (once, within " << values["minutes"]
        << " minutes; the page keeps its pairing)\n";
    abilities();
    return 0;
}

namespace {

// `quillbright open`: what the menu entry runs.
int commandOpen(const Context& context, std::ostream& out)
{
    const auto answering = [&] {
        return exists(context.paths.controlSocket)
            && sendControlCommand(context.paths.controlSocket, request(ControlVerb::status), context.timing.controlTimeout).has_value();
    };
    if (!answering()) {
        std::error_code error;
        const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
        out << "Starting the QuillBright daemon...\n" << std::flush;
        ProcessOptions start;
        start.executable = "/bin/sh";
        start.arguments = {"-c",
            "systemctl --user start quillbright.service 2>/dev/null || "
            "{ setsid \"$0\" start </dev/null >/dev/null 2>&1 & }",
            error ? std::string("quillbright") : self.string()};
        runProcess(start, 30, "start the daemon");
        bool up = false;
        for (int attempt = 0; attempt < 50 && !(up = answering()); ++attempt) {
            std::this_thread::sleep_for(context.timing.guiRetryInterval / 2);
        }
        if (!up) {
            out << "ERROR: the daemon did not start; run `" << context.program << " start` in a terminal to see why.\n";
            return 1;
        }
    }
    const std::string page = fmt::format("http://localhost:{}/", HTTP_PREVIEW_PORT);
    ProcessOptions browser;
    browser.executable = "/bin/sh";
    browser.arguments = {"-c", "exec xdg-open \"$0\"", page};
    if (runProcess(browser, 30, "xdg-open").exitStatus.value_or(-1) != 0) {
        out << "Open " << page << " in your browser (xdg-open could not).\n";
        return 1;
    }
    out << "Opened " << page << "\n";
    return 0;
}

// `quillbright help [command]`.
int commandHelpFor(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        out << usageText();
        return 0;
    }
    if (const CommandEntry* about = findCommand(args.front())) {
        out << commandHelp(*about);
        return 0;
    }
    err << "Unknown command: " << args.front() << "\n\n" << usageText();
    return 2;
}

} // namespace

// ---------------------------------------------------------------------------
// start (client side) and dispatch

std::optional<int> startAsClient(const Context& context, std::ostream& out)
{
    auto startThroughSocket = [&]() -> std::optional<int> {
        if (!exists(context.paths.controlSocket)) return std::nullopt;
        auto reply = sendControlCommand(context.paths.controlSocket, request(ControlVerb::start), context.timing.controlTimeout);
        if (!reply) return std::nullopt;
        out << *reply << "\n";
        if (beginsWithOK(*reply)) return 0;
        // The refusal came from a daemon that runs: no second one is started.
        out << "(A QuillBright daemon is already running and answered this; `" << context.program
            << " status` shows what it does.)\n";
        return 1;
    };
    if (auto status = startThroughSocket()) return status;

    if (const auto pid = readRunningPID(context.paths, context.executable)) {
        out << "ERROR: QuillBright CLI is already running (PID " << *pid << ")\n"
            << "Run `" << context.program << " stop` first, or `" << context.program << " status` for details.\n";
        return 1;
    }

    ProcessOptions lookup;
    lookup.executable = context.pgrep;
    lookup.arguments = {"-x", context.guiProcessName};
    const ProcessResult found = runProcess(lookup, 5, "pgrep");
    std::vector<long long> pids;
    for (const auto& line : nonEmptyLines(found.standardOutput)) {
        if (auto pid = parseDecimalInteger(line); pid && *pid != ::getpid()) pids.push_back(*pid);
    }
    if (pids.empty()) return std::nullopt;

    out << "QuillBright GUI is running (PID " << pids.front() << ") — waiting for control socket...\n" << std::flush;
    for (int attempt = 0; attempt < context.timing.guiAttempts; ++attempt) {
        if (auto status = startThroughSocket()) return status;
        std::this_thread::sleep_for(context.timing.guiRetryInterval);
    }
    out << "ERROR: GUI is running but control socket not responding. Try restarting the app.\n";
    return 1;
}

int run(const std::vector<std::string>& args, const Context& context, std::ostream& out, std::ostream& err,
    const std::function<int()>& runDaemon)
{
    auto start = [&] {
        if (auto status = startAsClient(context, out)) return *status;
        return runDaemon();
    };
    if (args.size() < 2) {
        out << usageText() << "\nNo command specified. Starting mirror...\n\n" << std::flush;
        return start();
    }
    const std::string& command = args[1];
    const std::vector<std::string> rest(args.begin() + 2, args.end());
    const std::optional<std::string> argument = rest.empty() ? std::nullopt : std::optional<std::string>(rest[0]);

    if (command == "-h" || command == "--help") {
        out << usageText();
        return 0;
    }
    if (command == "--version") return commandVersion(out);
    const CommandEntry* entry = findCommand(command);
    if (entry == nullptr) {
        err << "Unknown command: " << command << "\n\n" << usageText();
        return 2;
    }
    if (rest.size() == 1 && (rest[0] == "--help" || rest[0] == "-h")) {
        out << commandHelp(*entry);
        return 0;
    }
    if (const auto refusal = checkArguments(*entry, rest)) {
        // A value out of range is the command's answer; words it does not
        // take are a usage error.
        if (refusal->badValue) {
            out << refusal->message << "\n";
            return 1;
        }
        err << refusal->message << "\n" << commandUsage(*entry);
        return 2;
    }

    if (const ControlVerbEntry* verb = controlVerbForCommand(command)) {
        // The commands that do more than send their request and print the reply.
        switch (verb->verb) {
        case ControlVerb::start: return start();
        case ControlVerb::stop: return commandStop(context, out);
        case ControlVerb::status: return commandStatus(context, out);
        case ControlVerb::reconnect: return commandReconnect(context, out);
        case ControlVerb::health: return commandHealth(context, rest, out);
        case ControlVerb::logs: return commandLogs(context, rest, out);
        case ControlVerb::report: return commandReport(context, out);
        case ControlVerb::latency: return commandLatency(context, rest, out);
        case ControlVerb::tablet: return commandTablet(context, argument, out);
        case ControlVerb::brightness:
        case ControlVerb::warmth:
            if (argument && (lowercased(*argument) == "up" || lowercased(*argument) == "down")) {
                return commandStep(context, verb->verb == ControlVerb::brightness, lowercased(*argument) == "up", out);
            }
            break;
        default: break;
        }
        return runControlCommand(context, request(verb->verb, argument), out);
    }
    for (const auto& local : localCommands()) {
        if (local.command.name == command) return local.run({context, rest, out, err});
    }
    err << "Unknown command: " << command << "\n\n" << usageText();
    return 2;
}

} // namespace qb::cli
