// Starting and stopping again and again leaves nothing behind: no thread, handle, window, class,
// notification registration, timer, key or token memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "devices/hid_client.h"
#include "events/system_event_monitor.h"
#include "platform/sim/bezel_buttons_sim.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/sim_world.h"
#include "platform/sync.h"
#include "service/sim/default_scenario.h"
#include "service/sim/sim_host.h"

namespace {

using platform::sim::SimWorld;

// Everything a world counts that a stopped system must have given back.
struct Census {
    std::size_t threads, handles, windows, classes, registrations, timers, rpcStrings, keys,
        notifies, deviceLists, preparsed, securityMemory, scHandles;

    bool operator==(const Census&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Census& c) {
    return out << "threads " << c.threads << ", handles " << c.handles << ", windows " << c.windows
               << ", classes " << c.classes << ", registrations " << c.registrations << ", timers "
               << c.timers << ", rpc strings " << c.rpcStrings << ", keys " << c.keys
               << ", notifies " << c.notifies << ", device lists " << c.deviceLists
               << ", preparsed " << c.preparsed << ", security memory " << c.securityMemory
               << ", sc handles " << c.scHandles;
}

Census Count(SimWorld& world, platform::sim::SimRegistry& registry) {
    const platform::sim::SimWindowing::Census w = world.GetWindowing().Count();
    return {world.GetScheduler().ParticipantCount(),
            world.GetKernel().OpenHandleCount(),
            w.windows,
            w.classes,
            w.registrations,
            w.timers,
            w.rpcStrings,
            registry.OpenKeyCount(),
            registry.PendingNotifyCount(),
            world.GetHid().DeviceInfoListCount(),
            world.GetHid().PreparsedDataCount(),
            world.GetSecurity().OutstandingAllocations(),
            world.GetServices().OpenHandleCount()};
}

TEST(Cycles, AThousandMonitorStartsAndStopsInOneWorld) {
    SimWorld world;
    for (unsigned i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
        world.GetHid().AddDevice<platform::sim::SimBezelButtons>(
            platform::sim::SimBezelButtons::ButtonsDescription(
                L"\\\\?\\HID#VID_1B96&PID_0B0A&Col0" + std::to_wstring(i + 1), 4));
    }
    const HidDeviceList devices(world.GetHid(), world.GetKernel());
    SystemEventMonitor monitor(world.GetKernel(), world.GetWindowing(), world.GetSecurity(),
                               world.GetRegistry(), world.GetHid(), devices, nullptr);
    const Census before = Count(world, world.GetRegistry());

    for (int cycle = 0; cycle < 1000; ++cycle) {
        platform::Thread run(world.GetKernel(), [&monitor] { monitor.Start(); });
        world.RunUntilIdle();
        // Running: four workers and the window thread, one window of one class.
        const Census running = Count(world, world.GetRegistry());
        ASSERT_EQ(running.threads, before.threads + 5) << "cycle " << cycle;
        ASSERT_EQ(running.windows, 1u) << "cycle " << cycle;
        monitor.Stop();
        world.RunUntilIdle();
        run.join();
        ASSERT_EQ(Count(world, world.GetRegistry()), before) << "cycle " << cycle;
    }
}

TEST(Cycles, AHundredServiceRunsEachInItsOwnWorld) {
    const auto scenario = kelvo::host::ParseScenario(kelvo::host::DefaultScenario(), 3, nullptr);
    ASSERT_TRUE(scenario);
    std::FILE* out = std::fopen("/dev/null", "w");
    ASSERT_NE(out, nullptr);
    for (int run = 0; run < 100; ++run) {
        kelvo::host::Timeline timeline(out, kelvo::host::TimelineFormat::Text, TRACE_LEVEL_VERBOSE);
        kelvo::host::SimHost host(kelvo::host::WorldOptions{}, timeline);
        std::string error;
        ASSERT_TRUE(host.Build(&error)) << error;
        SimWorld& world = host.GetWorld();
        host.Start();
        for (const auto& command : scenario->commands) host.Play(command);
        ASSERT_EQ(host.Finish(), 0) << "run " << run;
        // The touch controller stays open until the process ends, with the touch manager that
        // holds it; the logger stays registered likewise. Nothing else is held.
        const Census expected{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        ASSERT_EQ(Count(world, world.GetRegistry()), expected) << "run " << run;
        ASSERT_EQ(world.GetTracing().RegisteredCount(), 1u) << "run " << run;
    }
    std::fclose(out);
}

}  // namespace
