// The engine's host integration: the front-light controller on the DC-1
// session, the repair after the lid opens, and a capture that is slow to
// start, over the simulated desktop.
#include "core/MirrorEngine.h"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/EngineFakes.h"
#include "diagnostics/PlatformLog.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimHost.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimWorld.h"
#include "runtime/MainLoop.h"
#include "support/MainLoopSupport.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using test::device;
using test::runOnMain;

asio::awaitable<void> noSessionWork() { co_return; }

// One DC-1 whose sessions run for real on the simulated desktop.
MirrorEngine::Environment simEnvironment()
{
    MirrorEngine::Environment environment;
    environment.session.platform = makeSimPlatform();
    environment.captureBackend = std::make_shared<test::PermissionOnlyCapture>();
    environment.listDevices = [] { return std::vector<ConnectedDevice>{device("D1", "DC_1")}; };
    environment.removeLeftoverTunnels = [] { return 0; };
    environment.portAvailable = [](std::uint16_t) { return true; };
    environment.makeADBBridge = [](const ConnectedDevice&) { return std::make_shared<test::LinkedADB>(); };
    environment.ports = {.stream = 0, .webSocket = 0, .http = 0, .input = 0};
    environment.session.virtualDisplays = sim::makeSimVirtualDisplays();
    environment.session.pacerWindows = sim::makeSimPacerWindows();
    environment.session.captureBackend = sim::makeSimCaptureBackend();
    environment.session.hardwareComparisonEnabled = [] { return false; };
    environment.deviceMonitor = std::make_shared<test::QuietDeviceMonitor>();
    environment.updateChecks = makeUpdateChecks([] { return std::optional<UpdateChecker::Release>(); }, 1h, 1h);
    return environment;
}

// `devices` on adb, sessions that do no work, and `power` for sleeping.
MirrorEngine::Environment sessionlessEnvironment(std::shared_ptr<sim::SimHostPower> power,
    std::vector<ConnectedDevice> devices)
{
    MirrorEngine::Environment environment;
    environment.session.platform = makeSimPlatform();
    environment.captureBackend = std::make_shared<test::PermissionOnlyCapture>();
    environment.listDevices = [devices] { return devices; };
    environment.portAvailable = [](std::uint16_t) { return true; };
    environment.startSession = [](std::shared_ptr<DeviceSession>, std::shared_ptr<WebSocketServer>, double, double) {
        return noSessionWork();
    };
    environment.ports.webSocket = 0;
    environment.ports.http = 0;
    environment.sleep = makeSleepControl(std::move(power));
    return environment;
}

MirrorEngine::Timing simTiming()
{
    MirrorEngine::Timing timing;
    timing.session.displayReadyLimit = 1ms;
    timing.session.retryPause = 1ms;
    timing.session.healthCheckInterval = 1h;
    timing.session.captureRetryPause = 1ms;
    timing.session.capture.drain = 1ms;
    timing.session.capture.restartPause = 1ms;
    return timing;
}

TEST(MirrorEngineHostTest, MirroringHoldsTheHostAwakeDrivesTheFrontLightAndRestoresThePanel)
{
    PlatformLogMute mute;
    const test::TempDir dir("engine-host");
    auto power = std::make_shared<sim::SimHostPower>();
    auto backlight = std::make_shared<sim::SimBacklight>(0.6F);

    auto environment = sessionlessEnvironment(power, {device("P1", "Pixel 8"), device("D1", "DC_1")});
    environment.hostDimming = makeHostDimming(std::make_shared<HostBrightness>(backlight),
        dir / "dimmed_brightness");
    MirrorEngine::Timing timing;
    timing.displayStagger = 1ms;
    auto engine = MirrorEngine::make(environment, timing);
    engine->setClamshellModeEnabled(true);

    runOnMain(engine->start());
    ASSERT_EQ(engine->state().status, MirrorStatus::running());
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return power->heldLocks().size() == 1; }, 5s));
    EXPECT_EQ(power->heldLocks()[0].what, "sleep:idle:handle-lid-switch");

    // The controller belongs to the DC-1, whatever its place in adb's list.
    ASSERT_TRUE(engine->frontLight()->running());
    engine->setBrightness(200);
    engine->toggleBacklight();
    EXPECT_EQ(engine->state().brightness, 0);
    EXPECT_FALSE(engine->state().backlightOn);
    engine->toggleBacklight();
    EXPECT_EQ(engine->state().brightness, 200);

    engine->toggleBacklight();
    runOnMain(engine->stopAsync());
    EXPECT_TRUE(power->heldLocks().empty());
    EXPECT_FALSE(engine->frontLight()->running());
    // A new run publishes the new controller's values, so a toggle acts on
    // what the device shows, not on the last run's switch.
    runOnMain(engine->start());
    EXPECT_EQ(std::pair(engine->state().brightness, engine->state().backlightOn), std::pair(128, true));
    engine->toggleBacklight();
    EXPECT_FALSE(engine->state().backlightOn);
    runOnMain(engine->stopAsync());
}

// Mirroring stops before the system sleeps and starts again after it woke;
// a stop meanwhile is the user's last word, and an idle engine stays idle.
TEST(MirrorEngineHostTest, SleepStopsMirroringAndWakingStartsItUnlessTheUserStoppedMeanwhile)
{
    PlatformLogMute mute;
    auto power = std::make_shared<sim::SimHostPower>();
    auto environment = sessionlessEnvironment(power, {device("D1", "DC_1")});
    environment.removeLeftoverTunnels = [] { return 0; };
    environment.deviceMonitor = std::make_shared<test::QuietDeviceMonitor>();
    MirrorEngine::Timing timing;
    timing.wakeRestartDelay = 50ms;
    auto engine = MirrorEngine::make(environment, timing);
    engine->activate();
    const auto is = [&](const MirrorStatus& status) {
        return MainLoop::shared().runUntil([&] { return engine->state().status == status; }, 5s);
    };
    runOnMain(engine->start());
    ASSERT_EQ(engine->state().status, MirrorStatus::running());

    power->announceSleep(true);
    ASSERT_TRUE(is(MirrorStatus::idle()));
    EXPECT_TRUE(engine->sessions().empty());
    power->announceSleep(false);
    ASSERT_TRUE(is(MirrorStatus::running()));

    power->announceSleep(true);
    ASSERT_TRUE(is(MirrorStatus::idle()));
    power->announceSleep(false);
    MainLoop::shared().runFor(10ms);
    engine->stop(); // within the pause after waking
    MainLoop::shared().runFor(200ms);
    EXPECT_EQ(engine->state().status, MirrorStatus::idle());
    power->announceSleep(true);
    power->announceSleep(false);
    MainLoop::shared().runFor(200ms);
    EXPECT_EQ(engine->state().status, MirrorStatus::idle()) << "not mirroring before the sleep: nothing to resume";
}

// In clamshell mode the lid opening leaves the desktop unmirrored and the
// capture stalled: the engine mirrors again after a pause, then restarts
// every capture stream, in that order.
TEST(MirrorEngineHostTest, OpeningTheLidMirrorsAgainThenRestartsTheCapture)
{
    sim::SimWorld::shared().reset();
    PlatformLogCapture log;
    auto power = std::make_shared<sim::SimHostPower>();
    power->setLidClosed(true);

    auto environment = simEnvironment();
    environment.sleep = makeSleepControl(power, {.lidPoll = 5ms});
    auto timing = simTiming();
    timing.lidRemirrorDelay = 30ms;
    timing.lidCaptureRestartDelay = 20ms;
    auto engine = MirrorEngine::make(environment, timing);
    engine->activate();
    engine->setClamshellModeEnabled(true);
    runOnMain(engine->start());
    ASSERT_EQ(engine->state().status, MirrorStatus::running());
    ASSERT_TRUE(engine->sessions().front()->capture());
    const auto mirrorings = [&] { return log.matching("[VirtualDisplay] Mirroring: built-in display").size(); };
    const auto restarts = [&] { return log.matching("[ScreenCapture] Restarting").size(); };
    ASSERT_EQ(mirrorings(), 1u); // the session's own, at start
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return power->lidReads() > 0; }, 5s));

    power->setLidClosed(false);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return restarts() == 1; }, 5s));
    EXPECT_EQ(mirrorings(), 2u);
    const auto lines = log.lines();
    const auto mirrored = std::find_if(lines.rbegin(), lines.rend(),
        [](const std::string& l) { return l.find("[VirtualDisplay] Mirroring") != std::string::npos; });
    const auto restarted = std::find_if(lines.rbegin(), lines.rend(),
        [](const std::string& l) { return l.find("[ScreenCapture] Restarting") != std::string::npos; });
    EXPECT_GT(mirrored - lines.rbegin(), restarted - lines.rbegin()) << "mirrored first, then restarted";

    runOnMain(engine->stopAsync());
    sim::SimWorld::shared().reset();
}

// A capture start the desktop refuses for now is tried again until it
// runs, within a bound; a refusal for good is not; a stop cuts the pause
// short and leaves nothing behind.
TEST(MirrorEngineHostTest, ATemporaryCaptureFailureIsRetriedWithinItsBound)
{
    auto& world = sim::SimWorld::shared();
    world.reset();
    PlatformLogCapture log;
    const auto retries = [&] { return log.matching("Capture did not start").size(); };
    const auto failWith = [&](int temporary, bool permanent) {
        world.updateFailures([&](sim::SimFailures& failures) {
            failures.temporaryStartFailures = temporary;
            failures.startFailsPermanently = permanent;
        });
    };
    const auto nothingLeft = [&] { return world.activeStreams() == 0 && world.displayIds().size() == 1; };

    failWith(2, false);
    auto timing = simTiming();
    auto engine = MirrorEngine::make(simEnvironment(), timing);
    runOnMain(engine->start());
    EXPECT_EQ(engine->state().status, MirrorStatus::running());
    EXPECT_EQ(world.activeStreams(), 1u);
    EXPECT_EQ(retries(), 2u);
    runOnMain(engine->stopAsync());

    // Failing more often than it may try: the last failure, after four tries.
    failWith(10, false);
    runOnMain(engine->start());
    EXPECT_EQ(engine->state().status.cause(), MirrorStatus::Cause::captureFailed);
    EXPECT_EQ(world.failures().temporaryStartFailures, 10 - timing.session.captureStartAttempts);
    EXPECT_EQ(retries(), 2u + 3u);
    runOnMain(engine->stopAsync());
    EXPECT_TRUE(nothingLeft());

    failWith(0, true);
    runOnMain(engine->start());
    EXPECT_EQ(engine->state().status.cause(), MirrorStatus::Cause::captureFailed);
    EXPECT_THAT(engine->state().status.message(), ::testing::HasSubstr("never to start"));
    EXPECT_EQ(retries(), 5u);
    runOnMain(engine->stopAsync());

    // A stop during the pause before the next try.
    failWith(1, false);
    timing.session.captureRetryPause = 1h;
    auto patient = MirrorEngine::make(simEnvironment(), timing);
    MainLoop::shared().post([patient] { patient->requestStart(); });
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return retries() == 6; }, 20s));
    patient->stop();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return patient->state().status == MirrorStatus::idle(); }, 20s));
    EXPECT_TRUE(patient->sessions().empty());
    EXPECT_TRUE(nothingLeft());
    world.reset();
}

} // namespace
} // namespace qb
