#include "platform/ProgramPath.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace qb {

std::string invocationName(std::string_view argv0)
{
    constexpr std::string_view NAME = "quillbright";
    const std::string typed(argv0);
    // Found through $PATH by the shell, as typed.
    if (typed.find('/') == std::string::npos) return typed.empty() ? std::string(NAME) : typed;
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "");
    std::error_code error;
    for (std::string directory; std::getline(directories, directory, ':');) {
        if (directory.empty()) continue;
        const auto candidate = std::filesystem::path(directory) / NAME;
        if (std::filesystem::equivalent(candidate, "/proc/self/exe", error)) return std::string(NAME);
        // The first one $PATH finds is what the name runs.
        if (std::filesystem::exists(candidate, error)) break;
    }
    return typed;
}

} // namespace qb
