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

    MirrorStatus() = default; // idle

    static MirrorStatus idle() { return MirrorStatus(Kind::idle); }
    static MirrorStatus waitingForDevice() { return MirrorStatus(Kind::waitingForDevice); }
    static MirrorStatus starting() { return MirrorStatus(Kind::starting); }
    static MirrorStatus running() { return MirrorStatus(Kind::running); }
    static MirrorStatus stopping() { return MirrorStatus(Kind::stopping); }
    static MirrorStatus error(std::string message) { return MirrorStatus(Kind::error, std::move(message)); }

    Kind kind() const { return kind_; }
    bool is(Kind kind) const { return kind_ == kind; }
    bool isError() const { return kind_ == Kind::error; }
    // The error's message; empty for every other case.
    const std::string& message() const { return message_; }

    // "idle", "waiting_for_device", "starting", "running", "stopping",
    // "error: <message>".
    std::string label() const;

    // Same case and, for errors, the same message.
    bool operator==(const MirrorStatus&) const = default;

private:
    explicit MirrorStatus(Kind kind, std::string message = {}) : kind_(kind), message_(std::move(message)) {}

    Kind kind_ = Kind::idle;
    std::string message_;
};

} // namespace qb

template <>
struct std::hash<qb::MirrorStatus> {
    std::size_t operator()(const qb::MirrorStatus& s) const noexcept;
};
