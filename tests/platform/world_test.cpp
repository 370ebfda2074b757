#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"

using platform::World;
using platform::sim::SimWorld;

namespace {

std::vector<std::string> g_destroyed;

struct First {
    ~First() { g_destroyed.push_back("first"); }
};
struct Second {
    ~Second() { g_destroyed.push_back("second"); }
};

TEST(World, InstancesAreOnePerWorldAndDieWithItNewestFirst) {
    g_destroyed.clear();
    First* outer = nullptr;
    {
        SimWorld world;
        EXPECT_EQ(&World::Current(), &world);
        int made = 0;
        auto make = [&](World&) {
            ++made;
            return std::make_unique<First>();
        };
        outer = world.Instance<First>(make);
        EXPECT_EQ(world.Instance<First>(make), outer);
        EXPECT_EQ(made, 1);
        world.Instance<Second>([](World&) { return std::make_unique<Second>(); });
        {
            SimWorld inner;  // a nested world shadows the outer one while it lives
            EXPECT_EQ(&World::Current(), &inner);
            EXPECT_NE(inner.Instance<First>(make), nullptr);
            EXPECT_EQ(made, 2);
        }
        EXPECT_EQ(&World::Current(), &world);
        g_destroyed.clear();
    }
    EXPECT_EQ(g_destroyed, (std::vector<std::string>{"second", "first"}));
}

TEST(World, ReleaseDestroysNowAndALaterUseRecreates) {
    g_destroyed.clear();
    SimWorld world;
    auto make = [](World&) { return std::make_unique<First>(); };
    world.Instance<First>(make);
    world.Release<First>();
    EXPECT_EQ(g_destroyed, (std::vector<std::string>{"first"}));
    EXPECT_NE(world.Instance<First>(make), nullptr);
}

}  // namespace
