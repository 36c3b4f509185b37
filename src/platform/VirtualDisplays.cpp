#include "platform/VirtualDisplays.h"

#include "platform/sim/SimBackends.h"
#include "platform/sim/SimFallback.h"

namespace qb {

std::shared_ptr<VirtualDisplays> makeVirtualDisplays(PlatformKind kind)
{
    if (kind != PlatformKind::sim) sim::noteSimFallback(kind, "VirtualDisplays");
    return sim::makeSimVirtualDisplays();
}

} // namespace qb
