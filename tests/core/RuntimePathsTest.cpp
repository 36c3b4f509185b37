#include "core/RuntimePaths.h"

#include <filesystem>
#include <fstream>

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

class RuntimePathsTest : public ::testing::Test {
protected:
    test::TempDir scratch{"qb-paths"};
    const fs::path& base = scratch.path();
};

TEST_F(RuntimePathsTest, TheOverrideWinsThenTheSessionDirectoryThenAPrivateOneInTmp)
{
    const test::ScopedEnv override("QUILLBRIGHT_RUNTIME_DIR", "/srv/qb/");
    const test::ScopedEnv session("XDG_RUNTIME_DIR", "/run/user/1000");
    EXPECT_EQ(RuntimePaths::current().controlSocket, "/srv/qb/quillbright.sock");
    {
        const test::ScopedEnv none("QUILLBRIGHT_RUNTIME_DIR", std::nullopt);
        const RuntimePaths paths = RuntimePaths::current();
        EXPECT_EQ(paths.directory, "/run/user/1000/quillbright");
        EXPECT_EQ(paths.pidFile, "/run/user/1000/quillbright/quillbright.pid");
        EXPECT_EQ(paths.statusFile, "/run/user/1000/quillbright/quillbright.status");
        const test::ScopedEnv relative("XDG_RUNTIME_DIR", "run/user"); // not absolute: ignored
        EXPECT_EQ(RuntimePaths::current().directory, fmt::format("/tmp/quillbright-{}", ::getuid()));
    }
}

TEST_F(RuntimePathsTest, TheDirectoryIsCreatedPrivateAndOnlyAPrivateOneOfOursIsAccepted)
{
    const RuntimePaths fresh = RuntimePaths::inDirectory((base / "qb").string());
    EXPECT_EQ(fresh.prepareDirectory(), std::nullopt);
    struct stat info{};
    ASSERT_EQ(::stat(fresh.directory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(fresh.prepareDirectory(), std::nullopt) << "an existing private directory is fine";

    ::chmod(fresh.directory.c_str(), 0755);
    ASSERT_TRUE(fresh.prepareDirectory());
    EXPECT_NE(fresh.prepareDirectory()->find("open to other users"), std::string::npos);

    // A link planted where the directory should be is not followed.
    const fs::path target = base / "elsewhere";
    fs::create_directory(target);
    ::chmod(target.c_str(), 0700);
    fs::create_directory_symlink(target, base / "link");
    EXPECT_TRUE(RuntimePaths::inDirectory((base / "link").string()).prepareDirectory());
    std::ofstream(base / "file") << "x";
    EXPECT_TRUE(RuntimePaths::inDirectory((base / "file").string()).prepareDirectory());
    EXPECT_TRUE(RuntimePaths::inDirectory((base / "missing" / "qb").string()).prepareDirectory());

    if (::getuid() == 0) {
        const fs::path foreign = base / "foreign";
        fs::create_directory(foreign);
        ::chmod(foreign.c_str(), 0700);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        const auto refused = RuntimePaths::inDirectory(foreign.string()).prepareDirectory();
        ASSERT_TRUE(refused);
        EXPECT_NE(refused->find("belongs to another user"), std::string::npos);
    }
}

} // namespace
} // namespace qb
