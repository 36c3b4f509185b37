// The quillbright command line, apart from the daemon itself (Daemon.h):
// argument checking, the control-socket client, the PID and status files,
// and every client command. A command returns the process's exit status and
// prints to the stream it is given, so tests run commands in-process.
//
// Every client command asks the control socket first and falls back to the
// PID file (signals) when no instance answers there.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

#include "config/ControlVerbs.h"
#include "config/EngineState.h"
#include "core/RuntimePaths.h"
#include "platform/ProcessIdentity.h"
#include "platform/UserFolders.h"
#include "runtime/Clock.h"
#include "runtime/SettingsStore.h"

namespace qb::cli {

struct ClientTiming {
    // The whole control exchange (connect, send, reply). A hung instance
    // must not hang the command line.
    std::chrono::milliseconds controlTimeout{15000};
    // `stop`: probes of the signalled daemon, and the pause before each.
    int stopProbes = 20;
    std::chrono::milliseconds stopProbeInterval{250};
    // `start` while the menu-bar application runs: socket attempts and pause.
    int guiAttempts = 10;
    std::chrono::milliseconds guiRetryInterval{500};
    // `latency --watch` refresh.
    std::chrono::milliseconds latencyWatchInterval{2000};
};

struct Context {
    RuntimePaths paths = RuntimePaths::current();
    ClientTiming timing;
    // The process lookup for the menu-bar application.
    std::string pgrep = "/usr/bin/pgrep";
    std::string guiProcessName = "QuillBright";
    // This program as the user runs it, for the commands hints name
    // (platform/ProgramPath.h).
    std::string program = "quillbright";
    // Standard output is a terminal: colours (the QR code's) may be written.
    bool terminal = ::isatty(STDOUT_FILENO) == 1;
    // The settings file the settings commands use while no daemon runs.
    std::filesystem::path settingsFile = UserFolders::current().settingsFile();
    // The program a running daemon runs: a PID is signalled only while its
    // process runs this, so a stale PID file never hits an unrelated one.
    std::string executable = thisExecutable();
};

// Replies longer than this are cut (a report is a few kilobytes).
inline constexpr std::size_t MAX_CONTROL_REPLY_BYTES = 1u << 20;

// One request/reply exchange: the command and a line feed, then everything
// the instance sends until it closes the connection (at most
// MAX_CONTROL_REPLY_BYTES), trimmed. Nothing when the socket cannot be
// reached, nothing arrives before `timeout`, or the path does not fit a
// socket address.
std::optional<std::string> sendControlCommand(const std::string& socketPath, const std::string& command,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));

// The standard client action: send, print the reply, 0 when it begins "OK".
// With no daemon, a settings command is answered from the settings file.
int runControlCommand(const Context& context, const std::string& command, std::ostream& out);

// The PID of a live daemon from the PID file: a process that runs
// `executable`. A file naming a process that is gone, or that runs anything
// else (its PID was taken over), is removed together with the status file.
// Only positive PIDs count (0 and negative values would address process
// groups).
std::optional<pid_t> readRunningPID(const RuntimePaths& paths, const std::string& executable = thisExecutable());

void writePIDFile(const RuntimePaths& paths);
// Deletes a file; errors are ignored.
void removeFile(const std::string& path);

// The status file: twelve key=value lines of the engine's state (adb=:
// whether adb's server answers, tablet or not), no
// trailing line feed; `updated` is the UTC date-time to the second
// ("2026-12-06T10:08:54Z").
std::string statusFileText(const EngineState& state, pid_t pid, WallTime now);
void writeStatusFile(const RuntimePaths& paths, const EngineState& state);

// The commands: the control verbs' (config/ControlVerbs.h), then those of
// this program alone (doctor, pair, ...). The help, the argument checking,
// the per-command help and the shell completion all come from it.
const std::vector<CommandEntry>& commandTable();
const CommandEntry* findCommand(std::string_view name);

// Why `args` (the words after the command) do not suit `entry`: a bad value
// (the command's answer: standard output, exit 1) or words it does not take
// (a usage error: standard error with the usage, exit 2).
struct Refusal {
    std::string message;
    bool badValue = false;
};
std::optional<Refusal> checkArguments(const CommandEntry& entry, const std::vector<std::string>& args);

// "Usage: quillbright <name> <arguments>" and the help line.
std::string commandUsage(const CommandEntry& entry);
std::string commandHelp(const CommandEntry& entry);
std::string usageText();
// The bash completion script: commands, then each command's values.
std::string bashCompletion();

int commandStop(const Context& context, std::ostream& out);
int commandStatus(const Context& context, std::ostream& out);
int commandReconnect(const Context& context, std::ostream& out);
// `health`, `logs`, `report`, `latency`: `args` are the words after the command.
int commandHealth(const Context& context, const std::vector<std::string>& args, std::ostream& out);
int commandLogs(const Context& context, const std::vector<std::string>& args, std::ostream& out);
int commandReport(const Context& context, std::ostream& out);
int commandLatency(const Context& context, const std::vector<std::string>& args, std::ostream& out);

// Pure formatting of the diagnostics replies.
std::string formatHealth(const std::string& reply, bool verbose);
std::string formatLatency(const std::string& reply, bool watch);

// `start` before this process becomes the daemon: an instance answering on
// the socket, a daemon named by the PID file, or the menu-bar application
// decide the outcome (an exit status); nothing means "become the daemon".
std::optional<int> startAsClient(const Context& context, std::ostream& out);

// Dispatches argv. A command with unknown or extra arguments prints why and
// its usage on `err` and returns 2. `runDaemon` is called for `start` when
// this process must become the daemon (and with no command at all); its
// result is returned.
int run(const std::vector<std::string>& args, const Context& context, std::ostream& out, std::ostream& err,
    const std::function<int()>& runDaemon);

} // namespace qb::cli
