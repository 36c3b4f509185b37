#include "core/MirrorEngine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <exception>

#include <fmt/format.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "diagnostics/EventLog.h"
#include "diagnostics/Log.h"
#include "diagnostics/MetricsRing.h"
#include "host/PortChecker.h"
#include "runtime/Clock.h"
#include "runtime/Background.h"
#include "runtime/MainLoop.h"
#include "runtime/Queues.h"
#include "runtime/SettingsStore.h"
#include "platform/Backlight.h"
#include "platform/FontSettings.h"
#include "platform/DnsSd.h"
#include "platform/InputInjector.h"
#include "runtime/Process.h"
#include "transport/ListenSocket.h"

namespace qb {

namespace {

// Whether a listener could have the port: a wildcard bind with address reuse,
// dual-stack IPv6 so an IPv4 listener on the port also counts as busy. A
// host without IPv6 is checked with IPv4 instead of failing every port.
bool wildcardBindSucceeds(std::uint16_t port)
{
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ipv6 = fd >= 0;
    if (!ipv6 && errno == EAFNOSUPPORT) fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int result = -1;
    if (ipv6) {
        int zero = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
        result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ::close(fd);
    return result == 0;
}

std::vector<ConnectedDevice> adbDeviceList()
{
    if (!ADBBridge::isADBInstalled()) return {};
    ADBBridge::ensureServerRunning();
    return ADBBridge::connectedDevices();
}


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

std::uint16_t MirrorEnginePorts::streamPort(std::size_t index) const
{
    std::uint32_t candidate = stream;
    for (std::size_t seen = 0;; ++candidate) {
        if (candidate > 0xFFFF) return 0; // more devices than ports: the session's server will fail
        if (stream != 0 && (candidate == webSocket || candidate == http || candidate == input)) continue;
        if (seen++ == index) return static_cast<std::uint16_t>(candidate);
    }
}

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
{
    if (!environment_.captureBackend) environment_.captureBackend = makeCaptureBackend(selectedPlatform());
    if (!environment_.listDevices) environment_.listDevices = adbDeviceList;
    if (!environment_.makeADBBridge) {
        environment_.makeADBBridge = [](const ConnectedDevice&) { return std::make_shared<RealADBBridge>(); };
    }
    if (!environment_.portAvailable) environment_.portAvailable = wildcardBindSucceeds;
    if (!environment_.processBlocking) {
        environment_.processBlocking = [](std::uint16_t port) { return PortChecker::processBlocking(port); };
    }
    if (!environment_.startSession) {
        environment_.startSession = [](std::shared_ptr<DeviceSession> session, std::shared_ptr<WebSocketServer> ws,
                                        double contrast, double gamma) {
            return session->start(std::move(ws), contrast, gamma);
        };
    }
    if (!environment_.hostPower) environment_.hostPower = makeHostPower(selectedPlatform());
    if (!environment_.hostBrightness) {
        environment_.hostBrightness = std::make_shared<HostBrightness>(makeBacklight(selectedPlatform()),
            HostBrightness::defaultRecoveryFile());
    }
    if (!environment_.fontSmoothing) {
        environment_.fontSmoothing = std::make_shared<FontSmoothing>(makeFontSettings(selectedPlatform()),
            FontSmoothing::defaultStateFile());
    }
    sleepManager_ = SleepManager::make(MainLoop::shared().executor(), environment_.hostPower);
    hostQueue_ = SerialQueue::make("host-settings", QoS::utility);
    if (!environment_.setSystemFontSmoothing) {
        environment_.setSystemFontSmoothing = [fonts = environment_.fontSmoothing](bool enabled) {
            return enabled ? fonts->enable() : fonts->disable();
        };
    }
    // The built-in panel that auto-dim reads and writes.
    if (!environment_.readHostBrightness && !environment_.writeHostBrightness) {
        environment_.readHostBrightness = [panel = environment_.hostBrightness] { return panel->brightness(); };
        environment_.writeHostBrightness = [panel = environment_.hostBrightness](float level) {
            panel->setBrightness(level);
        };
    }
    if (!environment_.checkForUpdate) {
        environment_.checkForUpdate = [] { return UpdateChecker::check(appVersion); };
    }
    if (environment_.brightnessRecoveryFile.empty()) {
        environment_.brightnessRecoveryFile = AutoDim::defaultRecoveryFile();
    }
    if (!environment_.session.lanPeers) environment_.session.lanPeers = lanPeers_;
    // The engine owns the dimmer, whose timers die with it: `this` is safe.
    autoDim_ = std::make_unique<AutoDim>(MainLoop::shared().executor(),
        AutoDim::Panel{environment_.readHostBrightness, environment_.writeHostBrightness},
        [this] { return AutoDim::Conditions{clientCount_, status_.is(MirrorStatus::Kind::running)}; },
        environment_.brightnessRecoveryFile, timing_.autoDim);
    resolution_ = environment_.resolution;
    displayMode_ = environment_.displayMode;
    connectionMode_ = environment_.connectionMode;
    loadSettings();
    logInfo("Engine",
        fmt::format("init, resolution: {}x{}, mode: {}", resolution_.width, resolution_.height,
            displayMode_ == DisplayMode::mirror ? "mirror" : "extended"));
}

MirrorEngine::~MirrorEngine()
{
    tasks_.cancelAll();
    starting_.cancelAll();
    reconnects_.cancelAll();
    teardown_.cancelAll();
    if (statsTimer_) statsTimer_->cancel();
    if (updateTimer_) updateTimer_->cancel();
    if (usbMonitor_) usbMonitor_->stop();
    stopWiFiServices();
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
        if (observer) observer(property);
    }
}

template <class T>
void MirrorEngine::publish(T& field, T value, EngineProperty property)
{
    if (field == value) return;
    field = std::move(value);
    notify(property);
}

void MirrorEngine::setStatus(MirrorStatus status) { publish(status_, std::move(status), EngineProperty::status); }

void MirrorEngine::setContrastAmount(double value)
{
    publish(contrastAmount_, value, EngineProperty::contrastAmount);
    settingChanged(EngineProperty::contrastAmount);
}

void MirrorEngine::setGammaAmount(double value)
{
    publish(gammaAmount_, value, EngineProperty::gammaAmount);
    settingChanged(EngineProperty::gammaAmount);
}

void MirrorEngine::setDisplayProfile(DisplayProfile profile)
{
    publish(displayProfile_, profile, EngineProperty::displayProfile);
    settingChanged(EngineProperty::displayProfile);
}

void MirrorEngine::setResolution(DisplayResolution resolution)
{
    if (resolution == resolution_) return;
    const DisplayResolution old = resolution_;
    publish(resolution_, std::move(resolution), EngineProperty::resolution);
    resolutionChanged(old);
}

void MirrorEngine::setNonDC1Mode(std::string mode)
{
    if (mode == nonDC1Mode_) return;
    const std::string old = nonDC1Mode_;
    publish(nonDC1Mode_, std::move(mode), EngineProperty::nonDC1Mode);
    nonDC1ModeChanged(old);
}

void MirrorEngine::setDisplayMode(DisplayMode mode)
{
    const DisplayMode old = displayMode_;
    publish(displayMode_, mode, EngineProperty::displayMode);
    displayModeChanged(old);
}

void MirrorEngine::setAutoMirrorEnabled(bool enabled)
{
    publish(autoMirrorEnabled_, enabled, EngineProperty::autoMirrorEnabled);
    settingChanged(EngineProperty::autoMirrorEnabled);
}

void MirrorEngine::setAutoDimHost(bool enabled)
{
    publish(autoDimHost_, enabled, EngineProperty::autoDimHost);
    settingChanged(EngineProperty::autoDimHost);
}

void MirrorEngine::setConnectionMode(ConnectionMode mode)
{
    publish(connectionMode_, mode, EngineProperty::connectionMode);
    settingChanged(EngineProperty::connectionMode);
}

void MirrorEngine::setClamshellModeEnabled(bool enabled)
{
    publish(clamshellModeEnabled_, enabled, EngineProperty::clamshellModeEnabled);
    settingChanged(EngineProperty::clamshellModeEnabled);
}

bool MirrorEngine::companionCompatible() const
{
    return !companionVersion_ || isCompanionCompatible(*companionVersion_, appVersion);
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

bool MirrorEngine::hasScreenRecordingPermission()
{
    return makeCaptureBackend(selectedPlatform())->preflightScreenCaptureAccess();
}

bool MirrorEngine::hasAccessibilityPermission() { return makeInputInjector(selectedPlatform())->isTrusted(); }

bool MirrorEngine::allPermissionsGranted()
{
    return hasScreenRecordingPermission() && hasAccessibilityPermission();
}

bool MirrorEngine::requestScreenRecordingPermission()
{
    return makeCaptureBackend(selectedPlatform())->requestScreenCaptureAccess();
}

bool MirrorEngine::requestAccessibilityPermission() { return hasAccessibilityPermission(); }

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
    restoreBrightnessIfNeeded();
    installLidHandler();
    if (connectionMode_ == ConnectionMode::wifi) startWiFiServices();
    startControlSocket();
    // The adb server takes a few seconds to come up; have it ready before the
    // first device list is asked for.
    asio::post(globalQueue(QoS::utility), [] {
        if (ADBBridge::isADBInstalled()) ADBBridge::ensureServerRunning();
    });
    startUSBMonitor();
    scheduleUpdateChecks();
    // A previous run that died while mirroring may have left the desktop's
    // font smoothing off.
    hostQueue_->async([fonts = environment_.fontSmoothing] { fonts->repairAfterCrash(); });
}

// ---------------------------------------------------------------------------
// Start

std::string MirrorEngine::bindAddress() const
{
    return std::string(connectionMode_ == ConnectionMode::wifi ? ALL_INTERFACES_ADDRESS : LOOPBACK_ADDRESS);
}

bool MirrorEngine::startPreviewServers()
{
    try {
        WebSocketServerOptions wsOptions;
        wsOptions.bindAddress = bindAddress();
        auto ws = WebSocketServer::make(environment_.ports.webSocket, wsOptions);
        ws->start();
        wsServer_ = ws;

        HTTPServerOptions httpOptions;
        httpOptions.bindAddress = bindAddress();
        httpOptions.webSocketPort = ws->boundPort();
        httpOptions.controlPeers = lanPeers_;
        auto http = HTTPServer::make(environment_.ports.http, static_cast<int>(resolution_.width),
            static_cast<int>(resolution_.height), httpOptions);
        std::weak_ptr<MirrorEngine> weak = weak_from_this();
        http->onStartRequested = [weak] {
            auto self = weak.lock();
            if (!self || self->status_.is(MirrorStatus::Kind::running)) return;
            self->tasks_.spawn(previewStartTask(weak), "preview start");
        };
        http->onStopRequested = [weak] {
            auto self = weak.lock();
            if (self && self->status_.is(MirrorStatus::Kind::running)) self->stop();
        };
        http->start();
        httpServer_ = http;
        return true;
    } catch (const std::exception& error) {
        setStatus(MirrorStatus::error(std::string("Server failed: ") + error.what()));
        return false;
    }
}

asio::awaitable<void> MirrorEngine::stopPreviewServers()
{
    if (auto ws = wsServer_) {
        co_await ws->stopAsync();
        wsServer_.reset();
    }
    if (auto http = httpServer_) {
        co_await http->stopAsync();
        httpServer_.reset();
    }
}

asio::awaitable<void> MirrorEngine::start()
{
    MainLoop::shared().assertCurrent("MirrorEngine::start");
    if (!status_.is(MirrorStatus::Kind::idle) && !status_.is(MirrorStatus::Kind::waitingForDevice)) co_return;
    // Keeps the engine alive across the awaits below, whoever started us.
    const auto self = shared_from_this();

    if (fontSmoothingDisabled_) disableFontSmoothingForMirroring();

    if (!environment_.captureBackend->preflightScreenCaptureAccess()) {
        environment_.captureBackend->requestScreenCaptureAccess();
        setStatus(MirrorStatus::error("Grant Screen Recording permission (X display access: DISPLAY and XAUTHORITY, "
                                      "or xhost +SI:localuser:<user>), then retry"));
        co_return;
    }

    setStatus(MirrorStatus::starting());
    // The rest runs as a task of the engine's own, so that a stop can cancel
    // it whoever awaits start().
    starting_.spawn(startTask(weak_from_this()), "start");
    co_await starting_.join();
}

asio::awaitable<void> MirrorEngine::startSequence()
{
    const auto self = shared_from_this();

    const auto& ports = environment_.ports;
    const std::pair<std::uint16_t, std::string_view> checked[] = {
        {ports.stream, "video stream"},
        {ports.webSocket, "WebSocket preview"},
        {ports.http, "HTTP server"},
        {ports.input, "touch input"},
    };
    for (const auto& [port, name] : checked) {
        if (environment_.portAvailable(port)) continue;
        // Built outside the co_await: GCC 12 destroys temporaries of a
        // co_await expression twice.
        std::function<std::string()> lookup = [check = environment_.processBlocking, port = port] {
            return check(port);
        };
        const std::string holder = co_await offMainLoop<std::string>(lookup);
        std::string message = fmt::format("Port {} ({}) is in use", port, name);
        if (!holder.empty()) message += " by " + holder;
        message += ". Quit the other process and retry.";
        setStatus(MirrorStatus::error(message));
        logError("Engine", fmt::format("Port {} ({}) blocked by: {}", port, name, holder.empty() ? "unknown" : holder));
        co_return;
    }

    if (!startPreviewServers()) co_return;

    std::function<std::vector<ConnectedDevice>()> listing = environment_.listDevices;
    auto devices = co_await offMainLoop<std::vector<ConnectedDevice>>(listing);

    if (devices.empty()) {
        logWarn("Engine", "No devices found — entering waitingForDevice");
        co_await stopPreviewServers();
        setStatus(MirrorStatus::waitingForDevice());
        co_return;
    }

    std::stable_partition(devices.begin(), devices.end(),
        [](const ConnectedDevice& device) { return device.deviceFamily() == DeviceFamily::daylightDC1; });

    for (std::size_t i = 0; i < devices.size(); ++i) {
        const ConnectedDevice& device = devices[i];
        const std::uint16_t port = ports.streamPort(i);
        const DisplayMode mode = i == 0 ? displayMode_ : DisplayMode::extended;
        DisplayResolution resolution = resolutionForDevice(device);
        const bool greyscale = isGreyscaleDevice(device.model);
        const PixelFormat format = greyscale ? PixelFormat::greyscale : PixelFormat::rgb;
        engineLine(fmt::format(
            "[MirrorEngine] Device {} ({}) → {}", device.serial, device.model, greyscale ? "Greyscale" : "Color"));

        auto session = std::make_shared<DeviceSession>(port, std::move(resolution), mode, device, format,
            environment_.makeADBBridge(device), timing_.session, environment_.session);
        if (connectionMode_ == ConnectionMode::wifi) {
            session->setBindAddress(std::string(ALL_INTERFACES_ADDRESS));
            // Only this device may touch the desktop or start and stop over the LAN.
            if (const auto address = deviceAddressFromSerial(device.serial)) lanPeers_->allow(*address);
        }
        auto starting = startSession(session);
        co_await std::move(starting);

        if (devices.size() > 1) {
            const bool completed = co_await sleepFor(timing_.displayStagger);
            if (!completed) {
                engineLine("[MirrorEngine] Sleep interrupted during display stagger: cancelled");
                if (teardown_.running() > 0) co_return; // a stop overtook the start
            }
        }
    }

    if (sessions_.empty()) {
        logError("Engine", "No sessions started — cleaning up");
        co_await stopPreviewServers();
        setStatus(MirrorStatus::error("No device sessions could be started"));
        co_return;
    }

    startDisplayController();
    // A restarted stream greets its clients with the front light as last set.
    if (const auto stream = frontLightStream(sessions_)) {
        stream->sendCommand(1, static_cast<std::uint8_t>(brightness_));
        stream->sendCommand(2, static_cast<std::uint8_t>(warmth_));
    }

    publish(adbConnected_,
        std::any_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->adbConnected(); }),
        EngineProperty::adbConnected);
    publish(apkInstallStatus_, std::string(), EngineProperty::apkInstallStatus);

    setStatus(MirrorStatus::running());
    EventLog::shared().record(MirrorEvent::mirrorStarted());
    if (usbMonitor_) usbMonitor_->isMirroring = true;
    startStatsPolling();

    if (clamshellModeEnabled_) activateSleepManager();

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
        self->publish(self->rttMs_, stats.rttAvgMs, EngineProperty::rttMs);
        self->publish(self->rttP95Ms_, stats.rttP95Ms, EngineProperty::rttP95Ms);
    };
    const std::string serial = session->id();
    session->onCompanionCrashed = [weak, serial] {
        auto self = weak.lock();
        if (!self) return;
        logError("Engine", "Companion app crashed on " + serial + " — stopping session");
        self->setStatus(MirrorStatus::error("Companion app crashed on device"));
    };
    session->onInstallProgress = [weak](const std::string& text) {
        if (auto self = weak.lock()) self->publish(self->apkInstallStatus_, text, EngineProperty::apkInstallStatus);
    };
    session->onSetupFailure = [weak](const std::string& message) {
        if (auto self = weak.lock()) {
            self->publish(self->lastADBFailureMessage_, std::optional<std::string>(message),
                EngineProperty::lastADBFailureMessage);
        }
    };

    publish(lastADBFailureMessage_, std::optional<std::string>(), EngineProperty::lastADBFailureMessage);

    // Until it has started, a stop finds the session here and tears it down.
    startingSession_ = session;
    std::string failure;
    std::exception_ptr cancelled;
    try {
        auto starting = environment_.startSession(session, wsServer_, contrastAmount_, gammaAmount_);
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
    // What the failed start created (virtual display, servers, tunnels) is
    // torn down before the session is dropped, so nothing keeps its ports.
    co_await session->stop();
}

DisplayResolution MirrorEngine::resolutionForDevice(const ConnectedDevice& device)
{
    if (device.deviceFamily() == DeviceFamily::daylightDC1) return resolution_;

    std::int64_t width = 0;
    std::int64_t height = 0;
    if (device.nativeWidth && device.nativeHeight && *device.nativeWidth > 0 && *device.nativeHeight > 0) {
        width = *device.nativeWidth;
        height = *device.nativeHeight;
        nativeResolutionCache_[device.serial] = {width, height};
    } else if (auto cached = nativeResolutionCache_.find(device.serial); cached != nativeResolutionCache_.end()) {
        std::tie(width, height) = cached->second;
        engineLine(fmt::format("[MirrorEngine] Using cached resolution for {}: {}x{}", device.model, width, height));
    } else if (auto known = knownDeviceResolution(device.model)) {
        width = known->width;
        height = known->height;
        engineLine(fmt::format("[MirrorEngine] Using known resolution for {}: {}x{}", device.model, width, height));
    } else {
        engineLine(fmt::format("[MirrorEngine] No native resolution for {} — falling back to DC-1 preset", device.model));
        return resolution_;
    }

    const auto larger = static_cast<std::uint64_t>(std::max(width, height));
    const auto smaller = static_cast<std::uint64_t>(std::min(width, height));
    const auto presets = DisplayResolution::dynamicPresets(larger, smaller);
    const std::string_view mode = nonDC1Mode_;
    const auto& list = mode.starts_with("landscape") ? presets.landscape : presets.portrait;
    DisplayResolution chosen = mode.ends_with("sharp") ? list.at(1) : list.at(0);
    engineLine(fmt::format("[MirrorEngine] resolutionForDevice({}): native {}x{} → {} ({})", device.model, width,
        height, chosen.label, chosen.rawValue()));
    return chosen;
}

// ---------------------------------------------------------------------------
// Stop

void MirrorEngine::stop()
{
    if (teardown_.running() == 0) {
        if (status_.is(MirrorStatus::Kind::idle)) return;
        if (status_.is(MirrorStatus::Kind::waitingForDevice)) {
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
        if (status_.is(MirrorStatus::Kind::idle)) co_return;
        if (status_.is(MirrorStatus::Kind::waitingForDevice)) {
            // The preview servers stopped when the engine began waiting.
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

    stopStatsPolling();
    if (usbMonitor_) usbMonitor_->isMirroring = false;
    deactivateSleepManager();
    cancelDimmingAndRestoreBrightness();
    stopDisplayController();

    auto sessions = sessions_;
    if (auto unfinished = std::exchange(startingSession_, nullptr)) sessions.push_back(std::move(unfinished));
    for (const auto& session : sessions) co_await session->stop();
    sessions_.clear();
    notify(EngineProperty::sessions);

    co_await stopPreviewServers();

    if (fontSmoothingDisabled_) restoreFontSmoothing();

    setStatus(MirrorStatus::idle());
    EventLog::shared().record(MirrorEvent::mirrorStopped());

    publish(fps_, 0.0, EngineProperty::fps);
    publish(bandwidth_, 0.0, EngineProperty::bandwidth);
    publish(clientCount_, 0, EngineProperty::clientCount);
    publish(totalFrames_, std::int64_t{0}, EngineProperty::totalFrames);
    publish(adbConnected_, false, EngineProperty::adbConnected);
    lanPeers_->clear();
    logInfo("Engine", "Mirror stopped");
}

asio::awaitable<void> MirrorEngine::startTask(std::weak_ptr<MirrorEngine> weak)
{
    if (auto self = weak.lock()) co_await self->startSequence();
}

asio::awaitable<void> MirrorEngine::previewStartTask(std::weak_ptr<MirrorEngine> weak)
{
    if (auto self = weak.lock()) co_await self->start();
}

asio::awaitable<void> MirrorEngine::stopTask(std::weak_ptr<MirrorEngine> weak)
{
    if (auto self = weak.lock()) co_await self->stopAsync();
}

// ---------------------------------------------------------------------------
// Reconnect

void MirrorEngine::reconnect()
{
    if (!status_.is(MirrorStatus::Kind::running)) return;
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
    if (auto self = weak.lock()) self->publish(self->adbConnected_, anyConnected, EngineProperty::adbConnected);
}

// ---------------------------------------------------------------------------
// Statistics

void MirrorEngine::aggregateStats()
{
    if (sessions_.empty()) return;
    const auto& first = *sessions_.front();
    double bandwidth = 0;
    std::int64_t totalFrames = 0;
    std::int64_t skipped = 0;
    for (const auto& session : sessions_) {
        bandwidth += session->bandwidth();
        totalFrames += session->totalFrames();
        skipped += session->skippedFrames();
    }
    publish(fps_, first.fps(), EngineProperty::fps);
    publish(bandwidth_, bandwidth, EngineProperty::bandwidth);
    publish(totalFrames_, totalFrames, EngineProperty::totalFrames);
    publish(frameSizeKB_, first.frameSizeKB(), EngineProperty::frameSizeKB);
    publish(greyMs_, first.greyMs(), EngineProperty::greyMs);
    publish(compressMs_, first.compressMs(), EngineProperty::compressMs);
    publish(jitterMs_, first.jitterMs(), EngineProperty::jitterMs);
    publish(skippedFrames_, skipped, EngineProperty::skippedFrames);
    if (first.companionVersion()) {
        publish(companionVersion_, first.companionVersion(), EngineProperty::companionVersion);
    }
    publish(companionUpdateFailed_, first.companionUpdateFailed(), EngineProperty::companionUpdateFailed);

    MetricsSample sample;
    sample.timestamp = wallNow();
    sample.fps = fps_;
    sample.rttAvgMs = rttMs_;
    sample.rttP95Ms = rttP95Ms_;
    sample.jitterMs = jitterMs_;
    sample.bandwidthMbps = bandwidth_;
    sample.frameSizeKB = static_cast<double>(frameSizeKB_);
    sample.skippedFrames = skippedFrames_;
    sample.greyMs = greyMs_;
    sample.compressMs = compressMs_;
    sample.clientCount = clientCount_;
    MetricsRing::shared().record(sample);
}

void MirrorEngine::aggregateClientCount()
{
    int count = 0;
    for (const auto& session : sessions_) count += session->clientCount();
    const int previous = clientCount_;
    publish(clientCount_, count, EngineProperty::clientCount);
    autoDim_->clientCountChanged(previous, count, autoDimHost_, displayMode_, status_);
}

// ---------------------------------------------------------------------------
// Device display controller (front light)


// The display controller of the first DC-1 handles these; before it exists
// (or without a DC-1) the values go straight to the first DC-1's stream as
// commands (brightness 1, warmth 2); the backlight switch then only flips the
// published flag.
void MirrorEngine::setBrightness(int value)
{
    value = std::clamp(value, 0, 255);
    publish(brightness_, value, EngineProperty::brightness);
    if (displayController_) return displayController_->setBrightness(value);
    if (const auto stream = frontLightStream(sessions_)) stream->sendCommand(1, static_cast<std::uint8_t>(value));
}

void MirrorEngine::setWarmth(int value)
{
    value = std::clamp(value, 0, 255);
    publish(warmth_, value, EngineProperty::warmth);
    if (displayController_) return displayController_->setWarmth(value);
    if (const auto stream = frontLightStream(sessions_)) stream->sendCommand(2, static_cast<std::uint8_t>(value));
}

void MirrorEngine::toggleBacklight()
{
    if (displayController_) return displayController_->toggleBacklight();
    publish(backlightOn_, !backlightOn_, EngineProperty::backlightOn);
}

void MirrorEngine::restoreSleepIfNeeded()
{
    if (clamshellModeEnabled_) return;
    sleepManager_->restoreSleepIfNeeded();
    deactivateSleepManager();
}

void MirrorEngine::startDisplayController()
{
    if (displayController_) return;
    const auto dc1 = std::find_if(sessions_.begin(), sessions_.end(),
        [](const auto& session) { return session->device().deviceFamily() == DeviceFamily::daylightDC1; });
    if (dc1 == sessions_.end()) return;
    const auto& session = *dc1;
    auto controller = DisplayController::make(MainLoop::shared().executor(), session->tcpServer(),
        session->device().serial, environment_.hotkeys);
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    controller->onBrightnessChanged = [weak](int value) {
        if (auto self = weak.lock()) self->publish(self->brightness_, value, EngineProperty::brightness);
    };
    controller->onWarmthChanged = [weak](int value) {
        if (auto self = weak.lock()) self->publish(self->warmth_, value, EngineProperty::warmth);
    };
    controller->onBacklightChanged = [weak](bool on) {
        if (auto self = weak.lock()) self->publish(self->backlightOn_, on, EngineProperty::backlightOn);
    };
    displayController_ = controller;
    controller->start();
}

void MirrorEngine::stopDisplayController()
{
    if (!displayController_) return;
    displayController_->stop();
    displayController_.reset();
}

void MirrorEngine::activateSleepManager() { sleepManager_->activate(true); }

void MirrorEngine::deactivateSleepManager() { sleepManager_->deactivate(); }

void MirrorEngine::disableFontSmoothingForMirroring()
{
    hostQueue_->async([fonts = environment_.fontSmoothing] { fonts->disable(); });
}

void MirrorEngine::restoreFontSmoothing()
{
    hostQueue_->async([fonts = environment_.fontSmoothing] { fonts->enable(); });
}


// ---------------------------------------------------------------------------
// Extension points: left empty until their components exist.

void MirrorEngine::startControlSocket()
{
    if (environment_.startControlSocket) environment_.startControlSocket(shared_from_this());
}
void MirrorEngine::installLidHandler() {}                   // sleep manager: lid-opened re-mirroring
// ---------------------------------------------------------------------------
// Settings: load, persistence and live effects

void MirrorEngine::loadSettings()
{
    if (!environment_.settings) return;
    settings_.emplace(*environment_.settings);
    const EngineSettingsValues v = settings_->load();
    resolution_ = v.resolution;
    nonDC1Mode_ = v.nonDC1Mode;
    displayMode_ = v.displayMode;
    contrastAmount_ = v.contrastAmount;
    gammaAmount_ = v.gammaAmount;
    displayProfile_ = v.displayProfile;
    autoMirrorEnabled_ = v.autoMirrorEnabled;
    autoDimHost_ = v.autoDimHost;
    clamshellModeEnabled_ = v.clamshellModeEnabled;
    connectionMode_ = v.connectionMode;
}

void MirrorEngine::settingChanged(EngineProperty property)
{
    switch (property) {
    case EngineProperty::contrastAmount:
    case EngineProperty::gammaAmount: {
        const bool contrast = property == EngineProperty::contrastAmount;
        // The running captures build their tone curve from it for the next frame.
        for (const auto& session : sessions_) {
            if (!session->capture()) continue;
            if (contrast) {
                session->capture()->setContrastAmount(contrastAmount_);
            } else {
                session->capture()->setGammaAmount(gammaAmount_);
            }
        }
        if (settings_) {
            if (contrast) {
                settings_->storeContrastAmount(contrastAmount_);
            } else {
                settings_->storeGammaAmount(gammaAmount_);
            }
        }
        if (!applyingProfile_ && displayProfile_ != DisplayProfile::custom) setDisplayProfile(DisplayProfile::custom);
        break;
    }
    case EngineProperty::displayProfile:
        if (settings_) settings_->storeDisplayProfile(displayProfile_);
        if (displayProfile_ != DisplayProfile::custom) {
            applyingProfile_ = true;
            setContrastAmount(contrast(displayProfile_));
            setGammaAmount(gamma(displayProfile_));
            applyingProfile_ = false;
        }
        break;
    case EngineProperty::connectionMode:
        if (settings_) settings_->storeConnectionMode(connectionMode_);
        if (isActivated_) {
            if (connectionMode_ == ConnectionMode::wifi) {
                startWiFiServices();
            } else {
                stopWiFiServices();
            }
        }
        break;
    case EngineProperty::clamshellModeEnabled:
        if (settings_) settings_->storeClamshellModeEnabled(clamshellModeEnabled_);
        if (clamshellModeEnabled_ && status_.is(MirrorStatus::Kind::running)) activateSleepManager();
        if (!clamshellModeEnabled_) deactivateSleepManager();
        break;
    case EngineProperty::autoMirrorEnabled:
        if (settings_) settings_->storeAutoMirrorEnabled(autoMirrorEnabled_);
        break;
    case EngineProperty::autoDimHost:
        if (settings_) settings_->storeAutoDimHost(autoDimHost_);
        break;
    default: break;
    }
}

void MirrorEngine::resolutionChanged(const DisplayResolution& old)
{
    if (settings_) settings_->storeResolution(resolution_);
    const std::string from = fmt::format("{}x{}", old.width, old.height);
    const std::string to = fmt::format("{}x{}", resolution_.width, resolution_.height);
    logInfo("Engine", "resolution changed: " + from + " → " + to);
    EventLog::shared().record(MirrorEvent::resolutionChanged(from, to));
    // A new size needs a new virtual display and capture: a full restart.
    if (status_.is(MirrorStatus::Kind::running)) restart();
}

void MirrorEngine::nonDC1ModeChanged(const std::string& old)
{
    if (settings_) settings_->storeNonDC1Mode(nonDC1Mode_);
    logInfo("Engine", "nonDC1Mode changed: " + old + " → " + nonDC1Mode_);
    if (!status_.is(MirrorStatus::Kind::running)) return;
    const bool affected = std::any_of(sessions_.begin(), sessions_.end(),
        [](const auto& s) { return s->device().deviceFamily() != DeviceFamily::daylightDC1; });
    if (affected) restart();
}

void MirrorEngine::displayModeChanged(DisplayMode old)
{
    if (settings_) settings_->storeDisplayMode(displayMode_);
    if (old == displayMode_) return;
    EventLog::shared().record(MirrorEvent::modeChanged(std::string(rawValue(old)), std::string(rawValue(displayMode_))));
    if (old == DisplayMode::mirror && displayMode_ == DisplayMode::extended) {
        autoDim_->cancelAndRestore("[MirrorEngine:Host] Brightness restored — left mirror mode");
    }
}

void MirrorEngine::setFontSmoothing(bool enabled)
{
    if (!environment_.setSystemFontSmoothing(enabled)) {
        engineLine(fmt::format("[MirrorEngine] Failed to {} font smoothing: the desktop settings tool could not be run",
            enabled ? "enable" : "disable"));
        return;
    }
    publish(fontSmoothingDisabled_, !enabled, EngineProperty::fontSmoothingDisabled);
    engineLine(fmt::format("[MirrorEngine] Font smoothing {}", enabled ? "enabled" : "disabled"));
}

// ---------------------------------------------------------------------------
// Restart

void MirrorEngine::restart()
{
    if (!status_.is(MirrorStatus::Kind::running) || restartPending_) return;
    // One restart at a time: a resolution change and the command that made
    // it both ask for one.
    restartPending_ = true;
    tasks_.spawn(restartTask(weak_from_this()), "restart");
}

void MirrorEngine::startInBackground() { tasks_.spawn(startTask(weak_from_this()), "start"); }

asio::awaitable<void> MirrorEngine::restartTask(std::weak_ptr<MirrorEngine> weak)
{
    auto self = weak.lock();
    if (!self) co_return;
    struct Done {
        MirrorEngine& engine;
        ~Done() { engine.restartPending_ = false; }
    } done{*self};
    const DisplayMode mode = self->displayMode_;
    co_await self->stopAsync();
    self->setDisplayMode(mode);
    co_await self->start();
}

asio::awaitable<void> MirrorEngine::restartAfterTeardownTask(std::weak_ptr<MirrorEngine> weak)
{
    auto self = weak.lock();
    if (!self) co_return;
    // The teardown under way ends in idle; wait for it, then start.
    while (self->status_.is(MirrorStatus::Kind::stopping)) {
        const bool waited = co_await sleepFor(std::chrono::milliseconds(50));
        if (!waited) co_return;
    }
    logInfo("USB", "Teardown complete — restarting mirror");
    co_await self->start();
}

// ---------------------------------------------------------------------------
// Statistics polling

void MirrorEngine::startStatsPolling()
{
    if (statsTimer_) statsTimer_->cancel();
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    statsTimer_ = Timer::repeating(MainLoop::shared().executor(), timing_.statsInterval, timing_.statsInterval, [weak] {
        auto self = weak.lock();
        if (!self || !self->status_.is(MirrorStatus::Kind::running) || self->sessions_.empty()) return;
        const auto& first = *self->sessions_.front();
        self->publish(self->rttMs_, first.rttMs(), EngineProperty::rttMs);
        self->publish(self->rttP95Ms_, first.rttP95Ms(), EngineProperty::rttP95Ms);
        self->aggregateClientCount();
        self->aggregateStats();
    });
}

void MirrorEngine::stopStatsPolling()
{
    if (statsTimer_) statsTimer_->cancel();
    statsTimer_.reset();
}

// ---------------------------------------------------------------------------
// Host panel dimming

void MirrorEngine::cancelDimmingAndRestoreBrightness()
{
    autoDim_->cancelAndRestore("[MirrorEngine:Host] Brightness restored to {:.2f}");
}

void MirrorEngine::restoreBrightnessIfNeeded()
{
    if (environment_.writeHostBrightness) autoDim_->restoreAfterCrash();
}

void MirrorEngine::restoreBrightnessOnWakeIfNeeded() { autoDim_->restoreOnWake(); }

// ---------------------------------------------------------------------------
// Device events

void MirrorEngine::startUSBMonitor()
{
    if (!environment_.monitorDevices || usbMonitor_) return;
    usbMonitor_ = USBDeviceMonitor::make(timing_.usbMonitor);
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    usbMonitor_->onDeviceConnected = [weak] {
        if (auto self = weak.lock()) self->deviceConnected();
    };
    usbMonitor_->onDeviceDisconnected = [weak] {
        if (auto self = weak.lock()) self->deviceDisconnected();
    };
    usbMonitor_->onUnauthorizedChanged = [weak](const std::vector<std::string>& serials) {
        if (auto self = weak.lock()) self->unauthorizedDevicesChanged(serials);
    };
    usbMonitor_->onStartRequested = [weak] {
        if (auto self = weak.lock()) self->companionStartRequested();
    };
    usbMonitor_->start();
}

void MirrorEngine::deviceConnected()
{
    publish(deviceDetected_, true, EngineProperty::deviceDetected);
    const bool autoStart = autoMirrorEnabled_ && setupCompleted();
    if (autoStart && status_.is(MirrorStatus::Kind::idle)) {
        logInfo("USB", "Device connected — auto-starting mirror");
        startInBackground();
    } else if (autoStart && status_.is(MirrorStatus::Kind::waitingForDevice)) {
        logInfo("USB", "Device connected — starting mirror");
        setStatus(MirrorStatus::idle());
        startInBackground();
    } else if (autoStart && status_.is(MirrorStatus::Kind::stopping)) {
        logInfo("USB", "Device connected while stopping — will restart after teardown");
        tasks_.spawn(restartAfterTeardownTask(weak_from_this()), "restart after teardown");
    } else if (status_.is(MirrorStatus::Kind::running)) {
        logInfo("USB", "Device reconnected — re-establishing tunnels");
        reconnect();
    }
}

void MirrorEngine::deviceDisconnected()
{
    publish(deviceDetected_, false, EngineProperty::deviceDetected);
    if (!autoMirrorEnabled_ || !status_.is(MirrorStatus::Kind::running)) return;
    const bool networkSessionWatched = std::any_of(sessions_.begin(), sessions_.end(),
        [](const auto& s) { return s->skipADB() && s->clientCount() > 0; });
    if (networkSessionWatched) {
        logInfo("USB", "Device disconnected — WiFi session active, keeping mirror alive");
        return;
    }
    logInfo("USB", "Device disconnected — stopping mirror");
    tasks_.spawn(stopTask(weak_from_this()), "stop on unplug");
}

void MirrorEngine::unauthorizedDevicesChanged(const std::vector<std::string>& serials)
{
    publish(unauthorizedDeviceSerials_, serials, EngineProperty::unauthorizedDeviceSerials);
    if (serials.empty()) return;
    std::string joined;
    for (const auto& serial : serials) joined += (joined.empty() ? "" : ", ") + serial;
    logWarn("USB", "Unauthorized devices detected: " + joined + " — user must tap Allow on device");
}

void MirrorEngine::companionStartRequested()
{
    if (!deviceDetected_ || status_.is(MirrorStatus::Kind::running)) return;
    logInfo("Engine", "Companion requested mirror start");
    startInBackground();
}

void MirrorEngine::toggleMirror()
{
    if (status_.is(MirrorStatus::Kind::running) || status_.is(MirrorStatus::Kind::stopping)) {
        stop();
        return;
    }
    if (!status_.is(MirrorStatus::Kind::idle) && !status_.is(MirrorStatus::Kind::waitingForDevice)) return;
    if (!deviceDetected_ && connectionMode_ != ConnectionMode::wifi) {
        setStatus(MirrorStatus::waitingForDevice());
        engineLine("[MirrorEngine:Hotkey] No device connected — entering waitingForDevice");
        return;
    }
    startInBackground();
}

// ---------------------------------------------------------------------------
// Wi-Fi services

void MirrorEngine::startWiFiServices()
{
    if (!environment_.dnsSd) environment_.dnsSd = makeDnsSd(selectedPlatform(), MainLoop::shared().executor());
    if (!bonjourAdvertiser_) {
        bonjourAdvertiser_ = BonjourAdvertiser::make(environment_.dnsSd);
        bonjourAdvertiser_->start(environment_.ports.stream);
    }
    if (wifiDiscovery_) return;
    wifiDiscovery_ = WiFiDeviceDiscovery::make(environment_.dnsSd);
    wifiDiscovery_->onDeviceFound = [](const std::string& address, std::uint16_t, const std::string& name) {
        logInfo("WiFi", "Device found: " + name + " at " + address + " — connecting via ADB");
        asio::post(globalQueue(QoS::userInitiated), [address] {
            ADBBridge::ensureServerRunning();
            if (ADBBridge::connectWiFi(address, 5555)) {
                logInfo("WiFi", "ADB connected to " + address + " — waiting for device monitor to pick it up");
            }
        });
    };
    wifiDiscovery_->onDeviceLost = [](const std::string& name) { logInfo("WiFi", "Device lost: " + name); };
    wifiDiscovery_->start();
}

void MirrorEngine::stopWiFiServices()
{
    if (bonjourAdvertiser_) {
        bonjourAdvertiser_->stop();
        bonjourAdvertiser_.reset();
    }
    if (wifiDiscovery_) {
        wifiDiscovery_->stop();
        wifiDiscovery_.reset();
    }
}

// ---------------------------------------------------------------------------
// Update check

void MirrorEngine::scheduleUpdateChecks()
{
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    updateTimer_ = Timer::repeating(MainLoop::shared().executor(), timing_.firstUpdateCheck,
        timing_.updateCheckInterval, [weak] {
            if (auto self = weak.lock()) self->tasks_.spawn(updateCheckTask(weak), "update check");
        });
}

asio::awaitable<void> MirrorEngine::updateCheckTask(std::weak_ptr<MirrorEngine> weak)
{
    std::function<std::optional<UpdateChecker::Release>()> check;
    if (auto self = weak.lock()) check = self->environment_.checkForUpdate;
    if (!check) co_return;
    const auto release = co_await offMainLoop<std::optional<UpdateChecker::Release>>(check, "Update");
    auto self = weak.lock();
    if (!self || !release) co_return;
    self->publish(self->updateVersion_, std::optional<std::string>(release->version), EngineProperty::updateVersion);
    self->publish(self->updateURL_, std::optional<std::string>(release->url), EngineProperty::updateURL);
    logInfo("Update", "New version available: " + release->version);
}
   // host display auto-dim

} // namespace qb
