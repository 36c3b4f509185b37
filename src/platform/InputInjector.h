// Input injection: the platform service the input server (InputServer) turns
// the device's touches into. It posts pointer and scroll events onto the
// desktop in global display coordinates, as if a trackpad had produced them.
//
// On Linux the x11 backend injects through the XTEST extension (XTestFake*
// requests); the sim backend records every event for tests and demos. Keys
// are an optional capability (canType).
//
//   auto injector = platform->inputInjector();
//   if (!injector->isTrusted()) ...                  // events will be dropped
//   auto bounds = injector->displayBounds(id);        // nullopt: unknown display
//   injector->postMouseEvent(MouseEventType::leftDown, {x, y});
//   injector->postScrollEvent(ScrollPhase::began, /*vertical*/ -12, /*horizontal*/ 0);
//
// "Trusted" means the process may inject input at all. On X11 that is: the X
// display opens and offers the XTEST extension. An untrusted injector still
// accepts posts and drops them, so callers warn once and carry on.
//
// Threads: every member may be called from any thread; the input server calls
// them from its serial queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/Platform.h"

namespace qb {

enum class MouseEventType {
    moved,       // pointer motion, no button held
    leftDown,
    leftUp,
    leftDragged, // pointer motion with the left button held
    rightDown,
    rightUp,
    rightDragged,
    middleDown,
    middleUp,
};

std::string_view mouseEventTypeName(MouseEventType type);

// The button an event presses or releases, by its Linux input code (BTN_LEFT
// 0x110, BTN_RIGHT 0x111, BTN_MIDDLE 0x112: the codes Wayland compositors
// take); none for motion.
struct ButtonChange {
    std::uint32_t code = 0;
    bool pressed = false;
    bool operator==(const ButtonChange&) const = default;
};
std::optional<ButtonChange> buttonChange(MouseEventType type);
inline constexpr std::uint32_t BUTTON_CODE_LEFT = 0x110;
inline constexpr std::uint32_t BUTTON_CODE_RIGHT = 0x111;
inline constexpr std::uint32_t BUTTON_CODE_MIDDLE = 0x112;

// Keysyms of the modifiers the input server holds around keys (X keysyms,
// which every Linux keyboard stack names keys by: xkbcommon, Mutter, X).
inline constexpr std::uint32_t KEYSYM_SHIFT = 0xFFE1;
inline constexpr std::uint32_t KEYSYM_CONTROL = 0xFFE3;
inline constexpr std::uint32_t KEYSYM_ALT = 0xFFE9;
inline constexpr std::uint32_t KEYSYM_SUPER = 0xFFEB;

// Trackpad-style scroll phases; the values are those the scroll events carry.
// The momentum phase of injected scrolls is always 0 (no momentum).
enum class ScrollPhase : std::uint8_t {
    began = 1,
    changed = 2,
    ended = 4,
};

std::string_view scrollPhaseName(ScrollPhase phase);

class InputInjector {
public:
    struct Point {
        double x = 0;
        double y = 0;
        bool operator==(const Point&) const = default;
    };

    // A display's rectangle in global coordinates: origin at its top-left.
    struct Bounds {
        double left = 0;
        double top = 0;
        double width = 0;
        double height = 0;
        bool operator==(const Bounds&) const = default;
    };

    virtual ~InputInjector() = default;

    // May this process inject input (see above)?
    virtual bool isTrusted() const = 0;

    // The rectangle of `displayId`; nullopt when no such display exists.
    virtual std::optional<Bounds> displayBounds(std::uint32_t displayId) const = 0;

    // One pointer event at `location` (global coordinates, finite).
    virtual void postMouseEvent(MouseEventType type, Point location) = 0;

    // One pixel-precise scroll event with two wheels: `vertical` first, then
    // `horizontal`, in whole pixels.
    virtual void postScrollEvent(ScrollPhase phase, std::int32_t vertical, std::int32_t horizontal) = 0;

    // Keys, an optional capability: can this backend type at all?
    virtual bool canType() const { return false; }
    // One key of `keysym` (an X keysym: any Unicode character as
    // 0x01000000 + code point, Latin-1 as itself) goes down or up on the
    // focused application, whatever the desktop's keymap holds: a backend
    // whose keymap lacks the keysym binds it to a spare key of its own for
    // as long as it needs it. A character reached with Shift on the keymap
    // gets Shift from the backend; modifiers asked for go down as their own
    // keys first. Without the capability nothing happens.
    virtual void postKey(std::uint32_t keysym, bool down)
    {
        (void)keysym;
        (void)down;
    }
};

// The warning logged once per input server when injection is not trusted.
inline constexpr std::string_view INPUT_NOT_TRUSTED_WARNING =
    "[InputServer] WARNING: XTest input injection not available — touch injection will fail. "
    "Enable the XTEST extension of the X server (Section \"Extensions\" in xorg.conf).";

} // namespace qb
