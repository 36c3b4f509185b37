#include "transport/PageGestureInterpreter.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace qb {

namespace {

using Point = InputInjector::Point;

PointerAction mouse(MouseEventType type, Point at) { return PointerAction::mouseEvent(type, at); }

void click(MouseEventType down, MouseEventType up, Point at, PointerActions& out)
{
    out.push_back(mouse(MouseEventType::moved, at));
    out.push_back(mouse(down, at));
    out.push_back(mouse(up, at));
}

MouseEventType releaseOf(MouseEventType dragged)
{
    if (dragged == MouseEventType::rightDragged) return MouseEventType::rightUp;
    if (dragged == MouseEventType::moved) return MouseEventType::middleUp; // the middle button has no drag of its own
    return MouseEventType::leftUp;
}

} // namespace

PointerActions PageGestureInterpreter::pointer(const PagePointer& event, const std::optional<Bounds>& display,
    TimePoint now)
{
    const auto at = display ? GestureInterpreter::landingPoint(*display, event.x, event.y) : std::nullopt;
    if (event.phase == PagePhase::wheel) {
        PointerActions out;
        const ScrollPixels pixels = scrollPixels(event.x, event.y, remainders_);
        if (pixels.vertical != 0 || pixels.horizontal != 0) {
            out.push_back(PointerAction::scrollEvent(ScrollPhase::began, pixels.vertical, pixels.horizontal));
            out.push_back(PointerAction::scrollEvent(ScrollPhase::ended, 0, 0));
        }
        remainders_ = {};
        return out;
    }
    if (event.device == PageDevice::finger) return finger(event, at, now);
    return penOrMouse(event, at, now);
}

PointerActions PageGestureInterpreter::penOrMouse(const PagePointer& event, const std::optional<Point>& at,
    TimePoint now)
{
    PointerActions out;
    const bool pen = event.device == PageDevice::pen;
    const bool gone = event.phase == PagePhase::leave || event.phase == PagePhase::cancel;
    if (pen) {
        PenReading reading;
        reading.pressure = event.pressure;
        reading.tiltX = event.tiltX;
        reading.tiltY = event.tiltY;
        reading.eraser = (event.buttons & page_buttons::eraser) != 0;
        reading.barrel = (event.buttons & page_buttons::barrel) != 0;
        reading.touching = !gone && event.phase != PagePhase::up && (event.buttons & page_buttons::contact) != 0;
        pen_ = reading;
        penInRange_ = !gone;
        penHeard_ = now;
        // A pen coming near ends whatever the hand resting beside it began.
        if (!gone) abandonFingers(out);
    }
    if (at) pointerAt_ = *at;
    const bool release = gone || event.phase == PagePhase::up;
    if (pointerHeld_ && release) {
        out.push_back(mouse(releaseOf(*pointerHeld_), pointerAt_));
        pointerHeld_.reset();
        return out;
    }
    if (!at || release) return out;
    if (pointerHeld_) {
        out.push_back(mouse(*pointerHeld_, *at));
        return out;
    }
    out.push_back(mouse(MouseEventType::moved, *at));
    if (event.phase != PagePhase::down) return out;
    if ((event.buttons & page_buttons::barrel) != 0) {
        out.push_back(mouse(MouseEventType::rightDown, *at));
        pointerHeld_ = MouseEventType::rightDragged;
    } else if (!pen && (event.buttons & page_buttons::middle) != 0) {
        out.push_back(mouse(MouseEventType::middleDown, *at));
        pointerHeld_ = MouseEventType::moved;
    } else {
        out.push_back(mouse(MouseEventType::leftDown, *at));
        pointerHeld_ = MouseEventType::leftDragged;
    }
    return out;
}

bool PageGestureInterpreter::palmRejected(TimePoint now) const
{
    if (!pen_) return false;
    // A pen in range that has fallen silent counts as gone when its silence began.
    const auto since = now - penHeard_;
    return since < (penInRange_ ? rules_.penSilence + rules_.palmGrace : rules_.palmGrace);
}

PointerActions PageGestureInterpreter::finger(const PagePointer& event, const std::optional<Point>& at, TimePoint now)
{
    PointerActions out;
    const auto known = fingers_.find(event.id);
    const Place place{double(event.x) * event.width, double(event.y) * event.height, at.value_or(Point{})};
    switch (event.phase) {
    case PagePhase::down: {
        if (known != fingers_.end() || !at) break;
        if (palmRejected(now)) {
            if (mode_ == FingerMode::idle) mode_ = FingerMode::spent;
            fingers_[event.id] = {place, place};
            break;
        }
        if (mode_ == FingerMode::idle) {
            mode_ = FingerMode::undecided;
            leadFinger_ = event.id;
            mostFingers_ = 0;
            fingersDown_ = now;
            density_ = event.density;
            pictureHeight_ = event.height;
            tapAt_ = *at;
            out.push_back(mouse(MouseEventType::moved, *at));
        }
        fingers_[event.id] = {place, place};
        if (mode_ == FingerMode::undecided) {
            mostFingers_ = std::max(mostFingers_, fingers_.size());
            if (fingers_.size() > 3) mode_ = FingerMode::spent;
            // The taps of several fingers click where the fingers are.
            if (fingers_.size() >= 2) {
                double x = 0, y = 0;
                for (auto& [id, f] : fingers_) {
                    f.start = f.now;
                    x += f.now.at.x;
                    y += f.now.at.y;
                }
                tapAt_ = {x / double(fingers_.size()), y / double(fingers_.size())};
            }
        }
        break;
    }
    case PagePhase::move: {
        if (known == fingers_.end() || !at) break;
        known->second.now = place;
        if (mode_ == FingerMode::dragging) {
            if (event.id == leadFinger_) out.push_back(mouse(MouseEventType::leftDragged, *at));
        } else if (mode_ == FingerMode::undecided && fingers_.size() == 1) {
            const Finger& f = known->second;
            if (std::hypot(f.now.x - f.start.x, f.now.y - f.start.y) < slop(rules_.tapSlop)) break;
            mode_ = FingerMode::dragging;
            out.push_back(mouse(MouseEventType::leftDown, f.start.at));
            out.push_back(mouse(MouseEventType::leftDragged, *at));
        } else if (mode_ == FingerMode::undecided && fingers_.size() >= 2) {
            decideTwoFingers(out);
        } else if (mode_ == FingerMode::scrolling || mode_ == FingerMode::zooming) {
            moveTwoFingers(out);
        }
        break;
    }
    case PagePhase::up:
    case PagePhase::cancel:
    case PagePhase::leave: {
        if (known == fingers_.end()) break;
        if (at) known->second.now = place;
        if (mode_ == FingerMode::dragging && event.id == leadFinger_) {
            out.push_back(mouse(MouseEventType::leftUp, known->second.now.at));
            mode_ = FingerMode::spent;
        }
        fingers_.erase(known);
        if (mode_ == FingerMode::scrolling || mode_ == FingerMode::zooming) {
            // One finger of two lifted: the gesture is over.
            if (fingers_.size() < 2) abandonFingers(out);
        }
        if (fingers_.empty()) fingersLifted(event.phase != PagePhase::up, now, out);
        break;
    }
    case PagePhase::wheel: break;
    }
    return out;
}

// Two fingers or three, not yet decided: spread beyond the pinch slop is a
// zoom, travel of their centre beyond the move slop a scroll; three fingers
// that move are no tap and nothing else.
void PageGestureInterpreter::decideTwoFingers(PointerActions& out)
{
    double spreadStart = 0, spreadNow = 0, travel = 0;
    const auto first = fingers_.begin();
    const auto second = std::next(first);
    spreadStart = std::hypot(first->second.start.x - second->second.start.x,
        first->second.start.y - second->second.start.y);
    spreadNow = std::hypot(first->second.now.x - second->second.now.x, first->second.now.y - second->second.now.y);
    double startX = 0, startY = 0, nowX = 0, nowY = 0;
    for (const auto& [id, f] : fingers_) {
        startX += f.start.x;
        startY += f.start.y;
        nowX += f.now.x;
        nowY += f.now.y;
    }
    const double n = double(fingers_.size());
    travel = std::hypot(nowX - startX, nowY - startY) / n;
    const double spreadChange = std::abs(spreadNow - spreadStart);
    const bool pinched = spreadChange >= slop(rules_.pinchSlop);
    const bool moved = travel >= slop(rules_.moveSlop) && travel > spreadChange;
    if (!pinched && !moved) return;
    if (fingers_.size() > 2) {
        mode_ = FingerMode::spent;
        return;
    }
    out.push_back(mouse(MouseEventType::moved, tapAt_));
    remainders_ = {};
    // The travel that decided counts: measured from where the fingers began.
    spreadBase_ = spreadStart;
    centreBaseX_ = startX / n;
    centreBaseY_ = startY / n;
    if (pinched) {
        mode_ = FingerMode::zooming;
        out.push_back(PointerAction::keyEvent(KEYSYM_CONTROL, true));
    } else {
        mode_ = FingerMode::scrolling;
    }
    moveTwoFingers(out);
}

void PageGestureInterpreter::moveTwoFingers(PointerActions& out)
{
    const auto first = fingers_.begin();
    const auto second = std::next(first);
    const Finger& a = first->second;
    const Finger& b = second->second;
    float dx = 0, dy = 0;
    if (mode_ == FingerMode::zooming) {
        const double spread = std::hypot(a.now.x - b.now.x, a.now.y - b.now.y);
        dy = float((spread - spreadBase_) / pictureHeight_);
        spreadBase_ = spread;
    } else {
        const double x = (a.now.x + b.now.x) / 2, y = (a.now.y + b.now.y) / 2;
        dx = float((x - centreBaseX_) / pictureHeight_);
        dy = float((y - centreBaseY_) / pictureHeight_);
        centreBaseX_ = x;
        centreBaseY_ = y;
    }
    const ScrollPixels pixels = scrollPixels(dx, dy, remainders_);
    if (pixels.vertical == 0 && pixels.horizontal == 0) return;
    const ScrollPhase phase = scrollActive_ ? ScrollPhase::changed : ScrollPhase::began;
    scrollActive_ = true;
    out.push_back(PointerAction::scrollEvent(phase, pixels.vertical, pixels.horizontal));
}

void PageGestureInterpreter::fingersLifted(bool cancelled, TimePoint now, PointerActions& out)
{
    const bool quick = now - fingersDown_ < rules_.longPress;
    if (mode_ == FingerMode::undecided && !cancelled) {
        if (mostFingers_ == 1) {
            // A long press whose deadline was not met in time still is one.
            if (quick) click(MouseEventType::leftDown, MouseEventType::leftUp, tapAt_, out);
            else click(MouseEventType::rightDown, MouseEventType::rightUp, tapAt_, out);
        }
        if (mostFingers_ == 2 && quick) click(MouseEventType::rightDown, MouseEventType::rightUp, tapAt_, out);
        if (mostFingers_ == 3 && quick) click(MouseEventType::middleDown, MouseEventType::middleUp, tapAt_, out);
    }
    abandonFingers(out);
    mode_ = FingerMode::idle;
}

void PageGestureInterpreter::endScrollInto(PointerActions& out)
{
    if (scrollActive_) out.push_back(PointerAction::scrollEvent(ScrollPhase::ended, 0, 0));
    scrollActive_ = false;
    remainders_ = {};
}

void PageGestureInterpreter::abandonFingers(PointerActions& out)
{
    switch (mode_) {
    case FingerMode::dragging:
        out.push_back(mouse(MouseEventType::leftUp, fingers_.empty() ? tapAt_ : fingers_.begin()->second.now.at));
        break;
    case FingerMode::scrolling: endScrollInto(out); break;
    case FingerMode::zooming:
        endScrollInto(out);
        out.push_back(PointerAction::keyEvent(KEYSYM_CONTROL, false));
        break;
    default: break;
    }
    mode_ = fingers_.empty() ? FingerMode::idle : FingerMode::spent;
}

std::optional<PageGestureInterpreter::TimePoint> PageGestureInterpreter::deadline() const
{
    if (mode_ == FingerMode::undecided && mostFingers_ == 1) return fingersDown_ + rules_.longPress;
    return std::nullopt;
}

PointerActions PageGestureInterpreter::expire(TimePoint now)
{
    PointerActions out;
    const auto due = deadline();
    if (!due || now < *due) return out;
    click(MouseEventType::rightDown, MouseEventType::rightUp, tapAt_, out);
    mode_ = FingerMode::longPressed;
    return out;
}

PointerActions PageGestureInterpreter::keys(const PageKeys& typed) const
{
    static constexpr std::pair<std::uint8_t, std::uint32_t> MODIFIERS[] = {{key_modifiers::control, KEYSYM_CONTROL},
        {key_modifiers::alt, KEYSYM_ALT}, {key_modifiers::shift, KEYSYM_SHIFT}, {key_modifiers::super, KEYSYM_SUPER}};
    PointerActions out;
    for (const auto& [bit, keysym] : MODIFIERS) {
        if ((typed.modifiers & bit) != 0) out.push_back(PointerAction::keyEvent(keysym, true));
    }
    for (const std::uint32_t keysym : typed.keysyms) {
        out.push_back(PointerAction::keyEvent(keysym, true));
        out.push_back(PointerAction::keyEvent(keysym, false));
    }
    for (auto it = std::rbegin(MODIFIERS); it != std::rend(MODIFIERS); ++it) {
        if ((typed.modifiers & it->first) != 0) out.push_back(PointerAction::keyEvent(it->second, false));
    }
    return out;
}

PointerActions PageGestureInterpreter::release()
{
    PointerActions out;
    if (pointerHeld_) out.push_back(mouse(releaseOf(*pointerHeld_), pointerAt_));
    pointerHeld_.reset();
    abandonFingers(out);
    fingers_.clear();
    mode_ = FingerMode::idle;
    penInRange_ = false;
    return out;
}

} // namespace qb
