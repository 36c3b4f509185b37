// Giving memory the process freed back to the system. The allocator keeps
// what a stream freed (frame-sized buffers, once its threshold for mapping
// large blocks has risen past their size) for the next allocation; after
// the streams end that keeps the idle daemon at the size of the largest
// stream it ever served, and each resolution tried raises it. Called when
// mirroring stops; costs a walk over the allocator's free lists.
// Any thread.
#pragma once

namespace qb {

void returnFreedMemory();

} // namespace qb
