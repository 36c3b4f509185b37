// The sim desktop: every service acts on SimWorld::shared(); no hotkeys.
#include "platform/CaptureStream.h"
#include "platform/InputInjector.h"
#include "platform/PacerWindows.h"
#include "platform/Platform.h"
#include "platform/VirtualDisplays.h"
#include "platform/sim/SimBackends.h"
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

} // namespace qb
