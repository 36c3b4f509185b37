// MirrorEngine: the coordinator that owns everything the daemon runs while
// mirroring — one DeviceSession per connected device and the browser-preview
// servers — and the one start path and one teardown every trigger goes
// through (the command line, the preview page, the control socket, a device
// plugged in or out, the companion's request, the hotkey, restarts). It publishes one EngineState that the command line, the status
// file and any front end read, and drives the services it coordinates
// (settings, sleep, dimming, front light, device monitor, Wi-Fi, updates,
// font smoothing, control socket) through the interfaces of
// core/EngineCollaborators.h.
//
// The engine coordinates; its decisions and parts live beside it: when it
// starts, stops, restarts and resumes (core/EngineLifecycle.h, its one
// resume value in core/ResumeState.h), the tablet pages' sessions
// (core/PageSessions.h), what a device event calls for
// (core/DeviceEvents.h), the published state and its observers
// (core/StatePublisher.h), the front light (core/FrontLightControl.h), the
// lid's recovery (core/LidRecovery.h), the production environment
// (core/EngineEnvironment.h). Its own members are spread by concern:
// MirrorEngine.cpp (activation, the start sequence, the teardown,
// reconnects), MirrorEngineDevices.cpp, MirrorEngineSessions.cpp (what
// sessions report, the sessions a start and a page make),
// MirrorEngineSettings.cpp and MirrorEngineHost.cpp (lid, sleep, panel,
// permissions).
//
// Ownership: always held by a std::shared_ptr (make()); every callback it
// installs on a component holds it weakly and does nothing once it is gone.
// The engine owns its sessions, servers, lifecycle and pages strongly.
//
// Threads: everything runs on the main loop (MainLoop::shared()): start(),
// stopAsync(), stop(), every state change, every observer call.
// Component callbacks arrive on the main loop or hop to it first. Blocking
// work (adb, lsof) runs on the utility global queue and resumes on the main
// loop. Each coroutine belongs to one of the lifecycle's task groups; all are
// cancelled when the engine is destroyed.
//
// Status transitions: core/EngineLifecycle.h. The adb server lost while
// running is not an unplug: the sessions keep their displays and servers,
// their links count as down, and the tunnels are rebuilt once adb answers
// again.
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
#include <type_traits>
#include <utility>
#include <vector>

#include "core/DeviceLineup.h"
#include "core/EngineEnvironment.h"
#include "core/EngineCollaborators.h"
#include "core/EngineLifecycle.h"
#include "core/PageSessions.h"
#include "config/EngineState.h"
#include "core/FrontLightControl.h"
#include "core/PreviewServers.h"
#include "core/StatePublisher.h"
#include "config/DisplayResolution.h"
#include "config/Ports.h"
#include "config/Version.h"
#include "config/MirrorStatus.h"
#include "config/Modes.h"
#include "device/ADBBridge.h"
#include "device/ADBBridging.h"
#include "session/DeviceSession.h"
#include "platform/CaptureStream.h"
#include "platform/Platform.h"
#include "runtime/Asio.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"
#include "transport/HTTPServer.h"
#include "transport/PeerAllowList.h"
#include "transport/WebSocketServer.h"

namespace qb {

class MirrorEngine : public std::enable_shared_from_this<MirrorEngine>, private LifecycleHost, private PageHost {
public:
    using Timing = MirrorEngineTiming;
    using Environment = MirrorEngineEnvironment;
    using Ports = MirrorEnginePorts;
    using Observer = StatePublisher::Observer;

    static constexpr std::string_view appVersion = APP_VERSION;

    static std::shared_ptr<MirrorEngine> make(Environment environment = {}, Timing timing = {});
    ~MirrorEngine();
    MirrorEngine(const MirrorEngine&) = delete;
    MirrorEngine& operator=(const MirrorEngine&) = delete;

    // One-time wiring of the long-lived services; idempotent.
    void activate();
    // requestStart(), then the start sequence awaited; never throws, reports
    // failure through status(). Returns at once when it started nothing.
    asio::awaitable<void> start();
    // Synchronous entry: from waitingForDevice back to idle; from any other
    // state but idle (a start under way included, which it cancels) into
    // the teardown (stopAsync() as a tracked task).
    void stop();
    // The teardown, from every state: a start under way is cancelled (its
    // adb calls, pauses and the session it builds) and what exists is torn
    // down; in `error` the sessions and tunnels still held are removed; a
    // stop while one runs joins it. Ends in idle.
    asio::awaitable<void> stopAsync();
    // The engine's end: from here nothing starts (a device plugged in meanwhile
    // included), stopAsync(), then the preview and control page close.
    asio::awaitable<void> shutdownAsync();
    // The tablet pages (core/PageSessions.h).
    void openTabletPages() { pages_->openOnDevices(); }
    std::string issueTabletPairingCode() { return pages_->issuePairingCode(); }
    bool forgetTabletPages() { return pages_->forgetAll(); }
    // While running: re-establishes the adb link of every session whose link
    // is down (a task a stop cancels), then refreshes adbConnected.
    void reconnect();
    // stopAsync() then start(), as one tracked task; only while running.
    void restart() { lifecycle_->restart(); }
    // The one start path every trigger takes: when idle or waiting for a
    // device (and the screen may be captured), publishes "starting" at once
    // and runs the start sequence as the engine's own task, which a stop
    // cancels; false (nothing started) in any other state. start() is this
    // plus awaiting the sequence.
    bool requestStart() { return lifecycle_->requestStart(); }
    // From `error`: the failed start's leftovers torn down, then
    // requestStart() (one tracked task); false in any other state.
    bool startAgain() { return lifecycle_->startAgain(); }
    // The desktop's compositor left (true) or came back (false) while the
    // desktop lives on: mirroring stops with it and starts again on its
    // return, as around the system's sleep. Main loop.
    void compositorAway(bool away);
    // Switches the desktop's font smoothing off the main loop; the flag
    // follows once it is done, unless the desktop refused.
    void setFontSmoothing(bool enabled);
    // A font-smoothing switch is still under way (its outcome not yet known).
    bool fontSmoothingChanging() const { return fontSmoothingChanges_ > 0; }
    // Crash recovery of a dimmed host panel (part of the recovery step) and
    // the restore after the host woke up.
    void restoreBrightnessIfNeeded();
    void restoreBrightnessOnWakeIfNeeded();
    // Loopback and the devices set up over the network: who may reach the
    // LAN-facing input and start/stop endpoints in Wi-Fi mode.
    const std::shared_ptr<PeerAllowList>& lanPeers() const { return lanPeers_; }
    // A device appearing starts mirroring by itself: auto-mirror is on (what
    // every front end shows is all there is to it).
    bool startsOnPlugIn() const;
    // The device events (also called by the USB monitor's callbacks).
    void deviceConnected();
    void deviceDisconnected();
    void unauthorizedDevicesChanged(const std::vector<std::string>& serials);
    void companionStartRequested();
    void adbLost();
    void adbReturned();
    // Ctrl+F8 and the like: stop when mirroring, start otherwise.
    void toggleMirror();

    // Forwarded to the device's front light once it runs.
    void setBrightness(int value) { frontLights_.setBrightness(value, sessions_); }
    void setWarmth(int value) { frontLights_.setWarmth(value, sessions_); }
    void toggleBacklight() { frontLights_.toggleBacklight(); }
    // The front light, running from start on the first DC-1 session to stop.
    const std::shared_ptr<FrontLight>& frontLight() const { return environment_.frontLight; }
    // Outside clamshell mode, undo any sleep change the sleep control made.
    void restoreSleepIfNeeded();

    // Observers are told after a published property changed; on the main loop.
    int addObserver(Observer observer) { return published_->addObserver(std::move(observer)); }
    void removeObserver(int id) { published_->removeObserver(id); }

    // ---- Published state ----
    const EngineState& state() const { return state_; }
    // Only setting `idle` from outside leaves `error`.
    void setStatus(MirrorStatus status) override;
    // The settings: published, then stored and applied.
    void setContrastAmount(double value);
    void setGammaAmount(double value);
    void setDisplayProfile(DisplayProfile profile);
    void setResolution(DisplayResolution resolution);
    void setNonDC1Mode(std::string mode);
    void setDisplayMode(DisplayMode mode);
    void setAutoMirrorEnabled(bool enabled);
    void setAutoDimHost(bool enabled);
    void setAutoRefreshEnabled(bool enabled);
    void setConnectionMode(ConnectionMode mode);
    void setClamshellModeEnabled(bool enabled);
    // Running sessions, in start order.
    const std::vector<std::shared_ptr<DeviceSession>>& sessions() const override { return sessions_; }

    // True without a known companion version, else when its major version
    // matches appVersion.
    bool companionCompatible() const;

    // The preview servers while they run (null otherwise): from activation
    // (or the first start) until shutdownAsync().
    const std::shared_ptr<WebSocketServer>& wsServer() const { return preview_.webSocket(); }
    const std::shared_ptr<HTTPServer>& httpServer() const { return preview_.http(); }
    const Ports& ports() const { return environment_.ports; }

    // ---- Static helpers ----
    // A brightness slider position in 0...1 to a front-light value 0...255:
    // 0 below 0.03, then p² × 255 truncated, at least 1; NaN gives 0.
    static int brightnessFromSliderPos(double position);
    // ---- The platform's permissions ----
    bool hasScreenRecordingPermission() const;
    // Touch injection is possible (the X server offers XTEST).
    bool hasAccessibilityPermission() const;
    bool allPermissionsGranted() const;
    bool requestScreenRecordingPermission();
    // There is no prompt to show on X11: this reports what the check finds.
    bool requestAccessibilityPermission() const;
    // The keep-awake lock of clamshell mode.
    KeepAwakeStatus keepAwake() const { return environment_.sleep->status(); }
    // The platform the engine and its sessions run on.
    const std::shared_ptr<Platform>& platform() const { return environment_.session.platform; }
    static bool hasADB();
    static bool hasDevice();

private:
    MirrorEngine(Environment environment, Timing timing);

    // An info line of the engine's own component ("[MirrorEngine] ...").
    static void engineLine(const std::string& line);

    // Sets one field of the state and, when it changed, tells the observers.
    // (`Owner`: EngineState or the part of it that holds the field.)
    template <class T, class Owner>
    void publish(T Owner::*field, std::type_identity_t<T> value, EngineProperty property)
    {
        published_->publish(field, std::move(value), property);
    }
    void notify(EngineProperty property) { published_->notify(property); }
    // Publishes a setting, stores it and applies its live effect.
    template <class T, class Owner>
    void changeSetting(T Owner::*field, std::type_identity_t<T> value, EngineProperty property);
    void settingChanged(EngineProperty property);

    // LifecycleHost: what a start and a teardown do.
    const MirrorStatus& lifecycleStatus() const override { return state_.status; }
    bool readyToStart() override;
    asio::awaitable<void> startSequence() override;
    asio::awaitable<void> tearDown() override;
    // PageHost: the sessions of the tablet pages.
    const MirrorStatus& pageStatus() const override { return state_.status; }
    std::shared_ptr<DeviceSession> makePageSession(const ConnectedDevice& device, PixelFormat pixelFormat,
        std::optional<bool> portrait) override;
    asio::awaitable<void> startPageSession(std::shared_ptr<DeviceSession> session) override;
    void dropSession(const std::shared_ptr<DeviceSession>& session) override;
    TaskGroup& pageTasks() override { return lifecycle_->reconnects(); }

    // A device's session of the line-up, as the connection mode has it.
    std::shared_ptr<DeviceSession> makeDeviceSession(const LineupEntry& entry);
    // Starts one session; when its capture would not start, the desktop's
    // reason goes to `captureFailure`.
    asio::awaitable<void> startSession(std::shared_ptr<DeviceSession> session, std::string* captureFailure = nullptr);
    // Installs the session's callbacks: what it reports reaches the engine.
    void watchSession(const std::shared_ptr<DeviceSession>& session);
    // Opens the preview and control page unless they run; the failure text
    // when a port cannot be had.
    std::optional<std::string> openPreview();
    std::string previewAddress() const;
    static asio::awaitable<std::string> answerControl(std::weak_ptr<MirrorEngine> weak, std::string request);
    // Wi-Fi mode: the addresses a device is reached at (its network serial's,
    // the one it was paired at) join or leave the LAN allow list.
    std::vector<asio::ip::address> deviceAddresses(const ConnectedDevice& device) const;
    std::vector<StreamStats> sessionStats() const;
    void aggregateStats();
    void aggregateClientCount();
    // The settings the line-up of a start was made with changed since: the
    // started sessions do not show them.
    bool lineupOutdated(const LineupChoices& used) const;
    void lidOpened();
    void sleepChanged(bool sleeping);
    // The tasks of the engine's own (ownedTask, runtime/OwnedTask.h).
    asio::awaitable<void> reconnectSessions(std::vector<std::shared_ptr<DeviceSession>> sessions);
    asio::awaitable<void> rebindPreview();
    asio::awaitable<void> changeFontSmoothing(bool enabled);
    asio::awaitable<void> startAfterTeardown();
    asio::awaitable<void> stopForUnplug(ResumeState::Ticket ticket);
    asio::awaitable<void> rebuildGoneDisplay();
    // Settings another program stored are applied as if set here (their
    // live effects included); what this engine wrote itself is not re-read.
    void applyOutsideSettings();
    // The recovery step of activate(): what a run that died left behind.
    void recoverLeftovers();

    Environment environment_;
    const Timing timing_;
    const std::shared_ptr<EngineLifecycle> lifecycle_;
    std::shared_ptr<DeviceSession> startingSession_; // the session a start is building
    std::shared_ptr<Timer> settingsWatch_;           // applyOutsideSettings(), from activation
    bool isActivated_ = false;
    bool applyingProfile_ = false;
    int fontSmoothingChanges_ = 0;
    NativeSizeCache nativeSizes_;
    PreviewServers preview_;
    std::shared_ptr<PageSessions> pages_;
    std::shared_ptr<PeerAllowList> lanPeers_ = std::make_shared<PeerAllowList>();

    const std::shared_ptr<StatePublisher> published_ = std::make_shared<StatePublisher>();
    const EngineState& state_ = published_->state(); // what published_ holds, for reading
    FrontLightControl frontLights_{environment_.frontLight, published_};
    std::vector<std::shared_ptr<DeviceSession>> sessions_;
};

} // namespace qb
