// Backlight of the built-in panel through /sys/class/backlight.
//
// The panel is the entry whose device is an eDP, LVDS or DSI connector; when
// no entry says so, the kernel's own preference order applies (firmware,
// then platform, then raw interfaces), ties broken by name. Reads use
// actual_brightness / max_brightness. Writes go through logind's
// Session.SetBrightness on our session (or, run as a user service outside
// any session, on the user's display session), which needs no root; when
// logind refuses or is unreachable, the brightness file is written directly
// (root, or a udev rule granting the user write access), and the line
// "[HostBrightness] logind SetBrightness failed (<error>), trying sysfs" says so.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/Backlight.h"
#include "platform/linux/LogindBus.h"

namespace qb {

class SysfsBacklight final : public Backlight {
public:
    // `logind` may be null: sysfs only.
    SysfsBacklight(std::filesystem::path root, std::shared_ptr<LogindBus> logind)
        : root_(std::move(root)), logind_(std::move(logind))
    {
    }

    std::optional<float> brightness() override;
    bool setBrightness(float value) override;
    // "sysfs intel_backlight", or "sysfs: no built-in panel under <root>".
    std::string provider() const override;

    // The chosen panel's entry name ("intel_backlight"), if any.
    std::optional<std::string> panel() const;

private:
    std::filesystem::path root_;
    std::shared_ptr<LogindBus> logind_;
};

} // namespace qb
