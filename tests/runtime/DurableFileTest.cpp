#include "runtime/DurableFile.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

std::size_t entriesIn(const fs::path& folder)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

mode_t modeOf(const fs::path& path)
{
    struct stat info{};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

TEST(DurableFileTest, ReplacesTheWholeFileWithItsModeOrLeavesTheOldOne)
{
    const test::TempDir dir{"qb-durable"};
    const fs::path file = dir / "new" / "folder" / "record";

    // Missing folders are made; the content and the mode are exactly the ones given.
    std::string error;
    ASSERT_TRUE(writeFileDurably(file, "first\n", 0600, &error)) << error;
    EXPECT_EQ(test::readFile(file), "first\n");
    EXPECT_EQ(modeOf(file), 0600u);
    ASSERT_TRUE(writeFileDurably(file, "second", 0644));
    EXPECT_EQ(test::readFile(file), "second");
    EXPECT_EQ(modeOf(file), 0644u);
    EXPECT_EQ(entriesIn(file.parent_path()), 1u); // no temporary file left

    // A disk that fills up halfway through the write (a file size limit
    // stands in for it): the old file stays whole, the half-written
    // temporary goes.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string reason;
        const bool written = writeFileDurably(file, std::string(64 * 1024, 'x'), 0644, &reason);
        ::_exit(written ? 1 : reason.find("cannot write") != std::string::npos ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(test::readFile(file), "second");
    EXPECT_EQ(entriesIn(file.parent_path()), 1u);

    // Something that cannot be replaced (a folder in the way): an error, and
    // nothing left behind.
    const fs::path blocked = dir / "blocked";
    fs::create_directories(blocked / "inside");
    EXPECT_FALSE(writeFileDurably(blocked, "text", 0644, &error));
    EXPECT_NE(error.find("cannot rename"), std::string::npos) << error;
    EXPECT_EQ(entriesIn(dir.path()), 2u); // "new" and "blocked"

    // A folder the process may not write to (root may write anywhere).
    if (::geteuid() != 0) {
        const fs::path locked = dir / "locked";
        ASSERT_TRUE(writeFileDurably(locked / "record", "kept", 0644));
        fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_FALSE(writeFileDurably(locked / "record", "lost", 0644));
        fs::permissions(locked, fs::perms::owner_all);
        EXPECT_EQ(test::readFile(locked / "record"), "kept");
        EXPECT_EQ(entriesIn(locked), 1u);
    }
}

} // namespace
} // namespace qb
