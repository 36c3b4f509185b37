// What every desktop backend owes the daemon, checked the same way on each:
// a private Xorg (dummy driver; virtual displays as spare outputs and as
// monitors over a grown framebuffer), a private headless Mutter, a private
// headless sway, and the sim desktop (a private headless KWin, which cannot
// add outputs, is checked below the suite). Each rig shows a known picture with a client of its own over the
// display and reports what that client's pointer does, so the suite sees the
// desktop the way a user would. A rig whose server cannot start skips.
// Below the shared suite: what only one backend has.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "platform/CaptureRecorder.h"
#include "platform/CaptureStream.h"
#include "platform/GlobalHotkeys.h"
#include "platform/InputInjector.h"
#include "platform/KwinServer.h"
#include "platform/MutterServer.h"
#include "platform/Platform.h"
#include "platform/SwayServer.h"
#include "platform/VirtualDisplays.h"
#include "platform/XKeyText.h"
#include "platform/XorgServer.h"
#include "platform/gnome/GnomeShortcuts.h"
#include "platform/sim/SimInputInjector.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimWorld.h"
#include "runtime/MainLoop.h"
#include "runtime/Process.h"
#include "runtime/Queues.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using Bounds = InputInjector::Bounds;
using Sizes = std::multiset<std::string>;

// Why a stream did not start; empty when it did.
std::string failureOf(CaptureStream& stream)
{
    const auto failure = stream.start();
    return failure ? failure->message : std::string();
}

// `desktop`, a failure (saying `error`) when it did not open.
std::shared_ptr<Desktop> opened(std::shared_ptr<Desktop> desktop, const std::string& error)
{
    EXPECT_NE(desktop, nullptr) << error;
    return desktop;
}

// A capture stream of display `id` at `width` x `height` on a queue of its own.
std::unique_ptr<CaptureStream> captureOf(Desktop& desktop, std::uint32_t id, std::size_t width, std::size_t height,
    CaptureFrameHandler handler, double frameTime = 1.0 / 60, bool showCursor = true)
{
    auto stream = desktop.captureBackend()->createStream({.displayId = id, .width = width, .height = height,
                                                             .minimumFrameTime = frameTime, .showCursor = showCursor,
                                                             .queue = SerialQueue::makeDedicated("capture")},
        std::move(handler));
    EXPECT_TRUE(stream);
    return stream;
}

constexpr std::size_t W = 640;
constexpr std::size_t H = 480;

// Blue = x, green = y, red = x xor y: every pixel says where it is (BGRA, alpha cleared).
std::vector<std::uint8_t> knownPicture()
{
    std::vector<std::uint8_t> picture(W * H * 4);
    for (std::size_t y = 0; y < H; ++y) {
        for (std::size_t x = 0; x < W; ++x) {
            std::uint8_t* p = &picture[(y * W + x) * 4];
            p[0] = std::uint8_t(x);
            p[1] = std::uint8_t(y);
            p[2] = std::uint8_t(x ^ y);
        }
    }
    return picture;
}

// One backend's desktop, private to the test, and a client of its own on it.
class Rig {
public:
    virtual ~Rig() = default;
    std::string skipReason; // the server is missing: skip
    std::string failure;    // it is there but did not come up: fail

    virtual std::shared_ptr<Desktop> open(Executor loop) = 0;
    // The sizes of the displays the desktop lays out ("1024x768", ...).
    virtual Sizes monitorSizes() = 0;
    // Their sizes in the layout, in the points windows are laid out in.
    virtual Sizes layoutSizes() { return monitorSizes(); }
    // Everything the desktop shows of its layout, to compare before and after.
    virtual std::string layout() { return ""; }
    // A client window over `bounds` of display `id` showing knownPicture().
    virtual void show(std::uint32_t id, const Bounds& bounds) = 0;
    // The same picture (blue = x, green = y, red = x xor y) from the
    // top-left corner of display `id`, laid out at `width` x `height`
    // points; in points, or, where `drawsPixels`, in its pixels.
    virtual void showOn(std::uint32_t id, const Bounds& bounds, std::size_t, std::size_t) { show(id, bounds); }
    // Paints row `y` of that window one colour; false when this rig's client cannot.
    virtual bool paintRow(std::size_t, std::uint8_t, std::uint8_t, std::uint8_t) { return false; }
    // What the window's pointer did so far, in its own pixels:
    // "motion x y", "down x y", "up x y", "wheel up", "wheel down".
    virtual std::vector<std::string> pointerEvents() = 0;
    // What the window was typed so far as text (Return as a line break,
    // other keys as "<name>"); none when this rig's client cannot tell.
    virtual std::optional<std::string> typed() { return std::nullopt; }
    // Whether the client has seen any key yet, a modifier included.
    virtual bool sawAKey() { return true; }

    bool exactDamage = false;     // changed rectangles are exactly what was drawn
    bool drawsPixels = false;     // the client draws every pixel of a HiDPI display (not its points)
    bool silentWhenStill = false; // no picture is delivered while nothing changes
    bool refusesOversize = false; // a display larger than the server allows is refused
    bool typesBeyondKeymap = true; // types keysyms the desktop's keymap lacks
};

class X11Rig final : public Rig {
public:
    explicit X11Rig(const char* method)
        : method_(method)
    {
        skipReason = server.skipReason;
        if (!server.running()) return;
        XInitThreads();
        client = XOpenDisplay(server.display.c_str());
        if (!client) failure = "cannot open " + server.display;
        exactDamage = silentWhenStill = refusesOversize = true;
    }
    ~X11Rig() override
    {
        if (gc_) XFreeGC(client, gc_);
        if (client) XCloseDisplay(client);
    }

    std::shared_ptr<Desktop> open(Executor loop) override
    {
        const test::ScopedEnv method("QUILLBRIGHT_X11_VIRTUAL_DISPLAY", method_);
        std::string error;
        return opened(makeX11Desktop(loop, server.display.c_str(), &error), error);
    }
    Sizes monitorSizes() override
    {
        static const std::regex monitor(R"((\d+)/\d+x(\d+)/\d+\+)");
        const std::string text = server.run("xrandr --listmonitors");
        Sizes sizes;
        for (std::sregex_iterator it(text.begin(), text.end(), monitor), end; it != end; ++it) {
            sizes.insert((*it)[1].str() + "x" + (*it)[2].str());
        }
        return sizes;
    }
    std::string layout() override { return server.layout(); }
    void show(std::uint32_t, const Bounds& bounds) override
    {
        if (window_) { // a window of the test before: it goes, with what it saw
            XDestroyWindow(client, window_);
            XFreeGC(client, gc_);
            gc_ = nullptr;
            seen_.clear();
        }
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;
        attributes.event_mask = EVENTS | StructureNotifyMask | KeyPressMask;
        window_ = XCreateWindow(client, DefaultRootWindow(client), int(bounds.left), int(bounds.top), W, H, 0,
            CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(client, window_);
        XEvent event;
        do {
            XWindowEvent(client, window_, StructureNotifyMask, &event);
        } while (event.type != MapNotify);
        auto picture = knownPicture();
        XImage* image = XCreateImage(client, DefaultVisual(client, 0), 24, ZPixmap, 0,
            reinterpret_cast<char*>(picture.data()), W, H, 32, 0);
        gc_ = XCreateGC(client, window_, 0, nullptr);
        XPutImage(client, window_, gc_, image, 0, 0, 0, 0, W, H);
        XSync(client, False);
        image->data = nullptr;
        XDestroyImage(image);
        XSetInputFocus(client, window_, RevertToParent, CurrentTime);
        XSync(client, False);
    }
    // Each key read with the keymap as it is when the test reads it (the
    // injector's spare keycodes stay bound meanwhile).
    std::optional<std::string> typed() override
    {
        XEvent e;
        while (XCheckWindowEvent(client, window_, KeyPressMask, &e)) typed_ += test::keyEventText(client, e.xkey);
        return typed_;
    }
    bool paintRow(std::size_t y, std::uint8_t b, std::uint8_t g, std::uint8_t r) override
    {
        XSetForeground(client, gc_, (unsigned long)r << 16 | g << 8 | b);
        XFillRectangle(client, window_, gc_, 0, int(y), W, 1);
        XSync(client, False);
        return true;
    }
    std::vector<std::string> pointerEvents() override
    {
        XEvent e;
        while (XCheckWindowEvent(client, window_, EVENTS, &e)) {
            if (e.type == MotionNotify) {
                seen_.push_back("motion " + std::to_string(e.xmotion.x) + " " + std::to_string(e.xmotion.y));
            } else if (e.xbutton.button == 1) {
                seen_.push_back(std::string(e.type == ButtonPress ? "down " : "up ") + std::to_string(e.xbutton.x)
                    + " " + std::to_string(e.xbutton.y));
            } else if (e.type == ButtonPress && (e.xbutton.button == 4 || e.xbutton.button == 5)) {
                seen_.push_back(e.xbutton.button == 4 ? "wheel up" : "wheel down");
            }
            if (e.type == ButtonPress) ++presses[e.xbutton.button];
        }
        return seen_;
    }

    static constexpr long EVENTS = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    test::XorgServer server;
    Display* client = nullptr;
    std::map<unsigned, int> presses; // by X button

private:
    const char* method_;
    Window window_ = 0;
    GC gc_ = nullptr;
    std::vector<std::string> seen_;
    std::string typed_;
};

// A Wayland desktop shown by the painter client (tests/platform/painter),
// fullscreen on the output of the picture's size.
class PainterRig : public Rig {
public:
    PainterRig() { drawsPixels = true; }
    ~PainterRig() override
    {
        if (!painter_) return;
        painter_->terminate();
        painter_->waitUntilExit(5000ms);
    }

    void show(std::uint32_t id, const Bounds& bounds) override { showOn(id, bounds, W, H); }
    // Fullscreen on the output of that size.
    void showOn(std::uint32_t, const Bounds&, std::size_t width, std::size_t height) override
    {
        if (painter_) {
            painter_->terminate();
            painter_->waitUntilExit(5000ms);
        }
        ProcessOptions options;
        options.executable = QB_WAYLAND_PAINTER;
        options.arguments = {std::to_string(width), std::to_string(height)};
        if (width < 1600) options.arguments.push_back("hidpi"); // the HiDPI display's points: draw its pixels
        options.killedWithLaunchingThread = true;
        painter_ = Process::launch(options);
        ASSERT_TRUE(painter_);
        ASSERT_TRUE(test::eventually([&] { return painter_->standardOutput().find("ready\n") != std::string::npos; },
            15000ms, 10ms))
            << painter_->standardError();
    }
    std::vector<std::string> pointerEvents() override
    {
        std::vector<std::string> seen;
        std::istringstream lines(painter_ ? painter_->standardOutput() : "");
        static const std::regex button(R"(button (down|up) 1 (\d+ \d+))");
        static const std::regex wheel(R"(wheel \S+ (-?)[\d.]+)");
        std::smatch m;
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("motion ")) seen.push_back(line);
            if (std::regex_match(line, m, button)) seen.push_back(m[1].str() + " " + m[2].str());
            if (std::regex_match(line, m, wheel) && !line.ends_with(" 0.0")) {
                seen.push_back(m[1].length() ? "wheel down" : "wheel up");
            }
        }
        return seen;
    }
    std::optional<std::string> typed() override
    {
        std::string text;
        std::istringstream lines(painter_ ? painter_->standardOutput() : "");
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("text ")) text += line.substr(5);
            if (line == "key Return") text += "\n";
        }
        return text;
    }
    bool sawAKey() override { return painter_ && painter_->standardOutput().find("\nkey ") != std::string::npos; }

private:
    std::shared_ptr<Process> painter_;
};

class GnomeRig final : public PainterRig {
public:
    GnomeRig()
    {
        skipReason = server.skipReason;
        failure = server.failure;
        refusesOversize = true;
        typesBeyondKeymap = false; // Mutter finds no key for them and drops them
    }

    std::shared_ptr<Desktop> open(Executor loop) override
    {
        std::string error;
        return opened(makeGnomeDesktop(loop, &error), error);
    }
    Sizes monitorSizes() override { return server.monitorSizes(); }
    Sizes layoutSizes() override { return server.layoutSizes(); }
    std::string layout() override { return testing::PrintToString(server.layout()); }

    test::MutterServer server;
};

class SwayRig final : public PainterRig {
public:
    SwayRig()
    {
        skipReason = server.skipReason;
        failure = server.failure;
        refusesOversize = true;
    }
    ~SwayRig() override
    {
        if (skipReason.empty() && failure.empty() && !server.alive()) ADD_FAILURE() << "sway ended:\n" << server.log();
    }

    std::shared_ptr<Desktop> open(Executor loop) override
    {
        std::string error;
        auto config = PlatformConfig::fromEnvironment();
        config.home = server.directory; // the record of our outputs too
        return opened(makeWlrootsDesktop(config, loop, &error), error);
    }
    Sizes monitorSizes() override { return server.monitorSizes(); }
    Sizes layoutSizes() override { return server.layoutSizes(); }
    std::string layout() override { return testing::PrintToString(server.activeOutputs()); }

    test::SwayServer server;
};

// KWin's virtual backend: one 640x480 output, and no outputs added (it
// answers "Could not find output"), so it is no rig of the shared suite.
class KwinRig final : public PainterRig {
public:
    KwinRig()
        : server(W, H)
    {
        skipReason = server.skipReason;
        failure = server.failure;
    }

    std::shared_ptr<Desktop> open(Executor loop) override
    {
        std::string error;
        return opened(makeKdeDesktop(PlatformConfig::fromEnvironment(), loop, &error), error + "\n" + server.log());
    }
    Sizes monitorSizes() override { return {}; }

    test::KwinServer server;
};

class SimRig final : public Rig {
public:
    SimRig()
    {
        world.reset();
        silentWhenStill = true;
    }
    ~SimRig() override { world.reset(); }

    std::shared_ptr<Desktop> open(Executor) override { return desktop_ = makeSimDesktop(); }
    Sizes monitorSizes() override
    {
        Sizes sizes;
        for (const auto& screen : world.screens()) {
            sizes.insert(std::to_string(int(screen.frame.width)) + "x" + std::to_string(int(screen.frame.height)));
        }
        return sizes;
    }
    std::string layout() override
    {
        std::string text;
        for (auto id : world.displayIds()) text += std::to_string(id) + " ";
        return text;
    }
    void show(std::uint32_t id, const Bounds& bounds) override
    {
        bounds_ = bounds;
        picture_ = sim::SimImage{W, H, knownPicture()};
        for (std::size_t i = 3; i < picture_.bgra.size(); i += 4) picture_.bgra[i] = 255;
        world.setScene(id, scene_);
        scene_->show(picture_);
    }
    bool paintRow(std::size_t y, std::uint8_t b, std::uint8_t g, std::uint8_t r) override
    {
        for (std::size_t x = 0; x < W; ++x) {
            std::uint8_t* p = &picture_.bgra[(y * W + x) * 4];
            p[0] = b, p[1] = g, p[2] = r;
        }
        scene_->show(picture_);
        return true;
    }
    // The window's view of what was injected: only what falls on it.
    std::vector<std::string> pointerEvents() override
    {
        std::vector<std::string> seen;
        auto injector = std::dynamic_pointer_cast<SimInputInjector>(desktop_->inputInjector());
        for (const auto& e : injector->events()) {
            if (e.kind == RecordedInputEvent::Kind::scroll) {
                if (e.vertical != 0) seen.push_back(e.vertical > 0 ? "wheel up" : "wheel down");
                continue;
            }
            const double x = e.location.x - bounds_.left, y = e.location.y - bounds_.top;
            if (x < 0 || y < 0 || x >= double(W) || y >= double(H)) continue;
            const std::string at = std::to_string(int(x)) + " " + std::to_string(int(y));
            const auto type = e.mouseType;
            seen.push_back(type == MouseEventType::leftDown ? "down " + at
                    : type == MouseEventType::leftUp        ? "up " + at
                                                            : "motion " + at);
        }
        return seen;
    }

    sim::SimWorld& world = sim::SimWorld::shared();

private:
    std::shared_ptr<Desktop> desktop_;
    std::shared_ptr<sim::ScriptedScene> scene_ = std::make_shared<sim::ScriptedScene>();
    sim::SimImage picture_;
    Bounds bounds_;
};

std::unique_ptr<Rig> makeRig(const std::string& name)
{
    if (name == "x11_output") return std::make_unique<X11Rig>("output");
    if (name == "x11_monitor") return std::make_unique<X11Rig>("monitor");
    if (name == "gnome") return std::make_unique<GnomeRig>();
    if (name == "sway") return std::make_unique<SwayRig>();
    return std::make_unique<SimRig>();
}

class DesktopConformance : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        rig = makeRig(GetParam());
        if (!rig->skipReason.empty()) GTEST_SKIP() << GetParam() << " unavailable: " << rig->skipReason;
        ASSERT_EQ(rig->failure, "");
        desktop = rig->open(loop.executor());
        ASSERT_TRUE(desktop);
    }
    void TearDown() override
    {
        desktop.reset();
        rig.reset();
    }

    // Runs the desktop's events until `done`, at most `limit`.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 15000ms)
    {
        return loop.runUntil(done, limit);
    }
    bool sawPointer(const std::string& event)
    {
        if (waitFor([&] { return std::ranges::count(rig->pointerEvents(), event) > 0; })) return true;
        ADD_FAILURE() << "no " << event << " in " << testing::PrintToString(rig->pointerEvents());
        return false;
    }
    std::unique_ptr<VirtualDisplay> create(std::uint32_t width, std::uint32_t height, std::uint32_t serial = 0)
    {
        return desktop->virtualDisplays()->createVirtualDisplay(
            {.serialNumber = serial, .name = "test", .maxPixelsWide = width, .maxPixelsHigh = height});
    }
    std::unique_ptr<CaptureStream> capture(std::uint32_t displayId, test::CaptureRecorder& recorder,
        double frameTime = 1.0 / 60, std::size_t width = W, std::size_t height = H)
    {
        return captureOf(*desktop, displayId, width, height, recorder.handler(), frameTime, false);
    }

    PlatformLogMute mute;
    MainLoop loop;
    std::unique_ptr<Rig> rig;
    std::shared_ptr<Desktop> desktop;
};

TEST_P(DesktopConformance, VirtualDisplaysExtendTheDesktopMirrorThePrimaryAndLeaveNothingBehind)
{
    const Sizes before = rig->monitorSizes();
    const std::string layout = rig->layout();
    ASSERT_EQ(before.size(), 1U);
    auto displays = desktop->virtualDisplays();
    auto injector = desktop->inputInjector();
    {
        auto landscape = create(1600, 1200, 11);
        auto portrait = create(1200, 1600, 12);
        ASSERT_TRUE(landscape && portrait);
        Sizes extended = before;
        extended.insert({"1600x1200", "1200x1600"});
        EXPECT_TRUE(waitFor([&] { return rig->monitorSizes() == extended; })) << rig->layout();
        const auto bounds = injector->displayBounds(landscape->displayId());
        ASSERT_TRUE(bounds);
        EXPECT_EQ(std::pair(bounds->width, bounds->height), std::pair(1600.0, 1200.0));
        EXPECT_EQ(injector->displayBounds(portrait->displayId())->height, 1600);

        // The desktop's first display stands in for a built-in panel.
        const auto online = displays->onlineDisplays(8);
        ASSERT_EQ(online.size(), 3U);
        const std::uint32_t primary = online.front();
        EXPECT_TRUE(displays->isBuiltIn(primary));
        EXPECT_FALSE(displays->isBuiltIn(landscape->displayId()));

        // Mirroring: one picture on both, laid out once.
        auto configuration = displays->beginConfiguration();
        ASSERT_EQ(configuration->configureMirror(primary, landscape->displayId()), 0);
        ASSERT_EQ(configuration->complete(DisplayConfigureOption::forSession), 0);
        EXPECT_TRUE(waitFor([&] { return rig->monitorSizes().size() == 2; })) << rig->layout();
        EXPECT_EQ(rig->monitorSizes().count("1200x1600"), 1U);
        configuration = displays->beginConfiguration();
        ASSERT_EQ(configuration->configureMirror(primary, NULL_DISPLAY_ID), 0);
        ASSERT_EQ(configuration->complete(DisplayConfigureOption::forSession), 0);
        EXPECT_TRUE(waitFor([&] { return rig->monitorSizes() == extended; })) << rig->layout();
        EXPECT_EQ(injector->displayBounds(landscape->displayId())->width, 1600);

        // HiDPI doubles the pixels, which must fit the display.
        EXPECT_TRUE(portrait->applySettings({true, {{600, 800, 60}}}));
        EXPECT_FALSE(portrait->applySettings({true, {{1200, 1600, 60}}}));
        auto modes = displays->copyAllDisplayModes(portrait->displayId());
        ASSERT_TRUE(modes);
        auto mode = std::ranges::find_if(*modes, [](auto& m) { return m.pixelWidth == 1200 && m.width == 600; });
        ASSERT_NE(mode, modes->end());
        EXPECT_EQ(displays->setDisplayMode(portrait->displayId(), *mode), 0);
    }
    EXPECT_TRUE(waitFor([&] { return rig->monitorSizes() == before; })) << rig->layout();
    EXPECT_EQ(rig->layout(), layout);
    if (rig->refusesOversize) {
        EXPECT_EQ(create(20000, 20000), nullptr);
        EXPECT_EQ(rig->layout(), layout);
        EXPECT_EQ(rig->monitorSizes(), before);
    }
}

TEST_P(DesktopConformance, CaptureDeliversThePaintedPictureThenWhatChangedAndStopsWhenTheDisplayGoes)
{
    auto display = create(W, H, 21);
    ASSERT_TRUE(display);
    const auto bounds = desktop->inputInjector()->displayBounds(display->displayId());
    ASSERT_TRUE(bounds);
    rig->show(display->displayId(), *bounds);
    if (HasFatalFailure()) return;

    test::CaptureRecorder recorder;
    auto expected = knownPicture();
    auto frames = [&] { return recorder.frames(); };
    auto stream = capture(display->displayId(), recorder);
    ASSERT_TRUE(stream);
    ASSERT_EQ(failureOf(*stream), "");
    EXPECT_EQ(failureOf(*stream), "") << "starting a started stream is harmless";
    ASSERT_TRUE(waitFor([&] { return !frames().empty() && frames().back().packedColour() == expected; }))
        << frames().size() << " frames";
    EXPECT_EQ(frames().front().rects, (std::vector<CaptureRect>{{0, 0, W, H}}));

    if (rig->silentWhenStill) {
        const auto count = frames().size();
        loop.runFor(300ms);
        EXPECT_EQ(frames().size(), count) << "a still screen costs nothing";
    }
    if (rig->paintRow(100, 0x40, 0x80, 0xFF)) {
        for (std::size_t x = 0; x < W; ++x) {
            std::uint8_t* p = &expected[(100 * W + x) * 4];
            p[0] = 0x40, p[1] = 0x80, p[2] = 0xFF;
        }
        ASSERT_TRUE(waitFor([&] { return frames().back().packedColour() == expected; }));
        const auto rects = frames().back().rects;
        ASSERT_FALSE(rects.empty());
        EXPECT_TRUE(std::ranges::any_of(rects, [](auto& r) { return r.y <= 100 && r.y + r.height > 100; }));
        if (rig->exactDamage) {
            EXPECT_TRUE(std::ranges::all_of(rects, [](auto& r) { return r.y == 100 && r.height == 1; }));
            // A reread reads all of the picture again, though nothing was drawn.
            const auto count = frames().size();
            stream->requestReread();
            ASSERT_TRUE(waitFor([&] { return frames().size() > count; }));
            EXPECT_EQ(frames().back().rects, (std::vector<CaptureRect>{{0, 0, W, H}}));
        }
        stream->stop();
        const auto count = frames().size();
        rig->paintRow(200, 1, 2, 3);
        loop.runFor(100ms);
        EXPECT_EQ(frames().size(), count) << "delivered after stop";
        // With the picture changing, a reread rides on the change's frame
        // instead of taking a frame (and the change's place) of its own.
        stream = capture(display->displayId(), recorder, 0.5);
        ASSERT_EQ(failureOf(*stream), "");
        ASSERT_TRUE(waitFor([&] { return frames().size() > count; }));
        if (rig->exactDamage) {
            loop.runFor(600ms); // a frame may be taken at once
            stream->requestReread();
            loop.runFor(50ms);
            rig->paintRow(300, 7, 8, 9);
            ASSERT_TRUE(waitFor([&] { return frames().size() > count + 1; }));
            loop.runFor(700ms);
            ASSERT_EQ(frames().size(), count + 2);
            EXPECT_EQ(frames().back().rects, (std::vector<CaptureRect>{{0, 0, W, H}}));
            EXPECT_EQ(frames().back().packedColour()[(300 * W + 5) * 4], 7);
        }
    }

    display.reset();
    ASSERT_TRUE(waitFor([&] { return test::count(recorder.deliveries(), CaptureFrameStatus::stopped) == 1; }));
    stream->stop();
    loop.runFor(50ms);
    EXPECT_EQ(test::count(recorder.deliveries(), CaptureFrameStatus::stopped), 1U);
}

TEST_P(DesktopConformance, StopWaitsForTheRunningHandlerAndMayBeCalledFromIt)
{
    auto display = create(W, H, 22);
    ASSERT_TRUE(display);
    rig->show(display->displayId(), *desktop->inputInjector()->displayBounds(display->displayId()));
    if (HasFatalFailure()) return;
    std::atomic<bool> inside{false};
    test::CaptureRecorder slow;
    slow.onDelivery = [&](const test::Delivery&) {
        inside = true;
        std::this_thread::sleep_for(20ms); // a slow frame under way
        inside = false;
    };
    auto stream = capture(display->displayId(), slow);
    ASSERT_EQ(failureOf(*stream), "");
    ASSERT_TRUE(waitFor([&] { return !slow.deliveries().empty(); }));
    stream->stop();
    EXPECT_FALSE(inside.load()) << "stop returned while the handler still ran";
    const auto delivered = slow.deliveries().size();
    stream.reset();
    EXPECT_EQ(slow.deliveries().size(), delivered);

    test::CaptureRecorder selfStopping;
    std::unique_ptr<CaptureStream> second;
    std::atomic<int> calls{0};
    selfStopping.onDelivery = [&](const test::Delivery&) {
        if (++calls == 1) second->stop();
    };
    second = capture(display->displayId(), selfStopping);
    ASSERT_EQ(failureOf(*second), "");
    ASSERT_TRUE(waitFor([&] { return calls > 0; }));
    rig->paintRow(10, 9, 9, 9);
    loop.runFor(100ms);
    second->stop();
    EXPECT_EQ(calls.load(), 1);
}

TEST_P(DesktopConformance, InjectedPointerEventsLandOnThePixelTouched)
{
    auto display = create(W, H, 31);
    ASSERT_TRUE(display);
    auto injector = desktop->inputInjector();
    ASSERT_TRUE(injector->isTrusted());
    const auto b = injector->displayBounds(display->displayId());
    ASSERT_TRUE(b);
    if (GetParam() == "x11_monitor") {
        // Xorg keeps the pointer on lit outputs: a tap on a monitor-only
        // display must not click the primary's edge, where the pointer stops.
        rig->show(display->displayId(), {1024.0 - W, 0, W, H});
        injector->postMouseEvent(MouseEventType::leftDown, {b->left + 100, b->top + 50});
        injector->postMouseEvent(MouseEventType::leftUp, {b->left + 100, b->top + 50});
        injector->postMouseEvent(MouseEventType::moved, {1024.0 - W + 7, 7});
        ASSERT_TRUE(sawPointer("motion 7 7"));
        EXPECT_EQ(std::ranges::count_if(rig->pointerEvents(), [](auto& e) { return e.starts_with("down"); }), 0);
        return;
    }
    rig->show(display->displayId(), *b);
    if (HasFatalFailure()) return;
    // As in a session: the display is being captured while touches arrive.
    test::CaptureRecorder recorder;
    auto stream = capture(display->displayId(), recorder);
    ASSERT_EQ(failureOf(*stream), "");
    ASSERT_TRUE(waitFor([&] { return !recorder.frames().empty() && recorder.frames().back().packedColour() == knownPicture(); }));

    injector->postMouseEvent(MouseEventType::moved, {b->left + 100.6, b->top + 50});
    EXPECT_TRUE(sawPointer("motion 100 50"));
    injector->postMouseEvent(MouseEventType::leftDown, {b->left + 100, b->top + 50});
    EXPECT_TRUE(sawPointer("down 100 50"));
    injector->postMouseEvent(MouseEventType::leftDragged, {b->left + 300, b->top + 400});
    EXPECT_TRUE(sawPointer("motion 300 400"));
    injector->postMouseEvent(MouseEventType::leftUp, {b->left + 300, b->top + 400});
    EXPECT_TRUE(sawPointer("up 300 400"));
    // Positive pixels scroll up.
    injector->postScrollEvent(ScrollPhase::began, 90, 0);
    injector->postScrollEvent(ScrollPhase::ended, 0, 0);
    EXPECT_TRUE(sawPointer("wheel up"));
    EXPECT_EQ(std::ranges::count(rig->pointerEvents(), "wheel down"), 0);
}

// Keys typed through the backend reach the focused client: a plain and a
// shifted letter, Return, and where the backend can, Latin-1 and Unicode
// beyond the desktop's keymap.
TEST_P(DesktopConformance, TypedKeysymsReachTheFocusedClient)
{
    auto display = create(W, H, 32);
    ASSERT_TRUE(display);
    auto injector = desktop->inputInjector();
    const auto b = injector->displayBounds(display->displayId());
    ASSERT_TRUE(b);
    if (!injector->canType()) GTEST_SKIP() << GetParam() << " cannot type";
    rig->show(display->displayId(), *b);
    if (HasFatalFailure()) return;
    if (!rig->typed()) GTEST_SKIP() << GetParam() << ": the test's client cannot tell what was typed";
    // As in a session: the display is being captured (Mutter's input follows its stream).
    test::CaptureRecorder recorder;
    auto stream = capture(display->displayId(), recorder);
    ASSERT_EQ(failureOf(*stream), "");
    ASSERT_TRUE(waitFor([&] { return !recorder.frames().empty(); }));
    // A click gives the client the focus where a compositor wants one (sway).
    injector->postMouseEvent(MouseEventType::moved, {b->left + 10, b->top + 10});
    injector->postMouseEvent(MouseEventType::leftDown, {b->left + 10, b->top + 10});
    injector->postMouseEvent(MouseEventType::leftUp, {b->left + 10, b->top + 10});
    // A seat without a keyboard (a headless compositor's) gains ours with its
    // first key, and only then does a client bind a keyboard: Shift until
    // the client sees one.
    ASSERT_TRUE(waitFor([&] {
        injector->postKey(KEYSYM_SHIFT, true);
        injector->postKey(KEYSYM_SHIFT, false);
        return rig->sawAKey();
    }));
    for (const std::uint32_t keysym : {0x61u, 0x5Au, 0xE9u, 0x10020ACu, 0xFF0Du}) {
        injector->postKey(keysym, true);
        injector->postKey(keysym, false);
    }
    const std::string expected = rig->typesBeyondKeymap ? "aZ\u00e9\u20ac\n" : "aZ\n";
    EXPECT_TRUE(waitFor([&] { return rig->typed() == expected; })) << testing::PrintToString(rig->typed());
}

// A HiDPI mode lays a display out at half its pixels, and what is drawn on
// it covers twice its size in points on the tablet; without it, a display is
// laid out at its pixels and shows windows at their size. Touches land on
// the point shown under them.
TEST_P(DesktopConformance, AHiDPIDisplayIsLaidOutAtHalfItsPixelsAndShowsWindowsAtTwiceTheirSize)
{
    constexpr std::size_t PW = 1600, PH = 1200; // cozy: 800x600 points (the least Mutter scales by 2)
    auto displays = desktop->virtualDisplays();
    auto injector = desktop->inputInjector();
    const Sizes before = rig->layoutSizes();
    const std::string layoutBefore = rig->layout();
    auto with = [&](const char* size) {
        Sizes sizes = before;
        sizes.insert(size);
        return sizes;
    };
    // Where the picture's (x, y) is not shown `scale` x `scale` pixels
    // large (blue x, green y); empty when every one sampled is.
    auto misshown = [&](const test::Delivery& frame, std::size_t scale) -> std::string {
        if (frame.width != PW || frame.height != PH) return "a frame of another size";
        for (std::size_t y = 10; y < 250; y += 13) {
            for (std::size_t x = 10; x < 250; x += 11) {
                for (std::size_t d = 0; d < scale * scale; ++d) {
                    const std::uint8_t* p = frame.pixel(x * scale + d % scale, y * scale + d / scale);
                    if (p[0] != x || p[1] != y) {
                        return fmt::format("point {},{} shows {},{}", x, y, p[0], p[1]);
                    }
                }
            }
        }
        return "";
    };
    for (const bool hiDPI : {false, true}) {
        SCOPED_TRACE(hiDPI ? "cozy" : "sharp");
        auto display = create(PW, PH, hiDPI ? 52 : 51);
        ASSERT_TRUE(display);
        const std::uint32_t id = display->displayId();
        if (hiDPI) {
            ASSERT_TRUE(display->applySettings({true, {{PW / 2, PH / 2, 60}}}));
            auto modes = displays->copyAllDisplayModes(id);
            ASSERT_TRUE(modes);
            auto mode = std::ranges::find_if(*modes, [](auto& m) { return m.pixelWidth == PW && m.width == PW / 2; });
            ASSERT_NE(mode, modes->end());
            ASSERT_EQ(displays->setDisplayMode(id, *mode), 0);
        }
        const std::size_t scale = hiDPI ? 2 : 1;
        EXPECT_TRUE(waitFor([&] { return rig->layoutSizes() == with(hiDPI ? "800x600" : "1600x1200"); }))
            << testing::PrintToString(rig->layoutSizes());
        if (GetParam() == "sim") continue; // its pictures are scripted, not drawn
        // The test's SDL client is configured at the monitor's pixels on
        // Mutter's physical layout at scale 2, so it cannot show a window of
        // known points there: the scale is what the layout above checks.
        if (hiDPI && GetParam() == "gnome") continue;
        const auto b = injector->displayBounds(id);
        ASSERT_TRUE(b);
        rig->showOn(id, *b, PW / scale, PH / scale);
        if (HasFatalFailure()) return;
        test::CaptureRecorder recorder;
        std::mutex lastLock;
        test::Delivery last;
        recorder.onDelivery = [&](const test::Delivery& d) {
            std::lock_guard guard(lastLock);
            if (d.hasSurface) last = d;
        };
        auto latest = [&] {
            std::lock_guard guard(lastLock);
            return last;
        };
        auto stream = capture(id, recorder, 1.0 / 60, PW, PH);
        ASSERT_EQ(failureOf(*stream), "");
        // A client drawing the display's pixels shows each of its points as
        // 2x2 of them, which the touch below checks; one drawing points
        // shows them twice the size.
        const std::size_t drawn = rig->drawsPixels ? 1 : scale;
        EXPECT_TRUE(waitFor([&] { return misshown(latest(), drawn).empty(); })) << misshown(latest(), drawn);
        if (GetParam() != "x11_monitor") { // Xorg keeps the pointer off a monitor without an output
            // The window's point (100, 50), `scale` times further into the tablet.
            const double x = b->left + b->width * 100 / double(PW / scale);
            const double y = b->top + b->height * 50 / double(PH / scale);
            injector->postMouseEvent(MouseEventType::moved, {x, y});
            EXPECT_TRUE(sawPointer("motion 100 50"));
            injector->postMouseEvent(MouseEventType::leftDown, {x, y});
            injector->postMouseEvent(MouseEventType::leftUp, {x, y});
            EXPECT_TRUE(sawPointer("down 100 50"));
        }
        stream->stop();
        display.reset();
        ASSERT_TRUE(waitFor([&] { return rig->layoutSizes() == before; })) << testing::PrintToString(rig->layoutSizes());
        EXPECT_EQ(rig->layout(), layoutBefore);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, DesktopConformance, ::testing::Values("x11_output", "x11_monitor", "gnome", "sway", "sim"),
    [](const auto& info) { return info.param; });

// ---- What only one backend has ----

class X11Desktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!rig.skipReason.empty()) GTEST_SKIP() << rig.skipReason;
    }
    PlatformLogMute mute;
    MainLoop loop;
    X11Rig rig{"output"};
};

TEST_F(X11Desktop, ScrollPixelsBecomeWholeWheelClicksAndHotkeysFireWhateverTheLockKeys)
{
    auto desktop = rig.open(loop.executor());
    auto display = desktop->virtualDisplays()->createVirtualDisplay({.name = "t", .maxPixelsWide = W, .maxPixelsHigh = H});
    auto injector = desktop->inputInjector();
    const auto b = injector->displayBounds(display->displayId());
    rig.show(display->displayId(), *b);
    // 40 pixels make a click; what is left over waits for the next event of
    // the gesture and is dropped when it ends.
    injector->postMouseEvent(MouseEventType::moved, {b->left + 1, b->top + 1});
    injector->postScrollEvent(ScrollPhase::began, 90, 0);     // 2 up, 10 left over
    injector->postScrollEvent(ScrollPhase::changed, 30, -45); // 1 up; 1 right, -5 left over
    injector->postScrollEvent(ScrollPhase::ended, 0, 0);
    injector->postScrollEvent(ScrollPhase::began, -39, 0);   // nothing
    injector->postScrollEvent(ScrollPhase::changed, -41, 0); // 2 down
    injector->postMouseEvent(MouseEventType::moved, {b->left + 7, b->top + 7});
    ASSERT_TRUE(loop.runUntil([&] { return std::ranges::count(rig.pointerEvents(), "motion 7 7") > 0; }, 5000ms));
    EXPECT_EQ(rig.presses, (std::map<unsigned, int>{{4, 3}, {5, 2}, {7, 1}}));

    auto hotkeys = desktop->globalHotkeys();
    ASSERT_TRUE(hotkeys);
    int toggles = 0, markers = 0;
    std::string error;
    const auto toggle = hotkeys->registerHotkey({KEYSYM_F8, hotkeyControl}, [&] { ++toggles; }, &error);
    ASSERT_NE(toggle, 0U) << error;
    ASSERT_NE(hotkeys->registerHotkey({KEYSYM_F2, hotkeyControl}, [&] { ++markers; }), 0U);

    Display* client = rig.client;
    auto tap = [&](KeySym key) {
        XTestFakeKeyEvent(client, XKeysymToKeycode(client, key), True, CurrentTime);
        XTestFakeKeyEvent(client, XKeysymToKeycode(client, key), False, CurrentTime);
        XSync(client, False);
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
    chord(XK_F8);
    chord(XK_F2);
    ASSERT_TRUE(loop.runUntil([&] { return markers == 1; }, 5000ms));
    EXPECT_EQ(toggles, 2);
}

TEST(GnomeDesktop, ACaptureOfAnotherSizeResizesTheMonitor)
{
    PlatformLogMute mute;
    MainLoop loop;
    GnomeRig rig;
    if (!rig.skipReason.empty()) GTEST_SKIP() << rig.skipReason;
    ASSERT_EQ(rig.failure, "");
    {
        auto desktop = rig.open(loop.executor());
        auto portrait = desktop->virtualDisplays()->createVirtualDisplay({.name = "t", .maxPixelsWide = 1200, .maxPixelsHigh = 1600});
        ASSERT_TRUE(portrait);
        auto stream = captureOf(*desktop, portrait->displayId(), 1024, 768, [](std::int32_t, const CaptureSurface*) {});
        ASSERT_TRUE(stream);
        ASSERT_EQ(failureOf(*stream), "");
        EXPECT_TRUE(test::eventually([&] { return rig.monitorSizes() == Sizes{"1280x800", "1024x768"}; }, 15000ms));
        EXPECT_EQ(desktop->inputInjector()->displayBounds(portrait->displayId())->width, 1024);
    }
}

// KWin's virtual backend negotiates a monitor's stream but sends no picture
// over it (only cursor metadata), and adds no outputs: what it allows is
// checked, the stream's negotiation and the fake input.
TEST(KdeDesktop, AMonitorsStreamIsAgreedAndFakeInputLandsOnThePixelTouched)
{
    PlatformLogMute mute;
    MainLoop loop;
    KwinRig rig;
    if (!rig.skipReason.empty()) GTEST_SKIP() << rig.skipReason;
    ASSERT_EQ(rig.failure, "");
    auto desktop = rig.open(loop.executor());
    ASSERT_TRUE(desktop);
    const auto ids = desktop->virtualDisplays()->onlineDisplays(8);
    ASSERT_EQ(ids.size(), 1U);
    auto injector = desktop->inputInjector();
    ASSERT_TRUE(injector->isTrusted());
    const auto b = injector->displayBounds(ids[0]);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->width, double(W));
    EXPECT_EQ(b->height, double(H));
    EXPECT_EQ(desktop->virtualDisplays()->createVirtualDisplay({.serialNumber = 41, .name = "test",
                  .maxPixelsWide = W, .maxPixelsHigh = H}),
        nullptr)
        << "KWin's virtual backend added an output: test virtual displays on KDE too";

    // Starting waits until KWin's stream of the output and ours agree on a format.
    test::CaptureRecorder recorder;
    auto stream = captureOf(*desktop, ids[0], W, H, recorder.handler(), 1.0 / 60, false);
    ASSERT_TRUE(stream);
    ASSERT_EQ(failureOf(*stream), "") << rig.server.log();
    rig.show(ids[0], *b);
    if (HasFatalFailure()) return;

    auto saw = [&](const std::string& event) {
        return loop.runUntil([&] { return std::ranges::count(rig.pointerEvents(), event) > 0; }, 15000ms);
    };
    injector->postMouseEvent(MouseEventType::moved, {b->left + 100, b->top + 50});
    EXPECT_TRUE(saw("motion 100 50")) << testing::PrintToString(rig.pointerEvents());
    injector->postMouseEvent(MouseEventType::leftDown, {b->left + 100, b->top + 50});
    injector->postMouseEvent(MouseEventType::leftDragged, {b->left + 300, b->top + 400});
    injector->postMouseEvent(MouseEventType::leftUp, {b->left + 300, b->top + 400});
    EXPECT_TRUE(saw("up 300 400")) << testing::PrintToString(rig.pointerEvents());
    EXPECT_EQ(std::ranges::count(rig.pointerEvents(), "down 100 50"), 1);
    injector->postScrollEvent(ScrollPhase::began, 90, 0);
    injector->postScrollEvent(ScrollPhase::ended, 0, 0);
    EXPECT_TRUE(saw("wheel up")) << testing::PrintToString(rig.pointerEvents());
    stream->stop();
    EXPECT_EQ(test::count(recorder.deliveries(), CaptureFrameStatus::stopped), 0U);
}

TEST(WlrootsDesktop, WithoutSwaysSocketNoOutputIsAddedAndTheTabletShowsThePrimary)
{
    PlatformLogMute mute;
    MainLoop loop;
    test::SwayServer server;
    if (!server.skipReason.empty()) GTEST_SKIP() << server.skipReason;
    ASSERT_EQ(server.failure, "");
    auto config = PlatformConfig::fromEnvironment();
    config.swaySocket.clear(); // another wlroots compositor
    config.home = server.directory;
    std::string error;
    auto desktop = makeWlrootsDesktop(config, loop.executor(), &error);
    ASSERT_TRUE(desktop) << error;
    auto display = desktop->virtualDisplays()->createVirtualDisplay({.name = "t", .maxPixelsWide = 1600, .maxPixelsHigh = 1200});
    ASSERT_TRUE(display);
    EXPECT_EQ(server.monitorSizes(), Sizes{"1280x800"});
    // The primary letterboxed onto the tablet: its 1280 points across 1600.
    EXPECT_EQ(desktop->inputInjector()->displayBounds(display->displayId())->width, 1280);
    test::CaptureRecorder recorder;
    auto stream = captureOf(*desktop, display->displayId(), 1600, 1200, recorder.handler());
    ASSERT_TRUE(stream);
    ASSERT_EQ(failureOf(*stream), "");
    EXPECT_TRUE(loop.runUntil([&] { return !recorder.frames().empty(); }, 5000ms));
    stream->stop();
}

TEST(GnomeDesktop, ShortcutsOfOursAreAddedBesideTheUsersOwnAndRemovedAgain)
{
    // GSettings in a key file of our own instead of the user's dconf.
    char pattern[] = "/tmp/qb-shortcuts-XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    setenv("GSETTINGS_BACKEND", "keyfile", 1);
    setenv("XDG_CONFIG_HOME", pattern, 1);
    auto get = [](const std::string& arguments) { return test::commandOutput("gsettings get " + arguments + " 2>&1"); };
    const std::string keys = "org.gnome.settings-daemon.plugins.media-keys";
    const std::string own = "/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/custom0/";
    std::system(("gsettings set " + keys + " custom-keybindings \"['" + own + "']\"").c_str());

    std::string error;
    EXPECT_EQ(gnome::shortcutsInstalled(&error), false) << error;
    ASSERT_TRUE(gnome::installShortcuts("/opt/it's here/quillbright", &error)) << error;
    ASSERT_TRUE(gnome::installShortcuts("/opt/it's here/quillbright", &error)) << "twice is harmless";
    EXPECT_EQ(gnome::shortcutsInstalled(), true);
    const std::string list = get(keys + " custom-keybindings");
    EXPECT_NE(list.find(own), std::string::npos) << list;
    EXPECT_EQ(list.find("quillbright-backlight"), list.rfind("quillbright-backlight")) << list;
    const std::string backlight = keys + ".custom-keybinding:" + std::string(gnome::CUSTOM_SHORTCUT_PATH_PREFIX) + "backlight/ ";
    EXPECT_EQ(get(backlight + "binding"), "'<Control>F10'\n");
    // GNOME runs the command with a shell: the path survives the quote in it.
    EXPECT_EQ(get(backlight + "command"), "\"'/opt/it'\\\\''s here/quillbright' backlight toggle\"\n");

    ASSERT_TRUE(gnome::removeShortcuts(&error)) << error;
    EXPECT_EQ(get(keys + " custom-keybindings"), "['" + own + "']\n");
    EXPECT_EQ(gnome::shortcutsInstalled(), false);
    unsetenv("GSETTINGS_BACKEND");
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(pattern);
}

} // namespace
} // namespace qb
