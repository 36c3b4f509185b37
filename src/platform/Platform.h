// The platform layer: the only code that knows which operating system it runs
// on or reads the environment. Each service (capture stream, virtual
// displays, pacer windows, input injection, global hotkeys, DNS-SD, host
// power, backlight, font settings) is a small interface in its own header
// here. A `Platform` is the one source of all of them for the daemon's life:
//
//   desktop services  capture, virtual displays, input, hotkeys, pacer windows:
//                     one `Desktop` backend of the registry below
//   host services     logind power and lid, the panel's backlight, font
//                     settings, DNS-SD through Avahi: the Linux host's,
//                     whichever desktop runs
//
// The registry holds one entry per desktop backend:
//
//   kde      KDE Plasma on Wayland: KWin's screencast (streams and virtual
//            outputs over PipeWire) and fake input (platform/kde/)
//   wayland  GNOME on Wayland: Mutter's remote-desktop, screen-cast and
//            display-config services over D-Bus and PipeWire (platform/gnome/)
//   wlroots  sway and other wlroots compositors: screencopy, virtual
//            pointers, and outputs added over sway's control socket
//            (platform/wlroots/)
//   x11      an X server: Xlib, XShm, XDamage, XFixes, XRandR, XTest (platform/x11/)
//
// The simulated desktop (platform/sim/SimPlatform.h, a library of its own)
// is an entry only where the command line adds it, and only ever chosen by
// name.
//
// QUILLBRIGHT_PLATFORM names an entry; unset, the entries whose session is
// present (wlroots: $WAYLAND_DISPLAY and $SWAYSOCK set; kde: $WAYLAND_DISPLAY
// set and $XDG_CURRENT_DESKTOP naming KDE, or the compositor offering KWin's
// screencast; wayland: $WAYLAND_DISPLAY set; x11: always) are tried in order.
// When no desktop answers there is no platform: the daemon says which
// desktops it looked for and how to point it at one (noDesktopText) and
// does not mirror. Adding a desktop is adding an entry.
//
// Threads: openPlatform on the main thread, before the main loop runs; the
// accessors from any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Asio.h"

namespace qb {

class CaptureBackend;
class VirtualDisplays;
class InputInjector;
class GlobalHotkeys;
class PacerWindows;
class HostPower;
class Backlight;
class FontSettings;
class DnsSd;

// What the platform layer takes from the environment, read once at start-up.
struct PlatformConfig {
    std::string requested;      // QUILLBRIGHT_PLATFORM; empty: detect
    std::string display;        // DISPLAY
    std::string waylandDisplay; // WAYLAND_DISPLAY
    std::string swaySocket;     // SWAYSOCK
    std::string currentDesktop; // XDG_CURRENT_DESKTOP ("KDE", "GNOME", "sway")
    // The sysfs mount the backlight is found under (QUILLBRIGHT_SYSFS_ROOT,
    // for tests; default /sys).
    std::filesystem::path sysfsRoot = "/sys";
    // DBUS_SYSTEM_BUS_ADDRESS; empty: the system bus socket.
    std::string systemBusAddress;
    // The sim backlight's level file (QUILLBRIGHT_SIM_BACKLIGHT); empty: in memory.
    std::filesystem::path simBacklightFile;
    // The user's home (UserFolders; /tmp without one): where the daemon
    // keeps its recovery files.
    std::filesystem::path home = "/tmp";
    // QUILLBRIGHT_UPDATE_HOST: the release check's site; empty: the product's.
    std::string updateHost;

    static PlatformConfig fromEnvironment();
};

// One desktop backend's services on one connection to its desktop.
class Desktop {
public:
    virtual ~Desktop() = default;

    // The registry name ("x11", "gnome", "sim").
    virtual std::string_view name() const = 0;
    // Which desktop, for the report (":65", "GNOME (Mutter) on wayland-0").
    virtual std::string where() const { return {}; }

    virtual std::shared_ptr<CaptureBackend> captureBackend() = 0;
    virtual std::shared_ptr<VirtualDisplays> virtualDisplays() = 0;
    virtual std::shared_ptr<InputInjector> inputInjector() = 0;
    // Optional capabilities: nullptr when the backend has none.
    virtual std::shared_ptr<GlobalHotkeys> globalHotkeys() = 0;
    // Tiny always-on-top windows that keep a compositor producing frames of
    // an otherwise still display. Backends whose capture delivers a frame
    // whenever the picture changes (X11, Mutter) need none.
    virtual std::shared_ptr<PacerWindows> pacerWindows() = 0;

    // Releases what the backend holds on the desktop (key grabs, virtual
    // outputs still present) before the daemon exits. Idempotent.
    virtual void stop() = 0;
    // `callback` runs once on the main loop when the desktop goes away for
    // good (the display server ended: a logout, a crash). Backends that
    // cannot lose their desktop never call it.
    virtual void onLost(std::function<void()> callback) { (void)callback; }
    // `callback` runs on the main loop each time the desktop's compositor
    // leaves (true) and comes back (false) while the desktop lives on (a
    // compositor restart): what we had on it went with it, and a new start
    // works once it is back. Backends whose compositor cannot restart under
    // us never call it.
    virtual void onCompositorAway(std::function<void(bool away)> callback) { (void)callback; }
};

// The host services, the same whichever desktop runs.
struct HostServices {
    std::shared_ptr<HostPower> power;
    std::shared_ptr<Backlight> backlight;
    std::shared_ptr<FontSettings> fontSettings;
    // DNS-SD delivering on the executor given.
    std::function<std::shared_ptr<DnsSd>(Executor)> dnsSd;
    std::string dnsSdProvider; // "avahi", "sim"
    bool simulated = false;
};

// logind (one shared connection), sysfs backlight (written through logind),
// gsettings, Avahi.
HostServices makeLinuxHost(const PlatformConfig& config);

// "power: logind" and the like: which backend provides a capability.
struct PlatformCapability {
    std::string name;     // "desktop", "power", "backlight", "font-settings", "dns-sd"
    std::string provider; // "x11 :65", "logind", "sysfs intel_backlight", "avahi", "sim"
    bool simulated = false;
};

// The host's capabilities with their providers ("power", "logind", ...).
std::vector<PlatformCapability> hostCapabilities(const HostServices& host);

class Platform final {
public:
    Platform(std::shared_ptr<Desktop> desktop, HostServices host, PlatformConfig config = {});
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // What the environment said at start-up.
    const PlatformConfig& config() const { return config_; }

    // The desktop backend's registry name.
    std::string_view name() const { return desktop_->name(); }
    // The desktop is simulated (asked for, or no desktop answered).
    bool simulatedDesktop() const;

    std::shared_ptr<CaptureBackend> captureBackend() { return desktop_->captureBackend(); }
    std::shared_ptr<VirtualDisplays> virtualDisplays() { return desktop_->virtualDisplays(); }
    std::shared_ptr<InputInjector> inputInjector() { return desktop_->inputInjector(); }
    std::shared_ptr<GlobalHotkeys> globalHotkeys() { return desktop_->globalHotkeys(); }
    std::shared_ptr<PacerWindows> pacerWindows() { return desktop_->pacerWindows(); }

    std::shared_ptr<HostPower> hostPower() const { return host_.power; }
    std::shared_ptr<Backlight> backlight() const { return host_.backlight; }
    std::shared_ptr<FontSettings> fontSettings() const { return host_.fontSettings; }
    // One DnsSd per platform, delivering on the executor of the first call.
    std::shared_ptr<DnsSd> dnsSd(Executor deliverOn);

    // Every capability with its provider, desktop first.
    std::vector<PlatformCapability> capabilities() const;

    // The desktop's stop(), and the backlight's writes finished (at most
    // 6 s: one logind call). Idempotent.
    void stop();
    // The desktop went away for good; once, on the main loop.
    void onDesktopLost(std::function<void()> callback) { desktop_->onLost(std::move(callback)); }
    // The compositor went away (true) or came back (false); on the main loop.
    void onCompositorAway(std::function<void(bool)> callback) { desktop_->onCompositorAway(std::move(callback)); }

private:
    std::shared_ptr<Desktop> desktop_;
    HostServices host_;
    PlatformConfig config_;
    std::shared_ptr<DnsSd> dnsSd_;
};

// ---- The registry ----

struct PlatformBackend {
    std::string_view name;  // what QUILLBRIGHT_PLATFORM names
    std::string_view title; // for the log ("X11")
    // The session names this desktop, so detection tries it.
    std::function<bool(const PlatformConfig&)> detect;
    // Nothing when the desktop answers, else why not. Leaves the desktop as
    // it was (`doctor` asks while a daemon may run).
    std::function<std::optional<std::string>(const PlatformConfig&)> probe;
    // The desktop, or nullptr with `error` saying why.
    std::function<std::shared_ptr<Desktop>(const PlatformConfig&, Executor mainLoop, std::string* error)> make;
    // Logs the line saying this desktop is used.
    std::function<void(const PlatformConfig&)> announce;
    // Its own host services (the simulated desktop's are simulated too);
    // empty: the Linux host's.
    std::function<HostServices(const PlatformConfig&)> host;
};

// The real desktops, in detection order.
const std::vector<PlatformBackend>& platformBackends();
const PlatformBackend* findPlatformBackend(std::string_view name,
    const std::vector<PlatformBackend>& backends = platformBackends());

// The platform the daemon runs on, pumping desktop events on `mainLoop`,
// from `backends` (the command line adds the simulated desktop to the real
// ones). nullptr when the requested desktop is unknown or cannot be
// reached, or none is requested and none answers: `error` then says which
// desktops were looked for and how to point the daemon at one. Every choice
// is logged.
std::shared_ptr<Platform> openPlatform(Executor mainLoop, const PlatformConfig& config,
    const std::vector<PlatformBackend>& backends = platformBackends(), std::string* error = nullptr);

// What openPlatform would choose, without opening anything: the backend,
// and when no desktop answers, why (`doctor`).
struct PlatformChoice {
    const PlatformBackend* backend = nullptr; // nullptr: no desktop answered
    std::string problem;
};
PlatformChoice probePlatform(const PlatformConfig& config);

// No desktop to mirror: the real desktops looked for and what stood in the
// way (`problems`, may be empty). The daemon's error and `doctor`'s finding.
std::string noDesktopText(const std::string& problems);
// How to point the daemon at a desktop (the hint under noDesktopText).
inline constexpr std::string_view NO_DESKTOP_HINT =
    "Run it in your desktop session, or point it at one: WAYLAND_DISPLAY for sway, KDE or GNOME on Wayland, "
    "DISPLAY for X11 (for the user service: systemctl --user import-environment WAYLAND_DISPLAY DISPLAY "
    "XAUTHORITY), or name one with QUILLBRIGHT_PLATFORM";

// The desktops, for their own tests.
// On `displayName` (nullptr or empty: $DISPLAY), pumping its events on
// `mainLoop`; nullptr when the display cannot be opened, `error` saying why.
std::shared_ptr<Desktop> makeX11Desktop(Executor mainLoop, const char* displayName = nullptr,
    std::string* error = nullptr);
// On the session bus's Mutter; nullptr when its services or PipeWire cannot
// be reached, `error` then beginning "GNOME remote desktop service not available: ".
std::shared_ptr<Desktop> makeGnomeDesktop(Executor mainLoop, std::string* error = nullptr);

// On the Wayland display of config.waylandDisplay, with sway's control
// socket config.swaySocket when set; nullptr when the compositor cannot be
// reached or offers no screencopy, `error` saying why.
std::shared_ptr<Desktop> makeWlrootsDesktop(const PlatformConfig& config, Executor mainLoop,
    std::string* error = nullptr);
// Nothing when that compositor offers screencopy, else why not.
std::optional<std::string> probeWlrootsDesktop(const PlatformConfig& config);
// The session is a wlroots compositor: sway's control socket is set, or the
// compositor on config.waylandDisplay advertises screencopy and the virtual
// pointer manager (sway without $SWAYSOCK, or another wlroots compositor).
bool wlrootsSession(const PlatformConfig& config);

// On KWin at config.waylandDisplay; nullptr when it cannot be reached, or
// offers this program no screencast, or PipeWire is missing, `error` saying why.
std::shared_ptr<Desktop> makeKdeDesktop(const PlatformConfig& config, Executor mainLoop, std::string* error = nullptr);
// Nothing when the compositor offers this program KWin's screencast, else why not.
std::optional<std::string> probeKdeDesktop(const PlatformConfig& config);
// The session says it is KDE Plasma on Wayland ($XDG_CURRENT_DESKTOP).
bool kdeSession(const PlatformConfig& config);

// The line logged when a wlroots compositor is used without sway's control socket.
inline constexpr std::string_view WLROOTS_WITHOUT_SWAY_LINE =
    "[Platform] WARNING: this wlroots compositor has no sway control socket ($SWAYSOCK): QuillBright can capture "
    "its outputs and inject touches, but cannot add an output for the tablet — mirror mode still works";
// The line logged when extended mode asks such a compositor for an output of the tablet's own.
inline constexpr std::string_view WLROOTS_EXTENDED_REFUSED_LINE =
    "[VirtualDisplay] WARNING: extended mode refused: this wlroots compositor has no sway control socket "
    "($SWAYSOCK), so no output can be added for the tablet — it keeps mirroring the primary output";

} // namespace qb
