#include "cli/Setup.h"

#include "core/MirrorEngine.h"

namespace qb::cli {

std::optional<int> runSetupCommand(const std::string& command, const std::vector<std::string>&, std::ostream& out)
{
    if (command == "--version" || command == "version") {
        out << "quillbright " << MirrorEngine::appVersion << "\n";
        return 0;
    }
    return std::nullopt;
}

} // namespace qb::cli
