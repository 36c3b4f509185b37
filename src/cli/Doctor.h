// `quillbright doctor`: what this computer still needs before mirroring
// works, one line per piece and, for each missing one, what to do:
//
//   adb         found, and it runs (its version)
//   USB access  a udev rule that lets this user open Android devices
//               (and the plugdev group when the rule relies on it)
//   desktop     the desktop backend the daemon would use, and its server is there
//   power, backlight, font-settings, dns-sd
//               which backend provides each host service; a simulated one
//               on a real desktop is missing, and so is logind when it does
//               not answer on the system bus (keeping the computer awake, the lid)
//   ports       the fixed ports are free, or who holds them
//
// Every probe reads the paths and values of DoctorSetup, so tests take each
// piece away in turn.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "config/Ports.h"
#include "platform/Platform.h"

namespace qb::cli {

struct DoctorSetup {
    // The adb the daemon would use; nothing when none was found.
    std::optional<std::string> adbPath;
    double adbTimeoutSeconds = 10;
    std::vector<std::filesystem::path> udevRuleDirectories{
        "/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
    bool root = false;
    std::vector<std::string> groups; // this user's group names
    std::string platform;            // QUILLBRIGHT_PLATFORM: "gnome", "x11", "sim"; empty: detect
    std::string display;             // $DISPLAY
    std::string waylandDisplay;      // $WAYLAND_DISPLAY
    std::string swaySocket;          // $SWAYSOCK
    bool wlrootsSession = false;     // $SWAYSOCK set, or the compositor advertises wlroots' globals
    bool kdeSession = false;         // $XDG_CURRENT_DESKTOP names KDE, or KWin answers
    std::filesystem::path x11SocketDirectory = "/tmp/.X11-unix";
    // Nothing when Mutter's remote-desktop services answer on the session
    // bus, else why not ("GNOME remote desktop service not available: ...").
    std::function<std::optional<std::string>()> gnomeUnreachable;
    // Nothing when the Wayland compositor offers wlroots' screencopy, else why not.
    std::function<std::optional<std::string>()> wlrootsUnreachable;
    // Nothing when KWin offers this program its screencast, else why not.
    std::function<std::optional<std::string>()> kdeUnreachable;
    // Nothing when logind answers, else why not.
    std::function<std::optional<std::string>()> logindUnreachable;
    // This program as the user runs it, for the commands the hints name.
    std::string program = "quillbright";
    // Nothing when avahi-daemon answers, else why not (naming the daemon).
    std::function<std::optional<std::string>()> avahiUnreachable;
    // The host services the daemon would use: capability, provider, simulated.
    std::vector<PlatformCapability> host;
    std::vector<std::pair<std::uint16_t, std::string>> ports{{STREAM_PORT, "video stream"},
        {WEBSOCKET_PREVIEW_PORT, "WebSocket preview"}, {HTTP_PREVIEW_PORT, "HTTP server"}, {INPUT_PORT, "touch input"}};
    // Names who holds a busy port ("" when unknown).
    std::function<std::string(std::uint16_t)> portHolder;
    // This user's QuillBright daemon, when one runs: the ports it holds are fine.
    std::optional<std::int64_t> runningDaemonPid;

    // This computer, this user, this environment.
    static DoctorSetup fromEnvironment();
};

struct DoctorFinding {
    std::string subject; // "adb", "USB access", ...
    bool ok = false;
    std::string detail;  // what was found, or what is missing
    std::string hint;    // what to do (missing pieces only)
};

std::vector<DoctorFinding> examine(const DoctorSetup& setup);

// Prints the findings; 0 when nothing is missing, 1 otherwise.
int commandDoctor(const DoctorSetup& setup, std::ostream& out);

// Whether nothing listens on `port` (any address, IPv4 or IPv6).
bool portFree(std::uint16_t port);

} // namespace qb::cli
