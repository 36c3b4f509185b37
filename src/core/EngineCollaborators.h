// The services the engine coordinates but does not implement. Each is a
// small interface whose own methods do nothing, so an engine without one
// (tests, or before the component exists) behaves as if the service had
// nothing to do. Empty members get that no-op default.
#pragma once

#include <memory>

#include "core/ControlServer.h"
#include "core/DeviceDisplayControl.h"
#include "core/DeviceMonitor.h"
#include "core/FontSmoothing.h"
#include "core/HostDimming.h"
#include "core/NetworkServices.h"
#include "core/SleepControl.h"
#include "core/UpdateChecks.h"

namespace qb {

struct EngineCollaborators {
    std::shared_ptr<ControlServer> controlServer;
    std::shared_ptr<SleepControl> sleep;
    std::shared_ptr<HostDimming> hostDimming;
    std::shared_ptr<DeviceDisplayControl> displayControl;
    std::shared_ptr<DeviceMonitor> deviceMonitor;
    std::shared_ptr<NetworkServices> networkServices;
    std::shared_ptr<UpdateChecks> updateChecks;
    std::shared_ptr<FontSmoothing> fontSmoothing;

    // Fills every empty member with its no-op default.
    void fillDefaults()
    {
        if (!controlServer) controlServer = std::make_shared<ControlServer>();
        if (!sleep) sleep = std::make_shared<SleepControl>();
        if (!hostDimming) hostDimming = std::make_shared<HostDimming>();
        if (!displayControl) displayControl = std::make_shared<DeviceDisplayControl>();
        if (!deviceMonitor) deviceMonitor = std::make_shared<DeviceMonitor>();
        if (!networkServices) networkServices = std::make_shared<NetworkServices>();
        if (!updateChecks) updateChecks = std::make_shared<UpdateChecks>();
        if (!fontSmoothing) fontSmoothing = std::make_shared<FontSmoothing>();
    }
};

} // namespace qb
