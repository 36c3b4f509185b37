#include "platform/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "runtime/SettingsStore.h"

namespace qb {

namespace fs = std::filesystem;

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The base folder rules count only absolute values.
fs::path absoluteOrNothing(const std::string& value) { return value.starts_with("/") ? fs::path(value) : fs::path(); }

fs::path passwordDatabaseHome()
{
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir) {
        return absoluteOrNothing(found->pw_dir);
    }
    return {};
}

} // namespace

UserFolders UserFolders::current()
{
    UserFolders folders;
    folders.home = absoluteOrNothing(environment("HOME"));
    if (folders.home.empty()) folders.home = passwordDatabaseHome();
    const auto underHome = [&](const char* variable, const char* fallback) {
        if (auto chosen = absoluteOrNothing(environment(variable)); !chosen.empty()) return chosen;
        return folders.home.empty() ? fs::path() : folders.home / fallback;
    };
    folders.config = underHome("XDG_CONFIG_HOME", ".config");
    folders.state = underHome("XDG_STATE_HOME", ".local/state");
    if (const auto chosen = environment("QUILLBRIGHT_RUNTIME_DIR"); !chosen.empty()) {
        folders.runtime = chosen;
    } else if (const auto session = absoluteOrNothing(environment("XDG_RUNTIME_DIR")); !session.empty()) {
        folders.runtime = session / "quillbright";
    } else {
        folders.runtime = "/tmp/quillbright-" + std::to_string(::getuid());
    }
    return folders;
}

fs::path UserFolders::settingsFile() const
{
    return (config.empty() ? fs::temp_directory_path() : config) / "quillbright" / "settings.json";
}

fs::path UserFolders::recoveryFolder() const { return (home.empty() ? fs::path("/tmp") : home) / ".quillbright"; }

fs::path UserFolders::crashFolder() const
{
    return (state.empty() ? fs::path("/tmp/.local/state") : state) / "quillbright" / "crashes";
}

SettingsStore& userSettings()
{
    static SettingsStore store(UserFolders::current().settingsFile()); // thread-safe initialisation
    return store;
}

} // namespace qb
