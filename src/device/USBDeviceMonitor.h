// Notices Android devices coming and going over adb, devices waiting for the
// user to authorize USB debugging, and start requests left by the companion,
// by polling adb every 2 seconds. It turns what each poll sees into
// edge-triggered callbacks:
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
// The engine creates one monitor at activation, sets the callbacks before
// start() and keeps it for the life of the process; it writes `isMirroring`.
// Polls run on a utility-priority background queue, one at a time (a slow
// poll delays the next one rather than overlapping it); every callback is
// posted to the main loop in the order the poll found its cause. The monitor
// is held weakly by its timer and its posted callbacks.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "runtime/Queues.h"
#include "runtime/Timer.h"

namespace qb {

class USBDeviceMonitor : public std::enable_shared_from_this<USBDeviceMonitor> {
public:
    struct Timing {
        Duration pollInterval = std::chrono::seconds(2);
        // Where polls run; absent: the utility-priority global queue.
        std::optional<Executor> pollQueue;
    };

    static std::shared_ptr<USBDeviceMonitor> make();
    static std::shared_ptr<USBDeviceMonitor> make(Timing timing);
    ~USBDeviceMonitor();
    USBDeviceMonitor(const USBDeviceMonitor&) = delete;
    USBDeviceMonitor& operator=(const USBDeviceMonitor&) = delete;

    // Begins polling (the first poll at once); without an adb executable it
    // logs once and never polls. A second start while polling does nothing.
    void start();
    // Stops polling; a poll under way finishes, later ones do not start.
    void stop();
    bool isPolling() const;

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
    void poll();
    void post(std::function<void(USBDeviceMonitor&)> call);

    Timing timing_;
    mutable std::mutex timerLock_;
    std::shared_ptr<Timer> timer_;
    // Touched only by the poll (one at a time).
    bool wasConnected_ = false;
    bool adbAnswering_ = true;
    std::optional<bool> answeringReported_;
    std::vector<std::string> lastUnauthorized_;
};

} // namespace qb
