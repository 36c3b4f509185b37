#include "platform/MemoryRelease.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace qb {
namespace {

std::size_t mappedBytes() { return ::mallinfo2().hblkhd; }

// A stream's buffers must leave with it: a frame-sized block is mapped on
// its own even after blocks of its size were freed (which, left alone, makes
// the allocator keep the next ones in its heap), and unmapped the moment it
// is freed.
TEST(MemoryRelease, FrameSizedBuffersGoBackWhenFreed)
{
    constexpr std::size_t frame = 1600 * 1200 * 4;
    std::free(std::malloc(frame));
    if (!settleAllocator()) GTEST_SKIP() << "the allocator keeps its own policy here";

    for (std::size_t size : {frame, frame / 2, std::size_t(LARGE_BLOCK_BYTES)}) {
        const std::size_t before = mappedBytes();
        void* buffer = std::malloc(size);
        std::memset(buffer, 1, size);
        EXPECT_GE(mappedBytes(), before + size) << size;
        std::free(buffer);
        EXPECT_EQ(mappedBytes(), before) << size;
    }
}

} // namespace
} // namespace qb
