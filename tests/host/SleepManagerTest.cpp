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
    PlatformLogMute mute;
    int recoveries = 0;
};

TEST_F(SleepManagerTest, HoldsOneInhibitorWhileActiveAndRecoversOnceWhenTheLidOpens)
{
    manager->activate();
    manager->activate(); // while the first request is under way
    ASSERT_TRUE(runUntil([&] { return manager->holdsLock(); }));
    manager->activate(); // while held
    MainLoop::shared().runFor(50ms);
    EXPECT_EQ(logind.inhibitors().substr(0, HELD.size()), HELD);

    // Only opening recovers, once however many polls see it.
    logind.setManagerBool("LidClosed", true);
    MainLoop::shared().runFor(200ms);
    EXPECT_EQ(recoveries, 0);
    logind.setManagerBool("LidClosed", false);
    ASSERT_TRUE(runUntil([&] { return recoveries > 0; }));
    MainLoop::shared().runFor(100ms);
    EXPECT_EQ(recoveries, 1);

    manager->deactivate();
    EXPECT_TRUE(test::waitFor([&] { return logind.inhibitors() == MockLogind::NO_INHIBITORS; }));
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
