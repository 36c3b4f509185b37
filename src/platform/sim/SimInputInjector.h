// The sim input injector: records every event it is asked to post, so tests
// and demos can see exactly what the input server injected. Display bounds
// come from a table that tests fill; the injector the platform factory makes
// also follows the simulated desktop (SimWorld), where a display that mirrors
// another lies where its master's screen is. Trust can be withdrawn to
// rehearse a desktop without injection (events are then dropped and counted,
// as the real desktop would drop them).
//
// Thread-safe: posts arrive on the input server's queue while the test reads
// or waits on another thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/InputInjector.h"

namespace qb {

struct RecordedInputEvent {
    enum class Kind { mouse, scroll, key };
    Kind kind = Kind::mouse;
    MouseEventType mouseType = MouseEventType::moved; // mouse events
    InputInjector::Point location;                    // mouse events
    ScrollPhase phase = ScrollPhase::began;           // scroll events
    std::int32_t vertical = 0;                        // scroll events
    std::int32_t horizontal = 0;                      // scroll events
    std::uint32_t keysym = 0;                         // key events
    bool keyDown = false;                             // key events
    std::chrono::steady_clock::time_point postedAt;
};

class SimInputInjector final : public InputInjector {
public:
    // With `followSimWorld`, displays missing from the table are looked up
    // in SimWorld::shared().
    explicit SimInputInjector(bool followSimWorld = false);

    bool isTrusted() const override;
    std::optional<Bounds> displayBounds(std::uint32_t displayId) const override;
    void postMouseEvent(MouseEventType type, Point location) override;
    void postScrollEvent(ScrollPhase phase, std::int32_t vertical, std::int32_t horizontal) override;
    bool canType() const override { return true; }
    void postKey(std::uint32_t keysym, bool down) override;

    void setTrusted(bool trusted);
    // Adds or replaces a display; nullopt removes it.
    void setDisplayBounds(std::uint32_t displayId, std::optional<Bounds> bounds);

    std::vector<RecordedInputEvent> events() const;
    std::size_t eventCount() const;
    std::size_t droppedCount() const;
    void clear();

    // Waits until at least `count` events were recorded; false on timeout.
    bool waitForEvents(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    void record(RecordedInputEvent event);

    const bool followSimWorld_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    bool trusted_ = true;
    std::map<std::uint32_t, Bounds> displays_;
    std::vector<RecordedInputEvent> events_;
    std::size_t dropped_ = 0;
};

} // namespace qb
