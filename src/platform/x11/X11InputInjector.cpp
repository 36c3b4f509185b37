// Input injection through XTEST: pointer motion in root-window coordinates
// (the global coordinates the input server computes from displayBounds),
// button 1 for taps and drags, and buttons 4/5 (vertical) and 6/7
// (horizontal) for scrolling. A wheel click scrolls by a fixed number of
// pixels; the pixels left over carry to the next event of the same gesture.
//
// The X server keeps the pointer on the areas of lit outputs: a display shown
// as a monitor only (no spare output took it) cannot be reached, and a press
// there would land on the nearest output's edge instead. So a press happens
// only where the pointer arrived; elsewhere it is dropped (logged once), and
// a release follows only a press of ours.
//
// Touches arrive on the input server's thread, which gets a connection of its
// own (the main loop's is shared only when a second one cannot be opened).
//
// Keys: a keysym is pressed on the keycode the keymap gives it, with Shift
// added for a keysym on the shifted level. A keysym the keymap lacks (most
// of Unicode) is bound for the while to a spare keycode (one with no
// symbols; failing that, the last ones) and the keycode's own symbols are
// put back when the binding is reused or the injector goes. Not at once
// after the key: an X client translates a key event with the keymap it holds
// when it reads the event, which may be after a prompt restore, and would
// then read nothing.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "diagnostics/PlatformLog.h"
#include "platform/InputInjector.h"
#include "platform/x11/X11Platform.h"
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace qb::x11 {

namespace {

class X11InputInjector final : public InputInjector {
public:
    explicit X11InputInjector(const std::shared_ptr<X11Display>& main)
        : x_(main->openAnother(std::nullopt, nullptr))
    {
        if (!x_) x_ = main;
    }

    bool isTrusted() const override { return x_->hasXTest; }

    std::optional<Bounds> displayBounds(std::uint32_t displayId) const override
    {
        auto rect = x_->inputRect(displayId);
        if (!rect) return std::nullopt;
        return Bounds{double(rect->x), double(rect->y), double(rect->width), double(rect->height)};
    }

    ~X11InputInjector() override
    {
        X11Display::Lock hold(*x_);
        if (x_->lost()) return;
        for (auto& [code, binding] : bindings_) restore(code, binding);
        XFlush(x_->display());
    }

    void postMouseEvent(MouseEventType type, Point location) override
    {
        if (!isTrusted() || !std::isfinite(location.x) || !std::isfinite(location.y)) return;
        const int x = clampCoordinate(location.x);
        const int y = clampCoordinate(location.y);
        X11Display::Lock hold(*x_);
        if (x_->lost()) return;
        Display* display = x_->display();
        XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
        if (const auto change = buttonChange(type)) {
            const unsigned button = change->code == BUTTON_CODE_RIGHT ? 3 : change->code == BUTTON_CODE_MIDDLE ? 2 : 1;
            const unsigned bit = 1u << button;
            if (change->pressed) {
                Window root = 0, child = 0;
                int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
                unsigned mask = 0;
                XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX, &windowY,
                    &mask);
                if (rootX == x && rootY == y) {
                    pressed_ |= bit;
                    XTestFakeButtonEvent(display, button, True, CurrentTime);
                } else if (!warned_.exchange(true)) {
                    platformLog(LogLevel::warn, "InputInjector",
                        "[InputInjector] The pointer cannot reach a display without a lit output of its own: "
                        "touches there are dropped");
                }
            } else if ((pressed_ & bit) != 0) {
                pressed_ &= ~bit;
                XTestFakeButtonEvent(display, button, False, CurrentTime);
            }
        }
        XFlush(display);
    }

    bool canType() const override { return isTrusted(); }

    void postKey(std::uint32_t keysym, bool down) override
    {
        if (!isTrusted()) return;
        X11Display::Lock hold(*x_);
        if (x_->lost()) return;
        Display* display = x_->display();
        if (!down) {
            const auto held = held_.find(keysym);
            if (held == held_.end()) return;
            XTestFakeKeyEvent(display, held->second.code, False, CurrentTime);
            if (held->second.addedShift) XTestFakeKeyEvent(display, XKeysymToKeycode(display, XK_Shift_L), False, CurrentTime);
            held_.erase(held);
            XFlush(display);
            return;
        }
        if (held_.contains(keysym)) return;
        auto [code, level] = find(keysym);
        if (code == 0) {
            code = bind(keysym);
            level = 0;
        }
        if (code == 0) return;
        const bool shiftHeld = held_.contains(XK_Shift_L) || held_.contains(XK_Shift_R);
        const bool addShift = level == 1 && !shiftHeld;
        if (addShift) XTestFakeKeyEvent(display, XKeysymToKeycode(display, XK_Shift_L), True, CurrentTime);
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        held_[keysym] = {code, addShift};
        if (auto binding = bindings_.find(code); binding != bindings_.end()) binding->second.used = ++uses_;
        XFlush(display);
    }

    void postScrollEvent(ScrollPhase phase, std::int32_t vertical, std::int32_t horizontal) override
    {
        if (!isTrusted()) return;
        std::int64_t verticalClicks = 0;
        std::int64_t horizontalClicks = 0;
        {
            std::lock_guard guard(scrollLock_);
            if (phase == ScrollPhase::began) remainderV_ = remainderH_ = 0;
            verticalClicks = takeClicks(remainderV_, vertical);
            horizontalClicks = takeClicks(remainderH_, horizontal);
            if (phase == ScrollPhase::ended) remainderV_ = remainderH_ = 0;
        }
        if (verticalClicks == 0 && horizontalClicks == 0) return;
        X11Display::Lock hold(*x_);
        if (x_->lost()) return;
        // Positive amounts scroll up and left, as a trackpad's pixel deltas do.
        click(verticalClicks > 0 ? 4 : 5, verticalClicks);
        click(horizontalClicks > 0 ? 6 : 7, horizontalClicks);
        XFlush(x_->display());
    }

private:
    static int clampCoordinate(double value) { return int(std::clamp(std::floor(value), -32768.0, 32767.0)); }

    static std::int64_t takeClicks(std::int64_t& remainder, std::int32_t pixels)
    {
        remainder += pixels;
        const std::int64_t clicks = remainder / X11_SCROLL_PIXELS_PER_CLICK;
        remainder -= clicks * X11_SCROLL_PIXELS_PER_CLICK;
        return clicks;
    }

    void click(unsigned button, std::int64_t count)
    {
        // A fling never needs more than a screenful of clicks.
        const std::int64_t clicks = std::min<std::int64_t>(std::llabs(count), 100);
        for (std::int64_t i = 0; i < clicks; ++i) {
            XTestFakeButtonEvent(x_->display(), button, True, CurrentTime);
            XTestFakeButtonEvent(x_->display(), button, False, CurrentTime);
        }
    }

    struct Held {
        KeyCode code = 0;
        bool addedShift = false;
    };
    // A spare keycode bound to a keysym of ours, and what it held before.
    struct Binding {
        std::uint32_t keysym = 0;
        std::vector<KeySym> original;
        std::uint64_t used = 0;
    };

    // The keycode and level (0 plain, 1 shifted) of `keysym` on the keymap
    // as it is now; code 0 when it has none. Under the display lock.
    std::pair<KeyCode, int> find(std::uint32_t keysym)
    {
        Display* display = x_->display();
        int first = 0, last = 0, perCode = 0;
        XDisplayKeycodes(display, &first, &last);
        KeySym* map = XGetKeyboardMapping(display, KeyCode(first), last - first + 1, &perCode);
        if (!map) return {0, 0};
        std::pair<KeyCode, int> found{0, 0};
        for (int level = 0; level < std::min(perCode, 2) && found.first == 0; ++level) {
            for (int code = first; code <= last; ++code) {
                if (map[(code - first) * perCode + level] == keysym) {
                    found = {KeyCode(code), level};
                    break;
                }
            }
        }
        XFree(map);
        return found;
    }

    // Binds `keysym` to a spare keycode; 0 when none can be had.
    KeyCode bind(std::uint32_t keysym)
    {
        Display* display = x_->display();
        int first = 0, last = 0, perCode = 0;
        XDisplayKeycodes(display, &first, &last);
        KeySym* map = XGetKeyboardMapping(display, KeyCode(first), last - first + 1, &perCode);
        if (!map) return 0;
        const auto isHeld = [this](int code) {
            return std::any_of(held_.begin(), held_.end(), [code](const auto& h) { return h.second.code == code; });
        };
        // A keycode with no symbols while we hold few; else ours not held, the
        // longest unused; else the last keycode not held.
        int chosen = 0;
        std::uint64_t oldest = UINT64_MAX;
        for (const auto& [code, binding] : bindings_) {
            if (!isHeld(code) && binding.used < oldest) {
                chosen = code;
                oldest = binding.used;
            }
        }
        if (bindings_.size() < SPARE_BINDINGS) {
            for (int code = last; code >= first; --code) {
                const KeySym* syms = &map[(code - first) * perCode];
                if (!bindings_.contains(code) && std::all_of(syms, syms + perCode, [](KeySym s) { return s == NoSymbol; })) {
                    chosen = code;
                    break;
                }
            }
        }
        for (int code = last; code >= first && chosen == 0; --code) {
            if (!bindings_.contains(code) && !isHeld(code)) chosen = code;
        }
        if (chosen == 0) {
            XFree(map);
            return 0;
        }
        auto existing = bindings_.find(chosen);
        if (existing == bindings_.end()) {
            const KeySym* syms = &map[(chosen - first) * perCode];
            existing = bindings_.emplace(chosen, Binding{0, std::vector<KeySym>(syms, syms + perCode), 0}).first;
        }
        XFree(map);
        existing->second.keysym = keysym;
        KeySym both[2] = {KeySym(keysym), KeySym(keysym)};
        XChangeKeyboardMapping(display, chosen, 2, both, 1);
        XSync(display, False);
        return KeyCode(chosen);
    }

    void restore(int code, Binding& binding)
    {
        XChangeKeyboardMapping(x_->display(), code, int(binding.original.size()), binding.original.data(), 1);
    }

    static constexpr std::size_t SPARE_BINDINGS = 8;

    std::shared_ptr<X11Display> x_;
    std::map<std::uint32_t, Held> held_;  // by keysym, under the display lock
    std::map<int, Binding> bindings_;     // by keycode, under the display lock
    std::uint64_t uses_ = 0;
    std::mutex scrollLock_;
    std::int64_t remainderV_ = 0;
    std::int64_t remainderH_ = 0;
    unsigned pressed_ = 0; // X buttons pressed by us, as a mask of 1 << button; under the display lock
    std::atomic<bool> warned_{false};
};

} // namespace

std::shared_ptr<InputInjector> makeX11InputInjector(const std::shared_ptr<X11Display>& x)
{
    return std::make_shared<X11InputInjector>(x);
}

} // namespace qb::x11
