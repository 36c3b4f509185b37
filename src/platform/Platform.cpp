#include "platform/Platform.h"

#include <cstdlib>

#include "diagnostics/PlatformLog.h"
#include "platform/Backlight.h"
#include "platform/DnsSd.h"
#include "platform/FontSettings.h"
#include "platform/HostPower.h"
#include "platform/UserFolders.h"
#include "platform/gnome/GnomeShortcuts.h"
#include "platform/gnome/MutterBus.h"

namespace qb {

// Defined with each backend (x11/X11Platform.cpp).
std::optional<std::string> probeX11Display(const std::string& display);

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

void log(LogLevel level, const std::string& line) { platformLog(level, "Platform", line); }

std::vector<PlatformBackend> makeRegistry()
{
    std::vector<PlatformBackend> registry;
    registry.push_back({
        "wlroots",
        "sway (wlroots)",
        [](const PlatformConfig& config) { return wlrootsSession(config); },
        [](const PlatformConfig& config) { return probeWlrootsDesktop(config); },
        [](const PlatformConfig& config, Executor mainLoop, std::string* error) {
            return makeWlrootsDesktop(config, std::move(mainLoop), error);
        },
        [](const PlatformConfig& config) {
            if (config.swaySocket.empty()) {
                log(LogLevel::warn, std::string(WLROOTS_WITHOUT_SWAY_LINE));
                return;
            }
            log(LogLevel::info, "[Platform] Using sway (wlroots screencopy and virtual pointer, outputs over "
                    + config.swaySocket + ")");
        },
        nullptr, // the Linux host's services
    });
    registry.push_back({
        "kde",
        "KDE Plasma (KWin)",
        [](const PlatformConfig& config) {
            return !config.waylandDisplay.empty() && (kdeSession(config) || !probeKdeDesktop(config));
        },
        [](const PlatformConfig& config) { return probeKdeDesktop(config); },
        [](const PlatformConfig& config, Executor mainLoop, std::string* error) {
            return makeKdeDesktop(config, std::move(mainLoop), error);
        },
        [](const PlatformConfig& config) {
            log(LogLevel::info, "[Platform] Using KDE Plasma (KWin screencast and fake input, display "
                    + config.waylandDisplay + ")");
        },
        nullptr, // the Linux host's services
    });
    registry.push_back({
        "gnome",
        "GNOME on Wayland",
        [](const PlatformConfig& config) { return !config.waylandDisplay.empty(); },
        [](const PlatformConfig&) -> std::optional<std::string> {
            std::string error;
            if (gnome::MutterBus::connect(&error)) return std::nullopt;
            return error;
        },
        [](const PlatformConfig&, Executor mainLoop, std::string* error) {
            return makeGnomeDesktop(std::move(mainLoop), error);
        },
        [](const PlatformConfig& config) {
            log(LogLevel::info, "[Platform] Using GNOME on Wayland (Mutter remote desktop and screen cast"
                    + (config.waylandDisplay.empty() ? std::string() : ", display " + config.waylandDisplay) + ")");
            // Once per start, until the user adds the shortcuts.
            if (!gnome::shortcutsInstalled().value_or(true)) {
                log(LogLevel::info, std::string(gnome::SHORTCUTS_HINT_LINE));
            }
        },
        nullptr, // the Linux host's services
    });
    registry.push_back({
        "x11",
        "X11",
        [](const PlatformConfig&) { return true; },
        [](const PlatformConfig& config) { return probeX11Display(config.display); },
        [](const PlatformConfig& config, Executor mainLoop, std::string* error) {
            return makeX11Desktop(std::move(mainLoop), config.display.c_str(), error);
        },
        [](const PlatformConfig& config) {
            log(LogLevel::info, "[Platform] Using the X11 desktop on display " + config.display);
        },
        nullptr, // the Linux host's services
    });
    return registry;
}

} // namespace

bool kdeSession(const PlatformConfig& config)
{
    // A colon-separated list ("KDE", "ubuntu:KDE").
    const std::string names = ":" + config.currentDesktop + ":";
    return !config.waylandDisplay.empty() && names.find(":KDE:") != std::string::npos;
}

PlatformConfig PlatformConfig::fromEnvironment()
{
    PlatformConfig config;
    config.requested = environment("QUILLBRIGHT_PLATFORM");
    config.display = environment("DISPLAY");
    config.waylandDisplay = environment("WAYLAND_DISPLAY");
    config.swaySocket = environment("SWAYSOCK");
    config.currentDesktop = environment("XDG_CURRENT_DESKTOP");
    if (const auto root = environment("QUILLBRIGHT_SYSFS_ROOT"); !root.empty()) config.sysfsRoot = root;
    config.systemBusAddress = environment("DBUS_SYSTEM_BUS_ADDRESS");
    config.simBacklightFile = environment("QUILLBRIGHT_SIM_BACKLIGHT");
    if (const auto home = UserFolders::current().home; !home.empty()) config.home = home;
    config.updateHost = environment("QUILLBRIGHT_UPDATE_HOST");
    return config;
}

Platform::Platform(std::shared_ptr<Desktop> desktop, HostServices host, PlatformConfig config)
    : desktop_(std::move(desktop)), host_(std::move(host)), config_(std::move(config))
{
}

Platform::~Platform() = default;

bool Platform::simulatedDesktop() const { return desktop_->name() == "sim"; }

void Platform::stop()
{
    desktop_->stop();
    host_.backlight->flush(std::chrono::seconds(6));
}

std::shared_ptr<DnsSd> Platform::dnsSd(Executor deliverOn)
{
    if (!dnsSd_) dnsSd_ = host_.dnsSd(std::move(deliverOn));
    return dnsSd_;
}

std::vector<PlatformCapability> Platform::capabilities() const
{
    const std::string where = desktop_->where();
    std::vector<PlatformCapability> capabilities;
    capabilities.push_back({"desktop", std::string(desktop_->name()) + (where.empty() ? "" : " " + where),
        simulatedDesktop()});
    for (auto& capability : hostCapabilities(host_)) capabilities.push_back(std::move(capability));
    return capabilities;
}

std::vector<PlatformCapability> hostCapabilities(const HostServices& host)
{
    return {{"power", host.power->provider(), host.simulated},
        {"backlight", host.backlight->provider(), host.simulated},
        {"font-settings", host.fontSettings->provider(), host.simulated},
        {"dns-sd", host.dnsSdProvider, host.simulated}};
}

const std::vector<PlatformBackend>& platformBackends()
{
    static const std::vector<PlatformBackend> registry = makeRegistry();
    return registry;
}

const PlatformBackend* findPlatformBackend(std::string_view name, const std::vector<PlatformBackend>& backends)
{
    // GNOME's backend was named "wayland" once; settings and scripts that say so still get it.
    if (name == "wayland") name = "gnome";
    for (const auto& backend : backends) {
        if (backend.name == name) return &backend;
    }
    return nullptr;
}

std::string noDesktopText(const std::string& problems)
{
    std::string lookedFor;
    for (const auto& backend : platformBackends()) {
        lookedFor += (lookedFor.empty() ? "" : ", ") + std::string(backend.title);
    }
    return "No desktop to mirror: looked for " + lookedFor + (problems.empty() ? "" : " (" + problems + ")");
}

std::shared_ptr<Platform> openPlatform(Executor mainLoop, const PlatformConfig& config,
    const std::vector<PlatformBackend>& backends, std::string* error)
{
    std::string names;
    for (const auto& backend : backends) names += (names.empty() ? "" : ", ") + std::string(backend.name);
    const auto fail = [&](const std::string& why) -> std::shared_ptr<Platform> {
        log(LogLevel::error, "[Platform] " + why);
        log(LogLevel::error, "[Platform] " + std::string(NO_DESKTOP_HINT) + " (" + names + ")");
        if (error) *error = why;
        return nullptr;
    };
    std::string problem;
    if (!config.requested.empty()) {
        const PlatformBackend* backend = findPlatformBackend(config.requested, backends);
        if (!backend) return fail("Unknown QUILLBRIGHT_PLATFORM '" + config.requested + "' (one of " + names + ")");
        if (auto desktop = backend->make(config, mainLoop, &problem)) {
            backend->announce(config);
            return std::make_shared<Platform>(std::move(desktop),
                backend->host ? backend->host(config) : makeLinuxHost(config), config);
        }
        return fail("QUILLBRIGHT_PLATFORM=" + config.requested + " but " + problem);
    }
    std::vector<const PlatformBackend*> candidates;
    for (const auto& backend : backends) {
        if (backend.detect(config)) candidates.push_back(&backend);
    }
    std::string problems;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        problem.clear();
        if (auto desktop = candidates[i]->make(config, mainLoop, &problem)) {
            candidates[i]->announce(config);
            return std::make_shared<Platform>(std::move(desktop), makeLinuxHost(config), config);
        }
        problems += (problems.empty() ? "" : "; ") + std::string(candidates[i]->title) + ": " + problem;
        if (i + 1 < candidates.size()) {
            log(LogLevel::warn, "[Platform] " + problem + " — trying " + std::string(candidates[i + 1]->title));
        }
    }
    return fail(noDesktopText(problems));
}

PlatformChoice probePlatform(const PlatformConfig& config)
{
    PlatformChoice choice;
    if (!config.requested.empty()) {
        const PlatformBackend* backend = findPlatformBackend(config.requested);
        if (!backend) {
            choice.problem = "unknown desktop backend \"" + config.requested + "\"";
            return choice;
        }
        if (auto problem = backend->probe(config)) {
            choice.problem = *problem;
        } else {
            choice.backend = backend;
        }
        return choice;
    }
    for (const auto& backend : platformBackends()) {
        if (!backend.detect(config)) continue;
        auto problem = backend.probe(config);
        if (!problem) {
            choice.backend = &backend;
            return choice;
        }
        choice.problem += (choice.problem.empty() ? "" : "; ") + *problem;
    }
    if (choice.problem.empty()) choice.problem = "no desktop session found";
    return choice;
}

} // namespace qb
