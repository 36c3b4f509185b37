#include <gtest/gtest.h>

#include "diagnostics/PlatformLog.h"
#include "pipeline/CompositorPacer.h"
#include "platform/VirtualDisplays.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimWorld.h"
#include "runtime/MainLoop.h"

namespace qb {
namespace {

using namespace std::chrono_literals;

class CompositorPacerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        world.reset();
        display = displays->createVirtualDisplay({.name = "Pacer", .maxPixelsWide = 1200, .maxPixelsHigh = 1600});
        ASSERT_TRUE(display);
    }

    std::shared_ptr<CompositorPacer> make(CompositorPacer::Timing timing = {})
    {
        return CompositorPacer::create(display->displayId(), sim::makeSimPacerWindows(), timing);
    }

    std::optional<sim::SimWindowState> window()
    {
        auto all = world.windows();
        if (all.empty()) return std::nullopt;
        return all.back();
    }

    bool run(const std::function<bool()>& done) { return MainLoop::shared().runUntil(done, 5000ms); }

    sim::SimWorld& world = sim::SimWorld::shared();
    std::shared_ptr<VirtualDisplays> displays = sim::makeSimVirtualDisplays();
    std::unique_ptr<VirtualDisplay> display;
};

TEST_F(CompositorPacerTest, PacesADisplayWithAScreenFromItsDisplayLink)
{
    auto pacer = make();
    pacer->start();
    EXPECT_TRUE(world.windows().empty()) << "start only queues its work";
    ASSERT_TRUE(run([&] { return pacer->isPacing(); }));
    EXPECT_TRUE(pacer->usesDisplayLink());
    EXPECT_EQ(world.activeDisplayLinks(), 1u);
    EXPECT_EQ(window()->displayNumber, display->displayId());

    // Each tick flips between black and red 1/255, starting from black.
    world.fireDisplayLinks(1);
    EXPECT_EQ(window()->background, (WindowColor{0, 0, 0, 1}));
    world.fireDisplayLinks(1);
    EXPECT_EQ(window()->background, (WindowColor{1.0 / 255.0, 0, 0, 1}));
    world.fireDisplayLinks(3598);
    EXPECT_EQ(pacer->tickCount(), 3600u);
    EXPECT_EQ(window()->colorChanges, 3599u);

    pacer->stop();
    ASSERT_TRUE(run([&] { return !pacer->isPacing(); }));
    EXPECT_TRUE(window()->closed);
    EXPECT_EQ(world.activeDisplayLinks(), 0u);
    EXPECT_EQ(pacer->tickCount(), 3600u) << "the count survives a stop";
}

TEST_F(CompositorPacerTest, FallsBackToATimerOnTheMainScreenWithoutAScreen)
{
    world.setDisplayHasScreen(display->displayId(), false);
    auto pacer = make({.fallbackInterval = 1ms});
    pacer->start();
    ASSERT_TRUE(run([&] { return pacer->tickCount() >= 5; }));
    EXPECT_FALSE(pacer->usesDisplayLink());
    EXPECT_EQ(world.activeDisplayLinks(), 0u);
    EXPECT_EQ(window()->displayNumber, sim::SimWorld::BUILT_IN_DISPLAY_ID) << "the window is on the main screen";

    pacer->stop();
    ASSERT_TRUE(run([&] { return !pacer->isPacing(); }));
    const auto ticks = pacer->tickCount();
    MainLoop::shared().runFor(20ms);
    EXPECT_EQ(pacer->tickCount(), ticks) << "the timer stops with the pacer";
}

TEST_F(CompositorPacerTest, QueuedWorkRunsInOrderAndNotAfterRelease)
{
    auto pacer = make();
    pacer->start();
    pacer->stop();
    ASSERT_TRUE(run([&] { return window() && window()->closed; }));
    EXPECT_EQ(world.windows().size(), 1u);
    EXPECT_EQ(world.activeDisplayLinks(), 0u);

    // A second start replaces the first one's window instead of leaking it.
    pacer->start();
    pacer->start();
    ASSERT_TRUE(run([&] { return world.windows().size() == 3; }));
    auto windows = world.windows();
    EXPECT_TRUE(windows[1].closed);
    EXPECT_FALSE(windows[2].closed);
    EXPECT_EQ(world.activeDisplayLinks(), 1u);

    // Released before its queued start runs: nothing is built.
    pacer.reset();
    EXPECT_EQ(world.activeDisplayLinks(), 0u);
    EXPECT_TRUE(world.windows().back().closed);
}

} // namespace
} // namespace qb
