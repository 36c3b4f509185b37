// FontSettings through the gsettings tool: one child process per read or
// write, each with the bounded wait of child processes (5 s by default).
// A missing tool, schema or key means "unsupported": the desktop is left as
// it is. The child inherits our environment, so GSETTINGS_BACKEND and
// XDG_CONFIG_HOME choose the store (tests use a private keyfile store).
#pragma once

#include <string>

#include "platform/FontSettings.h"

namespace qb {

class GSettingsFontSettings final : public FontSettings {
public:
    struct Options {
        std::string gsettings = "/usr/bin/gsettings";
        std::string schema = "org.gnome.desktop.interface";
        std::string key = "font-antialiasing";
        double timeoutSeconds = 5;
    };

    GSettingsFontSettings() = default;
    explicit GSettingsFontSettings(Options options) : options_(std::move(options)) {}

    Reading antialiasing() override;
    bool setAntialiasing(const std::string& value, std::string* error = nullptr) override;
    std::string name() const override { return options_.schema + " " + options_.key; }
    std::string provider() const override { return "gsettings"; }

private:
    Options options_;
};

} // namespace qb
