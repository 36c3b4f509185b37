#include "core/MirrorEngine.h"

#include <functional>
#include <set>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/EngineFakes.h"
#include "device/PairedDevices.h"
#include "runtime/SettingsStore.h"
#include "diagnostics/PlatformLog.h"
#include "platform/sim/SimPlatform.h"
#include "runtime/MainLoop.h"
#include "support/MainLoopSupport.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;
using test::device;
using test::runOnMain;

// When each session was started; the ones told to fail refuse.
struct Recorder {
    std::vector<std::chrono::steady_clock::time_point> started;
    std::set<std::string> failing;
    std::function<void()> whileStarting; // once, from within the next session's start
};

asio::awaitable<void> fakeStart(Recorder* recorder, std::shared_ptr<DeviceSession> session)
{
    recorder->started.push_back(std::chrono::steady_clock::now());
    if (auto during = std::exchange(recorder->whileStarting, nullptr)) during();
    if (recorder->failing.count(session->id())) throw std::runtime_error("display refused");
    co_return;
}

class MirrorEngineTest : public ::testing::Test {
protected:
    MirrorEngineTest()
    {
        environment.session.platform = makeSimPlatform();
        environment.captureBackend = capture;
        environment.listDevices = [this] {
            ++listings;
            return devices;
        };
        environment.makeADBBridge = [](const ConnectedDevice&) { return std::make_shared<test::LinkedADB>(); };
        environment.portAvailable = [this](std::uint16_t port) { return busyOnce.erase(port) == 0; };
        environment.processBlocking = [](std::uint16_t) { return std::string(); };
        environment.startSession = [this](std::shared_ptr<DeviceSession> session, std::shared_ptr<WebSocketServer>,
                                       double, double) { return fakeStart(&recorder, std::move(session)); };
        // The preview servers bind free loopback ports; the fixed ones only
        // go through the check above.
        environment.ports.webSocket = 0;
        environment.ports.http = 0;
        timing.displayStagger = 40ms;
        timing.portBusyFor = 20ms;
        timing.portRecheckInterval = 5ms;
    }

    std::shared_ptr<MirrorEngine> makeEngine()
    {
        auto engine = MirrorEngine::make(environment, timing);
        engine->addObserver([this](const EngineState& state, EngineProperty property) {
            if (property == EngineProperty::status) statuses.push_back(state.status.label());
        });
        return engine;
    }

    std::shared_ptr<test::PermissionOnlyCapture> capture = std::make_shared<test::PermissionOnlyCapture>();
    MirrorEngine::Environment environment;
    MirrorEngine::Timing timing;
    std::vector<ConnectedDevice> devices;
    std::set<std::uint16_t> busyOnce; // busy at the first look only
    int listings = 0;
    Recorder recorder;
    std::vector<std::string> statuses;
    PlatformLogMute mute;
};

TEST_F(MirrorEngineTest, StartsTheLineUpStaggeredAndStopsToIdle)
{
    devices = {device("P1", "Pixel 8"), device("D1", "DC_1", 1200, 1600)};
    auto engine = makeEngine();
    runOnMain(engine->start());
    ASSERT_EQ(recorder.started.size(), 2u);
    EXPECT_GE(recorder.started[1] - recorder.started[0], timing.displayStagger);
    runOnMain(engine->stopAsync());
    EXPECT_THAT(statuses, ElementsAre("starting", "running", "stopping", "idle"));
    EXPECT_TRUE(engine->sessions().empty());
    // The page that stopped the mirror can start it again; the engine's end closes it.
    EXPECT_TRUE(engine->wsServer() && engine->httpServer());
    runOnMain(engine->shutdownAsync());
    EXPECT_FALSE(engine->wsServer() || engine->httpServer());
}

TEST_F(MirrorEngineTest, StartOnlyActsInItsStatesAndStopEndsEveryState)
{
    devices = {device("D1", "DC_1")};
    auto engine = makeEngine();

    for (const auto& status : {MirrorStatus::running(), MirrorStatus::starting(), MirrorStatus::stopping(),
             MirrorStatus::error("earlier failure")}) {
        engine->setStatus(status);
        runOnMain(engine->start());
        EXPECT_EQ(engine->state().status, status);
        EXPECT_EQ(listings, 0);
    }
    // From an error, a stop tears down whatever is left and ends idle.
    engine->stop();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return engine->state().status == MirrorStatus::idle(); }, 5000ms));

    // A stop while a restart tears down wins: the restart does not start
    // again; so does a stop asked for before the restart's task has begun.
    bool stopWhenStopping = false;
    engine->addObserver([&](const EngineState& state, EngineProperty property) {
        if (property == EngineProperty::status && state.status == MirrorStatus::stopping()
            && std::exchange(stopWhenStopping, false)) {
            engine->stop();
        }
    });
    for (const bool whileTearingDown : {true, false}) {
        runOnMain(engine->start());
        ASSERT_EQ(engine->state().status, MirrorStatus::running());
        stopWhenStopping = whileTearingDown;
        engine->restart();
        if (!whileTearingDown) engine->stop();
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return engine->state().status == MirrorStatus::idle(); }, 5s));
        MainLoop::shared().runFor(100ms);
        EXPECT_EQ(engine->state().status, MirrorStatus::idle()) << whileTearingDown;
    }

    // A tablet plugged in while the daemon ends (its stop under way) starts
    // nothing after the teardown: the daemon would exit while starting again.
    runOnMain(engine->start());
    const auto starts = recorder.started.size();
    bool plugInWhenStopping = true;
    engine->addObserver([&](const EngineState& state, EngineProperty property) {
        if (property == EngineProperty::status && state.status == MirrorStatus::stopping()
            && std::exchange(plugInWhenStopping, false)) {
            engine->deviceConnected();
        }
    });
    runOnMain(engine->shutdownAsync());
    MainLoop::shared().runFor(100ms);
    EXPECT_FALSE(plugInWhenStopping);
    EXPECT_EQ(engine->state().status, MirrorStatus::idle());
    EXPECT_EQ(recorder.started.size(), starts);
}

TEST_F(MirrorEngineTest, FailuresEndInTheirStatus)
{
    // No screen-capture permission: asked for, then an error.
    capture->permitted = false;
    auto denied = makeEngine();
    runOnMain(denied->start());
    EXPECT_EQ(denied->state().status.cause(), MirrorStatus::Cause::captureAccess);
    EXPECT_EQ(capture->requests, 1);
    capture->permitted = true;

    // A port busy for a moment only (a listener of ours closed just before,
    // still held by a child being started) is not an error.
    busyOnce = {8888, 8892};
    auto momentary = makeEngine();
    runOnMain(momentary->start());
    EXPECT_EQ(momentary->state().status, MirrorStatus::waitingForDevice());
    EXPECT_TRUE(busyOnce.empty());

    // No device: waiting, with the page up to start from.
    auto waiting = makeEngine();
    runOnMain(waiting->start());
    EXPECT_EQ(waiting->state().status, MirrorStatus::waitingForDevice());
    EXPECT_TRUE(waiting->wsServer() && waiting->httpServer());
    // ... and a device appearing later is started from there.
    devices = {device("D1", "DC_1")};
    runOnMain(waiting->start());
    EXPECT_EQ(waiting->state().status, MirrorStatus::running());
    runOnMain(waiting->stopAsync());

    // A failing session is dropped, the others run.
    recorder.started.clear();
    devices = {device("D1", "DC_1"), device("P1", "Pixel 8")};
    recorder.failing = {"D1"};
    auto partial = makeEngine();
    runOnMain(partial->start());
    EXPECT_EQ(partial->state().status, MirrorStatus::running());
    ASSERT_EQ(partial->sessions().size(), 1u);
    EXPECT_EQ(partial->sessions()[0]->id(), "P1");
    EXPECT_EQ(partial->sessions()[0]->port(), 8889); // ports follow the device list, not the survivors
    runOnMain(partial->stopAsync());

    // All fail: an error.
    recorder.failing = {"D1", "P1"};
    auto none = makeEngine();
    runOnMain(none->start());
    EXPECT_EQ(none->state().status.cause(), MirrorStatus::Cause::noSessions);
    // Asked to start again (START in the error), it does: once the devices
    // work it runs, where a plain start request changes nothing.
    recorder.failing.clear();
    bool plainStarted = true, startedAgain = false;
    MainLoop::shared().post([&] {
        plainStarted = none->requestStart();
        startedAgain = none->startAgain();
    });
    EXPECT_TRUE(MainLoop::shared().runUntil([&] { return none->state().status == MirrorStatus::running(); }, 5000ms));
    EXPECT_FALSE(plainStarted);
    EXPECT_TRUE(startedAgain);
    runOnMain(none->stopAsync());
}

TEST_F(MirrorEngineTest, AModeOrResolutionSetWhileStartingReachesTheSessions)
{
    devices = {device("D1", "DC_1", 1200, 1600)};
    auto engine = makeEngine();
    // The change is stored (and the command answered) while the session is
    // being built from the settings before it.
    recorder.whileStarting = [&] {
        engine->setResolution(DisplayResolution::sharp());
        engine->setDisplayMode(DisplayMode::extended);
    };
    runOnMain(engine->start());
    const auto applied = [&] {
        return engine->state().status == MirrorStatus::running() && engine->sessions().size() == 1
            && engine->sessions()[0]->resolution() == DisplayResolution::sharp()
            && engine->sessions()[0]->displayMode() == DisplayMode::extended;
    };
    EXPECT_TRUE(MainLoop::shared().runUntil(applied, 5s));
    EXPECT_EQ(recorder.started.size(), 2u);
    runOnMain(engine->stopAsync());
}

TEST_F(MirrorEngineTest, InWiFiModeTheSetUpDevicesAreServedUntilTheirSessionsEnd)
{
    test::TempDir dir;
    SettingsStore store(dir / "settings.json");
    ASSERT_TRUE(rememberPairedDevice(store, {"adb-TAB._adb-tls-connect._tcp", "2001:db8::21"}));
    store.setString("connectionMode", "wifi");
    environment.settings = makeStoredSettings(store);
    devices = {device("192.0.2.20:5555", "Pixel 8"), device("adb-TAB._adb-tls-connect._tcp", "Tablet X"),
        device("192.0.2.30:5555", "Tablet Y")};
    recorder.failing = {"192.0.2.30:5555"};
    auto engine = makeEngine();
    runOnMain(engine->start());
    ASSERT_EQ(engine->sessions().size(), 2u);
    const auto allowed = [&](const char* address) { return engine->lanPeers()->allows(asio::ip::make_address(address)); };
    // The network serial's address and the paired one; a session that failed to start lets its device go.
    EXPECT_TRUE(allowed("192.0.2.20") && allowed("2001:db8::21"));
    EXPECT_FALSE(allowed("192.0.2.30"));
    runOnMain(engine->stopAsync());
    EXPECT_FALSE(allowed("192.0.2.20") || allowed("2001:db8::21"));
}

} // namespace
} // namespace qb
