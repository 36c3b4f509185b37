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
#include "platform/InputInjector.h"
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
    environment_.collaborators.fillDefaults();
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
    state_.resolution = environment_.resolution;
    state_.displayMode = environment_.displayMode;
    state_.connectionMode = environment_.connectionMode;
    loadSettings();
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

void MirrorEngine::setStatus(MirrorStatus status) { publish(state_.status, std::move(status), EngineProperty::status); }

void MirrorEngine::setContrastAmount(double value)
{
    publish(state_.contrastAmount, value, EngineProperty::contrastAmount);
    settingChanged(EngineProperty::contrastAmount);
}

void MirrorEngine::setGammaAmount(double value)
{
    publish(state_.gammaAmount, value, EngineProperty::gammaAmount);
    settingChanged(EngineProperty::gammaAmount);
}

void MirrorEngine::setDisplayProfile(DisplayProfile profile)
{
    publish(state_.displayProfile, profile, EngineProperty::displayProfile);
    settingChanged(EngineProperty::displayProfile);
}

void MirrorEngine::setResolution(DisplayResolution resolution)
{
    publish(state_.resolution, std::move(resolution), EngineProperty::resolution);
    settingChanged(EngineProperty::resolution);
}

void MirrorEngine::setNonDC1Mode(std::string mode)
{
    publish(state_.nonDC1Mode, std::move(mode), EngineProperty::nonDC1Mode);
    settingChanged(EngineProperty::nonDC1Mode);
}

void MirrorEngine::setDisplayMode(DisplayMode mode)
{
    publish(state_.displayMode, mode, EngineProperty::displayMode);
    settingChanged(EngineProperty::displayMode);
}

void MirrorEngine::setAutoMirrorEnabled(bool enabled)
{
    publish(state_.autoMirrorEnabled, enabled, EngineProperty::autoMirrorEnabled);
    settingChanged(EngineProperty::autoMirrorEnabled);
}

void MirrorEngine::setAutoDimHost(bool enabled)
{
    publish(state_.autoDimHost, enabled, EngineProperty::autoDimHost);
    settingChanged(EngineProperty::autoDimHost);
}

void MirrorEngine::setConnectionMode(ConnectionMode mode)
{
    publish(state_.connectionMode, mode, EngineProperty::connectionMode);
    settingChanged(EngineProperty::connectionMode);
}

void MirrorEngine::setClamshellModeEnabled(bool enabled)
{
    publish(state_.clamshellModeEnabled, enabled, EngineProperty::clamshellModeEnabled);
    settingChanged(EngineProperty::clamshellModeEnabled);
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
    installLidHandler();
    if (state_.connectionMode == ConnectionMode::wifi) startWiFiServices();
    startControlSocket();
    // The adb server takes a few seconds to come up; have it ready before the
    // first device list is asked for.
    asio::post(globalQueue(QoS::utility), [] {
        if (ADBBridge::isADBInstalled()) ADBBridge::ensureServerRunning();
    });
    startUSBMonitor();
    scheduleUpdateChecks();
}

// ---------------------------------------------------------------------------
// Start

std::string MirrorEngine::bindAddress() const
{
    return std::string(state_.connectionMode == ConnectionMode::wifi ? ALL_INTERFACES_ADDRESS : LOOPBACK_ADDRESS);
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
        auto http = HTTPServer::make(environment_.ports.http, static_cast<int>(state_.resolution.width),
            static_cast<int>(state_.resolution.height), httpOptions);
        std::weak_ptr<MirrorEngine> weak = weak_from_this();
        http->onStartRequested = [weak] {
            auto self = weak.lock();
            if (!self || self->state_.status.is(MirrorStatus::Kind::running)) return;
            self->tasks_.spawn(previewStartTask(weak), "preview start");
        };
        http->onStopRequested = [weak] {
            auto self = weak.lock();
            if (self && self->state_.status.is(MirrorStatus::Kind::running)) self->stop();
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
    if (!state_.status.is(MirrorStatus::Kind::idle) && !state_.status.is(MirrorStatus::Kind::waitingForDevice)) co_return;
    // Keeps the engine alive across the awaits below, whoever started us.
    const auto self = shared_from_this();

    if (state_.fontSmoothingDisabled) disableFontSmoothingForMirroring();

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
        const DisplayMode mode = i == 0 ? state_.displayMode : DisplayMode::extended;
        DisplayResolution resolution = resolutionForDevice(device);
        const bool greyscale = isGreyscaleDevice(device.model);
        const PixelFormat format = greyscale ? PixelFormat::greyscale : PixelFormat::rgb;
        engineLine(fmt::format(
            "[MirrorEngine] Device {} ({}) → {}", device.serial, device.model, greyscale ? "Greyscale" : "Color"));

        auto session = std::make_shared<DeviceSession>(port, std::move(resolution), mode, device, format,
            environment_.makeADBBridge(device), timing_.session, environment_.session);
        if (state_.connectionMode == ConnectionMode::wifi) session->setBindAddress(std::string(ALL_INTERFACES_ADDRESS));
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

    publish(state_.adbConnected,
        std::any_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->adbConnected(); }),
        EngineProperty::adbConnected);
    publish(state_.apkInstallStatus, std::string(), EngineProperty::apkInstallStatus);

    setStatus(MirrorStatus::running());
    EventLog::shared().record(MirrorEvent::mirrorStarted());

    if (state_.clamshellModeEnabled) activateSleepManager();

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
        StreamStats next = self->state_.stats;
        next.rttMs = stats.rttAvgMs;
        next.rttP95Ms = stats.rttP95Ms;
        self->publish(self->state_.stats, next, EngineProperty::stats);
    };
    const std::string serial = session->id();
    session->onCompanionCrashed = [weak, serial] {
        auto self = weak.lock();
        if (!self) return;
        logError("Engine", "Companion app crashed on " + serial + " — stopping session");
        self->setStatus(MirrorStatus::error("Companion app crashed on device"));
    };
    session->onSetupFailure = [weak](const std::string& message) {
        if (auto self = weak.lock()) {
            self->publish(self->state_.lastADBFailureMessage, std::optional<std::string>(message),
                EngineProperty::lastADBFailureMessage);
        }
    };

    publish(state_.lastADBFailureMessage, std::optional<std::string>(), EngineProperty::lastADBFailureMessage);

    // Until it has started, a stop finds the session here and tears it down.
    startingSession_ = session;
    std::string failure;
    std::exception_ptr cancelled;
    try {
        auto starting = environment_.startSession(session, wsServer_, state_.contrastAmount, state_.gammaAmount);
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
    if (device.deviceFamily() == DeviceFamily::daylightDC1) return state_.resolution;

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
        return state_.resolution;
    }

    const auto larger = static_cast<std::uint64_t>(std::max(width, height));
    const auto smaller = static_cast<std::uint64_t>(std::min(width, height));
    const auto presets = DisplayResolution::dynamicPresets(larger, smaller);
    const std::string_view mode = state_.nonDC1Mode;
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

    deactivateSleepManager();
    cancelDimmingAndRestoreBrightness();
    stopDisplayController();

    auto sessions = sessions_;
    if (auto unfinished = std::exchange(startingSession_, nullptr)) sessions.push_back(std::move(unfinished));
    for (const auto& session : sessions) co_await session->stop();
    sessions_.clear();
    notify(EngineProperty::sessions);

    co_await stopPreviewServers();

    if (state_.fontSmoothingDisabled) restoreFontSmoothing();

    setStatus(MirrorStatus::idle());
    EventLog::shared().record(MirrorEvent::mirrorStopped());

    StreamStats cleared = state_.stats;
    cleared.capture.fps = 0;
    cleared.capture.bandwidthMBps = 0;
    cleared.capture.totalFrames = 0;
    cleared.clientCount = 0;
    publish(state_.stats, cleared, EngineProperty::stats);
    publish(state_.adbConnected, false, EngineProperty::adbConnected);
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
    if (auto self = weak.lock()) self->publish(self->state_.adbConnected, anyConnected, EngineProperty::adbConnected);
}

// ---------------------------------------------------------------------------
// Statistics

void MirrorEngine::aggregateStats()
{
    if (sessions_.empty()) return;
    const auto& first = *sessions_.front();
    StreamStats stats = state_.stats;
    // Rates and timings of the first session; amounts summed over all.
    stats.capture = first.stats().capture;
    stats.capture.bandwidthMBps = 0;
    stats.capture.totalFrames = 0;
    stats.capture.skippedFrames = 0;
    for (const auto& session : sessions_) {
        stats.capture.bandwidthMBps += session->stats().capture.bandwidthMBps;
        stats.capture.totalFrames += session->stats().capture.totalFrames;
        stats.capture.skippedFrames += session->stats().capture.skippedFrames;
    }
    publish(state_.stats, stats, EngineProperty::stats);
    if (first.companionVersion()) {
        publish(state_.companionVersion, first.companionVersion(), EngineProperty::companionVersion);
    }
    publish(state_.companionUpdateFailed, first.companionUpdateFailed(), EngineProperty::companionUpdateFailed);

    MetricsSample sample;
    sample.timestamp = wallNow();
    sample.fps = stats.capture.fps;
    sample.rttAvgMs = stats.rttMs;
    sample.rttP95Ms = stats.rttP95Ms;
    sample.jitterMs = stats.capture.jitterMs;
    sample.bandwidthMbps = stats.capture.bandwidthMBps;
    sample.frameSizeKB = static_cast<double>(stats.capture.frameSizeKB);
    sample.skippedFrames = stats.capture.skippedFrames;
    sample.greyMs = stats.capture.convertMs;
    sample.compressMs = stats.capture.compressMs;
    sample.clientCount = stats.clientCount;
    MetricsRing::shared().record(sample);
}

void MirrorEngine::aggregateClientCount()
{
    StreamStats stats = state_.stats;
    stats.clientCount = 0;
    for (const auto& session : sessions_) stats.clientCount += session->stats().clientCount;
    publish(state_.stats, stats, EngineProperty::stats);
    collaborators().hostDimming->clientCountChanged(stats.clientCount, state_.autoDimHost);
}

// ---------------------------------------------------------------------------
// Device display controller (front light)

void MirrorEngine::setBrightness(int value) { collaborators().displayControl->setBrightness(value); }

void MirrorEngine::setWarmth(int value) { collaborators().displayControl->setWarmth(value); }

void MirrorEngine::toggleBacklight() { collaborators().displayControl->toggleBacklight(); }

void MirrorEngine::restoreSleepIfNeeded()
{
    if (!state_.clamshellModeEnabled) deactivateSleepManager();
}

// ---------------------------------------------------------------------------
// Collaborators

void MirrorEngine::loadSettings() {}                 // settings store: keys, migrations, handlers
void MirrorEngine::settingChanged(EngineProperty) {} // settings: persistence and live effects

void MirrorEngine::installLidHandler()
{
    // The clamshell re-mirroring that follows an opened lid.
    collaborators().sleep->setOnLidOpened([] {});
}

void MirrorEngine::startWiFiServices() { collaborators().networkServices->start(); }

void MirrorEngine::startControlSocket() { collaborators().controlServer->start(); }

void MirrorEngine::startUSBMonitor()
{
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    DeviceEvents events;
    events.connected = [weak] {
        if (auto self = weak.lock()) self->publish(self->state_.deviceDetected, true, EngineProperty::deviceDetected);
    };
    events.disconnected = [weak] {
        if (auto self = weak.lock()) self->publish(self->state_.deviceDetected, false, EngineProperty::deviceDetected);
    };
    events.unauthorizedChanged = [weak](const std::vector<std::string>& serials) {
        if (auto self = weak.lock()) {
            self->publish(self->state_.unauthorizedDeviceSerials, serials, EngineProperty::unauthorizedDeviceSerials);
        }
    };
    const auto& monitor = collaborators().deviceMonitor;
    monitor->start(std::move(events));
    publish(state_.deviceDetected, monitor->wasConnected(), EngineProperty::deviceDetected);
}

void MirrorEngine::scheduleUpdateChecks()
{
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    collaborators().updateChecks->schedule([weak](const std::string& version, const std::string& url) {
        auto self = weak.lock();
        if (!self) return;
        self->publish(self->state_.updateVersion, std::optional<std::string>(version), EngineProperty::updateVersion);
        self->publish(self->state_.updateURL, std::optional<std::string>(url), EngineProperty::updateURL);
        logInfo("Update", "New version available: " + version);
    });
}

void MirrorEngine::disableFontSmoothingForMirroring() { collaborators().fontSmoothing->disable(); }

void MirrorEngine::restoreFontSmoothing() { collaborators().fontSmoothing->restore(); }

void MirrorEngine::startDisplayController()
{
    const auto dc1 = std::find_if(sessions_.begin(), sessions_.end(),
        [](const auto& session) { return session->device().deviceFamily() == DeviceFamily::daylightDC1; });
    if (dc1 == sessions_.end() || !(*dc1)->tcpServer()) return;
    std::weak_ptr<MirrorEngine> weak = weak_from_this();
    collaborators().displayControl->start(*dc1, [weak](FrontLight light) {
        auto self = weak.lock();
        if (!self) return;
        self->publish(self->state_.brightness, light.brightness, EngineProperty::brightness);
        self->publish(self->state_.warmth, light.warmth, EngineProperty::warmth);
        self->publish(self->state_.backlightOn, light.backlightOn, EngineProperty::backlightOn);
    });
}

void MirrorEngine::stopDisplayController() { collaborators().displayControl->stop(); }

void MirrorEngine::activateSleepManager() { collaborators().sleep->activate(); }

void MirrorEngine::deactivateSleepManager() { collaborators().sleep->deactivate(); }

void MirrorEngine::cancelDimmingAndRestoreBrightness() { collaborators().hostDimming->cancelAndRestore(); }

} // namespace qb
