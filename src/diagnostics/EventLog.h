// EventLog: a short structured history of the events that matter for
// support (sessions starting and stopping, clients coming and going,
// resolution and display-mode changes, the mirror starting and stopping),
// printed by the health report.
//
// The engine's event type is `MirrorEvent` (the engine refers to it as its
// own event type). The log keeps the last 200 entries; any thread may record
// or read, and the lock is held only while copying the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "runtime/Clock.h"

namespace qb {

class MirrorEvent {
public:
    struct SessionStarted {
        std::string serial;
        std::string resolution;
        std::uint16_t port = 0;
        bool operator==(const SessionStarted&) const = default;
    };
    struct SessionStopped {
        std::string serial;
        bool operator==(const SessionStopped&) const = default;
    };
    struct ClientConnected {
        std::uint16_t port = 0;
        bool operator==(const ClientConnected&) const = default;
    };
    struct ClientDisconnected {
        std::uint16_t port = 0;
        bool operator==(const ClientDisconnected&) const = default;
    };
    struct ResolutionChanged {
        std::string from;
        std::string to;
        bool operator==(const ResolutionChanged&) const = default;
    };
    struct ModeChanged {
        std::string from;
        std::string to;
        bool operator==(const ModeChanged&) const = default;
    };
    struct MirrorStarted {
        bool operator==(const MirrorStarted&) const = default;
    };
    struct MirrorStopped {
        bool operator==(const MirrorStopped&) const = default;
    };

    using Payload = std::variant<SessionStarted, SessionStopped, ClientConnected, ClientDisconnected,
        ResolutionChanged, ModeChanged, MirrorStarted, MirrorStopped>;

    static MirrorEvent sessionStarted(std::string serial, std::string resolution, std::uint16_t port);
    static MirrorEvent sessionStopped(std::string serial);
    static MirrorEvent clientConnected(std::uint16_t port);
    static MirrorEvent clientDisconnected(std::uint16_t port);
    static MirrorEvent resolutionChanged(std::string from, std::string to);
    static MirrorEvent modeChanged(std::string from, std::string to);
    static MirrorEvent mirrorStarted();
    static MirrorEvent mirrorStopped();

    const Payload& payload() const { return payload_; }
    // The associated values when the event is a `T`, else null.
    template <typename T>
    const T* as() const { return std::get_if<T>(&payload_); }

    // "session_started serial=ABC resolution=1600x1200 port=8888", ...:
    // ports in decimal, strings unquoted.
    std::string description() const;

    bool operator==(const MirrorEvent&) const = default;

private:
    explicit MirrorEvent(Payload payload) : payload_(std::move(payload)) {}
    Payload payload_;
};

struct EventEntry {
    WallTime timestamp;
    MirrorEvent event;
};

class EventLog {
public:
    static constexpr std::size_t capacity = 200;

    static EventLog& shared();

    // Stamps the event with the current wall-clock date and appends it,
    // dropping the oldest entry when full.
    void record(MirrorEvent event);

    // Entries not older than `last` seconds (all when absent), oldest first.
    std::vector<EventEntry> events(std::optional<double> last = std::nullopt) const;

    // "HH:mm:ss <description>" lines in local time, or "(no events)".
    std::string formatted(std::optional<double> last = std::nullopt) const;

    void clear();

private:
    mutable std::mutex lock_;
    std::deque<EventEntry> buffer_;
};

} // namespace qb
