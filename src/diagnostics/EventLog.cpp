#include "diagnostics/EventLog.h"

#include <fmt/format.h>

#include "diagnostics/RingLogger.h"
#include "diagnostics/TimeWindow.h"

namespace qb {

MirrorEvent MirrorEvent::sessionStarted(std::string serial, std::string resolution, std::uint16_t port)
{
    return MirrorEvent(SessionStarted{std::move(serial), std::move(resolution), port});
}

MirrorEvent MirrorEvent::sessionStopped(std::string serial) { return MirrorEvent(SessionStopped{std::move(serial)}); }

MirrorEvent MirrorEvent::clientConnected(std::uint16_t port) { return MirrorEvent(ClientConnected{port}); }

MirrorEvent MirrorEvent::clientDisconnected(std::uint16_t port) { return MirrorEvent(ClientDisconnected{port}); }

MirrorEvent MirrorEvent::resolutionChanged(std::string from, std::string to)
{
    return MirrorEvent(ResolutionChanged{std::move(from), std::move(to)});
}

MirrorEvent MirrorEvent::modeChanged(std::string from, std::string to)
{
    return MirrorEvent(ModeChanged{std::move(from), std::move(to)});
}

MirrorEvent MirrorEvent::mirrorStarted() { return MirrorEvent(MirrorStarted{}); }

MirrorEvent MirrorEvent::mirrorStopped() { return MirrorEvent(MirrorStopped{}); }

namespace {

struct Describe {
    std::string operator()(const MirrorEvent::SessionStarted& e) const
    {
        return fmt::format("session_started serial={} resolution={} port={}", e.serial, e.resolution, e.port);
    }
    std::string operator()(const MirrorEvent::SessionStopped& e) const
    {
        return fmt::format("session_stopped serial={}", e.serial);
    }
    std::string operator()(const MirrorEvent::ClientConnected& e) const
    {
        return fmt::format("client_connected port={}", e.port);
    }
    std::string operator()(const MirrorEvent::ClientDisconnected& e) const
    {
        return fmt::format("client_disconnected port={}", e.port);
    }
    std::string operator()(const MirrorEvent::ResolutionChanged& e) const
    {
        return fmt::format("resolution_changed from={} to={}", e.from, e.to);
    }
    std::string operator()(const MirrorEvent::ModeChanged& e) const
    {
        return fmt::format("mode_changed from={} to={}", e.from, e.to);
    }
    std::string operator()(const MirrorEvent::MirrorStarted&) const { return "mirror_started"; }
    std::string operator()(const MirrorEvent::MirrorStopped&) const { return "mirror_stopped"; }
};

} // namespace

std::string MirrorEvent::description() const { return std::visit(Describe{}, payload_); }

EventLog& EventLog::shared()
{
    static EventLog instance; // thread-safe initialisation
    return instance;
}

void EventLog::record(MirrorEvent event)
{
    EventEntry entry{wallNow(), std::move(event)};
    std::lock_guard guard(lock_);
    if (buffer_.size() >= capacity) buffer_.pop_front();
    buffer_.push_back(std::move(entry));
}

std::vector<EventEntry> EventLog::events(std::optional<double> last) const
{
    const auto since = windowStart(wallNow(), last);
    std::vector<EventEntry> copy;
    {
        std::lock_guard guard(lock_);
        copy.assign(buffer_.begin(), buffer_.end());
    }
    if (since) {
        std::erase_if(copy, [&](const EventEntry& entry) { return entry.timestamp < *since; });
    }
    return copy;
}

std::string EventLog::formatted(std::optional<double> last) const
{
    const auto matching = events(last);
    if (matching.empty()) return "(no events)";
    std::string text;
    for (const auto& entry : matching) {
        if (!text.empty()) text += '\n';
        text += formatLocalTime(entry.timestamp, false);
        text += ' ';
        text += entry.event.description();
    }
    return text;
}

void EventLog::clear()
{
    std::lock_guard guard(lock_);
    buffer_.clear();
}

} // namespace qb
