// `quillbright install-service` and `remove-service`: the systemd user unit
// quillbright.service, written for the program that runs the command, under
// ~/.config/systemd/user (or $XDG_CONFIG_HOME/systemd/user), and the user
// manager told about it. Every step is printed, including the ones that
// could not be done and what to run instead.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace qb::cli {

struct ServiceSetup {
    // Where user units live.
    std::filesystem::path unitDirectory;
    // The program the unit starts and stops (absolute).
    std::string binary;
    // systemctl, or empty when it is not installed.
    std::string systemctl;
    double systemctlTimeoutSeconds = 30;
    // Where a package puts its unit; a user unit would hide one found there.
    std::vector<std::filesystem::path> packagedUnitDirectories{
        "/usr/lib/systemd/user", "/lib/systemd/user", "/usr/local/lib/systemd/user"};
    // Install even over a packaged unit (`install-service --force`).
    bool force = false;

    // For this user and this program: $XDG_CONFIG_HOME or ~/.config, the
    // program's own path, systemctl from $PATH.
    static ServiceSetup fromEnvironment();
    std::filesystem::path unitPath() const { return unitDirectory / "quillbright.service"; }
};

// The unit text for `binary`, quoted and escaped as systemd reads command
// lines (a path with spaces is quoted, a '%' doubled).
std::string serviceUnitText(const std::string& binary);

// 0 when the unit is in place and the user manager reloaded (or there is
// no systemctl to ask), 1 when a step failed.
int installService(const ServiceSetup& setup, std::ostream& out);
int removeService(const ServiceSetup& setup, std::ostream& out);

} // namespace qb::cli
