#include "platform/linux/GSettingsFontSettings.h"

#include "runtime/Process.h"

namespace qb {

namespace {

std::string trimmed(std::string text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// gsettings prints strings in GVariant text form: 'grayscale'.
std::optional<std::string> unquoted(const std::string& text)
{
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') return text.substr(1, text.size() - 2);
    return std::nullopt;
}

} // namespace

FontSettings::Reading GSettingsFontSettings::antialiasing()
{
    ProcessOptions options;
    options.executable = options_.gsettings;
    options.arguments = {"get", options_.schema, options_.key};
    const auto result = runProcess(options, options_.timeoutSeconds, "gsettings get " + name());
    Reading reading;
    if (!result.launched) {
        reading.error = options_.gsettings + ": " + result.launchError;
        return reading;
    }
    const std::string error = trimmed(result.standardError);
    if (result.exitStatus != 0) {
        // "No such schema" / "No such key": this desktop has no such setting.
        reading.supported = error.find("No such") == std::string::npos && result.exitStatus.has_value();
        reading.error = error.empty() ? "exit " + std::to_string(result.exitStatus.value_or(-1)) : error;
        return reading;
    }
    reading.supported = true;
    reading.value = unquoted(trimmed(result.standardOutput));
    if (!reading.value) reading.error = "unexpected output: " + trimmed(result.standardOutput);
    return reading;
}

bool GSettingsFontSettings::setAntialiasing(const std::string& value, std::string* error)
{
    ProcessOptions options;
    options.executable = options_.gsettings;
    options.arguments = {"set", options_.schema, options_.key, value};
    const auto result = runProcess(options, options_.timeoutSeconds, "gsettings set " + name());
    if (!result.launched) {
        if (error) *error = options_.gsettings + ": " + result.launchError;
        return false;
    }
    if (result.exitStatus != 0) {
        if (error) {
            const std::string text = trimmed(result.standardError);
            *error = text.empty() ? "exit " + std::to_string(result.exitStatus.value_or(-1)) : text;
        }
        return false;
    }
    return true;
}

} // namespace qb
