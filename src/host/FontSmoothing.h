// Switches the desktop's text antialiasing off while mirroring and back to
// what it was afterwards. The value found before switching off is kept in a
// state file, so a run that dies with smoothing off is repaired at the next
// launch (repairAfterCrash) instead of leaving the desktop changed for good.
//
// State file: the previous value as plain text ("grayscale"), replaced
// atomically; it exists only while smoothing is off by our hand. A second
// disable() keeps the first saved value.
//
// Where the desktop has no such setting, disable() logs that it is
// unsupported and leaves everything as it is.
//
// Threads: any, one call at a time; calls block for up to the gsettings time
// limit, so the engine makes them off the main loop.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/FontSettings.h"

namespace qb {

class FontSmoothing {
public:
    FontSmoothing(std::shared_ptr<FontSettings> settings, std::filesystem::path stateFile);

    // "<home>/.quillbright/font_smoothing".
    static std::filesystem::path stateFileIn(const std::filesystem::path& home);

    // Smoothing off. True when it is off by our hand afterwards.
    bool disable();
    // Smoothing back to the saved value (the desktop's default "grayscale"
    // when none was saved). True when the setting was written.
    bool enable();
    // At launch: a state file left behind means a run ended with smoothing
    // off; put it back. True when something was repaired.
    bool repairAfterCrash();

    std::optional<std::string> savedValue() const;

private:
    std::optional<std::string> readStateLocked() const;
    bool enableLocked();

    std::shared_ptr<FontSettings> settings_;
    std::filesystem::path stateFile_;
    mutable std::mutex lock_;
};

} // namespace qb
