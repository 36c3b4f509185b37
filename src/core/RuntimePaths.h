// Where the daemon keeps its control socket, PID file and status file: one
// private directory per user, UserFolders' runtime folder:
//
//   $QUILLBRIGHT_RUNTIME_DIR            when set (tests run daemons side by
//                                       side this way, each in its own one)
//   $XDG_RUNTIME_DIR/quillbright/       in a login session
//   /tmp/quillbright-<uid>/             otherwise
//
// The daemon creates the directory with mode 0700 (prepareDirectory) and
// refuses one that is not a real directory, belongs to another user or can
// be entered by others: a shared /tmp must not let anyone else plant the
// socket or PID file the command line trusts. The command line only reads
// the same paths. current() reads the environment on every call; any thread.
#pragma once

#include <optional>
#include <string>

namespace qb {

struct RuntimePaths {
    std::string directory;
    std::string controlSocket;
    std::string pidFile;
    std::string statusFile;

    // The directory chosen from the environment as above.
    static RuntimePaths current();
    // The three names inside `directory`.
    static RuntimePaths inDirectory(const std::string& directory);

    // Creates `directory` (0700) when missing. Nothing when it is ready to
    // use; otherwise why it is refused.
    std::optional<std::string> prepareDirectory() const;
};

} // namespace qb
