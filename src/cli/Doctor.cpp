#include "cli/Doctor.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <boost/asio.hpp>
#include <fmt/format.h>
#include <grp.h>
#include <unistd.h>

#include "cli/CommandLine.h"
#include "core/RuntimePaths.h"
#include "device/ADBBridge.h"
#include "diagnostics/PlatformLog.h"
#include "host/PortChecker.h"
#include "platform/Platform.h"
#include "platform/sim/SimPlatform.h"
#include "platform/avahi/AvahiDnsSd.h"
#include "platform/gnome/MutterBus.h"
#include "platform/systemd/ServiceManager.h"
#include "runtime/Process.h"

namespace qb::cli {

namespace fs = std::filesystem;

namespace {

std::string lowercased(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string firstLine(const std::string& text)
{
    const auto start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return {};
    const auto end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

DoctorFinding checkADB(const DoctorSetup& setup)
{
    DoctorFinding finding{"adb", false, "", ""};
    if (!setup.adbPath) {
        finding.detail = "not found";
        finding.hint = "Install it: sudo apt install adb (or set QUILLBRIGHT_ADB to an adb program)";
        return finding;
    }
    ProcessOptions options;
    options.executable = *setup.adbPath;
    options.arguments = {"version"};
    const ProcessResult result = runProcess(options, setup.adbTimeoutSeconds, "adb version");
    const std::string version = firstLine(result.standardOutput);
    if (result.exitStatus != 0 || version.empty()) {
        finding.detail = *setup.adbPath + " does not run ("
            + (result.launched ? fmt::format("exit status {}", result.exitStatus.value_or(-1)) : result.launchError)
            + ")";
        finding.hint = "Reinstall it: sudo apt install --reinstall adb";
        return finding;
    }
    finding.ok = true;
    finding.detail = *setup.adbPath + " (" + version + ")";
    return finding;
}

DoctorFinding checkUSB(const DoctorSetup& setup)
{
    DoctorFinding finding{"USB access", false, "", ""};
    if (setup.root) {
        finding.ok = true;
        finding.detail = "running as root";
        return finding;
    }
    // A rule for Android devices: by its name or by what it mentions.
    std::optional<fs::path> rule;
    std::string ruleText;
    for (const auto& directory : setup.udevRuleDirectories) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(directory, error)) {
            if (entry.path().extension() != ".rules") continue;
            std::ifstream in(entry.path());
            std::stringstream buffer;
            buffer << in.rdbuf();
            const std::string text = lowercased(buffer.str());
            if (lowercased(entry.path().filename().string()).find("android") != std::string::npos
                || text.find("android") != std::string::npos || text.find("adb_user") != std::string::npos) {
                rule = entry.path();
                ruleText = text;
                break;
            }
        }
        if (rule) break;
    }
    if (!rule) {
        finding.detail = "no udev rule for Android devices";
        finding.hint = "sudo apt install android-sdk-platform-tools-common, then unplug and replug the device";
        return finding;
    }
    const bool inPlugdev = std::find(setup.groups.begin(), setup.groups.end(), "plugdev") != setup.groups.end();
    const bool needsPlugdev = ruleText.find("uaccess") == std::string::npos
        && ruleText.find("group=\"plugdev\"") != std::string::npos;
    if (needsPlugdev && !inPlugdev) {
        finding.detail = rule->string() + " gives Android devices to the plugdev group, and you are not in it";
        finding.hint = "sudo usermod -aG plugdev $USER, then log out and in again";
        return finding;
    }
    finding.ok = true;
    finding.detail = rule->string() + (needsPlugdev ? " (through the plugdev group)" : "");
    return finding;
}

DoctorFinding checkDisplay(const DoctorSetup& setup)
{
    DoctorFinding finding{"desktop", false, "", ""};
    if (setup.platform == "sim") {
        finding.ok = true;
        finding.detail = "sim (the simulated desktop, for demos and tests)";
        return finding;
    }
    if (!setup.platform.empty() && !findPlatformBackend(setup.platform)) {
        finding.detail = "unknown desktop backend \"" + setup.platform + "\"";
        finding.hint = "Set QUILLBRIGHT_PLATFORM to wlroots, kde, gnome or x11 (or sim for a demo)";
        return finding;
    }
    // sway, or a wlroots compositor by its globals or asked for by name.
    if (setup.platform == "wlroots" || (setup.platform.empty() && setup.wlrootsSession)) {
        const auto problem = setup.wlrootsUnreachable ? setup.wlrootsUnreachable()
                                                      : std::optional<std::string>("not checked");
        if (!problem) {
            finding.ok = true;
            finding.detail = setup.swaySocket.empty()
                ? "wlroots compositor on WAYLAND_DISPLAY=" + setup.waylandDisplay
                    + ": capture and touch input; without sway's control socket ($SWAYSOCK) no output can be "
                      "added for the tablet, mirror mode only"
                : "wlroots sway on WAYLAND_DISPLAY=" + setup.waylandDisplay
                    + ": capture, touch input and outputs added over " + setup.swaySocket;
            return finding;
        }
        if (setup.platform == "wlroots") {
            finding.detail = *problem;
            finding.hint = "Run it from your sway session (WAYLAND_DISPLAY and SWAYSOCK set)";
            return finding;
        }
    }
    // KDE Plasma, its session named or asked for by name: KWin lends its
    // screencast and fake input only to programs its desktop file names.
    if (setup.platform == "kde" || (setup.platform.empty() && setup.kdeSession)) {
        const auto problem = setup.kdeUnreachable ? setup.kdeUnreachable() : std::optional<std::string>("not checked");
        if (!problem) {
            finding.ok = true;
            finding.detail = "kde KDE Plasma (KWin) on WAYLAND_DISPLAY=" + setup.waylandDisplay
                + ": capture, outputs added for the tablet (screencast) and touch input (fake input)";
            return finding;
        }
        finding.detail = *problem;
        finding.hint = "KWin lends its screencast only to programs a desktop file names: the package installs "
                       "/usr/share/applications/quillbright.desktop (a build tree: see docs/platform.md); then "
                       "log out and in again";
        return finding;
    }
    // A Wayland session is mirrored through GNOME's remote desktop when it answers.
    const PlatformBackend* asked = findPlatformBackend(setup.platform);
    const bool gnomeAsked = asked != nullptr && asked->name == "gnome";
    if (gnomeAsked || !setup.waylandDisplay.empty()) {
        const auto problem = setup.gnomeUnreachable ? setup.gnomeUnreachable()
                                                    : std::optional<std::string>("not checked");
        if (!problem) {
            finding.ok = true;
            finding.detail = "gnome GNOME (Mutter)"
                + (setup.waylandDisplay.empty() ? std::string() : " on WAYLAND_DISPLAY=" + setup.waylandDisplay);
            return finding;
        }
        if (gnomeAsked || setup.display.empty()) {
            finding.detail = setup.display.empty() && !setup.waylandDisplay.empty()
                ? "a Wayland session (WAYLAND_DISPLAY) without DISPLAY, and " + *problem
                : *problem;
            finding.hint = "Log in to a GNOME session (Wayland), or to an X11 session (\"GNOME on Xorg\")";
            return finding;
        }
    }
    if (setup.display.empty()) {
        // The daemon's own words when it finds nothing to mirror.
        finding.detail = setup.waylandDisplay.empty() ? noDesktopText("neither WAYLAND_DISPLAY nor DISPLAY is set")
                                                      : "a Wayland session (WAYLAND_DISPLAY) without DISPLAY";
        finding.hint = setup.waylandDisplay.empty() ? std::string(NO_DESKTOP_HINT)
                                                    : "Log in to an X11 session (\"GNOME on Xorg\" at the login screen)";
        return finding;
    }
    // ":N" and ":N.S" are local servers with a socket; "host:N" goes over TCP.
    if (setup.display.front() == ':') {
        const std::string number = setup.display.substr(1, setup.display.find('.') - 1);
        const fs::path socket = setup.x11SocketDirectory / ("X" + number);
        std::error_code error;
        if (!fs::exists(socket, error)) {
            finding.detail = "no X server at DISPLAY=" + setup.display + " (" + socket.string() + " is missing)";
            finding.hint = "Start your X session, or set DISPLAY to the display you are logged in on";
            return finding;
        }
    }
    finding.ok = true;
    finding.detail = "x11 " + setup.display;
    return finding;
}

// One finding per host service: who provides it. A simulated service on a
// real desktop would leave the computer untouched, so it is missing.
std::vector<DoctorFinding> checkHost(const DoctorSetup& setup)
{
    std::vector<DoctorFinding> findings;
    for (const auto& capability : setup.host) {
        DoctorFinding finding{capability.name, true, capability.provider, ""};
        if (capability.simulated && setup.platform != "sim") {
            finding.ok = false;
            finding.detail = capability.provider + " (simulated, on a real desktop)";
            finding.hint = "Unset QUILLBRIGHT_PLATFORM, or set it to gnome or x11";
        } else if (capability.provider == "logind") {
            if (const auto problem = setup.logindUnreachable ? setup.logindUnreachable() : std::nullopt) {
                finding.ok = false;
                finding.detail = "logind: " + *problem;
                finding.hint = "Keeping the computer awake and the lid need systemd-logind: sudo apt install "
                               "systemd dbus, or mirror without them";
            } else {
                finding.detail = "logind (org.freedesktop.login1 answers on the system bus)";
            }
        } else if (capability.provider == "avahi") {
            // Wi-Fi mode needs it; USB mirroring does not.
            if (const auto problem = setup.avahiUnreachable ? setup.avahiUnreachable() : std::nullopt) {
                finding.ok = false;
                finding.detail = *problem;
                finding.hint = "Wi-Fi mode announces this computer and finds tablets through avahi-daemon: sudo apt "
                               "install avahi-daemon && sudo systemctl enable --now avahi-daemon (USB needs none)";
            } else {
                finding.detail = "avahi (avahi-daemon answers on the system bus)";
            }
        }
        findings.push_back(std::move(finding));
    }
    return findings;
}

std::vector<DoctorFinding> checkPorts(const DoctorSetup& setup)
{
    std::vector<DoctorFinding> findings;
    std::vector<std::string> free;
    for (const auto& [port, name] : setup.ports) {
        if (portFree(port)) {
            free.push_back(std::to_string(port));
            continue;
        }
        const std::string holder = setup.portHolder ? setup.portHolder(port) : std::string();
        if (setup.runningDaemonPid && holder.ends_with(fmt::format("(pid {})", *setup.runningDaemonPid))) {
            findings.push_back({fmt::format("port {}", port), true,
                fmt::format("{} port in use by the running QuillBright (pid {})", name, *setup.runningDaemonPid), ""});
            continue;
        }
        findings.push_back({fmt::format("port {}", port), false,
            fmt::format("{} port in use{}", name, holder.empty() ? "" : " by " + holder),
            holder.rfind("quillbright", 0) == 0
                ? "QuillBright already runs: " + setup.program + " status, or " + setup.program + " stop"
                                                : "Quit the program that holds it, then start QuillBright"});
    }
    if (!free.empty()) {
        std::string list;
        for (const auto& port : free) list += (list.empty() ? "" : ", ") + port;
        findings.insert(findings.begin(), {"ports", true, list + " free", ""});
    }
    return findings;
}

} // namespace

bool portFree(std::uint16_t port)
{
    namespace asio = boost::asio;
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io);
    boost::system::error_code error;
    // Dual-stack on the wildcard address, so an IPv4 listener anywhere counts.
    acceptor.open(asio::ip::tcp::v6(), error);
    if (!error) {
        acceptor.set_option(asio::ip::v6_only(false), error);
        acceptor.set_option(asio::socket_base::reuse_address(true), error);
        acceptor.bind({asio::ip::address_v6::any(), port}, error);
        return !error;
    }
    acceptor.open(asio::ip::tcp::v4(), error);
    if (error) return false;
    acceptor.set_option(asio::socket_base::reuse_address(true), error);
    acceptor.bind({asio::ip::address_v4::any(), port}, error);
    return !error;
}

DoctorSetup DoctorSetup::fromEnvironment()
{
    DoctorSetup setup;
    {
        const PlatformLogMute quiet; // the lookup's own log lines would interleave with the findings
        setup.adbPath = ADBBridge::resolvedADBPath();
    }
    setup.root = ::geteuid() == 0;
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> ids(static_cast<std::size_t>(std::max(count, 0)));
    if (count > 0 && ::getgroups(count, ids.data()) == count) {
        for (const gid_t id : ids) {
            if (const group* entry = ::getgrgid(id)) setup.groups.emplace_back(entry->gr_name);
        }
    }
    const PlatformConfig config = PlatformConfig::fromEnvironment();
    setup.platform = config.requested;
    setup.display = config.display;
    setup.waylandDisplay = config.waylandDisplay;
    setup.swaySocket = config.swaySocket;
    setup.wlrootsSession = config.requested.empty() && qb::wlrootsSession(config);
    setup.wlrootsUnreachable = [config] { return probeWlrootsDesktop(config); };
    // Named KDE, or a KWin that offers us its screencast where no wlroots compositor is.
    setup.kdeSession = qb::kdeSession(config)
        || (config.requested.empty() && !config.waylandDisplay.empty() && !setup.wlrootsSession
            && !probeKdeDesktop(config));
    setup.kdeUnreachable = [config] { return probeKdeDesktop(config); };
    setup.gnomeUnreachable = [] {
        std::string error;
        if (gnome::MutterBus::connect(&error)) return std::optional<std::string>();
        return std::optional<std::string>(error);
    };
    setup.logindUnreachable = [] { return ServiceManager::logindUnreachable(); };
    setup.avahiUnreachable = [] { return qb::avahiUnreachable(); };
    setup.host = hostCapabilities(config.requested == "sim" ? makeSimHost(config) : makeLinuxHost(config));
    setup.portHolder = [](std::uint16_t port) { return PortChecker::processBlocking(port); };
    if (const auto pid = readRunningPID(RuntimePaths::current())) setup.runningDaemonPid = *pid;
    return setup;
}

std::vector<DoctorFinding> examine(const DoctorSetup& setup)
{
    std::vector<DoctorFinding> findings{checkADB(setup), checkUSB(setup), checkDisplay(setup)};
    for (auto& finding : checkHost(setup)) findings.push_back(std::move(finding));
    for (auto& finding : checkPorts(setup)) findings.push_back(std::move(finding));
    return findings;
}

int commandDoctor(const DoctorSetup& setup, std::ostream& out)
{
    const auto findings = examine(setup);
    out << "QuillBright doctor\n\n";
    int missing = 0;
    for (const auto& finding : findings) {
        out << (finding.ok ? "[ok]      " : "[missing] ") << finding.subject << ": " << finding.detail << "\n";
        if (!finding.ok) {
            out << "          -> " << finding.hint << "\n";
            ++missing;
        }
    }
    if (missing == 0) {
        out << "\nEverything is in place. Plug in the tablet and run: " << setup.program << " start\n";
        return 0;
    }
    out << "\n" << missing << (missing == 1 ? " piece needs" : " pieces need") << " attention.\n";
    return 1;
}

} // namespace qb::cli
