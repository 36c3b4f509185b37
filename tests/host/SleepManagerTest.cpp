#include "host/SleepManager.h"

#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "host/MockLogind.h"
#include "platform/linux/LogindPower.h"
#include "runtime/MainLoop.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using test::MockLogind;

SleepManager::Timing fastPoll()
{
    SleepManager::Timing timing;
    timing.lidPoll = 20ms;
    return timing;
}

const std::string HELD = R"(a(ssssuu) 1 "sleep:idle:handle-lid-switch" "QuillBright" "Mirroring to a device" "block")";

class SleepManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!logind.ready()) GTEST_SKIP() << logind.skipReason();
        logind.setManagerBool("LidClosed", false);
        bus = std::make_shared<LogindBus>(test::logindAt(logind.address()));
        manager = SleepManager::make(MainLoop::shared().executor(), std::make_shared<LogindPower>(bus),
            fastPoll());
        manager->onLidOpened = [this] { ++recoveries; };
    }

    bool runUntil(const std::function<bool()>& condition) { return MainLoop::shared().runUntil(condition, 10s); }

    MockLogind logind;
    std::shared_ptr<LogindBus> bus;
    std::shared_ptr<SleepManager> manager;
    PlatformLogCapture logs;
    int recoveries = 0;
};

TEST_F(SleepManagerTest, HoldsOneInhibitorWhileActiveAndReportsLidChangesOnce)
{
    manager->activate();
    manager->activate(); // while the first request is under way
    ASSERT_TRUE(runUntil([&] { return manager->holdsLock(); }));
    manager->activate(); // while held
    MainLoop::shared().runFor(50ms);
    EXPECT_EQ(logind.inhibitors().substr(0, HELD.size()), HELD);
    EXPECT_EQ(logs.matching("logind inhibitor started (fd: ").size(), 1u);
    ASSERT_TRUE(runUntil([&] { return logs.contains("Lid monitor started (polling 0.02s)"); }));

    // Each change is logged once however many polls see it; only opening recovers.
    logind.setManagerBool("LidClosed", true);
    ASSERT_TRUE(runUntil([&] { return logs.contains("[SleepManager] Lid closed"); }));
    MainLoop::shared().runFor(100ms);
    logind.setManagerBool("LidClosed", false);
    ASSERT_TRUE(runUntil([&] { return recoveries > 0; }));
    MainLoop::shared().runFor(100ms);
    EXPECT_EQ(recoveries, 1);
    EXPECT_EQ(logs.matching("[SleepManager] Lid closed — mirror will break when built-in goes offline").size(), 1u);
    EXPECT_EQ(logs.matching("[SleepManager] Lid opened — triggering recovery").size(), 1u);

    manager->deactivate();
    EXPECT_TRUE(test::waitFor([&] { return logind.inhibitors() == MockLogind::NO_INHIBITORS; }));
    EXPECT_TRUE(logs.contains("[SleepManager] logind inhibitor stopped"));

    // No lid polling once inactive; a second deactivate says nothing.
    logs.clear();
    logind.setManagerBool("LidClosed", true);
    manager->deactivate();
    MainLoop::shared().runFor(100ms);
    EXPECT_TRUE(logs.lines().empty());

    // Without clamshell mode the lid switch is left to the desktop.
    manager->activate(false);
    ASSERT_TRUE(runUntil([&] { return manager->holdsLock(); }));
    EXPECT_TRUE(logind.inhibitors().starts_with(R"(a(ssssuu) 1 "sleep:idle" "QuillBright")")) << logind.inhibitors();
    manager->deactivate();
}

TEST_F(SleepManagerTest, DeactivateDuringTheRequestReleasesTheLateLock)
{
    manager->activate();
    manager->deactivate();
    MainLoop::shared().runFor(200ms);
    EXPECT_FALSE(manager->isActive());
    EXPECT_TRUE(test::waitFor([&] { return logind.inhibitors() == MockLogind::NO_INHIBITORS; }));
}

} // namespace
} // namespace qb
