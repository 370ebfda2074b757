#include <gtest/gtest.h>

#include "platform/sim/sim_world.h"

using platform::sim::SimWorld;

namespace {

constexpr GUID kProvider = {
    0x13046BD6, 0xC656, 0x4BD4, {0xB3, 0xCB, 0xE6, 0x51, 0x24, 0xF2, 0x08, 0x6A}};

TEST(SimTracing, RecordsEventsWithProviderLevelKeywordAndTime) {
    SimWorld world;
    auto& tracing = world.GetTracing();
    REGHANDLE handle = 0;
    ASSERT_EQ(tracing.EventRegister(&kProvider, nullptr, nullptr, &handle), 0u);
    world.Advance(1500);
    ASSERT_EQ(tracing.EventWriteString(handle, 4, 0, L"hello"), 0u);
    const auto events = tracing.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].time, 1500u);
    EXPECT_TRUE(events[0].provider == kProvider);
    EXPECT_EQ(events[0].level, 4);
    EXPECT_EQ(events[0].keyword, 0u);
    EXPECT_EQ(events[0].text, L"hello");
}

TEST(SimTracing, ScriptedFailuresComeInTurnThenCallsSucceed) {
    SimWorld world;
    auto& tracing = world.GetTracing();
    tracing.FailEventRegister({5});
    REGHANDLE handle = 7;
    EXPECT_EQ(tracing.EventRegister(&kProvider, nullptr, nullptr, &handle), 5u);
    EXPECT_EQ(handle, 0u);
    ASSERT_EQ(tracing.EventRegister(&kProvider, nullptr, nullptr, &handle), 0u);
    tracing.FailEventWriteString({8, 0, 1450});
    EXPECT_EQ(tracing.EventWriteString(handle, 1, 0, L"a"), 8u);
    EXPECT_EQ(tracing.EventWriteString(handle, 1, 0, L"b"), 0u);
    EXPECT_EQ(tracing.EventWriteString(handle, 1, 0, L"c"), 1450u);
    EXPECT_EQ(tracing.EventWriteString(handle, 1, 0, L"d"), 0u);
    ASSERT_EQ(tracing.Events().size(), 2u);
    EXPECT_EQ(tracing.Events()[1].text, L"d");
}

TEST(SimTracing, SessionLevelDecidesWhetherTheProviderIsEnabled) {
    SimWorld world;
    auto& tracing = world.GetTracing();
    REGHANDLE handle = 0;
    ASSERT_EQ(tracing.EventRegister(&kProvider, nullptr, nullptr, &handle), 0u);
    EXPECT_TRUE(tracing.EventProviderEnabled(handle, 5, 0));
    tracing.SetSessionLevel(3);
    EXPECT_TRUE(tracing.EventProviderEnabled(handle, 3, 0));
    EXPECT_FALSE(tracing.EventProviderEnabled(handle, 4, 0));
    tracing.SetSessionLevel(0);
    EXPECT_FALSE(tracing.EventProviderEnabled(handle, 1, 0));
    EXPECT_FALSE(tracing.EventProviderEnabled(0, 1, 0));
    EXPECT_EQ(tracing.EventUnregister(handle), 0u);
    EXPECT_EQ(tracing.RegisteredCount(), 0u);
}

}  // namespace
