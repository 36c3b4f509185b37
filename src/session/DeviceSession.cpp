#include "session/DeviceSession.h"

#include <cstdlib>
#include <exception>
#include <limits>
#include <utility>

#include <fmt/format.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "config/MirrorError.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/Log.h"
#include "pipeline/HardwareEncoder.h"
#include "platform/Platform.h"
#include "runtime/Background.h"
#include "runtime/MainLoop.h"
#include "runtime/Queues.h"
#include "runtime/SettingsStore.h"

namespace qb {

namespace {

constexpr std::string_view SESSION = "Session";
constexpr std::string_view COMPONENT = "DeviceSession";
constexpr std::string_view HARDWARE_COMPARISON_KEY = "experimentH264Compare";
constexpr std::string_view INTERRUPTED = "the session is stopping";

} // namespace

// Completion of the capture's start, which stop() must not overtake: the
// capture's start and stop are not meant to overlap.
struct DeviceSession::StartSignal {
    explicit StartSignal(Executor executor) : timer(executor, asio::steady_timer::time_point::max()) {}
    asio::steady_timer timer;
    bool done = false;

    void finish()
    {
        done = true;
        timer.cancel();
    }
    asio::awaitable<void> wait()
    {
        while (!done) {
            boost::system::error_code ignored;
            co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
    }
};

DeviceSession::DeviceSession(std::uint16_t port, DisplayResolution resolution, DisplayMode displayMode,
    ConnectedDevice device, PixelFormat pixelFormat, std::shared_ptr<ADBBridging> adb, Timing timing,
    Environment environment)
    : port_(port)
    , resolution_(std::move(resolution))
    , displayMode_(displayMode)
    , device_(std::move(device))
    , pixelFormat_(pixelFormat)
    , adb_(adb ? std::move(adb) : std::make_shared<RealADBBridge>())
    , timing_(std::move(timing))
    , environment_(std::move(environment))
    , streamHostPort_(port)
    , tasks_(MainLoop::shared().executor())
{
    if (!environment_.platform) environment_.platform = makeSimPlatform();
    Platform& platform = *environment_.platform;
    if (!environment_.virtualDisplays) environment_.virtualDisplays = platform.virtualDisplays();
    if (!environment_.pacerWindows) environment_.pacerWindows = platform.pacerWindows();
    if (!environment_.captureBackend) environment_.captureBackend = platform.captureBackend();
    if (!environment_.inputInjector) environment_.inputInjector = platform.inputInjector();
    // An empty comparison-encoder factory lets the capture use HardwareEncoder.
    if (!environment_.hardwareComparisonEnabled) {
        environment_.hardwareComparisonEnabled = [] {
            return SettingsStore::shared().boolean(HARDWARE_COMPARISON_KEY).value_or(false);
        };
    }
}

DeviceSession::~DeviceSession()
{
    // The owner normally stopped the session; this only keeps a dropped one
    // from leaving a timer or a running component behind.
    cancelHealthCheck();
    if (compositorPacer_) compositorPacer_->stop();
    if (inputServer_) inputServer_->requestStop();
    if (tcpServer_) tcpServer_->requestStop();
}

std::string DeviceSession::prefix() const { return "[" + device_.serial + "]"; }

std::string DeviceSession::bindAddress() const
{
    if (bindAddress_) return *bindAddress_;
    return std::string(skipADB_ ? ALL_INTERFACES_ADDRESS : LOOPBACK_ADDRESS);
}

std::optional<std::string> DeviceSession::launchHost() const
{
    if (skipADB_) return hostWiFiIP();
    return std::nullopt;
}

bool DeviceSession::hasHealthCheck() const { return healthChecking_; }

// ---------------------------------------------------------------------------
// Start

asio::awaitable<void> DeviceSession::start(std::shared_ptr<WebSocketServer> wsServer, double contrastAmount,
    double gammaAmount)
{
    const auto self = shared_from_this(); // the session outlives its own start
    const std::uint64_t width = resolution_.width;
    const std::uint64_t height = resolution_.height;
    constexpr std::uint64_t maxSide = std::numeric_limits<std::uint16_t>::max();
    if (width == 0 || height == 0 || width > maxSide || height > maxSide) {
        // The frame stream carries each side in 16 bits; refuse before
        // anything is created.
        throw boost::system::system_error(make_error_code(boost::system::errc::invalid_argument),
            fmt::format("resolution {}x{} does not fit the frame stream", width, height));
    }
    const std::string serial = device_.serial;
    const std::string displayName(rawValue(device_.deviceFamily()));
    const std::shared_ptr<ADBBridging> adb = adb_;

    if (!skipADB_) {
        const std::function<bool()> status = [adb, serial] {
            adb->sendStatus(serial, "starting_display");
            return true;
        };
        co_await offMainLoop<bool>(status, SESSION);
        if (stopping()) throw MirrorError::noVirtualDisplay();
    }

    displayManager_ = std::make_unique<VirtualDisplayManager>(width, height, resolution_.isHiDPI, displayName,
        VirtualDisplayManager::claimSerial(serial), environment_.virtualDisplays);
    if (!displayManager_->hasDisplay()) {
        // Nothing to capture; dropping the manager frees its display serial.
        displayManager_.reset();
        throw MirrorError::noVirtualDisplay();
    }

    const bool settled = co_await pause_.sleep(timing_.displayPause);
    if (!settled) {
        componentLog(LogLevel::info, COMPONENT,
            fmt::format("[DeviceSession] Sleep interrupted after virtual display creation: {}", INTERRUPTED));
    }
    // A stop during the pause has removed the display.
    if (!displayManager_ || stopping()) throw MirrorError::noVirtualDisplay();

    if (displayMode_ == DisplayMode::mirror) {
        displayManager_->mirrorBuiltInDisplay();
    } else {
        displayManager_->unmirrorBuiltInDisplay("Extend");
        componentLog(LogLevel::info, COMPONENT,
            fmt::format("[DeviceSession:{}] Extended display mode — unmirror enforced", serial));
    }

    const bool modeSettled = co_await pause_.sleep(timing_.displayPause);
    if (!modeSettled) {
        componentLog(LogLevel::info, COMPONENT,
            fmt::format("[DeviceSession] Sleep interrupted after display mode setup: {}", INTERRUPTED));
    }
    if (!displayManager_ || stopping()) throw MirrorError::noVirtualDisplay();
    const std::uint32_t displayID = displayManager_->displayID();

    // A platform without pacer windows delivers frames on change by itself.
    if (environment_.pacerWindows) {
        compositorPacer_ = CompositorPacer::create(displayID, environment_.pacerWindows, timing_.pacer);
        compositorPacer_->start();
    }

    const std::weak_ptr<DeviceSession> weak = weak_from_this();
    auto server = TCPServer::make(environment_.frameServer);
    server->setFrameWidth(static_cast<std::uint16_t>(width));
    server->setFrameHeight(static_cast<std::uint16_t>(height));
    server->setPixelFormat(pixelFormat_);
    server->setOnClientCountChanged([weak](int count) {
        MainLoop::shared().post([weak, count] {
            const auto session = weak.lock();
            if (!session) return;
            session->stats_.clientCount = count;
            if (session->onClientCountChanged) session->onClientCountChanged(count);
        });
    });
    server->setOnLatencyStats([weak](const LatencyStats& stats) {
        MainLoop::shared().post([weak, stats] {
            const auto session = weak.lock();
            if (!session) return;
            session->stats_.rttMs = stats.rttAvgMs;
            session->stats_.rttP95Ms = stats.rttP95Ms;
            if (session->onLatencyStats) session->onLatencyStats(stats);
        });
    });
    // Held before the listener opens, so that a stop meanwhile closes it.
    tcpServer_ = server;
    auto listening = server->startAsync(port_, bindAddress());
    const auto error = co_await std::move(listening);
    if (error) {
        tcpServer_.reset();
        throw boost::system::system_error(error, fmt::format("frame server on port {}", port_));
    }
    if (stopping()) throw MirrorError::noVirtualDisplay();
    streamHostPort_.store(server->port());

    auto input = InputServer::make(static_cast<std::uint16_t>(environment_.inputPort), displayID,
        environment_.inputInjector, bindAddress(), timing_.input);
    if (bindAddress() != LOOPBACK_ADDRESS) input->setPeerAllowList(environment_.lanPeers);
    inputServer_ = input;
    auto inputStarting = input->startAsync();
    co_await std::move(inputStarting);
    if (stopping()) throw MirrorError::noVirtualDisplay();
    if (input->running()) {
        inputHostPort_.store(input->boundPort());
    } else {
        inputServer_.reset();
        // Usually another session already holds the input port: that session
        // owns touch input, this one runs without.
        componentLog(LogLevel::warn, COMPONENT,
            fmt::format("[DeviceSession:{}] Input server failed to start: port {} unavailable — touch disabled",
                serial, environment_.inputPort));
    }

    ScreenCapture::Options options;
    options.backend = environment_.captureBackend;
    options.timing = timing_.capture;
    options.comparisonEncoderFactory = environment_.comparisonEncoderFactory;
    auto capture = std::make_shared<ScreenCapture>(tcpServer_, wsServer, displayID, static_cast<std::int64_t>(width),
        static_cast<std::int64_t>(height), pixelFormat_, std::move(options));
    capture->setContrastAmount(contrastAmount);
    capture->setGammaAmount(gammaAmount);
    capture->setEnableHardwareEncoderComparison(environment_.hardwareComparisonEnabled());
    capture->setOnStats([weak](const StreamStats& stats) {
        MainLoop::shared().post([weak, stats] {
            const auto session = weak.lock();
            if (!session) return;
            session->stats_.takeEncoderFigures(stats);
            if (session->onStatsChanged) session->onStatsChanged();
        });
    });
    capture_ = capture;
    const Executor executor = co_await asio::this_coro::executor;
    const auto signal = std::make_shared<StartSignal>(executor);
    captureStarting_ = signal;
    std::exception_ptr captureError;
    try {
        co_await capture->start();
    } catch (...) {
        captureError = std::current_exception();
    }
    signal->finish();
    if (captureStarting_ == signal) captureStarting_.reset();
    if (captureError) std::rethrow_exception(captureError);
    if (stopping()) throw MirrorError::noVirtualDisplay();

    if (!skipADB_) {
        const std::function<bool()> status = [adb, serial] {
            adb->sendStatus(serial, "capture_ready");
            return true;
        };
        co_await offMainLoop<bool>(status, SESSION);
        co_await setupADB();
        if (stopping()) throw MirrorError::noVirtualDisplay();
    } else {
        componentLog(LogLevel::info, COMPONENT,
            fmt::format("[DeviceSession:{}] WiFi-only mode — skipping ADB setup, waiting for network clients",
                serial));
    }

    logInfo(SESSION, fmt::format("{} Started — {}, {}x{}, port {}, {}{}", prefix(), displayName, width, height,
                         port_, rawValue(displayMode_), skipADB_ ? " (WiFi)" : ""));
    EventLog::shared().record(MirrorEvent::sessionStarted(serial, fmt::format("{}x{}", width, height), port_));

    if (adbConnected_.load()) startHealthCheck();
}

// ---------------------------------------------------------------------------
// Adb setup

// GCC 12 inlines Asio's coroutine-frame allocator into this long coroutine
// and then mistakes its matching operator delete for a mismatched one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<void> DeviceSession::setupADB()
{
    const std::string serial = device_.serial;
    const std::shared_ptr<ADBBridging> adb = adb_;
    const std::string expected(APP_VERSION);
    const std::function<bool()> installedCheck = [adb, serial] { return adb->isAppInstalled(serial); };
    const std::function<bool()> install = [adb, serial] { return adb->installBundledAPK(serial); };
    const std::function<std::optional<std::string>()> versionQuery = [adb, serial] {
        return adb->companionVersion(serial);
    };
    const std::function<bool()> resetOverride = [adb, serial] { return adb->resetDisplaySizeOverride(serial); };
    const std::function<bool()> removeTunnels = [adb, serial] {
        adb->removeReverseTunnel(serial, DEVICE_STREAM_PORT);
        adb->removeReverseTunnel(serial, DEVICE_INPUT_PORT);
        return true;
    };

    co_await offMainLoop<bool>(resetOverride, SESSION);

    bool tunnelUp = false;
    for (int attempt = 1; attempt <= TUNNEL_ATTEMPTS && !tunnelUp; ++attempt) {
        if (stopping()) co_return;
        const bool installed = co_await offMainLoop<bool>(installedCheck, SESSION);
        if (!installed) {
            logInfo(SESSION, fmt::format("{} Installing companion app (attempt {})...", prefix(), attempt));
            if (onInstallProgress) onInstallProgress(fmt::format("installing on {} (attempt {})", id(), attempt));
            co_await offMainLoop<bool>(install, SESSION);
        } else if (attempt == 1) {
            std::optional<std::string> version = co_await offMainLoop<std::optional<std::string>>(versionQuery, SESSION);
            companionVersion_ = std::move(version);
            if (!companionVersion_) {
                logWarn(SESSION, fmt::format("{} Could not query companion version — reinstalling", prefix()));
                co_await offMainLoop<bool>(install, SESSION);
                const bool paused = co_await pause_.sleep(timing_.retryPause);
                (void)paused; // an interrupted pause only ends early
                std::optional<std::string> requeried =
                    co_await offMainLoop<std::optional<std::string>>(versionQuery, SESSION);
                companionVersion_ = std::move(requeried);
            } else if (!isCompanionCompatible(*companionVersion_, expected)) {
                logInfo(SESSION, fmt::format("{} Companion v{} != host v{} — updating...", prefix(),
                                     *companionVersion_, expected));
                if (onInstallProgress) {
                    onInstallProgress(fmt::format("updating v{} to v{} on {}", *companionVersion_, expected, id()));
                }
                co_await offMainLoop<bool>(install, SESSION);
                std::optional<std::string> found;
                for (int query = 1; query <= VERSION_REQUERIES; ++query) {
                    const bool paused = co_await pause_.sleep(timing_.retryPause);
                    (void)paused;
                    std::optional<std::string> answer =
                        co_await offMainLoop<std::optional<std::string>>(versionQuery, SESSION);
                    found = std::move(answer);
                    if (found && isCompanionCompatible(*found, expected)) break;
                    if (query < VERSION_REQUERIES) {
                        logDebug(SESSION, fmt::format("{} Version query attempt {}/{} returned {} — retrying",
                                              prefix(), query, VERSION_REQUERIES, found ? *found : "nil"));
                    }
                }
                companionVersion_ = found;
                if (found && !isCompanionCompatible(*found, expected)) {
                    logError(SESSION, fmt::format("{} Bundled APK is stale (still v{} after install). Rebuild "
                                                  "with 'make android && make install'.",
                                          prefix(), *found));
                    companionUpdateFailed_ = true;
                }
            }
        }

        if (stopping()) co_return;
        const int hostPort = streamHostPort_.load();
        const std::function<bool()> streamTunnel = [adb, serial, hostPort] {
            return adb->setupReverseTunnel(serial, DEVICE_STREAM_PORT, hostPort);
        };
        tunnelUp = co_await offMainLoop<bool>(streamTunnel, SESSION);
        if (tunnelUp) tunnelsOpen_.store(true);
        if (!tunnelUp && attempt < TUNNEL_ATTEMPTS) {
            logWarn(SESSION,
                fmt::format("{} Tunnel failed (attempt {}/{}), retrying...", prefix(), attempt, TUNNEL_ATTEMPTS));
            const bool paused = co_await pause_.sleep(timing_.retryPause);
            if (!paused) {
                componentLog(LogLevel::info, COMPONENT,
                    fmt::format("[DeviceSession] Sleep interrupted during ADB retry: {}", INTERRUPTED));
            }
        }
    }

    if (tunnelUp) {
        logInfo(SESSION, fmt::format("{} Stream tunnel established (device:{} → host:{})", prefix(),
                             DEVICE_STREAM_PORT, streamHostPort_.load()));
        const int inputPort = inputHostPort_.load();
        if (inputPort == 0) {
            // Without an input server of our own the device's touches would
            // reach whichever session holds the input port.
            logWarn(SESSION, fmt::format("{} Input tunnel failed — touch disabled", prefix()));
        } else {
            const std::function<bool()> inputTunnel = [adb, serial, inputPort] {
                return adb->setupReverseTunnel(serial, DEVICE_INPUT_PORT, inputPort);
            };
            const bool inputUp = co_await offMainLoop<bool>(inputTunnel, SESSION);
            if (!inputUp) logWarn(SESSION, fmt::format("{} Input tunnel failed — touch disabled", prefix()));
        }
        if (stopping()) {
            // stop() has already run and found no link to take down.
            co_await offMainLoop<bool>(removeTunnels, SESSION);
            co_return;
        }
        const std::optional<std::string> host = launchHost();
        const std::function<bool()> launch = [adb, serial, host] {
            adb->launchApp(serial, true, host);
            return true;
        };
        co_await offMainLoop<bool>(launch, SESSION);
        adbConnected_.store(true);
        co_return;
    }

    if (stopping()) co_return; // the owner is tearing down; no message for the user
    logError(SESSION, fmt::format("{} ADB setup failed after {} attempts", prefix(), TUNNEL_ATTEMPTS));
    adbConnected_.store(false);
    const bool installed = co_await offMainLoop<bool>(installedCheck, SESSION);
    std::string message;
    if (!installed) {
        message = fmt::format("Companion app failed to install on {}. Check USB debugging is enabled, then "
                              "unplug and replug the device.",
            device_.model);
    } else if (companionUpdateFailed_) {
        message = fmt::format("Bundled companion APK is stale (v{}). Reinstall QuillBright from {}.",
            companionVersion_.value_or("?"), PRODUCT_WEBSITE);
    } else {
        message = fmt::format("Reverse tunnel failed after {} attempts. Check that no other app is using adb "
                              "(close Android Studio or other tools, then reconnect the device).",
            TUNNEL_ATTEMPTS);
    }
    if (onSetupFailure) onSetupFailure(message);
}
#pragma GCC diagnostic pop

// ---------------------------------------------------------------------------
// Health check

void DeviceSession::startHealthCheck()
{
    tasks_.cancelAll(); // replaces a previous check
    healthChecking_ = true;
    tasks_.spawn(healthCheckLoop(weak_from_this(), timing_.healthCheckInterval), "health check");
}

void DeviceSession::cancelHealthCheck()
{
    healthChecking_ = false;
    tasks_.cancelAll();
}

asio::awaitable<void> DeviceSession::healthCheckLoop(std::weak_ptr<DeviceSession> weak, Duration interval)
{
    for (;;) {
        const bool waited = co_await sleepFor(interval);
        if (!waited) co_return;
        const auto session = weak.lock();
        if (!session) co_return;
        const bool keepChecking = co_await session->healthCheck();
        if (!keepChecking) co_return;
    }
}

// One check; false once the companion is given up on.
asio::awaitable<bool> DeviceSession::healthCheck()
{
    if (!adbConnected_.load() || stopping()) co_return true;
    const std::string serial = device_.serial;
    const std::shared_ptr<ADBBridging> adb = adb_;
    const std::function<bool()> query = [adb, serial] { return adb->isCompanionRunning(serial); };
    const bool running = co_await offMainLoop<bool>(query, SESSION);
    if (running) {
        const int relaunches = relaunchAttempts_.exchange(0);
        if (relaunches > 0) {
            logInfo(SESSION, fmt::format("{} Companion recovered after {} relaunch(es)", prefix(), relaunches));
        }
        co_return true;
    }
    const int misses = relaunchAttempts_.fetch_add(1) + 1;
    logWarn(SESSION, fmt::format("{} Companion not running (attempt {}/{})", prefix(), misses, MAX_RELAUNCHES));
    if (misses <= MAX_RELAUNCHES) {
        const std::optional<std::string> host = launchHost();
        const std::function<bool()> relaunch = [adb, serial, host] {
            adb->launchApp(serial, true, host);
            return true;
        };
        if (!stopping()) co_await offMainLoop<bool>(relaunch, SESSION);
        co_return true;
    }
    logError(SESSION, fmt::format("{} Companion crashed — {} relaunch attempts failed", prefix(), MAX_RELAUNCHES));
    healthChecking_ = false;
    if (onCompanionCrashed) onCompanionCrashed();
    co_return false;
}

// ---------------------------------------------------------------------------
// Stop

asio::awaitable<void> DeviceSession::stop()
{
    const auto self = shared_from_this();
    stopRequested_.store(true);
    pause_.interrupt();

    cancelHealthCheck();
    co_await tasks_.join();

    if (auto pacer = std::move(compositorPacer_)) pacer->stop();

    if (captureStarting_) {
        const auto signal = captureStarting_;
        co_await signal->wait();
    }
    if (auto capture = std::move(capture_)) {
        co_await capture->stop();
    }

    if (auto input = std::move(inputServer_)) {
        auto stopping = input->stopAsync();
        co_await std::move(stopping);
    }
    inputHostPort_.store(0);

    if (auto server = std::move(tcpServer_)) {
        auto stopping = server->stopAsync();
        co_await std::move(stopping);
    }

    displayManager_.reset();

    // Also when a cancelled start had opened the tunnels but not yet
    // launched the companion: nothing of ours stays on the device.
    if (adbConnected_.load() || tunnelsOpen_.load()) {
        const std::shared_ptr<ADBBridging> adb = adb_;
        const std::string serial = device_.serial;
        const std::function<bool()> removeTunnels = [adb, serial] {
            adb->removeReverseTunnel(serial, DEVICE_STREAM_PORT);
            adb->removeReverseTunnel(serial, DEVICE_INPUT_PORT);
            return true;
        };
        co_await offMainLoop<bool>(removeTunnels, SESSION);
        adbConnected_.store(false);
        tunnelsOpen_.store(false);
    }

    logInfo(SESSION, fmt::format("{} Stopped", prefix()));
    EventLog::shared().record(MirrorEvent::sessionStopped(device_.serial));
}

// ---------------------------------------------------------------------------
// Reconnect

void DeviceSession::reconnect()
{
    if (stopping()) return; // a stopped session keeps no link
    const std::string& serial = device_.serial;
    const int streamPort = streamHostPort_.load();
    if (!adb_->setupReverseTunnel(serial, DEVICE_STREAM_PORT, streamPort)) {
        logError(SESSION, fmt::format("{} Reconnect tunnel failed", prefix()));
        return;
    }
    tunnelsOpen_.store(true);
    logInfo(SESSION,
        fmt::format("{} Stream tunnel re-established (device:{} → host:{})", prefix(), DEVICE_STREAM_PORT, streamPort));
    const int inputPort = inputHostPort_.load();
    if (inputPort == 0 || !adb_->setupReverseTunnel(serial, DEVICE_INPUT_PORT, inputPort)) {
        logWarn(SESSION, fmt::format("{} Input tunnel failed on reconnect — touch disabled", prefix()));
    }
    adb_->launchApp(serial, false, launchHost());
    adbConnected_.store(true);
    logInfo(SESSION, fmt::format("{} Reconnected", prefix()));
}

// ---------------------------------------------------------------------------
// Wi-Fi address

std::optional<std::string> DeviceSession::hostWiFiIP()
{
    const char* configured = std::getenv("QUILLBRIGHT_WIFI_INTERFACE");
    const std::string wanted = configured ? configured : "";
    const auto matches = [&wanted](std::string_view name) {
        if (!wanted.empty()) return name == wanted;
        return name.starts_with("wl");
    };

    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return std::nullopt;
    std::optional<std::string> address;
    for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name) continue;
        if (!matches(entry->ifa_name)) continue;
        char host[1025];
        if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0) {
            address = std::string(host);
        }
        break;
    }
    ::freeifaddrs(interfaces);
    return address;
}

} // namespace qb
