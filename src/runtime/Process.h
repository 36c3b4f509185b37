// Child processes, started by absolute path with an argument vector (never a
// shell line) and exactly the environment given.
//
//   ProcessOptions options{.executable = "/usr/bin/adb", .arguments = {"devices", "-l"}};
//   options.standardError = OutputMode::discard;
//   auto process = Process::launch(options);           // nullptr + error text on failure
//   processWaitWithTimeout(*process, 10.0, "adb devices");
//   if (process->exitStatus() == 0) use(process->standardOutput());
//
// While a child runs, a reaper thread drains its pipes (so a child that
// writes megabytes never blocks on a full pipe) and collects its exit status.
// The child leads its own process group; terminate() signals the whole group
// and, when it has not exited after `terminationGrace`, kills it.
//
// All members are thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace qb {

enum class OutputMode {
    capture,          // kept in memory, read with standardOutput()/standardError()
    discard,          // /dev/null
    mergeIntoOutput,  // standard error only: into the standard output pipe
};

struct ProcessOptions {
    std::string executable;               // absolute path
    std::vector<std::string> arguments;   // argv[1...]
    // Exactly the child's environment. Absent: the child inherits ours.
    std::optional<std::map<std::string, std::string>> environment;
    OutputMode standardOutput = OutputMode::capture;
    OutputMode standardError = OutputMode::capture;
    std::optional<std::string> workingDirectory;
    // How long terminate() waits after SIGTERM before SIGKILL.
    std::chrono::milliseconds terminationGrace{2000};
    // For test rigs: the child gets SIGKILL when the thread that launched it
    // ends, so a test that aborts leaves no server or browser behind. Launch
    // from a thread that lives as long as the child is wanted (a test's main
    // thread). The child starts through util-linux's setpriv.
    bool killedWithLaunchingThread = false;
    // For a child that runs as long as it is wanted and reports as it goes
    // (`adb track-devices`): each piece of its standard output is handed
    // over as soon as it is read, in order, on the process's own reaper
    // thread, and not kept (standardOutput() stays empty). It must not
    // hold the Process, whose destruction waits for that thread.
    std::function<void(std::string_view)> onOutput;
};

class Process : public std::enable_shared_from_this<Process> {
public:
    // Starts the child. On failure returns nullptr and, when `error` is given,
    // a description ("No such file or directory", ...).
    // A launch from work whose Cancellation (runtime/Cancellation.h) has
    // been cancelled fails with "Operation canceled"; a child launched under
    // one is terminated when it is cancelled.
    static std::shared_ptr<Process> launch(const ProcessOptions& options, std::string* error = nullptr);

    // The children launched by this process that are still running.
    static std::vector<std::shared_ptr<Process>> runningChildren();
    // From now on every launch fails with "Operation canceled": the process
    // is ending, and a child started by work still running (a device poll)
    // must not slip past the ending of the children.
    static void refuseLaunches();

    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool isRunning() const;

    // SIGTERM to the child's group; SIGKILL after the grace period if it lingers.
    void terminate();

    // Blocks until the child has exited and its output is collected.
    void waitUntilExit();
    // Waits at most `timeout`; true when the child has exited.
    bool waitUntilExit(std::chrono::milliseconds timeout);

    // The exit code, or 128 + signal number when a signal ended the child.
    // Absent while the child runs.
    std::optional<int> exitStatus() const;
    // The signal that ended the child, if one did.
    std::optional<int> terminationSignal() const;

    // Captured output so far (complete once the child has exited).
    std::string standardOutput() const;
    std::string standardError() const;

private:
    Process() = default;
    void reap();

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::chrono::milliseconds grace_{2000};
    std::function<void(std::string_view)> onOutput_;

    mutable std::mutex lock_;
    std::condition_variable exited_;
    bool running_ = true;
    int rawStatus_ = 0;
    std::optional<std::chrono::steady_clock::time_point> terminateAt_;
    std::string out_;
    std::string err_;
    std::thread reaper_;
};

// The one way child processes are waited for: blocks until `process` exits;
// when it runs longer than `timeoutSeconds`, logs the error line
// "TIMEOUT: killing <label> after <whole seconds>s" under "Process" and
// terminates it. The caller is blocked for at most the timeout plus the
// termination grace.
void processWaitWithTimeout(Process& process, double timeoutSeconds, const std::string& label);

// Convenience for short tools (lsof, ps, pgrep): launch, bounded wait, result.
struct ProcessResult {
    bool launched = false;
    std::string launchError;
    std::optional<int> exitStatus;
    std::string standardOutput;
    std::string standardError;
};
ProcessResult runProcess(const ProcessOptions& options, double timeoutSeconds, const std::string& label);

} // namespace qb
