#include "platform/Platform.h"

#include <cstdlib>

#include "diagnostics/PlatformLog.h"
#include "platform/Backlight.h"
#include "platform/DnsSd.h"
#include "platform/FontSettings.h"
#include "platform/HostPower.h"
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
    });
    registry.push_back({
        "sim",
        "the simulated desktop",
        [](const PlatformConfig&) { return false; },
        [](const PlatformConfig&) { return std::optional<std::string>(); },
        [](const PlatformConfig&, Executor, std::string*) { return makeSimDesktop(); },
        [](const PlatformConfig&) {
            log(LogLevel::info, "[Platform] Using the simulated desktop (QUILLBRIGHT_PLATFORM=sim)");
        },
        true,
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
    if (const auto home = environment("HOME"); !home.empty()) config.home = home;
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

const PlatformBackend* findPlatformBackend(std::string_view name)
{
    // GNOME's backend was named "wayland" once; settings and scripts that say so still get it.
    if (name == "wayland") name = "gnome";
    for (const auto& backend : platformBackends()) {
        if (backend.name == name) return &backend;
    }
    return nullptr;
}

std::shared_ptr<Platform> openPlatform(Executor mainLoop, const PlatformConfig& config)
{
    auto open = [&](const PlatformBackend& backend, std::shared_ptr<Desktop> desktop) {
        backend.announce(config);
        return std::make_shared<Platform>(std::move(desktop),
            backend.simulatedHost ? makeSimHost(config) : makeLinuxHost(config), config);
    };
    auto simulatedDesktop = [&] {
        return std::make_shared<Platform>(makeSimDesktop(), makeLinuxHost(config), config);
    };
    std::string error;
    if (!config.requested.empty()) {
        const PlatformBackend* backend = findPlatformBackend(config.requested);
        if (!backend) {
            log(LogLevel::warn, "[Platform] Unknown QUILLBRIGHT_PLATFORM '" + config.requested + "' — using sim");
            return std::make_shared<Platform>(makeSimDesktop(), makeSimHost(config), config);
        }
        if (auto desktop = backend->make(config, mainLoop, &error)) return open(*backend, std::move(desktop));
        log(LogLevel::error, "[Platform] QUILLBRIGHT_PLATFORM=" + config.requested + " but " + error
                + " — mirroring a simulated desktop");
        return simulatedDesktop();
    }
    std::vector<const PlatformBackend*> candidates;
    for (const auto& backend : platformBackends()) {
        if (backend.detect(config)) candidates.push_back(&backend);
    }
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        error.clear();
        if (auto desktop = candidates[i]->make(config, mainLoop, &error)) return open(*candidates[i], std::move(desktop));
        if (i + 1 < candidates.size()) {
            log(LogLevel::warn, "[Platform] " + error + " — trying " + std::string(candidates[i + 1]->title));
        }
    }
    log(LogLevel::warn, std::string(NO_DISPLAY_FALLBACK_LINE));
    return simulatedDesktop();
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

std::shared_ptr<Platform> makeSimPlatform()
{
    PlatformConfig config = PlatformConfig::fromEnvironment();
    config.requested = "sim";
    config.simBacklightFile.clear();
    return std::make_shared<Platform>(makeSimDesktop(), makeSimHost(), std::move(config));
}

} // namespace qb
