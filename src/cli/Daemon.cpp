#include "cli/Daemon.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <memory>
#include <mutex>
#include <string>

#include <fmt/format.h>

#include "cli/EventNotices.h"
#include "cli/StartProgress.h"
#include "control/ControlSocket.h"
#include "control/EngineControlTarget.h"
#include "core/MirrorEngine.h"
#include "device/ADBBridge.h"
#include "diagnostics/Log.h"
#include "platform/DesktopNotifications.h"
#include "platform/MemoryRelease.h"
#include "platform/Platform.h"
#include "platform/sim/SimPlatform.h"
#include "platform/UserFolders.h"
#include "platform/systemd/ServiceManager.h"
#include "runtime/Background.h"
#include "runtime/SettingsStore.h"
#include "runtime/MainLoop.h"
#include "runtime/Process.h"
#include "runtime/Queues.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"
#include "transport/TabletPairing.h"

namespace qb::cli {

namespace {

Duration scaled(Duration duration, double factor)
{
    return std::chrono::duration_cast<Duration>(duration * factor);
}

// The figures the status file shows: written on the main loop by the stats
// refresh, read by the status-file timer on a global queue.
class StatCells {
public:
    // True when the status line changed.
    bool refresh(const EngineState& state)
    {
        std::lock_guard lock(lock_);
        const bool changed = snapshot_.status != state.status;
        snapshot_ = state;
        return changed;
    }
    void setResolution(DisplayResolution resolution)
    {
        std::lock_guard lock(lock_);
        snapshot_.resolution = std::move(resolution);
    }
    // Writes the status file unless the daemon is exiting. The lock spans
    // the write so that close() returns only once no write can follow the
    // removal of the file.
    void writeStatusFile(const RuntimePaths& paths)
    {
        std::lock_guard lock(lock_);
        if (!closed_) cli::writeStatusFile(paths, snapshot_);
    }
    void close()
    {
        std::lock_guard lock(lock_);
        closed_ = true;
    }

private:
    mutable std::mutex lock_;
    EngineState snapshot_ = [] {
        EngineState state; // until the engine's first refresh
        state.status = MirrorStatus::starting();
        return state;
    }();
    bool closed_ = false;
};

struct Daemon {
    RuntimePaths paths;
    std::ostream* out = nullptr;
    std::string program = "quillbright"; // as the user runs it, for hints
    double scale = 1;
    DaemonTiming timing;
    std::shared_ptr<MirrorEngine> engine;
    std::shared_ptr<StatCells> cells = std::make_shared<StatCells>();
    std::shared_ptr<Timer> statusFileTimer;
    std::shared_ptr<Timer> statsTimer;
    std::shared_ptr<EngineControlServer> controlServer;
    std::shared_ptr<StartProgress> progress;
    std::shared_ptr<Timer> deadlineTimer;
    std::unique_ptr<TaskGroup> tasks;
    bool shuttingDown = false;
    bool teardownFinished = false;
    bool startFailed = false;
};

asio::awaitable<void> shutDownTask(std::shared_ptr<Daemon> daemon);

asio::awaitable<void> startMirroring(std::shared_ptr<Daemon> daemon)
{
    // The adb server takes seconds to come up the first time; say so, and
    // have it ready before the engine lists devices.
    daemon->progress->adbServerStarting();
    const std::function<int()> startServer = [] {
        if (!ADBBridge::isADBInstalled()) return 0;
        return ADBBridge::ensureServerRunning() ? 2 : 1;
    };
    const int server = co_await offMainLoop<int>(startServer, "ADB");
    daemon->progress->adbServerStarted(server > 0, server == 2);
    co_await daemon->engine->start();
    if (daemon->shuttingDown) co_return; // a signal overtook the start
    std::weak_ptr<MirrorEngine> weakEngine = daemon->engine;
    std::weak_ptr<StatCells> weakCells = daemon->cells;
    daemon->statsTimer = Timer::repeating(globalQueue(QoS::defaultQoS), scaled(std::chrono::seconds(2), daemon->scale),
        scaled(std::chrono::seconds(2), daemon->scale), [weakEngine, weakCells] {
            MainLoop::shared().post([weakEngine, weakCells] {
                auto engine = weakEngine.lock();
                auto cells = weakCells.lock();
                if (engine && cells && cells->refresh(engine->state())) {
                    ServiceManager::notify("STATUS=" + engine->state().status.label());
                }
            });
        });
    const MirrorStatus status = daemon->engine->state().status;
    if (status.isError()) {
        // The failure and its hint are printed (StartProgress); a daemon that
        // could not start does not pretend to run.
        daemon->startFailed = true;
        daemon->shuttingDown = true;
        ServiceManager::notify("STATUS=" + status.label());
        daemon->tasks->spawn(shutDownTask(daemon), "shutdown");
        co_return;
    }
    if (status.is(MirrorStatus::Kind::running)) {
        *daemon->out << "---\nMirror running. Ctrl+C to stop.\nOr from another terminal: " << daemon->program
                     << " stop\n";
    } else if (status.is(MirrorStatus::Kind::waitingForDevice)) {
        *daemon->out << "---\nWaiting for a tablet. Ctrl+C to stop.\nOr from another terminal: " << daemon->program
                     << " stop\n";
    }
    *daemon->out << std::flush;
    // Under systemd (Type=notify) the unit counts as started from here on,
    // whatever the engine's status: the daemon serves its control socket
    // and reports its state either way.
    ServiceManager::notify("READY=1\nSTATUS=" + daemon->engine->state().status.label());
}

// The files go and the main loop ends; runDaemon then makes sure no child
// survives.
void finishShutdown(const std::shared_ptr<Daemon>& daemon)
{
    if (daemon->deadlineTimer) daemon->deadlineTimer->cancel();
    if (daemon->statusFileTimer) daemon->statusFileTimer->cancel();
    if (daemon->statsTimer) daemon->statsTimer->cancel();
    daemon->cells->close();
    daemon->controlServer->stop();
    removeFile(daemon->paths.pidFile);
    removeFile(daemon->paths.statusFile);
    *daemon->out << "Stopped.\n" << std::flush;
    MainLoop::shared().stop();
}

asio::awaitable<void> shutDownTask(std::shared_ptr<Daemon> daemon)
{
    co_await daemon->engine->shutdownAsync();
    if (daemon->teardownFinished) co_return;
    daemon->teardownFinished = true;
    finishShutdown(daemon);
}

void beginShutdown(const std::shared_ptr<Daemon>& daemon)
{
    ServiceManager::notify("STOPPING=1\nSTATUS=stopping");
    if (daemon->shuttingDown) return; // the teardown under way goes on
    daemon->shuttingDown = true;
    daemon->tasks->spawn(shutDownTask(daemon), "shutdown");
    const auto deadline = daemon->timing.shutdownDeadline;
    daemon->deadlineTimer = Timer::oneShot(MainLoop::shared().executor(), deadline, [daemon, deadline] {
        if (daemon->teardownFinished) return;
        daemon->teardownFinished = true;
        logError("Engine",
            fmt::format("Teardown did not finish within {:.0f} s — ending what still runs",
                std::chrono::duration<double>(deadline).count()));
        finishShutdown(daemon);
    });
}

void shutDown(const std::shared_ptr<Daemon>& daemon, int signal)
{
    // One write, so that a log line from another thread cannot land inside it.
    *daemon->out << fmt::format("\n[{}] Shutting down...\n", signal == SIGINT ? "SIGINT" : "SIGTERM") << std::flush;
    beginShutdown(daemon);
}

void awaitShutdownSignal(const std::shared_ptr<Daemon>& daemon, const std::shared_ptr<asio::signal_set>& signals)
{
    signals->async_wait([daemon, signals](const boost::system::error_code& error, int signal) {
        if (error) return;
        shutDown(daemon, signal);
        awaitShutdownSignal(daemon, signals);
    });
}

void awaitReconnectSignal(const std::shared_ptr<Daemon>& daemon, const std::shared_ptr<asio::signal_set>& signals)
{
    signals->async_wait([daemon, signals](const boost::system::error_code& error, int) {
        if (error) return;
        *daemon->out << "\n[SIGUSR1] Reconnecting ADB...\n" << std::flush;
        daemon->engine->reconnect();
        awaitReconnectSignal(daemon, signals);
    });
}

// Terminates every child still running (its whole process group), logging
// each, and waits for them within `grace` (SIGKILL follows SIGTERM).
void endChildren(Duration grace)
{
    Process::refuseLaunches();
    const auto children = Process::runningChildren();
    for (const auto& child : children) {
        logWarn("Process", fmt::format("Ending child process {} at exit", child->pid()));
        child->terminate();
    }
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(grace) + std::chrono::milliseconds(500);
    for (const auto& child : children) child->waitUntilExit(limit);
}

} // namespace

double testTimingScale()
{
    const char* text = std::getenv("QUILLBRIGHT_TEST_TIMING_SCALE");
    if (text == nullptr) return 1;
    const std::string_view value(text);
    double factor = 1;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), factor);
    if (ec != std::errc() || end != value.data() + value.size() || !(factor > 0) || factor > 1) return 1;
    return factor;
}

namespace {

sigset_t daemonSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&set, signal);
    return set;
}

} // namespace

void holdDaemonSignals()
{
    const sigset_t set = daemonSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void releaseDaemonSignals()
{
    const sigset_t set = daemonSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

int runDaemon(const Context& context, std::ostream& out, DaemonTiming timing)
{
    // Before any stream: its frame buffers must go back to the system when
    // it ends, or the idle daemon keeps the size of every stream it served.
    const bool settled = settleAllocator();
    auto daemon = std::make_shared<Daemon>();
    daemon->paths = context.paths;
    daemon->out = &out;
    daemon->program = context.program;
    daemon->scale = testTimingScale();
    daemon->timing = timing;

    if (const auto refused = context.paths.prepareDirectory()) {
        out << "ERROR: Cannot use the runtime directory: " << *refused << "\n" << std::flush;
        return 1;
    }
    out << "QuillBright v" << MirrorEngine::appVersion << " -- CLI mode\n---\n" << std::flush;
    if (!settled) {
        componentLog(LogLevel::info, "Daemon",
            "[Daemon] The allocator keeps its own policy: freed frame buffers may stay resident until mirroring stops");
    }
    writePIDFile(context.paths);

    MirrorEngine::Timing engineTiming;
    engineTiming.displayStagger = scaled(engineTiming.displayStagger, daemon->scale);
    engineTiming.wakeRestartDelay = scaled(engineTiming.wakeRestartDelay, daemon->scale);
    engineTiming.displayGoneRestartDelay = scaled(engineTiming.displayGoneRestartDelay, daemon->scale);
    engineTiming.pageSessionGrace = scaled(engineTiming.pageSessionGrace, daemon->scale);
    engineTiming.session.displayReadyLimit = scaled(engineTiming.session.displayReadyLimit, daemon->scale);
    engineTiming.session.retryPause = scaled(engineTiming.session.retryPause, daemon->scale);
    engineTiming.session.captureRetryPause = scaled(engineTiming.session.captureRetryPause, daemon->scale);
    engineTiming.session.healthCheckInterval = scaled(engineTiming.session.healthCheckInterval, daemon->scale);
    engineTiming.session.capture.statsInterval *= daemon->scale;
    engineTiming.session.capture.reread = scaled(engineTiming.session.capture.reread, daemon->scale);
    engineTiming.usbMonitor.pollInterval = scaled(engineTiming.usbMonitor.pollInterval, daemon->scale);
    engineTiming.usbMonitor.trackRestartPause = scaled(engineTiming.usbMonitor.trackRestartPause, daemon->scale);
    engineTiming.usbMonitor.trackRestartLimit = scaled(engineTiming.usbMonitor.trackRestartLimit, daemon->scale);
    engineTiming.settingsCheckInterval = scaled(engineTiming.settingsCheckInterval, daemon->scale);
    engineTiming.autoDim.dimDelay = scaled(engineTiming.autoDim.dimDelay, daemon->scale);
    engineTiming.autoDim.restoreDelay = scaled(engineTiming.autoDim.restoreDelay, daemon->scale);

    // One platform for the daemon's life: its services go to the engine and
    // every session.
    auto& mainLoop = MainLoop::shared();
    // The simulated desktop only when asked for by name (demos, tests);
    // without a desktop there is nothing to mirror.
    auto backends = platformBackends();
    backends.push_back(simPlatformBackend());
    std::string noDesktop;
    std::shared_ptr<Platform> platform =
        openPlatform(mainLoop.executor(), PlatformConfig::fromEnvironment(), backends, &noDesktop);
    if (!platform) {
        out << "ERROR: " << noDesktop << "\n" << NO_DESKTOP_HINT << " (sim: a simulated desktop, for demos).\n"
            << std::flush;
        removeFile(context.paths.pidFile);
        return 1;
    }
    if (!platform->pacerWindows()) {
        componentLog(LogLevel::info, "CompositorPacer",
            fmt::format("[CompositorPacer] Not used: the {} capture delivers a frame whenever the picture changes",
                platform->name()));
    }
    MirrorEngine::Environment environment;
    // The engine takes every OS service from it: desktop and host alike.
    environment.session.platform = platform;
    auto& stallLimit = environment.session.frameServer.stalledWriteLimit;
    stallLimit = std::chrono::duration_cast<std::chrono::milliseconds>(scaled(stallLimit, daemon->scale));
    environment.settings = makeStoredSettings(userSettings());
    environment.tabletPairing = std::make_shared<TabletPairing>(TabletPairing::defaultPath());
    daemon->controlServer = std::make_shared<EngineControlServer>(context.paths.controlSocket);
    environment.controlServer = daemon->controlServer;
    daemon->engine = MirrorEngine::make(std::move(environment), engineTiming);
    daemon->progress = std::make_shared<StartProgress>(out, context.program);
    std::weak_ptr<MirrorEngine> observed = daemon->engine;
    std::weak_ptr<StartProgress> progress = daemon->progress;
    daemon->engine->addObserver([observed, progress](const EngineState& state, EngineProperty property) {
        auto engine = observed.lock();
        auto lines = progress.lock();
        if (!engine || !lines) return;
        // Auto-mirror may be switched on or off while the daemon waits.
        lines->setStartsOnPlugIn(engine->startsOnPlugIn());
        lines->engineChanged(state, engine->sessions().size(), property);
    });
    // Desktop notifications for what a user should see without a terminal.
    auto notices = std::make_shared<EventNotices>();
    auto notifier = makeFreedesktopNotifications();
    daemon->engine->addObserver([notices, notifier](const EngineState& state, EngineProperty property) {
        for (auto& notice : notices->update(state, property)) notifier->notify(notice.summary, notice.body);
    });
    daemon->engine->activate();
    daemon->progress->setStartsOnPlugIn(daemon->engine->startsOnPlugIn());
    daemon->cells->setResolution(daemon->engine->state().resolution);

    std::weak_ptr<StatCells> weakCells = daemon->cells;
    const RuntimePaths paths = context.paths;
    daemon->statusFileTimer = Timer::repeating(globalQueue(QoS::defaultQoS),
        scaled(std::chrono::seconds(1), daemon->scale), scaled(std::chrono::seconds(5), daemon->scale),
        [weakCells, paths] {
            if (auto cells = weakCells.lock()) cells->writeStatusFile(paths);
        });

    auto& loop = MainLoop::shared();
    auto shutdownSignals = std::make_shared<asio::signal_set>(loop.context(), SIGINT, SIGTERM);
    awaitShutdownSignal(daemon, shutdownSignals);
    // The display server ended under us (a logout, a crash): the platform
    // has said so in one error line; mirroring stops, the tunnels go, and
    // the daemon ends as after SIGTERM, with status 0 so that the service
    // manager does not start it again on a desktop that is gone.
    platform->onDesktopLost([daemon] { beginShutdown(daemon); });
    // The compositor restarted under a desktop that lives on (GNOME): the
    // sessions it ended are torn down and built again on its return.
    platform->onCompositorAway([weak = std::weak_ptr(daemon->engine)](bool away) {
        if (auto engine = weak.lock()) engine->compositorAway(away);
    });
    auto reconnectSignals = std::make_shared<asio::signal_set>(loop.context(), SIGUSR1);
    awaitReconnectSignal(daemon, reconnectSignals);
    releaseDaemonSignals();

    daemon->tasks = std::make_unique<TaskGroup>(loop.executor());
    daemon->tasks->spawn(startMirroring(daemon), "daemon start");
    loop.run();
    // Key grabs and virtual outputs a stuck session still holds go with us.
    platform->stop();

    // Past the deadline the teardown is abandoned; either way no child of
    // ours outlives the daemon.
    const bool completed = daemon->engine->state().status.is(MirrorStatus::Kind::idle) && !daemon->startFailed;
    endChildren(daemon->timing.childGrace);
    std::fflush(nullptr);
    out.flush();
    // Threads of abandoned work (a capture, a stuck adb wait) must not hold
    // the exit, nor run while static objects are destroyed.
    std::_Exit(completed ? 0 : 1);
}

} // namespace qb::cli
