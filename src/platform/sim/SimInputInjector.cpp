#include "platform/sim/SimInputInjector.h"

#include "platform/sim/SimWorld.h"

namespace qb {

namespace {

std::optional<InputInjector::Bounds> simWorldBounds(std::uint32_t displayId)
{
    auto& world = sim::SimWorld::shared();
    auto display = world.display(displayId);
    if (!display) return std::nullopt;
    const std::uint32_t shown = display->mirrorOf != NULL_DISPLAY_ID ? display->mirrorOf : displayId;
    for (const auto& screen : world.screens()) {
        if (screen.displayNumber == shown) {
            return InputInjector::Bounds{screen.frame.x, screen.frame.y, screen.frame.width, screen.frame.height};
        }
    }
    return std::nullopt;
}

} // namespace

SimInputInjector::SimInputInjector(bool followSimWorld) : followSimWorld_(followSimWorld) {}

bool SimInputInjector::isTrusted() const
{
    std::lock_guard guard(lock_);
    return trusted_;
}

std::optional<InputInjector::Bounds> SimInputInjector::displayBounds(std::uint32_t displayId) const
{
    {
        std::lock_guard guard(lock_);
        auto it = displays_.find(displayId);
        if (it != displays_.end()) return it->second;
    }
    if (followSimWorld_) return simWorldBounds(displayId);
    return std::nullopt;
}

void SimInputInjector::postMouseEvent(MouseEventType type, Point location)
{
    RecordedInputEvent event;
    event.kind = RecordedInputEvent::Kind::mouse;
    event.mouseType = type;
    event.location = location;
    record(event);
}

void SimInputInjector::postScrollEvent(ScrollPhase phase, std::int32_t vertical, std::int32_t horizontal)
{
    RecordedInputEvent event;
    event.kind = RecordedInputEvent::Kind::scroll;
    event.phase = phase;
    event.vertical = vertical;
    event.horizontal = horizontal;
    record(event);
}

void SimInputInjector::postKey(std::uint32_t keysym, bool down)
{
    RecordedInputEvent event;
    event.kind = RecordedInputEvent::Kind::key;
    event.keysym = keysym;
    event.keyDown = down;
    record(event);
}

void SimInputInjector::record(RecordedInputEvent event)
{
    event.postedAt = std::chrono::steady_clock::now();
    {
        std::lock_guard guard(lock_);
        if (!trusted_) {
            ++dropped_;
            return;
        }
        events_.push_back(event);
    }
    changed_.notify_all();
}

void SimInputInjector::setTrusted(bool trusted)
{
    std::lock_guard guard(lock_);
    trusted_ = trusted;
}

void SimInputInjector::setDisplayBounds(std::uint32_t displayId, std::optional<Bounds> bounds)
{
    std::lock_guard guard(lock_);
    if (bounds) {
        displays_[displayId] = *bounds;
    } else {
        displays_.erase(displayId);
    }
}

std::vector<RecordedInputEvent> SimInputInjector::events() const
{
    std::lock_guard guard(lock_);
    return events_;
}

std::size_t SimInputInjector::eventCount() const
{
    std::lock_guard guard(lock_);
    return events_.size();
}

std::size_t SimInputInjector::droppedCount() const
{
    std::lock_guard guard(lock_);
    return dropped_;
}

void SimInputInjector::clear()
{
    std::lock_guard guard(lock_);
    events_.clear();
    dropped_ = 0;
}

bool SimInputInjector::waitForEvents(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return events_.size() >= count; });
}

} // namespace qb
