#include "platform/UserFolders.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

TEST(UserFoldersTest, TheBaseFolderRulesDecideWhereEachFileIs)
{
    const test::ScopedEnv home("HOME", "/home/ada");
    const test::ScopedEnv config("XDG_CONFIG_HOME", "/srv/config");
    const test::ScopedEnv state("XDG_STATE_HOME", "/srv/state");
    const test::ScopedEnv override("QUILLBRIGHT_RUNTIME_DIR", std::nullopt);
    const test::ScopedEnv session("XDG_RUNTIME_DIR", "/run/user/1000");
    {
        const auto folders = UserFolders::current();
        EXPECT_EQ(folders.settingsFile(), "/srv/config/quillbright/settings.json");
        EXPECT_EQ(folders.crashFolder(), "/srv/state/quillbright/crashes");
        EXPECT_EQ(folders.recoveryFolder(), "/home/ada/.quillbright");
        EXPECT_EQ(folders.runtime, "/run/user/1000/quillbright");
    }
    // Relative values are ignored, as the rules say: the home's folders then.
    const test::ScopedEnv relativeConfig("XDG_CONFIG_HOME", "relative/config");
    const test::ScopedEnv unsetState("XDG_STATE_HOME", std::nullopt);
    const test::ScopedEnv relativeRuntime("XDG_RUNTIME_DIR", "run/user");
    const auto folders = UserFolders::current();
    EXPECT_EQ(folders.settingsFile(), "/home/ada/.config/quillbright/settings.json");
    EXPECT_EQ(folders.crashFolder(), "/home/ada/.local/state/quillbright/crashes");
    EXPECT_EQ(folders.runtime, "/tmp/quillbright-" + std::to_string(::getuid()));

    // Without HOME the password database names the home.
    const test::ScopedEnv noHome("HOME", std::nullopt);
    EXPECT_FALSE(UserFolders::current().home.empty());
    EXPECT_TRUE(UserFolders::current().home.is_absolute());
}

} // namespace
} // namespace qb
