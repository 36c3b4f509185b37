#include "core/MirrorEngine.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <fmt/format.h>

#include "core/PortCheck.h"
#include "core/StatsAggregation.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/Log.h"
#include "diagnostics/MetricsRing.h"
#include "host/PortChecker.h"
#include "runtime/Clock.h"
#include "runtime/Background.h"
#include "runtime/MainLoop.h"
#include "runtime/Queues.h"
#include "runtime/SettingsStore.h"
#include "platform/InputInjector.h"
#include "platform/MemoryRelease.h"
#include "runtime/Process.h"
#include "transport/ListenSocket.h"

namespace qb {

namespace {

// The frame stream of the first Daylight DC-1 session, where front-light
// commands go.
std::shared_ptr<TCPServer> frontLightStream(const std::vector<std::shared_ptr<DeviceSession>>& sessions)
{
    for (const auto& session : sessions) {
        if (session->device().deviceFamily() == DeviceFamily::daylightDC1 && session->tcpServer()) {
            return session->tcpServer();
        }
    }
    return nullptr;
}

void engineLine(const std::string& line)
{
    componentLog(LogLevel::info, "MirrorEngine", line);
}

} // namespace

std::shared_ptr<MirrorEngine> MirrorEngine::make(Environment environment, Timing timing)
{
    routeRuntimeLog();
    return std::shared_ptr<MirrorEngine>(new MirrorEngine(std::move(environment), timing));
}

MirrorEngine::MirrorEngine(Environment environment, Timing timing)
    : environment_(std::move(environment))
    , timing_(timing)
    , tasks_(MainLoop::shared().executor())
    , starting_(MainLoop::shared().executor())
    , reconnects_(MainLoop::shared().executor())
    , teardown_(MainLoop::shared().executor())
    , recovery_(MainLoop::shared().executor())
{
    auto& env = environment_;
    if (!env.session.platform) env.session.platform = makeSimPlatform();
    Platform& platform = *env.session.platform;
    if (!env.captureBackend) env.captureBackend = platform.captureBackend();
    if (!env.listDevices) env.listDevices = adbDeviceList;
    if (!env.removeLeftoverTunnels) env.removeLeftoverTunnels = adbLeftoverTunnelsRemoved;
    if (!env.makeADBBridge) {
        env.makeADBBridge = [](const ConnectedDevice&) { return std::make_shared<RealADBBridge>(); };
    }
    if (!env.portAvailable) env.portAvailable = wildcardBindSucceeds;
    if (!env.processBlocking) {
        env.processBlocking = [](std::uint16_t port) { return PortChecker::processBlocking(port); };
    }
    if (!env.startSession) {
        env.startSession = [](std::shared_ptr<DeviceSession> session, std::shared_ptr<WebSocketServer> ws,
                               double contrast, double gamma) {
            return session->start(std::move(ws), contrast, gamma);
        };
    }
    if (!env.sleep) env.sleep = makeSleepControl(platform.hostPower(), timing_.sleep);
    if (!env.hostDimming) {
        env.hostDimming = makeHostDimming(std::make_shared<HostBrightness>(platform.backlight()),
            AutoDim::recoveryFileIn(platform.config().home), timing_.autoDim);
    }
    if (!env.frontLight) env.frontLight = makeFrontLight(platform.globalHotkeys());
    if (!env.deviceMonitor) env.deviceMonitor = makeUSBDeviceMonitor(timing_.usbMonitor);
    if (!env.networkServices) env.networkServices = makeWiFiServices(platform.dnsSd(MainLoop::shared().executor()));
    if (!env.updateChecks) {
        UpdateChecker::Config updates;
        if (!platform.config().updateHost.empty()) updates.host = platform.config().updateHost;
        if (!updates.enabled()) {
            logInfo("Update", "Update check off: this build names no update feed (updates come with the system's packages)");
        }
        env.updateChecks = makeUpdateChecks([updates] { return UpdateChecker::check(appVersion, updates); },
            timing_.firstUpdateCheck,
            timing_.updateCheckInterval);
    }
    if (!env.fontSmoothing) {
        env.fontSmoothing = makeDesktopFontSmoothing(
            std::make_shared<FontSmoothing>(platform.fontSettings(), FontSmoothing::stateFileIn(platform.config().home)));
    }
    if (!env.session.lanPeers) env.session.lanPeers = lanPeers_;
    if (!env.tabletPairing) env.tabletPairing = std::make_shared<TabletPairing>(std::filesystem::path());
    // The engine outlives what the dimmer reads here: it owns the dimmer's
    // only use, and stop() ends its pending steps.
    env.hostDimming->watch(
        [this] { return HostDimming::Conditions{state_.stats.clientCount, state_.status.is(MirrorStatus::Kind::running)}; });
    state_.resolution = env.resolution;
    state_.displayMode = env.displayMode;
    state_.connectionMode = env.connectionMode;
    if (env.settings) {
        if (const auto v = env.settings->load()) {
            state_.resolution = v->resolution;
            state_.nonDC1Mode = v->nonDC1Mode;
            state_.displayMode = v->displayMode;
            state_.contrastAmount = v->contrastAmount;
            state_.gammaAmount = v->gammaAmount;
            state_.displayProfile = v->displayProfile;
            state_.autoMirrorEnabled = v->autoMirrorEnabled;
            state_.autoDimHost = v->autoDimHost;
            state_.clamshellModeEnabled = v->clamshellModeEnabled;
            state_.connectionMode = v->connectionMode;
        }
    }
    logInfo("Engine",
        fmt::format("init, resolution: {}x{}, mode: {}", state_.resolution.width, state_.resolution.height,
            state_.displayMode == DisplayMode::mirror ? "mirror" : "extended"));
}

MirrorEngine::~MirrorEngine()
{
    tasks_.cancelAll();
    starting_.cancelAll();
    reconnects_.cancelAll();
    teardown_.cancelAll();
    recovery_.cancelAll();
    environment_.updateChecks->cancel();
    environment_.deviceMonitor->stop();
    environment_.networkServices->stop();
    environment_.frontLight->stop();
    environment_.sleep->setOnLidOpened(nullptr);
    environment_.sleep->setOnSleepChanged(nullptr);
    // The dimmer may outlive the engine (a test's, the daemon's): it must not
    // read a state that is gone.
    environment_.hostDimming->watch([] { return HostDimming::Conditions{}; });
}

// ---------------------------------------------------------------------------
// Observation

int MirrorEngine::addObserver(Observer observer)
{
    const int id = nextObserverId_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void MirrorEngine::removeObserver(int id)
{
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void MirrorEngine::notify(EngineProperty property)
{
    // A copy: an observer may add or remove observers.
    const auto observers = observers_;
    for (const auto& [id, observer] : observers) {
        if (observer) observer(state_, property);
    }
}

template <class T>
void MirrorEngine::publish(T EngineState::*field, std::type_identity_t<T> value, EngineProperty property)
{
    if (state_.*field == value) return;
    state_.*field = std::move(value);
    notify(property);
}

void MirrorEngine::setStatus(MirrorStatus status) { publish(&EngineState::status, std::move(status), EngineProperty::status); }

template <class T>
void MirrorEngine::changeSetting(T EngineState::*field, std::type_identity_t<T> value, EngineProperty property)
{
    publish(field, std::move(value), property);
    settingChanged(property);
}

void MirrorEngine::setContrastAmount(double value)
{
    changeSetting(&EngineState::contrastAmount, value, EngineProperty::contrastAmount);
}

void MirrorEngine::setGammaAmount(double value)
{
    changeSetting(&EngineState::gammaAmount, value, EngineProperty::gammaAmount);
}

void MirrorEngine::setDisplayProfile(DisplayProfile profile)
{
    changeSetting(&EngineState::displayProfile, profile, EngineProperty::displayProfile);
}

void MirrorEngine::setResolution(DisplayResolution resolution)
{
    if (resolution == state_.resolution) return;
    const std::string from = fmt::format("{}x{}", state_.resolution.width, state_.resolution.height);
    const std::string to = fmt::format("{}x{}", resolution.width, resolution.height);
    logInfo("Engine", "resolution changed: " + from + " → " + to);
    EventLog::shared().record(MirrorEvent::resolutionChanged(from, to));
    changeSetting(&EngineState::resolution, std::move(resolution), EngineProperty::resolution);
}

void MirrorEngine::setNonDC1Mode(std::string mode)
{
    if (mode == state_.nonDC1Mode) return;
    logInfo("Engine", "nonDC1Mode changed: " + state_.nonDC1Mode + " → " + mode);
    changeSetting(&EngineState::nonDC1Mode, std::move(mode), EngineProperty::nonDC1Mode);
}

void MirrorEngine::setDisplayMode(DisplayMode mode)
{
    const DisplayMode old = state_.displayMode;
    changeSetting(&EngineState::displayMode, mode, EngineProperty::displayMode);
    if (old == mode) return;
    EventLog::shared().record(MirrorEvent::modeChanged(std::string(rawValue(old)), std::string(rawValue(mode))));
    if (old == DisplayMode::mirror && mode == DisplayMode::extended) {
        environment_.hostDimming->cancelAndRestore("[MirrorEngine:Host] Brightness restored — left mirror mode");
    }
}

void MirrorEngine::setAutoMirrorEnabled(bool enabled)
{
    changeSetting(&EngineState::autoMirrorEnabled, enabled, EngineProperty::autoMirrorEnabled);
}

void MirrorEngine::setAutoDimHost(bool enabled)
{
    changeSetting(&EngineState::autoDimHost, enabled, EngineProperty::autoDimHost);
}

void MirrorEngine::setConnectionMode(ConnectionMode mode)
{
    changeSetting(&EngineState::connectionMode, mode, EngineProperty::connectionMode);
}

void MirrorEngine::setClamshellModeEnabled(bool enabled)
{
    changeSetting(&EngineState::clamshellModeEnabled, enabled, EngineProperty::clamshellModeEnabled);
}

bool MirrorEngine::companionCompatible() const
{
    return !state_.companionVersion || isCompanionCompatible(*state_.companionVersion, appVersion);
}

// ---------------------------------------------------------------------------
// Static helpers

int MirrorEngine::brightnessFromSliderPos(double position)
{
    if (std::isnan(position) || position < 0.03) return 0;
    const double value = std::min(position * position * 255.0, 255.0);
    if (value < 1.5) return 1;
    return static_cast<int>(value);
}

bool MirrorEngine::hasScreenRecordingPermission() const
{
    return environment_.captureBackend->preflightScreenCaptureAccess();
}

bool MirrorEngine::hasAccessibilityPermission() const { return platform()->inputInjector()->isTrusted(); }

bool MirrorEngine::allPermissionsGranted() const
{
    return hasScreenRecordingPermission() && hasAccessibilityPermission();
}

bool MirrorEngine::requestScreenRecordingPermission()
{
    return environment_.captureBackend->requestScreenCaptureAccess();
}

bool MirrorEngine::requestAccessibilityPermission() const { return hasAccessibilityPermission(); }

bool MirrorEngine::setupCompleted() { return SettingsStore::shared().boolean("setupCompleted").value_or(false); }

void MirrorEngine::setSetupCompleted(bool completed) { SettingsStore::shared().setBool("setupCompleted", completed); }

bool MirrorEngine::hasADB() { return ADBBridge::isADBInstalled(); }

bool MirrorEngine::hasDevice() { return !ADBBridge::connectedDevices().empty(); }

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
    env.deviceMonitor->start(std::move(events));
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
    recovery_.spawn(tunnelRecoveryTask(env.removeLeftoverTunnels), "tunnel recovery");
}

asio::awaitable<void> MirrorEngine::tunnelRecoveryTask(std::function<int()> remove)
{
    co_await offMainLoop<int>(remove, "Engine");
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

asio::awaitable<std::optional<TabletTarget>> MirrorEngine::tabletTarget(std::weak_ptr<MirrorEngine> weak,
    TabletHello hello, asio::ip::address peer)
{
    auto self = weak.lock();
    if (!self) co_return std::nullopt;
    co_return co_await self->pageSession(std::move(hello), peer);
}

// GCC 12 inlines Asio's coroutine-frame allocator into this coroutine and
// then mistakes its matching operator delete for a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<std::optional<TabletTarget>> MirrorEngine::pageSession(TabletHello hello, asio::ip::address peer)
{
    const auto self = shared_from_this();
    if (!hello.deviceSerial.empty()) {
        // The page a device without the companion opened joins that device's session.
        for (const auto& session : sessions_) {
            const auto& frames = session->tcpServer();
            if (session->id() != hello.deviceSerial || !frames || frames->port() == 0) continue;
            const auto& input = session->inputServer();
            co_return TabletTarget{frames->port(), input ? input->boundPort() : std::uint16_t(0), nullptr};
        }
        co_return std::nullopt;
    }
    const std::string serial = fmt::format("page-{}-{}", hello.pageId, label(hello.pixelFormat));
    const auto find = [this, &serial]() -> std::shared_ptr<DeviceSession> {
        for (const auto& session : sessions_) {
            if (session->id() == serial) return session;
        }
        return nullptr;
    };
    std::shared_ptr<DeviceSession> session = find();
    if (!session) {
        const bool waiting = state_.status.is(MirrorStatus::Kind::waitingForDevice);
        // One page's session starts at a time; a page that finds the daemon
        // stopped or busy tries again.
        if ((!waiting && !state_.status.is(MirrorStatus::Kind::running)) || pageStarting_) co_return std::nullopt;
        ConnectedDevice device{serial, "browser", hello.width, hello.height};
        const auto& ports = environment_.ports;
        LineupChoices choices{ports, state_.displayMode, state_.resolution, state_.nonDC1Mode};
        const DisplayResolution resolution = resolutionForDevice(device, choices, nativeSizes_);
        std::uint16_t port = 0;
        for (std::size_t index = 0; port == 0; ++index) {
            const std::uint16_t candidate = ports.streamPort(index);
            if (candidate == 0) break;
            const bool taken = std::any_of(sessions_.begin(), sessions_.end(),
                [candidate](const auto& s) { return s->port() == candidate; });
            if (!taken) port = candidate;
        }
        if (port == 0) co_return std::nullopt;
        const DisplayMode mode = sessions_.empty() ? state_.displayMode : DisplayMode::extended;
        auto environment = environment_.session;
        environment.inputPort = 0; // its own input server: the device port 8892 stays the companion's
        session = std::make_shared<DeviceSession>(port, resolution, mode, device, hello.pixelFormat,
            environment_.makeADBBridge(device), timing_.session, environment);
        session->setSkipADB(true);
        // The page reaches its servers through the bridge, on this machine.
        session->setBindAddress(std::string(LOOPBACK_ADDRESS));
        engineLine(fmt::format("[MirrorEngine] Tablet page {} ({}x{}, {}) → port {}, {}x{} {}", hello.pageId,
            hello.width, hello.height, label(hello.pixelFormat), port, resolution.width, resolution.height,
            mode == DisplayMode::extended ? "extended" : "mirror"));
        pageStarting_ = true;
        if (waiting) setStatus(MirrorStatus::starting());
        auto starting = startSession(session);
        try {
            co_await std::move(starting);
        } catch (...) {
            pageStarting_ = false;
            throw;
        }
        pageStarting_ = false;
        session = find();
        if (waiting && state_.status.is(MirrorStatus::Kind::starting)) {
            setStatus(session ? MirrorStatus::running() : MirrorStatus::waitingForDevice());
        }
        if (!session) co_return std::nullopt;
    }
    const auto& frames = session->tcpServer();
    if (!frames || frames->port() == 0) co_return std::nullopt;
    auto& link = pages_[serial];
    ++link.connections;
    if (!peer.is_unspecified() && !peer.is_loopback() && state_.connectionMode == ConnectionMode::wifi) {
        // The paired page may now reach the preview too, until its session ends.
        if (std::find(link.lanPeers.begin(), link.lanPeers.end(), peer) == link.lanPeers.end()) {
            link.lanPeers.push_back(peer);
        }
        lanPeers_->allow(peer);
    }
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    std::shared_ptr<void> lease(nullptr, [weak, serial](void*) {
        MainLoop::shared().post([weak, serial] {
            if (auto self = weak.lock()) self->pageLeft(serial);
        });
    });
    const auto& input = session->inputServer();
    co_return TabletTarget{frames->port(), input ? input->boundPort() : std::uint16_t(0), std::move(lease)};
}
#pragma GCC diagnostic pop

void MirrorEngine::openTabletPages()
{
    if (!state_.status.is(MirrorStatus::Kind::running)) return;
    for (const auto& session : sessions_) {
        if (session->skipADB()) continue; // a page's own session, or a device on the network
        logInfo("Engine", "Opening the tablet page on " + session->id() + " (asked for)");
        std::function<bool()> open = [session] { return session->openTabletPage(); };
        tasks_.spawn(openTabletPageTask(std::move(open)), "open tablet page");
    }
}

asio::awaitable<void> MirrorEngine::openTabletPageTask(std::function<bool()> open)
{
    co_await offMainLoop<bool>(std::move(open));
}

std::string MirrorEngine::issueTabletPairingCode()
{
    const std::string code = environment_.tabletPairing->issueCode();
    logInfo("Engine", "Tablet pairing code issued");
    return code;
}

bool MirrorEngine::forgetTabletPages()
{
    const bool saved = environment_.tabletPairing->forgetAll();
    logInfo("Engine", saved ? "Every paired tablet page forgotten" : "Paired tablet pages could not be forgotten");
    return saved;
}

void MirrorEngine::pageLeft(const std::string& serial)
{
    auto& link = pages_[serial];
    if (--link.connections > 0) return;
    link.connections = 0;
    reconnects_.spawn(pageGraceTask(weak_from_this(), serial, ++link.generation), "tablet page grace");
}

asio::awaitable<void> MirrorEngine::pageGraceTask(std::weak_ptr<MirrorEngine> weak, std::string serial,
    std::uint64_t generation)
{
    Duration grace{};
    if (auto self = weak.lock()) grace = self->timing_.pageSessionGrace;
    const bool completed = co_await sleepFor(grace);
    if (!completed) co_return;
    auto self = weak.lock();
    if (!self) co_return;
    const auto link = self->pages_.find(serial);
    if (link == self->pages_.end() || link->second.connections > 0 || link->second.generation != generation) {
        co_return;
    }
    const auto leaving = link->second.lanPeers;
    self->pages_.erase(link);
    for (const auto& address : leaving) {
        const bool stillUsed = std::any_of(self->pages_.begin(), self->pages_.end(), [&address](const auto& page) {
            return std::find(page.second.lanPeers.begin(), page.second.lanPeers.end(), address)
                != page.second.lanPeers.end();
        }) || std::any_of(self->sessions_.begin(), self->sessions_.end(), [&](const auto& session) {
            const auto addresses = self->deviceAddresses(session->device());
            return std::find(addresses.begin(), addresses.end(), address) != addresses.end();
        });
        if (!stillUsed) self->lanPeers_->remove(address);
    }
    const auto found = std::find_if(self->sessions_.begin(), self->sessions_.end(),
        [&serial](const auto& s) { return s->id() == serial; });
    if (found == self->sessions_.end()) co_return;
    const auto session = *found;
    self->sessions_.erase(found);
    self->notify(EngineProperty::sessions);
    logInfo("Engine", "Tablet page " + serial + " gone — its session ends");
    co_await session->stop();
    if (self->sessions_.empty() && self->state_.status.is(MirrorStatus::Kind::running)) {
        self->setStatus(MirrorStatus::waitingForDevice());
    }
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
        [weak](TabletHello hello, asio::ip::address peer) { return tabletTarget(weak, std::move(hello), peer); },
        state_.connectionMode == ConnectionMode::wifi ? environment_.tabletPairing : nullptr};
    try {
        preview_.start(std::move(options));
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string(error.what());
    }
}

asio::awaitable<void> MirrorEngine::shutdownAsync()
{
    const auto self = shared_from_this();
    co_await stopAsync();
    co_await preview_.stop();
}

// The one start path: the command line, the control socket, the preview
// page, device events, the companion, the hotkey and every restart come
// here. "starting" is published before this returns, so a trigger that
// arrives meanwhile finds the start under way and adds nothing; the
// sequence itself is a task of starting_, which a stop cancels.
bool MirrorEngine::requestStart()
{
    MainLoop::shared().assertCurrent("MirrorEngine::requestStart");
    if (!state_.status.is(MirrorStatus::Kind::idle) && !state_.status.is(MirrorStatus::Kind::waitingForDevice)) {
        return false;
    }
    if (state_.fontSmoothingDisabled) environment_.fontSmoothing->disableForMirroring();

    if (!environment_.captureBackend->preflightScreenCaptureAccess()) {
        environment_.captureBackend->requestScreenCaptureAccess();
        setStatus(MirrorStatus::error("Grant Screen Recording permission (X display access: DISPLAY and XAUTHORITY, "
                                      "or xhost +SI:localuser:<user>), then retry"));
        return false;
    }

    resumeOnReplug_ = false;
    setStatus(MirrorStatus::starting());
    starting_.spawn(startTask(weak_from_this()), "start");
    return true;
}

asio::awaitable<void> MirrorEngine::start()
{
    // Keeps the engine alive across the await below, whoever started us.
    const auto self = shared_from_this();
    if (!requestStart()) co_return;
    co_await starting_.join();
}

asio::awaitable<void> MirrorEngine::startSequence()
{
    const auto self = shared_from_this();
    co_await recovery_.join();

    const auto& ports = environment_.ports;
    // The preview listens on the connection mode's address: after a change
    // of mode it moves there.
    if (preview_.running() && preview_.bindAddress() != previewAddress()) co_await preview_.stop();
    // Our own preview holds its ports; they are not a clash.
    std::function<bool(std::uint16_t)> available = [weak = weak_from_this(), own = environment_.portAvailable](
                                                       std::uint16_t port) {
        const auto self = weak.lock();
        if (self && self->preview_.running()
            && (port == self->preview_.webSocket()->boundPort() || port == self->preview_.http()->boundPort())) {
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
        setStatus(MirrorStatus::error(*busy));
        co_return;
    }

    if (const auto failure = openPreview()) {
        setStatus(MirrorStatus::error("Server failed: " + *failure));
        co_return;
    }

    std::function<std::vector<ConnectedDevice>()> listing = environment_.listDevices;
    auto devices = co_await offMainLoop<std::vector<ConnectedDevice>>(listing);

    if (devices.empty()) {
        logWarn("Engine", "No devices found — entering waitingForDevice");
        setStatus(MirrorStatus::waitingForDevice());
        co_return;
    }

    LineupChoices choices{ports, state_.displayMode, state_.resolution, state_.nonDC1Mode};
    const auto lineup = deviceLineup(std::move(devices), choices, nativeSizes_);
    for (const LineupEntry& entry : lineup) {
        const ConnectedDevice& device = entry.device;
        engineLine(fmt::format("[MirrorEngine] Device {} ({}) → {}", device.serial, device.model,
            entry.pixelFormat == PixelFormat::greyscale ? "Greyscale" : "Color"));
        auto environment = environment_.session;
        if (preview_.running()) environment.pagePort = preview_.http()->boundPort();
        auto session = std::make_shared<DeviceSession>(entry.port, entry.resolution, entry.displayMode, device,
            entry.pixelFormat, environment_.makeADBBridge(device), timing_.session, environment);
        if (state_.connectionMode == ConnectionMode::wifi) {
            session->setBindAddress(std::string(ALL_INTERFACES_ADDRESS));
            // Only this device may touch the desktop or start and stop over the LAN.
            for (const auto& address : deviceAddresses(device)) lanPeers_->allow(address);
        }
        auto starting = startSession(session);
        co_await std::move(starting);

        if (lineup.size() > 1) {
            const bool completed = co_await sleepFor(timing_.displayStagger);
            if (!completed) {
                engineLine("[MirrorEngine] Sleep interrupted during display stagger: cancelled");
                if (teardown_.running() > 0) co_return; // a stop overtook the start
            }
        }
    }

    if (sessions_.empty()) {
        logError("Engine", "No sessions started — cleaning up");
        setStatus(MirrorStatus::error("No device sessions could be started"));
        co_return;
    }

    startFrontLight();

    publish(&EngineState::adbConnected,
        std::any_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->adbConnected(); }),
        EngineProperty::adbConnected);
    publish(&EngineState::apkInstallStatus, std::string(), EngineProperty::apkInstallStatus);

    setStatus(MirrorStatus::running());
    EventLog::shared().record(MirrorEvent::mirrorStarted());
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
}

asio::awaitable<void> MirrorEngine::startSession(std::shared_ptr<DeviceSession> session)
{
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    session->onStatsChanged = [weak] {
        if (auto self = weak.lock()) self->aggregateStats();
    };
    session->onClientCountChanged = [weak](int) {
        if (auto self = weak.lock()) self->aggregateClientCount();
    };
    session->onLatencyStats = [weak](const LatencyStats& stats) {
        auto self = weak.lock();
        if (!self) return;
        auto figures = self->state_.stats;
        figures.rttMs = stats.rttAvgMs;
        figures.rttP95Ms = stats.rttP95Ms;
        self->publish(&EngineState::stats, figures, EngineProperty::stats);
    };
    const std::string serial = session->id();
    session->onCompanionCrashed = [weak, serial] {
        auto self = weak.lock();
        if (!self) return;
        logError("Engine", "Companion app crashed on " + serial + " — stopping session");
        self->setStatus(MirrorStatus::error("Companion app crashed on device"));
    };
    session->onDisplayGone = [weak, serial] {
        auto self = weak.lock();
        if (!self || !self->state_.status.is(MirrorStatus::Kind::running)) return;
        logWarn("Engine", "The display of " + serial + " left the desktop (the layout changed): restarting");
        self->reconnects_.spawn(displayGoneTask(weak), "display gone");
    };
    session->onInstallProgress = [weak](const std::string& text) {
        if (auto self = weak.lock()) self->publish(&EngineState::apkInstallStatus, text, EngineProperty::apkInstallStatus);
    };
    session->onSetupFailure = [weak](const std::string& message) {
        if (auto self = weak.lock()) {
            self->publish(&EngineState::lastADBFailureMessage, std::optional<std::string>(message),
                EngineProperty::lastADBFailureMessage);
        }
    };

    publish(&EngineState::lastADBFailureMessage, std::optional<std::string>(), EngineProperty::lastADBFailureMessage);

    // Until it has started, a stop finds the session here and tears it down.
    startingSession_ = session;
    std::string failure;
    std::exception_ptr cancelled;
    try {
        auto starting = environment_.startSession(session, preview_.webSocket(), state_.contrastAmount, state_.gammaAmount);
        co_await std::move(starting);
    } catch (const std::exception& error) {
        failure = error.what();
        if (failure.empty()) failure = "unknown error";
        if (teardown_.running() > 0) cancelled = std::current_exception();
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
    co_await session->stop();
}

std::vector<asio::ip::address> MirrorEngine::deviceAddresses(const ConnectedDevice& device) const
{
    std::vector<asio::ip::address> addresses;
    if (const auto address = deviceAddressFromSerial(device.serial)) addresses.push_back(*address);
    const auto paired = environment_.settings ? environment_.settings->pairedDevices() : std::vector<PairedDevice>{};
    if (const auto remembered = pairedAddress(paired, device.serial)) {
        boost::system::error_code error;
        const auto address = asio::ip::make_address(*remembered, error);
        if (!error) addresses.push_back(address);
    }
    return addresses;
}

// ---------------------------------------------------------------------------
// Stop

void MirrorEngine::stop()
{
    // A restart under way must not start again what was asked to stop.
    stopRequested_ = true;
    // A stop overrides a pause for sleep, and a start after a wake.
    resumeAfterSleep_ = false;
    ++wakeGeneration_;
    resumeOnReplug_ = false;
    ++unplugGeneration_;
    if (teardown_.running() == 0) {
        if (state_.status.is(MirrorStatus::Kind::idle)) return;
        if (state_.status.is(MirrorStatus::Kind::waitingForDevice)) {
            setStatus(MirrorStatus::idle());
            return;
        }
    }
    tasks_.spawn(stopTask(weak_from_this()), "stop");
}

asio::awaitable<void> MirrorEngine::stopAsync()
{
    MainLoop::shared().assertCurrent("MirrorEngine::stopAsync");
    const auto self = shared_from_this();
    if (teardown_.running() == 0) {
        if (state_.status.is(MirrorStatus::Kind::idle)) co_return;
        if (state_.status.is(MirrorStatus::Kind::waitingForDevice)) {
            setStatus(MirrorStatus::idle());
            co_return;
        }
        teardown_.spawn(teardownTask(weak_from_this()), "teardown");
    }
    // A stop while another runs waits for that one: one teardown.
    co_await teardown_.join();
}

asio::awaitable<void> MirrorEngine::teardownTask(std::weak_ptr<MirrorEngine> weak)
{
    if (auto self = weak.lock()) co_await self->teardown();
}

asio::awaitable<void> MirrorEngine::teardown()
{
    const auto self = shared_from_this();
    setStatus(MirrorStatus::stopping());

    // A start under way gives up at the await it is in (an adb call's child
    // is terminated, a pause cut short); what it built is torn down below.
    // A reconnect likewise: nothing is relaunched once the teardown began.
    starting_.cancelAll();
    reconnects_.cancelAll();
    co_await starting_.join();
    co_await reconnects_.join();

    environment_.deviceMonitor->setMirroring(false);
    environment_.sleep->deactivate();
    environment_.hostDimming->cancelAndRestore("[MirrorEngine:Host] Brightness restored to {:.2f}");
    environment_.frontLight->stop();
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

asio::awaitable<void> MirrorEngine::startTask(std::weak_ptr<MirrorEngine> weak)
{
    if (auto self = weak.lock()) co_await self->startSequence();
}

asio::awaitable<void> MirrorEngine::stopTask(std::weak_ptr<MirrorEngine> weak)
{
    if (auto self = weak.lock()) co_await self->stopAsync();
}

// ---------------------------------------------------------------------------
// Reconnect

void MirrorEngine::reconnect()
{
    if (!state_.status.is(MirrorStatus::Kind::running)) return;
    logInfo("Engine", "Reconnecting ADB...");
    reconnects_.spawn(reconnectTask(weak_from_this(), sessions_), "reconnect");
}

asio::awaitable<void> MirrorEngine::reconnectTask(std::weak_ptr<MirrorEngine> weak,
    std::vector<std::shared_ptr<DeviceSession>> sessions)
{
    std::function<bool()> work = [sessions = std::move(sessions)] {
        bool any = false;
        for (const auto& session : sessions) {
            if (!session->adbConnected()) session->reconnect();
            any = any || session->adbConnected();
        }
        return any;
    };
    const bool anyConnected = co_await offMainLoop<bool>(work);
    if (auto self = weak.lock()) self->publish(&EngineState::adbConnected, anyConnected, EngineProperty::adbConnected);
}

// ---------------------------------------------------------------------------
// Statistics

std::vector<StreamStats> MirrorEngine::sessionStats() const
{
    std::vector<StreamStats> stats;
    for (const auto& session : sessions_) stats.push_back(session->stats());
    return stats;
}

void MirrorEngine::aggregateStats()
{
    if (sessions_.empty()) return;
    publish(&EngineState::stats, foldSessionStats(state_.stats, sessionStats()), EngineProperty::stats);
    const auto& first = *sessions_.front();
    if (first.companionVersion()) {
        publish(&EngineState::companionVersion, first.companionVersion(), EngineProperty::companionVersion);
    }
    publish(&EngineState::companionUpdateFailed, first.companionUpdateFailed(), EngineProperty::companionUpdateFailed);
    MetricsRing::shared().record(metricsSample(state_.stats, wallNow()));
}

void MirrorEngine::aggregateClientCount()
{
    const int previous = state_.stats.clientCount;
    auto figures = state_.stats;
    figures.clientCount = totalClients(sessionStats());
    publish(&EngineState::stats, figures, EngineProperty::stats);
    environment_.hostDimming->clientCountChanged(previous, figures.clientCount, state_.autoDimHost,
        state_.displayMode, state_.status);
}

// ---------------------------------------------------------------------------
// The device's front light


// The front light of the first DC-1 handles these while it runs; otherwise
// (or without a DC-1) the values go straight to the first DC-1's stream as
// commands (brightness 1, warmth 2); the backlight switch then only flips the
// published flag.
void MirrorEngine::setBrightness(int value)
{
    value = std::clamp(value, 0, 255);
    publish(&EngineState::brightness, value, EngineProperty::brightness);
    if (environment_.frontLight->running()) return environment_.frontLight->setBrightness(value);
    if (const auto stream = frontLightStream(sessions_)) stream->sendCommand(1, static_cast<std::uint8_t>(value));
}

void MirrorEngine::setWarmth(int value)
{
    value = std::clamp(value, 0, 255);
    publish(&EngineState::warmth, value, EngineProperty::warmth);
    if (environment_.frontLight->running()) return environment_.frontLight->setWarmth(value);
    if (const auto stream = frontLightStream(sessions_)) stream->sendCommand(2, static_cast<std::uint8_t>(value));
}

void MirrorEngine::toggleBacklight()
{
    if (environment_.frontLight->running()) return environment_.frontLight->toggleBacklight();
    publish(&EngineState::backlightOn, !state_.backlightOn, EngineProperty::backlightOn);
}

void MirrorEngine::restoreSleepIfNeeded()
{
    if (state_.clamshellModeEnabled) return;
    environment_.sleep->restoreSleepIfNeeded();
    environment_.sleep->deactivate();
}

void MirrorEngine::startFrontLight()
{
    if (environment_.frontLight->running()) return;
    const auto dc1 = std::find_if(sessions_.begin(), sessions_.end(),
        [](const auto& session) { return session->device().deviceFamily() == DeviceFamily::daylightDC1; });
    if (dc1 == sessions_.end()) return;
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    FrontLight::Events events;
    events.brightnessChanged = [weak](int value) {
        if (auto self = weak.lock()) self->publish(&EngineState::brightness, value, EngineProperty::brightness);
    };
    events.warmthChanged = [weak](int value) {
        if (auto self = weak.lock()) self->publish(&EngineState::warmth, value, EngineProperty::warmth);
    };
    events.backlightChanged = [weak](bool on) {
        if (auto self = weak.lock()) self->publish(&EngineState::backlightOn, on, EngineProperty::backlightOn);
    };
    environment_.frontLight->start(*dc1, std::move(events));
    // The new controller's belief, until the device's own values are read
    // back: a toggle then acts on what the device shows.
    const FrontLight::Values values = environment_.frontLight->values();
    publish(&EngineState::brightness, values.brightness, EngineProperty::brightness);
    publish(&EngineState::warmth, values.warmth, EngineProperty::warmth);
    publish(&EngineState::backlightOn, values.backlightOn, EngineProperty::backlightOn);
}

// ---------------------------------------------------------------------------
// Lid opened

// In clamshell mode the desktop may come back from a lid opening with the
// built-in display unmirrored and the capture streams stalled: mirror again,
// then restart each stream.
void MirrorEngine::lidOpened()
{
    if (!state_.status.is(MirrorStatus::Kind::running) || !state_.clamshellModeEnabled) return;
    reconnects_.spawn(lidRecoveryTask(weak_from_this()), "lid recovery");
}

asio::awaitable<void> MirrorEngine::lidRecoveryTask(std::weak_ptr<MirrorEngine> weak)
{
    Duration remirrorDelay{};
    Duration restartDelay{};
    if (auto self = weak.lock()) {
        remirrorDelay = self->timing_.lidRemirrorDelay;
        restartDelay = self->timing_.lidCaptureRestartDelay;
    }
    const bool waited = co_await sleepFor(remirrorDelay);
    if (!waited) co_return;
    std::vector<std::shared_ptr<DeviceSession>> sessions;
    if (auto self = weak.lock()) sessions = self->sessions_;
    for (const auto& session : sessions) {
        if (session->displayMode() == DisplayMode::mirror && session->displayManager() != nullptr) {
            session->displayManager()->mirrorBuiltInDisplay();
        }
    }
    const bool settled = co_await sleepFor(restartDelay);
    if (!settled) co_return;
    if (auto self = weak.lock()) sessions = self->sessions_;
    for (const auto& session : sessions) {
        if (!session->capture()) continue;
        auto restarting = session->capture()->restartStream();
        co_await std::move(restarting);
    }
}

// A stop cancels the wait; a display server that ended stops the engine
// meanwhile, and then nothing restarts.
asio::awaitable<void> MirrorEngine::displayGoneTask(std::weak_ptr<MirrorEngine> weak)
{
    Duration delay{};
    if (auto self = weak.lock()) delay = self->timing_.displayGoneRestartDelay;
    if (!co_await sleepFor(delay)) co_return;
    if (auto self = weak.lock()) self->restart();
}

// ---------------------------------------------------------------------------
// System sleep

// No frames to a sleeping tablet and no tunnels left on it: mirroring stops
// before the system sleeps and starts again once it woke.
void MirrorEngine::sleepChanged(bool sleeping)
{
    pauseChanged(sleeping, "The system is going to sleep: mirroring stops until it wakes",
        "The system woke: mirroring starts again");
}

// The compositor took our displays, streams and input sessions with it:
// the sessions are torn down at once (tunnels included), and built anew on
// the compositor that came back.
void MirrorEngine::compositorAway(bool away)
{
    pauseChanged(away, "The desktop's compositor went away: mirroring stops until it is back",
        "The desktop's compositor is back: mirroring starts again");
}

void MirrorEngine::pauseChanged(bool paused, std::string_view pausing, std::string_view resuming)
{
    if (paused) {
        if (!state_.status.is(MirrorStatus::Kind::running) && !state_.status.is(MirrorStatus::Kind::starting)) return;
        logInfo("Engine", std::string(pausing));
        stop();
        resumeAfterSleep_ = true;
        return;
    }
    if (!std::exchange(resumeAfterSleep_, false)) return;
    logInfo("Engine", std::string(resuming));
    tasks_.spawn(wakeTask(weak_from_this(), wakeGeneration_), "start after a pause");
}

asio::awaitable<void> MirrorEngine::wakeTask(std::weak_ptr<MirrorEngine> weak, std::uint64_t generation)
{
    Duration delay{};
    if (auto self = weak.lock()) delay = self->timing_.wakeRestartDelay;
    if (!co_await sleepFor(delay)) co_return;
    // The teardown begun at sleep may still be under way.
    for (int wait = 0; wait < 100; ++wait) {
        auto self = weak.lock();
        if (!self || self->wakeGeneration_ != generation) co_return; // stopped, or asleep again
        if (self->requestStart()) co_return;
        if (!self->state_.status.is(MirrorStatus::Kind::stopping)) {
            logWarn("Engine", "Mirroring did not start again after the pause: " + self->state_.status.label());
            co_return;
        }
        self.reset();
        if (!co_await sleepFor(std::chrono::milliseconds(100))) co_return;
    }
}

// ---------------------------------------------------------------------------
// Settings: persistence and live effects

// The live effect of a changed setting (core/EngineSettings.h), after it
// was stored.
void MirrorEngine::settingChanged(EngineProperty property)
{
    if (environment_.settings) environment_.settings->store(state_, property);
    const EngineSetting* setting = engineSetting(property);
    if (setting == nullptr) return;
    const bool running = state_.status.is(MirrorStatus::Kind::running);
    switch (setting->effect) {
    case SettingEffect::toneCurve:
        for (const auto& session : sessions_) {
            if (!session->capture()) continue;
            if (property == EngineProperty::contrastAmount) session->capture()->setContrastAmount(state_.contrastAmount);
            if (property == EngineProperty::gammaAmount) session->capture()->setGammaAmount(state_.gammaAmount);
        }
        if (!applyingProfile_ && state_.displayProfile != DisplayProfile::custom) setDisplayProfile(DisplayProfile::custom);
        break;
    case SettingEffect::profile:
        if (state_.displayProfile == DisplayProfile::custom) break;
        applyingProfile_ = true;
        setContrastAmount(contrast(state_.displayProfile));
        setGammaAmount(gamma(state_.displayProfile));
        applyingProfile_ = false;
        break;
    case SettingEffect::restart:
        if (running) restart(); // a new size needs a new virtual display and capture
        break;
    case SettingEffect::restartNonDC1:
        if (running && std::any_of(sessions_.begin(), sessions_.end(),
                [](const auto& s) { return s->device().deviceFamily() != DeviceFamily::daylightDC1; })) {
            restart();
        }
        break;
    case SettingEffect::networkServices:
        if (!isActivated_) break;
        if (state_.connectionMode == ConnectionMode::wifi) {
            environment_.networkServices->start(environment_.ports.stream);
        } else {
            environment_.networkServices->stop();
        }
        break;
    case SettingEffect::sleep:
        if (state_.clamshellModeEnabled && running) environment_.sleep->activate();
        if (!state_.clamshellModeEnabled) environment_.sleep->deactivate();
        break;
    case SettingEffect::displayMode: // its setter knows the old mode
    case SettingEffect::none: break;
    }
}

void MirrorEngine::setFontSmoothing(bool enabled)
{
    ++fontSmoothingChanges_;
    tasks_.spawn(fontSmoothingTask(weak_from_this(), environment_.fontSmoothing, enabled), "font smoothing");
}

// The desktop's settings call may block (a settings daemon, a tool): it runs
// off the main loop, and the flag follows once it is done.
asio::awaitable<void> MirrorEngine::fontSmoothingTask(std::weak_ptr<MirrorEngine> weak,
    std::shared_ptr<DesktopFontSmoothing> fonts, bool enabled)
{
    const std::function<bool()> change = [fonts, enabled] { return fonts->set(enabled); };
    const bool changed = co_await offMainLoop<bool>(change);
    auto self = weak.lock();
    if (!self) co_return;
    --self->fontSmoothingChanges_;
    if (!changed) {
        engineLine(fmt::format("[MirrorEngine] Failed to {} font smoothing: the desktop settings tool could not be run",
            enabled ? "enable" : "disable"));
        co_return;
    }
    self->publish(&EngineState::fontSmoothingDisabled, !enabled, EngineProperty::fontSmoothingDisabled);
    engineLine(fmt::format("[MirrorEngine] Font smoothing {}", enabled ? "enabled" : "disabled"));
}

// ---------------------------------------------------------------------------
// Restart

void MirrorEngine::restart()
{
    if (!state_.status.is(MirrorStatus::Kind::running) || restartPending_) return;
    // One restart at a time: a resolution change and the command that made
    // it both ask for one.
    restartPending_ = true;
    tasks_.spawn(restartTask(weak_from_this()), "restart");
}

asio::awaitable<void> MirrorEngine::restartTask(std::weak_ptr<MirrorEngine> weak)
{
    auto self = weak.lock();
    if (!self) co_return;
    struct Done {
        MirrorEngine& engine;
        ~Done() { engine.restartPending_ = false; }
    } done{*self};
    const DisplayMode mode = self->state_.displayMode;
    self->stopRequested_ = false;
    co_await self->stopAsync();
    self->setDisplayMode(mode);
    if (self->stopRequested_) {
        logInfo("Engine", "Stopped during a restart — not starting again");
        co_return;
    }
    co_await self->start();
}

asio::awaitable<void> MirrorEngine::restartAfterTeardownTask(std::weak_ptr<MirrorEngine> weak)
{
    auto self = weak.lock();
    if (!self) co_return;
    // The teardown under way ends in idle; then start.
    co_await self->teardown_.join();
    logInfo("USB", "Teardown complete — restarting mirror");
    self->requestStart();
}

// ---------------------------------------------------------------------------
// Host panel dimming

void MirrorEngine::restoreBrightnessIfNeeded() { environment_.hostDimming->restoreAfterCrash(); }

void MirrorEngine::restoreBrightnessOnWakeIfNeeded() { environment_.hostDimming->restoreOnWake(); }

// ---------------------------------------------------------------------------
// Device events

bool MirrorEngine::startsOnPlugIn() const { return state_.autoMirrorEnabled && setupCompleted(); }

void MirrorEngine::deviceConnected()
{
    publish(&EngineState::deviceDetected, true, EngineProperty::deviceDetected);
    const bool autoStart = startsOnPlugIn();
    if (autoStart && state_.status.is(MirrorStatus::Kind::idle)) {
        logInfo("USB", "Device connected — auto-starting mirror");
        requestStart();
    } else if ((autoStart || resumeOnReplug_) && state_.status.is(MirrorStatus::Kind::waitingForDevice)) {
        logInfo("USB", "Device connected — starting mirror");
        setStatus(MirrorStatus::idle());
        requestStart();
    } else if (autoStart && state_.status.is(MirrorStatus::Kind::stopping)) {
        logInfo("USB", "Device connected while stopping — will restart after teardown");
        tasks_.spawn(restartAfterTeardownTask(weak_from_this()), "restart after teardown");
    } else if (autoStart && state_.status.is(MirrorStatus::Kind::running) && !sessions_.empty()
        && std::all_of(sessions_.begin(), sessions_.end(), [this](const auto& s) { return pages_.contains(s->id()); })) {
        // Only tablet pages are mirrored: the device joins them (the pages
        // reconnect and get their displays again).
        logInfo("USB", "Device connected beside the tablet pages — restarting to mirror it");
        restart();
    } else if (state_.status.is(MirrorStatus::Kind::running)) {
        logInfo("USB", "Device reconnected — re-establishing tunnels");
        reconnect();
    }
}

void MirrorEngine::deviceDisconnected()
{
    publish(&EngineState::deviceDetected, false, EngineProperty::deviceDetected);
    if (!state_.autoMirrorEnabled || !state_.status.is(MirrorStatus::Kind::running)) return;
    const bool networkSessionWatched = std::any_of(sessions_.begin(), sessions_.end(),
        [](const auto& s) { return s->skipADB() && s->stats().clientCount > 0; });
    if (networkSessionWatched) {
        logInfo("USB", "Device disconnected — WiFi session active, keeping mirror alive");
        return;
    }
    logInfo("USB", "Device disconnected — stopping mirror");
    tasks_.spawn(unplugTask(weak_from_this(), ++unplugGeneration_), "stop on unplug");
}

// Mirroring the user asked for and never stopped: once the teardown is done
// the device is awaited, and it mirrors again when it is plugged back in (a
// cable pulled by accident costs a restart, not the session).
asio::awaitable<void> MirrorEngine::unplugTask(std::weak_ptr<MirrorEngine> weak, std::uint64_t generation)
{
    if (auto self = weak.lock()) co_await self->stopAsync();
    const auto self = weak.lock();
    if (!self || self->unplugGeneration_ != generation || !self->state_.status.is(MirrorStatus::Kind::idle)) co_return;
    if (self->state_.deviceDetected) {
        logInfo("USB", "Device back while stopping — starting mirror");
        self->requestStart();
        co_return;
    }
    self->setStatus(MirrorStatus::waitingForDevice());
    self->resumeOnReplug_ = true;
    logInfo("USB", "Waiting for the device to be plugged in again");
}

// The adb server killed or crashed: the devices are still attached, the
// tunnels through it are gone. The displays and servers stay; the links are
// down until adbReturned() rebuilds them.
void MirrorEngine::adbLost()
{
    if (sessions_.empty()) return;
    logWarn("USB", "ADB server lost — tunnels down until it returns");
    for (const auto& session : sessions_) {
        if (!session->skipADB()) session->adbLinkLost();
    }
    publish(&EngineState::adbConnected,
        std::any_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->adbConnected(); }),
        EngineProperty::adbConnected);
}

void MirrorEngine::adbReturned()
{
    if (!state_.status.is(MirrorStatus::Kind::running)) return;
    logInfo("USB", "ADB server back — re-establishing tunnels");
    reconnect();
}

void MirrorEngine::unauthorizedDevicesChanged(const std::vector<std::string>& serials)
{
    publish(&EngineState::unauthorizedDeviceSerials, serials, EngineProperty::unauthorizedDeviceSerials);
    if (serials.empty()) return;
    std::string joined;
    for (const auto& serial : serials) joined += (joined.empty() ? "" : ", ") + serial;
    logWarn("USB", "Unauthorized devices detected: " + joined + " — user must tap Allow on device");
}

void MirrorEngine::companionStartRequested()
{
    if (!state_.deviceDetected || state_.status.is(MirrorStatus::Kind::running)) return;
    logInfo("Engine", "Companion requested mirror start");
    requestStart();
}

void MirrorEngine::toggleMirror()
{
    if (state_.status.is(MirrorStatus::Kind::running) || state_.status.is(MirrorStatus::Kind::stopping)) {
        stop();
        return;
    }
    if (!state_.status.is(MirrorStatus::Kind::idle) && !state_.status.is(MirrorStatus::Kind::waitingForDevice)) return;
    if (!state_.deviceDetected && state_.connectionMode != ConnectionMode::wifi) {
        setStatus(MirrorStatus::waitingForDevice());
        engineLine("[MirrorEngine:Hotkey] No device connected — entering waitingForDevice");
        return;
    }
    requestStart();
}

} // namespace qb
