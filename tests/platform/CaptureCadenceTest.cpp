#include <gtest/gtest.h>

#include "platform/CaptureCadence.h"

namespace qb {
namespace {

TEST(CaptureCadence, TakesAChangeAtOnceUnlessTheLastFrameIsUnderAFrameTimeOld)
{
    CaptureCadence cadence{0.010};
    EXPECT_DOUBLE_EQ(cadence.claim(5.000), 5.000); // the first change, at once
    EXPECT_DOUBLE_EQ(cadence.claim(5.004), 5.010); // waits for the frame time
    EXPECT_DOUBLE_EQ(cadence.claim(5.011), 5.020); // a frame time after the one before

    // A desktop drawing at the frame rate, its changes seen a little early or
    // late: each is taken when due, the lag never grows from frame to frame.
    CaptureCadence steady{0.010};
    const double jitter[] = {0, 0.0004, -0.0003, 0.0002, -0.0004, 0.0001, -0.0002, 0.0003};
    double worst = 0;
    for (int frame = 0; frame < 800; ++frame) {
        const double seen = 1.0 + frame * 0.010 + jitter[frame % 8];
        worst = std::max(worst, steady.claim(seen) - seen);
    }
    EXPECT_LT(worst, 0.001);
}

} // namespace
} // namespace qb
