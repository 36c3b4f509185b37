#include <gtest/gtest.h>

#include <tuple>

#include "diagnostics/PlatformLog.h"
#include "pipeline/CompositorPacer.h"
#include "platform/CaptureRecorder.h"
#include "platform/CaptureStream.h"
#include "platform/VirtualDisplays.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimWorld.h"
#include "runtime/MainLoop.h"
#include "runtime/Queues.h"

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
    PlatformLogCapture log;
    auto pacer = make();
    const std::string id = std::to_string(display->displayId());
    pacer->start();
    EXPECT_TRUE(world.windows().empty()) << "start only queues its work";
    ASSERT_TRUE(run([&] { return pacer->isPacing(); }));
    EXPECT_TRUE(pacer->usesDisplayLink());
    EXPECT_EQ(world.activeDisplayLinks(), 1u);

    // A 4×4 click-through window above everything, at the screen's top-left corner
    // (y grows upwards, so maxY − 4).
    auto w = window();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->displayNumber, display->displayId());
    EXPECT_EQ(w->request.level, 1000);
    EXPECT_TRUE(w->request.ignoresMouseEvents);
    EXPECT_TRUE(w->orderedFront);
    ScreenInfo screen;
    for (const auto& s : world.screens()) {
        if (s.displayNumber == display->displayId()) screen = s;
    }
    EXPECT_EQ(std::tuple(w->frame.x, w->frame.y, w->frame.width, w->frame.height),
        std::tuple(screen.frame.minX(), screen.frame.maxY() - 4, 4.0, 4.0));

    // Each tick flips between black and red 1/255, starting from black.
    world.fireDisplayLinks(1);
    EXPECT_EQ(window()->background, (WindowColor{0, 0, 0, 1}));
    world.fireDisplayLinks(1);
    EXPECT_EQ(window()->background, (WindowColor{1.0 / 255.0, 0, 0, 1}));
    world.fireDisplayLinks(3598);
    EXPECT_EQ(pacer->tickCount(), 3600u);
    EXPECT_EQ(window()->colorChanges, 3599u);
    EXPECT_EQ(log.matching("ticks (~").size(), 12u);
    EXPECT_TRUE(log.contains("[CompositorPacer] 3600 ticks (~60s)"));

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
    const std::string id = std::to_string(display->displayId());

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
    auto released = make();
    released->start();
    released.reset();
    MainLoop::shared().runFor(5ms);
    EXPECT_EQ(world.windows().size(), 3u);
}

TEST_F(CompositorPacerTest, KeepsAStillDisplayDeliveringCompleteFrames)
{
    auto scene = std::make_shared<sim::ScriptedScene>();
    scene->showSolid(1, 1, 200, 200, 200);
    world.setScene(display->displayId(), scene);

    test::CaptureRecorder recorder;
    auto backend = sim::makeSimCaptureBackend();
    auto stream = backend->createStream({.displayId = display->displayId(), .width = 120, .height = 160,
                                            .minimumFrameTime = 0.001, .queue = SerialQueue::makeDedicated("capture")},
        recorder.handler());
    ASSERT_EQ(stream->start(), 0);
    auto completeFrames = [&] { // the red of the top-left pixel of each
        std::vector<int> reds;
        for (const auto& d : recorder.deliveries()) {
            if (d.status == 0 && d.hasSurface) reds.push_back(d.pixel(0, 0)[2]);
        }
        return reds;
    };

    auto pacer = make();
    pacer->start();
    ASSERT_TRUE(run([&] { return pacer->isPacing() && !completeFrames().empty(); }));
    // Every flip is a new picture: black, then red 1, then black again.
    // (The first tick sets black over black: no new picture.)
    world.fireDisplayLinks(1);
    for (int expected : {1, 0, 1}) {
        const auto before = completeFrames().size();
        world.fireDisplayLinks(1);
        ASSERT_TRUE(run([&] {
            const auto now = completeFrames();
            return now.size() > before && now.back() == expected;
        })) << expected;
    }
    stream->stop();
}

} // namespace
} // namespace qb
