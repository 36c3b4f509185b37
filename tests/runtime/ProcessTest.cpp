#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

#include "runtime/Background.h"
#include "runtime/MainLoop.h"
#include "runtime/Process.h"
#include "runtime/TaskGroup.h"
#include "support/TestSupport.h"

using namespace qb;
using namespace std::chrono_literals;

namespace {

ProcessOptions shell(std::string script)
{
    ProcessOptions options;
    options.executable = "/bin/sh";
    options.arguments = {"-c", std::move(script)};
    return options;
}

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0; }

std::shared_ptr<Process> run(const ProcessOptions& options)
{
    auto process = Process::launch(options);
    if (!process) throw std::runtime_error("could not launch " + options.executable);
    process->waitUntilExit();
    return process;
}

} // namespace

TEST(Process, CapturesOutputArgumentsAndExitStatus)
{
    // An argument with spaces and shell metacharacters stays one argument.
    ProcessOptions options;
    options.executable = "/usr/bin/printf";
    options.arguments = {"[%s]\\n", "two words; $HOME", "x"};
    auto process = run(options);
    EXPECT_EQ(process->standardOutput(), "[two words; $HOME]\n[x]\n");
    EXPECT_EQ(process->exitStatus(), 0);

    auto failing = run(shell("echo out; echo err >&2; exit 3"));
    EXPECT_EQ(failing->exitStatus(), 3);
    EXPECT_EQ(failing->standardError(), "err\n");

    // 4 MB on each stream, far beyond a pipe buffer, does not deadlock.
    auto large = Process::launch(shell("head -c 4194304 /dev/zero; head -c 4194304 /dev/zero >&2"));
    ASSERT_TRUE(large);
    processWaitWithTimeout(*large, 20.0, "large output");
    EXPECT_EQ(large->standardOutput().size() + large->standardError().size(), 2 * 4194304u);
}

TEST(Process, EnvironmentAndDescriptorsAreExactlyTheGivenOnes)
{
    ProcessOptions options;
    options.executable = "/usr/bin/env";
    options.environment = std::map<std::string, std::string>{{"A", "1"}, {"PATH", "/nowhere"}};
    EXPECT_EQ(run(options)->standardOutput(), "A=1\nPATH=/nowhere\n");

    // The child inherits only the standard streams, not a descriptor of ours
    // without close-on-exec (as Asio opens its sockets).
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    options.executable = "/bin/ls";
    options.arguments = {"/proc/self/fd"};
    options.environment.reset();
    auto listing = run(options);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_EQ(listing->standardOutput(), "0\n1\n2\n3\n"); // 3: the directory ls reads
}

TEST(Process, TerminateReachesGrandchildrenAndIgnoresHeldPipes)
{
    // The grandchild keeps the output pipe open; the wait must end with the
    // child, and terminate() must take the grandchild down with it.
    auto process = Process::launch(shell("sleep 30 & echo $!; wait"));
    ASSERT_TRUE(process);
    ASSERT_TRUE(test::eventually([&] { return !process->standardOutput().empty(); }));
    const pid_t grandchild = std::stoi(process->standardOutput());
    process->terminate();
    EXPECT_TRUE(process->waitUntilExit(5000ms));
    EXPECT_TRUE(test::eventually([&] { return !processExists(grandchild); }));
}

TEST(Process, ARigChildDiesWithTheThreadThatLaunchedIt)
{
    auto options = shell("echo up; exec sleep 30");
    options.killedWithLaunchingThread = true;
    std::shared_ptr<Process> child;
    std::thread([&] {
        child = Process::launch(options);
        if (child) test::eventually([&] { return !child->standardOutput().empty(); }, 10000ms, 10ms);
    }).join();
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->waitUntilExit(10000ms));
    EXPECT_EQ(child->terminationSignal(), SIGKILL);
}

namespace {

struct CancelledWork {
    std::atomic<pid_t> sleeper{0};
    std::atomic<bool> finished{false};
    std::string secondLaunch;     // written by the work before `finished`
    bool resumed = false;         // main loop
    bool aborted = false;         // main loop
};

asio::awaitable<void> awaitBlockingWork(CancelledWork* state)
{
    const std::function<int()> work = [state] {
        auto child = Process::launch(shell("sleep 30"));
        if (!child) return 0;
        state->sleeper = child->pid();
        processWaitWithTimeout(*child, 60, "sleep");
        // Cancelled meanwhile: nothing new may start.
        std::string error;
        if (!Process::launch(shell("true"), &error)) state->secondLaunch = error;
        state->finished = true;
        return 1;
    };
    try {
        co_await offMainLoop<int>(work, "Test");
    } catch (const boost::system::system_error& error) {
        state->aborted = error.code() == asio::error::operation_aborted;
    }
    state->resumed = true;
}

} // namespace

TEST(Process, CancellingTheAwaitingTaskEndsTheWorksChildrenAndRefusesNewOnes)
{
    auto& loop = MainLoop::shared();
    TaskGroup tasks(loop.executor());
    CancelledWork state;
    tasks.spawn(awaitBlockingWork(&state), "blocking work");
    ASSERT_TRUE(loop.runUntil([&] { return state.sleeper.load() != 0; }, 5000ms));
    const pid_t sleeper = state.sleeper.load();
    const auto children = Process::runningChildren();
    EXPECT_TRUE(std::any_of(children.begin(), children.end(), [sleeper](const auto& c) { return c->pid() == sleeper; }));

    tasks.cancelAll();
    // The coroutine resumes at once, without waiting for the work.
    ASSERT_TRUE(loop.runUntil([&] { return state.resumed; }, 5000ms));
    EXPECT_TRUE(state.aborted);
    // The child it waited for is gone, and the work could start nothing new.
    // The group forgets the task on a later turn of the loop.
    ASSERT_TRUE(loop.runUntil([&] { return state.finished.load() && tasks.running() == 0; }, 5000ms));
    EXPECT_FALSE(processExists(sleeper));
    EXPECT_EQ(state.secondLaunch, "Operation canceled");
}
