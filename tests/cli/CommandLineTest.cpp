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
    }
    void write(const std::string& file, const std::string& content) const { test::writeFile(file, content); }

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

int runArgs(const Context& context, std::vector<std::string> words, std::string& output, bool* daemonStarted = nullptr)
{
    words.insert(words.begin(), "quillbright");
    std::ostringstream out;
    const int status = run(words, context, out, [&] {
        if (daemonStarted) *daemonStarted = true;
        return 42;
    });
    output = out.str();
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

TEST(CommandLineTest, ClientCommandArgumentsAreCheckedBeforeAnythingIsSent)
{
    auto request = [](const std::string& command, std::optional<std::string> argument) {
        auto r = clientRequest(command, argument);
        return r ? (r->request.empty() ? "error: " + r->error : r->request) : std::string("none");
    };
    EXPECT_EQ(request("brightness", std::nullopt), "BRIGHTNESS");
    EXPECT_EQ(request("brightness", "+7"), "BRIGHTNESS 7");
    EXPECT_EQ(request("brightness", "255"), "BRIGHTNESS 255");
    for (const char* bad : {"256", "-1", "abc", "", "7x", " 7", "++7"}) {
        EXPECT_EQ(request("brightness", std::string(bad)), "error: ERROR: brightness value must be 0-255") << bad;
    }
    EXPECT_EQ(request("warmth", "300"), "error: ERROR: warmth value must be 0-255");
    EXPECT_EQ(request("backlight", "Toggle"), "BACKLIGHT toggle");
    EXPECT_EQ(request("backlight", "dim"), "error: ERROR: backlight argument must be on, off, or toggle");
    EXPECT_EQ(request("clamshell", "enable"), "CLAMSHELL enable");
    EXPECT_EQ(request("clamshell", "yes"), "error: ERROR: clamshell argument must be on or off");
    EXPECT_EQ(request("resolution", "Sharp"), "RESOLUTION Sharp");
    EXPECT_EQ(request("fontsmoothing", "OFF"), "FONTSMOOTHING off");
    EXPECT_EQ(request("fontsmoothing", "maybe"), "FONTSMOOTHING maybe");
    EXPECT_EQ(request("restart", std::nullopt), "RESTART");
    EXPECT_EQ(request("status", std::nullopt), "none");
}

TEST(CommandLineTest, ClientCommandsTalkToTheControlSocket)
{
    RuntimeDir dir;
    std::string out;

    // No instance at all.
    EXPECT_EQ(runArgs(dir.context, {"brightness", "7"}, out), 1);
    EXPECT_EQ(out, "ERROR: QuillBright is not running.\nStart the mirror first (`quillbright start`, or the user service).\n");

    // A socket file nobody serves.
    dir.write(dir.context.paths.controlSocket, "");
    EXPECT_EQ(runArgs(dir.context, {"warmth"}, out), 1);
    EXPECT_THAT(out, HasSubstr("ERROR: Could not connect to control socket."));

    {
        FakeControlSocket server(dir.context.paths.controlSocket, "OK 7\n");
        EXPECT_EQ(runArgs(dir.context, {"brightness", "+7"}, out), 0);
        EXPECT_EQ(out, "OK 7\n");
        EXPECT_EQ(runArgs(dir.context, {"brightness", "abc"}, out), 1);
        EXPECT_EQ(out, "ERROR: brightness value must be 0-255\n");
        EXPECT_EQ(server.requests(), std::vector<std::string>{"BRIGHTNESS 7"}); // the bad value sent nothing
    }
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

    dir.write(paths.pidFile, std::to_string(deadPid()));
    dir.write(paths.statusFile, "status=running");
    EXPECT_EQ(runArgs(dir.context, {"status"}, out), 0);
    EXPECT_EQ(out, "status=idle\nrunning=false\n");
    EXPECT_FALSE(fs::exists(paths.pidFile));
    EXPECT_FALSE(fs::exists(paths.statusFile));

    // 0 and -1 would probe (and `stop` would signal) whole process groups.
    for (const char* text : {"0", "-1", "", "12abc"}) {
        dir.write(paths.pidFile, text);
        EXPECT_EQ(readRunningPID(paths), std::nullopt) << text;
    }
    dir.write(paths.pidFile, " " + std::to_string(::getpid()) + "\n");
    EXPECT_EQ(readRunningPID(paths), ::getpid());

    EXPECT_EQ(runArgs(dir.context, {"reconnect"}, out), 0); // SIGUSR1 to ourselves, ignored below
    EXPECT_EQ(out, "Sending reconnect signal to PID " + std::to_string(::getpid()) + "...\nReconnect triggered.\n");

    // `stop` signals the daemon and waits for it to go.
    ProcessOptions options;
    options.executable = "/bin/sleep";
    options.arguments = {"30"};
    auto daemon = Process::launch(options);
    ASSERT_TRUE(daemon);
    dir.write(paths.pidFile, std::to_string(daemon->pid()));
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
    dir.write(paths.statusFile, "status=running\nfps=30.0");
    {
        FakeControlSocket server(paths.controlSocket, "OK idle\n");
        EXPECT_EQ(runArgs(dir.context, {"status"}, out), 0);
        EXPECT_EQ(out, "running=false\nstatus=idle\nfps=30.0\n") << "one status= line: the live one";
    }
    // Only the PID file: a daemon still starting has no status file yet.
    fs::remove(paths.controlSocket);
    fs::remove(paths.statusFile);
    dir.write(paths.pidFile, std::to_string(::getpid()));
    EXPECT_EQ(runArgs(dir.context, {"status"}, out), 0);
    EXPECT_EQ(out, "running=true\nstatus=starting\npid=" + std::to_string(::getpid()) + "\n");
}

TEST(CommandLineTest, StatusFileHasTwelveLinesInOrder)
{
    const StatusSnapshot s{.status = "running", .resolution = "1600x1200", .adb = true,
        .stats = {.fps = 29.96, .bandwidthMBps = 1.234, .totalFrames = 1234, .jitterMs = 0.44, .rttMs = 12.35,
            .rttP95Ms = 20, .clientCount = 1}};
    const auto when = std::chrono::system_clock::from_time_t(1796551734); // 2026-12-06T10:08:54Z
    EXPECT_EQ(statusFileText(s, 4321, when),
        "status=running\nresolution=1600x1200\nfps=30.0\nbandwidth_mbps=1.23\nclients=1\ntotal_frames=1234\n"
        "adb=true\njitter_ms=0.4\nrtt_avg_ms=12.3\nrtt_p95_ms=20.0\npid=4321\nupdated=2026-12-06T10:08:54Z");
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
    fs::remove(paths.controlSocket);

    dir.write(paths.pidFile, std::to_string(::getpid()));
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

TEST(CommandLineTest, UsageAndUnknownCommands)
{
    RuntimeDir dir;
    std::string out;
    EXPECT_EQ(runArgs(dir.context, {"--help"}, out), 0);
    EXPECT_EQ(runArgs(dir.context, {"Start"}, out), 1); // commands are case-sensitive
    EXPECT_EQ(out, "Unknown command: Start\n\n" + usageText());
}

TEST(CommandLineTest, DiagnosticsReplies)
{
    EXPECT_EQ(formatHealth("OK", false), "QuillBright — Health\n========================\n");
    EXPECT_EQ(formatHealth("OK\nstatus=running\n---sessions---\nmemory_rss_mb=42\nbroken\n=x\nkey=\n", true),
        "QuillBright — Health (verbose)\n========================\n"
        "  status                       running\n"
        "\n  [sessions]\n"
        "  memory rss mb                42\n");

    EXPECT_THAT(formatLatency("OK\nfps=30.0", false), HasSubstr("Skipped frames:   0\n"));
    EXPECT_THAT(formatLatency("OK\nrtt_avg_ms=12.4", true), HasSubstr("  Est. one-way:     ~6.2 ms\n"));

    RuntimeDir dir;
    std::string out;
    EXPECT_EQ(runArgs(dir.context, {"health"}, out), 1);
    EXPECT_EQ(out, "ERROR: QuillBright is not running.\n");
    FakeControlSocket server(dir.context.paths.controlSocket, "OK\nline one\n");
    EXPECT_EQ(runArgs(dir.context, {"logs", "ADB", "error"}, out), 0);
    EXPECT_EQ(out, "line one\n");
    EXPECT_EQ(server.requests(), std::vector<std::string>{"LOGS ADB error"});
}

} // namespace
} // namespace qb::cli

// The reconnect test signals this process with SIGUSR1.
static const bool ignoreReconnectSignal = [] {
    std::signal(SIGUSR1, SIG_IGN);
    return true;
}();
