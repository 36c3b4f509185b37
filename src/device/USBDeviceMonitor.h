// Notices Android devices coming and going over adb, devices waiting for the
// user to authorize USB debugging, and start requests left by the companion.
// It turns what it sees into edge-triggered callbacks:
//
//   onDeviceConnected      no authorized device → at least one
//   onDeviceDisconnected   at least one → none
//   onADBLost              adb could not list the devices (its server was
//                          killed or crashed): the devices are still there,
//                          their tunnels are not; nothing else is reported
//                          until a list works again
//   onADBReturned          the first list that works after that, posted after
//                          the connect or disconnect it finds
//   onADBAnswering         whether adb's server answers (it lists devices):
//                          after the first poll, then at each change
//   onUnauthorizedChanged  the list of unauthorized serials changed
//   onStartRequested       the companion left its start-request file while no
//                          mirroring runs (each file is removed when read, so
//                          one request fires once)
//
// Devices are followed through a long-lived `adb track-devices` child: adb's
// server pushes the list the moment it changes, so a plugged tablet is seen
// at once and an idle host runs no adb process. While that child is down
// (not started yet, died, or printing what is not its list) the monitor
// polls adb every 2 seconds as before, and starts the child again after a
// pause that doubles with each failure. The start request lives in a file on
// the device that adb does not watch: it is read every 2 seconds while a
// device is attached and no mirroring runs, tracked or not.
//
// The engine creates one monitor at activation, sets the callbacks before
// start() and keeps it for the life of the process; it writes `isMirroring`.
// Polls and tracked lists are handled one at a time, in order, on a
// utility-priority background strand (a slow poll delays the next one rather
// than overlapping it); every callback is posted to the main loop in the
// order its cause was found. The monitor is held weakly by its timer, its
// child's output handler and its posted callbacks; stop() (and destruction)
// terminates the child.
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
#include <vector>

#include "device/ADBParsers.h"
#include "runtime/Process.h"
#include "runtime/Queues.h"
#include "runtime/Timer.h"

namespace qb {

class USBDeviceMonitor : public std::enable_shared_from_this<USBDeviceMonitor> {
public:
    struct Timing {
        Duration pollInterval = std::chrono::seconds(2);
        // Where polls run (through a strand of it); absent: the
        // utility-priority global queue.
        std::optional<Executor> pollQueue;
        // Follow `adb track-devices`; false: poll only.
        bool trackDevices = true;
        // A tracking child that ended is started again after this pause,
        // doubled after each one that ends without a list, up to the limit.
        Duration trackRestartPause = std::chrono::seconds(1);
        Duration trackRestartLimit = std::chrono::seconds(60);
    };

    static std::shared_ptr<USBDeviceMonitor> make();
    static std::shared_ptr<USBDeviceMonitor> make(Timing timing);
    ~USBDeviceMonitor();
    USBDeviceMonitor(const USBDeviceMonitor&) = delete;
    USBDeviceMonitor& operator=(const USBDeviceMonitor&) = delete;

    // Begins polling (the first poll at once); without an adb executable it
    // logs once and never polls. A second start while polling does nothing.
    void start();
    // Stops polling and ends the tracking child; a poll under way
    // finishes, later ones do not start.
    void stop();
    bool isPolling() const;
    // True while a tracking child reports the devices (its first list came
    // and it still runs, as of the last look).
    bool isTracking() const { return tracking_.load(); }

    // Set from the main thread before start(); called on the main loop.
    std::function<void()> onDeviceConnected;
    std::function<void()> onDeviceDisconnected;
    std::function<void(const std::vector<std::string>&)> onUnauthorizedChanged;
    std::function<void()> onStartRequested;
    std::function<void()> onADBLost;
    std::function<void()> onADBReturned;
    std::function<void(bool)> onADBAnswering;

    // Written by the engine: true while mirroring runs.
    std::atomic<bool> isMirroring{false};

private:
    explicit USBDeviceMonitor(Timing timing);
    // Everything below but post() runs on strand_, one at a time.
    void tick();
    void poll();
    // What one look at adb found: `count` authorized devices and the
    // unauthorized serials; `listed` false when adb could not say.
    void observe(bool listed, std::size_t count, std::vector<std::string> unauthorized);
    void checkStartRequest();
    void startTracking();
    void endTracking(std::string_view why);
    void tracked(std::uint64_t generation, const std::vector<ADBBridge::TrackedDevice>& devices);
    void post(std::function<void(USBDeviceMonitor&)> call);

    Timing timing_;
    Executor strand_;
    mutable std::mutex timerLock_;
    std::shared_ptr<Timer> timer_;
    std::shared_ptr<Process> tracker_; // also written by stop() under timerLock_
    std::atomic<bool> tracking_{false};
    // Touched only on strand_.
    std::uint64_t trackGeneration_ = 0;
    bool trackAnswered_ = false;
    bool trackBroken_ = false;
    Duration trackPause_{};
    std::chrono::steady_clock::time_point nextTrackStart_{};
    bool wasConnected_ = false;
    bool adbAnswering_ = true;
    std::optional<bool> answeringReported_;
    std::vector<std::string> lastUnauthorized_;
};

} // namespace qb
