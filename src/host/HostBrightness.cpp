#include "host/HostBrightness.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace qb {

HostBrightness::HostBrightness(std::shared_ptr<Backlight> backlight, std::filesystem::path recoveryFile)
    : backlight_(std::move(backlight)), recoveryFile_(std::move(recoveryFile))
{
}

std::filesystem::path HostBrightness::defaultRecoveryFile()
{
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / ".quillbright" / "saved_brightness";
}

std::optional<float> HostBrightness::brightness()
{
    std::lock_guard guard(lock_);
    return backlight_->brightness();
}

bool HostBrightness::setBrightness(float value)
{
    std::lock_guard guard(lock_);
    return backlight_->setBrightness(value);
}

std::optional<float> HostBrightness::dim()
{
    std::lock_guard guard(lock_);
    if (saved_) return saved_;
    const auto level = backlight_->brightness();
    if (!level) return std::nullopt;
    saved_ = level;
    writeRecoveryFile(*level);
    backlight_->setBrightness(0);
    return saved_;
}

std::optional<float> HostBrightness::restore()
{
    std::lock_guard guard(lock_);
    if (!saved_) return std::nullopt;
    const float level = *saved_;
    backlight_->setBrightness(level);
    saved_.reset();
    std::error_code ignored;
    std::filesystem::remove(recoveryFile_, ignored);
    return level;
}

std::optional<float> HostBrightness::savedBrightness() const
{
    std::lock_guard guard(lock_);
    return saved_;
}

std::optional<float> HostBrightness::restoreAfterCrash()
{
    std::lock_guard guard(lock_);
    std::ifstream in(recoveryFile_, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    const auto level = parseLevel(text.str());
    if (!level) return std::nullopt;
    backlight_->setBrightness(*level);
    std::error_code ignored;
    std::filesystem::remove(recoveryFile_, ignored);
    return level;
}

std::string HostBrightness::formatLevel(float level)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, level);
    return std::string(buffer, result.ptr);
}

std::optional<float> HostBrightness::parseLevel(std::string_view text)
{
    float value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

bool HostBrightness::writeRecoveryFile(float level)
{
    std::error_code error;
    std::filesystem::create_directories(recoveryFile_.parent_path(), error);
    const auto temporary = recoveryFile_.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << formatLevel(level);
        out.flush();
        if (!out) return false;
    }
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    std::filesystem::rename(temporary, recoveryFile_, error);
    return !error;
}

} // namespace qb
