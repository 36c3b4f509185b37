// The Linux host's services: one logind connection shared by power and
// backlight, gsettings, Avahi.
#include "platform/avahi/AvahiDnsSd.h"
#include "platform/Backlight.h"
#include "platform/FontSettings.h"
#include "platform/HostPower.h"
#include "platform/Platform.h"
#include "platform/linux/GSettingsFontSettings.h"
#include "platform/linux/LogindPower.h"
#include "platform/linux/SysfsBacklight.h"
#include "runtime/Queues.h"

#include <condition_variable>
#include <mutex>

namespace qb {

namespace {

// Writes on a queue of their own, in order, so that the logind call never
// holds up the caller (the engine's main loop).
class QueuedBacklight final : public Backlight {
public:
    explicit QueuedBacklight(std::shared_ptr<SysfsBacklight> panel)
        : panel_(std::move(panel)), queue_(SerialQueue::make("host-backlight", QoS::userInitiated))
    {
    }
    ~QueuedBacklight() override { flush(std::chrono::seconds(6)); }
    std::optional<float> brightness() override { return panel_->brightness(); }
    bool setBrightness(float value) override
    {
        if (!panel_->panel()) return false;
        {
            std::lock_guard guard(lock_);
            ++pending_;
        }
        queue_->async([this, panel = panel_, value] {
            panel->setBrightness(value);
            std::lock_guard guard(lock_);
            --pending_;
            drained_.notify_all();
        });
        return true;
    }
    std::string provider() const override { return panel_->provider(); }
    bool flush(std::chrono::milliseconds limit) override
    {
        std::unique_lock guard(lock_);
        return drained_.wait_for(guard, limit, [this] { return pending_ == 0; });
    }

private:
    std::shared_ptr<SysfsBacklight> panel_;
    std::shared_ptr<SerialQueue> queue_;
    std::mutex lock_;
    std::condition_variable drained_;
    int pending_ = 0;
};

} // namespace

HostServices makeLinuxHost(const PlatformConfig& config)
{
    LogindOptions options;
    if (!config.systemBusAddress.empty()) options.busAddress = config.systemBusAddress;
    auto logind = std::make_shared<LogindBus>(options);
    HostServices host;
    host.power = std::make_shared<LogindPower>(logind);
    host.backlight = std::make_shared<QueuedBacklight>(
        std::make_shared<SysfsBacklight>(config.sysfsRoot / "class" / "backlight", logind));
    host.fontSettings = std::make_shared<GSettingsFontSettings>();
    host.dnsSd = [](Executor deliverOn) { return makeAvahiDnsSd(std::move(deliverOn)); };
    host.dnsSdProvider = "avahi";
    return host;
}

} // namespace qb
