// The x11 backend's services, built on one shared X11Display.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/x11/X11Display.h"

namespace qb {
class CaptureBackend;
class VirtualDisplays;
class InputInjector;
class GlobalHotkeys;
} // namespace qb

namespace qb::x11 {

// `removeAll` is set to a function removing every display still present (for Platform::stop).
std::shared_ptr<VirtualDisplays> makeX11VirtualDisplays(const std::shared_ptr<X11Display>& x,
    std::function<void()>& removeAll);
std::shared_ptr<CaptureBackend> makeX11CaptureBackend(const std::shared_ptr<X11Display>& x);
// Pixels of scrolling one wheel click stands for.
inline constexpr std::int64_t X11_SCROLL_PIXELS_PER_CLICK = 40;

std::shared_ptr<InputInjector> makeX11InputInjector(const std::shared_ptr<X11Display>& x);

// Hotkeys grabbed on the root window; `releaseAll` drops every grab.
std::shared_ptr<GlobalHotkeys> makeX11GlobalHotkeys(const std::shared_ptr<X11Display>& x,
    std::function<void()>& releaseAll);

} // namespace qb::x11
