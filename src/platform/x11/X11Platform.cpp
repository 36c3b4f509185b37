// The x11 platform: one X display connection shared by capture, virtual
// displays, input injection and hotkeys, its events pumped on the main loop.
// No pacer windows: damage-driven capture delivers a frame whenever the
// picture changes.

#include "platform/CaptureStream.h"
#include "platform/GlobalHotkeys.h"
#include "platform/InputInjector.h"
#include "platform/PacerWindows.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "platform/x11/X11Platform.h"

namespace qb {

namespace {

class X11Platform final : public Platform {
public:
    explicit X11Platform(std::shared_ptr<x11::X11Display> x)
        : x_(std::move(x))
        , capture_(x11::makeX11CaptureBackend(x_))
        , displays_(x11::makeX11VirtualDisplays(x_, removeDisplays_))
        , injector_(x11::makeX11InputInjector(x_))
        , hotkeys_(x11::makeX11GlobalHotkeys(x_, releaseHotkeys_))
    {
    }
    ~X11Platform() override { stop(); }

    PlatformKind kind() const override { return PlatformKind::x11; }
    std::shared_ptr<CaptureBackend> captureBackend() override { return capture_; }
    std::shared_ptr<VirtualDisplays> virtualDisplays() override { return displays_; }
    std::shared_ptr<InputInjector> inputInjector() override { return injector_; }
    std::shared_ptr<GlobalHotkeys> globalHotkeys() override { return hotkeys_; }
    std::shared_ptr<PacerWindows> pacerWindows() override { return nullptr; }

    void stop() override
    {
        if (releaseHotkeys_) releaseHotkeys_();
        if (removeDisplays_) removeDisplays_();
        x11::X11Display::Lock hold(*x_);
        XSync(x_->display(), False);
    }

private:
    std::shared_ptr<x11::X11Display> x_;
    std::function<void()> removeDisplays_;
    std::function<void()> releaseHotkeys_;
    std::shared_ptr<CaptureBackend> capture_;
    std::shared_ptr<VirtualDisplays> displays_;
    std::shared_ptr<InputInjector> injector_;
    std::shared_ptr<GlobalHotkeys> hotkeys_;
};

} // namespace

std::shared_ptr<Platform> makeX11Platform(Executor mainLoop, const char* displayName, std::string* error)
{
    auto x = x11::X11Display::open(std::move(mainLoop), displayName, error);
    if (!x) return nullptr;
    return std::make_shared<X11Platform>(std::move(x));
}

} // namespace qb
