// Constructors of the sim backends of the desktop services (the sim Desktop
// and tests use them). All of them act on SimWorld::shared().
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
