#include "device/DisplayController.h"

#include <map>

#include <gtest/gtest.h>

#include "companion/CompanionClient.h"
#include "device/ADBBridge.h"
#include "diagnostics/PlatformLog.h"
#include "fake-adb/FakeAdbState.h"
#include "runtime/MainLoop.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using companion::CompanionClient;

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
        server = TCPServer::make();
        ASSERT_FALSE(server->start(0));
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

    // The next brightness command the client receives.
    std::optional<int> nextBrightness(CompanionClient& client)
    {
        while (auto message = client.readMessage(5s)) {
            if (auto* command = std::get_if<CommandMessage>(&*message); command && command->code == CommandCode::brightness) {
                return command->value;
            }
        }
        return std::nullopt;
    }

    std::string deviceWarmth()
    {
        auto& settings = fake.read()["devices"][0]["settings"]["system"];
        return settings.value("screen_brightness_amber_rate", "");
    }

    PlatformLogMute mute;
    test::FakeAdbState fake{QB_FAKE_ADB};
    std::shared_ptr<FakeHotkeys> hotkeys = std::make_shared<FakeHotkeys>();
    std::shared_ptr<TCPServer> server;
    std::shared_ptr<DisplayController> controller;
    std::vector<int> brightnessSeen;
    std::vector<int> warmthSeen;
    std::vector<bool> backlightSeen;
};

TEST_F(DisplayControllerTest, DeviceValuesCommandsWarmthAndHotkeysReachTheDevice)
{
    CompanionClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", server->port(), 5s));
    ASSERT_TRUE(client.readGreeting(5s)) << client.violation();

    controller->start();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return !warmthSeen.empty(); }, 10s));
    // The device's own values, brought into range; the backlight state is not touched.
    EXPECT_EQ(brightnessSeen, std::vector<int>{255});
    EXPECT_EQ(warmthSeen, std::vector<int>{90});
    EXPECT_TRUE(backlightSeen.empty());
    EXPECT_EQ(nextBrightness(client), 255);
    EXPECT_EQ(hotkeys->grabs.size(), 9u);

    controller->setBrightness(200);
    EXPECT_EQ(nextBrightness(client), 200);

    // Hotkeys: a step on the square-root scale, the backlight off.
    ASSERT_TRUE(hotkeys->press(KEYSYM_F2));
    EXPECT_EQ(nextBrightness(client), 223);
    ASSERT_TRUE(hotkeys->press(KEYSYM_F10));
    EXPECT_EQ(nextBrightness(client), 0);

    // Warmth goes through adb.
    ASSERT_TRUE(hotkeys->press(KEYSYM_F12));
    EXPECT_EQ(controller->currentWarmth(), 110);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return deviceWarmth() == "110"; }, 10s)) << deviceWarmth();

    controller->stop();
    EXPECT_TRUE(hotkeys->grabs.empty());
}

TEST_F(DisplayControllerTest, BrightnessStepsAndBacklightFollowTheFrontLightRules)
{
    struct Step {
        int from;
        int delta;
        int to;
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
