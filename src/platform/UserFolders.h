// UserFolders: the one place that says where this user's files live, read
// from the environment and the password database on each call. Any thread.
//
//   home     $HOME when absolute, else the password database's home; empty
//            when neither names one
//   config   $XDG_CONFIG_HOME when absolute, else <home>/.config
//   state    $XDG_STATE_HOME when absolute, else <home>/.local/state
//   runtime  $QUILLBRIGHT_RUNTIME_DIR when set (tests run daemons side by
//            side this way), else $XDG_RUNTIME_DIR/quillbright when that is
//            absolute, else /tmp/quillbright-<uid>
//
// config and state are empty without a home to put them in (a relative
// value would land in whatever folder a command ran in). The daemon's own
// files below say where they go then.
#pragma once

#include <filesystem>

namespace qb {

class SettingsStore;

struct UserFolders {
    std::filesystem::path home;
    std::filesystem::path config;
    std::filesystem::path state;
    std::filesystem::path runtime;

    static UserFolders current();

    // <config>/quillbright/settings.json (the temporary folder's
    // quillbright/ without a config folder).
    std::filesystem::path settingsFile() const;
    // <home>/.quillbright: what a run changed on the host and the next start
    // undoes after a crash (/tmp/.quillbright without a home).
    std::filesystem::path recoveryFolder() const;
    // <state>/quillbright/crashes (below /tmp/.local/state without a home).
    std::filesystem::path crashFolder() const;
};

// The settings store of this user, at UserFolders::current().settingsFile()
// when first used; thread-safe, lives as long as the program.
SettingsStore& userSettings();

} // namespace qb
