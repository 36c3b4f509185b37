#include "diagnostics/ProcessInfo.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(ProcessInfoTest, ParsesStatmAndUptime)
{
    const auto memory = parseStatm("25600 512 300 10 0 900 0\n", 4096);
    ASSERT_TRUE(memory);
    EXPECT_DOUBLE_EQ(memory->virtualMB, 100.0);
    EXPECT_DOUBLE_EQ(memory->residentMB, 2.0);

    EXPECT_EQ(parseUptimeSeconds("18420.99 73000.12\n"), 18420u);
    EXPECT_EQ(parseUptimeSeconds("7"), 7u);
    EXPECT_EQ(formatUptime(18420), "5h7m");
    EXPECT_EQ(formatUptime(400 * 3600 + 61), "400h1m");

    for (const char* bad : {"", "\n", "abc def", "-1 2", "1", "12 x", "1 2x", "99999999999999999999999 1"}) {
        EXPECT_FALSE(parseStatm(bad, 4096)) << bad;
    }
    EXPECT_FALSE(parseStatm("1 2", 0));
    // Absurd page counts do not overflow into small numbers.
    const auto huge = parseStatm("18446744073709551615 18446744073709551615", 65536);
    ASSERT_TRUE(huge);
    EXPECT_GT(huge->residentMB, 1e15);

    for (const char* bad : {"", "x", "-5.0 1", ".5 1", "12abc 1", "99999999999999999999999.0 1"}) {
        EXPECT_FALSE(parseUptimeSeconds(bad)) << bad;
    }
}

} // namespace
} // namespace qb
