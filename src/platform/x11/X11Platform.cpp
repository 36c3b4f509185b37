// The x11 platform: the main loop's X display connection for virtual
// displays and hotkeys, its events pumped on the main loop; capture and input
// injection open their own.
// No pacer windows: damage-driven capture delivers a frame whenever the
// picture changes.

#include <cstdlib>

#include "platform/CaptureStream.h"
#include "platform/GlobalHotkeys.h"
#include "platform/InputInjector.h"
#include "platform/PacerWindows.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "platform/x11/X11Platform.h"

namespace qb {

namespace {

class X11Desktop final : public Desktop {
public:
    X11Desktop(std::shared_ptr<x11::X11Display> x, std::string where)
        : x_(std::move(x))
        , where_(std::move(where))
        , capture_(x11::makeX11CaptureBackend(x_))
        , displays_(x11::makeX11VirtualDisplays(x_, removeDisplays_))
        , injector_(x11::makeX11InputInjector(x_))
        , hotkeys_(x11::makeX11GlobalHotkeys(x_, releaseHotkeys_))
    {
    }
    ~X11Desktop() override { stop(); }

    std::string_view name() const override { return "x11"; }
    std::string where() const override { return where_; }
    std::shared_ptr<CaptureBackend> captureBackend() override { return capture_; }
    std::shared_ptr<VirtualDisplays> virtualDisplays() override { return displays_; }
    std::shared_ptr<InputInjector> inputInjector() override { return injector_; }
    std::shared_ptr<GlobalHotkeys> globalHotkeys() override { return hotkeys_; }
    std::shared_ptr<PacerWindows> pacerWindows() override { return nullptr; }

    void stop() override
    {
        // Nothing of ours is left on a server that is gone.
        if (x_->lost()) return;
        if (releaseHotkeys_) releaseHotkeys_();
        if (removeDisplays_) removeDisplays_();
        x11::X11Display::Lock hold(*x_);
        XSync(x_->display(), False);
    }

    void onLost(std::function<void()> callback) override { x_->onLost(std::move(callback)); }

private:
    std::shared_ptr<x11::X11Display> x_;
    std::string where_;
    std::function<void()> removeDisplays_;
    std::function<void()> releaseHotkeys_;
    std::shared_ptr<CaptureBackend> capture_;
    std::shared_ptr<VirtualDisplays> displays_;
    std::shared_ptr<InputInjector> injector_;
    std::shared_ptr<GlobalHotkeys> hotkeys_;
};

} // namespace

std::shared_ptr<Desktop> makeX11Desktop(Executor mainLoop, const char* displayName, std::string* error)
{
    auto x = x11::X11Display::open(std::move(mainLoop), displayName, error);
    if (!x) return nullptr;
    const char* shown = displayName && *displayName ? displayName : std::getenv("DISPLAY");
    return std::make_shared<X11Desktop>(std::move(x), shown ? shown : "");
}

std::optional<std::string> probeX11Display(const std::string& display)
{
    if (display.empty()) return std::string("$DISPLAY is not set");
    Display* opened = XOpenDisplay(display.c_str());
    if (!opened) return "the X display " + display + " cannot be opened";
    XCloseDisplay(opened);
    return std::nullopt;
}

} // namespace qb
