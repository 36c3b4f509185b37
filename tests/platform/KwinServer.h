// A private headless KWin for the kde backend's tests: the private session
// of MutterServer.h (its bus, PipeWire and WirePlumber) running
// `kwin_wayland --virtual` with one output (1280x800 unless told). The installed binary
// carries a file capability a container cannot grant, so a copy of it runs;
// KWIN_WAYLAND_NO_PERMISSION_CHECKS lets the test process use KWin's
// screencast and fake input without a desktop file (tests only). While the
// object lives, this process has WAYLAND_DISPLAY, XDG_RUNTIME_DIR and
// DBUS_SESSION_BUS_ADDRESS pointing at it. Where KWin is not installed,
// `skipReason` says so and tests skip.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/MutterServer.h"

namespace qb::test {

class KwinServer : public PrivateSession {
public:
    static constexpr const char* WAYLAND_NAME = "qb-kwin-test";

    explicit KwinServer(std::size_t width = 1280, std::size_t height = 800)
    {
        namespace fs = std::filesystem;
        if (!fs::exists("/usr/bin/kwin_wayland") || !fs::exists("/usr/bin/pipewire")) {
            skipReason = "kwin_wayland is not installed (packages kwin-wayland, pipewire, wireplumber)";
            return;
        }
        if (!makeDirectory("kwin")) return;
        std::error_code error;
        fs::copy_file("/usr/bin/kwin_wayland", directory / "kwin_wayland", error);
        if (error) {
            failure = "cannot copy kwin_wayland: " + error.message();
            return;
        }
        if (!startSession("HOME=\"$QB_RIG\" XDG_CONFIG_HOME=\"$QB_RIG/config\" "
                "KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 \"$QB_RIG/kwin_wayland\" --virtual --no-lockscreen "
                "--no-global-shortcuts --no-kactivities --socket "
                + std::string(WAYLAND_NAME) + " --width " + std::to_string(width) + " --height "
                + std::to_string(height))) {
            return;
        }
        exportVariable("WAYLAND_DISPLAY", WAYLAND_NAME);
        if (!eventually([&] { return fs::exists(directory / WAYLAND_NAME) && fs::exists(directory / "pipewire-0"); },
                std::chrono::seconds(30), std::chrono::milliseconds(20))) {
            failure = "kwin did not come up: " + log();
        }
    }
    ~KwinServer() { stopSession(); }

    std::string log() const { return readFile(directory / "compositor.log"); }
};

} // namespace qb::test
