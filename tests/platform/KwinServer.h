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

class KwinServer {
public:
    static constexpr const char* WAYLAND_NAME = "qb-kwin-test";

    explicit KwinServer(std::size_t width = 1280, std::size_t height = 800)
    {
        namespace fs = std::filesystem;
        for (const char* name : SET_HERE) {
            if (const char* value = getenv(name)) saved_.emplace_back(name, value);
        }
        if (!fs::exists("/usr/bin/kwin_wayland") || !fs::exists("/usr/bin/pipewire")) {
            skipReason = "kwin_wayland is not installed (packages kwin-wayland, pipewire, wireplumber)";
            return;
        }
        char pattern[] = "/tmp/qb-kwin-XXXXXX";
        if (!mkdtemp(pattern)) {
            failure = "no temporary directory";
            return;
        }
        directory = pattern;
        ::chmod(pattern, 0700);
        std::error_code error;
        fs::copy_file("/usr/bin/kwin_wayland", directory / "kwin_wayland", error);
        if (error) {
            failure = "cannot copy kwin_wayland: " + error.message();
            return;
        }
        pid_ = startPrivateSession(directory, "HOME=\"$QB_RIG\" XDG_CONFIG_HOME=\"$QB_RIG/config\" "
                "KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 \"$QB_RIG/kwin_wayland\" --virtual --no-lockscreen "
                "--no-global-shortcuts --no-kactivities --socket "
                + std::string(WAYLAND_NAME) + " --width " + std::to_string(width) + " --height "
                + std::to_string(height));
        std::string address;
        eventually([&] { return bool(std::ifstream(directory / "bus") >> address); }, std::chrono::seconds(20),
            std::chrono::milliseconds(10));
        if (address.empty()) {
            failure = "dbus-run-session did not start";
            return;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", pattern, 1);
        setenv("WAYLAND_DISPLAY", WAYLAND_NAME, 1);
        if (!eventually([&] { return fs::exists(directory / WAYLAND_NAME) && fs::exists(directory / "pipewire-0"); },
                std::chrono::seconds(30), std::chrono::milliseconds(20))) {
            failure = "kwin did not come up: " + readFile(directory / "compositor.log");
        }
    }

    ~KwinServer()
    {
        stopPrivateSession(pid_, directory);
        std::error_code ignored;
        if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
        for (const char* name : SET_HERE) unsetenv(name);
        for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
    }

    KwinServer(const KwinServer&) = delete;
    KwinServer& operator=(const KwinServer&) = delete;

    std::string log() const { return readFile(directory / "compositor.log"); }

    std::string skipReason; // kwin missing: skip
    std::string failure;    // it is there but did not come up: fail
    std::filesystem::path directory;

private:
    static constexpr const char* SET_HERE[] = {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "WAYLAND_DISPLAY"};
    std::vector<std::pair<std::string, std::string>> saved_;
    pid_t pid_ = -1;
};

} // namespace qb::test
