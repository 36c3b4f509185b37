#include <gtest/gtest.h>

#include <vector>

#include "platform/CaptureCadence.h"

namespace qb {
namespace {

constexpr double FRAME = 1.0 / 64; // exact in binary, as are the times below
constexpr double STEP = FRAME * CaptureCadence::STEP;

TEST(CaptureCadence, ChangesAreTakenAsTheyComeWithinTheFrameRateCap)
{
    CaptureCadence cadence(FRAME);
    EXPECT_DOUBLE_EQ(cadence.claim(5.000), 5.000); // after a quiet spell, at once
    EXPECT_DOUBLE_EQ(cadence.claim(5.001), 5.001); // the rest of a drawing caught half done
    EXPECT_DOUBLE_EQ(cadence.claim(5.002), 5.0 + 2 * STEP - FRAME); // the credit is spent

    // A desktop drawing at exactly the frame rate, its first change 4/10 of
    // a frame after a frame taken for another reason, and now and then a
    // frame taken between two of its changes (a drawing read half done):
    // none of its changes waits long, and soon none waits at all.
    CaptureCadence steady(FRAME);
    steady.claim(0.0);
    for (int frame = 0; frame < 200; ++frame) {
        const double seen = 0.4 * FRAME + frame * FRAME;
        const double wait = steady.claim(seen) - seen;
        if (frame % 50 == 10) steady.claim(seen + 0.5 * FRAME);
        ASSERT_LE(wait, 0.25 * FRAME) << "frame " << frame;
        if (frame >= 20) {
            ASSERT_EQ(wait, 0.0) << "frame " << frame;
        }
    }

    // Changes far faster than the cap: 62 frames a second at 60, no more.
    CaptureCadence flood(FRAME);
    std::vector<double> taken;
    for (double due = 0; (due = flood.claim(due)) < 10.0;) taken.push_back(due);
    EXPECT_LE(taken.size(), std::size_t(10.0 / STEP) + 2);
}

// Another output's changes wake the stream, which finds nothing of its own:
// its own change right after is still taken at once, and a flood of such
// wake-ups between real frames does not loosen the cap.
TEST(CaptureCadence, AWakeUpThatTookNothingGivesItsPlaceBack)
{
    CaptureCadence cadence(FRAME);
    cadence.claim(5.000);
    cadence.claim(5.0005);
    cadence.release();
    EXPECT_DOUBLE_EQ(cadence.claim(5.001), 5.001);
    EXPECT_DOUBLE_EQ(cadence.claim(5.002), 5.0 + 2 * STEP - FRAME);
    cadence.release();
    cadence.release(); // only the last claim: the one at 5.001 stays
    EXPECT_DOUBLE_EQ(cadence.claim(5.003), 5.0 + 2 * STEP - FRAME);

    CaptureCadence flood(FRAME);
    int frames = 0;
    for (double due = 0; due < 10.0; ++frames) {
        flood.claim(due);
        flood.release();
        due = flood.claim(due);
    }
    EXPECT_LE(frames, int(10.0 / STEP) + 3); // and the one that ends the loop
}

} // namespace
} // namespace qb
