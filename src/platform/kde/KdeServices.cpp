// The desktop of KDE Plasma (KWin on Wayland): screencast streams of outputs
// and of virtual outputs KWin adds, fake input. The shortcuts are the
// user's (see `hotkeys`).

#include "platform/OutputDesktopServices.h"
#include "platform/Platform.h"
#include "platform/kde/KdeConnection.h"
#include "platform/kde/KdeDesktop.h"

namespace qb {

std::shared_ptr<Desktop> makeKdeDesktop(const PlatformConfig& config, Executor mainLoop, std::string* error)
{
    auto desktop = kde::KdeDesktop::open(config.waylandDisplay, error);
    if (!desktop) return nullptr;
    return std::make_shared<OutputDesktop<kde::KdeDesktop>>("kde", std::move(desktop), std::move(mainLoop),
        CaptureWords{"screencast stream", "KWin does not let QuillBright stream the screen.",
            "KWin offers no picture of this output — it may be offline."},
        [](const kde::KdeDesktop& desktop) -> std::string {
            return desktop.canInject() ? "KWin (screencast and fake input)" : "KWin (screencast; no fake input)";
        });
}

std::optional<std::string> probeKdeDesktop(const PlatformConfig& config)
{
    if (config.waylandDisplay.empty()) return std::string("$WAYLAND_DISPLAY is not set");
    std::string error;
    if (!kde::KdeConnection::connect(config.waylandDisplay, &error)) return error;
    return std::nullopt;
}

} // namespace qb
