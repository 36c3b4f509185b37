// Host panel dimming: timing of dim and restore, cancellation by clients
// coming and going, the recovery file across a crash.
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/AutoDim.h"
#include "runtime/MainLoop.h"
#include "support/TestSupport.h"

namespace qb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct Rig {
    MainLoop loop;
    const test::TempDir dir{"qb-dim"};
    const fs::path file = dir / "saved_brightness";
    std::optional<float> panel = 0.75f;
    bool readable = true;
    std::vector<float> writes;
    AutoDim::Conditions now{0, true};
    std::unique_ptr<AutoDim> dim;

    Rig()
    {
        AutoDim::Panel access;
        access.read = [this]() -> std::optional<float> { return readable ? panel : std::nullopt; };
        access.write = [this](float v) {
            panel = v;
            writes.push_back(v);
        };
        dim = std::make_unique<AutoDim>(loop.executor(), access, [this] { return now; }, file,
            AutoDimTiming{40ms, 60ms});
    }

    void clients(int count)
    {
        const int previous = now.clientCount;
        now.clientCount = count;
        dim->clientCountChanged(previous, count, true, DisplayMode::mirror, MirrorStatus::running());
    }
};

TEST(AutoDim, DimsAfterAStableConnectionAndRestoresAfterTheGrace)
{
    Rig rig;
    rig.clients(1);
    ASSERT_TRUE(rig.loop.runUntil([&] { return !rig.writes.empty(); }, 2000ms));
    EXPECT_THAT(rig.writes, ElementsAre(0.0f));
    EXPECT_EQ(rig.dim->savedBrightness(), 0.75f);
    EXPECT_EQ(test::readFile(rig.file), "0.75");

    // Leaving and coming back within the grace: no restore, and no second
    // dim that would save the dark panel as "the" brightness.
    rig.clients(0);
    rig.clients(1);
    rig.loop.runFor(150ms);
    EXPECT_THAT(rig.writes, ElementsAre(0.0f));
    EXPECT_EQ(rig.dim->savedBrightness(), 0.75f);

    rig.clients(0);
    ASSERT_TRUE(rig.loop.runUntil([&] { return rig.writes.size() == 2; }, 2000ms));
    EXPECT_EQ(rig.writes.back(), 0.75f);
    EXPECT_FALSE(fs::exists(rig.file));

    // A client that leaves within the wait dims nothing.
    rig.writes.clear();
    rig.clients(1);
    rig.clients(0);
    rig.loop.runFor(150ms);
    EXPECT_THAT(rig.writes, IsEmpty());
}

TEST(AutoDim, OnlyWhileRunningInMirrorModeWithAReadablePanel)
{
    EXPECT_THAT(computeDimActions(0, 1, true, DisplayMode::mirror, MirrorStatus::running()),
        ElementsAre(DimAction::cancelRestoreTimer, DimAction::scheduleDim));
    EXPECT_THAT(computeDimActions(2, 0, true, DisplayMode::mirror, MirrorStatus::running()),
        ElementsAre(DimAction::cancelDimTimer, DimAction::scheduleRestore));
    EXPECT_THAT(computeDimActions(1, 2, true, DisplayMode::mirror, MirrorStatus::running()), IsEmpty());
    EXPECT_THAT(computeDimActions(0, 1, true, DisplayMode::extended, MirrorStatus::running()), IsEmpty());
    EXPECT_THAT(computeDimActions(0, 1, false, DisplayMode::mirror, MirrorStatus::running()), IsEmpty());
    EXPECT_THAT(computeDimActions(0, 1, true, DisplayMode::mirror, MirrorStatus::starting()), IsEmpty());

    Rig rig;
    rig.readable = false;
    rig.clients(1);
    rig.loop.runFor(150ms);
    EXPECT_THAT(rig.writes, IsEmpty());
    EXPECT_FALSE(fs::exists(rig.file));

    // A brightness that cannot be saved for crash recovery is not dimmed.
    rig.readable = true;
    fs::create_directories(rig.file / "in-the-way");
    rig.clients(0);
    rig.clients(1);
    rig.loop.runFor(150ms);
    EXPECT_THAT(rig.writes, IsEmpty());
    fs::remove_all(rig.file);

    // Stopping while dimmed restores at once.
    rig.clients(0);
    rig.clients(1);
    ASSERT_TRUE(rig.loop.runUntil([&] { return !rig.writes.empty(); }, 2000ms));
    rig.dim->cancelAndRestore("[MirrorEngine:Host] Brightness restored to {:.2f}");
    EXPECT_THAT(rig.writes, ElementsAre(0.0f, 0.75f));
    EXPECT_FALSE(fs::exists(rig.file));
}

TEST(AutoDim, CrashRecoveryFile)
{
    Rig rig;
    for (const char* bad : {" 0.5", "abc", "0.5\n", "7", "nan", ""}) {
        test::writeFile(rig.file, bad);
        rig.dim->restoreAfterCrash();
        EXPECT_TRUE(fs::exists(rig.file)) << bad;
    }
    EXPECT_THAT(rig.writes, IsEmpty());
    test::writeFile(rig.file, "0.5");
    rig.dim->restoreAfterCrash();
    EXPECT_THAT(rig.writes, ElementsAre(0.5f));
    EXPECT_FALSE(fs::exists(rig.file));
}

} // namespace
} // namespace qb
