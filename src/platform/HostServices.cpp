// The host services: the Linux host's (one logind connection shared by power
// and backlight) or the simulated ones.
#include "platform/avahi/AvahiDnsSd.h"
#include "platform/Backlight.h"
#include "platform/FontSettings.h"
#include "platform/HostPower.h"
#include "platform/Platform.h"
#include "platform/linux/GSettingsFontSettings.h"
#include "platform/linux/LogindPower.h"
#include "platform/linux/SysfsBacklight.h"
#include "platform/sim/SimDnsSd.h"
#include "platform/sim/SimHost.h"

namespace qb {

HostServices makeLinuxHost(const PlatformConfig& config)
{
    LogindOptions options;
    if (!config.systemBusAddress.empty()) options.busAddress = config.systemBusAddress;
    auto logind = std::make_shared<LogindBus>(options);
    HostServices host;
    host.power = std::make_shared<LogindPower>(logind);
    host.backlight = std::make_shared<SysfsBacklight>(config.sysfsRoot / "class" / "backlight", logind);
    host.fontSettings = std::make_shared<GSettingsFontSettings>();
    host.dnsSd = [](Executor deliverOn) { return makeAvahiDnsSd(std::move(deliverOn)); };
    host.dnsSdProvider = "avahi";
    return host;
}

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

} // namespace qb
