#include "cli/Doctor.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <boost/asio.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/systemd/ServiceManager.h"
#include "support/TestSupport.h"

namespace qb::cli {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// A computer with every piece in place, made of files in a private
// directory; each test takes pieces away.
struct FakeComputer : test::TempDir {
    FakeComputer() : TempDir("qb-doctor"), dir(path())
    {
        setup.adbPath = script("adb", "echo 'Android Debug Bridge version 1.0.41'; echo 'Version 34.0.4-debian'");
        fs::create_directories(dir / "rules.d");
        std::ofstream(dir / "rules.d" / "51-android.rules")
            << "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"18d1\", TAG+=\"uaccess\"\n";
        setup.udevRuleDirectories = {dir / "missing.d", dir / "rules.d"};
        setup.root = false;
        setup.groups = {"users"};
        setup.platform = "x11";
        setup.display = ":77";
        fs::create_directories(dir / "x11");
        std::ofstream(dir / "x11" / "X77") << "";
        setup.x11SocketDirectory = dir / "x11";
        setup.logindUnreachable = [] { return std::optional<std::string>(); };
        setup.avahiUnreachable = [] { return std::optional<std::string>(); };
        setup.gnomeUnreachable = [] {
            return std::optional<std::string>("GNOME remote desktop service not available: no Mutter");
        };
        setup.host = {{"power", "logind", false}, {"backlight", "sysfs intel_backlight", false},
            {"font-settings", "gsettings", false}, {"dns-sd", "avahi", false}};
        setup.ports = {{freePort(), "video stream"}};
        setup.portHolder = [](std::uint16_t) { return std::string("other (pid 42)"); };
    }
    static std::uint16_t freePort()
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::acceptor probe(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
        return probe.local_endpoint().port();
    }

    std::pair<int, std::string> doctor() const
    {
        std::ostringstream out;
        const int status = commandDoctor(setup, out);
        return {status, out.str()};
    }

    const fs::path dir;
    DoctorSetup setup;
};

class DoctorTest : public ::testing::Test, public FakeComputer {};

TEST_F(DoctorTest, EverythingInPlaceIsSaidOnce)
{
    const auto [status, text] = doctor();
    EXPECT_EQ(status, 0) << text;
    EXPECT_THAT(text, HasSubstr("[ok]      adb: " + *setup.adbPath + " (Android Debug Bridge version 1.0.41)\n"));
    EXPECT_THAT(text, HasSubstr("[ok]      USB access: " + (dir / "rules.d" / "51-android.rules").string() + "\n"));
    EXPECT_THAT(text, HasSubstr("[ok]      desktop: x11 :77\n"));
    EXPECT_THAT(text, HasSubstr("[ok]      power: logind (org.freedesktop.login1 answers on the system bus)\n"
                                "[ok]      backlight: sysfs intel_backlight\n[ok]      font-settings: gsettings\n"
                                "[ok]      dns-sd: avahi (avahi-daemon answers on the system bus)\n"));
    EXPECT_THAT(text, HasSubstr("[ok]      ports: " + std::to_string(setup.ports[0].first) + " free\n"));
    EXPECT_THAT(text, Not(HasSubstr("[missing]")));
    EXPECT_THAT(text, HasSubstr("Everything is in place."));

    // The ports our own running daemon holds are where they should be.
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor holder(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const std::uint16_t held = holder.local_endpoint().port();
    setup.ports = {{held, "video stream"}};
    setup.portHolder = [](std::uint16_t) { return std::string("quillbright (pid 7)"); };
    setup.runningDaemonPid = 7;
    const auto [ownStatus, own] = doctor();
    EXPECT_EQ(ownStatus, 0) << own;
    EXPECT_THAT(own, HasSubstr("[ok]      port " + std::to_string(held)
                                   + ": video stream port in use by the running QuillBright (pid 7)\n"));
}

// Each piece taken away alone: the doctor names it and says what to do.
TEST_F(DoctorTest, EachMissingPieceIsNamedWithWhatToDo)
{
    struct Case {
        std::string name;
        std::function<void(FakeComputer&)> takeAway;
        std::string finding;
        std::string hint;
    };
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor holder(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    const std::uint16_t heldPort = holder.local_endpoint().port();
    const std::vector<Case> cases{
        {"no adb", [](FakeComputer& t) { t.setup.adbPath.reset(); }, "[missing] adb: not found\n",
            "-> Install it: sudo apt install adb"},
        {"adb that does not run",
            [](FakeComputer& t) { t.setup.adbPath = t.script("adb", "echo 'cannot load libc++' >&2; exit 127"); },
            "does not run (exit status 127)", "-> Reinstall it: sudo apt install --reinstall adb"},
        {"no udev rule", [](FakeComputer& t) { fs::remove(t.dir / "rules.d" / "51-android.rules"); },
            "[missing] USB access: no udev rule for Android devices\n",
            "-> sudo apt install android-sdk-platform-tools-common"},
        {"a plugdev rule, not in plugdev",
            [](FakeComputer& t) {
                std::ofstream(t.dir / "rules.d" / "51-android.rules")
                    << "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"18d1\", MODE=\"0660\", GROUP=\"plugdev\"\n";
            },
            "gives Android devices to the plugdev group, and you are not in it",
            "-> sudo usermod -aG plugdev $USER, then log out and in again"},
        {"no avahi-daemon",
            [](FakeComputer& t) {
                t.setup.avahiUnreachable = [] { return std::optional<std::string>("avahi-daemon is not running"); };
            },
            "[missing] dns-sd: avahi-daemon is not running\n", "sudo systemctl enable --now avahi-daemon"},
        {"no DISPLAY", [](FakeComputer& t) { t.setup.display.clear(); },
            "X11 (neither WAYLAND_DISPLAY nor DISPLAY is set)\n",
            "systemctl --user import-environment WAYLAND_DISPLAY DISPLAY XAUTHORITY), or name one with QUILLBRIGHT_PLATFORM"},
        {"Wayland only",
            [](FakeComputer& t) {
                t.setup.display.clear();
                t.setup.waylandDisplay = "wayland-0";
            },
            "a Wayland session (WAYLAND_DISPLAY) without DISPLAY", "\"GNOME on Xorg\""},
        {"no X server", [](FakeComputer& t) { t.setup.display = ":78.0"; },
            "no X server at DISPLAY=:78.0 (", "-> Start your X session"},
        {"unknown backend", [](FakeComputer& t) { t.setup.platform = "mir"; },
            "unknown desktop backend \"mir\"", "QUILLBRIGHT_PLATFORM"},
        {"GNOME Wayland without its remote desktop",
            [](FakeComputer& t) {
                t.setup.platform = "wayland"; // the name GNOME's backend had before "gnome", still taken
                t.setup.gnomeUnreachable = [] {
                    return std::optional<std::string>("GNOME remote desktop service not available: no session bus");
                };
            },
            "[missing] desktop: GNOME remote desktop service not available: no session bus\n",
            "-> Log in to a GNOME session (Wayland)"},
        {"wlroots asked for on a compositor without screencopy",
            [](FakeComputer& t) {
                t.setup.platform = "wlroots";
                t.setup.wlrootsUnreachable = [] {
                    return std::optional<std::string>("the compositor offers no wlr-screencopy");
                };
            },
            "[missing] desktop: the compositor offers no wlr-screencopy\n", "-> Run it from your sway session"},
        {"KDE Plasma whose KWin refuses its screencast",
            [](FakeComputer& t) {
                t.setup.platform.clear();
                t.setup.kdeSession = true;
                t.setup.waylandDisplay = "wayland-0";
                t.setup.kdeUnreachable = [] {
                    return std::optional<std::string>("the compositor on wayland-0 offers this program no KDE screencast");
                };
            },
            "[missing] desktop: the compositor on wayland-0 offers this program no KDE screencast\n",
            "/usr/share/applications/quillbright.desktop"},
        {"logind unreachable",
            [](FakeComputer& t) {
                // The real probe, on a system bus that is not there.
                t.setup.logindUnreachable = [] {
                    const test::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
                    return ServiceManager::logindUnreachable();
                };
            },
            "[missing] power: logind: cannot connect to the system bus", "need systemd-logind"},
        {"a simulated service on a real desktop", [](FakeComputer& t) { t.setup.host[1] = {"backlight", "sim", true}; },
            "[missing] backlight: sim (simulated, on a real desktop)\n", "Unset QUILLBRIGHT_PLATFORM"},
        {"a port in use", [heldPort](FakeComputer& t) { t.setup.ports = {{heldPort, "HTTP server"}}; },
            "[missing] port " + std::to_string(heldPort) + ": HTTP server port in use by other (pid 42)\n",
            "-> Quit the program that holds it"},
        {"a port held by QuillBright",
            [heldPort](FakeComputer& t) {
                t.setup.ports = {{heldPort, "HTTP server"}};
                t.setup.portHolder = [](std::uint16_t) { return std::string("quillbright (pid 7)"); };
            },
            "in use by quillbright (pid 7)", "-> QuillBright already runs"},
    };
    for (const auto& c : cases) {
        FakeComputer fresh;
        c.takeAway(fresh);
        const auto [status, text] = fresh.doctor();
        EXPECT_EQ(status, 1) << c.name << "\n" << text;
        EXPECT_THAT(text, HasSubstr(c.finding)) << c.name;
        EXPECT_THAT(text, HasSubstr(c.hint)) << c.name;
        EXPECT_THAT(text, HasSubstr("1 piece needs attention.")) << c.name << "\n" << text;
    }

    // Root needs no rule; a plugdev rule is enough for a plugdev member.
    setup.udevRuleDirectories = {dir / "missing.d"};
    setup.root = true;
    EXPECT_EQ(doctor().first, 0);
    setup.root = false;
    std::ofstream(dir / "rules.d" / "51-android.rules") << "ATTR{idVendor}==\"18d1\", GROUP=\"plugdev\"\n";
    setup.udevRuleDirectories = {dir / "rules.d"};
    setup.groups = {"users", "plugdev"};
    EXPECT_THAT(doctor().second, HasSubstr("51-android.rules (through the plugdev group)\n"));
}

} // namespace
} // namespace qb::cli
