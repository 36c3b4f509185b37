#include "platform/ProcessIdentity.h"

#include <unistd.h>

#include <filesystem>
#include <string_view>

namespace qb {

std::optional<std::string> processExecutable(pid_t pid)
{
    if (pid <= 0) return std::nullopt;
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
    if (error || path.empty()) return std::nullopt;
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted)) path.resize(path.size() - deleted.size());
    return path;
}

std::string thisExecutable() { return processExecutable(::getpid()).value_or(""); }

} // namespace qb
