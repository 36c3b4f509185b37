#include "session/DeviceSession.h"

#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "config/MirrorError.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/Log.h"
#include "pipeline/HardwareEncoder.h"
#include "platform/LanAddress.h"
#include "platform/Platform.h"
#include "platform/UserFolders.h"
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

DeviceSession::DeviceSession(SessionSetup setup, std::shared_ptr<ADBBridging> adb, Timing timing, Environment environment)
    : port_(setup.port)
    , resolution_(std::move(setup.resolution))
    , displayMode_(setup.displayMode)
    , device_(std::move(setup.device))
    , pixelFormat_(setup.pixelFormat)
    , kind_(setup.kind)
    , bindAddress_(setup.listenAddress())
    , inputPort_(setup.inputPort)
    , adb_(adb ? std::move(adb) : std::make_shared<RealADBBridge>())
    , timing_(std::move(timing))
    , environment_(std::move(environment))
    , supervisor_(std::make_shared<CompanionSupervisor>(adb_, device_.serial, device_.model,
          CompanionSupervisor::Timing{timing_.retryPause, timing_.healthCheckInterval}, &DeviceSession::hostWiFiIP))
{
    if (!environment_.platform) throw std::invalid_argument("a device session needs the daemon's platform");
    Platform& platform = *environment_.platform;
    if (!environment_.virtualDisplays) environment_.virtualDisplays = platform.virtualDisplays();
    if (!environment_.pacerWindows) environment_.pacerWindows = platform.pacerWindows();
    if (!environment_.captureBackend) environment_.captureBackend = platform.captureBackend();
    if (!environment_.inputInjector) environment_.inputInjector = platform.inputInjector();
    // An empty comparison-encoder factory lets the capture use HardwareEncoder.
    if (!environment_.hardwareComparisonEnabled) {
        environment_.hardwareComparisonEnabled = [] {
            return userSettings().boolean(HARDWARE_COMPARISON_KEY).value_or(false);
        };
    }
}

DeviceSession::~DeviceSession()
{
    // The owner normally stopped the session; this only keeps a dropped one
    // from leaving a timer or a running component behind (the supervisor
    // ends its health check as it goes).
    if (compositorPacer_) compositorPacer_->stop();
    if (inputServer_) inputServer_->requestStop();
    if (tcpServer_) tcpServer_->requestStop();
}

std::string DeviceSession::prefix() const { return "[" + device_.serial + "]"; }

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

    if (usesADB()) {
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

    const std::uint32_t createdID = displayManager_->displayID();
    const auto virtualDisplays = environment_.virtualDisplays; // outlives a stop meanwhile
    const bool settled = co_await virtualDisplays->awaitDisplayReady(createdID, timing_.displayReadyLimit, pause_)
        != DisplayReadiness::interrupted;
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

    const bool modeSettled = co_await virtualDisplays->awaitDisplayReady(createdID, timing_.displayReadyLimit, pause_)
        != DisplayReadiness::interrupted;
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
    auto frameOptions = environment_.frameServer;
    frameOptions.bindAddress = bindAddress();
    // Off loopback (Wi-Fi mode) only the set-up devices may connect.
    if (bindAddress() != LOOPBACK_ADDRESS) frameOptions.peers = environment_.lanPeers;
    auto server = FrameServer::make(frameOptions);
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
    if (const auto error = server->open(port_)) {
        throw boost::system::system_error(error, fmt::format("frame server on port {}", port_));
    }
    tcpServer_ = server;
    server->start();
    supervisor_->setHostPorts(server->port(), 0);
    supervisor_->setPagePort(environment_.pagePort);

    InputServer::Options inputOptions{bindAddress(), nullptr, timing_.input};
    if (bindAddress() != LOOPBACK_ADDRESS) inputOptions.peers = environment_.lanPeers;
    auto input = InputServer::make(displayID, environment_.inputInjector, std::move(inputOptions));
    if (!input->open(static_cast<std::uint16_t>(inputPort_))) {
        inputServer_ = input;
        input->start();
        supervisor_->setHostPorts(server->port(), input->port());
    } else {
        // Usually another session already holds the input port: that session
        // owns touch input, this one runs without.
        componentLog(LogLevel::warn, COMPONENT,
            fmt::format("[DeviceSession:{}] Input server failed to start: port {} unavailable — touch disabled",
                serial, inputPort_));
    }

    // A temporary failure is tried again with a fresh capture after a
    // growing pause, which a stop cuts short.
    Duration retryPause = timing_.captureRetryPause;
    for (int attempt = 1;; ++attempt) {
        capture_ = makeCapture(displayID, wsServer, contrastAmount, gammaAmount);
        std::string failure;
        try {
            co_await startCapture();
            break;
        } catch (const ScreenCaptureError& error) {
            if (!error.temporary() || attempt >= timing_.captureStartAttempts || stopping()) throw;
            failure = error.what();
        }
        componentLog(LogLevel::warn, COMPONENT,
            fmt::format("[DeviceSession:{}] Capture did not start: {} — trying again in {} ms (attempt {} of {})",
                serial, failure, std::chrono::duration_cast<std::chrono::milliseconds>(retryPause).count(),
                attempt + 1, timing_.captureStartAttempts));
        if (auto failed = std::move(capture_)) co_await failed->stop();
        const bool waited = co_await pause_.sleep(retryPause);
        if (!waited || stopping()) throw MirrorError::noVirtualDisplay();
        retryPause *= 2;
    }
    if (stopping()) throw MirrorError::noVirtualDisplay();

    if (usesADB()) {
        const std::function<bool()> status = [adb, serial] {
            adb->sendStatus(serial, "capture_ready");
            return true;
        };
        co_await offMainLoop<bool>(status, SESSION);
        supervisor_->setNetworkOnly(!usesADB());
        const std::weak_ptr<DeviceSession> owner = weak_from_this();
        supervisor_->onSetupFailure = [owner](const std::string& message, SetupFailureCause cause) {
            if (auto session = owner.lock(); session && session->onSetupFailure) session->onSetupFailure(message, cause);
        };
        supervisor_->onInstallProgress = [owner](const std::string& line, bool missing) {
            if (auto session = owner.lock(); session && session->onInstallProgress) {
                session->onInstallProgress(line, missing);
            }
        };
        supervisor_->onCompanionCrashed = [owner] {
            if (auto session = owner.lock(); session && session->onCompanionCrashed) session->onCompanionCrashed();
        };
        co_await supervisor_->setUp();
        if (stopping()) throw MirrorError::noVirtualDisplay();
    } else {
        componentLog(LogLevel::info, COMPONENT,
            fmt::format("[DeviceSession:{}] Tablet page — no adb, waiting for the page to connect", serial));
    }

    logInfo(SESSION, fmt::format("{} Started — {}, {}x{}, port {}, {}{}", prefix(), displayName, width, height,
                         port_, rawValue(displayMode_), isPage() ? " (tablet page)" : ""));
    EventLog::shared().record(MirrorEvent::sessionStarted(serial, fmt::format("{}x{}", width, height), port_));

    if (supervisor_->connected()) supervisor_->startHealthCheck();
}

std::shared_ptr<ScreenCapture> DeviceSession::makeCapture(std::uint32_t displayID,
    std::shared_ptr<WebSocketServer> wsServer, double contrastAmount, double gammaAmount)
{
    const std::weak_ptr<DeviceSession> weak = weak_from_this();
    ScreenCapture::Options options;
    options.backend = environment_.captureBackend;
    options.timing = timing_.capture;
    options.comparisonEncoderFactory = environment_.comparisonEncoderFactory;
    auto capture = std::make_shared<ScreenCapture>(tcpServer_, std::move(wsServer), displayID,
        static_cast<std::int64_t>(resolution_.width), static_cast<std::int64_t>(resolution_.height), pixelFormat_,
        std::move(options));
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
    capture->setOnStreamEnded([weak] {
        MainLoop::shared().post([weak] {
            if (const auto session = weak.lock(); session && session->onDisplayGone) session->onDisplayGone();
        });
    });
    return capture;
}

asio::awaitable<void> DeviceSession::startCapture()
{
    const auto capture = capture_;
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
}

// ---------------------------------------------------------------------------
// Stop

asio::awaitable<void> DeviceSession::stop()
{
    const auto self = shared_from_this();
    stopRequested_.store(true);
    pause_.interrupt();
    co_await supervisor_->halt();

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

    if (auto server = std::move(tcpServer_)) {
        auto stopping = server->stopAsync();
        co_await std::move(stopping);
    }

    displayManager_.reset();

    co_await supervisor_->takeDown();

    logInfo(SESSION, fmt::format("{} Stopped", prefix()));
    EventLog::shared().record(MirrorEvent::sessionStopped(device_.serial));
}

// ---------------------------------------------------------------------------
// Reconnect

asio::awaitable<bool> DeviceSession::openTabletPage()
{
    if (!usesADB()) co_return false;
    const auto supervisor = supervisor_;
    const bool opened = co_await supervisor->openPageOnDevice();
    co_return opened;
}

asio::awaitable<void> DeviceSession::reconnect()
{
    if (stopping()) co_return; // a stopped session keeps no link
    const auto supervisor = supervisor_;
    co_await supervisor->reconnect();
}

// ---------------------------------------------------------------------------
// Wi-Fi address

std::optional<std::string> DeviceSession::hostWiFiIP() { return lanAddress(); }

} // namespace qb
