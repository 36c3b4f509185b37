// Global hotkeys: key combinations the user presses anywhere on the desktop
// (Ctrl+F8 toggles mirroring; the display controller's Ctrl+F1/F2/F10/F11/F12
// drive the device's front light). An optional capability: a backend that
// cannot grab keys globally (Wayland) has none, and the caller logs once what
// it does without.
//
// Threads: register/unregister and the handlers run on the main loop. The
// backend pumps its key events there and calls the handler of the matching
// combination once per key press (auto-repeat included, release excluded).
// Lock keys (Num Lock, Caps Lock, Scroll Lock) never prevent a match.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qb {

// Modifier bits of a hotkey; only these are compared.
enum HotkeyModifier : std::uint32_t {
    hotkeyControl = 1U << 0,
    hotkeyShift = 1U << 1,
    hotkeyAlt = 1U << 2,
    hotkeySuper = 1U << 3,
};

// A key by its X keysym value (XK_F8 = 0xFFC5, ...; the same numbers as
// xkbcommon's) plus modifier bits.
struct Hotkey {
    std::uint32_t keysym = 0;
    std::uint32_t modifiers = 0;

    friend bool operator==(const Hotkey&, const Hotkey&) = default;
};

inline constexpr std::uint32_t KEYSYM_F1 = 0xFFBE;
inline constexpr std::uint32_t KEYSYM_F2 = 0xFFBF;
inline constexpr std::uint32_t KEYSYM_F8 = 0xFFC5;
inline constexpr std::uint32_t KEYSYM_F10 = 0xFFC7;
inline constexpr std::uint32_t KEYSYM_F11 = 0xFFC8;
inline constexpr std::uint32_t KEYSYM_F12 = 0xFFC9;

class GlobalHotkeys {
public:
    using Handler = std::function<void()>;
    // Opaque handle of one registration; 0 is never returned for a success.
    using Registration = std::uint64_t;

    virtual ~GlobalHotkeys() = default;

    // Grabs the combination and calls `handler` on each press. Returns 0 when
    // the combination cannot be grabbed (another client holds it); `error`
    // then says why, for the log.
    virtual Registration registerHotkey(Hotkey key, Handler handler, std::string* error = nullptr) = 0;

    // Releases one grab; unknown or already released handles are ignored.
    virtual void unregisterHotkey(Registration registration) = 0;
};

} // namespace qb
