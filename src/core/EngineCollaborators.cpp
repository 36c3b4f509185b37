#include "core/EngineCollaborators.h"

#include "device/ADBBridge.h"
#include "device/BonjourAdvertiser.h"
#include "device/DisplayController.h"
#include "device/WiFiDeviceDiscovery.h"
#include "diagnostics/Log.h"
#include "runtime/Background.h"
#include "runtime/MainLoop.h"
#include "runtime/Queues.h"
#include "runtime/SettingsStore.h"
#include "runtime/TaskGroup.h"
#include "runtime/Timer.h"
#include "session/DeviceSession.h"

namespace qb {

namespace {

class StoredSettings final : public SettingsPersistence {
public:
    explicit StoredSettings(SettingsStore& store) : settings_(store) {}

    std::optional<EngineSettingsValues> load() override { return settings_.load(); }

    void store(const EngineState& state, EngineProperty changed) override
    {
        switch (changed) {
        case EngineProperty::resolution: settings_.storeResolution(state.resolution); break;
        case EngineProperty::nonDC1Mode: settings_.storeNonDC1Mode(state.nonDC1Mode); break;
        case EngineProperty::displayMode: settings_.storeDisplayMode(state.displayMode); break;
        case EngineProperty::contrastAmount: settings_.storeContrastAmount(state.contrastAmount); break;
        case EngineProperty::gammaAmount: settings_.storeGammaAmount(state.gammaAmount); break;
        case EngineProperty::displayProfile: settings_.storeDisplayProfile(state.displayProfile); break;
        case EngineProperty::autoMirrorEnabled: settings_.storeAutoMirrorEnabled(state.autoMirrorEnabled); break;
        case EngineProperty::autoDimHost: settings_.storeAutoDimHost(state.autoDimHost); break;
        case EngineProperty::clamshellModeEnabled:
            settings_.storeClamshellModeEnabled(state.clamshellModeEnabled);
            break;
        case EngineProperty::connectionMode: settings_.storeConnectionMode(state.connectionMode); break;
        default: break; // not a persisted setting
        }
    }

private:
    EngineSettings settings_;
};

class SleepManagerControl final : public SleepControl {
public:
    explicit SleepManagerControl(std::shared_ptr<SleepManager> manager) : manager_(std::move(manager)) {}
    void setOnLidOpened(std::function<void()> lidOpened) override { manager_->onLidOpened = std::move(lidOpened); }
    void activate() override { manager_->activate(true); }
    void deactivate() override { manager_->deactivate(); }
    void restoreSleepIfNeeded() override { manager_->restoreSleepIfNeeded(); }
    KeepAwakeStatus status() const override { return manager_->status(); }

private:
    std::shared_ptr<SleepManager> manager_;
};

// The controller exists only while started: a new one per mirroring run.
class DisplayControllerLight final : public FrontLight {
public:
    explicit DisplayControllerLight(std::shared_ptr<GlobalHotkeys> hotkeys) : hotkeys_(std::move(hotkeys)) {}
    ~DisplayControllerLight() override { stop(); }

    void start(const std::shared_ptr<DeviceSession>& session, Events events) override
    {
        if (controller_) return;
        auto controller = DisplayController::make(MainLoop::shared().executor(), session->tcpServer(),
            session->device().serial, hotkeys_);
        controller->onBrightnessChanged = std::move(events.brightnessChanged);
        controller->onWarmthChanged = std::move(events.warmthChanged);
        controller->onBacklightChanged = std::move(events.backlightChanged);
        controller_ = controller;
        controller->start();
    }
    void stop() override
    {
        if (!controller_) return;
        controller_->stop();
        controller_.reset();
    }
    bool running() const override { return controller_ != nullptr; }
    void setBrightness(int value) override
    {
        if (controller_) controller_->setBrightness(value);
    }
    void setWarmth(int value) override
    {
        if (controller_) controller_->setWarmth(value);
    }
    void toggleBacklight() override
    {
        if (controller_) controller_->toggleBacklight();
    }

private:
    std::shared_ptr<GlobalHotkeys> hotkeys_;
    std::shared_ptr<DisplayController> controller_;
};

class USBMonitorService final : public DeviceMonitor {
public:
    explicit USBMonitorService(USBDeviceMonitor::Timing timing) : timing_(std::move(timing)) {}
    ~USBMonitorService() override { stop(); }

    void start(Events events) override
    {
        if (monitor_) return;
        monitor_ = USBDeviceMonitor::make(timing_);
        monitor_->onDeviceConnected = std::move(events.connected);
        monitor_->onDeviceDisconnected = std::move(events.disconnected);
        monitor_->onUnauthorizedChanged = std::move(events.unauthorizedChanged);
        monitor_->onStartRequested = std::move(events.startRequested);
        monitor_->start();
    }
    void stop() override
    {
        if (monitor_) monitor_->stop();
        monitor_.reset();
    }
    void setMirroring(bool mirroring) override
    {
        if (monitor_) monitor_->isMirroring = mirroring;
    }

private:
    USBDeviceMonitor::Timing timing_;
    std::shared_ptr<USBDeviceMonitor> monitor_;
};

class WiFiServices final : public NetworkServices {
public:
    explicit WiFiServices(std::shared_ptr<DnsSd> dnsSd) : dnsSd_(std::move(dnsSd)) {}
    ~WiFiServices() override { stop(); }

    void start(std::uint16_t streamPort) override
    {
        if (!advertiser_) {
            advertiser_ = BonjourAdvertiser::make(dnsSd_);
            advertiser_->start(streamPort);
        }
        if (discovery_) return;
        discovery_ = WiFiDeviceDiscovery::make(dnsSd_);
        discovery_->onDeviceFound = [](const std::string& address, std::uint16_t, const std::string& name) {
            logInfo("WiFi", "Device found: " + name + " at " + address + " — connecting via ADB");
            // adb listens on 5555 over the network, whatever port the device advertises.
            asio::post(globalQueue(QoS::userInitiated), [address] {
                ADBBridge::ensureServerRunning();
                if (ADBBridge::connectWiFi(address, 5555)) {
                    logInfo("WiFi", "ADB connected to " + address + " — waiting for device monitor to pick it up");
                }
            });
        };
        discovery_->onDeviceLost = [](const std::string& name) { logInfo("WiFi", "Device lost: " + name); };
        discovery_->start();
    }
    void stop() override
    {
        if (advertiser_) {
            advertiser_->stop();
            advertiser_.reset();
        }
        if (discovery_) {
            discovery_->stop();
            discovery_.reset();
        }
    }

private:
    std::shared_ptr<DnsSd> dnsSd_;
    std::shared_ptr<BonjourAdvertiser> advertiser_;
    std::shared_ptr<WiFiDeviceDiscovery> discovery_;
};

class PeriodicUpdateChecks final : public UpdateChecks, public std::enable_shared_from_this<PeriodicUpdateChecks> {
public:
    using Check = std::function<std::optional<UpdateChecker::Release>()>;
    PeriodicUpdateChecks(Check check, Duration first, Duration interval)
        : check_(std::move(check)), first_(first), interval_(interval), tasks_(MainLoop::shared().executor())
    {
    }
    ~PeriodicUpdateChecks() override { cancel(); }

    void schedule(std::function<void(const UpdateChecker::Release&)> found) override
    {
        found_ = std::move(found);
        std::weak_ptr<PeriodicUpdateChecks> weak = weak_from_this();
        if (timer_) timer_->cancel();
        timer_ = Timer::repeating(MainLoop::shared().executor(), first_, interval_, [weak] {
            if (auto self = weak.lock()) self->tasks_.spawn(checkTask(weak), "update check");
        });
    }
    void cancel() override
    {
        if (timer_) timer_->cancel();
        timer_.reset();
        tasks_.cancelAll();
    }

private:
    static asio::awaitable<void> checkTask(std::weak_ptr<PeriodicUpdateChecks> weak)
    {
        Check check;
        if (auto self = weak.lock()) check = self->check_;
        if (!check) co_return;
        const auto release = co_await offMainLoop<std::optional<UpdateChecker::Release>>(check, "Update");
        auto self = weak.lock();
        if (!self || !release || !self->found_) co_return;
        self->found_(*release);
    }

    Check check_;
    Duration first_;
    Duration interval_;
    TaskGroup tasks_;
    std::shared_ptr<Timer> timer_;
    std::function<void(const UpdateChecker::Release&)> found_;
};

class QueuedFontSmoothing final : public DesktopFontSmoothing {
public:
    explicit QueuedFontSmoothing(std::shared_ptr<FontSmoothing> fonts)
        : fonts_(std::move(fonts)), queue_(SerialQueue::make("host-settings", QoS::utility))
    {
    }
    void repairAfterCrash() override
    {
        queue_->async([fonts = fonts_] { fonts->repairAfterCrash(); });
    }
    void disableForMirroring() override
    {
        queue_->async([fonts = fonts_] { fonts->disable(); });
    }
    void restoreAfterMirroring() override
    {
        queue_->async([fonts = fonts_] { fonts->enable(); });
    }
    bool set(bool enabled) override { return enabled ? fonts_->enable() : fonts_->disable(); }

private:
    std::shared_ptr<FontSmoothing> fonts_;
    std::shared_ptr<SerialQueue> queue_;
};

} // namespace

std::shared_ptr<SettingsPersistence> makeStoredSettings(SettingsStore& store)
{
    return std::make_shared<StoredSettings>(store);
}

std::shared_ptr<SleepControl> makeSleepControl(std::shared_ptr<HostPower> power, SleepManagerTiming timing)
{
    return std::make_shared<SleepManagerControl>(
        SleepManager::make(MainLoop::shared().executor(), std::move(power), timing));
}

std::shared_ptr<HostDimming> makeHostDimming(std::shared_ptr<HostBrightness> panel,
    std::filesystem::path recoveryFile, AutoDimTiming timing)
{
    // A host without a panel reads nothing: nothing is dimmed.
    AutoDim::Panel access{[panel] { return panel->brightness(); }, [panel](float level) { panel->setBrightness(level); }};
    return std::make_shared<AutoDim>(MainLoop::shared().executor(), std::move(access),
        [] { return HostDimming::Conditions{}; }, std::move(recoveryFile), timing);
}

std::shared_ptr<FrontLight> makeFrontLight(std::shared_ptr<GlobalHotkeys> hotkeys)
{
    return std::make_shared<DisplayControllerLight>(std::move(hotkeys));
}

std::shared_ptr<DeviceMonitor> makeUSBDeviceMonitor(USBDeviceMonitor::Timing timing)
{
    return std::make_shared<USBMonitorService>(std::move(timing));
}

std::shared_ptr<NetworkServices> makeWiFiServices(std::shared_ptr<DnsSd> dnsSd)
{
    return std::make_shared<WiFiServices>(std::move(dnsSd));
}

std::shared_ptr<UpdateChecks> makeUpdateChecks(std::function<std::optional<UpdateChecker::Release>()> check,
    Duration first, Duration interval)
{
    return std::make_shared<PeriodicUpdateChecks>(std::move(check), first, interval);
}

std::shared_ptr<DesktopFontSmoothing> makeDesktopFontSmoothing(std::shared_ptr<FontSmoothing> fonts)
{
    return std::make_shared<QueuedFontSmoothing>(std::move(fonts));
}

} // namespace qb
