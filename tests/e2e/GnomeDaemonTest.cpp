// The real daemon on a private headless Mutter: a fake DC-1 mirrors the
// primary and the reference client decodes exactly what a Wayland client
// draws there (scaled and converted to grey), a touch reaches that client,
// and a daemon killed with -9 leaves no monitor behind (Mutter drops its
// sessions with its bus connection).
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <optional>
#include <thread>

#include <boost/asio.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "companion/CompanionClient.h"
#include "e2e/DaemonHarness.h"
#include "fake-adb/FakeAdbState.h"
#include "platform/MutterServer.h"
#include "runtime/Process.h"

#ifndef QB_WAYLAND_PAINTER
#define QB_WAYLAND_PAINTER "" // built only with SDL2
#endif

namespace qb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test::waitFor;

class GnomeDaemonTest : public test::DaemonHarness {
protected:
    // `monitors`: those of the user's desk.
    explicit GnomeDaemonTest(const std::vector<std::string>& monitors = {"1280x800"})
        : DaemonHarness("gnome", "0.05"), server(monitors)
    {
        adb.setDevices({test::device("DC1-0001", "DC_1", "1200x1600")});
    }
    void SetUp() override
    {
        if (!server.skipReason.empty()) GTEST_SKIP() << "no compositor for the wayland end-to-end test: " << server.skipReason;
        ASSERT_TRUE(server.running()) << server.failure;
    }

    test::MutterServer server;
};

TEST_F(GnomeDaemonTest, MirrorsThePrimaryExactlyTouchesReachAClientAndAKilledDaemonLeavesNoMonitor)
{
    if (std::string_view(QB_WAYLAND_PAINTER).empty()) GTEST_SKIP() << "the test client needs SDL2";
    using Sizes = std::multiset<std::string>;

    // A client's picture over the whole 1280x800 primary.
    ProcessOptions options;
    options.executable = QB_WAYLAND_PAINTER;
    options.arguments = {"1280", "800"};
    options.killedWithLaunchingThread = true;
    auto painter = Process::launch(options);
    ASSERT_TRUE(painter);
    auto said = [&](const std::string& line) { return painter->standardOutput().find(line + "\n") != std::string::npos; };
    ASSERT_TRUE(waitFor([&] { return said("ready"); }, 10s)) << painter->standardError();

    ASSERT_TRUE(launchedListening()) << output();
    EXPECT_NE(output().find("[Platform] Using GNOME on Wayland"), std::string::npos) << output();
    EXPECT_NE(output().find("[VirtualDisplay] Mirroring: built-in display"), std::string::npos);

    companion::CompanionClient client;
    const auto greeting = test::greeted(client);
    ASSERT_TRUE(greeting) << client.violation();
    ASSERT_EQ(std::tuple(greeting->width, greeting->height), std::tuple(1600, 1200));

    // A tap at three quarters across, half-way down the tablet reaches the
    // client at that point of the primary (and the pointer, over the
    // client, shows no image there).
    // The touch port opens just after the frame port.
    ASSERT_TRUE(outputHas("[InputServer] Listening on port 8892")) << output();
    ASSERT_TRUE(test::tap(0.75F, 0.5F));
    EXPECT_TRUE(waitFor([&] { return said("motion 960 400"); }, 10s)) << painter->standardOutput();

    // The primary letterboxed onto 1600x1200 (area filter), through the
    // greyscale conversion and the default ("Crisp Paper") tone curve.
    const auto expected = test::asTabletShows(test::painterPattern(1280, 800), 1280, 800, 1600, 1200);
    EXPECT_TRUE(test::awaitPicture(client, expected)) << client.violation() << output();
    client.close();
    terminate();

    // With a phone after the DC-1, both get monitors of their own (the
    // phone's extended session ends the mirroring); killed outright, the
    // daemon leaves none.
    adb.setDevices({adb.read()["devices"][0], test::device("PHONE-1", "Pixel_8", "1080x2400")});
    launch();
    ASSERT_TRUE(outputHas("Listening on tcp://localhost:8889", 30s)) << output();
    EXPECT_TRUE(waitFor([&] { return server.monitorSizes().contains("1080x2400"); }, 5s)) << output();
    terminate(SIGKILL);
    EXPECT_TRUE(waitFor([&] { return server.monitorSizes() == Sizes{"1280x800"}; }, 5s));
    painter->terminate();
    painter->waitUntilExit(5000ms);
}

// Our PipeWire consumers: video streams that take a picture in.
int pipewireVideoInputs()
{
    const auto dump = nlohmann::json::parse(test::commandOutput("pw-dump 2>/dev/null"), nullptr, false);
    int count = 0;
    for (const auto& object : dump.is_array() ? dump : nlohmann::json::array()) {
        const auto props = object.value("info", nlohmann::json::object()).value("props", nlohmann::json::object());
        if (props.value("media.class", "") == "Stream/Input/Video") ++count;
    }
    return count;
}

// Mutter crashes and comes back while a DC-1 is mirrored: the sessions are
// torn down at once (no tunnel, no PipeWire stream of ours left), built again
// on the new Mutter, and the tablet gets its picture again; a stop then
// leaves only the primary.
TEST_F(GnomeDaemonTest, ACompositorRestartEndsTheSessionsAndTheyAreBuiltAgainOnItsReturn)
{
    // A tablet that connects (once the frame server listens) and gets a picture.
    const auto mirrored = [&] {
        std::unique_ptr<companion::CompanionClient> client;
        const bool connected = waitFor([&] {
            client = std::make_unique<companion::CompanionClient>();
            return client->connect("127.0.0.1", 8888, 1000ms);
        }, 30s);
        if (!connected || !client->readGreeting(10000ms) || !client->readFrame(10000ms)) client.reset();
        return client;
    };

    launch();
    auto before = mirrored();
    ASSERT_TRUE(before) << output();
    EXPECT_EQ(pipewireVideoInputs(), 1);
    EXPECT_TRUE(waitFor([&] { return tunnels() == 2; }, 10s));

    server.killMutter();
    ASSERT_TRUE(outputHas("GNOME's compositor (Mutter) left the session bus", 10s)) << output();
    EXPECT_TRUE(waitFor([&] { return tunnels() == 0 && pipewireVideoInputs() == 0; }, 10s)) << output();
    EXPECT_TRUE(waitFor([&] { return !before->readFrame(500ms) && before->closed(); }, 10s)); // what was sent, then the end

    ASSERT_TRUE(server.resumeMutter()) << server.log("compositor.log");
    ASSERT_TRUE(outputHas("mirroring starts again", 10s)) << output();
    auto after = mirrored();
    ASSERT_TRUE(after) << output();
    EXPECT_EQ(pipewireVideoInputs(), 1);
    EXPECT_TRUE(waitFor([&] { return tunnels() == 2; }, 10s));

    terminate();
    EXPECT_EQ(tunnels(), 0u);
    EXPECT_EQ(pipewireVideoInputs(), 0);
    EXPECT_TRUE(waitFor([&] { return server.monitorSizes() == std::multiset<std::string>{"1280x800"}; }, 5s));
}

// The user rearranges GNOME's displays while the tablet extends the desktop,
// as the display settings do (ApplyMonitorsConfig): moved, the tablet's
// monitor keeps streaming what a client shows there and a touch lands on
// that client where it was aimed; turned off, its session restarts and
// lights one again; and the stop leaves the user's layout without ours.
TEST_F(GnomeDaemonTest, TheUsersLayoutChangesAreFollowedAndTheStopKeepsThem)
{
    if (std::string_view(QB_WAYLAND_PAINTER).empty()) GTEST_SKIP() << "the test client needs SDL2";
    writeSettings({{"setupCompleted", true}, {"displayMode", "extended"}});
    const auto lit = [&](const std::string& prefix) {
        for (const auto& [connector, where] : server.layout()) {
            if (where.starts_with(prefix)) return connector;
        }
        return std::string();
    };
    launch();
    std::string ours;
    ASSERT_TRUE(waitFor([&] { return !(ours = lit("1600x1200+")).empty(); }, 30s)) << output();
    const std::string laptop = lit("1280x800+");
    ASSERT_TRUE(statusRunning()) << output();

    // Ours left of the laptop's, which moves right and down.
    ASSERT_EQ(server.applyLayout({{ours, 0, 0, false}, {laptop, 1600, 200, true}}), "");
    ASSERT_TRUE(waitFor([&] { return server.layout()[ours] == "1600x1200+0+0"; }, 10s));
    ProcessOptions options;
    options.executable = QB_WAYLAND_PAINTER;
    options.arguments = {"1600", "1200"};
    options.killedWithLaunchingThread = true;
    auto painter = Process::launch(options);
    ASSERT_TRUE(painter);
    auto said = [&](const std::string& line) { return painter->standardOutput().find(line + "\n") != std::string::npos; };
    ASSERT_TRUE(waitFor([&] { return said("ready"); }, 10s)) << painter->standardError();
    const auto expected = test::asTabletShows(test::painterPattern(1600, 1200), 1600, 1200, 1600, 1200);
    companion::CompanionClient client;
    ASSERT_TRUE(test::greeted(client)) << client.violation();
    EXPECT_TRUE(test::awaitPicture(client, expected)) << client.violation() << output();
    ASSERT_TRUE(test::tap(0.25F, 0.5F));
    EXPECT_TRUE(waitFor([&] { return said("motion 400 600"); }, 10s)) << painter->standardOutput();
    client.close();
    painter->terminate();
    painter->waitUntilExit(5000ms);

    // The user's last layout has the tablet's monitor as the primary; at
    // the stop ours goes and the laptop's stays, as Mutter then arranges it.
    ASSERT_EQ(server.applyLayout({{ours, 0, 0, true}, {laptop, 1600, 0, false}}), "");
    ASSERT_TRUE(waitFor([&] { return server.layout()[ours] == "1600x1200+0+0 primary"; }, 10s));
    terminate();
    using Layout = std::map<std::string, std::string>;
    EXPECT_TRUE(waitFor([&] { return server.layout() == Layout{{laptop, "1280x800+0+0 primary"}}; }, 10s))
        << server.layout().size() << " lit, the laptop's " << server.layout()[laptop];

    // Turned off, the tablet's monitor sends nothing more: the session is
    // built again. (Mutter 43 itself may crash on that configuration; its
    // return then rebuilds the session.)
    launch();
    ASSERT_TRUE(waitFor([&] { return !(ours = lit("1600x1200+")).empty(); }, 30s)) << output();
    ASSERT_TRUE(statusRunning()) << output();
    server.restartAfterCrash();
    server.applyLayout({{laptop, 0, 0, true}});
    EXPECT_TRUE(outputHas("left the desktop (the layout changed): restarting", 10s)
        || outputHas("compositor (Mutter) left the session bus", 1s)) << output();
    ASSERT_TRUE(waitFor([&] { return !lit("1600x1200+").empty(); }, 30s)) << output();
    ASSERT_TRUE(statusRunning()) << output();
    terminate();
    EXPECT_TRUE(waitFor([&] { return server.layout() == Layout{{laptop, "1280x800+0+0 primary"}}; }, 10s));
}

// Killed with -9 while it starts or streams on GNOME, the daemon leaves its
// tunnels on the tablet (its virtual monitor goes with its bus connection);
// the next start removes them before it makes its own, and its stop leaves
// only the primary and no tunnel. The last row's next start is refused (a
// port held by another program) and still removes them.
TEST_F(GnomeDaemonTest, AKillAtAnyStageOfAStartIsUndoneByTheNextStart)
{
    struct Stage {
        const char* name;
        std::vector<std::string> heldAt; // the adb command the start hangs in; none: streaming
        bool nextStartRefused;           // another program holds a port the next start needs
    };
    const Stage stages[] = {
        {"monitor made, no tunnel yet", {"reverse", "tcp:8888"}, false},
        {"stream tunnel made", {"reverse", "tcp:8892"}, false},
        {"streaming", {}, true},
    };
    const std::multiset<std::string> primaryOnly{"1280x800"};
    const auto logged = [&](const std::vector<std::string>& words) {
        for (const auto& call : adb.log()) {
            if (std::search(call.begin(), call.end(), words.begin(), words.end()) != call.end()) return true;
        }
        return false;
    };
    writeSettings({{"setupCompleted", true}, {"displayMode", "extended"}});
    for (const Stage& stage : stages) {
        SCOPED_TRACE(stage.name);
        adb.clearLog();
        std::string held;
        for (const auto& word : stage.heldAt) held += (held.empty() ? "" : " ") + word;
        if (!held.empty()) adb.fail(held, {{"mode", "hang"}});
        launch();
        if (!held.empty()) {
            ASSERT_TRUE(waitFor([&] { return logged(stage.heldAt); }, 30s)) << output();
        } else {
            // A still virtual monitor sends no picture: the status says the session runs.
            ASSERT_TRUE(statusRunning()) << output();
            ASSERT_TRUE(waitFor([&] { return tunnels() == 2; }, 10s)) << output();
        }
        EXPECT_TRUE(server.monitorSizes().contains("1600x1200")) << output();
        terminate(SIGKILL);
        // The tablet's hung adb call is the simulated tablet's, not a leftover
        // of ours (the compositor's rig carries the fake adb's marker too).
        for (const pid_t process : adb.processes()) {
            std::error_code error;
            if (fs::read_symlink(fs::path("/proc") / std::to_string(process) / "exe", error) == QB_FAKE_ADB) {
                ::kill(process, SIGKILL);
            }
        }
        adb.clearFailures();
        if (&stage != &stages[0]) {
            EXPECT_GT(tunnels(), 0u) << "the kill left no tunnel to undo";
        }
        EXPECT_TRUE(waitFor([&] { return server.monitorSizes() == primaryOnly; }, 10s));

        // Refused, the next start makes no tunnel of its own, and still
        // removes the ones left.
        boost::asio::io_context io;
        const auto stranger = test::portHeld(io, 8891, stage.nextStartRefused);
        launch();
        if (stranger) {
            EXPECT_EQ(terminate(0), 1) << output();
        } else {
            ASSERT_TRUE(statusRunning()) << output();
            terminate();
        }
        EXPECT_EQ(tunnels(), 0u) << adb.read().dump();
        EXPECT_TRUE(waitFor([&] { return server.monitorSizes() == primaryOnly; }, 10s));
    }
}

// Two monitors on the user's desk and the tablet mirroring the primary: made
// the primary in the display settings, the other monitor is what the tablet
// shows from then on (its session is built again on it).
class GnomeTwoMonitorTest : public GnomeDaemonTest {
protected:
    GnomeTwoMonitorTest() : GnomeDaemonTest({"1280x800", "1024x768"}) {}
};

TEST_F(GnomeTwoMonitorTest, MirroringFollowsTheUserToANewPrimary)
{
    std::string primary, other;
    for (const auto& [connector, where] : server.layout()) (where.ends_with(" primary") ? primary : other) = connector;
    ASSERT_FALSE(primary.empty() || other.empty()) << testing::PrintToString(server.layout());
    ASSERT_EQ(server.layout()[other].substr(0, 8), "1024x768");
    // Whether a tablet that connects anew (until one does, or 30 s) sees the
    // 16:10 primary's bars above and below its 4:3 picture, or a 4:3
    // monitor filling it: its first row black or not (the desktop's
    // background is not black, as its middle row shows).
    const auto tabletShowsBars = [&](bool bars) {
        return waitFor([&] {
            companion::CompanionClient client;
            if (!client.connect("127.0.0.1", 8888, 1000ms) || !client.readGreeting(5000ms)) return false;
            for (int frames = 0; frames < 5 && client.readFrame(2000ms);) ++frames;
            const auto& picture = client.decoder().frame();
            if (picture.size() != 1600 * 1200) return false;
            const auto rowSum = [&](int y) { return std::accumulate(&picture[y * 1600], &picture[y * 1600 + 1600], 0); };
            return rowSum(600) > 0 && (rowSum(0) == 0) == bars;
        }, 30s);
    };

    launch();
    ASSERT_TRUE(tabletShowsBars(true)) << output();
    ASSERT_EQ(server.applyLayout({{primary, 0, 0, false}, {other, 1280, 0, true}}), "");
    EXPECT_TRUE(tabletShowsBars(false)) << output();

    terminate();
    const auto users = server.layout();
    EXPECT_EQ(users.at(other), "1024x768+1280+0 primary");

    // Extending the desktop in cozy, the tablet's monitor (scale 2: 800x600
    // in the layout) comes next to the user's monitors and moves none; its
    // stop leaves them as they were.
    writeSettings({{"setupCompleted", true}, {"displayMode", "extended"}});
    launch();
    EXPECT_TRUE(waitFor([&] { return server.layoutSizes().contains("800x600"); }, 30s)) << output();
    auto extended = server.layout();
    ASSERT_EQ(extended.size(), 3u) << testing::PrintToString(extended);
    extended.erase(std::ranges::find_if(extended, [&](const auto& m) { return !users.contains(m.first); }));
    EXPECT_EQ(extended, users);
    terminate();
    EXPECT_EQ(server.layout(), users);
}

} // namespace
} // namespace qb
