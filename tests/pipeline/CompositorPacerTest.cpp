#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "diagnostics/PlatformLog.h"
#include "pipeline/CompositorPacer.h"
#include "platform/CaptureStream.h"
#include "platform/VirtualDisplays.h"
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
        VirtualDisplayDescriptor descriptor;
        descriptor.name = "Pacer";
        descriptor.maxPixelsWide = 1200;
        descriptor.maxPixelsHigh = 1600;
        display = displays->createVirtualDisplay(descriptor);
        ASSERT_TRUE(display);
    }

    std::shared_ptr<CompositorPacer> make(CompositorPacer::Timing timing = {})
    {
        return CompositorPacer::create(display->displayId(), makePacerWindows(PlatformKind::sim), timing);
    }

    std::optional<sim::SimWindowState> window()
    {
        auto all = world.windows();
        if (all.empty()) return std::nullopt;
        return all.back();
    }

    bool run(const std::function<bool()>& done) { return MainLoop::shared().runUntil(done, 5000ms); }

    sim::SimWorld& world = sim::SimWorld::shared();
    std::shared_ptr<VirtualDisplays> displays = makeVirtualDisplays(PlatformKind::sim);
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

    auto w = window();
    ASSERT_TRUE(w);
    EXPECT_EQ(w->displayNumber, display->displayId());
    EXPECT_EQ(w->request.level, 1000);
    EXPECT_TRUE(w->request.borderless);
    EXPECT_TRUE(w->request.ignoresMouseEvents);
    EXPECT_FALSE(w->request.opaque);
    EXPECT_FALSE(w->request.hasShadow);
    EXPECT_EQ(w->frame.width, 4);
    EXPECT_EQ(w->frame.height, 4);
    EXPECT_TRUE(w->orderedFront);
    // Top-left corner of the screen: y grows upwards, so maxY − 4.
    ScreenInfo screen;
    for (const auto& s : world.screens()) {
        if (s.displayNumber == display->displayId()) screen = s;
    }
    EXPECT_EQ(w->frame.x, screen.frame.minX());
    EXPECT_EQ(w->frame.y, screen.frame.maxY() - 4);
    EXPECT_TRUE(log.contains("[CompositorPacer] Started on virtual display " + id + " (X Present vblank, 4x4)"));
    EXPECT_TRUE(log.contains("[CompositorPacer] Target display: " + id + ", on virtual screen: true"));

    // Each tick flips between black and red 1/255, starting from black.
    world.fireDisplayLinks(1);
    EXPECT_EQ(window()->background, (WindowColor{0, 0, 0, 1}));
    world.fireDisplayLinks(1);
    EXPECT_EQ(window()->background, (WindowColor{1.0 / 255.0, 0, 0, 1}));
    world.fireDisplayLinks(3598);
    EXPECT_EQ(pacer->tickCount(), 3600u);
    EXPECT_EQ(window()->colorSets, 3600u);
    EXPECT_EQ(window()->colorChanges, 3599u);
    EXPECT_EQ(log.matching("ticks (~").size(), 12u);
    EXPECT_TRUE(log.contains("[CompositorPacer] 300 ticks (~5s)"));
    EXPECT_TRUE(log.contains("[CompositorPacer] 3600 ticks (~60s)"));

    pacer->stop();
    ASSERT_TRUE(run([&] { return !pacer->isPacing(); }));
    EXPECT_TRUE(window()->closed);
    EXPECT_EQ(world.activeDisplayLinks(), 0u);
    EXPECT_TRUE(log.contains("[CompositorPacer] Compositor pacer stopped"));
    EXPECT_EQ(pacer->tickCount(), 3600u) << "the count survives a stop";
}

TEST_F(CompositorPacerTest, FallsBackToATimerOnTheMainScreenWithoutAScreen)
{
    world.setDisplayHasScreen(display->displayId(), false);
    PlatformLogCapture log;
    auto pacer = make({.fallbackInterval = 1ms});
    pacer->start();
    ASSERT_TRUE(run([&] { return pacer->tickCount() >= 5; }));
    EXPECT_FALSE(pacer->usesDisplayLink());
    EXPECT_EQ(world.activeDisplayLinks(), 0u);
    EXPECT_EQ(window()->displayNumber, sim::SimWorld::BUILT_IN_DISPLAY_ID) << "the window is on the main screen";
    const std::string id = std::to_string(display->displayId());
    EXPECT_TRUE(log.contains(
        "[CompositorPacer] Started on main screen (timer fallback, 4x4) — virtual display " + id + " has no XRandR monitor"));
    EXPECT_TRUE(log.contains("[CompositorPacer] Target display: " + id + ", on virtual screen: false"));

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

    std::mutex lock;
    std::vector<std::pair<std::int32_t, int>> frames; // status, red of the top-left pixel
    auto library = makeCaptureBackend(PlatformKind::sim)->openLibrary();
    CaptureStreamRequest request{.displayId = display->displayId(), .width = 120, .height = 160,
        .minimumFrameTime = 0.001, .queue = SerialQueue::makeDedicated("capture")};
    auto stream = library->createStream(request, [&](std::int32_t status, const CaptureSurface* surface) {
        int red = -1;
        if (surface) {
            SurfaceReadLock pixels(*surface);
            red = pixels.data()[2];
        }
        std::lock_guard guard(lock);
        frames.emplace_back(status, red);
    });
    ASSERT_EQ(stream->start(), 0);
    auto completeFrames = [&] {
        std::lock_guard guard(lock);
        return std::count_if(frames.begin(), frames.end(), [](auto& f) { return f.first == 0; });
    };
    auto lastRed = [&] {
        std::lock_guard guard(lock);
        for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
            if (it->first == 0) return it->second;
        }
        return -1;
    };

    auto pacer = make();
    pacer->start();
    ASSERT_TRUE(run([&] { return pacer->isPacing() && completeFrames() >= 1; }));
    // Every flip is a new picture: black, then red 1, then black again.
    // (The first tick sets black over black: no new picture.)
    world.fireDisplayLinks(1);
    for (int expected : {1, 0, 1}) {
        const auto before = completeFrames();
        world.fireDisplayLinks(1);
        ASSERT_TRUE(run([&] { return completeFrames() > before && lastRed() == expected; })) << expected;
    }
    stream->stop();
}

} // namespace
} // namespace qb
