// The wayland backend against a private headless Mutter (with PipeWire and
// WirePlumber on a private session bus): virtual monitors as Mutter's display
// configuration lists them, mirroring, the pictures a Wayland client draws
// there, and pointer events as that client receives them.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include "diagnostics/PlatformLog.h"
#include "platform/CaptureRecorder.h"
#include "platform/CaptureStream.h"
#include "platform/InputInjector.h"
#include "platform/MutterServer.h"
#include "platform/HostPower.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "platform/wayland/GnomeShortcuts.h"
#include "runtime/MainLoop.h"
#include "runtime/Process.h"
#include "runtime/Queues.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using namespace std::chrono_literals;

template <class Pred>
bool waitFor(Pred done)
{
    return test::eventually(done, 15000ms, 10ms);
}

class WaylandPlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!server.skipReason.empty()) GTEST_SKIP() << "no compositor for the wayland backend tests: " << server.skipReason;
        ASSERT_TRUE(server.running()) << server.failure;
    }

    std::shared_ptr<Desktop> open()
    {
        std::string error;
        auto platform = makeWaylandDesktop(&error);
        EXPECT_NE(platform, nullptr) << error;
        return platform;
    }

    std::unique_ptr<VirtualDisplay> create(VirtualDisplays& displays, std::uint32_t width, std::uint32_t height)
    {
        return displays.createVirtualDisplay({.name = "test", .maxPixelsWide = width, .maxPixelsHigh = height});
    }

    std::multiset<std::string> monitorSizes() const { return server.monitorSizes(); }

    test::MutterServer server;
    PlatformLogMute mute;
};

TEST_F(WaylandPlatformTest, VirtualMonitorsExtendTheDesktopMirrorThePrimaryAndVanishWhenRemoved)
{
    using Sizes = std::multiset<std::string>;
    ASSERT_EQ(monitorSizes(), Sizes{"1280x800"});
    auto platform = open();
    ASSERT_TRUE(platform);
    auto displays = platform->virtualDisplays();
    auto injector = platform->inputInjector();
    {
        auto landscape = create(*displays, 1600, 1200);
        auto portrait = create(*displays, 1200, 1600);
        ASSERT_TRUE(landscape && portrait);
        // Listed by Mutter as soon as they are created.
        EXPECT_EQ(monitorSizes(), (Sizes{"1280x800", "1600x1200", "1200x1600"}));
        auto bounds = injector->displayBounds(landscape->displayId());
        ASSERT_TRUE(bounds);
        EXPECT_EQ(bounds->width, 1600);
        EXPECT_EQ(bounds->height, 1200);
        EXPECT_EQ(injector->displayBounds(portrait->displayId())->height, 1600);

        // Mutter's monitor is the desktop's first display and stands in for a panel.
        const auto online = displays->onlineDisplays(8);
        ASSERT_EQ(online.size(), 3U);
        const std::uint32_t primary = online.front();
        EXPECT_TRUE(displays->isBuiltIn(primary));
        EXPECT_FALSE(displays->isBuiltIn(landscape->displayId()));
        EXPECT_TRUE(landscape->applySettings({true, {{800, 600, 60}}}));
        EXPECT_FALSE(landscape->applySettings({true, {{1600, 1200, 60}}})) << "HiDPI pixels exceed the display";

        // Mirroring: the virtual monitor leaves the desktop, the display shows the primary.
        auto configuration = displays->beginConfiguration();
        ASSERT_EQ(configuration->configureMirror(primary, landscape->displayId()), 0);
        ASSERT_EQ(configuration->complete(DisplayConfigureOption::forSession), 0);
        EXPECT_TRUE(waitFor([&] { return monitorSizes() == Sizes{"1280x800", "1200x1600"}; })) << monitorSizes().size();
        EXPECT_EQ(injector->displayBounds(landscape->displayId())->width, 1280);
        configuration = displays->beginConfiguration();
        ASSERT_EQ(configuration->configureMirror(primary, NULL_DISPLAY_ID), 0);
        ASSERT_EQ(configuration->complete(DisplayConfigureOption::forSession), 0);
        EXPECT_EQ(monitorSizes(), (Sizes{"1280x800", "1600x1200", "1200x1600"}));
        EXPECT_EQ(injector->displayBounds(landscape->displayId())->width, 1600);

        // A capture of another size renegotiates the monitor's size on the same session.
        auto stream = platform->captureBackend()->createStream(
            {.displayId = portrait->displayId(), .width = 1024, .height = 768,
                .queue = SerialQueue::makeDedicated("capture")},
            [](std::int32_t, const CaptureSurface*) {});
        ASSERT_TRUE(stream);
        ASSERT_EQ(stream->start(), 0);
        EXPECT_TRUE(waitFor([&] { return monitorSizes() == Sizes{"1280x800", "1600x1200", "1024x768"}; }));
        EXPECT_EQ(injector->displayBounds(portrait->displayId())->width, 1024);
    }
    EXPECT_TRUE(waitFor([&] { return monitorSizes() == Sizes{"1280x800"}; }));
    // Too large for any monitor: refused, nothing left behind.
    EXPECT_EQ(create(*displays, 20000, 20000), nullptr);
    EXPECT_EQ(monitorSizes(), Sizes{"1280x800"});
}

TEST_F(WaylandPlatformTest, AClientsPictureIsCapturedExactlyAndInjectedPointerEventsReachIt)
{
    auto platform = open();
    ASSERT_TRUE(platform);
    constexpr std::size_t W = 640;
    constexpr std::size_t H = 480;
    auto display = create(*platform->virtualDisplays(), W, H);
    ASSERT_TRUE(display);
    auto injector = platform->inputInjector();
    const auto bounds = injector->displayBounds(display->displayId());
    ASSERT_TRUE(bounds);

    ProcessOptions options;
    options.executable = QB_WAYLAND_PAINTER;
    options.arguments = {std::to_string(W), std::to_string(H)};
    auto painter = Process::launch(options);
    ASSERT_TRUE(painter);
    auto said = [&](const std::string& line) { return painter->standardOutput().find(line + "\n") != std::string::npos; };
    ASSERT_TRUE(waitFor([&] { return said("ready"); })) << painter->standardError();

    std::vector<std::uint8_t> expected(W * H * 4);
    for (std::size_t y = 0; y < H; ++y) {
        for (std::size_t x = 0; x < W; ++x) {
            std::uint8_t* p = &expected[(y * W + x) * 4];
            p[0] = std::uint8_t(x);
            p[1] = std::uint8_t(y);
            p[2] = std::uint8_t(x ^ y);
        }
    }
    test::CaptureRecorder recorder;
    std::atomic<bool> matched{false};
    std::atomic<int> stopped{0};
    recorder.onDelivery = [&](const test::Delivery& d) {
        if (d.status == std::int32_t(CaptureFrameStatus::stopped)) ++stopped;
        if (d.hasSurface && !matched && d.packedColour() == expected) matched = true;
    };
    CaptureStreamRequest request{.displayId = display->displayId(), .width = W, .height = H,
        .queue = SerialQueue::makeDedicated("capture")};
    auto stream = platform->captureBackend()->createStream(request, recorder.handler());
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->start(), 0);
    EXPECT_TRUE(waitFor([&] { return matched.load(); })) << recorder.frames().size() << " frames";

    // Taps and drags, in the display's pixels.
    injector->postMouseEvent(MouseEventType::moved, {bounds->left + 100.25, bounds->top + 50});
    EXPECT_TRUE(waitFor([&] { return said("motion 100 50"); })) << painter->standardOutput();
    injector->postMouseEvent(MouseEventType::leftDown, {bounds->left + 100, bounds->top + 50});
    EXPECT_TRUE(waitFor([&] { return said("button down 1 100 50"); })) << painter->standardOutput();
    injector->postMouseEvent(MouseEventType::leftDragged, {bounds->left + 300, bounds->top + 400});
    injector->postMouseEvent(MouseEventType::leftUp, {bounds->left + 300, bounds->top + 400});
    EXPECT_TRUE(waitFor([&] { return said("button up 1 300 400"); })) << painter->standardOutput();
    // Outside every display of ours: dropped.
    injector->postMouseEvent(MouseEventType::moved, {bounds->left + double(W) + 5, bounds->top});
    // A scroll up (positive pixels) reaches the client as a wheel turned up.
    injector->postScrollEvent(ScrollPhase::began, 30, 0);
    injector->postScrollEvent(ScrollPhase::ended, 0, 0);
    EXPECT_TRUE(waitFor([&] {
        static const std::regex up(R"(wheel -?[\d.]+ [1-9][\d.]*\n)");
        return std::regex_search(painter->standardOutput(), up);
    })) << painter->standardOutput();
    EXPECT_EQ(painter->standardOutput().find("motion 645"), std::string::npos);

    // The display going away ends the stream with "stopped".
    display.reset();
    EXPECT_TRUE(waitFor([&] { return stopped == 1; }));
    stream.reset();
    painter->terminate();
    painter->waitUntilExit(5000ms);
}

TEST_F(WaylandPlatformTest, SelectionPrefersGnomeWaylandAndSaysWhyWhenItsServicesAreMissing)
{
    MainLoop loop;
    PlatformConfig config;
    config.requested = "wayland";
    EXPECT_EQ(openPlatform(loop.executor(), config)->name(), "wayland");
    config.requested.clear();
    config.waylandDisplay = "wayland-0";
    auto detected = openPlatform(loop.executor(), config);
    EXPECT_EQ(detected->name(), "wayland");
    EXPECT_EQ(detected->hostPower()->provider(), "logind");

    // A session bus without Mutter on it.
    const std::string address = getenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
    std::string error;
    EXPECT_EQ(makeWaylandDesktop(&error), nullptr);
    EXPECT_EQ(error.rfind("GNOME remote desktop service not available: ", 0), 0U) << error;
    config.requested = "wayland";
    EXPECT_TRUE(openPlatform(loop.executor(), config)->simulatedDesktop());
    EXPECT_NE(probePlatform(config).problem.find("GNOME remote desktop service not available"), std::string::npos);
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

TEST(GnomeShortcutsTest, OursAreAddedBesideTheUsersOwnAndRemovedAgain)
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
    EXPECT_EQ(wayland::shortcutsInstalled(&error), false) << error;
    ASSERT_TRUE(wayland::installShortcuts("/opt/it's here/quillbright", &error)) << error;
    ASSERT_TRUE(wayland::installShortcuts("/opt/it's here/quillbright", &error)) << "twice is harmless";
    EXPECT_EQ(wayland::shortcutsInstalled(), true);
    const std::string list = get(keys + " custom-keybindings");
    EXPECT_NE(list.find(own), std::string::npos) << list;
    EXPECT_EQ(list.find("quillbright-backlight"), list.rfind("quillbright-backlight")) << list;
    const std::string backlight = keys + ".custom-keybinding:" + std::string(wayland::CUSTOM_SHORTCUT_PATH_PREFIX) + "backlight/ ";
    EXPECT_EQ(get(backlight + "binding"), "'<Control>F10'\n");
    // GNOME runs the command with a shell: the path survives the quote in it.
    EXPECT_EQ(get(backlight + "command"), "\"'/opt/it'\\\\''s here/quillbright' backlight toggle\"\n");

    ASSERT_TRUE(wayland::removeShortcuts(&error)) << error;
    EXPECT_EQ(get(keys + " custom-keybindings"), "['" + own + "']\n");
    EXPECT_EQ(wayland::shortcutsInstalled(), false);
    unsetenv("GSETTINGS_BACKEND");
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(pattern);
}

} // namespace
} // namespace qb
