#include "platform/sim/SimInputInjector.h"

#include <gtest/gtest.h>

#include "platform/sim/SimWorld.h"

using namespace qb;

TEST(SimInputInjectorTest, FactoryInjectorFindsDisplaysOnTheSimulatedDesktop)
{
    auto& world = sim::SimWorld::shared();
    world.reset();
    auto injector = std::make_shared<SimInputInjector>(true);
    const auto builtIn = world.screens().at(0).frame;
    EXPECT_EQ(injector->displayBounds(sim::SimWorld::BUILT_IN_DISPLAY_ID),
        (InputInjector::Bounds{builtIn.x, builtIn.y, builtIn.width, builtIn.height}));
    EXPECT_EQ(injector->displayBounds(99), std::nullopt);

    // An extending display sits beside the built-in one; a mirroring one is
    // wherever its master is.
    auto id = world.createDisplay({.name = "tablet", .maxPixelsWide = 1600, .maxPixelsHigh = 1200});
    ASSERT_TRUE(id);
    ASSERT_TRUE(world.applySettings(*id, {.hiDPI = false, .modes = {{.width = 1600, .height = 1200}}}));
    EXPECT_EQ(injector->displayBounds(*id), (InputInjector::Bounds{builtIn.width, 0, 1600, 1200}));
    ASSERT_EQ(world.applyMirrors({{*id, sim::SimWorld::BUILT_IN_DISPLAY_ID}}), 0);
    EXPECT_EQ(injector->displayBounds(*id), injector->displayBounds(sim::SimWorld::BUILT_IN_DISPLAY_ID));
    world.reset();

    // A plain sim injector knows only its own table.
    SimInputInjector plain;
    EXPECT_EQ(plain.displayBounds(sim::SimWorld::BUILT_IN_DISPLAY_ID), std::nullopt);
}
