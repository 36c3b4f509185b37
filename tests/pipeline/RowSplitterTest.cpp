#include "pipeline/RowSplitter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qb {
namespace {

// Runs `rows` rows through the splitter and checks each was visited once.
void expectEveryRowOnce(RowSplitter& splitter, std::size_t rows, std::size_t sliceRows)
{
    std::vector<std::atomic<int>> visits(rows);
    splitter.run(rows, sliceRows, [&](std::size_t first, std::size_t last) {
        for (std::size_t r = first; r < last; ++r) visits[r].fetch_add(1);
    });
    for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(visits[r].load(), 1) << rows << " rows by " << sliceRows << ", row " << r;
}

TEST(RowSplitterTest, EverySliceRunsExactlyOnceHoweverTheRowsDivide)
{
    RowSplitter splitter(3);
    for (std::size_t rows : {0, 1, 2, 7, 64, 65, 1200}) {
        for (std::size_t slice : {0, 1, 3, 64, 5000}) expectEveryRowOnce(splitter, rows, slice);
    }
    RowSplitter alone(0);
    expectEveryRowOnce(alone, 100, 7);
}

// Two captures encoding at once: one gets the helpers, the other works
// alone; neither waits for the other nor loses a slice. Back-to-back runs
// also make a helper that wakes late meet the next job, not the last one.
TEST(RowSplitterTest, ConcurrentCallersEachGetWholeCoverage)
{
    RowSplitter splitter(2);
    auto caller = [&] {
        for (int i = 0; i < 300; ++i) expectEveryRowOnce(splitter, 97 + static_cast<std::size_t>(i % 5), 4);
    };
    std::thread other(caller);
    caller();
    other.join();
}

} // namespace
} // namespace qb
