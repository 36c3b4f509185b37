#include "transport/GestureInterpreter.h"

#include <algorithm>
#include <cmath>

namespace qb {

namespace {

using Point = InputInjector::Point;

double clampFraction(float value) { return std::clamp(double(value), 0.0, 1.0); }

PointerAction mouse(MouseEventType type, Point at) { return PointerAction::mouseEvent(type, at); }

} // namespace

std::optional<Point> GestureInterpreter::landingPoint(const InputInjector::Bounds& display, float x, float y)
{
    if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    return Point{display.left + display.width * clampFraction(x), display.top + display.height * clampFraction(y)};
}

PointerActions GestureInterpreter::touch(const TouchMessage& message, const std::optional<InputInjector::Bounds>& display)
{
    const std::optional<Point> target = display ? landingPoint(*display, message.x, message.y) : std::nullopt;
    PointerActions out;
    switch (static_cast<TouchType>(message.type)) {
    case TouchType::down:
        if (!target) break;
        // A lost touch-up must not leave the button held into the next touch.
        if (mouseDown_ && dragStarted_) out.push_back(mouse(MouseEventType::leftUp, lastMouseLocation_));
        mouseDown_ = true;
        dragStarted_ = false;
        scrolledDuringTouch_ = false;
        touchDownLocation_ = *target;
        lastMouseLocation_ = *target;
        out.push_back(mouse(MouseEventType::moved, *target));
        break;

    case TouchType::move: {
        if (!target) break;
        const Point p = *target;
        lastMouseLocation_ = p;
        if (!mouseDown_) {
            out.push_back(mouse(MouseEventType::moved, p));
        } else if (!dragStarted_) {
            if (std::hypot(p.x - touchDownLocation_.x, p.y - touchDownLocation_.y) < DRAG_THRESHOLD) break;
            dragStarted_ = true;
            out.push_back(mouse(MouseEventType::leftDown, touchDownLocation_));
            out.push_back(mouse(MouseEventType::leftDragged, p));
        } else {
            out.push_back(mouse(MouseEventType::leftDragged, p));
        }
        break;
    }

    case TouchType::up: {
        const Point p = target.value_or(lastMouseLocation_);
        if (!scrolledDuringTouch_ && mouseDown_) {
            if (dragStarted_) {
                out.push_back(mouse(MouseEventType::leftUp, p));
            } else {
                out.push_back(mouse(MouseEventType::leftDown, touchDownLocation_));
                out.push_back(mouse(MouseEventType::leftUp, touchDownLocation_));
            }
        }
        mouseDown_ = false;
        dragStarted_ = false;
        scrolledDuringTouch_ = false;
        lastMouseLocation_ = p;
        break;
    }

    case TouchType::scroll:
        if (mouseDown_ && dragStarted_) {
            out.push_back(mouse(MouseEventType::leftUp, lastMouseLocation_));
            dragStarted_ = false;
        }
        scrolledDuringTouch_ = true;
        mouseDown_ = false;
        scroll(message.dx, message.dy, out);
        break;
    }
    // Other types are ignored.
    return out;
}

void GestureInterpreter::scroll(float dx, float dy, PointerActions& out)
{
    const ScrollPixels pixels = scrollPixels(dx, dy, scrollRemainders_);
    if (pixels.vertical == 0 && pixels.horizontal == 0) return;
    ScrollPhase phase = ScrollPhase::changed;
    if (!scrollGestureActive_) {
        scrollGestureActive_ = true;
        out.push_back(mouse(MouseEventType::moved, lastMouseLocation_));
        phase = ScrollPhase::began;
    }
    out.push_back(PointerAction::scrollEvent(phase, pixels.vertical, pixels.horizontal));
}

void GestureInterpreter::endScrollInto(PointerActions& out)
{
    if (!scrollGestureActive_) return;
    scrollGestureActive_ = false;
    scrollRemainders_ = {};
    out.push_back(PointerAction::scrollEvent(ScrollPhase::ended, 0, 0));
}

PointerActions GestureInterpreter::endScroll()
{
    PointerActions out;
    endScrollInto(out);
    return out;
}

PointerActions GestureInterpreter::release()
{
    // Only a drag has the button down; a finger that is merely resting has
    // posted nothing but motion, so there is nothing to release for it.
    PointerActions out;
    if (mouseDown_ && dragStarted_) out.push_back(mouse(MouseEventType::leftUp, lastMouseLocation_));
    mouseDown_ = false;
    dragStarted_ = false;
    scrolledDuringTouch_ = false;
    endScrollInto(out);
    return out;
}

} // namespace qb
