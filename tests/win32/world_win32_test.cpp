#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/win32/kernel_win32.h"
#include "platform/win32/tracing_win32.h"
#include "platform/world.h"

using platform::World;

namespace {

struct Counter {
    int value = 0;
};

// Reaches the world during static initialisation, as the service module does.
struct EarlyUser {
    EarlyUser()
        : world(&World::Current()),
          counter(world->Instance<Counter>([](World&) { return std::make_unique<Counter>(); })) {
        counter->value = 7;
    }
    World* world;
    Counter* counter;
};
EarlyUser g_earlyUser;

TEST(Win32ProcessWorld, IsBuiltOnFirstUseAndIsTheSameEverywhere) {
    ASSERT_NE(g_earlyUser.world, nullptr);
    EXPECT_EQ(platform::ProcessWorld(), g_earlyUser.world);
    EXPECT_EQ(platform::ProcessWorld(), platform::ProcessWorld());
    EXPECT_EQ(&World::Current(), g_earlyUser.world);
    World* seenByThread = nullptr;
    std::thread([&] { seenByThread = &World::Current(); }).join();
    EXPECT_EQ(seenByThread, g_earlyUser.world);

    Counter* later = World::Current().Instance<Counter>([](World&) {
        ADD_FAILURE() << "made twice";
        return std::make_unique<Counter>();
    });
    EXPECT_EQ(later, g_earlyUser.counter);
    EXPECT_EQ(later->value, 7);
}

TEST(Win32ProcessWorld, RunsOnTheRealPlatform) {
    const platform::Platform& parts = platform::ProcessWorld()->GetPlatform();
    EXPECT_NE(dynamic_cast<platform::win32::Win32Tracing*>(&parts.tracing), nullptr);
    EXPECT_NE(dynamic_cast<platform::win32::Win32Kernel*>(&parts.kernel), nullptr);
    parts.kernel.SetLastError(1234);
    EXPECT_EQ(::GetLastError(), 1234u);
}

}  // namespace
