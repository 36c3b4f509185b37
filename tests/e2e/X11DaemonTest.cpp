// The real daemon on a private Xorg desktop: a fake DC-1 mirrors the
// primary and the reference client decodes exactly what a window draws there
// (scaled and converted to grey), a touch moves the pointer, and a daemon
// killed with -9 leaves outputs the next start turns off and modes it removes.
// Extended, the DC-1's cozy output is laid out at half its pixels and shows
// what is drawn on it at twice the size; sharp lays it out at its pixels.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>

#include "companion/CompanionClient.h"
#include "core/RuntimePaths.h"
#include "e2e/DaemonHarness.h"
#include "fake-adb/FakeAdbState.h"
#include "platform/XorgServer.h"
#include "runtime/Process.h"
#include "support/SocketSupport.h"

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

    // A window of known greys and colours over a rectangle of the desktop,
    // with an invisible pointer over it (the picture includes the pointer);
    // returns what the tablet must show of it: scaled to the tablet's size
    // (area filter), through the greyscale conversion and the default
    // ("Crisp Paper") tone curve.
    static std::vector<std::uint8_t> showKnownPicture(Display* x, int left, int top, std::size_t width,
        std::size_t height, std::size_t tabletWidth, std::size_t tabletHeight)
    {
        const Pixmap empty = XCreatePixmap(x, DefaultRootWindow(x), 1, 1, 1);
        XColor black{};
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.cursor = XCreatePixmapCursor(x, empty, empty, &black, &black, 0, 0);
        const Window w = XCreateWindow(x, DefaultRootWindow(x), left, top, unsigned(width), unsigned(height), 0,
            CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWCursor, &attributes);
        XMapRaised(x, w);
        std::vector<std::uint8_t> bgra(width * height * 4);
        for (std::size_t i = 0; i < width * height; ++i) {
            const std::size_t column = i % width, y = i / width;
            bgra[i * 4] = std::uint8_t(column * 7 + y), bgra[i * 4 + 1] = std::uint8_t(y / 3);
            bgra[i * 4 + 2] = std::uint8_t(column / 4);
        }
        std::vector<char> upload(bgra.begin(), bgra.end());
        XImage* image = XCreateImage(x, DefaultVisual(x, 0), 24, ZPixmap, 0, upload.data(), unsigned(width),
            unsigned(height), 32, 0);
        GC gc = XCreateGC(x, w, 0, nullptr);
        XSync(x, False);
        XPutImage(x, w, gc, image, 0, 0, 0, 0, unsigned(width), unsigned(height));
        XSync(x, False);
        image->data = nullptr;
        XDestroyImage(image);
        XFreeGC(x, gc);
        return test::asTabletShows(std::move(bgra), width, height, tabletWidth, tabletHeight);
    }

    // Where the X pointer is.
    static std::pair<int, int> pointer(Display* x)
    {
        Window root = 0, child = 0;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned mask = 0;
        XQueryPointer(x, DefaultRootWindow(x), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
        return {rootX, rootY};
    }
};

TEST_F(X11DaemonTest, MirrorsThePrimaryExactlyTouchesMoveThePointerAndAKilledDaemonIsCleanedUpAfter)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    const std::string before = layout();
    ASSERT_TRUE(launchedListening()) << output();
    EXPECT_NE(output().find("[VirtualDisplay] Mirroring: built-in display"), std::string::npos);

    companion::CompanionClient client;
    const auto greeting = test::greeted(client);
    ASSERT_TRUE(greeting) << client.violation();
    ASSERT_EQ(std::tuple(greeting->width, greeting->height), std::tuple(1600, 1200));

    XInitThreads();
    Display* x = XOpenDisplay(xorg().display.c_str());
    ASSERT_NE(x, nullptr);
    const auto expected = showKnownPicture(x, 0, 0, 1024, 768, 1600, 1200);
    EXPECT_TRUE(test::awaitPicture(client, expected)) << client.violation() << output();

    // A preview page opened on the still desktop gets the picture at once,
    // not at the next change of the screen.
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(previewArrives()) << output();

    // A tap at three quarters across, half-way down the tablet: the pointer
    // goes to that point of the primary.
    ASSERT_TRUE(outputHas("[InputServer] Listening on port 8892")) << output();
    ASSERT_TRUE(test::tap(0.75F, 0.5F));
    EXPECT_TRUE(waitFor([&] { return pointer(x) == std::pair(768, 384); }, 10s)) << output();
    client.close();
    XCloseDisplay(x);

    // Stopped, it leaves the layout as it found it.
    terminate();
    EXPECT_EQ(layout(), before);

    // With a phone after the DC-1, both get displays of their own (the
    // phone's extended session ends the mirroring). Killed outright, the
    // daemon leaves them lit; the next one removes them and, stopped
    // properly, leaves the layout as it found it.
    adb.setDevices({adb.read()["devices"][0], test::device("PHONE-1", "Pixel_8", "1080x2400")});
    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8889", 30s)) << output();
    // Both cozy: laid out at half their pixels.
    const std::string lit = xorg().run("xrandr");
    EXPECT_NE(lit.find(" connected 540x1200+"), std::string::npos) << lit << output();
    EXPECT_NE(lit.find(" connected 800x600+"), std::string::npos) << lit << output();
    ::kill(daemon_->pid(), SIGKILL);
    daemon_->waitUntilExit();
    ASSERT_NE(layout(), before);
    adb.setDevices({});
    launch();
    ASSERT_TRUE(outputHas("leftover", 30s)) << output();
    EXPECT_EQ(layout(), before);
    terminate();
    EXPECT_EQ(layout(), before);
}

// Every pause and period a hundred times its length: each wait for the
// desktop may last 100 s, the device poll comes every 200 s.
class X11WaitsTest : public test::DaemonHarness {
protected:
    X11WaitsTest() : DaemonHarness(nullptr, "100") { writeSettings({{"setupCompleted", true}}); }
    ~X11WaitsTest() override { ::unsetenv("QUILLBRIGHT_TEST_X11_UNCONFIRMED_DISPLAYS"); }

    std::string control(const std::string& request) const
    {
        return test::unixExchange(RuntimePaths::inDirectory(directory().string()).controlSocket, request)
            .value_or("");
    }
    bool statusBecomes(std::initializer_list<std::string_view> wanted)
    {
        return waitFor([&] {
            const std::string reply = control("STATUS\n");
            return std::ranges::any_of(wanted, [&](std::string_view s) { return reply == "OK " + std::string(s) + "\n"; });
        }, 20s);
    }
};

// The session goes on as soon as the X server has applied its changes and
// adb tells of the tablet at once: a plugged tablet is mirrored, and a
// client gets its picture, long before any pause or poll could end. On a
// desktop that cannot confirm its changes each wait lasts its limit; a stop
// during either wait ends it at once and leaves no output of ours, no
// tunnel and, the daemon ended, no adb child.
TEST_F(X11WaitsTest, APlugIsMirroredWithoutFixedPausesAndAStopDuringEachWaitLeavesNothing)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    const std::string before = xorg().layout();
    const auto tablet = test::device("DC1-0001", "DC_1", "1200x1600");
    launch();
    ASSERT_TRUE(statusBecomes({"waiting_for_device"})) << output();
    adb.setDevices({tablet});
    ASSERT_TRUE(statusBecomes({"running"})) << output();
    companion::CompanionClient client;
    ASSERT_TRUE(test::greeted(client)) << client.violation();
    EXPECT_TRUE(client.readFrame(10000ms)) << client.violation() << output();
    client.close();
    ASSERT_EQ(terminate(), 0) << output();
    EXPECT_EQ(xorg().layout(), before);
    expectNothingLeft();

    ::setenv("QUILLBRIGHT_TEST_X11_UNCONFIRMED_DISPLAYS", "1", 1);
    adb.setDevices({});
    launch();
    ASSERT_TRUE(statusBecomes({"waiting_for_device"})) << output();
    // Each logged just before its wait begins.
    for (const char* waitBegins : {"[VirtualDisplay] Configured:", "[VirtualDisplay] Mirroring: built-in display"}) {
        SCOPED_TRACE(waitBegins);
        const std::size_t seen = output().size();
        adb.setDevices({tablet});
        ASSERT_TRUE(waitFor([&] { return output().find(waitBegins, seen) != std::string::npos; }, 20s)) << output();
        EXPECT_EQ(control("STOP\n"), "OK stopping\n");
        ASSERT_TRUE(statusBecomes({"idle", "waiting_for_device"})) << output();
        EXPECT_EQ(xorg().layout(), before) << output();
        EXPECT_EQ(tunnels(), 0u) << adb.read().dump();
        adb.setDevices({});
        ASSERT_TRUE(waitFor([&] { return control("HEALTH\n").find("device_detected=no") != std::string::npos; }, 20s));
    }
    ASSERT_EQ(terminate(), 0) << output();
    EXPECT_EQ(xorg().layout(), before);
    expectNothingLeft();
}

// `mode extended` on a running daemon: the tablet stops mirroring the
// primary and gets a monitor of its own beside it, laid out at half its
// pixels in cozy (what is drawn there reaches the tablet at twice the size),
// at its pixels in sharp, and again at half in cozy; the frames keep the
// tablet's pixel size throughout.
TEST_F(X11DaemonTest, ModeExtendedGivesTheTabletAMonitorOfItsOwnLaidOutAsItsPresetSays)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    ASSERT_TRUE(launchedListening()) << output();
    ASSERT_TRUE(outputHas("[VirtualDisplay] Mirroring: built-in display")) << output();
    ASSERT_TRUE(statusRunning(20s));
    const std::string mirrored = xorg().run("xrandr --listmonitors");
    EXPECT_EQ(mirrored.find("1600/"), std::string::npos) << "no monitor of the tablet's own while mirroring\n" << mirrored;

    EXPECT_EQ(cli({"mode", "extended"}), std::pair(0, std::string("OK extended (restarting)\n")));
    // The tablet's monitor, "WxH+X+Y", once it is the only one besides the primary's.
    auto monitor = [&](const std::string& size) {
        static const std::regex line(R"( (\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+) )");
        const std::string text = xorg().run("xrandr --listmonitors");
        for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
            const std::string found = (*it)[1].str() + "x" + (*it)[2].str();
            if (found == size && (*it)[3].str() != "0") return std::optional(std::pair(std::stoi((*it)[3]), std::stoi((*it)[4])));
        }
        return std::optional<std::pair<int, int>>();
    };
    std::optional<std::pair<int, int>> at;
    ASSERT_TRUE(waitFor([&] { return bool(at = monitor("800x600")); }, 30s)) << xorg().run("xrandr --listmonitors") << output();
    const std::string extended = xorg().run("xrandr --listmonitors");
    EXPECT_NE(extended.find("Monitors: 2"), std::string::npos) << extended;
    EXPECT_NE(extended.find(" 1024/"), std::string::npos) << "the primary keeps its own mode\n" << extended;
    EXPECT_NE(cli({"status"}).second.find("\ndisplay_mode=extended\n"), std::string::npos);
    ASSERT_TRUE(statusRunning(20s));
    EXPECT_EQ(cli({"resolution"}).second, "OK cozy (1600x1200)\n");

    // A window of 400x300 points over the tablet's monitor covers 800x600 of its pixels.
    XInitThreads();
    Display* x = XOpenDisplay(xorg().display.c_str());
    ASSERT_NE(x, nullptr);
    const auto drawn = showKnownPicture(x, at->first, at->second, 400, 300, 800, 600);
    {
        companion::CompanionClient client;
        const auto greeting = test::greeted(client);
        ASSERT_TRUE(greeting) << client.violation();
        EXPECT_EQ(std::tuple(greeting->width, greeting->height), std::tuple(1600, 1200));
        // The tablet's top-left 800x600 pixels are the window, pixel for pixel.
        auto showsWindow = [&] {
            const auto& picture = client.decoder().frame();
            if (!client.decoder().hasPicture() || picture.size() != 1600 * 1200) return false;
            for (std::size_t y = 0; y < 600; ++y) {
                if (!std::equal(drawn.begin() + std::ptrdiff_t(y * 800), drawn.begin() + std::ptrdiff_t(y * 800 + 800),
                        picture.begin() + std::ptrdiff_t(y * 1600))) {
                    return false;
                }
            }
            return true;
        };
        EXPECT_TRUE(test::eventually(
            [&] {
                if (const auto frame = client.readFrame(1000ms)) client.sendAck(frame->sequenceNumber);
                return showsWindow();
            },
            20s))
            << client.violation() << output();
    }
    XCloseDisplay(x);

    // Sharp: the same pixels, laid out one for one; cozy again: half.
    EXPECT_EQ(cli({"resolution", "sharp"}), std::pair(0, std::string("OK sharp (restarting)\n")));
    EXPECT_TRUE(waitFor([&] { return bool(monitor("1600x1200")) && !monitor("800x600"); }, 30s))
        << xorg().run("xrandr --listmonitors") << output();
    ASSERT_TRUE(statusRunning(20s));
    EXPECT_EQ(cli({"resolution", "cozy"}), std::pair(0, std::string("OK cozy (restarting)\n")));
    EXPECT_TRUE(waitFor([&] { return bool(monitor("800x600")) && !monitor("1600x1200"); }, 30s))
        << xorg().run("xrandr --listmonitors") << output();
    EXPECT_NE(output().find("HiDPI mode activated: 800x600 logical"), std::string::npos) << output();

    terminate();
}

// The user rearranges the desktop with xrandr while the tablet extends it:
// the picture and the touches follow the tablet's output where it was moved;
// turning that output off restarts the session, which lights one again; and
// the primary's new mode is what the stop leaves, not the size from before,
// with the primary back on it when the user had made the tablet's primary.
TEST_F(X11DaemonTest, TheUsersLayoutChangesAreFollowedAndTheStopKeepsThem)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    ASSERT_TRUE(launchedListening()) << output();
    ASSERT_TRUE(statusRunning(20s));
    ASSERT_EQ(cli({"mode", "extended"}).first, 0);
    // The DC-1 in cozy: its output laid out at half its 1600x1200 pixels.
    static const std::regex tablet(R"((\S+) connected 800x600\+(\d+)\+(\d+))");
    std::smatch lit;
    std::string shown;
    ASSERT_TRUE(waitFor([&] { return std::regex_search(shown = xorg().run("xrandr"), lit, tablet); }, 30s))
        << shown << output();
    const std::string ours = lit[1];
    ASSERT_TRUE(statusRunning(20s));
    xorg().run("xrandr --output " + ours + " --pos 0x768");
    ASSERT_NE(xorg().run("xrandr").find(ours + " connected 800x600+0+768"), std::string::npos) << layout();

    XInitThreads();
    Display* x = XOpenDisplay(xorg().display.c_str());
    ASSERT_NE(x, nullptr);
    const auto expected = showKnownPicture(x, 0, 768, 800, 600, 1600, 1200);
    companion::CompanionClient client;
    ASSERT_TRUE(test::greeted(client)) << client.violation() << output();
    EXPECT_TRUE(test::awaitPicture(client, expected)) << client.violation() << output();
    ASSERT_TRUE(test::tap(0.25F, 0.5F));
    EXPECT_TRUE(waitFor([&] { return pointer(x) == std::pair(200, 768 + 300); }, 10s)) << output();
    client.close();
    XCloseDisplay(x);

    xorg().run("xrandr --output " + ours + " --off");
    EXPECT_TRUE(outputHas("left the desktop", 10s)) << output();
    EXPECT_TRUE(waitFor([&] { return std::regex_search(shown = xorg().run("xrandr"), lit, tablet); }, 30s))
        << shown << output();
    ASSERT_TRUE(statusRunning(20s));

    xorg().run("xrandr --output DUMMY0 --mode 800x600 --output " + lit[1].str() + " --primary");
    terminate();
    const std::string after = layout();
    EXPECT_NE(after.find("current 800 x 600"), std::string::npos) << after;
    EXPECT_NE(after.find("DUMMY0 connected primary 800x600+0+0"), std::string::npos) << after;
    EXPECT_EQ(after.find(lit[1].str() + " connected"), std::string::npos) << after;
}

// The X server loses the damage of the top half of the screen (as under
// load): a picture drawn there still reaches the tablet, by the periodic
// read of the whole screen. Without that read the top half stays as the
// first frame showed it.
TEST_F(X11DaemonTest, AChangeWhoseDamageIsNeverReportedStillReachesTheTablet)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    ::setenv("QUILLBRIGHT_TEST_X11_UNREPORTED_DAMAGE", "0,0,1024,384", 1);
    launch();
    ::unsetenv("QUILLBRIGHT_TEST_X11_UNREPORTED_DAMAGE");
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8888", 30s)) << output();
    companion::CompanionClient client;
    ASSERT_TRUE(test::greeted(client)) << client.violation();
    // The first picture is read before anything is drawn.
    const auto first = client.readFrame(10000ms);
    ASSERT_TRUE(first) << client.violation() << output();
    client.sendAck(first->sequenceNumber);

    XInitThreads();
    Display* x = XOpenDisplay(xorg().display.c_str());
    ASSERT_NE(x, nullptr);
    const auto expected = showKnownPicture(x, 0, 0, 1024, 768, 1600, 1200);
    EXPECT_TRUE(test::awaitPicture(client, expected)) << client.violation() << output();
    client.close();
    XCloseDisplay(x);
    terminate();
}

TEST_F(X11DaemonTest, TheXServerEndingStopsMirroringRemovesTheTunnelsAndADaemonOnTheNextServerMirrors)
{
    if (!xorg().running()) GTEST_SKIP() << "no X server for the x11 end-to-end test: " << xorg().skipReason;
    ASSERT_TRUE(launchedListening()) << output();
    companion::CompanionClient client;
    ASSERT_TRUE(test::greeted(client)) << client.violation();
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
    ASSERT_TRUE(launchedListening()) << output();
    companion::CompanionClient again;
    ASSERT_TRUE(test::greeted(again)) << again.violation();
    EXPECT_TRUE(again.readFrame(5000ms)) << again.violation() << output();
    EXPECT_EQ(terminate(), 0) << output();
}

} // namespace
} // namespace qb
