#include "platform/MemoryRelease.h"

#include <malloc.h>

namespace qb {

namespace {

// Two heaps: the main loop's and the one the capture, encoder and pool
// threads share. Allocation there is seldom contended (a few large blocks
// per frame), and fewer heaps hold fewer freed pieces.
constexpr int HEAPS = 2;

} // namespace

bool settleAllocator()
{
    // A fixed threshold also stops the allocator from raising it.
    const bool mapped = ::mallopt(M_MMAP_THRESHOLD, LARGE_BLOCK_BYTES) == 1;
    const bool shared = ::mallopt(M_ARENA_MAX, HEAPS) == 1;
    return mapped && shared;
}

void returnFreedMemory() { ::malloc_trim(0); }

} // namespace qb
