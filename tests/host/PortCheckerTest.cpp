#include "host/PortChecker.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <sys/stat.h>


namespace qb {
namespace {

namespace fs = std::filesystem;

// Stand-in tools: shell scripts printing fixed output, so the parsing and the
// order of the two lookups can be checked without depending on what the
// machine happens to run.
class ScriptDir {
public:
    ScriptDir()
    {
        std::string pattern = (fs::temp_directory_path() / "portchecker-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    ~ScriptDir()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string script(const std::string& name, const std::string& body)
    {
        const auto path = dir_ / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        ::chmod(path.c_str(), 0755);
        return path.string();
    }
    fs::path path(const std::string& name) const { return dir_ / name; }

private:
    fs::path dir_;
};

TEST(PortCheckerTest, ParsesExactlyOnePid)
{
    EXPECT_EQ(PortChecker::parseSinglePid("4242\n"), 4242);
    EXPECT_EQ(PortChecker::parseSinglePid("  17 \n\n"), 17);
    EXPECT_EQ(PortChecker::parseSinglePid("+17"), 17);
    EXPECT_EQ(PortChecker::parseSinglePid(""), std::nullopt);
    EXPECT_EQ(PortChecker::parseSinglePid("\n"), std::nullopt);
    EXPECT_EQ(PortChecker::parseSinglePid("4242\n4243\n"), std::nullopt); // two listeners
    EXPECT_EQ(PortChecker::parseSinglePid("12a"), std::nullopt);
    EXPECT_EQ(PortChecker::parseSinglePid("++1"), std::nullopt);
    EXPECT_EQ(PortChecker::parseSinglePid("99999999999"), std::nullopt); // beyond 32 bits
}

TEST(PortCheckerTest, NamesTheListenerFromScriptedTools)
{
    ScriptDir dir;
    PortChecker::Tools tools;
    // lsof must be asked for exactly this port's listeners, pids only.
    tools.lsof = dir.script("lsof",
        "[ \"$1\" = -iTCP:8891 ] && [ \"$2\" = -sTCP:LISTEN ] && [ \"$3\" = -t ] && echo 321; echo oops >&2");
    tools.ps = dir.script("ps", "[ \"$1 $2 $3 $4\" = '-p 321 -o comm=' ] && echo '  nginx  '");
    EXPECT_EQ(PortChecker::processBlocking(8891, tools), "nginx (pid 321)");
    EXPECT_EQ(PortChecker::processBlocking(8890, tools), ""); // nothing listens there

    // ps printing nothing still names the pid.
    tools.ps = dir.script("ps-empty", "exit 1");
    EXPECT_EQ(PortChecker::processBlocking(8891, tools), " (pid 321)");

    // ps printing bytes that are not UTF-8.
    tools.ps = dir.script("ps-binary", "printf '\\377\\376'");
    EXPECT_EQ(PortChecker::processBlocking(8891, tools), "unknown (pid 321)");

    // Two listeners.
    tools.lsof = dir.script("lsof-two", "printf '1\\n2\\n'");
    EXPECT_EQ(PortChecker::processBlocking(8891, tools), "");

    // Tools that cannot be launched.
    tools.lsof = dir.path("missing").string();
    EXPECT_EQ(PortChecker::processBlocking(8891, tools), "");
    tools.lsof = dir.script("lsof-one", "echo 5");
    tools.ps = dir.path("missing").string();
    EXPECT_EQ(PortChecker::processBlocking(8891, tools), "");
}

TEST(PortCheckerTest, AHungToolIsCutOffAtTheLimit)
{
    ScriptDir dir;
    PortChecker::Tools tools;
    tools.lsof = dir.script("lsof", "exec sleep 30");
    tools.timeoutSeconds = 0.2;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(PortChecker::processBlocking(8888, tools), "");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

} // namespace
} // namespace qb
