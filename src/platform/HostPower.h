// The host's power state as the sleep manager sees it: a keep-awake lock
// (while it is held the system neither idles into sleep nor, when asked,
// acts on the lid switch) and the lid switch's position.
//
// Backends: logind over D-Bus (platform/linux/, an inhibitor lock held as
// the file descriptor logind hands out) and sim (platform/sim/, in memory).
//
// Threads: every member blocks for at most the backend's call time limit, so
// callers keep them off the main loop. Members may be called from any
// thread; a backend serialises its own calls.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>


namespace qb {

// One held keep-awake lock. Destroying it releases the lock; so does the
// death of the process, whatever way it dies.
class InhibitorLock {
public:
    virtual ~InhibitorLock() = default;
    // For the log: "fd: 23" on logind.
    virtual std::string describe() const = 0;
    // The process logind records as the holder (this one); 0 in memory.
    virtual int holderPid() const { return 0; }
};

struct InhibitRequest {
    std::string what = "sleep:idle"; // colon-separated lock types
    std::string who = "QuillBright";
    std::string why = "Mirroring to a device";
    std::string mode = "block";
};

class HostPower {
public:
    virtual ~HostPower() = default;

    // Takes a lock. nullptr when refused or unreachable; `error` then holds
    // the backend's reason for the log.
    virtual std::unique_ptr<InhibitorLock> inhibit(const InhibitRequest& request, std::string* error = nullptr) = 0;

    // True while the lid is closed; nullopt when it cannot be told (no
    // logind, no lid).
    virtual std::optional<bool> lidClosed() = 0;

    // Which backend this is, for the report ("logind").
    virtual std::string provider() const = 0;

    // `changed` runs on a thread of the backend's: true as the system is
    // about to sleep, false once it woke (logind's PrepareForSleep). Set at
    // most once; backends that cannot tell never call it.
    virtual void watchSleep(std::function<void(bool sleeping)> changed) { (void)changed; }
};

} // namespace qb
