#include "host/PortChecker.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace qb {
namespace {

TEST(PortCheckerTest, ParsesExactlyOnePid)
{
    EXPECT_EQ(PortChecker::parseSinglePid("  17 \n\n"), 17);
    EXPECT_EQ(PortChecker::parseSinglePid("+17"), 17);
    // Nothing, two listeners, junk, and a number beyond 32 bits.
    for (const char* bad : {"", "\n", "4242\n4243\n", "12a", "++1", "99999999999"}) {
        EXPECT_EQ(PortChecker::parseSinglePid(bad), std::nullopt) << bad;
    }
}

TEST(PortCheckerTest, NamesTheListenerFromScriptedToolsWithinTheLimit)
{
    // Stand-in tools: scripts printing fixed output, so the parsing and the
    // order of the two lookups are checked whatever the machine runs.
    const test::TempDir dir("portchecker");
    PortChecker::Tools tools;
    // lsof must be asked for exactly this port's listeners, pids only.
    tools.lsof = dir.script("lsof",
        "[ \"$1\" = -iTCP:8891 ] && [ \"$2\" = -sTCP:LISTEN ] && [ \"$3\" = -t ] && echo 321; echo oops >&2");
    tools.ps = dir.script("ps", "[ \"$1 $2 $3 $4\" = '-p 321 -o comm=' ] && echo '  nginx  '");
    EXPECT_EQ(PortChecker::processBlocking(8891, tools), "nginx (pid 321)");
    EXPECT_EQ(PortChecker::processBlocking(8890, tools), ""); // nothing listens there

    // Two listeners.
    tools.lsof = dir.script("lsof-two", "printf '1\\n2\\n'");
    EXPECT_EQ(PortChecker::processBlocking(8891, tools), "");

    // A hung tool is cut off at the limit.
    tools.lsof = dir.script("lsof-hung", "exec sleep 30");
    tools.timeoutSeconds = 0.2;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(PortChecker::processBlocking(8888, tools), "");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

} // namespace
} // namespace qb
