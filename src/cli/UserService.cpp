#include "cli/UserService.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include <unistd.h>

#include "cli/CommandLine.h"
#include "cli/ServiceUnitTemplate.h"
#include "platform/UserFolders.h"
#include "runtime/DurableFile.h"
#include "runtime/Process.h"

namespace qb::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view UNIT_NAME = "quillbright.service";
constexpr std::string_view PLACEHOLDER = "@QB_SERVICE_BINARY@";

// One word of a unit's command line, as systemd splits and expands it.
std::string commandWord(const std::string& word)
{
    std::string escaped;
    bool quote = word.empty();
    for (const char c : word) {
        if (c == '%') {
            escaped += "%%"; // a specifier otherwise
        } else if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += c;
            quote = true;
        } else {
            if (c == ' ' || c == '\t' || c == '\'' || c == ';') quote = true;
            escaped += c;
        }
    }
    return quote ? '"' + escaped + '"' : escaped;
}

std::optional<std::string> readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string findOnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream directories(path ? path : "/usr/local/bin:/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        if (directory.empty()) continue;
        const fs::path candidate = fs::path(directory) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

// Runs `systemctl --user <args>` and prints the outcome. True on success.
bool systemctl(const ServiceSetup& setup, const std::vector<std::string>& args, std::ostream& out)
{
    std::string shown = "systemctl --user";
    for (const auto& arg : args) shown += " " + arg;
    ProcessOptions options;
    options.executable = setup.systemctl;
    options.arguments = {"--user"};
    options.arguments.insert(options.arguments.end(), args.begin(), args.end());
    const ProcessResult result = runProcess(options, setup.systemctlTimeoutSeconds, "systemctl");
    if (result.exitStatus == 0) {
        out << "Ran " << shown << ".\n";
        return true;
    }
    std::string reason = result.standardError;
    if (const auto end = reason.find('\n'); end != std::string::npos) reason.resize(end);
    if (reason.empty()) reason = result.launched ? "it failed" : result.launchError;
    out << shown << " failed: " << reason << "\n";
    return false;
}

} // namespace

ServiceSetup ServiceSetup::fromEnvironment()
{
    ServiceSetup setup;
    // Without a config folder there is no user directory to write to.
    if (const auto config = UserFolders::current().config; !config.empty()) {
        setup.unitDirectory = config / "systemd" / "user";
    }
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    setup.binary = error ? "quillbright" : self.string();
    setup.systemctl = findOnPath("systemctl");
    return setup;
}

std::string serviceUnitText(const std::string& binary)
{
    std::string text(SERVICE_UNIT_TEMPLATE);
    const std::string word = commandWord(binary);
    for (auto at = text.find(PLACEHOLDER); at != std::string::npos; at = text.find(PLACEHOLDER, at + word.size())) {
        text.replace(at, PLACEHOLDER.size(), word);
    }
    return text;
}

int installService(const ServiceSetup& setup, std::ostream& out)
{
    if (setup.unitDirectory.empty()) {
        out << "ERROR: neither XDG_CONFIG_HOME nor HOME names a directory for user units.\n";
        return 1;
    }
    const fs::path unit = setup.unitPath();
    std::error_code ignored;
    for (const auto& directory : setup.packagedUnitDirectories) {
        const fs::path packaged = directory / "quillbright.service";
        if (setup.force || !fs::exists(packaged, ignored)) continue;
        out << "ERROR: " << packaged.string() << " is installed by a package; a unit in " << unit.parent_path().string()
            << " would hide it.\n"
            << "Use it as it is: systemctl --user enable --now quillbright\n"
            << "(`quillbright install-service --force` writes the user's unit all the same.)\n";
        return 1;
    }
    const std::string text = serviceUnitText(setup.binary);
    const auto existing = readText(unit);
    if (existing == text) {
        out << "Already installed: " << unit.string() << " (unchanged).\n";
    } else {
        if (std::string error; !writeFileDurably(unit, text, 0644, &error)) {
            out << "ERROR: could not write " << unit.string() << ": " << error << "\n";
            return 1;
        }
        out << (existing ? "Replaced " : "Wrote ") << unit.string() << " (runs " << setup.binary << ").\n";
    }
    bool reloaded = true;
    if (setup.systemctl.empty()) {
        out << "systemctl not found: run `systemctl --user daemon-reload` where systemd manages your session.\n";
    } else {
        reloaded = systemctl(setup, {"daemon-reload"}, out);
    }
    if (!reloaded) {
        out << "The user manager does not know the unit yet: once `systemctl --user daemon-reload` works, "
               "`systemctl --user enable --now quillbright` starts it.\n";
        return 1;
    }
    out << "Start it now and at every login: systemctl --user enable --now quillbright\n"
        << "Its log: journalctl --user -u quillbright\n";
    return 0;
}

int removeService(const ServiceSetup& setup, std::ostream& out)
{
    if (setup.unitDirectory.empty()) {
        out << "ERROR: neither XDG_CONFIG_HOME nor HOME names a directory for user units.\n";
        return 1;
    }
    const fs::path unit = setup.unitPath();
    std::error_code error;
    if (!fs::exists(fs::symlink_status(unit, error))) {
        out << "Not installed: " << unit.string() << " does not exist.\n";
        return 0;
    }
    bool ok = true;
    if (!setup.systemctl.empty()) {
        // Stopped and disabled while systemd still knows the unit, so no
        // enablement link is left pointing at nothing.
        ok = systemctl(setup, {"disable", "--now", std::string(UNIT_NAME)}, out);
    }
    // Links a manager-less setup (or a failed disable) leaves behind.
    for (const auto& entry : fs::directory_iterator(setup.unitDirectory, error)) {
        const fs::path link = entry.path() / UNIT_NAME;
        if (entry.is_directory() && entry.path().extension() == ".wants" && fs::is_symlink(link)) {
            fs::remove(link, error);
            out << "Removed " << link.string() << ".\n";
        }
    }
    if (!fs::remove(unit, error)) {
        out << "ERROR: could not remove " << unit.string() << ": " << error.message() << "\n";
        return 1;
    }
    out << "Removed " << unit.string() << ".\n";
    if (setup.systemctl.empty()) {
        out << "systemctl not found: run `systemctl --user daemon-reload` where systemd manages your session.\n";
    } else {
        ok = systemctl(setup, {"daemon-reload"}, out) && ok;
    }
    return ok ? 0 : 1;
}

} // namespace qb::cli
