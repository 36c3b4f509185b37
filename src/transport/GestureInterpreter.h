// GestureInterpreter: turns the companion's touch messages into pointer and
// scroll actions on one display, with no sockets, timers or injection.
//
// A touch that goes down and up without travelling 8 points is a left click
// at the point where it went down; beyond that it is a left-button drag
// (button down at the down point, drags, up at the last point). Scroll
// messages become pixel scrolling with a began / changed phase; the owner
// ends the gesture (endScroll) after a pause. A scroll during a touch turns
// that touch's click off. release() lets go of whatever is held, for a
// connection that ends mid-gesture.
//
//   GestureInterpreter gestures;
//   for (const PointerAction& a : gestures.touch(message, bounds)) inject(a);
//   if (gestures.scrollGestureActive()) armScrollEndTimer();
//
// Owned by the input server and called on its queue only.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/InputInjector.h"
#include "transport/InputProtocol.h"

namespace qb {

struct PointerAction {
    enum class Kind { mouse, scroll, key };
    Kind kind = Kind::mouse;
    MouseEventType mouse = MouseEventType::moved; // mouse actions
    InputInjector::Point at;                      // mouse actions
    ScrollPhase phase = ScrollPhase::began;       // scroll actions
    std::int32_t vertical = 0;                    // scroll actions, pixels
    std::int32_t horizontal = 0;
    std::uint32_t keysym = 0;                     // key actions
    bool keyDown = false;

    static PointerAction mouseEvent(MouseEventType type, InputInjector::Point at) { return {Kind::mouse, type, at}; }
    static PointerAction scrollEvent(ScrollPhase phase, std::int32_t vertical, std::int32_t horizontal)
    {
        return {Kind::scroll, MouseEventType::moved, {}, phase, vertical, horizontal};
    }
    static PointerAction keyEvent(std::uint32_t keysym, bool down)
    {
        return {Kind::key, MouseEventType::moved, {}, ScrollPhase::began, 0, 0, keysym, down};
    }
    bool operator==(const PointerAction&) const = default;
};

using PointerActions = std::vector<PointerAction>;

class GestureInterpreter {
public:
    // A touch must travel this far (in points) from where it went down
    // before it becomes a drag; below it, it stays a click.
    static constexpr double DRAG_THRESHOLD = 8.0;

    // Where a touch at fractions (x, y) of the display lands: pulled onto the
    // display's edges; none when either fraction is not a number.
    static std::optional<InputInjector::Point> landingPoint(const InputInjector::Bounds& display, float x, float y);

    // One message; `display` is the target display's rectangle (none when it
    // is gone: down and move are then ignored, up lands where the pointer is).
    PointerActions touch(const TouchMessage& message, const std::optional<InputInjector::Bounds>& display);
    // The scroll pause ran out: the gesture's ended event (nothing if none is active).
    PointerActions endScroll();
    // The device went away: releases a held button and ends a scroll gesture.
    PointerActions release();

    bool scrollGestureActive() const { return scrollGestureActive_; }

private:
    void scroll(float dx, float dy, PointerActions& out);
    void endScrollInto(PointerActions& out);

    bool mouseDown_ = false;
    InputInjector::Point lastMouseLocation_;
    InputInjector::Point touchDownLocation_;
    bool dragStarted_ = false;
    bool scrolledDuringTouch_ = false;
    bool scrollGestureActive_ = false;
    ScrollRemainders scrollRemainders_;
};

} // namespace qb
