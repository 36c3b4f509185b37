#include "core/EngineEnvironment.h"

#include <stdexcept>
#include <utility>

#include "config/Version.h"
#include "diagnostics/Log.h"
#include "host/PortChecker.h"
#include "runtime/MainLoop.h"

namespace qb {

MirrorEngineEnvironment completeEnvironment(MirrorEngineEnvironment env, const MirrorEngineTiming& timing)
{
    if (!env.session.platform) throw std::invalid_argument("the engine needs the daemon's platform");
    Platform& platform = *env.session.platform;
    if (!env.captureBackend) env.captureBackend = platform.captureBackend();
    if (!env.listDevices) env.listDevices = adbDeviceList;
    if (!env.removeLeftoverTunnels) env.removeLeftoverTunnels = adbLeftoverTunnelsRemoved;
    if (!env.makeADBBridge) {
        env.makeADBBridge = [](const ConnectedDevice&) { return std::make_shared<RealADBBridge>(); };
    }
    if (!env.portAvailable) env.portAvailable = wildcardBindSucceeds;
    if (!env.processBlocking) {
        env.processBlocking = [](std::uint16_t port) { return PortChecker::processBlocking(port); };
    }
    if (!env.startSession) {
        env.startSession = [](std::shared_ptr<DeviceSession> session, std::shared_ptr<WebSocketServer> ws,
                               double contrast, double gamma) {
            return session->start(std::move(ws), contrast, gamma);
        };
    }
    if (!env.sleep) env.sleep = makeSleepControl(platform.hostPower(), timing.sleep);
    if (!env.hostDimming) {
        env.hostDimming = makeHostDimming(std::make_shared<HostBrightness>(platform.backlight()),
            AutoDim::recoveryFileIn(platform.config().home), timing.autoDim);
    }
    if (!env.frontLight) env.frontLight = makeFrontLight(platform.globalHotkeys());
    if (!env.deviceMonitor) env.deviceMonitor = makeUSBDeviceMonitor(timing.usbMonitor);
    if (!env.networkServices) {
        env.networkServices = makeWiFiServices(platform.dnsSd(MainLoop::shared().executor()),
            [settings = env.settings] { return settings ? settings->pairedDevices() : std::vector<PairedDevice>{}; });
    }
    if (!env.updateChecks) {
        UpdateChecker::Config updates;
        if (!platform.config().updateHost.empty()) updates.host = platform.config().updateHost;
        if (!updates.enabled()) {
            logInfo("Update", "Update check off: this build names no update feed (updates come with the system's packages)");
        }
        env.updateChecks = makeUpdateChecks([updates] { return UpdateChecker::check(APP_VERSION, updates); },
            timing.firstUpdateCheck,
            timing.updateCheckInterval);
    }
    if (!env.fontSmoothing) {
        env.fontSmoothing = makeDesktopFontSmoothing(
            std::make_shared<FontSmoothing>(platform.fontSettings(), FontSmoothing::stateFileIn(platform.config().home)));
    }
    return env;
}

} // namespace qb
