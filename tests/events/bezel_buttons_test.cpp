// The bezel-button threads: which device each opens, how a report is decoded, and how a stop
// ends reads that block.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "monitor_rig.h"
#include "platform/sim/bezel_buttons_sim.h"

namespace {

using events_test::Bytes;
using events_test::Delivered;
using events_test::MonitorRig;
using events_test::ParameterBytes;
using platform::sim::HidDeviceDescription;
using platform::sim::SimBezelButtons;
using platform::sim::SimHidDevice;
using Traces = std::vector<std::wstring>;
using Events = std::vector<Delivered>;

const std::wstring kReadOk = L"4 Operation successful";
const std::wstring kReadFailed = L"4 Operation failed";

std::size_t CountOf(const Traces& traces, const std::wstring& line) {
    return static_cast<std::size_t>(std::count(traces.begin(), traces.end(), line));
}

std::wstring ButtonPath(int n) {
    return L"\\\\?\\HID#VID_1B96&PID_0B0A&Col0" + std::to_wstring(n) + L"#7&1b2c3d&0&000" +
           std::to_wstring(n) + L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";
}

class BezelButtons : public testing::Test {
protected:
    SimBezelButtons& Plug(int n, USHORT inputLength = 2) {
        return rig.world.GetHid().AddDevice<SimBezelButtons>(
            SimBezelButtons::ButtonsDescription(ButtonPath(n), inputLength));
    }
    void Start() {
        rig.Start();
        rig.TakeTraces();
        rig.TakeDelivered();
    }

    MonitorRig rig;
};

// ---- Decoding ----

TEST(BezelButtonReports, AreDispatchedRawThenDecoded) {
    const std::wstring lock = L"4 VENDOR_DEFINED_HIDEF_USAGE_LOCK_BEZEL detected";
    const std::wstring release = L"4 VENDOR_DEFINED_HIDEF_USAGE_RELEASE_TABLET detected";
    const std::wstring toggle = L"4 VENDOR_DEFINED_HIDEF_USAGE_TOGGLE_BEZEL detected";
    struct Case {
        Bytes report;  // the device's input report length is the report's
        const wchar_t* dump;
        Traces traces;  // after the raw data line
        Events posted;  // after the raw data event
    };
    const Case cases[] = {
        {{0x18, 0x01},
         L" 0x18 0x01",
         {L"4 Hid Usage Id: 0x18, data: 0x1", lock},
         {{EvtLocked, ParameterBytes(0)}}},
        {{0x19, 0x01},
         L" 0x19 0x01",
         {L"4 Hid Usage Id: 0x19, data: 0x1", release},
         {{EvtUnlocked, ParameterBytes(0)}}},
        {{0x1A, 0xFF},
         L" 0x1a 0xff",
         {L"4 Hid Usage Id: 0x1a, data: 0xff", toggle},
         {{EvtBezelToggled, ParameterBytes(0)}}},
        {{0x18, 0x00}, L" 0x18 0x00", {L"4 Hid Usage Id: 0x18, data: 0x0"}, {}},
        {{0x1B, 0x01}, L" 0x1b 0x01", {L"4 Hid Usage Id: 0x1b, data: 0x1"}, {}},
        {{0x19, 0x01, 0xAA, 0x55},
         L" 0x19 0x01 0xaa 0x55",
         {L"4 Hid Usage Id: 0x19, data: 0x1", release},
         {{EvtUnlocked, ParameterBytes(0)}}},
        {{0x18}, L" 0x18", {}, {}},  // too short to decode
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.dump)));
        MonitorRig rig;
        SimHidDevice& device =
            rig.world.GetHid().AddDevice<SimBezelButtons>(SimBezelButtons::ButtonsDescription(
                ButtonPath(0), static_cast<USHORT>(c.report.size())));
        rig.Start();
        rig.TakeTraces();
        device.QueueInputReport(c.report);
        rig.world.RunUntilIdle();
        Traces traces{kReadOk, L"4 Raw data:\n" + std::wstring(c.dump)};
        traces.insert(traces.end(), c.traces.begin(), c.traces.end());
        EXPECT_EQ(rig.TakeTraces(), traces);
        Events events{{EvtRawData, c.report}};
        events.insert(events.end(), c.posted.begin(), c.posted.end());
        EXPECT_EQ(rig.TakeDelivered(), events);
    }
}

TEST_F(BezelButtons, PressAndReleaseOfTheLatch) {
    SimBezelButtons& buttons = Plug(0);
    Start();
    buttons.Press(0x19);
    buttons.Release(0x19);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtRawData, {0x19, 0x01}},
                                           {EvtRawData, {0x19, 0x00}},
                                           {EvtUnlocked, ParameterBytes(0)}}));
}

// ---- Which device each thread reads ----

TEST_F(BezelButtons, ThreadNOpensTheNthButtonCollectionInListOrder) {
    // A touch controller first: not a button collection, so not counted.
    HidDeviceDescription touch;
    touch.path = L"\\\\?\\HID#VID_0EEF&PID_C000#touch";
    touch.vendorId = 0x0EEF;
    touch.productId = 0xC000;
    touch.usagePage = 0x000D;
    touch.usage = 0x0004;
    touch.inputReportByteLength = 8;
    rig.world.GetHid().AddDevice<SimHidDevice>(touch);
    SimBezelButtons& first = Plug(1);
    SimBezelButtons& second = Plug(2);
    Start();
    // Two devices for three threads: the third finds none.
    rig.world.RunUntilIdle();
    EXPECT_TRUE(first.LastOpen().has_value());
    EXPECT_TRUE(second.LastOpen().has_value());

    second.Press(0x1A);
    rig.world.RunUntilIdle();
    first.Press(0x18);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtRawData, {0x1A, 0x01}},
                                           {EvtBezelToggled, ParameterBytes(0)},
                                           {EvtRawData, {0x18, 0x01}},
                                           {EvtLocked, ParameterBytes(0)}}));
}

TEST(BezelButtonDevices, MissingDevicesAreReportedOncePerThread) {
    MonitorRig rig;
    rig.world.GetHid().AddDevice<SimBezelButtons>(
        SimBezelButtons::ButtonsDescription(ButtonPath(0)));
    rig.Create();
    rig.TakeTraces();
    rig.Start();
    const Traces traces = rig.TakeTraces();
    EXPECT_EQ(CountOf(traces, L"2 Failed to find the specified HID device for VB event #0."), 0u);
    EXPECT_EQ(CountOf(traces, L"2 Failed to find the specified HID device for VB event #1."), 1u);
    EXPECT_EQ(CountOf(traces, L"2 Failed to find the specified HID device for VB event #2."), 1u);
    EXPECT_EQ(CountOf(traces, L"4 Found device: " + ButtonPath(0)), 1u);
}

// ---- Stopping ----

TEST_F(BezelButtons, StopEndsThreeBlockedReadsPromptly) {
    SimBezelButtons* devices[] = {&Plug(0), &Plug(1), &Plug(2)};
    rig.Create();
    const auto handlesBefore = rig.Kernel().OpenHandleCount();
    Start();
    // Three devices and the hot-keys thread's six events.
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore + 9);
    rig.Stop();
    EXPECT_TRUE(rig.startReturned);
    const Traces traces = rig.TakeTraces();
    // Each pending read was cancelled (no cancel failed) and returned nothing.
    EXPECT_EQ(CountOf(traces, kReadFailed), 3u);
    EXPECT_EQ(CountOf(traces, L"2 HRESULT: 0x80070490 @ LINE #### [hot_keys_and_buttons.cpp]"), 0u);
    EXPECT_EQ(CountOf(traces, L"4 Stopping Hot Keys Monitor thread ..."), 1u);
    EXPECT_TRUE(rig.TakeDelivered().empty());
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore);
    // A report that comes after the stop is read by nobody.
    devices[0]->Press(0x18);
    rig.world.RunUntilIdle();
    EXPECT_TRUE(rig.TakeDelivered().empty());
}

TEST_F(BezelButtons, StopFromAnotherServiceThreadEndsBlockedReadsToo) {
    Plug(0);
    Plug(1);
    Plug(2);
    Start();
    platform::Thread stopper(rig.Kernel(), [this] { rig.monitor->Stop(); });
    rig.world.RunUntilIdle();
    stopper.join();
    rig.run.join();
    EXPECT_TRUE(rig.startReturned);
    EXPECT_EQ(CountOf(rig.TakeTraces(), kReadFailed), 3u);
}

// Windows' close of a device waits for a synchronous read on it, and CancelSynchronousIo finds
// nothing while the thread is between two reads. A stop that comes just then, with the thread
// entering its read right after the cancel found nothing, must still end the thread at once:
// just after a report, and between the device's open and its first read.
struct StopPoint {
    const char* name;
    int reportsFirst;
};

class BezelButtonsStopPoint : public BezelButtons, public testing::WithParamInterface<StopPoint> {
protected:
    ~BezelButtonsStopPoint() override { rig.world.GetHid().SetReadHooks(nullptr, nullptr); }
};

TEST_P(BezelButtonsStopPoint, StopEndsTheReadTheThreadEntersAfterACancelFoundNothing) {
    SimBezelButtons& buttons = Plug(0);
    for (int i = 0; i < GetParam().reportsFirst; ++i) buttons.Press(0x18);
    platform::sim::SimKernel& kernel = rig.Kernel();
    platform::sim::SimHid& hid = rig.world.GetHid();
    // The button thread waits at its read until the stop's first cancel has found nothing.
    HANDLE gate = kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> reads{0};
    std::atomic<bool> released{false};
    hid.SetReadHooks(
        [&] {
            if (++reads == GetParam().reportsFirst + 1) {
                kernel.WaitForMultipleObjects(1, &gate, FALSE, INFINITE);
            }
        },
        [&] {
            if (released.exchange(true)) return;
            kernel.SetEvent(gate);
            while (hid.PendingReadCount() == 0) kernel.Sleep(1);
        });
    Start();
    ASSERT_EQ(reads, GetParam().reportsFirst + 1);

    std::atomic<bool> stopped{false};
    platform::Thread stopper(kernel, [&] {
        rig.monitor->Stop();
        stopped = true;
    });
    // Generous: a stop that works ends within the first few clock moves.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stopped && std::chrono::steady_clock::now() < guard) {
        if (!rig.world.GetScheduler().AdvanceToNextDue()) std::this_thread::yield();
    }
    const bool stoppedInTime = stopped;
    if (!stoppedInTime) buttons.Press(0x1A);  // what a close waiting for the read needs
    while (!stopped) {
        rig.world.RunUntilIdle();
        std::this_thread::yield();
    }
    stopper.join();
    rig.world.RunUntilIdle();
    rig.run.join();
    kernel.CloseHandle(gate);
    EXPECT_TRUE(stoppedInTime) << "the stop waited for a button press";
}

INSTANTIATE_TEST_SUITE_P(Points, BezelButtonsStopPoint,
                         testing::Values(StopPoint{"BeforeTheFirstRead", 0},
                                         StopPoint{"JustAfterAReport", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BezelButtons, FailedReadEndsItsThreadOnly) {
    SimBezelButtons& failing = Plug(0);
    SimBezelButtons& working = Plug(1);
    failing.Refuse("ReadFile", ERROR_GEN_FAILURE);
    Start();
    failing.Press(0x18);
    rig.world.RunUntilIdle();
    working.Press(0x19);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.TakeDelivered(),
              (Events{{EvtRawData, {0x19, 0x01}}, {EvtUnlocked, ParameterBytes(0)}}));
}

TEST_F(BezelButtons, ExceptionFromACallbackEndsItsThreadOnlyAndIsLogged) {
    SimBezelButtons& throwing = Plug(0);
    SimBezelButtons& working = Plug(1);
    rig.Create();
    bool thrown = false;
    rig.monitor->RegisterCallback([&](SystemEventType type, const unsigned char*, std::uint64_t) {
        if (type == EvtRawData && !std::exchange(thrown, true)) {
            throw std::runtime_error("callback failed");
        }
    });
    Start();
    throwing.Press(0x18);
    rig.world.RunUntilIdle();
    EXPECT_EQ(CountOf(rig.TakeTraces(),
                      L"1 Monitor worker thread ended by an exception: callback failed"),
              1u);
    working.Press(0x19);
    throwing.Press(0x19);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtRawData, {0x18, 0x01}},
                                           {EvtRawData, {0x19, 0x01}},
                                           {EvtUnlocked, ParameterBytes(0)}}));
    rig.Stop();
    EXPECT_TRUE(rig.startReturned);
}

TEST_F(BezelButtons, RawReportReachesTheCallbackOnTheButtonThreadUnderTheRestrictedToken) {
    SimBezelButtons& buttons = Plug(0);
    std::vector<platform::sim::SimSecurity::Privilege> seen;
    rig.Create();
    rig.monitor->RegisterCallback([&](SystemEventType type, const unsigned char*, std::uint64_t) {
        if (type == EvtRawData) seen = rig.world.GetSecurity().EffectivePrivileges();
    });
    Start();
    buttons.Press(0x18);
    rig.world.RunUntilIdle();
    ASSERT_FALSE(seen.empty());
    for (const auto& privilege : seen) {
        const bool enabled = (privilege.attributes & SE_PRIVILEGE_ENABLED) != 0;
        EXPECT_EQ(enabled, privilege.name == L"SeChangeNotifyPrivilege")
            << testing::PrintToString(privilege.name);
    }
}

}  // namespace
