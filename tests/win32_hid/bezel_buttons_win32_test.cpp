// The system event monitor's three button threads against the substitute bezel-button devices,
// through Windows' HID class driver (under Wine on Linux): what an injected report makes of each
// device, and that a stop ends every thread however the reports come.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

#include "substitute_hid_control.h"
#include "win32_events/monitor_run.h"

namespace {

using events_test::Bytes;
using events_test::Delivered;
using events_test::MonitorRun;
using events_test::ParameterBytes;
using Events = std::vector<Delivered>;

constexpr const char* kButtons[] = {"button-0", "button-1", "button-2"};

HidDeviceList& Devices() {
    const platform::Platform& platform = platform::World::Current().GetPlatform();
    static HidDeviceList devices(platform.hid, platform.kernel);
    return devices;
}

// Waits until some button thread reads from the device: releases, which post nothing, are
// injected until one comes through, each marked with the device and a count in its spare bytes.
// A device's reports reach its reader in order, so when the last one has come the others have.
bool WaitUntilRead(substitute_hid::Control& control, MonitorRun& run, BYTE device) {
    for (BYTE sent = 1; sent != 0; ++sent) {
        const Bytes probe{0x18, 0x00, device, sent};
        if (!control.Inject(kButtons[device], probe)) return false;
        if (run.WaitUntil([&](const Events& all) { return !all.empty() && all.back().data == probe; },
                          std::chrono::milliseconds(200))) {
            return true;
        }
    }
    return false;
}

TEST(BezelButtonsWin32, EachDevicesPressPostsItsEventAndAReleaseNothing) {
    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    ASSERT_TRUE(control);
    MonitorRun run(Devices());
    for (BYTE device = 0; device < 3; ++device) ASSERT_TRUE(WaitUntilRead(*control, run, device));
    ASSERT_TRUE(run.Settle());  // the modes the monitor started with
    const std::pair<BYTE, SystemEventType> presses[] = {{0x18, EvtLocked}, {0x19, EvtUnlocked}, {0x1A, EvtBezelToggled}};
    for (BYTE device = 0; device < 3; ++device) {
        SCOPED_TRACE(kButtons[device]);
        // Each press and release in turn, then a press again: an event that a release posted
        // would come before the last press's. The raw reports come on the button thread, the
        // events on the window's, so each kind keeps its own order.
        Events raw, events;
        for (const auto& [usage, event] : presses) {
            for (BYTE state : {1, 0}) raw.push_back({EvtRawData, {usage, state, device, 0x00}});
            events.push_back({event, ParameterBytes(0)});
        }
        raw.push_back({EvtRawData, {0x18, 0x01, device, 0x00}});
        events.push_back({EvtLocked, ParameterBytes(0)});
        for (const Delivered& report : raw) ASSERT_TRUE(control->Inject(kButtons[device], report.data));
        auto delivered = run.WaitUntil([&](const Events& all) { return all.size() >= raw.size() + events.size(); });
        ASSERT_TRUE(delivered);
        const auto late = run.Settle();
        ASSERT_TRUE(late);
        delivered->insert(delivered->end(), late->begin(), late->end());
        Events raws, posted;
        for (Delivered& d : *delivered) (d.type == EvtRawData ? raws : posted).push_back(d);
        EXPECT_EQ(raws, raw);
        EXPECT_EQ(posted, events);
    }
    // The three threads are blocked in their reads; the stop (a hang ends the process) ends them.
}

TEST(BezelButtonsWin32, EveryStopEndsTheThreadsWhileReportsStream) {
    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    ASSERT_TRUE(control);
    std::atomic<bool> injected{true};
    // Releases: reports for every thread to read, and no events to handle.
    std::jthread stream([&](const std::stop_token& stop) {
        for (unsigned n = 0; !stop.stop_requested(); ++n) {
            const Bytes release{0x19, 0x00, static_cast<BYTE>(n), static_cast<BYTE>(n >> 8)};
            if (!control->Inject(kButtons[n % 3], release)) injected = false;
        }
    });
    for (int cycle = 0; cycle < 200; ++cycle) {
        MonitorRun run(Devices());
        // Stopped at once, or once the window is there (and the threads most likely reading).
        if (cycle % 2 == 1) {
            ASSERT_NE(run.Window(), nullptr) << "cycle " << cycle;
        }
    }
    stream.request_stop();
    stream.join();
    EXPECT_TRUE(injected);
}

}  // namespace
