// The desktop of a wlroots compositor: screencopy capture, outputs added
// over sway's control socket, virtual pointers.

#include "platform/OutputDesktopServices.h"
#include "platform/Platform.h"
#include "platform/wlroots/WlrootsConnection.h"
#include "platform/wlroots/WlrootsDesktop.h"

namespace qb {

std::shared_ptr<Desktop> makeWlrootsDesktop(const PlatformConfig& config, Executor mainLoop, std::string* error)
{
    wlroots::WlrootsDesktop::Options options;
    options.waylandDisplay = config.waylandDisplay;
    options.swaySocket = config.swaySocket;
    options.recordFile = config.home / ".quillbright" / "sway_outputs";
    auto desktop = wlroots::WlrootsDesktop::open(options, error);
    if (!desktop) return nullptr;
    return std::make_shared<OutputDesktop<wlroots::WlrootsDesktop>>("wlroots", std::move(desktop), std::move(mainLoop),
        CaptureWords{"screencopy stream", "The compositor does not let QuillBright copy the screen.",
            "The compositor offers no picture of this output — it may be offline."},
        [](const wlroots::WlrootsDesktop& desktop) -> std::string {
            return desktop.canAddOutputs() ? "sway" : "wlroots compositor (capture and input; no added outputs)";
        });
}

} // namespace qb

namespace qb {

std::optional<std::string> probeWlrootsDesktop(const PlatformConfig& config)
{
    if (config.waylandDisplay.empty()) return std::string("$WAYLAND_DISPLAY is not set");
    std::string error;
    if (!wlroots::WlrootsConnection::connect(config.waylandDisplay, &error)) return error;
    return std::nullopt;
}

bool wlrootsSession(const PlatformConfig& config)
{
    if (config.waylandDisplay.empty()) return false;
    return !config.swaySocket.empty() || wlroots::advertisesWlrootsGlobals(config.waylandDisplay);
}

} // namespace qb
