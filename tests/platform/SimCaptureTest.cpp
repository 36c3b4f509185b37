#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/CaptureRecorder.h"
#include "platform/CaptureStream.h"
#include "platform/PacerWindows.h"
#include "platform/VirtualDisplays.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimWorld.h"
#include "runtime/Queues.h"

namespace qb {
namespace {

using namespace std::chrono_literals;
using Recorder = test::CaptureRecorder;
using test::Delivery;

class SimCaptureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        world.reset();
        auto displays = sim::makeSimVirtualDisplays();
        display = displays->createVirtualDisplay({.name = "Test", .maxPixelsWide = 64, .maxPixelsHigh = 48});
        ASSERT_TRUE(display);
        scene = std::make_shared<sim::ScriptedScene>();
        world.setScene(display->displayId(), scene);
        backend = sim::makeSimCaptureBackend();
    }

    std::unique_ptr<CaptureStream> makeStream(Recorder& recorder, std::size_t width = 64, std::size_t height = 48)
    {
        return backend->createStream({.displayId = display->displayId(), .width = width, .height = height,
                                         .minimumFrameTime = 0.001, .queue = SerialQueue::makeDedicated("capture")},
            recorder.handler());
    }

    sim::SimWorld& world = sim::SimWorld::shared();
    std::unique_ptr<VirtualDisplay> display;
    std::shared_ptr<sim::ScriptedScene> scene;
    std::shared_ptr<CaptureBackend> backend;
};

TEST_F(SimCaptureTest, DeliversPaddedSurfacesAndIdleWhileThePictureStaysTheSame)
{
    world.setRowPadding(24);
    scene->showSolid(10, 10, 1, 2, 3);
    Recorder recorder;
    auto stream = makeStream(recorder);
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->start(), 0);
    EXPECT_EQ(stream->start(), 0) << "starting a started stream is harmless";

    ASSERT_TRUE(recorder.waitFor([](const auto& ds) { return test::count(ds, CaptureFrameStatus::frameIdle) >= 3; }));
    auto first = recorder.deliveries();
    ASSERT_EQ(first.front().status, 0) << "the first delivery is a complete frame";
    EXPECT_EQ(test::count(first, CaptureFrameStatus::frameComplete), 1u) << "an unchanged picture is not delivered again";
    const Delivery& frame = first.front();
    EXPECT_EQ(std::tuple(frame.width, frame.height, frame.bytesPerElement, frame.bytesPerRow),
        (std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>(64, 48, 4, 64 * 4 + 24)));
    // The 10×10 picture covers the whole surface, the last pixel of the last row included.
    for (auto [x, y] : {std::pair<std::size_t, std::size_t>{0, 0}, {63, 0}, {0, 47}, {63, 47}}) {
        const std::uint8_t* p = frame.pixel(x, y);
        EXPECT_EQ(std::vector<std::uint8_t>(p, p + 4), (std::vector<std::uint8_t>{1, 2, 3, 255})) << x << "," << y;
    }

    scene->showSolid(4, 4, 9, 8, 7);
    ASSERT_TRUE(recorder.waitFor([](const auto& ds) { return test::count(ds, CaptureFrameStatus::frameComplete) == 2; }));
    EXPECT_EQ(recorder.lastComplete().pixel(10, 10)[0], 9);
    EXPECT_EQ(world.activeStreams(), 1u);

    stream->stop();
    EXPECT_EQ(world.activeStreams(), 0u);
    stream->stop();
    EXPECT_EQ(stream->start(), CAPTURE_ERROR_CANNOT_COMPLETE) << "a stopped stream stays stopped";
}

TEST_F(SimCaptureTest, ScalesTheDisplayPictureToTheRequestedSizeWithPacerWindowOnTop)
{
    // A 2×1 picture: left half blue, right half green.
    scene->show(sim::SimImage{2, 1, {255, 0, 0, 255, 0, 255, 0, 255}});
    auto windows = sim::makeSimPacerWindows();
    std::optional<ScreenInfo> screen;
    for (const auto& s : windows->screens()) {
        if (s.displayNumber == display->displayId()) screen = s;
    }
    ASSERT_TRUE(screen);
    auto window = windows->makeWindow(PacerWindowRequest{.screen = screen});
    window->setFrameOrigin(screen->frame.minX(), screen->frame.maxY() - 4);
    window->orderFrontRegardless();
    window->setBackgroundColor({1.0 / 255.0, 0, 0, 1});

    Recorder recorder;
    auto stream = makeStream(recorder, 32, 24); // half the display's size
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->start(), 0);
    ASSERT_TRUE(recorder.waitFor([](const auto& ds) { return test::count(ds, CaptureFrameStatus::frameComplete) >= 1; }));
    const Delivery frame = recorder.lastComplete();
    EXPECT_EQ(frame.width, 32u);
    // The 4×4 window of the 64×48 display covers 2×2 pixels of the 32×24 picture.
    EXPECT_EQ(frame.pixel(0, 0)[2], 1);
    EXPECT_EQ(frame.pixel(1, 1)[2], 1);
    EXPECT_EQ(frame.pixel(2, 2)[0], 255) << "outside the window: the scene";
    EXPECT_EQ(frame.pixel(31, 23)[1], 255);

    // A colour flip is a new picture.
    window->setBackgroundColor({0, 0, 0, 1});
    ASSERT_TRUE(recorder.waitFor([](const auto& ds) { return test::count(ds, CaptureFrameStatus::frameComplete) >= 2; }));
    EXPECT_EQ(recorder.lastComplete().pixel(0, 0)[2], 0);
    stream->stop();
}

TEST_F(SimCaptureTest, StopWaitsForTheRunningHandlerAndMayBeCalledFromIt)
{
    scene->showSolid(1, 1, 0, 0, 0);
    std::atomic<bool> inside{false};
    Recorder slow;
    slow.onDelivery = [&](const Delivery&) {
        inside = true;
        std::this_thread::sleep_for(20ms); // a slow frame under way
        inside = false;
    };
    auto stream = makeStream(slow);
    ASSERT_EQ(stream->start(), 0);
    ASSERT_TRUE(slow.waitFor([](const auto& ds) { return !ds.empty(); }));
    stream->stop();
    EXPECT_FALSE(inside.load()) << "stop returned while the handler still ran";
    const auto delivered = slow.deliveries().size();
    stream.reset();
    EXPECT_EQ(slow.deliveries().size(), delivered);

    // Stopping from the handler itself must not deadlock, and ends deliveries.
    Recorder selfStopping;
    std::unique_ptr<CaptureStream> second;
    std::atomic<int> calls{0};
    selfStopping.onDelivery = [&](const Delivery&) {
        if (++calls == 1) second->stop();
    };
    second = makeStream(selfStopping);
    ASSERT_EQ(second->start(), 0);
    ASSERT_TRUE(selfStopping.waitFor([](const auto& ds) { return !ds.empty(); }));
    second->stop();
    EXPECT_EQ(calls.load(), 1);
}

TEST_F(SimCaptureTest, RemovedDisplayEndsTheStreamWithStoppedStatus)
{
    Recorder recorder;
    auto stream = makeStream(recorder);
    ASSERT_EQ(stream->start(), 0);
    ASSERT_TRUE(recorder.waitFor([](const auto& ds) { return !ds.empty(); }));
    display.reset(); // releasing the virtual display removes it
    ASSERT_TRUE(recorder.waitFor([](const auto& ds) { return test::count(ds, CaptureFrameStatus::stopped) == 1; }));
    EXPECT_EQ(recorder.deliveries().back().status, static_cast<std::int32_t>(CaptureFrameStatus::stopped));
    stream->stop();
    EXPECT_EQ(world.activeStreams(), 0u);
    EXPECT_EQ(test::count(recorder.deliveries(), CaptureFrameStatus::stopped), 1u);
}

} // namespace
} // namespace qb
