#include "cli/Setup.h"

#include "cli/Doctor.h"
#include "cli/UserService.h"
#include "core/MirrorEngine.h"

namespace qb::cli {

std::optional<int> runSetupCommand(const std::string& command, const std::vector<std::string>&, std::ostream& out)
{
    if (command == "--version" || command == "version") {
        out << "quillbright " << MirrorEngine::appVersion << "\n";
        return 0;
    }
    if (command == "doctor") return commandDoctor(DoctorSetup::fromEnvironment(), out);
    if (command == "install-service") return installService(ServiceSetup::fromEnvironment(), out);
    if (command == "remove-service") return removeService(ServiceSetup::fromEnvironment(), out);
    return std::nullopt;
}

} // namespace qb::cli
