#include "device/DisplayController.h"

#include <map>

#include <gtest/gtest.h>

#include "device/ADBBridge.h"
#include "diagnostics/PlatformLog.h"
#include "fake-adb/FakeAdbState.h"
#include "runtime/MainLoop.h"

namespace qb {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t KEYSYM_MUTE = 0x1008FF12; // another client holds Ctrl+mute

// Global key grabs as a test double: records the grabs and presses keys.
class FakeHotkeys final : public GlobalHotkeys {
public:
    Registration registerHotkey(Hotkey key, Handler handler, std::string* error) override
    {
        if (key.keysym == KEYSYM_MUTE) {
            if (error) *error = "BadAccess (grabbed by another client)";
            return 0;
        }
        grabs[++next] = {key, std::move(handler)};
        return next;
    }
    void unregisterHotkey(Registration registration) override { grabs.erase(registration); }

    bool press(std::uint32_t keysym, std::uint32_t modifiers = hotkeyControl)
    {
        for (auto& [id, grab] : grabs) {
            if (grab.first == Hotkey{keysym, modifiers}) {
                grab.second();
                return true;
            }
        }
        return false;
    }

    std::map<Registration, std::pair<Hotkey, Handler>> grabs;
    Registration next = 0;
};

class DisplayControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ADBBridge::resetForTesting();
        auto device = test::FakeAdbState::device("DC1-0001");
        // Wider than a byte, as some devices report it.
        device["settings"]["system"] = {{"screen_brightness", "300"}, {"screen_brightness_amber_rate", "90"}};
        fake.setDevices({device});
        server = FrameServer::make();
        ASSERT_FALSE(server->open(0));
        server->start();
        controller = DisplayController::make(MainLoop::shared().executor(), server, "DC1-0001", hotkeys);
        controller->onBrightnessChanged = [this](int v) { brightnessSeen.push_back(v); };
        controller->onWarmthChanged = [this](int v) { warmthSeen.push_back(v); };
        controller->onBacklightChanged = [this](bool on) { backlightSeen.push_back(on); };
    }
    void TearDown() override
    {
        if (controller) controller->stop();
        if (server) server->stop();
        ADBBridge::resetForTesting();
    }

    std::string deviceWarmth()
    {
        auto& settings = fake.read()["devices"][0]["settings"]["system"];
        return settings.value("screen_brightness_amber_rate", "");
    }

    PlatformLogMute mute;
    test::FakeAdbState fake{QB_FAKE_ADB};
    std::shared_ptr<FakeHotkeys> hotkeys = std::make_shared<FakeHotkeys>();
    std::shared_ptr<FrameServer> server;
    std::shared_ptr<DisplayController> controller;
    std::vector<int> brightnessSeen;
    std::vector<int> warmthSeen;
    std::vector<bool> backlightSeen;
};

TEST_F(DisplayControllerTest, DeviceValuesCommandsWarmthAndHotkeysReachTheDevice)
{
    controller->start();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return !warmthSeen.empty(); }, 10s));
    // The device's own values, brought into range; the backlight state is not touched.
    EXPECT_EQ(brightnessSeen, std::vector<int>{255});
    EXPECT_EQ(warmthSeen, std::vector<int>{90});
    EXPECT_TRUE(backlightSeen.empty());
    EXPECT_EQ(server->lastBrightness(), 255);
    EXPECT_EQ(hotkeys->grabs.size(), 9u);

    // Hotkeys: a step on the square-root scale, the backlight off; warmth through adb.
    controller->setBrightness(200);
    ASSERT_TRUE(hotkeys->press(KEYSYM_F2));
    EXPECT_EQ(server->lastBrightness(), 223);
    ASSERT_TRUE(hotkeys->press(KEYSYM_F10));
    EXPECT_EQ(server->lastBrightness(), 0);
    ASSERT_TRUE(hotkeys->press(KEYSYM_F12));
    EXPECT_EQ(controller->currentWarmth(), 110);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return deviceWarmth() == "110"; }, 10s)) << deviceWarmth();

    controller->stop();
    EXPECT_TRUE(hotkeys->grabs.empty());
}

TEST_F(DisplayControllerTest, BrightnessStepsAndBacklightFollowTheFrontLightRules)
{
    struct Step {
        int from, delta, to;
        bool on;
    };
    for (const Step step : {Step{128, 15, 146, true}, Step{128, -15, 110, true}, Step{146, 1, 165, true},
             Step{0, 15, 1, true}, Step{1, -15, 0, false}, Step{255, 15, 255, true}}) {
        controller->setBrightness(step.from);
        controller->adjustBrightness(step.delta);
        EXPECT_EQ(controller->currentBrightness(), step.to) << step.from << " by " << step.delta;
        EXPECT_EQ(controller->backlightOn(), step.on) << step.from << " by " << step.delta;
    }
    controller->setWarmth(10);
    controller->adjustWarmth(-20);
    EXPECT_EQ(controller->currentWarmth(), 0);
    // The slider's square-root scale; a position that is not a number clamps.
    EXPECT_EQ(DisplayController::brightnessFromSliderPos(0.5), 63);
    EXPECT_EQ(DisplayController::brightnessFromSliderPos(std::nan("")), 0);
}

TEST_F(DisplayControllerTest, ReadingThatArrivesAfterStopIsDropped)
{
    fake.fail("shell settings get", {{"mode", "hang"}, {"hangSeconds", 2}});
    ADBBridge::Timing timing;
    timing.settingGet = 0.5;
    ADBBridge::setTiming(timing);
    controller->start();
    controller->stop();
    MainLoop::shared().runFor(1500ms);
    EXPECT_TRUE(brightnessSeen.empty());
    EXPECT_EQ(server->lastBrightness(), 128);
    ADBBridge::setTiming({});
}

} // namespace
} // namespace qb
