#include "cli/CommandLine.h"

#include <csignal>
#include <filesystem>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "runtime/Process.h"
#include "support/ScriptedServer.h"
#include "support/TestSupport.h"

namespace qb::cli {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

// A private runtime directory per test, with short waits.
struct RuntimeDir : test::TempDir {
    RuntimeDir() : TempDir("qb-cli")
    {
        context.paths = RuntimePaths::inDirectory(path().string());
        context.timing.controlTimeout = 2000ms;
        context.timing.stopProbeInterval = 20ms;
        context.timing.guiRetryInterval = 1ms;
        context.pgrep = "/nonexistent/pgrep";
        context.settingsFile = path() / "settings.json";
    }

    Context context;
};

// A control socket that answers each connection with a scripted reply (or
// never answers) and records the requests.
struct FakeControlSocket : test::ScriptedServer {
    FakeControlSocket(const std::string& path, std::string reply, bool hang = false)
        : ScriptedServer(unixListener(path), std::move(reply), hang)
    {
    }
};

// `quillbright <words>`: the exit status; what went to standard output and
// to standard error.
int runArgs(const Context& context, std::vector<std::string> words, std::string& output, bool* daemonStarted = nullptr,
    std::string* errors = nullptr)
{
    words.insert(words.begin(), "quillbright");
    std::ostringstream out;
    std::ostringstream err;
    const int status = run(words, context, out, err, [&] {
        if (daemonStarted) *daemonStarted = true;
        return 42;
    });
    output = out.str();
    if (errors) *errors = err.str();
    return status;
}

// A process id that certainly names no live process: a child that has exited
// and been reaped.
pid_t deadPid()
{
    ProcessOptions options;
    options.executable = "/bin/true";
    auto process = Process::launch(options);
    process->waitUntilExit();
    return process->pid();
}

// Every command's words are checked against the command table before
// anything is sent or started: what is sent for good words; a value out of
// range is the command's answer (standard output, exit 1); words a command
// does not take are a usage error (standard error with the usage, exit 2).
// Values the daemon checks are sent as typed, and its ERR line is the answer.
TEST(CommandLineTest, TheCommandTableChecksEveryCommandsArguments)
{
    RuntimeDir dir;
    const test::ScopedEnv home("HOME", dir.path().string());
    const test::ScopedEnv config("XDG_CONFIG_HOME", dir.path().string());
    FakeControlSocket server(dir.context.paths.controlSocket, "OK x\n");
    struct Case {
        std::vector<std::string> words;
        std::string sent = {}; // the request; empty: none
        int status = 0;    // 1: a bad value on standard output; 2: usage on standard error
        std::string shown = {}; // the start of what was printed when nothing was sent
    };
    const std::vector<Case> cases = {
        {{"brightness", "+7"}, "BRIGHTNESS 7"},
        {{"brightness"}, "BRIGHTNESS"},
        {{"brightness", "256"}, "", 1, "ERROR: brightness value must be 0-255\n"},
        {{"brightness", "7x"}, "", 1, "ERROR: brightness value must be 0-255\n"},
        {{"warmth", "-1"}, "", 1, "ERROR: warmth value must be 0-255\n"},
        {{"backlight", "Toggle"}, "BACKLIGHT toggle"},
        {{"backlight", "dim"}, "", 1, "ERROR: backlight argument must be on, off, or toggle\n"},
        {{"clamshell", "Enable"}, "CLAMSHELL enable"},
        {{"clamshell", "maybe"}, "", 1, "ERROR: clamshell argument must be on or off\n"},
        {{"fontsmoothing", "OFF"}, "FONTSMOOTHING off"},
        {{"fontsmoothing", "x"}, "FONTSMOOTHING x"}, // the daemon's "ERR use on or off"
        {{"resolution", "Sharp"}, "RESOLUTION Sharp"}, // the daemon knows which presets apply
        {{"contrast", "9"}, "CONTRAST 9"},             // the range is the daemon's
        {{"contrast", "abc"}, "CONTRAST abc"},
        {{"mode", "Sideways"}, "DISPLAYMODE sideways"},
        {{"restart"}, "RESTART"},
        {{"brightness", "1", "2"}, "", 2, "ERROR: brightness takes one argument (got 1 2)\nUsage: quillbright brightness "},
        {{"resolution", "--bogus"}, "", 2, "ERROR: unknown resolution argument: --bogus"},
        {{"start", "--bogus"}, "", 2, "ERROR: start takes no argument (got --bogus)\nUsage: quillbright start\n"},
        {{"install-service", "--user"}, "", 2, "ERROR: install-service argument must be --force"},
        {{"hotkeys", "add"}, "", 2, "ERROR: hotkeys argument must be install or remove"},
        {{"health", "all"}, "", 2, "ERROR: health argument must be verbose"},
        {{"latency", "--bogus"}, "", 2, "ERROR: latency argument must be --watch or -w"},
        {{"Start"}, "", 2, "Unknown command: Start\n\nQuillBright v2.4.4 -- CLI\n"}, // case-sensitive
    };
    for (const auto& c : cases) {
        std::string out;
        std::string err;
        bool daemonStarted = false;
        const std::size_t before = server.requests().size();
        const int status = runArgs(dir.context, c.words, out, &daemonStarted, &err);
        const std::string what = ::testing::PrintToString(c.words);
        EXPECT_EQ(status, c.status) << what << err;
        if (!c.sent.empty()) {
            ASSERT_EQ(server.requests().size(), before + 1) << what;
            EXPECT_EQ(server.requests().back(), c.sent) << what;
        } else {
            EXPECT_EQ((c.status == 1 ? out : err).substr(0, c.shown.size()), c.shown) << what;
            EXPECT_EQ(c.status == 1 ? err : out, "") << what;
            EXPECT_EQ(server.requests().size(), before) << what << ::testing::PrintToString(server.requests());
        }
        EXPECT_FALSE(daemonStarted) << what;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "systemd")) << "a refused install-service wrote a unit";

    // Help: the whole table, and each command's own (never its action).
    std::string out;
    EXPECT_EQ(runArgs(dir.context, {"--help"}, out), 0);
    EXPECT_EQ(out, usageText());
    EXPECT_THAT(out, HasSubstr("QuillBright v2.4.4 -- CLI\n\nUsage: quillbright <command>\n\nCommands:\n  start "));
    EXPECT_THAT(out, Not(HasSubstr("menu bar")));
    for (const auto& entry : commandTable()) {
        EXPECT_THAT(usageText(), HasSubstr("\n  " + std::string(entry.name) + " ")) << entry.name;
        EXPECT_EQ(runArgs(dir.context, {std::string(entry.name), "--help"}, out), 0) << entry.name;
        EXPECT_EQ(out.substr(0, commandUsage(entry).size()), commandUsage(entry)) << entry.name;
    }
    EXPECT_THAT(usageText(), HasSubstr(
        "  report                   Full diagnostic health report (for support)\n"
        "  latency                  Print latency diagnostics (RTT, jitter, processing times)\n"
        "  latency --watch          Continuously poll latency stats every 2 seconds\n"
        "  restart                  Full stop + start cycle\n"));
    runArgs(dir.context, {"resolution", "--help"}, out);
    EXPECT_THAT(out, HasSubstr("cozy = desktop 800x600 at 2x, comfortable = desktop 1024x768 at 1x"));
    EXPECT_THAT(out, HasSubstr("restarts a running mirror"));
    runArgs(dir.context, {"help", "mode"}, out);
    EXPECT_THAT(out, HasSubstr("A change restarts a running mirror. Kept in the\n  settings file."));
    EXPECT_EQ(runArgs(dir.context, {"help", "mode-that-is-not"}, out), 2);
    EXPECT_FALSE(fs::exists(dir.path() / "systemd")) << "install-service --help wrote a unit";
}

// The completion script, run by bash as a user's Tab would.
TEST(CommandLineTest, BashCompletesCommandsAndTheirValues)
{
    RuntimeDir dir;
    const std::string script = (dir.path() / "quillbright.bash").string();
    test::writeFile(script, bashCompletion());
    auto complete = [&](const std::string& line) {
        ProcessOptions options;
        options.executable = "/bin/bash";
        options.arguments = {"-c", ". " + script + "; COMP_WORDS=(" + line + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                "_quillbright; echo \"${COMPREPLY[*]}\""};
        return runProcess(options, 10, "bash").standardOutput;
    };
    EXPECT_EQ(complete("quillbright mo"), "mode\n");
    EXPECT_EQ(complete("quillbright auto"), "automirror autodim autorefresh\n");
    EXPECT_EQ(complete("quillbright mode ''"), "--help mirror extended\n");
    EXPECT_EQ(complete("quillbright profile b"), "balanced\n");
    EXPECT_EQ(complete("quillbright logs error E"), "Engine\n");
    EXPECT_EQ(complete("quillbright mode mirror ''"), "\n");
    EXPECT_EQ(complete("quillbright help remove"), "remove-service\n");
}

TEST(CommandLineTest, ClientCommandsTalkToTheControlSocket)
{
    RuntimeDir dir;
    std::string out;

    // No instance at all: what needs one says so; settings go to the file.
    EXPECT_EQ(runArgs(dir.context, {"brightness", "7"}, out), 1);
    EXPECT_EQ(out, "ERROR: QuillBright is not running.\nStart the mirror first (`quillbright start`, or the user service).\n");
    EXPECT_EQ(runArgs(dir.context, {"mode", "extended"}, out), 0);
    EXPECT_EQ(out, "OK extended (takes effect at the next start)\n");
    EXPECT_EQ(runArgs(dir.context, {"contrast", "abc"}, out), 1);
    EXPECT_EQ(out, "ERR value must be 1.0-2.0 (1.0=off, 1.5=moderate, 2.0=high)\n");
    EXPECT_EQ(runArgs(dir.context, {"fontsmoothing", "x"}, out), 1);
    EXPECT_THAT(out, HasSubstr("ERROR: QuillBright is not running."));
    EXPECT_EQ(runArgs(dir.context, {"status"}, out), 0);
    EXPECT_THAT(out, HasSubstr("status=idle\nrunning=false\nresolution=cozy\ndisplay_mode=extended\n"));

    // A socket file nobody serves.
    test::writeFile(dir.context.paths.controlSocket, "");
    EXPECT_EQ(runArgs(dir.context, {"warmth"}, out), 1);
    EXPECT_THAT(out, HasSubstr("ERROR: Could not connect to control socket."));

    {
        FakeControlSocket server(dir.context.paths.controlSocket, "ERR not running\n");
        EXPECT_EQ(runArgs(dir.context, {"restart"}, out), 1);
        EXPECT_EQ(out, "ERR not running\n");
    }
}

TEST(CommandLineTest, ControlRepliesAreReadWholeAndAHungInstanceTimesOut)
{
    RuntimeDir dir;
    const std::string path = dir.context.paths.controlSocket;
    std::string longReply = "OK\n";
    for (int i = 0; i < 400; ++i) longReply += "line " + std::to_string(i) + " of the report\n";
    ASSERT_GT(longReply.size(), 1023u);
    {
        FakeControlSocket server(path, longReply);
        const auto reply = sendControlCommand(path, "REPORT", 2000ms);
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply + "\n", longReply);
    }
    {
        FakeControlSocket server(path, "", /*hang=*/true);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(sendControlCommand(path, "STATUS", 200ms), std::nullopt);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
    }
    // A path too long for a socket address is refused rather than cut.
    EXPECT_EQ(sendControlCommand(std::string(200, 'x'), "STATUS", 200ms), std::nullopt);
}

TEST(CommandLineTest, PidFilesAreCheckedCleanedUpAndNeverSignalGroups)
{
    RuntimeDir dir;
    const auto& paths = dir.context.paths;
    std::string out;

    test::writeFile(paths.pidFile, std::to_string(deadPid()));
    test::writeFile(paths.statusFile, "status=running");
    EXPECT_EQ(runArgs(dir.context, {"status"}, out), 0);
    EXPECT_THAT(out, ::testing::StartsWith("status=idle\nrunning=false\n"));
    EXPECT_FALSE(fs::exists(paths.pidFile));
    EXPECT_FALSE(fs::exists(paths.statusFile));

    // 0 and -1 would probe (and `stop` would signal) whole process groups.
    for (const char* text : {"0", "-1", "", "12abc"}) {
        test::writeFile(paths.pidFile, text);
        EXPECT_EQ(readRunningPID(paths), std::nullopt) << text;
    }
    test::writeFile(paths.pidFile, " " + std::to_string(::getpid()) + "\n");
    EXPECT_EQ(readRunningPID(paths), ::getpid());

    EXPECT_EQ(runArgs(dir.context, {"reconnect"}, out), 0); // SIGUSR1 to ourselves, ignored below
    EXPECT_EQ(out, "Sending reconnect signal to PID " + std::to_string(::getpid()) + "...\nReconnect triggered.\n");

    // A stale file whose PID another program took over: that process is
    // left alone and the file goes.
    ProcessOptions options;
    options.executable = "/bin/sleep";
    options.arguments = {"30"};
    auto daemon = Process::launch(options);
    ASSERT_TRUE(daemon);
    test::writeFile(paths.pidFile, std::to_string(daemon->pid()));
    EXPECT_EQ(runArgs(dir.context, {"stop"}, out), 0);
    EXPECT_EQ(out, "QuillBright is not running.\n");
    EXPECT_FALSE(fs::exists(paths.pidFile));
    EXPECT_FALSE(daemon->waitUntilExit(std::chrono::milliseconds(200))) << "an unrelated process was signalled";

    // `stop` signals the daemon (here the sleep stands in for it) and waits for it to go.
    dir.context.executable = std::filesystem::canonical("/bin/sleep").string();
    test::writeFile(paths.pidFile, std::to_string(daemon->pid()));
    EXPECT_EQ(runArgs(dir.context, {"stop"}, out), 0);
    EXPECT_EQ(out, "Stopping QuillBright (PID " + std::to_string(daemon->pid()) + ")...\nStopped.\n");
    // Our own record of the child follows its reaping a moment later.
    ASSERT_TRUE(daemon->waitUntilExit(std::chrono::seconds(5)));
    EXPECT_EQ(daemon->terminationSignal(), SIGTERM);

    fs::remove(paths.pidFile);
    EXPECT_EQ(runArgs(dir.context, {"stop"}, out), 0);
    EXPECT_EQ(out, "QuillBright is not running.\n");
    EXPECT_EQ(runArgs(dir.context, {"reconnect"}, out), 1);
    EXPECT_EQ(out, "ERROR: QuillBright is not running.\nStart it first with: quillbright start\n");
}

TEST(CommandLineTest, StatusPrefersTheSocketAndAddsTheStatusFile)
{
    RuntimeDir dir;
    const auto& paths = dir.context.paths;
    std::string out;
    // (A running daemon's socket and status file together: the end-to-end test.)
    test::writeFile(paths.statusFile, "status=running\nfps=30.0");
    {
        FakeControlSocket server(paths.controlSocket, "OK idle\n");
        EXPECT_EQ(runArgs(dir.context, {"status"}, out), 0);
        EXPECT_EQ(out, "running=false\nstatus=idle\nfps=30.0\n") << "one status= line: the live one";
    }
    // Only the PID file: a daemon still starting has no status file yet.
    fs::remove(paths.controlSocket);
    fs::remove(paths.statusFile);
    test::writeFile(paths.pidFile, std::to_string(::getpid()));
    EXPECT_EQ(runArgs(dir.context, {"status"}, out), 0);
    EXPECT_EQ(out, "running=true\nstatus=starting\npid=" + std::to_string(::getpid()) + "\n");
}

TEST(CommandLineTest, StartDefersToARunningInstance)
{
    RuntimeDir dir;
    const auto& paths = dir.context.paths;
    std::string out;
    bool daemonStarted = false;

    {
        FakeControlSocket server(paths.controlSocket, "OK already running\n");
        EXPECT_EQ(runArgs(dir.context, {"start"}, out, &daemonStarted), 0);
        EXPECT_EQ(out, "OK already running\n");
    }
    {
        // A refusal says it came from the daemon that runs, not a new one.
        FakeControlSocket server(paths.controlSocket, "ERR no device connected\n");
        EXPECT_EQ(runArgs(dir.context, {"start"}, out, &daemonStarted), 1);
        EXPECT_EQ(out, "ERR no device connected\n(A QuillBright daemon is already running and answered this; "
                       "`quillbright status` shows what it does.)\n");
    }
    fs::remove(paths.controlSocket);

    test::writeFile(paths.pidFile, std::to_string(::getpid()));
    EXPECT_EQ(runArgs(dir.context, {"start"}, out, &daemonStarted), 1);
    EXPECT_EQ(out, "ERROR: QuillBright CLI is already running (PID " + std::to_string(::getpid())
            + ")\nRun `quillbright stop` first, or `quillbright status` for details.\n");
    fs::remove(paths.pidFile);

    // The menu-bar application runs but never opens its socket.
    Context withGui = dir.context;
    withGui.pgrep = dir.script("pgrep", "[ \"$1 $2\" = '-x QuillBright' ] && printf '\\n4242\\nnot-a-pid\\n'");
    EXPECT_EQ(runArgs(withGui, {"start"}, out, &daemonStarted), 1);
    EXPECT_EQ(out, "QuillBright GUI is running (PID 4242) — waiting for control socket...\n"
                   "ERROR: GUI is running but control socket not responding. Try restarting the app.\n");
    EXPECT_FALSE(daemonStarted);

    // Nothing else runs: this process becomes the daemon; without a command
    // the usage comes first.
    EXPECT_EQ(runArgs(dir.context, {}, out, &daemonStarted), 42);
    EXPECT_TRUE(daemonStarted);
    EXPECT_THAT(out, HasSubstr("Usage: quillbright <command>"));
    EXPECT_THAT(out, HasSubstr("\n\nNo command specified. Starting mirror...\n\n"));
}

TEST(CommandLineTest, DiagnosticsReplies)
{
    EXPECT_EQ(formatHealth("OK", false), "QuillBright — Health\n========================\n");
    EXPECT_EQ(formatHealth("OK\nstatus=running\n---sessions---\nmemory_rss_mb=42\nbroken\n=x\nkey=\n", true),
        "QuillBright — Health (verbose)\n========================\n"
        "  status                       running\n"
        "\n  [sessions]\n"
        "  memory rss mb                42\n");

    EXPECT_THAT(formatLatency("OK\nrtt_avg_ms=12.4", true), HasSubstr("  Est. one-way:     ~6.2 ms\n"));
    EXPECT_THAT(formatLatency("OK\nfps=0.2\njitter_ms=1489.1", false),
        HasSubstr("  Jitter:         no frames (the screen is still)\n"));
    EXPECT_THAT(formatLatency("OK\nfps=30.0\njitter_ms=2.5", false), HasSubstr("  Jitter:         2.5 ms\n"));

    RuntimeDir dir;
    std::string out;
    EXPECT_EQ(runArgs(dir.context, {"health"}, out), 1);
    EXPECT_EQ(out, "ERROR: QuillBright is not running.\n");
    FakeControlSocket server(dir.context.paths.controlSocket, "OK\nline one\n");
    EXPECT_EQ(runArgs(dir.context, {"logs", "ADB", "error"}, out), 0);
    EXPECT_EQ(out, "line one\n");
    EXPECT_EQ(server.requests(), std::vector<std::string>{"LOGS ADB error"});
}

// On X11 the daemon grabs the keys: installing shortcuts touches nothing;
// elsewhere they are installed only when they are kept.
TEST(CommandLineTest, HotkeysInstallOnlySaysWhatHappened)
{
    RuntimeDir dir;
    const test::ScopedEnv config("XDG_CONFIG_HOME", dir.path().string());
    const test::ScopedEnv display("DISPLAY", ":97");
    const test::ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
    const test::ScopedEnv platform("QUILLBRIGHT_PLATFORM", std::nullopt);
    const test::ScopedEnv desktopName("XDG_CURRENT_DESKTOP", std::nullopt);
    const test::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session_bus_socket");
    std::string out;
    EXPECT_EQ(runArgs(dir.context, {"hotkeys", "install"}, out), 0);
    EXPECT_THAT(out, HasSubstr("Nothing to install: on X11 the QuillBright daemon grabs"));
    EXPECT_THAT(out, Not(HasSubstr("GNOME")));
    EXPECT_FALSE(fs::exists(dir.path() / "dconf")) << "GNOME's settings were written";

    // On Wayland, settings nothing keeps (no session bus here) are a failure.
    const test::ScopedEnv onWayland("WAYLAND_DISPLAY", "wayland-97");
    EXPECT_EQ(runArgs(dir.context, {"hotkeys", "install"}, out), 1);
    EXPECT_THAT(out, HasSubstr("ERROR: "));
    EXPECT_THAT(out, Not(HasSubstr("Added")));

    // On KDE Plasma they are the user's to add: what to add, and nothing written.
    const test::ScopedEnv kde("XDG_CURRENT_DESKTOP", "KDE");
    out.clear();
    EXPECT_EQ(runArgs(dir.context, {"hotkeys", "install"}, out), 0);
    EXPECT_THAT(out, HasSubstr("Custom Shortcuts"));
    EXPECT_THAT(out, HasSubstr("Ctrl+F1  "));
    EXPECT_THAT(out, HasSubstr(" brightness down\n"));
    EXPECT_FALSE(fs::exists(dir.path() / "dconf")) << "GNOME's settings were written";
}

} // namespace
} // namespace qb::cli

// The reconnect test signals this process with SIGUSR1.
static const bool ignoreReconnectSignal = [] {
    std::signal(SIGUSR1, SIG_IGN);
    return true;
}();
