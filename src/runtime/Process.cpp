#include "runtime/Process.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include "runtime/Cancellation.h"
#include "runtime/RuntimeLog.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"

extern char** environ;

namespace qb {

namespace {

constexpr const char* SETPRIV = "/usr/bin/setpriv";

struct Pipe {
    int read = -1;
    int write = -1;
    bool open()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        read = fds[0];
        write = fds[1];
        return true;
    }
    void closeBoth()
    {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
        read = write = -1;
    }
};

// Reads what is available without blocking; false at end of file or error.
bool drain(int fd, std::string& into)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Every child of this process that has not been reaped yet, so that the
// daemon can make sure none outlives it.
struct Children {
    std::mutex lock;
    std::vector<std::weak_ptr<Process>> list;
    bool closed = false; // refuseLaunches() was called: the process is ending

    static Children& shared()
    {
        static Children* children = new Children(); // never destroyed: reapers may finish during exit
        return *children;
    }
    // With `lock` held.
    void add(const std::shared_ptr<Process>& child)
    {
        std::erase_if(list, [](const std::weak_ptr<Process>& weak) {
            const auto process = weak.lock();
            return !process || !process->isRunning();
        });
        list.push_back(child);
    }
    std::vector<std::shared_ptr<Process>> running()
    {
        std::vector<std::shared_ptr<Process>> alive;
        std::lock_guard guard(lock);
        for (const auto& weak : list) {
            if (auto process = weak.lock(); process && process->isRunning()) alive.push_back(std::move(process));
        }
        return alive;
    }
};

} // namespace

std::vector<std::shared_ptr<Process>> Process::runningChildren() { return Children::shared().running(); }

void Process::refuseLaunches()
{
    auto& children = Children::shared();
    std::lock_guard guard(children.lock);
    children.closed = true;
}

std::shared_ptr<Process> Process::launch(const ProcessOptions& options, std::string* error)
{
    auto fail = [&](int code) -> std::shared_ptr<Process> {
        if (error) *error = std::strerror(code);
        return nullptr;
    };
    if (options.executable.empty() || options.executable.front() != '/') {
        return fail(ENOENT);
    }
    const std::shared_ptr<Cancellation> cancellation = Cancellation::current();
    if (cancellation && cancellation->cancelled()) return fail(ECANCELED);

    Pipe out, err;
    if (options.standardOutput == OutputMode::capture && !out.open()) return fail(errno);
    if (options.standardError == OutputMode::capture && !err.open()) {
        const int code = errno;
        out.closeBoth();
        return fail(code);
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.standardOutput == OutputMode::capture) {
        posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    switch (options.standardError) {
    case OutputMode::capture: posix_spawn_file_actions_adddup2(&actions, err.write, 2); break;
    case OutputMode::discard: posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0); break;
    case OutputMode::mergeIntoOutput: posix_spawn_file_actions_adddup2(&actions, 1, 2); break;
    }
    // Only the three standard streams reach the child: a listening socket or
    // pipe of ours inherited by a long-lived child (adb forks its server)
    // would keep our ports busy after we exit.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    if (options.workingDirectory) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory->c_str());
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Own process group (terminate() reaches grandchildren too) and default
    // signal dispositions and mask, whatever the daemon has set for itself.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
        POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argStrings;
    if (options.killedWithLaunchingThread) argStrings = {SETPRIV, "--pdeathsig", "KILL", "--"};
    argStrings.push_back(options.executable);
    argStrings.insert(argStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    char** envArray = environ;
    if (options.environment) {
        for (const auto& [key, value] : *options.environment) envStrings.push_back(key + "=" + value);
        for (auto& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);
        envArray = envp.data();
    }

    // The registry's lock is held from the check to the registration, so a
    // child is either refused or seen by whoever ends the children at exit.
    auto& children = Children::shared();
    std::unique_lock registry(children.lock);
    pid_t pid = -1;
    const int rc = children.closed
        ? ECANCELED
        : ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envArray);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (out.write >= 0) ::close(out.write);
    if (err.write >= 0) ::close(err.write);
    if (rc != 0) {
        if (out.read >= 0) ::close(out.read);
        if (err.read >= 0) ::close(err.read);
        return fail(rc);
    }

    auto process = std::shared_ptr<Process>(new Process());
    process->pid_ = pid;
    process->outFd_ = out.read;
    process->errFd_ = err.read;
    process->grace_ = options.terminationGrace;
    process->onOutput_ = options.onOutput;
    for (int fd : {process->outFd_, process->errFd_}) {
        if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    process->reaper_ = std::thread([raw = process.get()] { raw->reap(); });
    children.add(process);
    registry.unlock();
    if (cancellation && !cancellation->adopt(process)) process->terminate();
    return process;
}

Process::~Process()
{
    if (isRunning()) terminate();
    if (reaper_.joinable()) reaper_.join();
}

void Process::reap()
{
    std::string out, err;
    bool outOpen = outFd_ >= 0, errOpen = errFd_ >= 0;
    int status = 0;
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        if (outOpen) fds[count++] = {outFd_, POLLIN, 0};
        if (errOpen) fds[count++] = {errFd_, POLLIN, 0};
        // Waking every 20 ms to look for the exit keeps us from depending on
        // end-of-file: a grandchild may hold the pipes open long after.
        if (count > 0) {
            ::poll(fds, count, 20);
        } else {
            ::usleep(20000);
        }
        if (outOpen) outOpen = drain(outFd_, out);
        if (errOpen) errOpen = drain(errFd_, err);
        if (onOutput_ && !out.empty()) {
            onOutput_(out);
            out.clear();
        }
        {
            std::lock_guard guard(lock_);
            out_.append(out);
            err_.append(err);
        }
        out.clear();
        err.clear();

        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno == ECHILD)) break;

        std::optional<std::chrono::steady_clock::time_point> killAt;
        {
            std::lock_guard guard(lock_);
            killAt = terminateAt_;
        }
        if (killAt && std::chrono::steady_clock::now() >= *killAt) {
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            std::lock_guard guard(lock_);
            terminateAt_.reset();
        }
    }
    // Whatever the child wrote just before exiting.
    if (outOpen) drain(outFd_, out);
    if (errOpen) drain(errFd_, err);
    if (onOutput_ && !out.empty()) {
        onOutput_(out);
        out.clear();
    }
    if (outFd_ >= 0) ::close(outFd_);
    if (errFd_ >= 0) ::close(errFd_);
    {
        std::lock_guard guard(lock_);
        out_.append(out);
        err_.append(err);
        rawStatus_ = status;
        running_ = false;
    }
    exited_.notify_all();
}

bool Process::isRunning() const
{
    std::lock_guard guard(lock_);
    return running_;
}

void Process::terminate()
{
    std::lock_guard guard(lock_);
    if (!running_) return;
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);
    if (!terminateAt_) terminateAt_ = std::chrono::steady_clock::now() + grace_;
}

void Process::waitUntilExit()
{
    std::unique_lock guard(lock_);
    exited_.wait(guard, [this] { return !running_; });
}

bool Process::waitUntilExit(std::chrono::milliseconds timeout)
{
    std::unique_lock guard(lock_);
    return exited_.wait_for(guard, timeout, [this] { return !running_; });
}

std::optional<int> Process::exitStatus() const
{
    std::lock_guard guard(lock_);
    if (running_) return std::nullopt;
    if (WIFEXITED(rawStatus_)) return WEXITSTATUS(rawStatus_);
    if (WIFSIGNALED(rawStatus_)) return 128 + WTERMSIG(rawStatus_);
    return std::nullopt;
}

std::optional<int> Process::terminationSignal() const
{
    std::lock_guard guard(lock_);
    if (running_ || !WIFSIGNALED(rawStatus_)) return std::nullopt;
    return WTERMSIG(rawStatus_);
}

std::string Process::standardOutput() const
{
    std::lock_guard guard(lock_);
    return out_;
}

std::string Process::standardError() const
{
    std::lock_guard guard(lock_);
    return err_;
}

void processWaitWithTimeout(Process& process, double timeoutSeconds, const std::string& label)
{
    // The timer holds the process weakly: a firing that races with the exit
    // finds it gone or finished and does nothing.
    const auto wholeSeconds = static_cast<long long>(std::trunc(timeoutSeconds));
    std::weak_ptr<Process> weak = process.weak_from_this();
    auto timer = Timer::oneShot(globalQueue(QoS::defaultQoS), seconds(std::max(0.0, timeoutSeconds)),
        [weak, label, wholeSeconds] {
            auto running = weak.lock();
            if (!running || !running->isRunning()) return;
            runtimeLog(LogLevel::error, "Process", fmt::format("TIMEOUT: killing {} after {}s", label, wholeSeconds));
            running->terminate();
        });
    process.waitUntilExit();
    timer->cancel();
}

ProcessResult runProcess(const ProcessOptions& options, double timeoutSeconds, const std::string& label)
{
    ProcessResult result;
    auto process = Process::launch(options, &result.launchError);
    if (!process) return result;
    result.launched = true;
    processWaitWithTimeout(*process, timeoutSeconds, label);
    result.exitStatus = process->exitStatus();
    result.standardOutput = process->standardOutput();
    result.standardError = process->standardError();
    return result;
}

} // namespace qb
