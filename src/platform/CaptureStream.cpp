#include "platform/CaptureStream.h"

#include "platform/sim/SimBackends.h"
#include "platform/sim/SimFallback.h"

namespace qb {

std::shared_ptr<CaptureBackend> makeCaptureBackend(PlatformKind kind)
{
    if (kind != PlatformKind::sim) sim::noteSimFallback(kind, "CaptureStream");
    return sim::makeSimCaptureBackend();
}

} // namespace qb
