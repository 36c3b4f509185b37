#include "platform/PacerWindows.h"

#include "platform/sim/SimBackends.h"
#include "platform/sim/SimFallback.h"

namespace qb {

std::shared_ptr<PacerWindows> makePacerWindows(PlatformKind kind)
{
    if (kind != PlatformKind::sim) sim::noteSimFallback(kind, "PacerWindows");
    return sim::makeSimPacerWindows();
}

} // namespace qb
