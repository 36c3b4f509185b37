// The real daemon on a private headless sway, no desktop named: `doctor`
// names sway, `hotkeys install` binds the front-light keys there, the daemon
// takes sway from WAYLAND_DISPLAY and SWAYSOCK, a fake DC-1 in extended mode
// gets a 1600x1200 output of its own whose exact pixels (a Wayland client's
// picture) the reference client decodes, a touch reaches that client, a
// daemon killed outright has its output taken back at the next start, and
// the output is gone when the daemon stops. Without SWAYSOCK the daemon
// still finds sway by its Wayland globals and mirrors its output, and
// extended mode is refused out loud.
#include <csignal>

#include <gtest/gtest.h>

#include "companion/CompanionClient.h"
#include "e2e/DaemonHarness.h"
#include "platform/Platform.h"
#include "platform/SwayServer.h"
#include "runtime/Process.h"

#ifndef QB_WAYLAND_PAINTER
#define QB_WAYLAND_PAINTER "" // built only with SDL2
#endif

namespace qb {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

class SwayDaemonTest : public test::DaemonHarness {
protected:
    SwayDaemonTest() : DaemonHarness(nullptr, "0.05")
    {
        adb.setDevices({test::device("DC1-0001", "DC_1", "1200x1600")});
    }

    // The painter run with `arguments`, and `client` connected, greeted at
    // 1600x1200 and shown the painter's picture pixel for pixel.
    std::shared_ptr<Process> paintAndReceive(std::vector<std::string> arguments, companion::CompanionClient& client)
    {
        ProcessOptions options;
        options.executable = QB_WAYLAND_PAINTER;
        options.arguments = std::move(arguments);
        auto painter = Process::launch(options);
        if (!painter) {
            ADD_FAILURE() << "the painter did not start";
            return nullptr;
        }
        EXPECT_TRUE(waitFor([&] { return painter->standardOutput().find("ready\n") != std::string::npos; }, 10s))
            << painter->standardError();
        EXPECT_TRUE(waitFor([&] { return client.connect("127.0.0.1", 8888, 1000ms); }, 20s));
        const auto greeting = client.readGreeting(10000ms);
        EXPECT_TRUE(greeting && std::tuple(greeting->width, greeting->height) == std::tuple(1600, 1200))
            << client.violation();
        const auto picture = test::asTabletShows(test::painterPattern(1600, 1200), 1600, 1200, 1600, 1200);
        EXPECT_TRUE(test::awaitPicture(client, picture)) << client.violation() << output();
        return painter;
    }

    // The record of the daemon's outputs goes with the test.
    test::ScopedEnv home{"HOME", directory().string()};
    test::SwayServer server;
};

TEST_F(SwayDaemonTest, AnExtendedTabletGetsAnOutputOfItsOwnWithItsExactPixelsAndTouchesAndItGoesAtStop)
{
    if (!server.skipReason.empty()) GTEST_SKIP() << "no sway for the wlroots end-to-end test: " << server.skipReason;
    if (std::string_view(QB_WAYLAND_PAINTER).empty()) GTEST_SKIP() << "the test client needs SDL2";
    ASSERT_EQ(server.failure, "");
    using Sizes = std::multiset<std::string>;

    const auto [doctorStatus, doctor] = cli({"doctor"});
    EXPECT_NE(doctor.find("desktop: wlroots sway on WAYLAND_DISPLAY="), std::string::npos) << doctor;

    // The front-light keys become sway bindings, and go again.
    const auto [installed, lines] = cli({"hotkeys", "install"});
    EXPECT_EQ(installed, 0) << lines;
    EXPECT_NE(lines.find("bindsym --no-repeat Ctrl+F10 \"exec '" QB_QUILLBRIGHT "' backlight toggle\""), std::string::npos)
        << lines;
    auto bound = [&](const std::string& keys) {
        // sway lists no bindings: unbinding one succeeds only when it was there.
        return server.message("-- 'unbindsym --no-repeat " + keys + "'").find("\"success\": true") != std::string::npos;
    };
    EXPECT_TRUE(bound("Ctrl+F1"));
    EXPECT_EQ(cli({"hotkeys", "remove"}).first, 0) << "one of ours already gone is no error";
    EXPECT_FALSE(bound("Ctrl+F10"));
    EXPECT_NE(cli({"hotkeys"}).second.find("bindsym --no-repeat Ctrl+F2 \"exec '" QB_QUILLBRIGHT "' brightness up\""),
        std::string::npos);

    ASSERT_TRUE(launchedListening()) << output();
    EXPECT_NE(output().find("[Platform] Using sway"), std::string::npos) << output();
    ASSERT_TRUE(outputHas("Mirroring 1 device.")) << output();
    ASSERT_EQ(cli({"mode", "extended"}), std::pair(0, std::string("OK extended (restarting)\n")));
    ASSERT_TRUE(waitFor([&] { return server.monitorSizes() == Sizes{"1280x800", "1600x1200"}; }, 20s))
        << output() << testing::PrintToString(server.activeOutputs()) << (server.alive() ? "" : server.log());

    // The DC-1's output is HiDPI (scale 2): 800x600 points, every one of its
    // 1600x1200 pixels painted.
    companion::CompanionClient client;
    auto painter = paintAndReceive({"800", "600", "hidpi"}, client);
    ASSERT_TRUE(painter);
    auto said = [&](const std::string& line) { return painter->standardOutput().find(line + "\n") != std::string::npos; };

    ASSERT_TRUE(outputHas("[InputServer] Listening on port 8892")) << output();
    ASSERT_TRUE(test::tap(0.75F, 0.5F));
    EXPECT_TRUE(waitFor([&] { return said("motion 600 300"); }, 10s)) << painter->standardOutput();
    EXPECT_TRUE(waitFor([&] { return said("button down 1 600 300"); }, 10s)) << painter->standardOutput() << painter->standardError();

    client.close();
    painter->terminate();
    painter->waitUntilExit(5000ms);

    // Killed outright, the daemon leaves its output; the next start on the
    // same sway takes it back, so the tablet still has one.
    terminate(SIGKILL);
    ASSERT_TRUE(launchedListening()) << output();
    EXPECT_TRUE(waitFor([&] { return server.monitorSizes() == Sizes{"1280x800", "1600x1200"}; }, 10s))
        << testing::PrintToString(server.activeOutputs());

    terminate();
    EXPECT_EQ(server.monitorSizes(), Sizes{"1280x800"}) << testing::PrintToString(server.activeOutputs());
    EXPECT_TRUE(server.alive()) << server.log();
}

TEST_F(SwayDaemonTest, WithoutSwaysSocketTheTabletMirrorsTheOutputAndExtendedModeIsRefused)
{
    if (!server.skipReason.empty()) GTEST_SKIP() << "no sway for the wlroots end-to-end test: " << server.skipReason;
    if (std::string_view(QB_WAYLAND_PAINTER).empty()) GTEST_SKIP() << "the test client needs SDL2";
    ASSERT_EQ(server.failure, "");
    using Sizes = std::multiset<std::string>;
    // The primary at the tablet's size: mirrored, its pixels arrive one for one.
    server.message("output HEADLESS-1 mode 1600x1200");
    ASSERT_TRUE(waitFor([&] { return server.monitorSizes() == Sizes{"1600x1200"}; }, 10s));
    // Any wlroots compositor: the daemon knows no control socket.
    test::ScopedEnv noSway{"SWAYSOCK", std::nullopt};

    const auto [doctorStatus, doctor] = cli({"doctor"});
    EXPECT_NE(doctor.find("desktop: wlroots compositor on WAYLAND_DISPLAY="), std::string::npos) << doctor;
    // Without the control socket the keys are the user's to bind: listed, none bound.
    const auto [listed, keys] = cli({"hotkeys", "install"});
    EXPECT_EQ(listed, 0) << keys;
    EXPECT_NE(keys.find("Ctrl+F10  " QB_QUILLBRIGHT " backlight toggle\n"), std::string::npos) << keys;
    EXPECT_EQ(server.message("-- 'unbindsym --no-repeat Ctrl+F10'").find("\"success\": true"), std::string::npos);

    ASSERT_TRUE(launchedListening()) << output();
    EXPECT_NE(output().find(WLROOTS_WITHOUT_SWAY_LINE), std::string::npos) << output();
    ASSERT_TRUE(outputHas("Mirroring 1 device.")) << output();

    companion::CompanionClient client;
    auto painter = paintAndReceive({"1600", "1200"}, client);
    ASSERT_TRUE(painter);
    EXPECT_EQ(server.monitorSizes(), Sizes{"1600x1200"});
    client.close();

    ASSERT_EQ(cli({"mode", "extended"}), std::pair(0, std::string("OK extended (restarting)\n")));
    EXPECT_TRUE(outputHas(std::string(WLROOTS_EXTENDED_REFUSED_LINE), 20s)) << output();
    EXPECT_EQ(server.monitorSizes(), Sizes{"1600x1200"});
    painter->terminate();
    painter->waitUntilExit(5000ms);
}

} // namespace
} // namespace qb
