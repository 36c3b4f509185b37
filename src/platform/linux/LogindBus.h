// One connection to logind (org.freedesktop.login1) over the system bus,
// shared by the power and backlight backends. Every call carries a time
// limit, including the connection's greeting, so no call blocks longer than
// `callTimeout`; a broken connection is dropped and opened again on the next
// call (logind restarts, the bus goes away and comes back).
//
// Threads: any; one call at a time (a mutex serialises them).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

struct sd_bus;

namespace qb {

struct LogindOptions {
    // Absent: the system bus socket (PlatformConfig carries $DBUS_SYSTEM_BUS_ADDRESS).
    std::optional<std::string> busAddress;
    std::chrono::milliseconds callTimeout{5000};
    // The caller's own session; "auto" lets logind pick it from the caller.
    std::string sessionPath = "/org/freedesktop/login1/session/auto";
};

class LogindBus {
public:
    explicit LogindBus(LogindOptions options = {});
    ~LogindBus();
    LogindBus(const LogindBus&) = delete;
    LogindBus& operator=(const LogindBus&) = delete;

    // Manager.Inhibit: a duplicate of the returned descriptor (close-on-exec),
    // owned by the caller, or -1 with `error` set to logind's error.
    int inhibit(const std::string& what, const std::string& who, const std::string& why, const std::string& mode,
        std::string* error);

    // Manager.LidClosed; nullopt when it cannot be read.
    std::optional<bool> lidClosed(std::string* error = nullptr);

    // Session.SetBrightness on the caller's session.
    bool setBrightness(const std::string& subsystem, const std::string& name, std::uint32_t value, std::string* error);

    const LogindOptions& options() const { return options_; }

private:
    sd_bus* connectLocked(std::string* error);
    void dropIfClosedLocked();

    LogindOptions options_;
    std::mutex lock_;
    sd_bus* bus_ = nullptr;
};

} // namespace qb
