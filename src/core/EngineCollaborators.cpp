#include "core/EngineCollaborators.h"

#include <cerrno>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    explicit StoredSettings(SettingsStore& store) : store_(store), settings_(store) {}

    std::optional<EngineSettingsValues> load() override { return settings_.load(); }

    void store(const EngineState& state, EngineProperty changed) override { settings_.store(state, changed); }

    bool changedOutside() override { return store_.takeOutsideChange(); }

    void completeSetup() override
    {
        if (!store_.boolean("setupCompleted").value_or(false)) store_.setBool("setupCompleted", true);
    }

    std::vector<PairedDevice> pairedDevices() const override { return qb::pairedDevices(store_); }

private:
    SettingsStore& store_;
    EngineSettings settings_;
};

class SleepManagerControl final : public SleepControl {
public:
    explicit SleepManagerControl(std::shared_ptr<SleepManager> manager) : manager_(std::move(manager)) {}
    void setOnLidOpened(std::function<void()> lidOpened) override { manager_->onLidOpened = std::move(lidOpened); }
    void setOnSleepChanged(std::function<void(bool)> changed) override
    {
        manager_->onSleepChanged = std::move(changed);
    }
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
    Values values() const override
    {
        if (!controller_) return {};
        return {controller_->currentBrightness(), controller_->currentWarmth(), controller_->backlightOn()};
    }
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
        monitor_->onADBLost = std::move(events.adbLost);
        monitor_->onADBReturned = std::move(events.adbReturned);
        monitor_->onADBAnswering = std::move(events.adbAnswering);
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
    WiFiServices(std::shared_ptr<DnsSd> dnsSd, std::function<std::vector<PairedDevice>()> paired)
        : dnsSd_(std::move(dnsSd)), paired_(std::move(paired))
    {
    }
    ~WiFiServices() override { stop(); }

    void start(std::uint16_t streamPort) override
    {
        if (!advertiser_) {
            advertiser_ = BonjourAdvertiser::make(dnsSd_);
            advertiser_->start(streamPort);
        }
        if (discovery_) return;
        discovery_ = WiFiDeviceDiscovery::make(dnsSd_);
        discovery_->onDeviceFound = [paired = paired_](const std::string& address, std::uint16_t,
                                        const std::string& name) {
            asio::post(globalQueue(QoS::userInitiated), [paired, address, name] { connectIfSetUp(paired, address, name); });
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
    // Off the main loop. Anyone on the network can advertise the device
    // service: only a device set up on this computer is connected (so that
    // only it joins the lineup and has its address allowed); discovery
    // reports an address once while it browses, so a stranger is logged once.
    static void connectIfSetUp(const std::function<std::vector<PairedDevice>()>& paired, const std::string& address,
        const std::string& name)
    {
        boost::system::error_code error;
        const auto parsed = asio::ip::make_address(address, error);
        ADBBridge::ensureServerRunning();
        if (error || !setUpOnThisComputer(parsed, paired ? paired() : std::vector<PairedDevice>{},
                ADBBridge::connectedDevices())) {
            logWarn("WiFi", "Ignored " + name + " at " + address
                    + ": not a device set up on this computer (pair it with `quillbright pair`)");
            return;
        }
        logInfo("WiFi", "Device found: " + name + " at " + address + " — connecting via ADB");
        // adb listens on 5555 over the network, whatever port the device advertises.
        if (ADBBridge::connectWiFi(address, 5555)) {
            logInfo("WiFi", "ADB connected to " + address + " — waiting for device monitor to pick it up");
        }
    }

    std::shared_ptr<DnsSd> dnsSd_;
    std::function<std::vector<PairedDevice>()> paired_;
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

std::shared_ptr<NetworkServices> makeWiFiServices(std::shared_ptr<DnsSd> dnsSd,
    std::function<std::vector<PairedDevice>()> paired)
{
    return std::make_shared<WiFiServices>(std::move(dnsSd), std::move(paired));
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

int adbLeftoverTunnelsRemoved()
{
    if (!ADBBridge::isADBInstalled()) return 0;
    ADBBridge::ensureServerRunning();
    return ADBBridge::removeLeftoverTunnels();
}

} // namespace qb
