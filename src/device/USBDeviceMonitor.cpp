#include "device/USBDeviceMonitor.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

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

USBDeviceMonitor::USBDeviceMonitor(Timing timing)
    : timing_(std::move(timing))
    , strand_(asio::make_strand(timing_.pollQueue.value_or(globalQueue(QoS::utility))))
    , trackPause_(timing_.trackRestartPause)
{
}

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
        timer_ = Timer::repeating(strand_, Duration::zero(), timing_.pollInterval, [weak] {
            if (auto self = weak.lock()) self->tick();
        });
    }
    monitorLog("[USBMonitor] Device monitoring started (polling adb every 2s)");
}

void USBDeviceMonitor::stop()
{
    std::shared_ptr<Timer> timer;
    std::shared_ptr<Process> tracker;
    {
        std::lock_guard guard(timerLock_);
        timer = std::move(timer_);
        tracker = std::move(tracker_);
    }
    if (timer) timer->cancel();
    tracking_ = false;
    if (tracker) {
        // adb track-devices ends on SIGTERM; the wait is the reaper's, bounded
        // by the termination grace.
        tracker->terminate();
        tracker->waitUntilExit();
    }
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

void USBDeviceMonitor::tick()
{
    std::shared_ptr<Process> tracker;
    {
        std::lock_guard guard(timerLock_);
        tracker = tracker_;
    }
    if (tracker) {
        if (tracker->isRunning() && !trackBroken_) {
            // The tracker reports the devices; only the device's own file
            // needs asking. Before its first list, a poll covers for it.
            if (trackAnswered_) {
                if (wasConnected_) checkStartRequest();
                return;
            }
        } else {
            endTracking(trackBroken_ ? "printed what is not a device list" : "ended");
        }
    }
    poll();
    {
        std::lock_guard guard(timerLock_);
        if (tracker_ || !timer_) return;
    }
    if (timing_.trackDevices && std::chrono::steady_clock::now() >= nextTrackStart_) startTracking();
}

void USBDeviceMonitor::poll()
{
    const auto listed = ADBBridge::listDevices();
    observe(listed.has_value(), listed ? listed->size() : 0,
        listed ? ADBBridge::unauthorizedDevices() : std::vector<std::string>{});
    if (listed && wasConnected_) checkStartRequest();
}

void USBDeviceMonitor::observe(bool listed, std::size_t count, std::vector<std::string> unauthorized)
{
    if (answeringReported_ != listed) {
        answeringReported_ = listed;
        post([answering = listed](USBDeviceMonitor& self) {
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

    if (unauthorized != lastUnauthorized_) {
        lastUnauthorized_ = unauthorized;
        post([unauthorized = std::move(unauthorized)](USBDeviceMonitor& self) {
            if (self.onUnauthorizedChanged) self.onUnauthorizedChanged(unauthorized);
        });
    }
}

// The request addresses adb's default device, so with two devices attached
// it waits until one remains; while mirroring it stays on the device.
void USBDeviceMonitor::checkStartRequest()
{
    if (!isMirroring.load() && ADBBridge::checkStartRequest(std::nullopt)) {
        usbMonitorLogger().info("Companion requested mirror start");
        post([](USBDeviceMonitor& self) {
            if (self.onStartRequested) self.onStartRequested();
        });
    }
}

void USBDeviceMonitor::startTracking()
{
    const std::uint64_t generation = ++trackGeneration_;
    trackAnswered_ = false;
    trackBroken_ = false;
    std::weak_ptr<USBDeviceMonitor> weak = weak_from_this();
    // Called on the child's reaper thread, in order; each complete list
    // goes to the strand. The reader is this child's own.
    auto tracker = ADBBridge::trackDevices(
        [weak, generation, strand = strand_, reader = ADBBridge::TrackDevicesReader()](std::string_view bytes) mutable {
            const bool wasBroken = reader.broken();
            for (auto& devices : reader.feed(bytes)) {
                asio::post(strand, [weak, generation, devices = std::move(devices)] {
                    if (auto self = weak.lock()) self->tracked(generation, devices);
                });
            }
            if (reader.broken() && !wasBroken) {
                asio::post(strand, [weak, generation] {
                    auto self = weak.lock();
                    if (self && self->trackGeneration_ == generation) self->trackBroken_ = true;
                });
            }
        });
    if (!tracker) {
        endTracking("could not be started");
        return;
    }
    std::lock_guard guard(timerLock_);
    if (!timer_) {
        tracker->terminate(); // stopped meanwhile
        return;
    }
    tracker_ = std::move(tracker);
}

void USBDeviceMonitor::endTracking(std::string_view why)
{
    std::shared_ptr<Process> tracker;
    {
        std::lock_guard guard(timerLock_);
        tracker = std::move(tracker_);
    }
    if (tracker) tracker->terminate();
    ++trackGeneration_; // what it still printed is not read
    tracking_ = false;
    // A child that delivered lists worked: the next one starts soon.
    if (trackAnswered_) trackPause_ = timing_.trackRestartPause;
    nextTrackStart_ = std::chrono::steady_clock::now() + trackPause_;
    monitorLog(fmt::format("[USBMonitor] adb track-devices {} — polling adb every 2s, following it again in {} ms",
        why, std::chrono::duration_cast<std::chrono::milliseconds>(trackPause_).count()));
    trackPause_ = std::min(trackPause_ * 2, timing_.trackRestartLimit);
    trackAnswered_ = false;
    trackBroken_ = false;
}

void USBDeviceMonitor::tracked(std::uint64_t generation, const std::vector<ADBBridge::TrackedDevice>& devices)
{
    if (generation != trackGeneration_ || trackBroken_) return;
    if (!std::exchange(trackAnswered_, true)) {
        tracking_ = true;
        monitorLog("[USBMonitor] Following adb track-devices: devices are seen as adb sees them");
    }
    std::size_t count = 0;
    std::vector<std::string> unauthorized;
    for (const auto& device : devices) {
        if (device.state == "device") ++count;
        if (device.state == "unauthorized") unauthorized.push_back(device.serial);
    }
    observe(true, count, std::move(unauthorized));
}

} // namespace qb
