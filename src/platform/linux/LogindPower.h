// HostPower over logind: the keep-awake lock is an inhibitor lock
// (Manager.Inhibit) held as the file descriptor logind returns; closing it,
// or the process dying, releases it. The lid is Manager.LidClosed.
// No administrator rights are involved: an active local session may take
// "sleep", "idle" and "handle-lid-switch" locks.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "platform/HostPower.h"
#include "platform/linux/LogindBus.h"

namespace qb {

class LogindPower final : public HostPower {
public:
    explicit LogindPower(std::shared_ptr<LogindBus> bus) : bus_(std::move(bus)) {}
    ~LogindPower() override;

    std::unique_ptr<InhibitorLock> inhibit(const InhibitRequest& request, std::string* error = nullptr) override;
    std::optional<bool> lidClosed() override { return bus_->lidClosed(); }
    std::string provider() const override { return "logind"; }
    // A connection of its own on a thread of its own, listening for
    // Manager.PrepareForSleep (connecting again when the bus goes away).
    void watchSleep(std::function<void(bool sleeping)> changed) override;

private:
    void listen();

    std::shared_ptr<LogindBus> bus_;
    std::function<void(bool)> sleepChanged_;
    std::atomic<bool> stopping_{false};
    std::thread listener_;
};

} // namespace qb
