// Global hotkeys: XGrabKey on the root window, once per combination of the
// lock modifiers (Caps Lock, Num Lock, Scroll Lock) so none of them stops a
// match; KeyPress events reach the handlers through the display's pump on
// the main loop.

#include <map>
#include <vector>

#include <fmt/format.h>

#include "platform/GlobalHotkeys.h"
#include "platform/x11/X11Platform.h"
#include <X11/XKBlib.h>
#include <X11/keysym.h>

namespace qb::x11 {

namespace {

unsigned int modifierMask(Display* display, KeySym keysym)
{
    const KeyCode keycode = XKeysymToKeycode(display, keysym);
    if (keycode == 0) return 0;
    XModifierKeymap* map = XGetModifierMapping(display);
    unsigned int mask = 0;
    for (int modifier = 0; modifier < 8 && map; ++modifier) {
        for (int k = 0; k < map->max_keypermod; ++k) {
            if (map->modifiermap[modifier * map->max_keypermod + k] == keycode) mask = 1U << modifier;
        }
    }
    if (map) XFreeModifiermap(map);
    return mask;
}

class X11GlobalHotkeys final : public GlobalHotkeys, public std::enable_shared_from_this<X11GlobalHotkeys> {
public:
    explicit X11GlobalHotkeys(std::shared_ptr<X11Display> x) : x_(std::move(x)) {}

    ~X11GlobalHotkeys() override
    {
        releaseAll();
        if (listener_) x_->removeListener(listener_);
    }

    void attach()
    {
        std::weak_ptr<X11GlobalHotkeys> weak = weak_from_this();
        listener_ = x_->addListener([weak](const XEvent& event) {
            if (event.type != KeyPress) return;
            if (auto self = weak.lock()) self->dispatch(event.xkey);
        });
    }

    Registration registerHotkey(Hotkey key, Handler handler, std::string* error) override
    {
        Display* display = x_->display();
        X11Display::Lock hold(*x_);
        const KeyCode keycode = XKeysymToKeycode(display, KeySym(key.keysym));
        if (keycode == 0) {
            if (error) *error = fmt::format("no key produces keysym 0x{:X}", key.keysym);
            return 0;
        }
        const unsigned int modifiers = xModifiers(key.modifiers);
        const std::vector<unsigned int> variants = lockVariants(display);
        const int code = x_->trapErrors([&] {
            for (unsigned int locks : variants) {
                XGrabKey(display, keycode, modifiers | locks, x_->root(), False, GrabModeAsync, GrabModeAsync);
            }
        });
        if (code != 0) {
            x_->trapErrors([&] {
                for (unsigned int locks : variants) XUngrabKey(display, keycode, modifiers | locks, x_->root());
            });
            if (error) {
                *error = code == BadAccess ? "another client has grabbed the key"
                                           : fmt::format("XGrabKey failed with X error {}", code);
            }
            return 0;
        }
        const Registration id = nextId_++;
        grabs_.emplace(id, Grab{keycode, modifiers, variants, std::move(handler)});
        return id;
    }

    void unregisterHotkey(Registration registration) override
    {
        X11Display::Lock hold(*x_);
        auto it = grabs_.find(registration);
        if (it == grabs_.end()) return;
        ungrab(it->second);
        grabs_.erase(it);
    }

    void releaseAll()
    {
        X11Display::Lock hold(*x_);
        for (auto& [id, grab] : grabs_) ungrab(grab);
        grabs_.clear();
    }

private:
    struct Grab {
        KeyCode keycode;
        unsigned int modifiers;
        std::vector<unsigned int> variants;
        Handler handler;
    };

    static unsigned int xModifiers(std::uint32_t modifiers)
    {
        unsigned int mask = 0;
        if (modifiers & hotkeyControl) mask |= ControlMask;
        if (modifiers & hotkeyShift) mask |= ShiftMask;
        if (modifiers & hotkeyAlt) mask |= Mod1Mask;
        if (modifiers & hotkeySuper) mask |= Mod4Mask;
        return mask;
    }

    // Every subset of the lock modifiers present on this keyboard.
    static std::vector<unsigned int> lockVariants(Display* display)
    {
        std::vector<unsigned int> locks{LockMask};
        if (unsigned int num = modifierMask(display, XK_Num_Lock)) locks.push_back(num);
        if (unsigned int scroll = modifierMask(display, XK_Scroll_Lock)) locks.push_back(scroll);
        std::vector<unsigned int> variants{0};
        for (unsigned int lock : locks) {
            const std::size_t n = variants.size();
            for (std::size_t i = 0; i < n; ++i) variants.push_back(variants[i] | lock);
        }
        return variants;
    }

    void ungrab(const Grab& grab)
    {
        x_->trapErrors([&] {
            for (unsigned int locks : grab.variants) {
                XUngrabKey(x_->display(), grab.keycode, grab.modifiers | locks, x_->root());
            }
        });
    }

    void dispatch(const XKeyEvent& event)
    {
        std::vector<Handler> matched;
        {
            X11Display::Lock hold(*x_);
            for (auto& [id, grab] : grabs_) {
                if (grab.keycode != event.keycode) continue;
                for (unsigned int locks : grab.variants) {
                    if ((grab.modifiers | locks) == (event.state & 0xFF)) {
                        matched.push_back(grab.handler);
                        break;
                    }
                }
            }
        }
        for (auto& handler : matched) handler();
    }

    std::shared_ptr<X11Display> x_;
    std::uint64_t listener_ = 0;
    std::map<Registration, Grab> grabs_; // under the display lock
    Registration nextId_ = 1;
};

} // namespace

std::shared_ptr<GlobalHotkeys> makeX11GlobalHotkeys(const std::shared_ptr<X11Display>& x,
    std::function<void()>& releaseAll)
{
    auto hotkeys = std::make_shared<X11GlobalHotkeys>(x);
    hotkeys->attach();
    std::weak_ptr<X11GlobalHotkeys> weak = hotkeys;
    releaseAll = [weak] {
        if (auto self = weak.lock()) self->releaseAll();
    };
    return hotkeys;
}

} // namespace qb::x11
