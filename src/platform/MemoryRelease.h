// Keeping the daemon's resident size flat over hours of streams.
//
// A stream allocates frame-sized buffers (hundreds of KiB to tens of MiB
// each: references, deltas, scaled and compressed pictures) and frees them
// when it ends. Left to its defaults the allocator raises its threshold for
// mapping large blocks to the size of each such buffer freed, so the next
// stream's buffers come from its heaps instead, where they fragment and
// stay; and every thread that allocates may get a heap of its own. The
// idle daemon then keeps the size of the streams it served before, and
// each resolution tried raises it.
#pragma once

namespace qb {

// Fixes the allocator's policy for the daemon's life: every block of
// LARGE_BLOCK_BYTES or more is mapped on its own and unmapped when freed,
// and the threads share a few heaps. Call once at start, before the
// threads. False where the allocator refuses it (a sanitizer's own).
bool settleAllocator();

// Gives the memory the process freed back to the system. Called when
// mirroring stops; costs a walk over the allocator's free lists. Any
// thread.
void returnFreedMemory();

// Blocks at least this large never come from a heap (a 512×512 grey
// picture; smaller tablets' frames are cheap to keep).
inline constexpr int LARGE_BLOCK_BYTES = 256 * 1024;

} // namespace qb
