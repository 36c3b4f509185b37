// The settings commands while no daemon runs, against a real settings file.
#include "control/SettingsFileTarget.h"

#include <algorithm>

#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "control/ControlCommands.h"
#include "diagnostics/PlatformLog.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;

nlohmann::json stored(const fs::path& file) { return nlohmann::json::parse(test::readFile(file)); }

TEST(SettingsFileTarget, AnswersAsTheDaemonAndStoresForTheNextStart)
{
    PlatformLogMute mute;
    const test::TempDir dir("qb-settings-file");
    const fs::path file = dir / "settings.json";
    SettingsStore store(file);
    const auto ask = [&](std::string_view request) { return answerFromSettingsFile(request, store).value_or("none"); };

    EXPECT_EQ(ask("DISPLAYMODE"), "OK mirror");
    EXPECT_EQ(ask("DISPLAYMODE extended"), "OK extended (takes effect at the next start)");
    EXPECT_EQ(ask("DISPLAYMODE extended"), "OK extended (no change)");
    EXPECT_EQ(ask("CONNECTION wifi"), "OK wifi (takes effect at the next start)");
    EXPECT_EQ(ask("PROFILE balanced"), "OK balanced (takes effect at the next start)");
    EXPECT_EQ(ask("GAMMA 1.6"), "OK 1.6 (takes effect at the next start)");
    EXPECT_EQ(ask("PROFILE"), "OK custom"); // a hand-set gamma, as the daemon has it
    EXPECT_EQ(ask("RESOLUTION sharp"), "OK sharp (takes effect at the next start)");
    EXPECT_EQ(ask("CLAMSHELL enable"), "OK on (takes effect at the next start)");
    // The daemon's refusals, word for word, and nothing stored.
    EXPECT_EQ(ask("CONTRAST abc"), "ERR value must be 1.0-2.0 (1.0=off, 1.5=moderate, 2.0=high)");
    EXPECT_EQ(ask("AUTOMIRROR maybe"), "ERR use on or off");
    EXPECT_EQ(ask("RESOLUTION huge"), "ERR unknown resolution (valid: cozy, comfortable, balanced, sharp, "
                                      "portrait-cozy, portrait-comfortable, portrait-balanced, portrait-sharp, "
                                      "landscape-cozy, landscape-sharp, portrait-cozy, portrait-sharp)");
    // What needs a daemon is not answered here.
    EXPECT_EQ(ask("BRIGHTNESS 7"), "none");
    EXPECT_EQ(ask("FONTSMOOTHING off"), "none");
    EXPECT_EQ(ask("START"), "none");

    const auto json = stored(file);
    EXPECT_EQ(json["displayMode"], "extended");
    EXPECT_EQ(json["connectionMode"], "wifi");
    EXPECT_EQ(json["displayProfile"], "Custom");
    EXPECT_EQ(json["gammaAmount"], 1.6);
    EXPECT_EQ(json["contrastAmount"], 1.0);
    EXPECT_EQ(json["resolution"], "sharp");
    EXPECT_EQ(json["clamshellModeEnabled"], true);
    const auto lines = settingsLines(SettingsFileTarget(store).state());
    EXPECT_EQ(lines.front(), "resolution=sharp");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "display_mode=extended"), lines.end());
}

// Two command lines at once (each its own store, as two processes have):
// every change of both is in the file.
TEST(SettingsFileTarget, ConcurrentCommandLinesLoseNoChange)
{
    PlatformLogMute mute;
    const test::TempDir dir("qb-settings-file");
    const fs::path file = dir / "settings.json";
    const auto run = [&](std::vector<std::string> requests) {
        SettingsStore store(file);
        for (int round = 0; round < 20; ++round) {
            for (const auto& request : requests) answerFromSettingsFile(request, store);
        }
    };
    std::thread other(run, std::vector<std::string>{"DISPLAYMODE extended", "AUTODIM off", "GAMMA 1.4"});
    run({"CONNECTION wifi", "AUTOMIRROR off", "RESOLUTION portrait-sharp"});
    other.join();
    const auto json = stored(file);
    EXPECT_EQ(json["displayMode"], "extended");
    EXPECT_EQ(json["autoDimMac"], false);
    EXPECT_EQ(json["gammaAmount"], 1.4);
    EXPECT_EQ(json["connectionMode"], "wifi");
    EXPECT_EQ(json["autoMirrorEnabled"], false);
    EXPECT_EQ(json["resolution"], "portraitSharp");
}

} // namespace
} // namespace qb
