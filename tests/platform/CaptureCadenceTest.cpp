#include <gtest/gtest.h>

#include "platform/CaptureCadence.h"

namespace qb {
namespace {

constexpr double FRAME = 0.010;

TEST(CaptureCadence, ChangesAreTakenAsTheyComeWithinTheFrameRateCap)
{
    CaptureCadence cadence(FRAME);
    EXPECT_DOUBLE_EQ(cadence.claim(5.000), 5.000); // after a quiet spell, at once
    EXPECT_DOUBLE_EQ(cadence.claim(5.001), 5.0075); // never closer than 3/4 of a frame

    // A desktop drawing at exactly the frame rate, its first change 6/10 of
    // a frame after a frame taken for another reason: the wait for each
    // change shrinks to nothing, it does not stay at the first phase.
    CaptureCadence locked(FRAME);
    locked.claim(0.0);
    double wait = 0;
    for (int frame = 0; frame < 100; ++frame) {
        const double seen = 0.004 + frame * FRAME;
        wait = locked.claim(seen) - seen;
        if (frame == 0) {
            EXPECT_NEAR(wait, 0.0035, 1e-9);
        }
    }
    EXPECT_NEAR(wait, 0.0, 1e-9);

    // Changes far faster than the cap: about the frame rate, no more.
    CaptureCadence flood(FRAME);
    int frames = 0;
    for (double due = 0; due < 10.0; ++frames) due = flood.claim(due);
    EXPECT_GE(frames, 1000);
    EXPECT_LE(frames, 1040);
}

// Another output's changes wake the stream, which finds nothing of its own:
// its own change right after is still taken at once, and a flood of such
// wake-ups between real frames does not loosen the cap.
TEST(CaptureCadence, AWakeUpThatTookNothingGivesItsPlaceBack)
{
    CaptureCadence cadence(FRAME);
    cadence.claim(5.000);
    cadence.release();
    EXPECT_DOUBLE_EQ(cadence.claim(5.001), 5.001);
    EXPECT_DOUBLE_EQ(cadence.claim(5.002), 5.0085);
    cadence.release();
    cadence.release(); // only the last claim: the one at 5.001 stays
    EXPECT_DOUBLE_EQ(cadence.claim(5.003), 5.0085);

    CaptureCadence flood(FRAME);
    int frames = 0;
    for (double due = 0; due < 10.0; ++frames) {
        flood.claim(due);
        flood.release();
        due = flood.claim(due);
    }
    EXPECT_LE(frames, 1040);
}

} // namespace
} // namespace qb
