// What the engine is built on: the timings fixed by the product, and the
// services, callbacks and values it is handed (MirrorEngine::make). Every
// empty member gets the production behaviour from completeEnvironment(),
// which the engine calls once, on construction.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "config/DisplayResolution.h"
#include "config/Modes.h"
#include "core/AutoDim.h"
#include "core/DeviceLineup.h"
#include "core/EngineCollaborators.h"
#include "device/ADBBridge.h"
#include "device/ADBBridging.h"
#include "device/USBDeviceMonitor.h"
#include "host/SleepManager.h"
#include "platform/CaptureStream.h"
#include "runtime/Asio.h"
#include "runtime/Timer.h"
#include "session/DeviceSession.h"
#include "transport/TabletPairing.h"
#include "transport/WebSocketServer.h"

namespace qb {

struct MirrorEngineTiming {
    // Pause after each session start when several devices are present, so
    // the desktop settles before the next virtual display appears.
    Duration displayStagger = std::chrono::seconds(2);
    // Passed on to every session.
    DeviceSessionTiming session;
    // The update check: first this long after activation, then every period.
    Duration firstUpdateCheck = std::chrono::seconds(5);
    Duration updateCheckInterval = std::chrono::seconds(21600);
    // After the lid opens in clamshell mode: this long until the mirrored
    // sessions mirror the built-in display again, then this long until each
    // capture stream restarts.
    Duration lidRemirrorDelay = std::chrono::milliseconds(1500);
    Duration lidCaptureRestartDelay = std::chrono::milliseconds(1000);
    // Mirroring stops before the system sleeps; this long after it woke
    // (USB and the desktop settle) it starts again.
    Duration wakeRestartDelay = std::chrono::seconds(2);
    // A session whose display left the desktop is built again after this
    // long (the layout settles; a display server that ended stops us first).
    Duration displayGoneRestartDelay = std::chrono::milliseconds(500);
    // A tablet page's session outlives the page's connection by this long,
    // so a page that reconnects finds its display where it left it.
    Duration pageSessionGrace = std::chrono::seconds(10);
    // How often the stored settings are looked at for another program's change.
    Duration settingsCheckInterval = std::chrono::seconds(2);
    // The start's port check (core/PortCheck.h).
    Duration portBusyFor = std::chrono::milliseconds(500);
    Duration portRecheckInterval = std::chrono::milliseconds(25);
    // For the production services made when the environment leaves them out.
    AutoDimTiming autoDim;
    USBDeviceMonitor::Timing usbMonitor;
    SleepManagerTiming sleep;
};


// What the engine builds on. Empty members get the production behaviour.
struct MirrorEngineEnvironment {
    // Screen-capture permission preflight and request; default: the
    // platform's capture (session.platform).
    std::shared_ptr<CaptureBackend> captureBackend;
    // The connected devices in adb's order; default: when an adb executable
    // is known, start its server and list the devices, else none.
    std::function<std::vector<ConnectedDevice>()> listDevices;
    // Removes the adb tunnels a run that died left on the devices, how many;
    // default: ADBBridge::removeLeftoverTunnels, its server started first
    // (nothing without adb). Runs off the main loop.
    std::function<int()> removeLeftoverTunnels;
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
    // Platform services and options handed to every session. Its
    // `platform` (required; tests give the sim platform) is the one source of the
    // engine's own OS services too: capture permission, keep-awake, panel,
    // font settings, DNS-SD, hotkeys.
    DeviceSessionEnvironment session;
    MirrorEnginePorts ports;
    // Initial values of the persisted settings, which the stored ones
    // replace.
    DisplayResolution resolution = DisplayResolution::cozy();
    DisplayMode displayMode = DisplayMode::mirror;
    ConnectionMode connectionMode = ConnectionMode::usb;

    // The services the engine coordinates (core/EngineCollaborators.h);
    // empty members get the production ones, except `settings` (none: kept
    // in memory only) and `controlServer` (none: no control socket), which
    // the layer above provides.
    std::shared_ptr<SettingsPersistence> settings;
    std::shared_ptr<ControlServer> controlServer;
    std::shared_ptr<SleepControl> sleep;
    std::shared_ptr<HostDimming> hostDimming;
    std::shared_ptr<FrontLight> frontLight;
    std::shared_ptr<DeviceMonitor> deviceMonitor;
    std::shared_ptr<NetworkServices> networkServices;
    std::shared_ptr<UpdateChecks> updateChecks;
    std::shared_ptr<DesktopFontSmoothing> fontSmoothing;
    // The paired tablet pages; none: kept in memory only.
    std::shared_ptr<TabletPairing> tabletPairing;
};

// `environment` with every empty member filled with the production service over the
// environment's platform, which must be given.
MirrorEngineEnvironment completeEnvironment(MirrorEngineEnvironment environment, const MirrorEngineTiming& timing);

} // namespace qb
