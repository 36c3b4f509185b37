#include "core/MirrorEngine.h"

#include <algorithm>
#include <exception>

#include <fmt/format.h>

#include "core/PortCheck.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/Log.h"
#include "runtime/Background.h"
#include "runtime/MainLoop.h"
#include "runtime/OwnedTask.h"
#include "runtime/Queues.h"
#include "platform/MemoryRelease.h"

namespace qb {

void MirrorEngine::engineLine(const std::string& line) { componentLog(LogLevel::info, "MirrorEngine", line); }

namespace {

// The leftover tunnels' removal, which every start awaits.
asio::awaitable<void> removeTunnels(std::function<int()> remove) { co_await offMainLoop<int>(remove, "Engine"); }

} // namespace

std::shared_ptr<MirrorEngine> MirrorEngine::make(Environment environment, Timing timing)
{
    routeRuntimeLog();
    auto engine = std::shared_ptr<MirrorEngine>(new MirrorEngine(std::move(environment), timing));
    // Each part holds the engine weakly, through the interface it is served by.
    engine->lifecycle_->attach(std::shared_ptr<LifecycleHost>(engine, static_cast<LifecycleHost*>(engine.get())));
    engine->pages_->attach(std::shared_ptr<PageHost>(engine, static_cast<PageHost*>(engine.get())));
    return engine;
}

MirrorEngine::MirrorEngine(Environment environment, Timing timing)
    : environment_(completeEnvironment(std::move(environment), timing))
    , timing_(timing)
    , lifecycle_(std::make_shared<EngineLifecycle>(timing.wakeRestartDelay))
{
    auto& env = environment_;
    if (!env.session.lanPeers) env.session.lanPeers = lanPeers_;
    if (!env.tabletPairing) env.tabletPairing = std::make_shared<TabletPairing>(std::filesystem::path());
    pages_ = std::make_shared<PageSessions>(timing.pageSessionGrace, env.tabletPairing);
    // The engine outlives what the dimmer reads here: it owns the dimmer's
    // only use, and stop() ends its pending steps.
    env.hostDimming->watch(
        [this] { return HostDimming::Conditions{state_.stats.clientCount, state_.status.is(MirrorStatus::Kind::running)}; });
    EngineState& initial = published_->initial();
    initial.resolution = env.resolution;
    initial.displayMode = env.displayMode;
    initial.connectionMode = env.connectionMode;
    if (env.settings) {
        if (const auto values = env.settings->load()) static_cast<EngineSettingsValues&>(initial) = *values;
    }
    pages_->setAutoRefresh(initial.autoRefreshEnabled);
    logInfo("Engine",
        fmt::format("init, resolution: {}x{}, mode: {}", state_.resolution.width, state_.resolution.height,
            state_.displayMode == DisplayMode::mirror ? "mirror" : "extended"));
}

MirrorEngine::~MirrorEngine()
{
    if (settingsWatch_) settingsWatch_->cancel();
    lifecycle_->cancelAll();
    environment_.updateChecks->cancel();
    environment_.deviceMonitor->stop();
    environment_.networkServices->stop();
    frontLights_.stop();
    environment_.sleep->setOnLidOpened(nullptr);
    environment_.sleep->setOnSleepChanged(nullptr);
    // The dimmer may outlive the engine (a test's, the daemon's): it must not
    // read a state that is gone.
    environment_.hostDimming->watch([] { return HostDimming::Conditions{}; });
}

void MirrorEngine::setStatus(MirrorStatus status) { publish(&EngineState::status, std::move(status), EngineProperty::status); }

bool MirrorEngine::companionCompatible() const
{
    return !state_.companionVersion || isCompanionCompatible(*state_.companionVersion, appVersion);
}

// ---------------------------------------------------------------------------
// Activation

void MirrorEngine::activate()
{
    if (isActivated_) return;
    isActivated_ = true;
    auto& env = environment_;
    recoverLeftovers();
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    env.sleep->setOnLidOpened([weak] {
        if (auto self = weak.lock()) self->lidOpened();
    });
    env.sleep->setOnSleepChanged([weak](bool sleeping) {
        if (auto self = weak.lock()) self->sleepChanged(sleeping);
    });
    if (state_.connectionMode == ConnectionMode::wifi) env.networkServices->start(env.ports.stream);
    if (env.controlServer) env.controlServer->start(shared_from_this());
    // The page is there from the start, so it can start the first mirror;
    // a clash here is reported by the start's port check.
    if (const auto failure = openPreview()) logWarn("Engine", "Preview and control page not served: " + *failure);
    // The adb server takes a few seconds to come up; have it ready before the
    // first device list is asked for.
    asio::post(globalQueue(QoS::utility), [] {
        if (ADBBridge::isADBInstalled()) ADBBridge::ensureServerRunning();
    });
    DeviceMonitor::Events events;
    events.connected = [weak] {
        if (auto self = weak.lock()) self->deviceConnected();
    };
    events.disconnected = [weak] {
        if (auto self = weak.lock()) self->deviceDisconnected();
    };
    events.unauthorizedChanged = [weak](const std::vector<std::string>& serials) {
        if (auto self = weak.lock()) self->unauthorizedDevicesChanged(serials);
    };
    events.startRequested = [weak] {
        if (auto self = weak.lock()) self->companionStartRequested();
    };
    events.adbLost = [weak] {
        if (auto self = weak.lock()) self->adbLost();
    };
    events.adbReturned = [weak] {
        if (auto self = weak.lock()) self->adbReturned();
    };
    events.adbAnswering = [weak](bool answering) {
        if (auto self = weak.lock()) {
            self->publish(&EngineState::adbServerAnswering, answering, EngineProperty::adbServerAnswering);
        }
    };
    env.deviceMonitor->start(std::move(events));
    if (env.settings) {
        settingsWatch_ = Timer::repeating(MainLoop::shared().executor(), timing_.settingsCheckInterval,
            timing_.settingsCheckInterval, [weak] {
                if (auto self = weak.lock()) self->applyOutsideSettings();
            });
    }
    env.updateChecks->schedule([weak](const UpdateChecker::Release& release) {
        auto self = weak.lock();
        if (!self) return;
        self->publish(&EngineState::updateVersion, std::optional<std::string>(release.version),
            EngineProperty::updateVersion);
        self->publish(&EngineState::updateURL, std::optional<std::string>(release.url), EngineProperty::updateURL);
        logInfo("Update", "New version available: " + release.version);
    });
}

// A run that died (kill -9, a crash, the power gone) could not take back
// what it had changed. Everything it makes is marked as ours (the panel's
// and the font setting's saved values in their files, our name on the
// desktop's modes and monitors, the companion's ports on the tunnels), so
// it is found and undone here, once, before anything new is made.
void MirrorEngine::recoverLeftovers()
{
    auto& env = environment_;
    restoreBrightnessIfNeeded();
    env.fontSmoothing->repairAfterCrash();
    const auto displays = env.session.virtualDisplays ? env.session.virtualDisplays : platform()->virtualDisplays();
    if (displays) displays->removeLeftovers();
    // A start must not make its tunnels while the old ones are being removed.
    lifecycle_->recovery().spawn(removeTunnels(env.removeLeftoverTunnels), "tunnel recovery");
}

// ---------------------------------------------------------------------------
// Start

std::string MirrorEngine::previewAddress() const
{
    return std::string(state_.connectionMode == ConnectionMode::wifi ? ALL_INTERFACES_ADDRESS : LOOPBACK_ADDRESS);
}

asio::awaitable<std::string> MirrorEngine::answerControl(std::weak_ptr<MirrorEngine> weak, std::string request)
{
    std::shared_ptr<ControlServer> server;
    if (auto self = weak.lock()) server = self->environment_.controlServer;
    if (!server) co_return "ERR not running";
    co_return co_await server->answer(std::move(request));
}

std::optional<std::string> MirrorEngine::openPreview()
{
    if (preview_.running()) return std::nullopt;
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    PreviewServers::Options options{environment_.ports.webSocket, environment_.ports.http, previewAddress(), lanPeers_,
        static_cast<int>(state_.resolution.width), static_cast<int>(state_.resolution.height),
        [weak] {
            if (auto self = weak.lock()) self->requestStart();
        },
        [weak] {
            auto self = weak.lock();
            if (self && self->state_.status.is(MirrorStatus::Kind::running)) self->stop();
        },
        [weak](std::string request) { return answerControl(weak, std::move(request)); },
        [pages = pages_](TabletHello hello, asio::ip::address) { return pages->target(std::move(hello)); },
        state_.connectionMode == ConnectionMode::wifi ? environment_.tabletPairing : nullptr};
    return preview_.start(std::move(options));
}

asio::awaitable<void> MirrorEngine::shutdownAsync()
{
    const auto self = shared_from_this();
    lifecycle_->close();
    co_await stopAsync();
    co_await preview_.stop();
}

// The start path itself is the lifecycle's (core/EngineLifecycle.h); what
// the engine checks before "starting" is published is here.
bool MirrorEngine::readyToStart()
{
    if (state_.fontSmoothingDisabled) environment_.fontSmoothing->disableForMirroring();
    if (environment_.captureBackend->preflightScreenCaptureAccess()) return true;
    environment_.captureBackend->requestScreenCaptureAccess();
    setStatus(MirrorStatus::error("Grant Screen Recording permission (X display access: DISPLAY and XAUTHORITY, "
                                  "or xhost +SI:localuser:<user>), then retry",
        MirrorStatus::Cause::captureAccess));
    return false;
}

asio::awaitable<void> MirrorEngine::start()
{
    // Keeps the engine alive across the await below, whoever started us.
    const auto self = shared_from_this();
    if (!lifecycle_->requestStart()) co_return;
    co_await lifecycle_->startDone();
}

// GCC 12 inlines Asio's coroutine-frame allocator into this coroutine and
// then mistakes its matching operator delete for a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<void> MirrorEngine::startSequence()
{
    const auto self = shared_from_this();
    co_await lifecycle_->recovery().join();

    const auto& ports = environment_.ports;
    // The preview listens on the connection mode's address: after a change
    // of mode it moves there.
    if (preview_.running() && preview_.bindAddress() != previewAddress()) co_await preview_.stop();
    // Our own preview holds its ports; they are not a clash.
    std::function<bool(std::uint16_t)> available = [weak = weak_from_this(), own = environment_.portAvailable](
                                                       std::uint16_t port) {
        const auto self = weak.lock();
        if (self && self->preview_.running()
            && (port == self->preview_.webSocket()->port() || port == self->preview_.http()->port())) {
            return true;
        }
        return own(port);
    };
    bool cancelled = false;
    auto checking = firstBusyPort(ports,
        {available, environment_.processBlocking, timing_.portBusyFor, timing_.portRecheckInterval}, cancelled);
    const auto busy = co_await std::move(checking);
    if (cancelled) co_return;
    if (busy) {
        setStatus(MirrorStatus::error(*busy, MirrorStatus::Cause::portInUse));
        co_return;
    }

    if (const auto failure = openPreview()) {
        setStatus(MirrorStatus::error("Server failed: " + *failure, MirrorStatus::Cause::serverFailed));
        co_return;
    }

    std::function<std::vector<ConnectedDevice>()> listing = environment_.listDevices;
    auto devices = co_await offMainLoop<std::vector<ConnectedDevice>>(listing);

    if (devices.empty()) {
        logWarn("Engine", "No devices found — entering waitingForDevice");
        setStatus(MirrorStatus::waitingForDevice());
        co_return;
    }

    const LineupChoices choices{ports, state_.displayMode, state_.resolution, state_.nonDC1Mode};
    const auto lineup = deviceLineup(std::move(devices), choices, nativeSizes_);
    std::string captureFailure;
    for (const LineupEntry& entry : lineup) {
        const ConnectedDevice& device = entry.device;
        engineLine(fmt::format("[MirrorEngine] Device {} ({}) → {}", device.serial, device.model,
            entry.pixelFormat == PixelFormat::greyscale ? "Greyscale" : "Color"));
        auto session = makeDeviceSession(entry);
        auto starting = startSession(session, &captureFailure);
        co_await std::move(starting);

        if (lineup.size() > 1) {
            const bool completed = co_await sleepFor(timing_.displayStagger);
            if (!completed) {
                engineLine("[MirrorEngine] Sleep interrupted during display stagger: cancelled");
                if (lifecycle_->tearingDown()) co_return; // a stop overtook the start
            }
        }
    }

    if (sessions_.empty()) {
        logError("Engine", "No sessions started — cleaning up");
        if (!captureFailure.empty()) {
            setStatus(MirrorStatus::error("Screen capture did not start: " + captureFailure,
                MirrorStatus::Cause::captureFailed));
        } else {
            setStatus(MirrorStatus::error("No device sessions could be started", MirrorStatus::Cause::noSessions));
        }
        co_return;
    }

    frontLights_.start(sessions_);

    publish(&EngineState::adbConnected,
        std::any_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->adbConnected(); }),
        EngineProperty::adbConnected);
    if (!state_.apkInstallStatus.empty() || state_.companionMissing) {
        published_->update(EngineProperty::apkInstallStatus, [](EngineState& state) {
            state.apkInstallStatus.clear();
            state.companionMissing = false;
        });
    }

    setStatus(MirrorStatus::running());
    EventLog::shared().record(MirrorEvent::mirrorStarted());
    if (environment_.settings) environment_.settings->completeSetup();
    environment_.deviceMonitor->setMirroring(true);

    if (state_.clamshellModeEnabled) environment_.sleep->activate();

    std::string summary = "Sessions: ";
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        const auto& s = sessions_[i];
        if (i > 0) summary += ", ";
        summary += fmt::format("{}@{}:{}x{}", s->device().model, s->port(), s->resolution().width,
            s->resolution().height);
    }
    logInfo("Engine", summary);
    logInfo("Engine",
        fmt::format("WS: ws://localhost:{} | HTTP: http://localhost:{}", ports.webSocket, ports.http));

    // A mode or resolution set while the sessions were being built was
    // stored and answered; the sessions are built again so that they show it.
    if (lineupOutdated(choices)) {
        logInfo("Engine", "Settings changed while starting — restarting to apply them");
        lifecycle_->restart();
    }
}
#pragma GCC diagnostic pop

asio::awaitable<void> MirrorEngine::startSession(std::shared_ptr<DeviceSession> session, std::string* captureFailure)
{
    watchSession(session);
    const std::string serial = session->id();
    publish(&EngineState::lastADBFailureMessage, std::optional<std::string>(), EngineProperty::lastADBFailureMessage);

    // Until it has started, a stop finds the session here and tears it down.
    startingSession_ = session;
    std::string failure;
    bool captureFailed = false;
    std::exception_ptr cancelled;
    try {
        auto starting = environment_.startSession(session, preview_.webSocket(), state_.contrastAmount, state_.gammaAmount);
        co_await std::move(starting);
    } catch (const std::exception& error) {
        failure = error.what();
        captureFailed = dynamic_cast<const ScreenCaptureError*>(&error) != nullptr;
        if (failure.empty()) failure = "unknown error";
        if (lifecycle_->tearingDown()) cancelled = std::current_exception();
    }
    // A stop cancelled the start: the teardown owns the session now.
    if (cancelled) std::rethrow_exception(cancelled);
    startingSession_.reset();
    if (failure.empty()) {
        sessions_.push_back(session);
        notify(EngineProperty::sessions);
        co_return;
    }
    logError("Engine", "Session " + serial + " failed: " + failure);
    for (const auto& address : deviceAddresses(session->device())) lanPeers_->remove(address);
    // What the failed start created (virtual display, servers, tunnels) is
    // torn down before the session is dropped, so nothing keeps its ports.
    if (captureFailed && captureFailure) *captureFailure = failure;
    co_await session->stop();
}

// ---------------------------------------------------------------------------
// Stop

void MirrorEngine::stop() { lifecycle_->stop(); }

asio::awaitable<void> MirrorEngine::stopAsync()
{
    MainLoop::shared().assertCurrent("MirrorEngine::stopAsync");
    const auto self = shared_from_this();
    co_await lifecycle_->stopAsync();
}

// The teardown's work: the lifecycle published "stopping" and ended the
// start and the reconnects under way; what they built is torn down here.
asio::awaitable<void> MirrorEngine::tearDown()
{
    const auto self = shared_from_this();
    environment_.deviceMonitor->setMirroring(false);
    environment_.sleep->deactivate();
    environment_.hostDimming->cancelAndRestore("[MirrorEngine:Host] Brightness restored to {:.2f}");
    frontLights_.stop();
    // The devices' addresses leave before the servers stop: from here on no
    // LAN peer is served, and what they have open is closed now.
    lanPeers_->clear();

    auto sessions = sessions_;
    if (auto unfinished = std::exchange(startingSession_, nullptr)) sessions.push_back(std::move(unfinished));
    for (const auto& session : sessions) co_await session->stop();
    sessions_.clear();
    notify(EngineProperty::sessions);

    if (state_.fontSmoothingDisabled) {
        environment_.fontSmoothing->restoreAfterMirroring();
        publish(&EngineState::fontSmoothingDisabled, false, EngineProperty::fontSmoothingDisabled);
    }

    setStatus(MirrorStatus::idle());
    EventLog::shared().record(MirrorEvent::mirrorStopped());
    // The streams' buffers are free now; an idle daemon holds none of them.
    asio::post(globalQueue(QoS::utility), [] { returnFreedMemory(); });

    // The rates and counts end with the streams; the last timings stay for
    // the record.
    auto figures = state_.stats;
    figures.fps = 0;
    figures.bandwidthMBps = 0;
    figures.clientCount = 0;
    figures.totalFrames = 0;
    publish(&EngineState::stats, figures, EngineProperty::stats);
    publish(&EngineState::adbConnected, false, EngineProperty::adbConnected);
    logInfo("Engine", "Mirror stopped");
}

// ---------------------------------------------------------------------------
// Reconnect

void MirrorEngine::reconnect()
{
    if (!state_.status.is(MirrorStatus::Kind::running)) return;
    logInfo("Engine", "Reconnecting ADB...");
    lifecycle_->reconnects().spawn(ownedTask(weak_from_this(), &MirrorEngine::reconnectSessions, sessions_),
        "reconnect");
}

asio::awaitable<void> MirrorEngine::reconnectSessions(std::vector<std::shared_ptr<DeviceSession>> sessions)
{
    for (const auto& session : sessions) {
        if (!session->adbConnected()) co_await session->reconnect();
    }
    const bool anyConnected = std::any_of(sessions.begin(), sessions.end(), [](const auto& s) { return s->adbConnected(); });
    publish(&EngineState::adbConnected, anyConnected, EngineProperty::adbConnected);
}

} // namespace qb
