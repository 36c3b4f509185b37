// The real daemon on a private headless sway, no desktop named: `doctor`
// names sway, `hotkeys install` binds the front-light keys there, the daemon
// takes sway from WAYLAND_DISPLAY and SWAYSOCK, a fake DC-1 in extended mode
// gets a 1600x1200 output of its own whose exact pixels (a Wayland client's
// picture) the reference client decodes, a touch reaches that client, a
// daemon killed outright has its output taken back at the next start, and
// the output is gone when the daemon stops.
#include <csignal>

#include <gtest/gtest.h>

#include "companion/CompanionClient.h"
#include "companion/TouchScript.h"
#include "e2e/DaemonHarness.h"
#include "pipeline/PixelKernels.h"
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

    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8888", 30s)) << output();
    EXPECT_NE(output().find("[Platform] Using sway"), std::string::npos) << output();
    ASSERT_TRUE(outputHas("Mirroring 1 device.")) << output();
    ASSERT_EQ(cli({"mode", "extended"}), std::pair(0, std::string("OK extended (restarting)\n")));
    ASSERT_TRUE(waitFor([&] { return server.monitorSizes() == Sizes{"1280x800", "1600x1200"}; }, 20s))
        << output() << testing::PrintToString(server.activeOutputs()) << (server.alive() ? "" : server.log());

    ProcessOptions options;
    options.executable = QB_WAYLAND_PAINTER;
    // The DC-1's output is HiDPI (scale 2): 800x600 points, every one of its
    // 1600x1200 pixels painted.
    options.arguments = {"800", "600", "hidpi"};
    auto painter = Process::launch(options);
    ASSERT_TRUE(painter);
    auto said = [&](const std::string& line) { return painter->standardOutput().find(line + "\n") != std::string::npos; };
    ASSERT_TRUE(waitFor([&] { return said("ready"); }, 10s)) << painter->standardError();

    companion::CompanionClient client;
    ASSERT_TRUE(waitFor([&] { return client.connect("127.0.0.1", 8888, 1000ms); }, 20s));
    const auto greeting = client.readGreeting(10000ms);
    ASSERT_TRUE(greeting) << client.violation();
    ASSERT_EQ(std::tuple(greeting->width, greeting->height), std::tuple(1600, 1200));

    // The client's picture pixel for pixel, through the greyscale
    // conversion and the default ("Crisp Paper") tone curve.
    const ToneCurve curve = makeToneCurve(1.2, 1.2);
    std::vector<std::uint8_t> expected(1600 * 1200);
    for (std::size_t y = 0; y < 1200; ++y) {
        for (std::size_t x = 0; x < 1600; ++x) {
            expected[y * 1600 + x] = curve[(29 * (x & 0xFF) + 150 * (y & 0xFF) + 77 * ((x ^ y) & 0xFF)) / 256];
        }
    }
    EXPECT_TRUE(test::awaitPicture(client, expected)) << client.violation() << output();

    ASSERT_TRUE(outputHas("[InputServer] Listening on port 8892")) << output();
    companion::TouchSender touches;
    ASSERT_TRUE(touches.connect("127.0.0.1", 8892, 5000ms));
    touches.send(companion::encodeTouch(1, 0.75F, 0.5F, 0, 0));
    touches.send(companion::encodeTouch(3, 0.75F, 0.5F, 0, 0));
    EXPECT_TRUE(waitFor([&] { return said("motion 600 300"); }, 10s)) << painter->standardOutput();
    EXPECT_TRUE(waitFor([&] { return said("button down 1 600 300"); }, 10s)) << painter->standardOutput() << painter->standardError();

    client.close();
    painter->terminate();
    painter->waitUntilExit(5000ms);

    // Killed outright, the daemon leaves its output; the next start on the
    // same sway takes it back, so the tablet still has one.
    ::kill(daemon_->pid(), SIGKILL);
    daemon_->waitUntilExit();
    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8888", 30s)) << output();
    EXPECT_TRUE(waitFor([&] { return server.monitorSizes() == Sizes{"1280x800", "1600x1200"}; }, 10s))
        << testing::PrintToString(server.activeOutputs());

    ::kill(daemon_->pid(), SIGTERM);
    EXPECT_TRUE(daemon_->waitUntilExit(10000ms));
    EXPECT_EQ(server.monitorSizes(), Sizes{"1280x800"}) << testing::PrintToString(server.activeOutputs());
    EXPECT_TRUE(server.alive()) << server.log();
}

} // namespace
} // namespace qb
