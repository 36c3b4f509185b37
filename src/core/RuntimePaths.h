// Where the daemon keeps its control socket, PID file and status file.
//
// The defaults are fixed paths in /tmp; QUILLBRIGHT_RUNTIME_DIR moves all
// three into one directory (tests run daemons side by side this way, each in
// a private directory). Read on every call; any thread.
#pragma once

#include <string>

namespace qb {

struct RuntimePaths {
    std::string controlSocket = "/tmp/quillbright.sock";
    std::string pidFile = "/tmp/quillbright.pid";
    std::string statusFile = "/tmp/quillbright.status";

    // The defaults, or the three names inside $QUILLBRIGHT_RUNTIME_DIR.
    static RuntimePaths current();
    // The three names inside `directory`.
    static RuntimePaths inDirectory(const std::string& directory);
};

} // namespace qb
