#include "session/DeviceSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "config/MirrorError.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/PlatformLog.h"
#include "diagnostics/RingLogger.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimWorld.h"
#include "runtime/MainLoop.h"
#include "support/MainLoopSupport.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using test::runOnMain;
using test::spawnOnMain;

// An in-memory adb: scripted answers, and every call in order ("name args").
class FakeBridge final : public ADBBridging {
public:
    bool resetDisplaySizeOverride(const std::string&) override { return record("resetDisplaySizeOverride"); }
    bool isAppInstalled(const std::string&) override { return record("isAppInstalled") && installed; }
    std::optional<std::string> companionVersion(const std::string&) override
    {
        record("companionVersion");
        return next(versions, std::optional<std::string>());
    }
    bool installBundledAPK(const std::string&) override { return record("installBundledAPK"); }
    bool setupReverseTunnel(const std::string&, int devicePort, int hostPort) override
    {
        record(fmt::format("setupReverseTunnel {} {}", devicePort, hostPort));
        if (onTunnel) onTunnel();
        return next(tunnelResults, true, false);
    }
    bool removeReverseTunnel(const std::string&, int devicePort) override
    {
        if (onRemoveTunnel) onRemoveTunnel();
        return record(fmt::format("removeReverseTunnel {}", devicePort));
    }
    void launchApp(const std::string&, bool forceRestart, const std::optional<std::string>& host) override
    {
        record(fmt::format("launchApp {}{}", forceRestart ? "force" : "noforce", host ? " " + *host : ""));
    }
    bool isCompanionRunning(const std::string&) override
    {
        record("isCompanionRunning");
        return next(running, false);
    }
    void sendStatus(const std::string&, const std::string& state) override { record("sendStatus " + state); }

    std::vector<std::string> calls() const
    {
        std::lock_guard guard(lock_);
        return calls_;
    }
    std::size_t count(std::string_view prefix) const
    {
        return static_cast<std::size_t>(
            std::ranges::count_if(calls(), [&](const std::string& c) { return c.starts_with(prefix); }));
    }

    // Script, set before the session runs. The last version and running
    // answer repeat; tunnels succeed once their script is used up.
    bool installed = true;
    std::deque<std::optional<std::string>> versions{std::string("2.4.4")};
    std::deque<bool> tunnelResults;
    std::deque<bool> running{true};
    std::function<void()> onRemoveTunnel;
    std::function<void()> onTunnel; // on the adb thread

private:
    bool record(std::string call)
    {
        std::lock_guard guard(lock_);
        calls_.push_back(std::move(call));
        return true;
    }
    template <typename T>
    T next(std::deque<T>& script, T whenEmpty, bool keepLast = true)
    {
        std::lock_guard guard(lock_);
        if (script.empty()) return whenEmpty;
        T value = script.front();
        if (!keepLast || script.size() > 1) script.pop_front();
        return value;
    }
    mutable std::mutex lock_;
    std::vector<std::string> calls_;
};

// The sim's virtual displays, telling the test when a display goes away.
class WatchedDisplays final : public VirtualDisplays {
public:
    std::function<void()> onRemove;

    std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override
    {
        auto display = sim_->createVirtualDisplay(descriptor);
        if (!display) return nullptr;
        return std::make_unique<Watched>(std::move(display), this);
    }
    std::optional<std::vector<DisplayModeInfo>> copyAllDisplayModes(std::uint32_t id) override
    {
        return sim_->copyAllDisplayModes(id);
    }
    std::int32_t setDisplayMode(std::uint32_t id, const DisplayModeInfo& mode) override
    {
        return sim_->setDisplayMode(id, mode);
    }
    std::vector<std::uint32_t> onlineDisplays(std::size_t max) override { return sim_->onlineDisplays(max); }
    bool isBuiltIn(std::uint32_t id) override { return sim_->isBuiltIn(id); }
    std::unique_ptr<DisplayConfiguration> beginConfiguration() override { return sim_->beginConfiguration(); }

private:
    struct Watched final : VirtualDisplay {
        Watched(std::unique_ptr<VirtualDisplay> d, WatchedDisplays* o) : inner(std::move(d)), owner(o) {}
        ~Watched() override
        {
            if (owner->onRemove) owner->onRemove();
        }
        std::uint32_t displayId() const override { return inner->displayId(); }
        bool applySettings(const VirtualDisplaySettings& settings) override { return inner->applySettings(settings); }
        std::unique_ptr<VirtualDisplay> inner;
        WatchedDisplays* owner;
    };
    std::shared_ptr<VirtualDisplays> sim_ = sim::makeSimVirtualDisplays();
};

DeviceSession::Timing fastTiming()
{
    DeviceSession::Timing timing;
    timing.displayPause = 1ms;
    timing.retryPause = 1ms;
    timing.healthCheckInterval = 1h; // tests that need it shorten it
    timing.capture.drain = 1ms;
    timing.capture.restartPause = 1ms;
    return timing;
}

DeviceSession::Environment simEnvironment(std::uint16_t inputPort = 0)
{
    DeviceSession::Environment environment;
    environment.virtualDisplays = sim::makeSimVirtualDisplays();
    environment.pacerWindows = sim::makeSimPacerWindows();
    environment.captureBackend = sim::makeSimCaptureBackend();
    environment.hardwareComparisonEnabled = [] { return false; };
    environment.inputPort = inputPort;
    return environment;
}

ConnectedDevice dc1(std::string serial) { return ConnectedDevice{std::move(serial), "DC_1", 1200, 1600}; }

DisplayResolution smallResolution(std::uint64_t width = 320) {
    return {.width = width, .height = 240, .label = "test", .preset = {}};
}

void expectNoVirtualDisplay(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const MirrorError& e) {
        EXPECT_EQ(e.kind(), MirrorError::Kind::noVirtualDisplay);
    } catch (...) {
        ADD_FAILURE() << "start did not fail with noVirtualDisplay";
    }
}

// Each needle occurs in a line after the line of the previous one.
void expectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& needles)
{
    auto from = lines.begin();
    for (const auto& needle : needles) {
        from = std::find_if(from, lines.end(), [&](const std::string& l) { return l.find(needle) != l.npos; });
        ASSERT_NE(from, lines.end()) << "not found in order: " << needle;
    }
}

template <typename Event>
std::size_t eventsFor(const std::string& serial)
{
    const auto events = EventLog::shared().events();
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [&](const EventEntry& entry) {
        const auto* e = entry.event.as<Event>();
        return e && e->serial == serial;
    }));
}

class DeviceSessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::SimWorld::shared().reset();
        EventLog::shared().clear();
        RingLogger::shared().clear();
    }
    void TearDown() override { sim::SimWorld::shared().reset(); }

    std::shared_ptr<DeviceSession> makeSession(const std::string& serial, DisplayMode mode = DisplayMode::mirror,
        DeviceSession::Timing timing = fastTiming(), DeviceSession::Environment environment = simEnvironment())
    {
        return std::make_shared<DeviceSession>(0, smallResolution(), mode, dc1(serial), PixelFormat::greyscale,
            bridge, timing, std::move(environment));
    }

    std::shared_ptr<FakeBridge> bridge = std::make_shared<FakeBridge>();
    PlatformLogMute mute;
};

TEST_F(DeviceSessionTest, StartsInOrderLinksTheDeviceAndStopsEverythingBeforeTheTunnels)
{
    PlatformLogCapture log;
    auto displays = std::make_shared<WatchedDisplays>();
    auto environment = simEnvironment();
    environment.virtualDisplays = displays;
    auto session = makeSession("ORDER-1", DisplayMode::mirror, fastTiming(), environment);
    runOnMain(session->start(nullptr, 1.0, 1.2));

    expectInOrder(log.lines(), {"[VirtualDisplay] Created", "[VirtualDisplay] Mirroring", "[TCPServer] Listening",
                                   "[InputServer] Listening", "[ScreenCapture] Capture started",
                                   "[ORDER-1] Started — Daylight DC-1, 320x240, port 0, mirror"});

    const auto serverPort = session->tcpServer()->port();
    const auto inputPort = session->inputServer()->boundPort();
    EXPECT_EQ(bridge->calls(),
        (std::vector<std::string>{"sendStatus starting_display", "sendStatus capture_ready", "resetDisplaySizeOverride",
            "isAppInstalled", "companionVersion", "setupReverseTunnel 8888 " + std::to_string(serverPort),
            "setupReverseTunnel 8892 " + std::to_string(inputPort), "launchApp force"}));
    EXPECT_TRUE(session->adbConnected() && session->hasHealthCheck());
    EXPECT_EQ(session->bindAddress(), LOOPBACK_ADDRESS);
    EXPECT_EQ(eventsFor<MirrorEvent::SessionStarted>("ORDER-1"), 1u);

    // Everything is up and the pacer paints on the new display.
    auto& world = sim::SimWorld::shared();
    const auto displayID = session->displayManager()->displayID();
    ASSERT_TRUE(world.display(displayID));
    EXPECT_EQ(world.display(sim::SimWorld::BUILT_IN_DISPLAY_ID)->mirrorOf, displayID);
    EXPECT_EQ(world.activeStreams(), 1u);
    ASSERT_TRUE(MainLoop::shared().runUntil(
        [&] { return !world.windows().empty() && !world.windows().front().closed; }, 5s));

    // Stop: pacer, capture, input server and frame server are down before
    // the display goes, and the display is gone before the tunnels.
    bool checkedAtDisplayRemoval = false, checkedAtRemoval = false;
    auto capture = session->capture();
    auto server = session->tcpServer();
    auto inputServer = session->inputServer();
    displays->onRemove = [&] {
        checkedAtDisplayRemoval = true;
        EXPECT_EQ(world.activeStreams(), 0u);
        EXPECT_FALSE(capture->isRunning() || inputServer->running());
        EXPECT_EQ(server->port(), 0);
        for (const auto& window : world.windows()) EXPECT_TRUE(window.closed);
    };
    bridge->onRemoveTunnel = [&] {
        checkedAtRemoval = true;
        EXPECT_TRUE(checkedAtDisplayRemoval);
        EXPECT_FALSE(world.display(displayID).has_value());
    };
    runOnMain(session->stop());
    EXPECT_TRUE(checkedAtRemoval);
    displays->onRemove = nullptr;
    EXPECT_EQ(bridge->count("removeReverseTunnel"), 2u);
    EXPECT_FALSE(session->adbConnected() || session->hasHealthCheck());
    EXPECT_FALSE(session->displayManager() || session->tcpServer() || session->capture() || session->inputServer() ||
        session->compositorPacer());
    EXPECT_EQ(eventsFor<MirrorEvent::SessionStopped>("ORDER-1"), 1u);

    // A second stop only records.
    const auto callsBefore = bridge->calls().size();
    runOnMain(session->stop());
    EXPECT_EQ(bridge->calls().size(), callsBefore);
    EXPECT_EQ(eventsFor<MirrorEvent::SessionStopped>("ORDER-1"), 2u);
}

TEST_F(DeviceSessionTest, NetworkOnlySessionIssuesNoAdbAndListensEverywhere)
{
    auto session = makeSession("WIFI-1", DisplayMode::extended);
    session->setSkipADB(true);
    runOnMain(session->start(nullptr, 1.0, 1.2));

    EXPECT_TRUE(bridge->calls().empty());
    EXPECT_EQ(session->bindAddress(), ALL_INTERFACES_ADDRESS);
    EXPECT_EQ(sim::SimWorld::shared().display(sim::SimWorld::BUILT_IN_DISPLAY_ID)->mirrorOf, NULL_DISPLAY_ID);

    runOnMain(session->stop());
    EXPECT_TRUE(bridge->calls().empty());
}

TEST_F(DeviceSessionTest, StopDuringTheFirstPauseFailsTheStartAndLeavesNothingRunning)
{
    auto timing = fastTiming();
    timing.displayPause = 1h;
    auto session = makeSession("PAUSE-1", DisplayMode::mirror, timing);
    auto& world = sim::SimWorld::shared();

    const auto start = spawnOnMain(session->start(nullptr, 1.0, 1.2));
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return session->displayManager() != nullptr; }, 5s));
    EXPECT_EQ(world.displayIds().size(), 2u);

    runOnMain(session->stop());
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return start->done.load(); }, 5s));
    expectNoVirtualDisplay(start->error);
    EXPECT_EQ(world.displayIds().size(), 1u);
    EXPECT_TRUE(world.activeStreams() == 0 && world.windows().empty());
    EXPECT_FALSE(session->tcpServer() || session->capture());
    EXPECT_EQ(bridge->calls(), std::vector<std::string>{"sendStatus starting_display"});
}

TEST_F(DeviceSessionTest, StopDuringAdbSetupTakesTheNewTunnelDownAgain)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> inTunnel{false};
    bridge->onTunnel = [&inTunnel, released] {
        if (!inTunnel.exchange(true)) released.wait();
    };
    auto session = makeSession("RACE-1");
    bool failureReported = false;
    session->onSetupFailure = [&](const std::string&) { failureReported = true; };
    const auto start = spawnOnMain(session->start(nullptr, 1.0, 1.2));
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return inTunnel.load(); }, 5s));

    runOnMain(session->stop()); // while the stream tunnel is being set up
    release.set_value();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return start->done.load(); }, 5s));
    expectNoVirtualDisplay(start->error);
    const auto calls = bridge->calls();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
        (std::vector<std::string>{"removeReverseTunnel 8888", "removeReverseTunnel 8892"}));
    EXPECT_EQ(bridge->count("launchApp"), 0u);
    EXPECT_FALSE(session->adbConnected() || session->hasHealthCheck() || failureReported);
    EXPECT_EQ(eventsFor<MirrorEvent::SessionStarted>("RACE-1"), 0u);
}

TEST_F(DeviceSessionTest, ComponentFailuresFailTheStartAndStopStillCleansUp)
{
    // A frame port already taken.
    asio::io_context io;
    asio::ip::tcp::acceptor blocker(io, {asio::ip::make_address("127.0.0.1"), 0});
    const auto takenPort = blocker.local_endpoint().port();
    auto session = std::make_shared<DeviceSession>(takenPort, smallResolution(), DisplayMode::mirror,
        dc1("FAIL-1"), PixelFormat::greyscale, bridge, fastTiming(), simEnvironment());
    EXPECT_THROW(runOnMain(session->start(nullptr, 1.0, 1.2)), boost::system::system_error);
    EXPECT_TRUE(session->displayManager() && session->compositorPacer() && !session->tcpServer());
    runOnMain(session->stop());
    EXPECT_EQ(sim::SimWorld::shared().displayIds().size(), 1u);
    EXPECT_EQ(eventsFor<MirrorEvent::SessionStopped>("FAIL-1"), 1u);
    EXPECT_EQ(bridge->count("removeReverseTunnel"), 0u);

    // The capture refuses to start.
    sim::SimWorld::shared().updateFailures([](sim::SimFailures& f) { f.permissionDenied = true; });
    auto refused = makeSession("FAIL-2");
    EXPECT_THROW(runOnMain(refused->start(nullptr, 1.0, 1.2)), ScreenCaptureError);
    runOnMain(refused->stop());
    EXPECT_EQ(sim::SimWorld::shared().displayIds().size(), 1u);

    // No virtual display at all; a resolution the frame stream cannot carry.
    sim::SimWorld::shared().reset();
    sim::SimWorld::shared().updateFailures([](sim::SimFailures& f) { f.createDisplayFails = true; });
    auto noDisplay = makeSession("FAIL-3");
    EXPECT_THROW(runOnMain(noDisplay->start(nullptr, 1.0, 1.2)), MirrorError);
    auto tooWide = std::make_shared<DeviceSession>(0, smallResolution(70000), DisplayMode::mirror, dc1("FAIL-4"),
        PixelFormat::greyscale, bridge, fastTiming(), simEnvironment());
    EXPECT_THROW(runOnMain(tooWide->start(nullptr, 1.0, 1.2)), boost::system::system_error);
    EXPECT_EQ(tooWide->displayManager(), nullptr);
}

TEST_F(DeviceSessionTest, AdbSetupBranches)
{
    struct Case {
        std::string serial; // and what it plays
        bool installed;
        std::deque<std::optional<std::string>> versions;
        std::deque<bool> tunnels;
        std::size_t installs, versionQueries;
        std::optional<std::string> version;
        bool updateFailed;
        std::string failure; // the message for the user; empty when the link came up
    };
    const std::string tunnelFailed = "Reverse tunnel failed after 3 attempts. Check that no other app is using adb "
                                     "(close Android Studio or other tools, then reconnect the device).";
    const std::vector<Case> cases = {
        {"MISSING-TUNNEL-DOWN", false, {}, {false, false, false}, 3, 0, std::nullopt, false,
            "Companion app failed to install on DC_1. Check USB debugging is enabled, then unplug and replug the "
            "device."},
        {"STALE-STAYS-STALE", true, {std::string("1.8.2")}, {}, 1, 4, "1.8.2", true, ""},
        {"STALE-TUNNEL-DOWN", true, {std::string("1.8.2")}, {false, false, false}, 1, 4, "1.8.2", true,
            "Bundled companion APK is stale (v1.8.2). Reinstall QuillBright from https://quillbright.app."},
        {"UPDATE-TAKES-ON-REQUERY-2", true, {std::string("1.8.2"), std::nullopt, std::string("2.5.0")}, {}, 1, 3,
            "2.5.0", false, ""},
        {"NO-VERSION-TUNNEL-DOWN", true, {std::nullopt}, {false, false, false}, 1, 2, std::nullopt, false,
            tunnelFailed},
        {"NEWER-COMPATIBLE-TUNNEL-ON-2", true, {std::string("2.9.0")}, {false}, 0, 1, "2.9.0", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serial);
        bridge = std::make_shared<FakeBridge>();
        bridge->installed = c.installed;
        bridge->versions = c.versions;
        bridge->tunnelResults = c.tunnels;
        auto session = makeSession(c.serial);
        std::vector<std::string> failures;
        session->onSetupFailure = [&failures](const std::string& message) { failures.push_back(message); };
        runOnMain(session->start(nullptr, 1.0, 1.2));
        EXPECT_NE(session->capture(), nullptr) << "adb failures never stop the mirror";
        EXPECT_EQ(bridge->count("installBundledAPK"), c.installs);
        EXPECT_EQ(bridge->count("companionVersion"), c.versionQueries);
        EXPECT_EQ(session->companionVersion(), c.version);
        EXPECT_EQ(session->companionUpdateFailed(), c.updateFailed);
        EXPECT_EQ(failures, c.failure.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.failure});
        EXPECT_EQ(session->adbConnected(), c.failure.empty());
        EXPECT_EQ(bridge->count("launchApp"), c.failure.empty() ? 1u : 0u);
        runOnMain(session->stop());
        EXPECT_EQ(bridge->count("removeReverseTunnel"), c.failure.empty() ? 2u : 0u);
    }
}

TEST_F(DeviceSessionTest, HealthCheckRelaunchesThreeTimesThenGivesUpAndRecoveryResetsTheCount)
{
    auto timing = fastTiming();
    timing.healthCheckInterval = 5ms;
    {
        SCOPED_TRACE("companion keeps dying");
        bridge->running = {false};
        auto session = makeSession("HEALTH-1", DisplayMode::mirror, timing);
        std::atomic<int> crashes{0};
        bool onMain = false;
        session->onCompanionCrashed = [&] {
            onMain = MainLoop::shared().isCurrent();
            ++crashes;
        };
        runOnMain(session->start(nullptr, 1.0, 1.2));
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return crashes.load() > 0; }, 5s));
        MainLoop::shared().runFor(30ms); // a later firing would show up here
        EXPECT_EQ(crashes.load(), 1);
        EXPECT_TRUE(onMain);
        EXPECT_EQ(bridge->count("launchApp force"), 4u); // the setup's launch and three relaunches
        EXPECT_FALSE(session->hasHealthCheck());
        runOnMain(session->stop());
    }
    {
        SCOPED_TRACE("companion comes back after one relaunch");
        bridge = std::make_shared<FakeBridge>();
        bridge->running = {false, true};
        auto session = makeSession("HEALTH-2", DisplayMode::mirror, timing);
        runOnMain(session->start(nullptr, 1.0, 1.2));
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return bridge->count("isCompanionRunning") >= 3; }, 5s));
        EXPECT_EQ(bridge->count("launchApp force"), 2u);
        EXPECT_EQ(session->relaunchAttempts(), 0);
        EXPECT_TRUE(session->hasHealthCheck());
        runOnMain(session->stop());
        const auto checks = bridge->count("isCompanionRunning");
        MainLoop::shared().runFor(30ms);
        EXPECT_EQ(bridge->count("isCompanionRunning"), checks) << "stop ends the health check";
    }
}

TEST_F(DeviceSessionTest, ReconnectRelinksWithoutTouchingTheMirror)
{
    bridge->tunnelResults = {false, false, false};
    auto session = makeSession("RECON-1");
    runOnMain(session->start(nullptr, 1.0, 1.2));
    ASSERT_FALSE(session->adbConnected());
    const auto displayID = session->displayManager()->displayID();
    const auto capture = session->capture();
    const auto port = session->tcpServer()->port();
    const auto inputPort = session->inputServer()->boundPort();

    // A failed stream tunnel changes nothing and launches nothing.
    bridge->tunnelResults = {false};
    const auto before = bridge->calls().size();
    std::thread([&] { session->reconnect(); }).join();
    EXPECT_EQ(bridge->calls().size(), before + 1);
    EXPECT_FALSE(session->adbConnected());

    std::thread([&] { session->reconnect(); }).join();
    const auto calls = bridge->calls();
    const std::vector<std::string> tail(calls.end() - 3, calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"setupReverseTunnel 8888 " + std::to_string(port),
                        "setupReverseTunnel 8892 " + std::to_string(inputPort), "launchApp noforce"}));
    EXPECT_TRUE(session->adbConnected());
    EXPECT_FALSE(session->hasHealthCheck()) << "reconnect starts no health check";
    EXPECT_EQ(session->displayManager()->displayID(), displayID);
    EXPECT_TRUE(session->capture() == capture && capture->isRunning());
    EXPECT_EQ(bridge->count("installBundledAPK"), 0u);

    runOnMain(session->stop());
    EXPECT_EQ(bridge->count("removeReverseTunnel"), 2u);
}

TEST_F(DeviceSessionTest, OnlyTheFirstSessionOwnsTheInputPort)
{
    asio::io_context io;
    std::uint16_t sharedPort = 0;
    {
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        sharedPort = probe.local_endpoint().port();
    }
    auto first = makeSession("INPUT-1", DisplayMode::mirror, fastTiming(), simEnvironment(sharedPort));
    auto second = makeSession("INPUT-2", DisplayMode::extended, fastTiming(), simEnvironment(sharedPort));
    runOnMain(first->start(nullptr, 1.0, 1.2));
    runOnMain(second->start(nullptr, 1.0, 1.2));

    ASSERT_NE(first->inputServer(), nullptr);
    EXPECT_EQ(first->inputServer()->boundPort(), sharedPort);
    EXPECT_EQ(second->inputServer(), nullptr);
    EXPECT_TRUE(second->adbConnected()) << "the session runs on without touch";
    // Only the owner maps the device's input port, so the second device's
    // touches never reach the first device's display.
    EXPECT_EQ(bridge->count("setupReverseTunnel 8892"), 1u);

    runOnMain(second->stop());
    runOnMain(first->stop());
}

TEST(DeviceSessionWiFiTest, WiFiAddressComesFromTheConfiguredInterface)
{
    {
        const test::ScopedEnv lo("QUILLBRIGHT_WIFI_INTERFACE", "lo");
        EXPECT_EQ(DeviceSession::hostWiFiIP(), "127.0.0.1");
    }
    const test::ScopedEnv missing("QUILLBRIGHT_WIFI_INTERFACE", "no-such-interface0");
    EXPECT_EQ(DeviceSession::hostWiFiIP(), std::nullopt);
}

} // namespace
} // namespace qb
