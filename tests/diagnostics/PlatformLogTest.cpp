#include "diagnostics/PlatformLog.h"

#include <gtest/gtest.h>

namespace qb {
namespace {

TEST(PlatformLog, PriorityPrefixesOnlyWhenStandardErrorIsTheJournal)
{
    EXPECT_TRUE(isJournalStream("8:1234567", 8, 1234567));
    // Inherited from a service, but this stream is another file (a terminal).
    EXPECT_FALSE(isJournalStream("8:1234567", 8, 42));
    EXPECT_FALSE(isJournalStream("9:1234567", 8, 1234567));
    for (const char* malformed : {"", ":", "8", "8:", ":1234567", "8:1234567x", "-8:1234567", "8:1:2", "x:y"}) {
        EXPECT_FALSE(isJournalStream(malformed, 8, 1234567)) << malformed;
    }
}

} // namespace
} // namespace qb
