// Virtual displays and input injection on a wlroots compositor, and the
// desktop that hands them out with the capture. No global key grabs exist
// for a Wayland client, and no pacer windows are needed: screencopy answers
// whenever the output changed.

#include "platform/OutputDesktopServices.h"
#include "platform/Platform.h"
#include "platform/wlroots/WlrootsConnection.h"
#include "platform/wlroots/WlrootsDesktop.h"

namespace qb::wlroots {

namespace {

class WlrootsPlatform final : public Desktop {
public:
    WlrootsPlatform(std::shared_ptr<WlrootsDesktop> desktop, Executor mainLoop)
        : desktop_(std::move(desktop))
        , mainLoop_(std::move(mainLoop))
        , capture_(makePushedCaptureBackend(desktop_,
              {"screencopy stream", "The compositor does not let QuillBright copy the screen.",
                  "The compositor offers no picture of this output — it may be offline."}))
        , displays_(std::make_shared<OutputVirtualDisplays<WlrootsDesktop>>(desktop_))
        , injector_(std::make_shared<OutputInputInjector<WlrootsDesktop>>(desktop_))
    {
    }
    ~WlrootsPlatform() override { stop(); }

    std::string_view name() const override { return "wlroots"; }
    std::string where() const override
    {
        return desktop_->canAddOutputs() ? "sway" : "wlroots compositor (capture and input; no added outputs)";
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
    std::shared_ptr<WlrootsDesktop> desktop_;
    Executor mainLoop_;
    std::shared_ptr<CaptureBackend> capture_;
    std::shared_ptr<VirtualDisplays> displays_;
    std::shared_ptr<InputInjector> injector_;
};

} // namespace

} // namespace qb::wlroots

namespace qb {

std::shared_ptr<Desktop> makeWlrootsDesktop(const PlatformConfig& config, Executor mainLoop, std::string* error)
{
    wlroots::WlrootsDesktop::Options options;
    options.waylandDisplay = config.waylandDisplay;
    options.swaySocket = config.swaySocket;
    options.recordFile = config.home / ".quillbright" / "sway_outputs";
    auto desktop = wlroots::WlrootsDesktop::open(options, error);
    if (!desktop) return nullptr;
    return std::make_shared<wlroots::WlrootsPlatform>(std::move(desktop), std::move(mainLoop));
}

} // namespace qb

namespace qb {

std::optional<std::string> probeWlrootsDesktop(const PlatformConfig& config)
{
    if (config.waylandDisplay.empty()) return std::string("$WAYLAND_DISPLAY is not set");
    std::string error;
    if (!wlroots::WaylandConnection::connect(config.waylandDisplay, &error)) return error;
    return std::nullopt;
}

} // namespace qb
