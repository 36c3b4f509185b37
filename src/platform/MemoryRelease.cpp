#include "platform/MemoryRelease.h"

#include <malloc.h>

namespace qb {

void returnFreedMemory() { ::malloc_trim(0); }

} // namespace qb
