// The factories of the host-environment services (power, backlight, font
// settings). The Linux backends share one logind connection.
#include <cstdlib>
#include <filesystem>

#include "platform/Backlight.h"
#include "platform/FontSettings.h"
#include "platform/HostPower.h"
#include "platform/linux/GSettingsFontSettings.h"
#include "platform/linux/LogindPower.h"
#include "platform/linux/SysfsBacklight.h"
#include "platform/sim/SimHost.h"

namespace qb {

namespace {

std::shared_ptr<LogindBus> sharedLogind()
{
    static const auto bus = std::make_shared<LogindBus>();
    return bus;
}

} // namespace

std::shared_ptr<HostPower> makeHostPower(PlatformKind kind)
{
    if (kind != PlatformKind::sim) return std::make_shared<LogindPower>(sharedLogind());
    return std::make_shared<sim::SimHostPower>();
}

std::shared_ptr<Backlight> makeBacklight(PlatformKind kind)
{
    if (kind != PlatformKind::sim) return std::make_shared<SysfsBacklight>("/sys/class/backlight", sharedLogind());
    if (const char* file = std::getenv("QUILLBRIGHT_SIM_BACKLIGHT"); file && *file) {
        return std::make_shared<sim::SimBacklight>(std::filesystem::path(file));
    }
    return std::make_shared<sim::SimBacklight>();
}

std::shared_ptr<FontSettings> makeFontSettings(PlatformKind kind)
{
    if (kind != PlatformKind::sim) return std::make_shared<GSettingsFontSettings>();
    return std::make_shared<sim::SimFontSettings>();
}

} // namespace qb
