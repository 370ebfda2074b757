// Starting and stopping leaves nothing behind: no thread, handle, window, class, notification
// registration, timer, key, device list, preparsed data, token memory or service handle.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "devices/hid_client.h"
#include "events/system_event_monitor.h"
#include "platform/sim/sim_world.h"
#include "platform/sync.h"
#include "service/sim/default_scenario.h"
#include "service/sim/sim_host.h"
#include "substitutes/bezel_buttons_sim.h"

namespace {

using platform::sim::SimWorld;

// threads, handles, windows, classes, registrations, timers, rpc strings, keys, notifies,
// device lists, preparsed data, security memory, service handles
using Census = std::array<std::size_t, 13>;

Census Count(SimWorld& world) {
    const platform::sim::SimWindowing::Census w = world.GetWindowing().Count();
    // clang-format off
    return {world.GetScheduler().ParticipantCount(), world.GetKernel().OpenHandleCount(),
            w.windows, w.classes, w.registrations, w.timers, w.rpcStrings,
            world.GetRegistry().OpenKeyCount(), world.GetRegistry().PendingNotifyCount(),
            world.GetHid().DeviceInfoListCount(), world.GetHid().PreparsedDataCount(),
            world.GetSecurity().OutstandingAllocations(), world.GetServices().OpenHandleCount()};
    // clang-format on
}

TEST(Cycles, AThousandMonitorStartsAndStopsInOneWorld) {
    SimWorld world;
    for (unsigned i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
        world.GetHid().AddDevice<platform::sim::SimBezelButtons>(
            platform::sim::SimBezelButtons::ButtonsDescription(
                L"\\\\?\\HID#VID_1B96&PID_0B0A&Col0" + std::to_wstring(i + 1), 4));
    }
    HidDeviceList devices(world.GetHid(), world.GetKernel());
    SystemEventMonitor monitor(world.GetKernel(), world.GetWindowing(), world.GetSecurity(),
                               world.GetRegistry(), world.GetHid(), devices, nullptr);
    const Census before = Count(world);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        platform::Thread run(world.GetKernel(), [&monitor] { monitor.Start(); });
        world.RunUntilIdle();
        // Running: four workers and the window thread, one window.
        const Census running = Count(world);
        ASSERT_EQ(running[0], before[0] + 5) << "cycle " << cycle;
        ASSERT_EQ(running[2], 1u) << "cycle " << cycle;
        monitor.Stop();
        world.RunUntilIdle();
        run.join();
        ASSERT_EQ(Count(world), before) << "cycle " << cycle;
    }
}

TEST(Cycles, AServiceRunHoldsOnlyTheTouchControllerAfterwards) {
    const auto scenario = kelvo::host::ParseScenario(kelvo::host::DefaultScenario(), 3, nullptr);
    std::FILE* out = std::fopen("/dev/null", "w");
    {
        kelvo::host::Timeline timeline(out, kelvo::host::TimelineFormat::Text, TRACE_LEVEL_VERBOSE);
        kelvo::host::SimHost host(kelvo::host::WorldOptions{}, timeline);
        std::string error;
        ASSERT_TRUE(host.Build(&error)) << error;
        host.Start();
        for (const auto& command : scenario->commands) host.Play(command);
        ASSERT_EQ(host.Finish(), 0);
        // The touch controller stays open until the process ends, with the touch manager that holds
        // it; the log's guard has unregistered the logger, as at Kelvo.exe's exit.
        EXPECT_EQ(Count(host.GetWorld()), (Census{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(host.GetWorld().GetTracing().RegisteredCount(), 0u);
    }
    std::fclose(out);
}

}  // namespace
