#include "device/USBDeviceMonitor.h"

#include <utility>

#include "device/ADBBridge.h"
#include "diagnostics/Log.h"
#include "diagnostics/SMLog.h"
#include "runtime/MainLoop.h"

namespace qb {

namespace {
void monitorLog(std::string_view line) { componentLog(LogLevel::info, "USBMonitor", line); }
const SubsystemLogger& usbMonitorLogger()
{
    static const SubsystemLogger logger("USBMonitor");
    return logger;
}
} // namespace

std::shared_ptr<USBDeviceMonitor> USBDeviceMonitor::make() { return make(Timing{}); }

std::shared_ptr<USBDeviceMonitor> USBDeviceMonitor::make(Timing timing)
{
    return std::shared_ptr<USBDeviceMonitor>(new USBDeviceMonitor(std::move(timing)));
}

USBDeviceMonitor::USBDeviceMonitor(Timing timing) : timing_(std::move(timing)) {}

USBDeviceMonitor::~USBDeviceMonitor() { stop(); }

void USBDeviceMonitor::start()
{
    if (!ADBBridge::isADBInstalled()) {
        monitorLog("[USBMonitor] No adb available — device monitoring disabled");
        return;
    }
    {
        std::lock_guard guard(timerLock_);
        if (timer_) return;
        std::weak_ptr<USBDeviceMonitor> weak = weak_from_this();
        timer_ = Timer::repeating(timing_.pollQueue.value_or(globalQueue(QoS::utility)), Duration::zero(),
            timing_.pollInterval, [weak] {
                if (auto self = weak.lock()) self->poll();
            });
    }
    monitorLog("[USBMonitor] Device monitoring started (polling adb every 2s)");
}

void USBDeviceMonitor::stop()
{
    std::shared_ptr<Timer> timer;
    {
        std::lock_guard guard(timerLock_);
        timer = std::move(timer_);
    }
    if (timer) timer->cancel();
}

bool USBDeviceMonitor::isPolling() const
{
    std::lock_guard guard(timerLock_);
    return timer_ != nullptr;
}

void USBDeviceMonitor::post(std::function<void(USBDeviceMonitor&)> call)
{
    std::weak_ptr<USBDeviceMonitor> weak = weak_from_this();
    MainLoop::shared().post([weak, call = std::move(call)] {
        if (auto self = weak.lock()) call(*self);
    });
}

void USBDeviceMonitor::poll()
{
    const auto listed = ADBBridge::listDevices();
    if (answeringReported_ != listed.has_value()) {
        answeringReported_ = listed.has_value();
        post([answering = listed.has_value()](USBDeviceMonitor& self) {
            if (self.onADBAnswering) self.onADBAnswering(answering);
        });
    }
    if (!listed) {
        // A server gone is not a device gone: the session keeps its display
        // and waits for adb to rebuild the tunnels.
        if (std::exchange(adbAnswering_, false)) {
            monitorLog("[USBMonitor] adb server not answering — device links are down until it returns");
            post([](USBDeviceMonitor& self) {
                if (self.onADBLost) self.onADBLost();
            });
        }
        return;
    }
    const bool returned = !std::exchange(adbAnswering_, true);
    if (returned) monitorLog("[USBMonitor] adb server answering again");
    const size_t count = listed->size();

    if (count == 0 && wasConnected_) {
        wasConnected_ = false;
        monitorLog("[USBMonitor] Device disconnected");
        post([](USBDeviceMonitor& self) {
            if (self.onDeviceDisconnected) self.onDeviceDisconnected();
        });
    } else if (count > 0 && !wasConnected_) {
        wasConnected_ = true;
        monitorLog("[USBMonitor] Device connected");
        post([](USBDeviceMonitor& self) {
            if (self.onDeviceConnected) self.onDeviceConnected();
        });
    }

    if (returned) {
        post([](USBDeviceMonitor& self) {
            if (self.onADBReturned) self.onADBReturned();
        });
    }

    auto unauthorized = ADBBridge::unauthorizedDevices();
    if (unauthorized != lastUnauthorized_) {
        lastUnauthorized_ = unauthorized;
        post([unauthorized = std::move(unauthorized)](USBDeviceMonitor& self) {
            if (self.onUnauthorizedChanged) self.onUnauthorizedChanged(unauthorized);
        });
    }

    // The request addresses adb's default device, so with two devices attached
    // it waits until one remains; while mirroring it stays on the device.
    if (count > 0 && !isMirroring.load() && ADBBridge::checkStartRequest(std::nullopt)) {
        usbMonitorLogger().info("Companion requested mirror start");
        post([](USBDeviceMonitor& self) {
            if (self.onStartRequested) self.onStartRequested();
        });
    }
}

} // namespace qb
