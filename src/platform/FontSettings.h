// The desktop's text antialiasing preference ("none", "grayscale", "rgba"),
// which the engine switches off while mirroring to a paper-like screen:
// crisp black-on-white glyphs survive greyscale conversion better than
// smoothed ones.
//
// Backends: gsettings (platform/linux/, GNOME's org.gnome.desktop.interface
// font-antialiasing, as GNOME, Cinnamon and most GTK desktops read it) and
// sim (platform/sim/, in memory).
//
// Threads: any; members block for at most the backend's time limit (the
// gsettings child process), so callers keep them off the main loop.
#pragma once

#include <memory>
#include <optional>
#include <string>


namespace qb {

class FontSettings {
public:
    struct Reading {
        bool supported = false;           // the desktop has such a setting
        std::optional<std::string> value; // the current value, when it could be read
        std::string error;                // why not, for the log
    };

    virtual ~FontSettings() = default;

    virtual Reading antialiasing() = 0;
    // False (with `error`) when the setting could not be written.
    virtual bool setAntialiasing(const std::string& value, std::string* error = nullptr) = 0;
    // What the setting is called, for the log ("org.gnome.desktop.interface font-antialiasing").
    virtual std::string name() const = 0;
    // Which backend this is, for the report ("gsettings").
    virtual std::string provider() const = 0;
};

} // namespace qb
