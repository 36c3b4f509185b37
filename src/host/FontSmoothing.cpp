#include "host/FontSmoothing.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"
#include "runtime/DurableFile.h"

namespace qb {

namespace {

constexpr const char* OFF = "none";
constexpr const char* DESKTOP_DEFAULT = "grayscale";

void fontLine(LogLevel level, const std::string& line) { platformLog(level, "MirrorEngine", line); }

} // namespace

FontSmoothing::FontSmoothing(std::shared_ptr<FontSettings> settings, std::filesystem::path stateFile)
    : settings_(std::move(settings)), stateFile_(std::move(stateFile))
{
}

std::filesystem::path FontSmoothing::stateFileIn(const std::filesystem::path& home)
{
    return home / ".quillbright" / "font_smoothing";
}

std::optional<std::string> FontSmoothing::readStateLocked() const
{
    std::ifstream in(stateFile_, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    std::string value = text.str();
    // Only a plain word goes back into the desktop's settings.
    if (value.empty() || value.size() > 32 || value.find_first_not_of("abcdefghijklmnopqrstuvwxyz-") != std::string::npos) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> FontSmoothing::savedValue() const
{
    std::lock_guard guard(lock_);
    return readStateLocked();
}

bool FontSmoothing::disable()
{
    std::lock_guard guard(lock_);
    const auto reading = settings_->antialiasing();
    if (!reading.supported) {
        fontLine(LogLevel::warn, fmt::format("[MirrorEngine] Font smoothing unsupported here (no {}: {}) — desktop left untouched",
            settings_->name(), reading.error));
        return false;
    }
    // A state file from an earlier disable holds the real previous value;
    // the current one is probably our own "none".
    if (!readStateLocked()) {
        const std::string previous = reading.value && *reading.value != OFF ? *reading.value : DESKTOP_DEFAULT;
        if (std::string error; !writeFileDurably(stateFile_, previous, 0644, &error)) {
            fontLine(LogLevel::error, fmt::format("[MirrorEngine] Failed to disable font smoothing: cannot write {}: {}",
                stateFile_.string(), error));
            return false;
        }
    }
    std::string error;
    if (!settings_->setAntialiasing(OFF, &error)) {
        fontLine(LogLevel::error, fmt::format("[MirrorEngine] Failed to disable font smoothing: {}", error));
        std::error_code ignored;
        std::filesystem::remove(stateFile_, ignored);
        return false;
    }
    fontLine(LogLevel::info, "[MirrorEngine] Font smoothing disabled");
    return true;
}

bool FontSmoothing::enable()
{
    std::lock_guard guard(lock_);
    return enableLocked();
}

bool FontSmoothing::enableLocked()
{
    const std::string value = readStateLocked().value_or(DESKTOP_DEFAULT);
    std::string error;
    if (!settings_->setAntialiasing(value, &error)) {
        // The state file stays, so the next launch tries again.
        fontLine(LogLevel::error, fmt::format("[MirrorEngine] Failed to enable font smoothing: {}", error));
        return false;
    }
    std::error_code ignored;
    std::filesystem::remove(stateFile_, ignored);
    fontLine(LogLevel::info, "[MirrorEngine] Font smoothing enabled");
    return true;
}

bool FontSmoothing::repairAfterCrash()
{
    std::lock_guard guard(lock_);
    std::error_code error;
    if (!std::filesystem::exists(stateFile_, error)) return false;
    fontLine(LogLevel::info, "[MirrorEngine] Font smoothing left off by a previous run — restoring");
    return enableLocked();
}

} // namespace qb
