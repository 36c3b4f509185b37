#include "device/USBDeviceMonitor.h"

#include <algorithm>
#include <csignal>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/ADBBridge.h"
#include "diagnostics/PlatformLog.h"
#include "fake-adb/FakeAdbState.h"
#include "runtime/MainLoop.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

class USBDeviceMonitorTest : public ::testing::Test {
protected:
    USBDeviceMonitorTest() { ADBBridge::resetForTesting(); }

    ~USBDeviceMonitorTest() override
    {
        if (monitor) monitor->stop();
        queue->sync([] {}); // the poll under way, if any, finishes before the fake goes
        ADBBridge::resetForTesting();
    }

    // `tracking` false: polls only.
    void startMonitor(bool mirroring = false, bool tracking = false)
    {
        monitor = USBDeviceMonitor::make({.pollInterval = 20ms, .pollQueue = queue->executor(),
            .trackDevices = tracking, .trackRestartPause = 20ms, .trackRestartLimit = 40ms});
        monitor->isMirroring = mirroring;
        auto record = [this](std::string event) {
            onMainThread = onMainThread && MainLoop::shared().isCurrent();
            events.push_back(std::move(event));
        };
        monitor->onDeviceConnected = [record] { record("connected"); };
        monitor->onDeviceDisconnected = [record] { record("disconnected"); };
        monitor->onUnauthorizedChanged = [record](const std::vector<std::string>& serials) {
            std::string text = "unauthorized:";
            for (const auto& s : serials) text += s + ",";
            record(text);
        };
        monitor->onStartRequested = [record] { record("start"); };
        monitor->onADBLost = [record] { record("adb lost"); };
        monitor->onADBReturned = [record] { record("adb back"); };
        monitor->start();
    }

    size_t countCalls(const std::vector<std::string>& call) const
    {
        auto log = fake.log();
        return static_cast<size_t>(std::count(log.begin(), log.end(), call));
    }

    // Runs the main loop until `polls` more polls have finished and their
    // callbacks have been delivered (each poll lists devices twice).
    void waitForPolls(size_t polls)
    {
        const size_t target = countCalls({"devices", "-l"}) + 2 * (polls + 1);
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return countCalls({"devices", "-l"}) >= target; }, 10s));
        MainLoop::shared().runFor(0ms);
    }

    // The fake adb's running `track-devices` children.
    std::vector<pid_t> trackers() const
    {
        std::vector<pid_t> found;
        for (const pid_t pid : fake.processes()) {
            const std::string command = test::readFile("/proc/" + std::to_string(pid) + "/cmdline");
            if (command.find(std::string("track-devices\0", 14)) != std::string::npos) found.push_back(pid);
        }
        return found;
    }

    // Plugs a DC-1 in and out; true when both edges were reported and,
    // with `byTracking`, no poll listed the devices meanwhile.
    void plugInAndOut(bool byTracking)
    {
        const size_t listings = countCalls({"devices", "-l"});
        const size_t before = events.size();
        fake.setDevices({test::FakeAdbState::device("DC1")});
        waitForEvents(before + 1);
        fake.setDevices({});
        waitForEvents(before + 2);
        EXPECT_THAT(std::vector(events.end() - 2, events.end()), ElementsAre("connected", "disconnected"));
        if (byTracking) {
            EXPECT_EQ(countCalls({"devices", "-l"}), listings) << "reported by a poll, not by adb track-devices";
        } else {
            EXPECT_GT(countCalls({"devices", "-l"}), listings);
        }
    }

    void waitForEvents(size_t count)
    {
        ASSERT_TRUE(MainLoop::shared().runUntil([&] { return events.size() >= count; }, 10s))
            << ::testing::PrintToString(events);
    }

    PlatformLogMute mute;
    test::FakeAdbState fake{QB_FAKE_ADB};
    std::shared_ptr<SerialQueue> queue = SerialQueue::make("usb-monitor-test", QoS::utility);
    std::shared_ptr<USBDeviceMonitor> monitor;
    std::vector<std::string> events;
    bool onMainThread = true;
};

TEST_F(USBDeviceMonitorTest, OnlyTheLastDeviceLeavingIsAnEdge)
{
    fake.setDevices({test::FakeAdbState::device("DC1"), test::FakeAdbState::device("TAB2", "SM_X700")});
    startMonitor();
    waitForEvents(1);
    fake.setDevices({test::FakeAdbState::device("TAB2", "SM_X700")});
    waitForPolls(2);
    EXPECT_THAT(events, ElementsAre("connected"));

    // A failing device list is adb's server gone, not the device: lost and
    // back, no edge of the device's own; one that left meanwhile is
    // disconnected before adb is reported back.
    fake.fail("devices", {{"exit", 1}, {"stderr", "error: protocol fault\n"}});
    waitForEvents(2);
    fake.clearFailures();
    waitForEvents(3);
    fake.fail("devices", {{"exit", 1}, {"stderr", "error: protocol fault\n"}});
    waitForEvents(4);
    fake.setDevices({});
    fake.clearFailures();
    waitForEvents(6);
    EXPECT_THAT(events, ElementsAre("connected", "adb lost", "adb back", "adb lost", "disconnected", "adb back"));
    EXPECT_TRUE(onMainThread);
}

TEST_F(USBDeviceMonitorTest, StartRequestLeftWhileMirroringIsReportedOnceAfterwards)
{
    auto dc1 = test::FakeAdbState::device("DC1");
    dc1["startRequest"] = true;
    fake.setDevices({dc1});
    startMonitor(/*mirroring=*/true);
    waitForEvents(1);
    waitForPolls(2);
    EXPECT_THAT(events, ElementsAre("connected"));
    EXPECT_EQ(countCalls({"shell", "cat", "/data/local/tmp/quillbright_start"}), 0u);
    EXPECT_TRUE(fake.read()["devices"][0].contains("startRequest"));

    monitor->isMirroring = false;
    waitForEvents(2);
    waitForPolls(3);
    EXPECT_THAT(events, ElementsAre("connected", "start"));
    EXPECT_EQ(countCalls({"shell", "rm", "/data/local/tmp/quillbright_start"}), 1u);
}

// adb pushes each change through `adb track-devices`; while that child is
// down (killed, or failing to start) the poll reports them, and the child is
// followed again once it can be.
TEST_F(USBDeviceMonitorTest, TrackedDevicesFallBackToPollingWhileTheTrackerIsDownAndResume)
{
    startMonitor(/*mirroring=*/false, /*tracking=*/true);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return monitor->isTracking(); }, 10s));
    plugInAndOut(/*byTracking=*/true);

    // Killed, and every restart failing: polls take over.
    fake.fail("track-devices", {{"exit", 1}, {"stderr", "error: cannot connect to daemon\n"}});
    ASSERT_EQ(trackers().size(), 1u);
    ::kill(trackers().front(), SIGKILL);
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return !monitor->isTracking(); }, 10s));
    plugInAndOut(/*byTracking=*/false);

    fake.clearFailures();
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return monitor->isTracking(); }, 10s));
    plugInAndOut(/*byTracking=*/true);
    EXPECT_TRUE(onMainThread);

    // Stopped, it leaves no child behind.
    monitor->stop();
    EXPECT_TRUE(trackers().empty());
}

} // namespace
} // namespace qb
