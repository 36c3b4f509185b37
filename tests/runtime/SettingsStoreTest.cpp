#include "runtime/SettingsStore.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "diagnostics/PlatformLog.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

class SettingsStoreTest : public ::testing::Test {
protected:
    void writeRaw(std::string_view text)
    {
        fs::create_directories(file_.parent_path());
        test::writeFile(file_, std::string(text));
    }

    PlatformLogMute mute_; // the warnings these tests provoke
    const test::TempDir dir_{"qb-settings"};
    const fs::path file_ = dir_ / "quillbright" / "settings.json";
};

TEST_F(SettingsStoreTest, EachTypeRoundTripsAndSurvivesANewInstance)
{
    {
        SettingsStore store(file_);
        EXPECT_FALSE(store.string("resolution"));
        ASSERT_TRUE(store.setString("resolution", "portraitCozy"));
        ASSERT_TRUE(store.setDouble("gammaAmount", 1.35));
        ASSERT_TRUE(store.setInteger("launches", -9007199254740993));
        ASSERT_TRUE(store.setBool("autoDimMac", false));
        ASSERT_TRUE(store.setString("sharpenAmount", "obsolete"));
        ASSERT_TRUE(store.remove("sharpenAmount"));
        ASSERT_TRUE(store.remove("neverThere"));
    }
    SettingsStore reopened(file_);
    EXPECT_EQ(reopened.string("resolution"), "portraitCozy");
    EXPECT_EQ(reopened.doubleValue("gammaAmount"), 1.35);
    EXPECT_EQ(reopened.integer("launches"), -9007199254740993); // not rounded through a double
    EXPECT_EQ(reopened.boolean("autoDimMac"), false);
    EXPECT_EQ(reopened.keys().size(), 4u);

    // The file is plain JSON, and no temporary file is left behind.
    EXPECT_EQ(nlohmann::json::parse(test::readFile(file_))["resolution"], "portraitCozy");
    EXPECT_EQ(std::distance(fs::directory_iterator(file_.parent_path()), fs::directory_iterator()), 2); // the file and its lock
}

TEST_F(SettingsStoreTest, HandWrittenJSONIsReadSafelyAndKept)
{
    writeRaw(R"({"list": [1, 2], "nothing": null, "big": 18446744073709551615})");
    SettingsStore other(file_);
    EXPECT_FALSE(other.string("list"));
    EXPECT_FALSE(other.boolean("nothing"));
    EXPECT_EQ(other.integer("big"), std::numeric_limits<std::int64_t>::max());
    ASSERT_TRUE(other.setBool("flag", true));
    EXPECT_EQ(nlohmann::json::parse(test::readFile(file_))["list"], nlohmann::json({1, 2}));
}

TEST_F(SettingsStoreTest, RefusesWhatItCannotStoreAndLeavesTheStoreAlone)
{
    SettingsStore store(file_);
    store.setDouble("contrastAmount", 1.1);
    EXPECT_FALSE(store.setDouble("contrastAmount", std::nan("")));
    EXPECT_FALSE(store.setDouble("contrastAmount", std::numeric_limits<double>::infinity()));
    EXPECT_EQ(store.doubleValue("contrastAmount"), 1.1);

    // Invalid UTF-8 is stored with replacement characters, not thrown.
    ASSERT_TRUE(store.setString("name", "tab\xff\xfe"));
    EXPECT_EQ(SettingsStore(file_).string("name"), "tab\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(SettingsStoreTest, ConcurrentProcessesAndThreadsLoseNoWrite)
{
    constexpr int writes = 200;
    SettingsStore parent(file_);
    ASSERT_TRUE(parent.setBool("created", true)); // the directory exists before the fork
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) { // its exit status: how many of its writes failed
        SettingsStore store(file_);
        int failures = 0;
        for (int i = 0; i < writes; ++i) failures += store.setInteger("child." + std::to_string(i), i) ? 0 : 1;
        ::_exit(failures);
    }
    // Meanwhile two threads here, through two instances.
    SettingsStore sibling(file_);
    std::atomic<int> failed{0};
    std::thread helper([&] {
        for (int i = 0; i < writes / 4; ++i) failed += sibling.setInteger("sibling." + std::to_string(i), i) ? 0 : 1;
    });
    for (int i = 0; i < writes; ++i) failed += parent.setInteger("parent." + std::to_string(i), i) ? 0 : 1;
    helper.join();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    failed += WEXITSTATUS(status);

    // A write may give up on a lock held too long (a loaded machine) and say
    // so; every write that reported success is there.
    EXPECT_EQ(SettingsStore(file_).keys().size(), 1u + writes + writes + writes / 4 - failed.load());
    EXPECT_LT(failed.load(), writes) << "hardly any write got the lock";
}

// A daemon applies what another writer stored, once; its own writes are not
// news, and another writer's change found under the lock of its own write
// is kept and still reported.
TEST_F(SettingsStoreTest, AnOutsideChangeIsReportedOnceEvenWhenItRacesAnOwnWrite)
{
    SettingsStore daemon(file_);
    SettingsStore commandLine(file_);
    ASSERT_TRUE(daemon.setString("displayMode", "mirror"));
    EXPECT_FALSE(daemon.takeOutsideChange());

    ASSERT_TRUE(commandLine.setString("connectionMode", "wifi"));
    EXPECT_TRUE(daemon.takeOutsideChange());
    EXPECT_FALSE(daemon.takeOutsideChange());
    EXPECT_EQ(daemon.string("connectionMode"), "wifi");

    // The command line writes, then the daemon writes before it looked.
    ASSERT_TRUE(commandLine.setBool("autoDimMac", false));
    ASSERT_TRUE(daemon.setString("displayMode", "extended"));
    EXPECT_TRUE(daemon.takeOutsideChange());
    EXPECT_EQ(daemon.boolean("autoDimMac"), false);
    EXPECT_FALSE(daemon.takeOutsideChange());
    EXPECT_FALSE(commandLine.takeOutsideChange() && commandLine.takeOutsideChange());
}

TEST_F(SettingsStoreTest, CorruptFileIsMovedAsideNotDiscarded)
{
    const std::string garbage = "{\"resolution\": \"cozy\", truncated";
    writeRaw(garbage);
    SettingsStore store(file_);
    EXPECT_TRUE(store.keys().empty());
    EXPECT_EQ(test::readFile(file_.parent_path() / "settings.json.bad"), garbage);
    EXPECT_FALSE(fs::exists(file_));

    // The store works on, and a second bad file never overwrites the first.
    ASSERT_TRUE(store.setString("resolution", "sharp"));
    writeRaw("[1, 2, 3]"); // valid JSON, but not a settings object
    ASSERT_TRUE(store.setBool("autoDimMac", true)); // found during a write
    EXPECT_EQ(test::readFile(file_.parent_path() / "settings.json.bad-2"), "[1, 2, 3]");
    EXPECT_FALSE(store.contains("resolution"));
    EXPECT_EQ(store.boolean("autoDimMac"), true);

    // Nesting deep enough to hurt a recursive parser is refused as corrupt.
    writeRaw(std::string(100000, '[') + std::string(100000, ']'));
    EXPECT_TRUE(SettingsStore(file_).keys().empty());
    EXPECT_TRUE(fs::exists(file_.parent_path() / "settings.json.bad-3"));

    // An empty file holds nothing to lose: it is simply an empty store.
    writeRaw("");
    EXPECT_TRUE(SettingsStore(file_).keys().empty());
    EXPECT_TRUE(fs::exists(file_));
}

} // namespace
} // namespace qb
