#include "pipeline/SideEncoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "diagnostics/PlatformLog.h"
#include "pipeline/FakeCapture.h"

namespace qb {
namespace {

// A comparison that holds its queue until the test lets it go.
class HeldComparison final : public ComparisonEncoder {
public:
    bool hasSession() const override { return true; }
    std::optional<std::vector<std::uint8_t>> encode(const CaptureSurface& surface) override
    {
        ++encodes;
        firstPixel = surface.lockReadOnly()[0];
        entered.set_value();
        release.wait();
        return std::vector<std::uint8_t>(10, 0);
    }
    void stop() override { stopped = true; }

    std::promise<void> entered;
    std::shared_future<void> release;
    std::atomic<int> encodes{0};
    std::atomic<int> firstPixel{-1};
    std::atomic<bool> stopped{false};
};

// The capture never waits for the side queue: while it is busy, offers are
// refused at once and counted, and the frame taken is a copy (the surface
// may change as soon as offer() returns).
TEST(SideEncoderTest, BusyQueueDropsFramesInsteadOfWaitingAndWorksOnACopy)
{
    PlatformLogMute mute;
    auto held = std::make_unique<HeldComparison>();
    HeldComparison& comparison = *held;
    std::promise<void> release;
    comparison.release = release.get_future().share();
    auto entered = comparison.entered.get_future();
    auto side = SideEncoder::make(nullptr, true, std::move(held));

    test::FakeSurface surface(8, 4, 12);
    surface.pixel(0, 0)[0] = 42;
    const std::uint8_t* pixels = surface.lockReadOnly();
    const SideEncoder::ComparisonFigures figures{true, 3000, 0.5};
    ASSERT_TRUE(side->offer(surface, pixels, false, figures));
    surface.pixel(0, 0)[0] = 7; // the capture moves on
    ASSERT_EQ(entered.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(side->offer(surface, pixels, false, figures));
    EXPECT_FALSE(side->offer(surface, pixels, false, figures));
    EXPECT_EQ(side->droppedFrames(), 2);
    // Nothing to do (no preview server, no comparison asked): not a drop.
    EXPECT_FALSE(side->offer(surface, pixels, true, std::nullopt));
    EXPECT_EQ(side->droppedFrames(), 2);

    release.set_value();
    side->stop(); // does not wait: the comparison is stopped on the queue
    side->drain();
    EXPECT_EQ(comparison.encodes, 1);
    EXPECT_EQ(comparison.firstPixel, 42);
    EXPECT_TRUE(comparison.stopped);
    EXPECT_FALSE(side->offer(surface, pixels, false, figures)); // stopped
    surface.unlockReadOnly();
}

} // namespace
} // namespace qb
