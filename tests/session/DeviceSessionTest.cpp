#include "session/DeviceSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <mutex>

#include <fmt/format.h>

#include "config/MirrorError.h"
#include "diagnostics/EventLog.h"
#include "diagnostics/PlatformLog.h"
#include "diagnostics/RingLogger.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimPlatform.h"
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
    bool openPage(const std::string&, const std::string& url) override
    {
        record("openPage " + url);
        return true;
    }

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

DeviceSession::Timing fastTiming()
{
    DeviceSession::Timing timing;
    timing.displayReadyLimit = 1ms;
    timing.retryPause = 1ms;
    timing.healthCheckInterval = 1h; // tests that need it shorten it
    timing.capture.drain = 1ms;
    timing.capture.restartPause = 1ms;
    return timing;
}

DeviceSession::Environment simEnvironment()
{
    DeviceSession::Environment environment;
    environment.platform = makeSimPlatform();
    environment.virtualDisplays = sim::makeSimVirtualDisplays();
    environment.pacerWindows = sim::makeSimPacerWindows();
    environment.captureBackend = sim::makeSimCaptureBackend();
    environment.hardwareComparisonEnabled = [] { return false; };
    return environment;
}

ConnectedDevice dc1(std::string serial) { return ConnectedDevice{std::move(serial), "DC_1", 1200, 1600}; }

DisplayResolution smallResolution(std::uint64_t width = 320) {
    return {.width = width, .height = 240, .label = "test", .preset = {}};
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
        DeviceSession::Timing timing = fastTiming(), DeviceSession::Environment environment = simEnvironment(),
        std::uint16_t inputPort = 0)
    {
        SessionSetup setup{.kind = SessionKind::usbDevice, .device = dc1(serial), .port = 0,
            .resolution = smallResolution(), .displayMode = mode, .pixelFormat = PixelFormat::greyscale,
            .bindAddress = {}, .inputPort = inputPort};
        return std::make_shared<DeviceSession>(std::move(setup), bridge, timing, std::move(environment));
    }

    std::shared_ptr<FakeBridge> bridge = std::make_shared<FakeBridge>();
    PlatformLogMute mute;
};

TEST_F(DeviceSessionTest, StartsLinksTheDeviceAndTearsEverythingDownBeforeTheTunnels)
{
    auto session = makeSession("ORDER-1");
    runOnMain(session->start(nullptr, 1.0, 1.2));

    const auto serverPort = session->tcpServer()->port();
    const auto inputPort = session->inputServer()->port();
    EXPECT_EQ(bridge->calls(),
        (std::vector<std::string>{"sendStatus starting_display", "sendStatus capture_ready", "resetDisplaySizeOverride",
            "isAppInstalled", "companionVersion", "setupReverseTunnel 8888 " + std::to_string(serverPort),
            "setupReverseTunnel 8892 " + std::to_string(inputPort), "launchApp force"}));
    EXPECT_TRUE(session->adbConnected() && session->hasHealthCheck());
    EXPECT_EQ(session->bindAddress(), LOOPBACK_ADDRESS);
    EXPECT_EQ(eventsFor<MirrorEvent::SessionStarted>("ORDER-1"), 1u);
    auto& world = sim::SimWorld::shared();
    const auto displayID = session->displayManager()->displayID();
    EXPECT_EQ(world.display(sim::SimWorld::BUILT_IN_DISPLAY_ID)->mirrorOf, displayID);

    // Capture, servers and display are all gone before the tunnels go.
    auto capture = session->capture();
    auto server = session->tcpServer();
    bool checkedAtRemoval = false;
    bridge->onRemoveTunnel = [&] {
        checkedAtRemoval = true;
        EXPECT_FALSE(world.display(displayID).has_value());
        EXPECT_EQ(world.activeStreams(), 0u);
        EXPECT_FALSE(capture->isRunning());
        EXPECT_EQ(server->port(), 0);
    };
    runOnMain(session->stop());
    EXPECT_TRUE(checkedAtRemoval);
    EXPECT_EQ(bridge->count("removeReverseTunnel"), 2u);
    EXPECT_FALSE(session->adbConnected() || session->hasHealthCheck());
    EXPECT_EQ(eventsFor<MirrorEvent::SessionStopped>("ORDER-1"), 1u);
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
    session->onSetupFailure = [&](const std::string&, SetupFailureCause) { failureReported = true; };
    const auto start = spawnOnMain(session->start(nullptr, 1.0, 1.2));
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return inTunnel.load(); }, 5s));

    runOnMain(session->stop()); // while the stream tunnel is being set up
    release.set_value();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return start->done.load(); }, 5s));
    ASSERT_TRUE(start->error);
    try {
        std::rethrow_exception(start->error);
    } catch (const MirrorError& e) {
        EXPECT_EQ(e.kind(), MirrorError::Kind::noVirtualDisplay);
    }
    const auto calls = bridge->calls();
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
        (std::vector<std::string>{"removeReverseTunnel 8888", "removeReverseTunnel 8892"}));
    EXPECT_EQ(bridge->count("launchApp"), 0u);
    EXPECT_FALSE(session->adbConnected() || session->hasHealthCheck() || failureReported);
    EXPECT_EQ(eventsFor<MirrorEvent::SessionStarted>("RACE-1"), 0u);
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
        SetupFailureCause cause = SetupFailureCause::other;
    };
    const std::string tunnelFailed = "Reverse tunnel failed after 3 attempts. Check that no other app is using adb "
                                     "(close Android Studio or other tools, then reconnect the device).";
    const std::vector<Case> cases = {
        {"MISSING-TUNNEL-DOWN", false, {}, {false, false, false}, 3, 0, std::nullopt, false,
            "Companion app failed to install on DC_1. Check USB debugging is enabled, then unplug and replug the "
            "device.",
            SetupFailureCause::companionNotInstalled},
        {"STALE-STAYS-STALE", true, {std::string("1.8.2")}, {}, 1, 4, "1.8.2", true, ""},
        {"STALE-TUNNEL-DOWN", true, {std::string("1.8.2")}, {false, false, false}, 1, 4, "1.8.2", true,
            "Bundled companion APK is stale (v1.8.2). Reinstall QuillBright from https://quillbright.app.",
            SetupFailureCause::companionStale},
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
        SetupFailureCause cause = SetupFailureCause::other;
        session->onSetupFailure = [&](const std::string& message, SetupFailureCause why) {
            failures.push_back(message);
            cause = why;
        };
        runOnMain(session->start(nullptr, 1.0, 1.2));
        EXPECT_NE(session->capture(), nullptr) << "adb failures never stop the mirror";
        EXPECT_EQ(bridge->count("installBundledAPK"), c.installs);
        EXPECT_EQ(bridge->count("companionVersion"), c.versionQueries);
        EXPECT_EQ(session->companionVersion(), c.version);
        EXPECT_EQ(session->companionUpdateFailed(), c.updateFailed);
        EXPECT_EQ(failures, c.failure.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.failure});
        EXPECT_EQ(cause, c.cause);
        EXPECT_EQ(session->adbConnected(), c.failure.empty());
        EXPECT_EQ(bridge->count("launchApp"), c.failure.empty() ? 1u : 0u);
        runOnMain(session->stop());
        EXPECT_EQ(bridge->count("removeReverseTunnel"), c.failure.empty() ? 2u : 0u);
    }
}

TEST_F(DeviceSessionTest, OnlyTheFirstSessionOwnsTheInputPort)
{
    asio::io_context io;
    std::uint16_t sharedPort = 0;
    {
        asio::ip::tcp::acceptor probe(io, {asio::ip::make_address("127.0.0.1"), 0});
        sharedPort = probe.local_endpoint().port();
    }
    auto first = makeSession("INPUT-1", DisplayMode::mirror, fastTiming(), simEnvironment(), sharedPort);
    auto second = makeSession("INPUT-2", DisplayMode::extended, fastTiming(), simEnvironment(), sharedPort);
    runOnMain(first->start(nullptr, 1.0, 1.2));
    runOnMain(second->start(nullptr, 1.0, 1.2));

    ASSERT_NE(first->inputServer(), nullptr);
    EXPECT_EQ(first->inputServer()->port(), sharedPort);
    EXPECT_EQ(second->inputServer(), nullptr);
    EXPECT_TRUE(second->adbConnected()) << "the session runs on without touch";
    // Only the owner maps the device's input port, so the second device's
    // touches never reach the first device's display.
    EXPECT_EQ(bridge->count("setupReverseTunnel 8892"), 1u);

    runOnMain(second->stop());
    runOnMain(first->stop());
}

} // namespace
} // namespace qb
