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
    publish(resolution_, std::move(resolution), EngineProperty::resolution);
    settingChanged(EngineProperty::resolution);
}

void MirrorEngine::setNonDC1Mode(std::string mode)
{
    publish(nonDC1Mode_, std::move(mode), EngineProperty::nonDC1Mode);
    settingChanged(EngineProperty::nonDC1Mode);
}

void MirrorEngine::setDisplayMode(DisplayMode mode)
{
    publish(displayMode_, mode, EngineProperty::displayMode);
    settingChanged(EngineProperty::displayMode);
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
        if (connectionMode_ == ConnectionMode::wifi) session->setBindAddress(std::string(ALL_INTERFACES_ADDRESS));
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

    publish(adbConnected_,
        std::any_of(sessions_.begin(), sessions_.end(), [](const auto& s) { return s->adbConnected(); }),
        EngineProperty::adbConnected);
    publish(apkInstallStatus_, std::string(), EngineProperty::apkInstallStatus);

    setStatus(MirrorStatus::running());
    EventLog::shared().record(MirrorEvent::mirrorStarted());

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
    publish(clientCount_, count, EngineProperty::clientCount);
    // The host display's auto-dim follows the client count here.
}

// ---------------------------------------------------------------------------
// Device display controller (front light)

void MirrorEngine::setBrightness(int value)
{
    (void)value; // forwarded to the display controller once it exists
}

void MirrorEngine::setWarmth(int value)
{
    (void)value; // forwarded to the display controller once it exists
}

void MirrorEngine::toggleBacklight() {}

void MirrorEngine::restoreSleepIfNeeded()
{
    if (!clamshellModeEnabled_) deactivateSleepManager();
}

// ---------------------------------------------------------------------------
// Extension points: left empty until their components exist.

void MirrorEngine::loadSettings() {}                        // settings store: keys, migrations, handlers
void MirrorEngine::settingChanged(EngineProperty) {}        // settings: persistence and live effects
void MirrorEngine::installLidHandler() {}                   // sleep manager: lid-opened re-mirroring
void MirrorEngine::startWiFiServices() {}                   // Wi-Fi advertiser and discovery
void MirrorEngine::startControlSocket() {}                  // control socket server
void MirrorEngine::startUSBMonitor() {}                     // USB device monitor and device events
void MirrorEngine::scheduleUpdateChecks() {}                // update checker, now and every 6 hours
void MirrorEngine::disableFontSmoothingForMirroring() {}    // settings: font smoothing off
void MirrorEngine::restoreFontSmoothing() {}                // settings: font smoothing back on
void MirrorEngine::startDisplayController() {}              // display controller on the first DC-1
void MirrorEngine::stopDisplayController() {}               // display controller teardown
void MirrorEngine::activateSleepManager() {}                // sleep manager: keep awake, clamshell
void MirrorEngine::deactivateSleepManager() {}              // sleep manager: allow sleep again
void MirrorEngine::cancelDimmingAndRestoreBrightness() {}   // host display auto-dim

} // namespace qb
