// The engine's status: idle, waiting for a device, starting, running,
// stopping, or an error with its message. Pure value; any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>

namespace qb {

class MirrorStatus {
public:
    enum class Kind { idle, waitingForDevice, starting, running, stopping, error };
    // What an error comes from, for what to advise; its message is for
    // reading and is never matched.
    enum class Cause {
        other,
        portInUse,       // a fixed port is held by another program (the message names it)
        captureAccess,   // the screen may not be captured
        serverFailed,    // the preview and control page could not listen
        noSessions,      // no device's session started
        captureFailed,   // the screen capture would not start (the message gives the desktop's reason)
        companionCrashed // the companion app died on the device
    };

    MirrorStatus() = default; // idle

    static MirrorStatus idle() { return MirrorStatus(Kind::idle); }
    static MirrorStatus waitingForDevice() { return MirrorStatus(Kind::waitingForDevice); }
    static MirrorStatus starting() { return MirrorStatus(Kind::starting); }
    static MirrorStatus running() { return MirrorStatus(Kind::running); }
    static MirrorStatus stopping() { return MirrorStatus(Kind::stopping); }
    static MirrorStatus error(std::string message, Cause cause = Cause::other)
    {
        return MirrorStatus(Kind::error, std::move(message), cause);
    }

    Kind kind() const { return kind_; }
    bool is(Kind kind) const { return kind_ == kind; }
    bool isError() const { return kind_ == Kind::error; }
    // The error's message; empty for every other case.
    const std::string& message() const { return message_; }
    Cause cause() const { return cause_; }

    // "idle", "waiting_for_device", "starting", "running", "stopping",
    // "error: <message>".
    std::string label() const;

    // Same case and, for errors, the same message (what is published).
    bool operator==(const MirrorStatus& other) const { return kind_ == other.kind_ && message_ == other.message_; }

private:
    explicit MirrorStatus(Kind kind, std::string message = {}, Cause cause = Cause::other)
        : kind_(kind)
        , message_(std::move(message))
        , cause_(cause)
    {
    }

    Kind kind_ = Kind::idle;
    std::string message_;
    Cause cause_ = Cause::other;
};

} // namespace qb

template <>
struct std::hash<qb::MirrorStatus> {
    std::size_t operator()(const qb::MirrorStatus& s) const noexcept;
};
