// The real daemon on a private headless sway, no desktop named: it takes
// sway from WAYLAND_DISPLAY and SWAYSOCK, `doctor` names it, a fake DC-1 in
// extended mode gets a 1600x1200 output of its own whose exact pixels (a
// Wayland client's picture) the reference client decodes, a touch reaches
// that client, and the output is gone when the daemon stops.
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

    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8888", 30s)) << output();
    EXPECT_NE(output().find("[Platform] Using sway"), std::string::npos) << output();
    ASSERT_EQ(cli({"mode", "extended"}), std::pair(0, std::string("OK extended (restarting)\n")));
    ASSERT_TRUE(waitFor([&] { return server.monitorSizes() == Sizes{"1280x800", "1600x1200"}; }, 20s))
        << output() << testing::PrintToString(server.activeOutputs());

    ProcessOptions options;
    options.executable = QB_WAYLAND_PAINTER;
    options.arguments = {"1600", "1200"};
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
    EXPECT_TRUE(waitFor([&] { return said("motion 1200 600"); }, 10s)) << painter->standardOutput();
    EXPECT_TRUE(waitFor([&] { return said("button down 1 1200 600"); }, 10s)) << painter->standardOutput();

    client.close();
    ::kill(daemon_->pid(), SIGTERM);
    EXPECT_TRUE(daemon_->waitUntilExit(10000ms));
    EXPECT_EQ(server.monitorSizes(), Sizes{"1280x800"}) << testing::PrintToString(server.activeOutputs());
    painter->terminate();
    painter->waitUntilExit(5000ms);
}

} // namespace
} // namespace qb
