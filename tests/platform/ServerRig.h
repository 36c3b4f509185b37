// What the tests' private display servers share: a private directory
// (mkdtemp's, removed with the rig), the environment variables that point
// this process at the server while the rig lives (restored afterwards), and
// the server's process, ended within a deadline and dying with the test.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <list>
#include <string>

#include "support/TestSupport.h"

namespace qb::test {

// In a child the test has just forked, before it starts a server: the child
// gets `signal` when the forking thread ends (fork from the test's main
// thread), so a test that aborts leaves no server behind, and it keeps none
// of the test's descriptors but the standard three and `keep`, moved to 3 (a
// lock the suite holds must not live on in a server).
inline void tieToTest(pid_t test, int keep = -1, int signal = SIGKILL)
{
    ::prctl(PR_SET_PDEATHSIG, signal);
    if (::getppid() != test) ::_exit(127); // the test already ended
    if (keep >= 0 && keep != 3) ::dup2(keep, 3);
    ::close_range(keep >= 0 ? 4 : 3, ~0U, 0);
}

class ServerRig {
public:
    ServerRig(const ServerRig&) = delete;
    ServerRig& operator=(const ServerRig&) = delete;

    std::string skipReason; // the server is not installed: skip
    std::string failure;    // it is there but did not come up: fail
    std::filesystem::path directory;

protected:
    ServerRig() = default;
    ~ServerRig()
    {
        std::error_code ignored;
        if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
        while (!exported_.empty()) exported_.pop_back();
    }

    // A fresh `directory`, /tmp/qb-<name>-XXXXXX; false (and `failure`) when none.
    bool makeDirectory(const std::string& name)
    {
        std::string pattern = "/tmp/qb-" + name + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            failure = "no temporary directory";
            return false;
        }
        directory = pattern;
        return true;
    }

    // `name` is `value` for this process until the rig goes.
    void exportVariable(const char* name, const std::string& value) { exported_.emplace_back(name, value); }

    // Waits up to `grace` for the server, already asked to end, to exit;
    // then kills its process group.
    void reap(std::chrono::seconds grace)
    {
        if (pid_ <= 0) return;
        if (!eventually([&] { return ::waitpid(pid_, nullptr, WNOHANG) != 0; }, grace, std::chrono::milliseconds(10))) {
            ::kill(-pid_, SIGKILL);
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    pid_t pid_ = -1;

private:
    std::list<ScopedEnv> exported_;
};

} // namespace qb::test
