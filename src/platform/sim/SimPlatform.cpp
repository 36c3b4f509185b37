// The sim desktop: every service acts on SimWorld::shared(); no hotkeys.
#include "platform/sim/SimPlatform.h"

#include "diagnostics/PlatformLog.h"
#include "platform/CaptureStream.h"
#include "platform/InputInjector.h"
#include "platform/PacerWindows.h"
#include "platform/VirtualDisplays.h"
#include "platform/sim/SimBackends.h"
#include "platform/sim/SimDnsSd.h"
#include "platform/sim/SimHost.h"
#include "platform/sim/SimInputInjector.h"

namespace qb {

namespace {

class SimDesktop final : public Desktop {
public:
    std::string_view name() const override { return "sim"; }
    std::shared_ptr<CaptureBackend> captureBackend() override { return capture_; }
    std::shared_ptr<VirtualDisplays> virtualDisplays() override { return displays_; }
    std::shared_ptr<InputInjector> inputInjector() override { return injector_; }
    std::shared_ptr<GlobalHotkeys> globalHotkeys() override { return nullptr; }
    std::shared_ptr<PacerWindows> pacerWindows() override { return pacer_; }
    void stop() override {}

private:
    std::shared_ptr<CaptureBackend> capture_ = sim::makeSimCaptureBackend();
    std::shared_ptr<VirtualDisplays> displays_ = sim::makeSimVirtualDisplays();
    std::shared_ptr<InputInjector> injector_ = std::make_shared<SimInputInjector>(true);
    std::shared_ptr<PacerWindows> pacer_ = sim::makeSimPacerWindows();
};

} // namespace

std::shared_ptr<Desktop> makeSimDesktop() { return std::make_shared<SimDesktop>(); }

HostServices makeSimHost(const PlatformConfig& config)
{
    HostServices host;
    host.power = std::make_shared<sim::SimHostPower>();
    host.backlight = config.simBacklightFile.empty() ? std::make_shared<sim::SimBacklight>()
                                                     : std::make_shared<sim::SimBacklight>(config.simBacklightFile);
    host.fontSettings = std::make_shared<sim::SimFontSettings>();
    host.dnsSd = [](Executor deliverOn) -> std::shared_ptr<DnsSd> { return std::make_shared<SimDnsSd>(deliverOn); };
    host.dnsSdProvider = "sim";
    host.simulated = true;
    return host;
}

PlatformBackend simPlatformBackend()
{
    return {
        "sim",
        "the simulated desktop",
        [](const PlatformConfig&) { return false; },
        [](const PlatformConfig&) { return std::optional<std::string>(); },
        [](const PlatformConfig&, Executor, std::string*) { return makeSimDesktop(); },
        [](const PlatformConfig&) {
            platformLog(LogLevel::info, "Platform", "[Platform] Using the simulated desktop (QUILLBRIGHT_PLATFORM=sim)");
        },
        [](const PlatformConfig& config) { return makeSimHost(config); },
    };
}

std::shared_ptr<Platform> makeSimPlatform()
{
    PlatformConfig config = PlatformConfig::fromEnvironment();
    config.requested = "sim";
    config.simBacklightFile.clear();
    return std::make_shared<Platform>(makeSimDesktop(), makeSimHost(), std::move(config));
}


} // namespace qb
