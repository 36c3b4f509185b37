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

#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>

#include "diagnostics/PlatformLog.h"
#include "platform/InputInjector.h"
#include "platform/x11/X11Platform.h"
#include <X11/extensions/XTest.h>

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

    void postMouseEvent(MouseEventType type, Point location) override
    {
        if (!isTrusted() || !std::isfinite(location.x) || !std::isfinite(location.y)) return;
        const int x = clampCoordinate(location.x);
        const int y = clampCoordinate(location.y);
        X11Display::Lock hold(*x_);
        if (x_->lost()) return;
        Display* display = x_->display();
        XTestFakeMotionEvent(display, DefaultScreen(display), x, y, CurrentTime);
        if (type == MouseEventType::leftDown) {
            Window root = 0, child = 0;
            int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
            unsigned mask = 0;
            XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX, &windowY, &mask);
            pressed_ = rootX == x && rootY == y;
            if (pressed_) {
                XTestFakeButtonEvent(display, 1, True, CurrentTime);
            } else if (!warned_.exchange(true)) {
                platformLog(LogLevel::warn, "InputInjector",
                    "[InputInjector] The pointer cannot reach a display without a lit output of its own: "
                    "touches there are dropped");
            }
        }
        if (type == MouseEventType::leftUp && std::exchange(pressed_, false)) {
            XTestFakeButtonEvent(display, 1, False, CurrentTime);
        }
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

    std::shared_ptr<X11Display> x_;
    std::mutex scrollLock_;
    std::int64_t remainderV_ = 0;
    std::int64_t remainderH_ = 0;
    bool pressed_ = false; // under the display lock
    std::atomic<bool> warned_{false};
};

} // namespace

std::shared_ptr<InputInjector> makeX11InputInjector(const std::shared_ptr<X11Display>& x)
{
    return std::make_shared<X11InputInjector>(x);
}

} // namespace qb::x11
