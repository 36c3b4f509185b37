// MirrorEngine: the coordinator that owns everything the daemon runs while
// mirroring — one DeviceSession per connected device and the browser-preview
// servers — and the start and stop sequences every trigger goes through (the
// command line, the preview page, later the control socket and device
// events). It publishes the observable state the command line, the status
// file and any front end read.
//
// Ownership: always held by a std::shared_ptr (make()); every callback it
// installs on a component holds it weakly and does nothing once it is gone.
// The engine owns its sessions and servers strongly.
//
// Threads: everything runs on the main loop (MainLoop::shared()): start(),
// stopAsync(), stop(), every published property, every observer call.
// Component callbacks arrive on the main loop or hop to it first. Blocking
// work (adb, lsof) runs on the utility global queue and resumes on the main
// loop. Coroutines the engine starts itself (stop() → stopAsync(), the
// preview page's start) are tracked by its TaskGroup and cancelled when the
// engine is destroyed.
//
// Status transitions:
//   idle / waitingForDevice --start()--> starting --> running | waitingForDevice | error
//   starting / running / error --stop() / stopAsync()--> stopping --> idle
//   waitingForDevice --stop()--> idle
// start() does nothing in any other state; apart from a stop, `error` is
// left only by setting the status from outside.
#pragma once

#include <chrono>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/AutoDim.h"
#include "core/EngineSettings.h"
#include "config/DisplayResolution.h"
#include "config/Ports.h"
#include "config/Version.h"
#include "config/MirrorStatus.h"
#include "config/Modes.h"
#include "device/ADBBridge.h"
#include "device/DisplayController.h"
#include "host/FontSmoothing.h"
#include "host/HostBrightness.h"
#include "host/SleepManager.h"
#include "platform/GlobalHotkeys.h"
#include "platform/HostPower.h"
#include "device/ADBBridging.h"
#include "session/DeviceSession.h"
#include "device/BonjourAdvertiser.h"
#include "device/USBDeviceMonitor.h"
#include "device/WiFiDeviceDiscovery.h"
#include "host/UpdateChecker.h"
#include "platform/CaptureStream.h"
#include "platform/Platform.h"
#include "runtime/Asio.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"
#include "transport/HTTPServer.h"
#include "transport/PeerAllowList.h"
#include "transport/WebSocketServer.h"

namespace qb {

// The engine's published properties, as named to observers.
enum class EngineProperty {
    status,
    fps,
    bandwidth,
    brightness,
    warmth,
    backlightOn,
    adbConnected,
    apkInstallStatus,
    clientCount,
    totalFrames,
    frameSizeKB,
    greyMs,
    compressMs,
    jitterMs,
    rttMs,
    rttP95Ms,
    skippedFrames,
    contrastAmount,
    gammaAmount,
    displayProfile,
    fontSmoothingDisabled,
    deviceDetected,
    unauthorizedDeviceSerials,
    lastADBFailureMessage,
    updateVersion,
    updateURL,
    companionVersion,
    companionUpdateFailed,
    resolution,
    nonDC1Mode,
    displayMode,
    sessions,
    autoMirrorEnabled,
    autoDimHost,
    connectionMode,
    clamshellModeEnabled,
};

// The fixed ports. Tests move them; production uses the defaults.
struct MirrorEnginePorts {
    std::uint16_t stream = STREAM_PORT;    // first device; later devices count up from here
    std::uint16_t webSocket = WEBSOCKET_PREVIEW_PORT; // browser preview
    std::uint16_t http = HTTP_PREVIEW_PORT;      // preview page
    std::uint16_t input = INPUT_PORT;     // touch input (every session)

    // The frame port of the device at `index` (0-based): counting up from
    // `stream`, skipping the preview and input ports, so a third device
    // never collides with the preview servers (8888, 8889, 8893, 8894, ...).
    std::uint16_t streamPort(std::size_t index) const;
};

struct MirrorEngineTiming {
    // Pause after each session start when several devices are present, so
    // the desktop settles before the next virtual display appears.
    Duration displayStagger = std::chrono::seconds(2);
    // Passed on to every session.
    DeviceSessionTiming session;
    // While running, every session's figures are folded into the published
    // statistics this often (and whenever a session reports).
    Duration statsInterval = std::chrono::seconds(1);
    // The update check: first this long after activation, then every period.
    Duration firstUpdateCheck = std::chrono::seconds(5);
    Duration updateCheckInterval = std::chrono::seconds(21600);
    AutoDimTiming autoDim;
    USBDeviceMonitor::Timing usbMonitor;
};

class MirrorEngine;

// What the engine builds on. Empty members get the production behaviour.
struct MirrorEngineEnvironment {
    // Screen-capture permission preflight and request; default:
    // makeCaptureBackend(selectedPlatform()).
    std::shared_ptr<CaptureBackend> captureBackend;
    // The connected devices in adb's order; default: when an adb executable
    // is known, start its server and list the devices, else none.
    std::function<std::vector<ConnectedDevice>()> listDevices;
    // The adb bridge of each session; default: RealADBBridge.
    std::function<std::shared_ptr<ADBBridging>(const ConnectedDevice&)> makeADBBridge;
    // Whether the start-up check can bind the port; default: an IPv6
    // wildcard bind with address reuse (IPv4 when the host has no IPv6).
    std::function<bool(std::uint16_t)> portAvailable;
    // Who holds a port; default: PortChecker::processBlocking. Runs off the
    // main loop.
    std::function<std::string(std::uint16_t)> processBlocking;
    // Starts one session; default: DeviceSession::start. Tests replace it to
    // follow the start sequence without displays and servers.
    std::function<asio::awaitable<void>(std::shared_ptr<DeviceSession>, std::shared_ptr<WebSocketServer>, double,
        double)>
        startSession;
    // Platform services and options handed to every session.
    DeviceSessionEnvironment session;
    MirrorEnginePorts ports;
    // Where the settings persist (the daemon: SettingsStore::shared()).
    // Null: nothing is loaded or stored, and the three initial values below
    // apply (tests).
    SettingsStore* settings = nullptr;
    DisplayResolution resolution = DisplayResolution::cozy();
    DisplayMode displayMode = DisplayMode::mirror;
    ConnectionMode connectionMode = ConnectionMode::usb;
    // Host integration. Empty: the selected platform's power, backlight and
    // font settings, with their recovery files under $HOME/.quillbright/.
    std::shared_ptr<HostPower> hostPower;
    std::shared_ptr<HostBrightness> hostBrightness;
    std::shared_ptr<FontSmoothing> fontSmoothing;
    // Global key grabs for the display controller's hotkeys; empty: none.
    std::shared_ptr<GlobalHotkeys> hotkeys;
    // The host's built-in panel (0...1) for auto-dim; default: hostBrightness
    // (which reads nothing when there is no panel: no dimming).
    std::function<std::optional<float>()> readHostBrightness;
    std::function<void(float)> writeHostBrightness;
    // Where the dimmed panel's brightness survives a crash; default
    // ~/.quillbright/saved_brightness.
    std::filesystem::path brightnessRecoveryFile;
    // The desktop-wide font smoothing switch of the fontsmoothing command;
    // returns false when it could not be changed. Default: fontSmoothing.
    std::function<bool(bool enabled)> setSystemFontSmoothing;
    // The update check; default: UpdateChecker::check against the
    // configured host. Runs off the main loop.
    std::function<std::optional<UpdateChecker::Release>()> checkForUpdate;
    // The USB device monitor; false leaves device events unwired (tests).
    bool monitorDevices = false;
    // DNS-SD for the Wi-Fi services; default: the selected platform's.
    std::shared_ptr<DnsSd> dnsSd;
    // Starts the control socket server for the activated engine; the layer
    // above the engine provides it (the daemon does).
    std::function<void(const std::shared_ptr<MirrorEngine>&)> startControlSocket;
};

class MirrorEngine : public std::enable_shared_from_this<MirrorEngine> {
public:
    using Timing = MirrorEngineTiming;
    using Environment = MirrorEngineEnvironment;
    using Ports = MirrorEnginePorts;
    using Observer = std::function<void(EngineProperty)>;

    static constexpr std::string_view appVersion = APP_VERSION;

    static std::shared_ptr<MirrorEngine> make(Environment environment = {}, Timing timing = {});
    ~MirrorEngine();
    MirrorEngine(const MirrorEngine&) = delete;
    MirrorEngine& operator=(const MirrorEngine&) = delete;

    // One-time wiring of the long-lived services; idempotent.
    void activate();
    // The start sequence; never throws, reports failure through status().
    asio::awaitable<void> start();
    // Synchronous entry: from waitingForDevice back to idle; from any other
    // state but idle into the teardown (stopAsync() as a tracked task).
    void stop();
    // The teardown, from every state: a start under way is cancelled (its
    // adb calls, pauses and the session it builds) and what exists is torn
    // down; in `error` the sessions and tunnels still held are removed; a
    // stop while one runs joins it. Ends in idle.
    asio::awaitable<void> stopAsync();
    // While running: re-establishes the adb link of every session whose link
    // is down (off the main loop), then refreshes adbConnected.
    void reconnect();
    // stopAsync() then start(), as one tracked task; only while running.
    void restart();
    // start() as a tracked task (the control socket's START).
    void startInBackground();
    // Switches the desktop's font smoothing; the flag follows unless the
    // tool cannot be run.
    void setFontSmoothing(bool enabled);
    // Crash recovery of a dimmed host panel (activate() calls it) and the
    // restore after the host woke up.
    void restoreBrightnessIfNeeded();
    void restoreBrightnessOnWakeIfNeeded();
    // Loopback and the devices set up over the network: who may reach the
    // LAN-facing input and start/stop endpoints in Wi-Fi mode.
    const std::shared_ptr<PeerAllowList>& lanPeers() const { return lanPeers_; }
    // The device events (also called by the USB monitor's callbacks).
    void deviceConnected();
    void deviceDisconnected();
    void unauthorizedDevicesChanged(const std::vector<std::string>& serials);
    void companionStartRequested();
    // Ctrl+F8 and the like: stop when mirroring, start otherwise.
    void toggleMirror();

    // Forwarded to the device display controller once one exists.
    void setBrightness(int value);
    void setWarmth(int value);
    void toggleBacklight();
    // The front-light controller of the first DC-1 session while running.
    const std::shared_ptr<DisplayController>& displayController() const { return displayController_; }
    const std::shared_ptr<SleepManager>& sleepManager() const { return sleepManager_; }
    // The built-in panel's brightness with its save/dim/restore; blocking
    // calls, made off the main loop (hostQueue()).
    const std::shared_ptr<HostBrightness>& hostBrightness() const { return environment_.hostBrightness; }
    // Runs blocking host-settings work (backlight, font settings) in order.
    const std::shared_ptr<SerialQueue>& hostQueue() const { return hostQueue_; }
    // Outside clamshell mode, undo any sleep change the sleep manager made.
    void restoreSleepIfNeeded();

    // Observers are told after a published property changed; on the main loop.
    int addObserver(Observer observer);
    void removeObserver(int id);

    // ---- Published state ----
    const MirrorStatus& status() const { return status_; }
    void setStatus(MirrorStatus status);
    double fps() const { return fps_; }
    double bandwidth() const { return bandwidth_; }
    int brightness() const { return brightness_; }
    int warmth() const { return warmth_; }
    bool backlightOn() const { return backlightOn_; }
    bool adbConnected() const { return adbConnected_; }
    const std::string& apkInstallStatus() const { return apkInstallStatus_; }
    int clientCount() const { return clientCount_; }
    std::int64_t totalFrames() const { return totalFrames_; }
    std::int64_t frameSizeKB() const { return frameSizeKB_; }
    double greyMs() const { return greyMs_; }
    double compressMs() const { return compressMs_; }
    double jitterMs() const { return jitterMs_; }
    double rttMs() const { return rttMs_; }
    double rttP95Ms() const { return rttP95Ms_; }
    std::int64_t skippedFrames() const { return skippedFrames_; }
    double contrastAmount() const { return contrastAmount_; }
    void setContrastAmount(double value);
    double gammaAmount() const { return gammaAmount_; }
    void setGammaAmount(double value);
    DisplayProfile displayProfile() const { return displayProfile_; }
    void setDisplayProfile(DisplayProfile profile);
    bool fontSmoothingDisabled() const { return fontSmoothingDisabled_; }
    bool deviceDetected() const { return deviceDetected_; }
    const std::vector<std::string>& unauthorizedDeviceSerials() const { return unauthorizedDeviceSerials_; }
    const std::optional<std::string>& lastADBFailureMessage() const { return lastADBFailureMessage_; }
    const std::optional<std::string>& updateVersion() const { return updateVersion_; }
    const std::optional<std::string>& updateURL() const { return updateURL_; }
    const std::optional<std::string>& companionVersion() const { return companionVersion_; }
    bool companionUpdateFailed() const { return companionUpdateFailed_; }
    const DisplayResolution& resolution() const { return resolution_; }
    void setResolution(DisplayResolution resolution);
    const std::string& nonDC1Mode() const { return nonDC1Mode_; }
    void setNonDC1Mode(std::string mode);
    DisplayMode displayMode() const { return displayMode_; }
    void setDisplayMode(DisplayMode mode);
    const std::vector<std::shared_ptr<DeviceSession>>& sessions() const { return sessions_; }
    bool autoMirrorEnabled() const { return autoMirrorEnabled_; }
    void setAutoMirrorEnabled(bool enabled);
    bool autoDimHost() const { return autoDimHost_; }
    void setAutoDimHost(bool enabled);
    ConnectionMode connectionMode() const { return connectionMode_; }
    void setConnectionMode(ConnectionMode mode);
    bool clamshellModeEnabled() const { return clamshellModeEnabled_; }
    void setClamshellModeEnabled(bool enabled);

    // True without a known companion version, else when its major version
    // matches appVersion.
    bool companionCompatible() const;

    // The preview servers while they run (null otherwise).
    const std::shared_ptr<WebSocketServer>& wsServer() const { return wsServer_; }
    const std::shared_ptr<HTTPServer>& httpServer() const { return httpServer_; }
    const Ports& ports() const { return environment_.ports; }

    // The size of a device's virtual display: the DC-1 preset for a
    // Daylight DC-1, else the device's native size (reported, cached, or
    // from the known-device table) in the orientation and density of
    // nonDC1Mode, else the DC-1 preset.
    DisplayResolution resolutionForDevice(const ConnectedDevice& device);

    // ---- Static helpers ----
    // A brightness slider position in 0...1 to a front-light value 0...255:
    // 0 below 0.03, then p² × 255 truncated, at least 1; NaN gives 0.
    static int brightnessFromSliderPos(double position);
    static bool hasScreenRecordingPermission();
    // Touch injection is possible (the X server offers XTEST).
    static bool hasAccessibilityPermission();
    static bool allPermissionsGranted();
    static bool requestScreenRecordingPermission();
    // There is no prompt to show on X11: this reports what the check finds.
    static bool requestAccessibilityPermission();
    static bool hasADB();
    static bool hasDevice();
    // A front end's first-run setup is done (settings key "setupCompleted").
    static bool setupCompleted();
    static void setSetupCompleted(bool completed);

private:
    MirrorEngine(Environment environment, Timing timing);

    template <class T>
    void publish(T& field, T value, EngineProperty property);
    void notify(EngineProperty property);

    asio::awaitable<void> startSession(std::shared_ptr<DeviceSession> session);
    asio::awaitable<void> stopPreviewServers();
    bool startPreviewServers();
    std::string bindAddress() const;
    void aggregateStats();
    void aggregateClientCount();
    asio::awaitable<void> startSequence();
    asio::awaitable<void> teardown();
    static asio::awaitable<void> startTask(std::weak_ptr<MirrorEngine> weak);
    static asio::awaitable<void> previewStartTask(std::weak_ptr<MirrorEngine> weak);
    static asio::awaitable<void> stopTask(std::weak_ptr<MirrorEngine> weak);
    static asio::awaitable<void> teardownTask(std::weak_ptr<MirrorEngine> weak);
    static asio::awaitable<void> reconnectTask(std::weak_ptr<MirrorEngine> weak,
        std::vector<std::shared_ptr<DeviceSession>> sessions);
    static asio::awaitable<void> restartTask(std::weak_ptr<MirrorEngine> weak);
    static asio::awaitable<void> restartAfterTeardownTask(std::weak_ptr<MirrorEngine> weak);
    static asio::awaitable<void> updateCheckTask(std::weak_ptr<MirrorEngine> weak);
    void resolutionChanged(const DisplayResolution& old);
    void nonDC1ModeChanged(const std::string& old);
    void displayModeChanged(DisplayMode old);
    void stopWiFiServices();
    void startStatsPolling();
    void stopStatsPolling();

    // ---- Extension points: steps whose components other parts provide ----
    // Persisted settings (resolution, modes, contrast, profile, flags) and
    // their migrations: filled in by the settings store wiring.
    void loadSettings();
    // Live effects and persistence of a changed setting: the settings'
    // change handlers.
    void settingChanged(EngineProperty property);
    // Lid-opened handler on the sleep manager (clamshell re-mirroring).
    void installLidHandler();
    // DNS-SD advertiser and discovery in Wi-Fi mode.
    void startWiFiServices();
    // The control socket server at the runtime directory's socket path.
    void startControlSocket();
    // The USB device monitor and its device-event callbacks.
    void startUSBMonitor();
    // The update check at activation and every 6 hours.
    void scheduleUpdateChecks();
    // Font smoothing off while mirroring (start) and back on (teardown).
    void disableFontSmoothingForMirroring();
    void restoreFontSmoothing();
    // The device display controller on the first DC-1 session's stream.
    void startDisplayController();
    void stopDisplayController();
    // Keep the host awake / clamshell mode while mirroring.
    void activateSleepManager();
    void deactivateSleepManager();
    // Host display auto-dim: pending dim/restore work and the saved brightness.
    void cancelDimmingAndRestoreBrightness();

    Environment environment_;
    const Timing timing_;
    TaskGroup tasks_;      // stop() and the preview page's start
    TaskGroup starting_;   // the start sequence; a stop cancels it
    TaskGroup reconnects_; // adb reconnects; a stop cancels them
    TaskGroup teardown_;   // at most one teardown; a second stop joins it
    std::shared_ptr<DeviceSession> startingSession_; // the session a start is building
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserverId_ = 1;
    bool isActivated_ = false;
    bool applyingProfile_ = false;
    bool restartPending_ = false;
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> nativeResolutionCache_;
    std::shared_ptr<WebSocketServer> wsServer_;
    std::shared_ptr<HTTPServer> httpServer_;
    std::shared_ptr<SleepManager> sleepManager_;
    std::shared_ptr<DisplayController> displayController_;
    std::shared_ptr<SerialQueue> hostQueue_;
    std::optional<EngineSettings> settings_;
    std::unique_ptr<AutoDim> autoDim_;
    std::shared_ptr<USBDeviceMonitor> usbMonitor_;
    std::shared_ptr<BonjourAdvertiser> bonjourAdvertiser_;
    std::shared_ptr<WiFiDeviceDiscovery> wifiDiscovery_;
    std::shared_ptr<Timer> statsTimer_;
    std::shared_ptr<Timer> updateTimer_;
    std::shared_ptr<PeerAllowList> lanPeers_ = std::make_shared<PeerAllowList>();

    MirrorStatus status_;
    double fps_ = 0;
    double bandwidth_ = 0;
    int brightness_ = 128;
    int warmth_ = 128;
    bool backlightOn_ = true;
    bool adbConnected_ = false;
    std::string apkInstallStatus_;
    int clientCount_ = 0;
    std::int64_t totalFrames_ = 0;
    std::int64_t frameSizeKB_ = 0;
    double greyMs_ = 0;
    double compressMs_ = 0;
    double jitterMs_ = 0;
    double rttMs_ = 0;
    double rttP95Ms_ = 0;
    std::int64_t skippedFrames_ = 0;
    double contrastAmount_ = 1.0;
    double gammaAmount_ = 1.2;
    DisplayProfile displayProfile_ = DisplayProfile::crispPaper;
    bool fontSmoothingDisabled_ = false;
    bool deviceDetected_ = false;
    std::vector<std::string> unauthorizedDeviceSerials_;
    std::optional<std::string> lastADBFailureMessage_;
    std::optional<std::string> updateVersion_;
    std::optional<std::string> updateURL_;
    std::optional<std::string> companionVersion_;
    bool companionUpdateFailed_ = false;
    DisplayResolution resolution_;
    std::string nonDC1Mode_ = "portrait-cozy";
    DisplayMode displayMode_ = DisplayMode::mirror;
    std::vector<std::shared_ptr<DeviceSession>> sessions_;
    bool autoMirrorEnabled_ = true;
    bool autoDimHost_ = true;
    ConnectionMode connectionMode_ = ConnectionMode::usb;
    bool clamshellModeEnabled_ = false;
};

} // namespace qb
