#include "platform/linux/SysfsBacklight.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <vector>

#include <fmt/format.h>

#include "diagnostics/PlatformLog.h"

namespace qb {

namespace {

std::optional<long> readNumber(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string text;
    if (!in || !std::getline(in, text)) return std::nullopt;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

std::string readWord(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string word;
    in >> word;
    return word;
}

bool isPanelConnector(const std::filesystem::path& entry)
{
    std::error_code ignored;
    const auto device = std::filesystem::read_symlink(entry / "device", ignored).filename().string();
    for (const char* connector : {"eDP", "LVDS", "DSI"}) {
        if (device.find(connector) != std::string::npos) return true;
    }
    return false;
}

int typeRank(const std::string& type)
{
    if (type == "firmware") return 1;
    if (type == "platform") return 2;
    if (type == "raw") return 3;
    return 4;
}

} // namespace

std::optional<std::string> SysfsBacklight::panel() const
{
    std::error_code error;
    std::vector<std::tuple<int, std::string>> candidates;
    for (const auto& entry : std::filesystem::directory_iterator(root_, error)) {
        if (!readNumber(entry.path() / "max_brightness").value_or(0)) continue;
        const int rank = isPanelConnector(entry.path()) ? 0 : typeRank(readWord(entry.path() / "type"));
        candidates.emplace_back(rank, entry.path().filename().string());
    }
    if (candidates.empty()) return std::nullopt;
    std::sort(candidates.begin(), candidates.end());
    return std::get<1>(candidates.front());
}

std::string SysfsBacklight::provider() const
{
    const auto name = panel();
    return name ? "sysfs " + *name : "sysfs: no built-in panel under " + root_.string();
}

std::optional<float> SysfsBacklight::brightness()
{
    const auto name = panel();
    if (!name) return std::nullopt;
    const auto max = readNumber(root_ / *name / "max_brightness");
    const auto actual = readNumber(root_ / *name / "actual_brightness");
    if (!max || !actual || *max == 0) return std::nullopt;
    return std::clamp(float(double(*actual) / double(*max)), 0.0F, 1.0F);
}

bool SysfsBacklight::setBrightness(float value)
{
    const auto name = panel();
    if (!name) return false;
    const auto max = readNumber(root_ / *name / "max_brightness");
    if (!max) return false;
    const float fraction = std::isnan(value) ? 0.0F : std::clamp(value, 0.0F, 1.0F);
    const auto raw = static_cast<std::uint32_t>(std::lround(double(fraction) * double(*max)));
    if (logind_) {
        std::string error;
        if (logind_->setBrightness("backlight", *name, raw, &error)) return true;
        platformLog(LogLevel::warn, "HostBrightness",
            fmt::format("[HostBrightness] logind SetBrightness failed ({}), trying sysfs", error));
    }
    std::ofstream out(root_ / *name / "brightness");
    out << raw;
    out.flush();
    return bool(out);
}

} // namespace qb
