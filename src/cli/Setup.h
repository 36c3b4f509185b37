// The command line's setup commands, apart from the daemon's control:
//
//   --version, version    "quillbright <version>"
//   doctor                what this computer still needs (Doctor.h)
//   install-service       the systemd user unit (UserService.h)
//   remove-service
//   hotkeys install|remove  the front-light keys as GNOME custom shortcuts
//                         (GNOME on Wayland has no global key grabs)
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qb::cli {

// The exit status of a setup command, or nothing when `command` is not one.
// `args` are the words after the command.
// `program`: this program as the user runs it, for the commands hints name.
std::optional<int> runSetupCommand(const std::string& command, const std::vector<std::string>& args,
    std::ostream& out, const std::string& program = "quillbright");

} // namespace qb::cli
