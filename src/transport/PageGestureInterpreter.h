// PageGestureInterpreter: turns the tablet page's own input messages (pen,
// finger and mouse pointer events, typed text and keys: TabletMessages.h)
// into pointer, scroll and key actions on one display. No sockets, timers or
// injection: the caller passes the time of each message, asks deadline()
// when it must call expire(), and injects what comes back.
//
// A pen or mouse is a pointer: in range (hovering) it moves the desktop's
// pointer with no button; contact presses the left button (the pen's barrel
// button held at contact, or a mouse's right button: the right; a mouse's
// middle button: the middle) until it lifts, leaves or is cancelled. The
// eraser end presses like the tip and is reported as the eraser.
//
// Fingers are ignored while a pen is in range or touching and for
// `palmGrace` after it leaves (or falls silent for `penSilence`, should its
// leaving never arrive); a pen that comes while fingers are busy ends what
// they were doing. Among fingers:
//   one finger: a tap clicks left where it went down; held still for
//     `longPress` it clicks right there; moved beyond `tapSlop` it drags
//     with the left button;
//   two fingers: lifted without moving, a right click where they went down;
//     moved together, they scroll; spread or pinched beyond `pinchSlop`, they
//     zoom (Control held around scrolling);
//   three fingers lifted without moving: a middle click.
// Distances are CSS pixels, scaled by the page's pixel density into the
// page's device pixels in which positions arrive. A multi-finger gesture is
// decided once; fingers added after that are ignored.
//
// Keys: the modifiers asked for go down, each keysym goes down and up, the
// modifiers come up again.
//
// Owned by the input server and called on its queue only.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>

#include "config/PenReading.h"
#include "transport/GestureInterpreter.h"
#include "transport/InputProtocol.h"
#include "transport/TabletMessages.h"

namespace qb {

// Every threshold of the page's gestures, in one place.
struct PageGestureRules {
    std::chrono::milliseconds longPress{600};
    std::chrono::milliseconds palmGrace{500};
    std::chrono::milliseconds penSilence{3000};
    double tapSlop = 12;   // CSS pixels a finger may wander and still tap or long-press
    double moveSlop = 12;  // CSS pixels two fingers' centre travels before they scroll
    double pinchSlop = 30; // CSS pixels two fingers' spread changes before they zoom
};

class PageGestureInterpreter {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Bounds = InputInjector::Bounds;

    explicit PageGestureInterpreter(PageGestureRules rules = {}) : rules_(rules) {}

    // One pointer event; `display` as GestureInterpreter::touch takes it.
    PointerActions pointer(const PagePointer& event, const std::optional<Bounds>& display, TimePoint now);
    PointerActions keys(const PageKeys& typed) const;
    // When expire() has something to do (a long press), if ever.
    std::optional<TimePoint> deadline() const;
    PointerActions expire(TimePoint now);
    // The page went away: releases whatever is held.
    PointerActions release();

    // The pen's last values; none until a pen was seen.
    std::optional<PenReading> pen() const { return pen_; }

private:
    using Point = InputInjector::Point;
    struct Place {
        double x = 0; // page device pixels, within the picture
        double y = 0;
        Point at;     // on the display
    };
    struct Finger {
        Place start;
        Place now;
    };
    enum class FingerMode { idle, undecided, dragging, longPressed, scrolling, zooming, spent };

    PointerActions penOrMouse(const PagePointer& event, const std::optional<Point>& at, TimePoint now);
    PointerActions finger(const PagePointer& event, const std::optional<Point>& at, TimePoint now);
    bool palmRejected(TimePoint now) const;
    // Ends the fingers' gesture; they are ignored until every one has lifted.
    void abandonFingers(PointerActions& out);
    void decideTwoFingers(PointerActions& out);
    void moveTwoFingers(PointerActions& out);
    void fingersLifted(bool cancelled, TimePoint now, PointerActions& out);
    void endScrollInto(PointerActions& out);
    double slop(double cssPixels) const { return cssPixels * density_; }

    PageGestureRules rules_;

    // The pen or mouse.
    std::optional<PenReading> pen_;
    bool penInRange_ = false;
    TimePoint penHeard_{};
    std::optional<MouseEventType> pointerHeld_; // the dragged type of the button it holds
    Point pointerAt_;

    // The fingers.
    std::map<std::uint8_t, Finger> fingers_;
    FingerMode mode_ = FingerMode::idle;
    std::uint8_t leadFinger_ = 0; // the first finger down, which drags
    std::size_t mostFingers_ = 0;
    TimePoint fingersDown_{};
    double density_ = 1;
    double pictureHeight_ = 1;
    double spreadBase_ = 0;
    double centreBaseX_ = 0, centreBaseY_ = 0;
    Point tapAt_;
    bool scrollActive_ = false;
    ScrollRemainders remainders_;
};

} // namespace qb
