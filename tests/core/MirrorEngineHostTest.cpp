// The engine's host integration: keep-awake lock with clamshell mode, the
// front-light controller on the DC-1 session, the panel restored at stop.
#include "core/MirrorEngine.h"

#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "platform/sim/SimHost.h"
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
    environment.hostPower = power;
    environment.hostBrightness = std::make_shared<HostBrightness>(backlight, dir / "saved_brightness");
    environment.fontSmoothing = std::make_shared<FontSmoothing>(std::make_shared<sim::SimFontSettings>(), dir / "fonts");
    MirrorEngine::Timing timing;
    timing.displayStagger = 1ms;
    auto engine = MirrorEngine::make(environment, timing);
    engine->setClamshellModeEnabled(true);

    runToEnd(engine->start());
    ASSERT_EQ(engine->status(), MirrorStatus::running());
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return engine->sleepManager()->holdsLock(); }, 5s));
    ASSERT_EQ(power->heldLocks().size(), 1u);
    EXPECT_EQ(power->heldLocks()[0].what, "sleep:idle:handle-lid-switch");

    // The controller belongs to the DC-1, whatever its place in adb's list.
    ASSERT_TRUE(engine->displayController());
    engine->setBrightness(200);
    engine->toggleBacklight();
    EXPECT_EQ(engine->brightness(), 0);
    EXPECT_FALSE(engine->backlightOn());
    engine->toggleBacklight();
    EXPECT_EQ(engine->brightness(), 200);

    runToEnd(engine->stopAsync());
    EXPECT_TRUE(power->heldLocks().empty());
    EXPECT_FALSE(engine->displayController());
    engine->setBrightness(10); // no controller: the value is only kept
    EXPECT_EQ(engine->brightness(), 10);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace qb
