// DeviceSession: everything the daemon runs for one mirrored device, from
// the engine's decision to mirror to it until it stops — the virtual display,
// the compositor pacer that keeps it repainting, the frame server the device
// connects to, the input server for its touches, the capture and encoder that
// feed the frame server, and the device link over adb (reverse tunnels,
// companion install, version check and launch, companion supervision).
//
// The session never runs adb itself: every adb operation goes through the
// ADBBridging value given at construction (RealADBBridge in production), so a
// session can be driven by a scripted bridge.
//
// Life: construct (always owned by a std::shared_ptr: the callbacks it
// installs hold it weakly) with its SessionSetup → set the callbacks →
// co_await start()
// → any number of reconnect() → co_await stop(). A session is used once.
//
// Threads:
//  - start() and stop() are coroutines run on the main loop; every field and
//    accessor below is main-loop state unless its comment says otherwise.
//    The blocking adb calls of the start run on the utility global queue and
//    their results come back to the main loop; the pauses suspend without
//    blocking and stop() cuts them short.
//  - The session's callbacks (onStatsChanged, onClientCountChanged,
//    onLatencyStats, onSetupFailure, onCompanionCrashed) are called on the
//    main loop.
//  - reconnect() and openTabletPage() are coroutines on the main loop too;
//    their adb calls run on the utility queue, and cancelling them (a stop
//    cancels the engine's reconnects) ends the call under way.
//  - The device link (tunnels, companion install, launch, health check,
//    reconnect) is the session's CompanionSupervisor: every 30 seconds while
//    the link is up it asks adb (off the main loop) whether the companion
//    runs and relaunches it when not; after three failed relaunches it gives
//    up and reports onCompanionCrashed. stop() halts it first and waits for
//    the health check to end, so no relaunch follows a stop.
//
// Start failures: start() throws MirrorError::noVirtualDisplay (the display
// could not be created, or the session was stopped while starting),
// boost::system::system_error (the frame server could not listen, or the
// resolution does not fit the frame stream's 16-bit fields) or
// ScreenCaptureError (the capture did not start; a temporary failure is
// first tried again, see DeviceSessionTiming). Components created before
// the failure stay until stop() removes them. Adb failures never fail the
// start: they are reported through onSetupFailure and the display, capture
// and servers keep running.
//
// Touch input: every session's input server listens on the one input port
// (8892) and every device reaches it through the same device port. Only one
// session can hold that port; a later session logs that touch is disabled
// and does not map the device's input port either, so its touches never land
// on another device's display.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "config/DisplayResolution.h"
#include "config/StreamStats.h"
#include "config/Ports.h"
#include "config/Version.h"
#include "config/Modes.h"
#include "device/ADBBridge.h"
#include "device/ADBBridging.h"
#include "device/CompanionSupervisor.h"
#include "pipeline/CompositorPacer.h"
#include "pipeline/ScreenCapture.h"
#include "pipeline/VirtualDisplayManager.h"
#include "platform/CaptureStream.h"
#include "platform/InputInjector.h"
#include "platform/PacerWindows.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "runtime/Asio.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"
#include "session/SessionSetup.h"
#include "transport/FramePacer.h"
#include "transport/InputServer.h"
#include "transport/PeerAllowList.h"
#include "transport/FrameServer.h"
#include "transport/WebSocketServer.h"

namespace qb {

struct DeviceSessionTiming {
    // After the virtual display appears, and after the display mode is set,
    // the desktop confirms it shows the change before the next step uses the
    // display (VirtualDisplays::awaitDisplayReady); a desktop that cannot
    // confirm is given this long.
    Duration displayReadyLimit = std::chrono::seconds(1);
    // Between tunnel attempts and before each companion version re-query.
    Duration retryPause = std::chrono::seconds(1);
    // First companion health check and the period after it.
    Duration healthCheckInterval = std::chrono::seconds(30);
    // A capture whose start failed for a passing reason (the display still
    // being set up, the desktop busy) is tried again after this pause,
    // doubled before each further try, in all at most captureStartAttempts
    // times; a permanent failure is never tried again.
    Duration captureRetryPause = std::chrono::milliseconds(500);
    int captureStartAttempts = 4;
    // Passed on to the components.
    ScreenCaptureTiming capture;
    CompositorPacerTiming pacer;
    InputServerTiming input;
};

// The platform services and settings a session builds its components on.
// Empty members are filled from `platform` and the user's settings.
struct DeviceSessionEnvironment {
    // The daemon's platform (required: tests give the sim platform).
    std::shared_ptr<Platform> platform;
    std::shared_ptr<VirtualDisplays> virtualDisplays;
    // None when the platform needs no pacer (its capture delivers frames on change).
    std::shared_ptr<PacerWindows> pacerWindows;
    std::shared_ptr<CaptureBackend> captureBackend;
    std::shared_ptr<InputInjector> inputInjector;
    // Creates the H.264 comparison encoder; default: the libavcodec one.
    ComparisonEncoderFactory comparisonEncoderFactory;
    // Whether the comparison experiment is on; default: the boolean user
    // setting "experimentH264Compare".
    std::function<bool()> hardwareComparisonEnabled;
    // The host port of the tablet page; a USB device without the companion
    // opens the page there (0: never).
    std::uint16_t pagePort = 0;
    // Options of the frame server.
    FrameServer::Options frameServer;
    // Who may use the input server when it listens beyond loopback (Wi-Fi
    // mode); null: whoever reaches it.
    std::shared_ptr<const PeerAllowList> lanPeers;
};

class DeviceSession : public std::enable_shared_from_this<DeviceSession> {
public:
    using Timing = DeviceSessionTiming;
    using Environment = DeviceSessionEnvironment;

    // The companion version this host expects (only the major must match).
    // Device-side ports of the two reverse tunnels.
    static constexpr int TUNNEL_ATTEMPTS = CompanionSupervisor::TUNNEL_ATTEMPTS;
    static constexpr int VERSION_REQUERIES = CompanionSupervisor::VERSION_REQUERIES;
    static constexpr int MAX_RELAUNCHES = CompanionSupervisor::MAX_RELAUNCHES;

    DeviceSession(SessionSetup setup, std::shared_ptr<ADBBridging> adb, Timing timing = {}, Environment environment = {});
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // See the header comment for the errors. `wsServer` may be null.
    asio::awaitable<void> start(std::shared_ptr<WebSocketServer> wsServer, double contrastAmount,
        double gammaAmount);
    // Never throws; safe on a half-started or already stopped session.
    asio::awaitable<void> stop();
    // Re-creates the adb tunnels and relaunches the companion (no install, no
    // version check, no new health check). Main loop; cancelling it ends the
    // adb call under way.
    asio::awaitable<void> reconnect();
    // The adb server was lost: the link is down until reconnect().
    void adbLinkLost() { supervisor_->linkLost(); }
    // The tablet page's tunnel and a VIEW intent on the device: its browser
    // shows this session; whether it was opened. Main loop.
    asio::awaitable<bool> openTabletPage();

    // This machine's LAN address (platform/LanAddress.h): the interface
    // $QUILLBRIGHT_WIFI_INTERFACE names, else the default route's, else any
    // address but loopback. Nothing when there is none.
    static std::optional<std::string> hostWiFiIP();

    // Where the frame and input servers listen (SessionSetup::listenAddress).
    const std::string& bindAddress() const { return bindAddress_; }

    // ---- Identity and configuration ----
    const std::string& id() const { return device_.serial; }
    SessionKind kind() const { return kind_; }
    // A browser page's session (SessionSetup.h): no adb is ever issued.
    bool isPage() const { return kind_ == SessionKind::browserPage; }
    bool usesADB() const { return !isPage(); }
    std::uint16_t port() const { return port_; }
    const DisplayResolution& resolution() const { return resolution_; }
    DisplayMode displayMode() const { return displayMode_; }
    const ConnectedDevice& device() const { return device_; }
    PixelFormat pixelFormat() const { return pixelFormat_; }
    const std::shared_ptr<ADBBridging>& adb() const { return adb_; }

    // ---- Components (null before start, after stop, or when absent) ----
    VirtualDisplayManager* displayManager() const { return displayManager_.get(); }
    // The frame server; the engine's display controller sends its commands here.
    const std::shared_ptr<FrameServer>& tcpServer() const { return tcpServer_; }
    const std::shared_ptr<ScreenCapture>& capture() const { return capture_; }
    const std::shared_ptr<CompositorPacer>& compositorPacer() const { return compositorPacer_; }
    const std::shared_ptr<InputServer>& inputServer() const { return inputServer_; }

    // ---- Device link ----
    bool adbConnected() const { return supervisor_->connected(); }
    const std::optional<std::string>& companionVersion() const { return supervisor_->companionVersion(); }
    bool companionUpdateFailed() const { return supervisor_->companionUpdateFailed(); }
    bool hasHealthCheck() const { return supervisor_->hasHealthCheck(); }
    int relaunchAttempts() const { return supervisor_->relaunchAttempts(); }
    bool usesBrowser() const { return supervisor_->usesBrowser(); }

    // ---- Statistics (written by the component callbacks on the main loop) ----
    const StreamStats& stats() const { return stats_; }

    // ---- Callbacks, set by the owner before start(); called on the main loop ----
    std::function<void()> onStatsChanged;
    std::function<void(int)> onClientCountChanged;
    std::function<void(const LatencyStats&)> onLatencyStats;
    std::function<void(const std::string&, SetupFailureCause)> onSetupFailure;
    // The companion is being installed or updated (a line for the user), or
    // is missing and none could be installed.
    std::function<void(const std::string& line, bool missing)> onInstallProgress;
    std::function<void()> onCompanionCrashed;
    // The capture's display left the desktop or went dark (the user turned
    // its output off): no frame comes until the session is built again.
    std::function<void()> onDisplayGone;

private:
    struct StartSignal;

    std::string prefix() const;
    // The capture of the display `displayID`, its callbacks installed.
    std::shared_ptr<ScreenCapture> makeCapture(std::uint32_t displayID, std::shared_ptr<WebSocketServer> wsServer,
        double contrastAmount, double gammaAmount);
    // Starts capture_, which stop() waits for; throws ScreenCaptureError.
    asio::awaitable<void> startCapture();
    // True once stop() has begun: a start under way gives up at its next step.
    bool stopping() const { return stopRequested_.load(); }

    const std::uint16_t port_;
    const DisplayResolution resolution_;
    const DisplayMode displayMode_;
    const ConnectedDevice device_;
    const PixelFormat pixelFormat_;
    const SessionKind kind_;
    const std::string bindAddress_;
    const std::uint16_t inputPort_;
    const std::shared_ptr<ADBBridging> adb_;
    const Timing timing_;
    Environment environment_;

    std::unique_ptr<VirtualDisplayManager> displayManager_;
    std::shared_ptr<FrameServer> tcpServer_;
    std::shared_ptr<ScreenCapture> capture_;
    std::shared_ptr<CompositorPacer> compositorPacer_;
    std::shared_ptr<InputServer> inputServer_;
    // The adb link: tunnels, companion install and launch, health check.
    const std::shared_ptr<CompanionSupervisor> supervisor_;

    // Start/stop coordination (main loop).
    Sleeper pause_;
    std::atomic<bool> stopRequested_{false};
    std::shared_ptr<StartSignal> captureStarting_; // set while start awaits the capture

    StreamStats stats_;
};

} // namespace qb
