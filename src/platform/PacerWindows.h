// Screens, tiny always-on-top windows and display-link ticks: the platform
// service behind CompositorPacer.
//
// A screen is a display the desktop lays windows out on; its frame is in
// global points with y growing upwards (the top-left corner of a screen is
// (minX, maxY)). A mirrored display has no screen of its own.
//
// On Linux a screen is an XRandR monitor, the window an override-redirect
// window of the given size, and the display link a tick source driven by the
// monitor's refresh (Present / vblank), 30-60 Hz.
//
// Threads: every call, and every tick, on the main loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Platform.h"

namespace qb {

struct ScreenRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return x; }
    double maxY() const { return y + height; }
};

struct ScreenInfo {
    // The display the screen shows (the "screen number").
    std::uint32_t displayNumber = 0;
    ScreenRect frame;
};

struct WindowColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1.0;

    bool operator==(const WindowColor&) const = default;
};

// Window levels: 1000 is the screen-saver level, above normal windows.
inline constexpr int SCREEN_SAVER_WINDOW_LEVEL = 1000;

struct PacerWindowRequest {
    ScreenRect contentRect{0, 0, 4, 4};
    std::optional<ScreenInfo> screen; // none: the main screen
    bool borderless = true;
    bool opaque = false;
    bool hasShadow = false;
    bool ignoresMouseEvents = true; // clicks pass through
    int level = SCREEN_SAVER_WINDOW_LEVEL;
    bool joinsAllSpaces = true; // shown on every workspace, stationary
    WindowColor background{};
};

class PacerWindow {
public:
    virtual ~PacerWindow() = default;
    virtual void setFrameOrigin(double x, double y) = 0;
    // Brings the window to the front without activating the application.
    virtual void orderFrontRegardless() = 0;
    virtual void setBackgroundColor(const WindowColor& color) = 0;
    // Closes the window; later calls do nothing. Destruction closes it too.
    virtual void close() = 0;
};

struct FrameRateRange {
    float minimum = 30;
    float maximum = 60;
    float preferred = 60;
};

// A running tick source; invalidate() (or destruction) stops it, and once it
// returns no tick starts again.
class DisplayLink {
public:
    virtual ~DisplayLink() = default;
    virtual void invalidate() = 0;
};

class PacerWindows {
public:
    virtual ~PacerWindows() = default;

    // Every screen, in the platform's order.
    virtual std::vector<ScreenInfo> screens() = 0;
    // The screen with the keyboard focus's window (normally the primary one).
    virtual std::optional<ScreenInfo> mainScreen() = 0;

    // Windows of this application never merge into tabs.
    virtual void disableAutomaticWindowTabbing() = 0;
    virtual std::unique_ptr<PacerWindow> makeWindow(const PacerWindowRequest& request) = 0;

    // Ticks at the refresh of the display's screen, on the main loop;
    // nullptr when the display has no screen.
    virtual std::unique_ptr<DisplayLink> makeDisplayLink(std::uint32_t displayNumber, FrameRateRange range,
        std::function<void()> tick) = 0;
};

} // namespace qb
