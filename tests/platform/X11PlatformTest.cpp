// The x11 backend against a private Xorg (dummy driver): virtual outputs,
// leftovers of a killed daemon, damage-driven capture, XTest input and key
// grabs, each checked from a second X client the way a user's desktop would
// see them.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "diagnostics/PlatformLog.h"
#include "platform/CaptureRecorder.h"
#include "platform/CaptureStream.h"
#include "platform/GlobalHotkeys.h"
#include "platform/InputInjector.h"
#include "platform/HostPower.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "platform/XorgServer.h"
#include "runtime/MainLoop.h"
#include "runtime/Queues.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace qb {
namespace {

using namespace std::chrono_literals;

// The server, a main loop for the backend's pump, and a client of our own.
class X11PlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!server.running()) GTEST_SKIP() << "no X server for the x11 backend tests: " << server.skipReason;
        XInitThreads();
        client = XOpenDisplay(server.display.c_str());
        ASSERT_NE(client, nullptr);
    }
    void TearDown() override
    {
        if (client) XCloseDisplay(client);
    }

    std::shared_ptr<Desktop> open()
    {
        std::string error;
        auto platform = makeX11Desktop(loop.executor(), server.display.c_str(), &error);
        EXPECT_NE(platform, nullptr) << error;
        return platform;
    }

    std::string layout() const { return server.layout(); }

    std::unique_ptr<VirtualDisplay> create(VirtualDisplays& displays, std::uint32_t width, std::uint32_t height,
        std::uint32_t serial)
    {
        return displays.createVirtualDisplay(
            {.serialNumber = serial, .name = "test", .maxPixelsWide = width, .maxPixelsHigh = height});
    }

    // A borderless window of ours over `bounds`, mapped and ready.
    Window window(const InputInjector::Bounds& bounds, long events)
    {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = events | StructureNotifyMask;
        attributes.background_pixel = 0;
        const Window w = XCreateWindow(client, DefaultRootWindow(client), int(bounds.left), int(bounds.top),
            unsigned(bounds.width), unsigned(bounds.height), 0, CopyFromParent, InputOutput, CopyFromParent,
            CWOverrideRedirect | CWEventMask | CWBackPixel, &attributes);
        XMapRaised(client, w);
        XEvent event;
        do {
            XWindowEvent(client, w, StructureNotifyMask, &event);
        } while (event.type != MapNotify);
        return w;
    }

    // The next event of the window matching `accept`, within a deadline.
    std::optional<XEvent> nextEvent(Window w, long mask, const std::function<bool(const XEvent&)>& accept)
    {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            XEvent event;
            while (XCheckWindowEvent(client, w, mask, &event)) {
                if (accept(event)) return event;
            }
            loop.runFor(5ms);
        }
        return std::nullopt;
    }

    test::XorgServer server;
    MainLoop loop;
    Display* client = nullptr;
    PlatformLogMute mute;
};

TEST_F(X11PlatformTest, VirtualOutputsExtendTheDesktopMirrorThePrimaryAndLeaveTheLayoutAsItWas)
{
    // Both ways of showing a display: a spare output, and a monitor over grown framebuffer.
    for (const char* method : {"output", "monitor"}) {
        SCOPED_TRACE(method);
        setenv("QUILLBRIGHT_X11_VIRTUAL_DISPLAY", method, 1);
        const std::string before = layout();
        auto platform = open();
        unsetenv("QUILLBRIGHT_X11_VIRTUAL_DISPLAY");
        ASSERT_TRUE(platform);
        auto displays = platform->virtualDisplays();
        auto injector = platform->inputInjector();
        {
            auto landscape = create(*displays, 1600, 1200, 11);
            auto portrait = create(*displays, 1200, 1600, 12);
            ASSERT_TRUE(landscape && portrait);
            // Side by side right of the 1024x768 primary, the screen grown to hold both.
            EXPECT_EQ(injector->displayBounds(landscape->displayId()), (InputInjector::Bounds{1024, 0, 1600, 1200}));
            EXPECT_EQ(injector->displayBounds(portrait->displayId()), (InputInjector::Bounds{2624, 0, 1200, 1600}));
            const std::string grown = layout();
            EXPECT_NE(grown.find("current 3824 x 1600"), std::string::npos) << grown;
            if (std::string_view(method) == "output") {
                EXPECT_NE(grown.find(" connected 1600x1200+1024+0"), std::string::npos) << grown;
                EXPECT_NE(grown.find(" connected 1200x1600+2624+0"), std::string::npos) << grown;
                EXPECT_NE(server.run("xrandr").find("QuillBright-1600x1200-11"), std::string::npos);
            } else {
                EXPECT_NE(grown.find("QuillBright-1600x1200-11 1600/"), std::string::npos) << grown;
                EXPECT_NE(grown.find("QuillBright-1200x1600-12 1200/"), std::string::npos) << grown;
            }

            EXPECT_TRUE(landscape->applySettings({false, {{1600, 1200, 60}}}));
            EXPECT_FALSE(landscape->applySettings({true, {{1600, 1200, 60}}})) << "HiDPI pixels exceed the display";
            EXPECT_TRUE(landscape->applySettings({true, {{800, 600, 60}}}));
            auto modes = displays->copyAllDisplayModes(landscape->displayId());
            ASSERT_TRUE(modes && modes->size() == 1);
            EXPECT_EQ((*modes)[0].pixelWidth, 1600U);
            EXPECT_EQ((*modes)[0].width, 800U);
            EXPECT_EQ(displays->setDisplayMode(landscape->displayId(), (*modes)[0]), 0);

            // The primary is the desktop's first display and stands in for a panel.
            const auto online = displays->onlineDisplays(8);
            ASSERT_EQ(online.size(), 3U);
            const std::uint32_t primary = online.front();
            EXPECT_TRUE(displays->isBuiltIn(primary));
            EXPECT_FALSE(displays->isBuiltIn(landscape->displayId()));

            // Mirroring: the display's area leaves the desktop, its picture is the primary's.
            auto configuration = displays->beginConfiguration();
            ASSERT_EQ(configuration->configureMirror(primary, landscape->displayId()), 0);
            ASSERT_EQ(configuration->complete(DisplayConfigureOption::forSession), 0);
            EXPECT_EQ(injector->displayBounds(landscape->displayId()), (InputInjector::Bounds{0, 0, 1024, 768}));
            EXPECT_EQ(layout().find("1600x1200+1024+0"), std::string::npos);
            EXPECT_EQ(layout().find("1600/423x1200/318+1024+0"), std::string::npos);
            configuration = displays->beginConfiguration();
            ASSERT_EQ(configuration->configureMirror(primary, NULL_DISPLAY_ID), 0);
            ASSERT_EQ(configuration->complete(DisplayConfigureOption::forSession), 0);
            auto bounds = injector->displayBounds(landscape->displayId());
            ASSERT_TRUE(bounds);
            EXPECT_EQ(bounds->width, 1600);
            EXPECT_GE(bounds->left, 1024);
        }
        EXPECT_EQ(layout(), before);
        // Too large for the server: refused, nothing left behind.
        EXPECT_EQ(create(*displays, 16000, 16000, 13), nullptr);
        EXPECT_EQ(layout(), before);
    }
}

TEST_F(X11PlatformTest, LeftoversOfAKilledDaemonAreRemovedAtTheNextStart)
{
    server.run("xrandr --newmode Other-640x480 25 640 656 752 800 480 490 492 525");
    const std::string before = layout();
    // What a daemon killed with -9 leaves: a grown screen, a monitor, an
    // output lit with a mode of ours, a mode of ours on another output.
    server.run("xrandr --fb 3424x1200");
    server.run("xrandr --setmonitor QuillBright-1600x1200-5 1600/423x1200/318+1024+0 none");
    server.run("xrandr --newmode QuillBright-800x600-6 40 800 848 880 960 600 603 609 640");
    server.run("xrandr --addmode DUMMY3 QuillBright-800x600-6");
    server.run("xrandr --output DUMMY3 --mode QuillBright-800x600-6 --pos 2624x0");
    server.run("xrandr --addmode DUMMY0 QuillBright-800x600-6");
    const std::string leftover = server.run("xrandr") + server.run("xrandr --listmonitors");
    ASSERT_NE(leftover.find("QuillBright-1600x1200-5"), std::string::npos);
    ASSERT_NE(leftover.find("DUMMY3 connected 800x600+2624+0"), std::string::npos) << leftover;

    auto platform = open();
    ASSERT_TRUE(platform);
    // Ours are gone; a mode of somebody else's stays.
    const std::string after = server.run("xrandr --verbose") + server.run("xrandr --listmonitors");
    EXPECT_EQ(after.find("QuillBright-"), std::string::npos) << after;
    EXPECT_NE(after.find("Other-640x480"), std::string::npos);
    EXPECT_EQ(layout(), before);
}

TEST_F(X11PlatformTest, CaptureDeliversDrawnPixelsThenOnlyTheChangedRowsAndNothingWhileStill)
{
    auto platform = open();
    ASSERT_TRUE(platform);
    auto display = create(*platform->virtualDisplays(), 320, 240, 21);
    ASSERT_TRUE(display);
    const auto bounds = platform->inputInjector()->displayBounds(display->displayId());
    ASSERT_TRUE(bounds);
    const Window w = window(*bounds, ExposureMask);

    // Known pixels: blue = x, green = y, red = x xor y.
    std::vector<std::uint8_t> expected(320 * 240 * 4);
    for (int y = 0; y < 240; ++y) {
        for (int x = 0; x < 320; ++x) {
            std::uint8_t* p = &expected[std::size_t(y * 320 + x) * 4];
            p[0] = std::uint8_t(x);
            p[1] = std::uint8_t(y);
            p[2] = std::uint8_t(x ^ y);
        }
    }
    std::vector<char> upload(expected.begin(), expected.end());
    XImage* image = XCreateImage(client, DefaultVisual(client, 0), 24, ZPixmap, 0, upload.data(), 320, 240, 32, 0);
    GC gc = XCreateGC(client, w, 0, nullptr);
    XPutImage(client, w, gc, image, 0, 0, 0, 0, 320, 240);
    XSync(client, False);

    test::CaptureRecorder recorder;
    auto backend = platform->captureBackend();
    CaptureStreamRequest request{.displayId = display->displayId(), .width = 320, .height = 240,
        .minimumFrameTime = 1.0 / 60, .showCursor = false, .queue = SerialQueue::makeDedicated("capture")};
    auto stream = backend->createStream(request, recorder.handler());
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->start(), 0);

    const auto frameCount = [&] { return recorder.frames().size(); };
    ASSERT_TRUE(loop.runUntil([&] { return frameCount() >= 1; }, 5000ms));
    const auto first = recorder.frames().at(0);
    EXPECT_EQ(first.packedColour(), expected);
    EXPECT_EQ(first.rects, (std::vector<CaptureRect>{{0, 0, 320, 240}}));

    // A still screen: no frames.
    loop.runFor(300ms);
    EXPECT_EQ(frameCount(), 1U);

    // One line drawn: one frame whose changes are that row only.
    XSetForeground(client, gc, 0x00FF8040);
    XFillRectangle(client, w, gc, 0, 100, 320, 1);
    XSync(client, False);
    ASSERT_TRUE(loop.runUntil([&] { return frameCount() >= 2; }, 5000ms));
    const auto second = recorder.frames().at(1);
    ASSERT_FALSE(second.rects.empty());
    for (const auto& rect : second.rects) {
        EXPECT_EQ(rect.y, 100U);
        EXPECT_EQ(rect.height, 1U);
    }
    for (int x = 0; x < 320; ++x) {
        std::uint8_t* p = &expected[std::size_t(100 * 320 + x) * 4];
        p[0] = 0x40;
        p[1] = 0x80;
        p[2] = 0xFF;
    }
    EXPECT_EQ(second.packedColour(), expected);

    stream->stop();
    const std::size_t afterStop = frameCount();
    XFillRectangle(client, w, gc, 0, 0, 320, 240);
    XSync(client, False);
    loop.runFor(100ms);
    EXPECT_EQ(frameCount(), afterStop);

    // The display going away ends a stream with "stopped".
    ASSERT_EQ(stream->start(), 0);
    display.reset();
    ASSERT_TRUE(loop.runUntil(
        [&] { return test::count(recorder.deliveries(), CaptureFrameStatus::stopped) == 1; }, 5000ms));
    stream.reset();
    image->data = nullptr;
    XDestroyImage(image);
    XFreeGC(client, gc);
}

TEST_F(X11PlatformTest, InjectedPointerClicksDragsAndWholeScrollClicksReachAWindowOnTheDisplay)
{
    auto platform = open();
    ASSERT_TRUE(platform);
    auto display = create(*platform->virtualDisplays(), 640, 480, 31);
    ASSERT_TRUE(display);
    auto injector = platform->inputInjector();
    ASSERT_TRUE(injector->isTrusted());
    const auto bounds = injector->displayBounds(display->displayId());
    ASSERT_TRUE(bounds);
    const long mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    const Window w = window(*bounds, mask);
    auto motionTo = [&](int x, int y) {
        return nextEvent(w, mask, [&](const XEvent& e) {
            return e.type == MotionNotify && e.xmotion.x == x && e.xmotion.y == y;
        });
    };

    injector->postMouseEvent(MouseEventType::moved, {bounds->left + 100.6, bounds->top + 50});
    EXPECT_TRUE(motionTo(100, 50));
    injector->postMouseEvent(MouseEventType::leftDown, {bounds->left + 100, bounds->top + 50});
    auto press = nextEvent(w, mask, [](const XEvent& e) { return e.type == ButtonPress; });
    ASSERT_TRUE(press);
    EXPECT_EQ(press->xbutton.button, 1U);
    EXPECT_EQ(press->xbutton.x, 100);
    injector->postMouseEvent(MouseEventType::leftDragged, {bounds->left + 300, bounds->top + 400});
    auto drag = motionTo(300, 400);
    ASSERT_TRUE(drag);
    EXPECT_TRUE(drag->xmotion.state & Button1Mask);
    injector->postMouseEvent(MouseEventType::leftUp, {bounds->left + 300, bounds->top + 400});
    auto release = nextEvent(w, mask, [](const XEvent& e) { return e.type == ButtonRelease; });
    ASSERT_TRUE(release);
    EXPECT_EQ(release->xbutton.button, 1U);

    // 40 pixels make a click; what is left over waits for the next event of
    // the gesture and is dropped when it ends.
    injector->postScrollEvent(ScrollPhase::began, 90, 0);      // 2 up, 10 left over
    injector->postScrollEvent(ScrollPhase::changed, 30, -45);  // 1 up; 1 right, -5 left over
    injector->postScrollEvent(ScrollPhase::ended, 0, 0);
    injector->postScrollEvent(ScrollPhase::began, -39, 0);     // nothing
    injector->postScrollEvent(ScrollPhase::changed, -41, 0);   // 2 down
    injector->postMouseEvent(MouseEventType::moved, {bounds->left + 7, bounds->top + 7}); // the end marker
    std::map<unsigned, int> presses;
    auto marker = nextEvent(w, mask, [&](const XEvent& e) {
        if (e.type == ButtonPress) ++presses[e.xbutton.button];
        return e.type == MotionNotify && e.xmotion.x == 7 && e.xmotion.y == 7;
    });
    ASSERT_TRUE(marker);
    EXPECT_EQ(presses, (std::map<unsigned, int>{{4, 3}, {5, 2}, {7, 1}}));
}

TEST_F(X11PlatformTest, HotkeyPressesReachTheHandlerWhateverTheLockKeysUntilReleased)
{
    auto platform = open();
    ASSERT_TRUE(platform);
    auto hotkeys = platform->globalHotkeys();
    ASSERT_TRUE(hotkeys);
    int toggles = 0;
    int markers = 0;
    std::string error;
    const auto toggle = hotkeys->registerHotkey({KEYSYM_F8, hotkeyControl}, [&] { ++toggles; }, &error);
    ASSERT_NE(toggle, 0U) << error;
    ASSERT_NE(hotkeys->registerHotkey({KEYSYM_F2, hotkeyControl}, [&] { ++markers; }), 0U);

    // Held by us: another client cannot grab it.
    auto other = open();
    ASSERT_TRUE(other);
    EXPECT_EQ(other->globalHotkeys()->registerHotkey({KEYSYM_F8, hotkeyControl}, [] {}, &error), 0U);
    EXPECT_FALSE(error.empty());

    auto tap = [&](KeySym key) {
        XTestFakeKeyEvent(client, XKeysymToKeycode(client, key), True, CurrentTime);
        XTestFakeKeyEvent(client, XKeysymToKeycode(client, key), False, CurrentTime);
    };
    auto chord = [&](KeySym key) {
        XTestFakeKeyEvent(client, XKeysymToKeycode(client, XK_Control_L), True, CurrentTime);
        tap(key);
        XTestFakeKeyEvent(client, XKeysymToKeycode(client, XK_Control_L), False, CurrentTime);
        XSync(client, False);
    };

    chord(XK_F8);
    EXPECT_TRUE(loop.runUntil([&] { return toggles == 1; }, 5000ms));
    tap(XK_Caps_Lock);
    tap(XK_Num_Lock);
    chord(XK_F8);
    EXPECT_TRUE(loop.runUntil([&] { return toggles == 2; }, 5000ms)) << "Caps Lock and Num Lock on";
    tap(XK_Caps_Lock);
    tap(XK_Num_Lock);
    chord(XK_F1); // not ours
    tap(XK_F8);   // without Control

    hotkeys->unregisterHotkey(toggle);
    hotkeys->unregisterHotkey(toggle); // twice is harmless
    chord(XK_F8);
    chord(XK_F2);
    ASSERT_TRUE(loop.runUntil([&] { return markers == 1; }, 5000ms));
    EXPECT_EQ(toggles, 2);
    // Released: now the other client gets it.
    EXPECT_NE(other->globalHotkeys()->registerHotkey({KEYSYM_F8, hotkeyControl}, [] {}), 0U);
}

// One choice gives every service: the desktop's from the backend, the host's
// from Linux whichever desktop runs; sim only when asked, and then wholly.
TEST_F(X11PlatformTest, TheChosenPlatformProvidesDesktopAndHostServices)
{
    std::string error;
    EXPECT_EQ(makeX11Desktop(loop.executor(), ":987", &error), nullptr);
    EXPECT_NE(error.find(":987"), std::string::npos);
    auto providers = [](const Platform& platform) {
        std::string text;
        for (const auto& capability : platform.capabilities()) {
            text += capability.name + ": " + capability.provider + (capability.simulated ? " (simulated)" : "") + "\n";
        }
        return text;
    };
    PlatformConfig config;
    config.display = server.display;
    config.sysfsRoot = "/nonexistent";
    ASSERT_NE(probePlatform(config).backend, nullptr);
    EXPECT_EQ(probePlatform(config).backend->name, "x11");
    EXPECT_EQ(providers(*openPlatform(loop.executor(), config)),
        "desktop: x11 " + server.display + "\npower: logind\nbacklight: sysfs: no built-in panel under "
            "/nonexistent/class/backlight\nfont-settings: gsettings\ndns-sd: avahi\n");

    // No desktop answers: the desktop is simulated, the host stays real.
    config.display = ":987";
    EXPECT_EQ(probePlatform(config).backend, nullptr);
    EXPECT_EQ(probePlatform(config).problem, "the X display :987 cannot be opened");
    auto fallback = openPlatform(loop.executor(), config);
    EXPECT_TRUE(fallback->simulatedDesktop());
    EXPECT_EQ(fallback->hostPower()->provider(), "logind");

    for (const char* requested : {"sim", "bogus"}) {
        config.requested = requested;
        EXPECT_EQ(providers(*openPlatform(loop.executor(), config)),
            "desktop: sim (simulated)\npower: sim (simulated)\nbacklight: sim (simulated)\n"
            "font-settings: sim (simulated)\ndns-sd: sim (simulated)\n")
            << requested;
    }
}

} // namespace
} // namespace qb
