// The built-in panel's brightness, 0 (dark) to 1 (full), and the dimming the
// engine does while a device mirrors the host: dim() remembers the level
// (in memory and in a small recovery file, so that a crash while dimmed does
// not leave the panel dark) and sets 0; restore() puts the level back and
// deletes the file; restoreAfterCrash() applies a file left by a previous
// run.
//
// Without a built-in panel reads give nothing and dim() does nothing.
//
// Recovery file: the level as the shortest decimal text that reads back to
// the same float ("0.75"), no newline, replaced atomically; it exists only
// while dimmed.
//
// Tests and the sim platform give it a sim::SimBacklight (platform/sim/SimHost.h).
//
// Threads: any; one call at a time is served (a mutex). Calls block for up
// to the backlight's time limit (a D-Bus call), so the engine makes them off
// the main loop.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Backlight.h"

namespace qb {

class HostBrightness {
public:
    HostBrightness(std::shared_ptr<Backlight> backlight, std::filesystem::path recoveryFile);

    // "$HOME/.quillbright/saved_brightness".
    static std::filesystem::path defaultRecoveryFile();

    std::optional<float> brightness();
    bool setBrightness(float value);

    // Saves the current level and darkens the panel. The saved level, or
    // nothing when the panel cannot be read (then nothing changes). Dimming
    // again while dimmed keeps the first saved level.
    std::optional<float> dim();
    // When dimmed: sets the saved level back, forgets it and deletes the
    // recovery file; the restored level.
    std::optional<float> restore();
    // The level dim() saved, while dimmed.
    std::optional<float> savedBrightness() const;

    // A recovery file left by a crash: applies and deletes it. The applied
    // level; nothing when there is no file or its whole content is not a
    // decimal number (such a file is left alone).
    std::optional<float> restoreAfterCrash();

    static std::string formatLevel(float level);
    static std::optional<float> parseLevel(std::string_view text);

private:
    bool writeRecoveryFile(float level);

    std::shared_ptr<Backlight> backlight_;
    std::filesystem::path recoveryFile_;
    mutable std::mutex lock_;
    std::optional<float> saved_;
};

} // namespace qb
