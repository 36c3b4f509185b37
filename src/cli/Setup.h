// The command line's setup commands, apart from the daemon's control:
//
//   --version, version    "quillbright <version>"
//   doctor                what this computer still needs (Doctor.h)
//   install-service       the systemd user unit (UserService.h)
//   remove-service
//   hotkeys install|remove  the front-light keys as GNOME custom shortcuts
//                         (GNOME on Wayland has no global key grabs)
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qb::cli {

// Each returns the exit status; `args` are the words after the command.
int commandVersion(std::ostream& out);
// `program`: this program as the user runs it, for the commands hints name.
int commandDoctor(const std::string& program, std::ostream& out);
int commandInstallService(const std::vector<std::string>& args, std::ostream& out);
int commandRemoveService(std::ostream& out);
int commandHotkeys(const std::vector<std::string>& args, std::ostream& out);

} // namespace qb::cli
