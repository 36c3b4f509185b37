// The engine's host integration: keep-awake lock with clamshell mode, the
// front-light controller on the DC-1 session, the panel restored at stop,
// the repair after the lid opens.
#include "core/MirrorEngine.h"

#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimHost.h"
#include "platform/sim/SimWorld.h"
#include "runtime/MainLoop.h"

namespace qb {
namespace {

using namespace std::chrono_literals;

class PermittedCapture final : public CaptureBackend {
public:
    bool preflightScreenCaptureAccess() override { return true; }
    bool requestScreenCaptureAccess() override { return true; }
    std::unique_ptr<CaptureStream> createStream(const CaptureStreamRequest&, CaptureFrameHandler) override
    {
        return nullptr;
    }
};

asio::awaitable<void> noSessionWork() { co_return; }

class QuietDevices final : public DeviceMonitor {
public:
    void start(Events) override {}
    void stop() override {}
    void setMirroring(bool) override {}
};

asio::awaitable<void> completing(asio::awaitable<void> inner, bool* done)
{
    co_await std::move(inner);
    *done = true;
}

void runToEnd(asio::awaitable<void> task)
{
    bool done = false;
    asio::co_spawn(MainLoop::shared().executor(), completing(std::move(task), &done), asio::detached);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return done; }, 10s));
}

ConnectedDevice device(std::string serial, std::string model)
{
    ConnectedDevice d;
    d.serial = std::move(serial);
    d.model = std::move(model);
    return d;
}

TEST(MirrorEngineHostTest, MirroringHoldsTheHostAwakeDrivesTheFrontLightAndRestoresThePanel)
{
    PlatformLogMute mute;
    const auto dir = std::filesystem::temp_directory_path() / ("engine-host-" + std::to_string(::getpid()));
    auto power = std::make_shared<sim::SimHostPower>();
    auto backlight = std::make_shared<sim::SimBacklight>(0.6F);

    MirrorEngine::Environment environment;
    environment.captureBackend = std::make_shared<PermittedCapture>();
    environment.listDevices = [] { return std::vector<ConnectedDevice>{device("P1", "Pixel 8"), device("D1", "DC_1")}; };
    environment.portAvailable = [](std::uint16_t) { return true; };
    environment.startSession = [](std::shared_ptr<DeviceSession>, std::shared_ptr<WebSocketServer>, double, double) {
        return noSessionWork();
    };
    environment.ports.webSocket = 0;
    environment.ports.http = 0;
    environment.sleep = makeSleepControl(power);
    environment.hostDimming = makeHostDimming(std::make_shared<HostBrightness>(backlight),
        dir / "dimmed_brightness");
    environment.fontSmoothing = makeDesktopFontSmoothing(
        std::make_shared<FontSmoothing>(std::make_shared<sim::SimFontSettings>(), dir / "fonts"));
    MirrorEngine::Timing timing;
    timing.displayStagger = 1ms;
    auto engine = MirrorEngine::make(environment, timing);
    engine->setClamshellModeEnabled(true);

    runToEnd(engine->start());
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

    runToEnd(engine->stopAsync());
    EXPECT_TRUE(power->heldLocks().empty());
    EXPECT_FALSE(engine->frontLight()->running());
    engine->setBrightness(10); // no controller: the value is only kept
    EXPECT_EQ(engine->state().brightness, 10);
    std::filesystem::remove_all(dir);
}

class LinkedADB final : public ADBBridging {
public:
    bool resetDisplaySizeOverride(const std::string&) override { return true; }
    bool isAppInstalled(const std::string&) override { return true; }
    std::optional<std::string> companionVersion(const std::string&) override { return "2.4.4"; }
    bool installBundledAPK(const std::string&) override { return true; }
    bool setupReverseTunnel(const std::string&, int, int) override { return true; }
    bool removeReverseTunnel(const std::string&, int) override { return true; }
    void launchApp(const std::string&, bool, const std::optional<std::string>&) override {}
    bool isCompanionRunning(const std::string&) override { return true; }
    void sendStatus(const std::string&, const std::string&) override {}
};

// In clamshell mode the lid opening leaves the desktop unmirrored and the
// capture stalled: the engine mirrors again after a pause, then restarts
// every capture stream, in that order.
TEST(MirrorEngineHostTest, OpeningTheLidMirrorsAgainThenRestartsTheCapture)
{
    sim::SimWorld::shared().reset();
    PlatformLogCapture log;
    auto power = std::make_shared<sim::SimHostPower>();
    power->setLidClosed(true);

    MirrorEngine::Environment environment;
    environment.captureBackend = std::make_shared<PermittedCapture>();
    environment.listDevices = [] { return std::vector<ConnectedDevice>{device("D1", "DC_1")}; };
    environment.portAvailable = [](std::uint16_t) { return true; };
    environment.makeADBBridge = [](const ConnectedDevice&) { return std::make_shared<LinkedADB>(); };
    environment.ports = {.stream = 0, .webSocket = 0, .http = 0, .input = 0};
    environment.session.virtualDisplays = sim::makeSimVirtualDisplays();
    environment.session.pacerWindows = sim::makeSimPacerWindows();
    environment.session.captureBackend = sim::makeSimCaptureBackend();
    environment.session.hardwareComparisonEnabled = [] { return false; };
    environment.session.inputPort = 0;
    environment.sleep = makeSleepControl(power, {.lidPoll = 5ms});
    environment.deviceMonitor = std::make_shared<QuietDevices>();
    environment.updateChecks = makeUpdateChecks([] { return std::optional<UpdateChecker::Release>(); }, 1h, 1h);
    MirrorEngine::Timing timing;
    timing.session.displayPause = 1ms;
    timing.session.retryPause = 1ms;
    timing.session.healthCheckInterval = 1h;
    timing.session.capture.drain = 1ms;
    timing.session.capture.restartPause = 1ms;
    timing.lidRemirrorDelay = 30ms;
    timing.lidCaptureRestartDelay = 20ms;
    auto engine = MirrorEngine::make(environment, timing);
    engine->activate();
    engine->setClamshellModeEnabled(true);
    runToEnd(engine->start());
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

    runToEnd(engine->stopAsync());
    sim::SimWorld::shared().reset();
}

} // namespace
} // namespace qb
