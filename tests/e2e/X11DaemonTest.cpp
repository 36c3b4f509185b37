// The real daemon on a private Xorg desktop: a fake DC-1 mirrors the
// primary and the reference client decodes exactly what a window draws there
// (scaled and converted to grey), a touch moves the pointer, and a daemon
// killed with -9 leaves outputs the next start turns off and modes it removes.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include "companion/CompanionClient.h"
#include "companion/TouchScript.h"
#include "e2e/DaemonHarness.h"
#include "fake-adb/FakeAdbState.h"
#include "pipeline/PixelKernels.h"
#include "platform/MirrorScaler.h"
#include "platform/XorgServer.h"
#include "runtime/Process.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace qb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::waitFor;

class X11DaemonTest : public test::DaemonHarness {
protected:
    // One picture from the WebSocket preview within 3 s of connecting.
    static bool previewArrives()
    {
        namespace beast = boost::beast;
        boost::asio::io_context io;
        beast::websocket::stream<beast::tcp_stream> ws(io);
        beast::error_code error;
        beast::get_lowest_layer(ws).connect({boost::asio::ip::make_address("127.0.0.1"), 8890}, error);
        if (error) return false;
        ws.handshake("localhost:8890", "/", error);
        if (error) return false;
        beast::flat_buffer picture;
        bool arrived = false;
        ws.async_read(picture, [&](beast::error_code read, std::size_t) { arrived = !read && picture.size() > 0; });
        io.run_for(3s);
        return arrived;
    }

    // The default path: the daemon finds the private Xorg on its own.
    X11DaemonTest() : DaemonHarness(nullptr, "0.05")
    {
        adb.setDevices({test::device("DC1-0001", "DC_1", "1200x1600")});
    }

    std::string layout() const { return xorg().layout(); }
};

TEST_F(X11DaemonTest, MirrorsThePrimaryExactlyTouchesMoveThePointerAndAKilledDaemonIsCleanedUpAfter)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    const std::string before = layout();
    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8888", 30s)) << output();
    EXPECT_NE(output().find("[VirtualDisplay] Mirroring: built-in display"), std::string::npos);

    companion::CompanionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", 8888, 5000ms));
    const auto greeting = client.readGreeting(10000ms);
    ASSERT_TRUE(greeting) << client.violation();
    ASSERT_EQ(std::tuple(greeting->width, greeting->height), std::tuple(1600, 1200));

    // A window of known greys and colours over the whole 1024x768 primary,
    // with an invisible pointer over it (the picture includes the pointer).
    XInitThreads();
    Display* x = XOpenDisplay(xorg().display.c_str());
    ASSERT_NE(x, nullptr);
    const Pixmap empty = XCreatePixmap(x, DefaultRootWindow(x), 1, 1, 1);
    XColor black{};
    const Cursor invisible = XCreatePixmapCursor(x, empty, empty, &black, &black, 0, 0);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.cursor = invisible;
    const Window w = XCreateWindow(x, DefaultRootWindow(x), 0, 0, 1024, 768, 0, CopyFromParent, InputOutput,
        CopyFromParent, CWOverrideRedirect | CWCursor, &attributes);
    XMapRaised(x, w);
    std::vector<std::uint8_t> bgra(1024 * 768 * 4);
    for (std::size_t y = 0; y < 768; ++y) {
        for (std::size_t column = 0; column < 1024; ++column) {
            std::uint8_t* p = &bgra[(y * 1024 + column) * 4];
            p[0] = std::uint8_t(column * 7 + y);
            p[1] = std::uint8_t(y / 3);
            p[2] = std::uint8_t(column / 4);
        }
    }
    std::vector<char> upload(bgra.begin(), bgra.end());
    XImage* image = XCreateImage(x, DefaultVisual(x, 0), 24, ZPixmap, 0, upload.data(), 1024, 768, 32, 0);
    GC gc = XCreateGC(x, w, 0, nullptr);
    XSync(x, False);
    XPutImage(x, w, gc, image, 0, 0, 0, 0, 1024, 768);
    XSync(x, False);

    // The device sees the primary scaled to its 1600x1200 (area filter),
    // through the greyscale conversion and the default ("Crisp Paper") tone curve.
    const ToneCurve curve = makeToneCurve(1.2, 1.2);
    std::vector<std::uint8_t> scaledPicture(1600 * 1200 * 4);
    MirrorScaler().scale(bgra.data(), 1024, 768, 1024 * 4, scaledPicture.data(), 1600, 1200);
    std::vector<std::uint8_t> expected(1600 * 1200);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::uint8_t* p = &scaledPicture[i * 4];
        expected[i] = curve[(29 * p[0] + 150 * p[1] + 77 * p[2]) / 256];
    }
    EXPECT_TRUE(test::awaitPicture(client, expected)) << client.violation() << output();

    // A preview page opened on the still desktop gets the picture at once,
    // not at the next change of the screen.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(previewArrives()) << output();

    // A tap at three quarters across, half-way down the tablet: the pointer
    // goes to that point of the primary.
    ASSERT_TRUE(outputHas("[InputServer] Listening on port 8892")) << output();
    companion::TouchSender touches;
    ASSERT_TRUE(touches.connect("127.0.0.1", 8892, 5000ms));
    touches.send(companion::encodeTouch(1, 0.75F, 0.5F, 0, 0));
    touches.send(companion::encodeTouch(3, 0.75F, 0.5F, 0, 0));
    EXPECT_TRUE(waitFor(
        [&] {
            Window root = 0, child = 0;
            int rootX = 0, rootY = 0, winX = 0, winY = 0;
            unsigned mask = 0;
            XQueryPointer(x, DefaultRootWindow(x), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
            return rootX == 768 && rootY == 384;
        },
        10s))
        << output();
    client.close();
    image->data = nullptr;
    XDestroyImage(image);
    XFreeGC(x, gc);
    XDestroyWindow(x, w);
    XCloseDisplay(x);

    // Stopped, it leaves the layout as it found it.
    ::kill(daemon_->pid(), SIGTERM);
    EXPECT_TRUE(daemon_->waitUntilExit(10000ms));
    EXPECT_EQ(layout(), before);

    // With a phone after the DC-1, both get displays of their own (the
    // phone's extended session ends the mirroring). Killed outright, the
    // daemon leaves them lit; the next one removes them and, stopped
    // properly, leaves the layout as it found it.
    adb.setDevices({adb.read()["devices"][0], test::device("PHONE-1", "Pixel_8", "1080x2400")});
    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8889", 30s)) << output();
    const std::string lit = xorg().run("xrandr");
    EXPECT_NE(lit.find(" connected 1080x2400+"), std::string::npos) << lit << output();
    EXPECT_NE(lit.find(" connected 1600x1200+"), std::string::npos) << lit << output();
    ::kill(daemon_->pid(), SIGKILL);
    daemon_->waitUntilExit();
    ASSERT_NE(layout(), before);
    adb.setDevices({});
    launch();
    ASSERT_TRUE(outputHas("leftover", 30s)) << output();
    EXPECT_EQ(layout(), before);
    ::kill(daemon_->pid(), SIGTERM);
    EXPECT_TRUE(daemon_->waitUntilExit(10000ms));
    EXPECT_EQ(layout(), before);
}

// `mode extended` on a running daemon: the tablet stops mirroring the
// primary and gets a monitor of its own beside it.
TEST_F(X11DaemonTest, ModeExtendedMovesTheTabletFromThePrimaryToAMonitorOfItsOwn)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8888", 30s)) << output();
    ASSERT_TRUE(outputHas("[VirtualDisplay] Mirroring: built-in display")) << output();
    ASSERT_TRUE(waitFor([&] { return cli({"status"}).second.find("\nstatus=running\n") != std::string::npos; }, 20s));
    const std::string mirrored = xorg().run("xrandr --listmonitors");
    EXPECT_EQ(mirrored.find("1600/"), std::string::npos) << "no monitor of the tablet's own while mirroring\n" << mirrored;

    EXPECT_EQ(cli({"mode", "extended"}), std::pair(0, std::string("OK extended (restarting)\n")));
    ASSERT_TRUE(waitFor([&] { return xorg().run("xrandr --listmonitors").find(" 1600/") != std::string::npos; }, 30s))
        << xorg().run("xrandr --listmonitors") << output();
    const std::string extended = xorg().run("xrandr --listmonitors");
    EXPECT_NE(extended.find("Monitors: 2"), std::string::npos) << extended;
    EXPECT_NE(extended.find(" 1024/"), std::string::npos) << "the primary keeps its own mode\n" << extended;
    EXPECT_NE(cli({"status"}).second.find("\ndisplay_mode=extended\n"), std::string::npos);

    ::kill(daemon_->pid(), SIGTERM);
    EXPECT_TRUE(daemon_->waitUntilExit(10000ms));
}

TEST_F(X11DaemonTest, TheXServerEndingStopsMirroringRemovesTheTunnelsAndADaemonOnTheNextServerMirrors)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    const auto tunnels = [&] {
        std::size_t count = 0;
        for (const auto& d : adb.read()["devices"]) count += d.value("reverse", nlohmann::json::array()).size();
        return count;
    };
    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8888", 30s)) << output();
    companion::CompanionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", 8888, 5000ms));
    ASSERT_TRUE(client.readGreeting(10000ms)) << client.violation();
    ASSERT_TRUE(client.readFrame(5000ms)) << client.violation() << output();
    ASSERT_TRUE(waitFor([&] { return tunnels() > 0; }, 10s));

    // A logout or a crash: the daemon ends on its own, its tunnels gone, with
    // a status that keeps the service manager from restarting it.
    xorg().crash();
    ASSERT_TRUE(daemon_->waitUntilExit(5000ms)) << output();
    EXPECT_EQ(daemon_->exitStatus(), 0) << output();
    EXPECT_EQ(tunnels(), 0U) << adb.read().dump() << output();

    test::XorgServer next;
    if (!next.running()) GTEST_SKIP() << next.skipReason;
    ::setenv("DISPLAY", next.display.c_str(), 1);
    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8888", 30s)) << output();
    companion::CompanionClient again;
    ASSERT_TRUE(again.connect("127.0.0.1", 8888, 5000ms));
    ASSERT_TRUE(again.readGreeting(10000ms)) << again.violation();
    EXPECT_TRUE(again.readFrame(5000ms)) << again.violation() << output();
    ::kill(daemon_->pid(), SIGTERM);
    EXPECT_TRUE(daemon_->waitUntilExit(10000ms));
    EXPECT_EQ(daemon_->exitStatus(), 0) << output();
}

} // namespace
} // namespace qb
