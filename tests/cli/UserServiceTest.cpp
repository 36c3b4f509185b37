#include "cli/UserService.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace qb::cli {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// A private config directory and a systemctl that logs its arguments (and
// fails `daemon-reload` when told to).
class ServiceDir : public ::testing::Test {
protected:
    ServiceDir()
    {
        setup.unitDirectory = dir / "config" / "systemd" / "user";
        setup.binary = "/opt/quill bright/bin/quillbright";
        setup.packagedUnitDirectories = {dir / "package"};
        setup.systemctl = dir.script("systemctl", "echo \"$@\" >> " + (dir / "systemctl.log").string() + "\n[ -e "
                + (dir / "fail").string() + " ] && { echo 'Failed to connect to bus: No medium found' >&2; exit 1; }\nexit 0");
    }
    std::string systemctlLog() const { return test::readFile(dir / "systemctl.log"); }

    test::TempDir dir{"qb-service"};
    ServiceSetup setup;
};

TEST(ServiceUnit, NamesTheProgramAsSystemdReadsCommandLines)
{
    const std::string plain = serviceUnitText("/usr/bin/quillbright");
    EXPECT_THAT(plain, HasSubstr("\nType=notify\n"));
    EXPECT_THAT(plain, HasSubstr("\nExecStart=/usr/bin/quillbright start\nExecStop=/usr/bin/quillbright stop\n"));
    EXPECT_THAT(plain, HasSubstr("\n[Install]\n"));
    // A space would split the path into two words, a '%' start a specifier.
    EXPECT_THAT(serviceUnitText("/home/a b/100%/quillbright"),
        HasSubstr("\nExecStart=\"/home/a b/100%%/quillbright\" start\nExecStop=\"/home/a b/100%%/quillbright\" stop\n"));
    EXPECT_THAT(serviceUnitText("/tmp/x\"y/quillbright"), HasSubstr("ExecStart=\"/tmp/x\\\"y/quillbright\" start"));
}

TEST_F(ServiceDir, InstallWritesTheUnitAndReloadsRemoveUndoesIt)
{
    std::ostringstream out;
    EXPECT_EQ(installService(setup, out), 0);
    EXPECT_EQ(test::readFile(setup.unitPath()), serviceUnitText(setup.binary));
    EXPECT_THAT(out.str(), HasSubstr("Wrote " + setup.unitPath().string() + " (runs " + setup.binary + ").\n"));
    EXPECT_THAT(out.str(), HasSubstr("Ran systemctl --user daemon-reload.\n"));
    EXPECT_THAT(out.str(), HasSubstr("systemctl --user enable --now quillbright"));
    EXPECT_EQ(systemctlLog(), "--user daemon-reload\n");

    // A packaged unit is not hidden unless asked.
    fs::create_directories(dir / "package");
    std::ofstream(dir / "package" / "quillbright.service") << "[Unit]\n";
    std::ostringstream shadowing;
    EXPECT_EQ(installService(setup, shadowing), 1);
    EXPECT_THAT(shadowing.str(), HasSubstr("is installed by a package"));
    setup.force = true;

    std::ostringstream again;
    EXPECT_EQ(installService(setup, again), 0);
    EXPECT_THAT(again.str(), HasSubstr("Already installed: " + setup.unitPath().string() + " (unchanged).\n"));

    // Another program's unit is replaced.
    setup.binary = "/usr/bin/quillbright";
    std::ostringstream replaced;
    EXPECT_EQ(installService(setup, replaced), 0);
    EXPECT_THAT(replaced.str(), HasSubstr("Replaced " + setup.unitPath().string()));
    EXPECT_THAT(test::readFile(setup.unitPath()), HasSubstr("ExecStart=/usr/bin/quillbright start"));

    // Enabled, then removed: disabled first, no link left behind.
    const fs::path wants = setup.unitDirectory / "graphical-session.target.wants";
    fs::create_directories(wants);
    fs::create_symlink(setup.unitPath(), wants / "quillbright.service");
    std::ostringstream removed;
    EXPECT_EQ(removeService(setup, removed), 0);
    EXPECT_FALSE(fs::exists(setup.unitPath()));
    EXPECT_FALSE(fs::is_symlink(wants / "quillbright.service"));
    EXPECT_THAT(removed.str(), HasSubstr("Ran systemctl --user disable --now quillbright.service.\n"));
    EXPECT_THAT(removed.str(), HasSubstr("Removed " + setup.unitPath().string() + ".\n"));
    EXPECT_THAT(systemctlLog(), HasSubstr("--user disable --now quillbright.service\n--user daemon-reload\n"));

    std::ostringstream nothing;
    EXPECT_EQ(removeService(setup, nothing), 0);
    EXPECT_THAT(nothing.str(), HasSubstr("Not installed"));
}

TEST_F(ServiceDir, WithoutAUserManagerTheUnitIsWrittenAndTheFailureSaid)
{
    std::ofstream(dir / "fail") << "";
    std::ostringstream out;
    EXPECT_EQ(installService(setup, out), 1);
    EXPECT_TRUE(fs::exists(setup.unitPath()));
    EXPECT_THAT(out.str(), HasSubstr("systemctl --user daemon-reload failed: Failed to connect to bus: No medium found\n"));
    EXPECT_THAT(out.str(), Not(HasSubstr("Start it now")));

    // No systemctl at all: the unit still comes and goes, with the command to run later.
    setup.systemctl.clear();
    std::ostringstream removed;
    EXPECT_EQ(removeService(setup, removed), 0);
    EXPECT_FALSE(fs::exists(setup.unitPath()));
    EXPECT_THAT(removed.str(), HasSubstr("systemctl not found: run `systemctl --user daemon-reload`"));

    // No home to install into is an error, not a unit in the working directory.
    ServiceSetup homeless = setup;
    homeless.unitDirectory.clear();
    std::ostringstream nowhere;
    EXPECT_EQ(installService(homeless, nowhere), 1);
    EXPECT_THAT(nowhere.str(), HasSubstr("neither XDG_CONFIG_HOME nor HOME"));

    // A unit directory that cannot be made is an error, not a success.
    std::ofstream(dir / "config" / "file") << "";
    setup.unitDirectory = dir / "config" / "file" / "user";
    std::ostringstream blocked;
    EXPECT_EQ(installService(setup, blocked), 1);
    EXPECT_THAT(blocked.str(), HasSubstr("ERROR: could not write"));
}

} // namespace
} // namespace qb::cli
