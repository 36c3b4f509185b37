// The services the engine coordinates but does not implement, each a small
// interface the engine is handed through its Environment. An empty member
// gets the production service named beside it (make...() below); tests hand
// in fakes or the production service built over simulated host parts.
//
//   SettingsPersistence  the persisted settings: load and one write per change
//   ControlServer        the control socket (provided by the layer above)
//   SleepControl         keep-awake and clamshell lock, lid-opened reports
//   HostDimming          auto-dim of the built-in panel (core/AutoDim)
//   FrontLight           the device's front light on the first DC-1 stream
//   DeviceMonitor        devices coming and going (the USB monitor)
//   NetworkServices      Wi-Fi mode: DNS-SD advertiser and device discovery
//   UpdateChecks         the release check, soon after activation and then periodically
//   DesktopFontSmoothing the desktop's font smoothing, off while mirroring
//
// Threads: every member is called on the main loop, and every callback a
// service is given runs there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/AutoDim.h"
#include "core/EngineSettings.h"
#include "config/EngineState.h"
#include "device/ADBBridge.h"
#include "device/PairedDevices.h"
#include "device/USBDeviceMonitor.h"
#include "host/FontSmoothing.h"
#include "host/HostBrightness.h"
#include "host/SleepManager.h"
#include "host/UpdateChecker.h"
#include "platform/DnsSd.h"
#include "platform/GlobalHotkeys.h"
#include "runtime/Asio.h"

namespace qb {

class DeviceSession;
class MirrorEngine;
class SettingsStore;

class SettingsPersistence {
public:
    virtual ~SettingsPersistence() = default;
    // The stored values with their migrations applied; nothing keeps the
    // engine's initial values.
    virtual std::optional<EngineSettingsValues> load() = 0;
    // Stores the setting `changed` as `state` now holds it.
    virtual void store(const EngineState& state, EngineProperty changed) = 0;
    // The first mirroring started: the first-run setup is done.
    virtual void completeSetup() {}
    // True once after another program changed the stored settings (the
    // command line while no daemon answered, an editor).
    virtual bool changedOutside() { return false; }
    // The devices `quillbright pair` paired (device/PairedDevices.h).
    virtual std::vector<PairedDevice> pairedDevices() const { return {}; }
};

class ControlServer {
public:
    virtual ~ControlServer() = default;
    // Once, at activation; the server holds the engine weakly.
    virtual void start(const std::shared_ptr<MirrorEngine>& engine) = 0;
    // One request as the socket would answer it (the control page sends
    // them); main loop, after start().
    virtual asio::awaitable<std::string> answer(std::string request) = 0;
};

class SleepControl {
public:
    virtual ~SleepControl() = default;
    // Set once at activation.
    virtual void setOnLidOpened(std::function<void()> lidOpened) = 0;
    // Set once at activation: true before the system sleeps, false after.
    virtual void setOnSleepChanged(std::function<void(bool sleeping)> changed) { (void)changed; }
    // While mirroring in clamshell mode.
    virtual void activate() = 0;
    // Undoes whatever activate() changed; harmless when nothing was.
    virtual void deactivate() = 0;
    virtual void restoreSleepIfNeeded() = 0;
    virtual KeepAwakeStatus status() const { return {}; }
};

class FrontLight {
public:
    struct Events {
        std::function<void(int)> brightnessChanged;
        std::function<void(int)> warmthChanged;
        std::function<void(bool)> backlightChanged;
    };
    struct Values {
        int brightness = 128;
        int warmth = 128;
        bool backlightOn = true;
    };
    virtual ~FrontLight() = default;
    // Drives the front light of `session`'s device over its frame stream;
    // `events` report the device's values.
    virtual void start(const std::shared_ptr<DeviceSession>& session, Events events) = 0;
    virtual void stop() = 0;
    virtual bool running() const = 0;
    // What the running controller believes the device shows.
    virtual Values values() const = 0;
    virtual void setBrightness(int value) = 0;
    virtual void setWarmth(int value) = 0;
    virtual void toggleBacklight() = 0;
};

class DeviceMonitor {
public:
    struct Events {
        std::function<void()> connected;
        std::function<void()> disconnected;
        std::function<void(const std::vector<std::string>&)> unauthorizedChanged; // serials
        std::function<void()> startRequested; // the companion asked for mirroring
        std::function<void()> adbLost;        // adb's server cannot be reached: every tunnel is gone
        std::function<void()> adbReturned;    // it answers again
        std::function<void(bool)> adbAnswering; // whether adb's server answers: after the first look, then on each change
    };
    virtual ~DeviceMonitor() = default;
    virtual void start(Events events) = 0;
    virtual void stop() = 0;
    // Mirroring changes what a start request means.
    virtual void setMirroring(bool mirroring) = 0;
};

class NetworkServices {
public:
    virtual ~NetworkServices() = default;
    // Advertises `streamPort` and connects adb to the devices found that
    // were set up on this computer; idempotent.
    virtual void start(std::uint16_t streamPort) = 0;
    virtual void stop() = 0;
};

class UpdateChecks {
public:
    virtual ~UpdateChecks() = default;
    // `found` runs on the main loop for a newer release.
    virtual void schedule(std::function<void(const UpdateChecker::Release&)> found) = 0;
    virtual void cancel() = 0;
};

class DesktopFontSmoothing {
public:
    virtual ~DesktopFontSmoothing() = default;
    // A previous run that died while mirroring may have left it off.
    virtual void repairAfterCrash() = 0;
    virtual void disableForMirroring() = 0;
    virtual void restoreAfterMirroring() = 0;
    // The fontsmoothing command; false when it could not be changed.
    virtual bool set(bool enabled) = 0;
};

// ---- Production services ----

// Whether a listener could have the port: a wildcard bind with address
// reuse (dual-stack IPv6, IPv4 on a host without IPv6).
bool wildcardBindSucceeds(std::uint16_t port);
// adb's device list, its server started first; none without adb.
std::vector<ConnectedDevice> adbDeviceList();
// The tunnels a run that died left on adb's devices removed, its server
// started first; 0 without adb.
int adbLeftoverTunnelsRemoved();

// Settings in `store` (the daemon: userSettings()). Without a
// persistence the engine keeps its settings in memory only.
std::shared_ptr<SettingsPersistence> makeStoredSettings(SettingsStore& store);
// The sleep manager over the platform's `power`.
std::shared_ptr<SleepControl> makeSleepControl(std::shared_ptr<HostPower> power, SleepManagerTiming timing = {});
// AutoDim over the platform's panel, its crash-recovery file `recoveryFile`.
std::shared_ptr<HostDimming> makeHostDimming(std::shared_ptr<HostBrightness> panel,
    std::filesystem::path recoveryFile, AutoDimTiming timing = {});
// The device display controller; it grabs its keys from `hotkeys` (none
// when null).
std::shared_ptr<FrontLight> makeFrontLight(std::shared_ptr<GlobalHotkeys> hotkeys = nullptr);
std::shared_ptr<DeviceMonitor> makeUSBDeviceMonitor(USBDeviceMonitor::Timing timing = {});
// Over the platform's `dnsSd`; a device found is connected only when it was
// set up on this computer: in `paired` (read off the main loop) or listed by adb.
std::shared_ptr<NetworkServices> makeWiFiServices(std::shared_ptr<DnsSd> dnsSd,
    std::function<std::vector<PairedDevice>()> paired);
// `check` runs off the main loop (default: UpdateChecker::check against the
// configured host), first after `first`, then every `interval`.
std::shared_ptr<UpdateChecks> makeUpdateChecks(std::function<std::optional<UpdateChecker::Release>()> check,
    Duration first, Duration interval);
// Over `fonts` (the platform's font settings), its blocking calls in order
// on a queue of their own.
std::shared_ptr<DesktopFontSmoothing> makeDesktopFontSmoothing(std::shared_ptr<FontSmoothing> fonts);

} // namespace qb
