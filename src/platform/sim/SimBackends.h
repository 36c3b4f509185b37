// Constructors of the sim backends of the pipeline's platform services; the
// factories in src/platform/ call them for PlatformKind::sim. All of them
// act on SimWorld::shared().
#pragma once

#include <memory>

#include "platform/CaptureStream.h"
#include "platform/PacerWindows.h"
#include "platform/VirtualDisplays.h"

namespace qb::sim {

std::shared_ptr<CaptureBackend> makeSimCaptureBackend();
std::shared_ptr<VirtualDisplays> makeSimVirtualDisplays();
std::shared_ptr<PacerWindows> makeSimPacerWindows();

} // namespace qb::sim
