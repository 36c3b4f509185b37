// Virtual displays and input injection on KDE Plasma (KWin on Wayland), and
// the desktop that hands them out with the capture. No global key grabs
// exist for a Wayland client (the shortcuts are the user's, see `hotkeys`),
// and no pacer windows are needed: KWin's streams push a picture whenever
// the output changed.

#include "platform/OutputDesktopServices.h"
#include "platform/Platform.h"
#include "platform/kde/KdeConnection.h"
#include "platform/kde/KdeDesktop.h"

namespace qb::kde {

namespace {

class KdePlatform final : public Desktop {
public:
    KdePlatform(std::shared_ptr<KdeDesktop> desktop, Executor mainLoop)
        : desktop_(std::move(desktop))
        , mainLoop_(std::move(mainLoop))
        , capture_(makePushedCaptureBackend(desktop_,
              {"screencast stream", "KWin does not let QuillBright stream the screen.",
                  "KWin offers no picture of this output — it may be offline."}))
        , displays_(std::make_shared<OutputVirtualDisplays<KdeDesktop>>(desktop_))
        , injector_(std::make_shared<OutputInputInjector<KdeDesktop>>(desktop_))
    {
    }
    ~KdePlatform() override { stop(); }

    std::string_view name() const override { return "kde"; }
    std::string where() const override
    {
        return desktop_->canInject() ? "KWin (screencast and fake input)" : "KWin (screencast; no fake input)";
    }
    std::shared_ptr<CaptureBackend> captureBackend() override { return capture_; }
    std::shared_ptr<VirtualDisplays> virtualDisplays() override { return displays_; }
    std::shared_ptr<InputInjector> inputInjector() override { return injector_; }
    std::shared_ptr<GlobalHotkeys> globalHotkeys() override { return nullptr; }
    std::shared_ptr<PacerWindows> pacerWindows() override { return nullptr; }

    void stop() override { desktop_->removeAll(); }
    void onLost(std::function<void()> callback) override
    {
        desktop_->onLost([loop = mainLoop_, callback = std::move(callback)] { asio::post(loop, callback); });
    }

private:
    std::shared_ptr<KdeDesktop> desktop_;
    Executor mainLoop_;
    std::shared_ptr<CaptureBackend> capture_;
    std::shared_ptr<VirtualDisplays> displays_;
    std::shared_ptr<InputInjector> injector_;
};

} // namespace

} // namespace qb::kde

namespace qb {

std::shared_ptr<Desktop> makeKdeDesktop(const PlatformConfig& config, Executor mainLoop, std::string* error)
{
    auto desktop = kde::KdeDesktop::open(config.waylandDisplay, error);
    if (!desktop) return nullptr;
    return std::make_shared<kde::KdePlatform>(std::move(desktop), std::move(mainLoop));
}

std::optional<std::string> probeKdeDesktop(const PlatformConfig& config)
{
    if (config.waylandDisplay.empty()) return std::string("$WAYLAND_DISPLAY is not set");
    std::string error;
    if (!kde::KdeConnection::connect(config.waylandDisplay, &error)) return error;
    return std::nullopt;
}

} // namespace qb
