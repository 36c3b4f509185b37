// The sim virtual displays: displays, modes and mirroring in the SimWorld.
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/SimBackends.h"
#include "platform/sim/SimWorld.h"

namespace qb::sim {

namespace {

class SimVirtualDisplay final : public VirtualDisplay {
public:
    explicit SimVirtualDisplay(std::uint32_t id)
        : id_(id)
    {
    }
    ~SimVirtualDisplay() override { SimWorld::shared().removeDisplay(id_); }

    std::uint32_t displayId() const override { return id_; }
    bool applySettings(const VirtualDisplaySettings& settings) override
    {
        return SimWorld::shared().applySettings(id_, settings);
    }

private:
    std::uint32_t id_;
};

std::string optionName(DisplayConfigureOption option)
{
    switch (option) {
    case DisplayConfigureOption::forAppOnly: return "forAppOnly";
    case DisplayConfigureOption::forSession: return "forSession";
    case DisplayConfigureOption::permanently: return "permanently";
    }
    return "unknown";
}

class SimDisplayConfiguration final : public DisplayConfiguration {
public:
    SimDisplayConfiguration() { SimWorld::shared().recordConfiguration("begin"); }
    ~SimDisplayConfiguration() override
    {
        if (open_) cancel();
    }

    std::int32_t configureMirror(std::uint32_t display, std::uint32_t master) override
    {
        auto& world = SimWorld::shared();
        world.recordConfiguration("mirror " + std::to_string(display) + " of " + std::to_string(master));
        if (!open_) return DISPLAY_ERROR_CANNOT_COMPLETE;
        if (std::int32_t error = world.failures().configureMirrorError; error != 0) return error;
        if (!world.display(display) || (master != NULL_DISPLAY_ID && !world.display(master)) || display == master) {
            return DISPLAY_ERROR_ILLEGAL_ARGUMENT;
        }
        changes_.emplace_back(display, master);
        return 0;
    }

    std::int32_t complete(DisplayConfigureOption option) override
    {
        auto& world = SimWorld::shared();
        world.recordConfiguration("complete " + optionName(option));
        if (!open_) return DISPLAY_ERROR_CANNOT_COMPLETE;
        open_ = false;
        if (std::int32_t error = world.failures().completeError; error != 0) return error;
        return world.applyMirrors(changes_);
    }

    void cancel() override
    {
        if (!open_) return;
        open_ = false;
        changes_.clear();
        SimWorld::shared().recordConfiguration("cancel");
    }

private:
    bool open_ = true;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> changes_;
};

class SimVirtualDisplays final : public VirtualDisplays {
public:
    std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override
    {
        auto id = SimWorld::shared().createDisplay(descriptor);
        if (!id) return nullptr;
        return std::make_unique<SimVirtualDisplay>(*id);
    }

    // The simulated desktop changes in memory, at once.
    asio::awaitable<DisplayReadiness> awaitDisplayReady(std::uint32_t, Duration, Sleeper& interruption) override
    {
        co_return interruption.interrupted() ? DisplayReadiness::interrupted : DisplayReadiness::confirmed;
    }

    std::optional<std::vector<DisplayModeInfo>> copyAllDisplayModes(std::uint32_t displayId) override
    {
        auto& world = SimWorld::shared();
        if (world.failures().copyModesFails) return std::nullopt;
        auto display = world.display(displayId);
        if (!display) return std::nullopt;
        return display->modes;
    }

    std::int32_t setDisplayMode(std::uint32_t displayId, const DisplayModeInfo& mode) override
    {
        return SimWorld::shared().setDisplayMode(displayId, mode.modeId);
    }

    std::vector<std::uint32_t> onlineDisplays(std::size_t maxDisplays) override
    {
        auto ids = SimWorld::shared().displayIds();
        if (ids.size() > maxDisplays) ids.resize(maxDisplays);
        return ids;
    }

    bool isBuiltIn(std::uint32_t displayId) override
    {
        auto display = SimWorld::shared().display(displayId);
        return display && display->builtIn;
    }

    std::unique_ptr<DisplayConfiguration> beginConfiguration() override
    {
        if (SimWorld::shared().failures().beginConfigurationFails) {
            SimWorld::shared().recordConfiguration("begin failed");
            return nullptr;
        }
        return std::make_unique<SimDisplayConfiguration>();
    }
};

} // namespace

std::shared_ptr<VirtualDisplays> makeSimVirtualDisplays()
{
    return std::make_shared<SimVirtualDisplays>();
}

} // namespace qb::sim
