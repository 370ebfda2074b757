// The monitor window: what each notification becomes, the loop's rules, and how the window and
// the worker threads come and go with Start and Stop.
#include "events/system_event_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "monitor_rig.h"

namespace {

using events_test::Delivered;
using events_test::Hex32;
using events_test::MonitorRig;
using events_test::ParameterBytes;
using Traces = std::vector<std::wstring>;
using Events = std::vector<Delivered>;

constexpr GUID kDisplayState = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
constexpr GUID kAwayMode = {
    0x98A7F580, 0x01F7, 0x48AA, {0x9C, 0x0F, 0x44, 0x35, 0x2C, 0x29, 0xE5, 0xC0}};
constexpr GUID kGfxModeSet = {
    0xE6DFDC31, 0x31D0, 0x46AC, {0x86, 0xAF, 0xDA, 0x1E, 0xB0, 0x5F, 0xC5, 0x99}};
constexpr GUID kHidInterface = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const std::wstring kGfxGuidLine = L"4 \tDevice-class guid: e6dfdc31-31d0-46ac-86af-da1eb05fc599";
const std::wstring kStopping = L"4 Stopping Hot Keys Monitor thread ...";

bool Contains(const Traces& traces, const std::wstring& line) {
    return std::find(traces.begin(), traces.end(), line) != traces.end();
}

std::wstring StatusLine(DWORD error, const wchar_t* file = L"system_event_monitor.cpp") {
    wchar_t text[96];
    std::swprintf(text, 96, L"2 HRESULT: 0x%08x @ LINE #### [%ls]",
                  static_cast<unsigned>(HRESULT_FROM_WIN32(error)), file);
    return text;
}

// A running monitor whose start-up traces and deliveries are already taken.
class RunningMonitor : public testing::Test {
protected:
    void SetUp() override {
        rig.Start();
        ASSERT_NE(rig.Window(), nullptr);
        rig.TakeTraces();
        rig.TakeDelivered();
    }
    void Send(UINT message, WPARAM wParam, LPARAM lParam) {
        rig.Windowing().Broadcast(message, wParam, lParam);
        rig.world.RunUntilIdle();
    }
    void Expect(const Traces& traces, const Events& events) {
        EXPECT_EQ(rig.TakeTraces(), traces);
        EXPECT_EQ(rig.TakeDelivered(), events);
    }

    MonitorRig rig;
};

TEST_F(RunningMonitor, PowerBroadcastsAreLoggedAndTranslated) {
    struct Case {
        WPARAM wParam;
        LPARAM lParam;
        const wchar_t* trace;
        Events events;
    };
    const Case cases[] = {
        {4, 0, L"4 PBT_APMSUSPEND detected", {{EvtSuspend, {}}}},
        {5, 0, L"4 PBT_APMSTANDBY detected", {{EvtStandby, {}}}},
        {6, 0, L"4 PBT_APMRESUMECRITICAL detected", {{EvtResumeCritical, {}}}},
        {7, 0, L"4 PBT_APMRESUMESUSPEND detected", {}},
        {8, 0, L"4 PBT_APMRESUMESTANDBY detected", {}},
        {9, 0, L"4 PBT_APMBATTERYLOW detected", {{EvtBatteryLow, {}}}},
        {10, 0, L"4 PBT_APMPOWERSTATUSCHANGE detected", {{EvtPowerStatusChange, {}}}},
        {11,
         0x1122334455667788,
         L"4 PBT_APMOEMEVENT detected",
         {{EvtOemPowerEvent, ParameterBytes(0x1122334455667788)}}},
        {0x12, 0, L"4 PBT_APMRESUMEAUTOMATIC detected", {{EvtResume, {}}}},
        {0x8013, 0, L"4 PBT_POWERSETTINGCHANGE detected", {{EvtPowerSettingChange, {}}}},
        {0x0A0B, 0x55, L"4 WM_POWERBROADCAST received", {{EvtRawData, ParameterBytes(0x0A0B)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wParam);
        Send(WM_POWERBROADCAST, c.wParam, c.lParam);
        Expect({c.trace}, c.events);
    }
}

TEST_F(RunningMonitor, PowerSettingsRaiseByGuidAndValueFromReadableRecordsOnly) {
    struct Case {
        GUID setting;
        DWORD value;
        DWORD dataLength;
        bool readable;
        Events events;
    };
    const Case cases[] = {
        {kDisplayState, 0, 4, true, {{EvtDisplayOff, {}}}},
        {kDisplayState, 1, 4, true, {{EvtDisplayOn, {}}}},
        {kDisplayState, 2, 4, true, {}},  // dimmed
        {kAwayMode, 1, 4, true, {{EvtAwayModeEnter, {}}}},
        {kAwayMode, 0, 4, true, {{EvtAwayModeExit, {}}}},
        {kAwayMode, 7, 4, true, {}},
        {kGfxModeSet, 1, 4, true, {}},
        {kDisplayState, 1, 8, true, {}},
        {kDisplayState, 1, 4, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << "/" << c.dataLength << "/" << c.readable);
        rig.Windowing().SendPowerSettingChange(c.setting, c.value, c.dataLength, c.readable);
        rig.world.RunUntilIdle();
        Traces traces{L"4 PBT_POWERSETTINGCHANGE detected"};
        if (!c.readable) traces.push_back(L"4 Access violation detected: PPOWERBROADCAST_SETTING");
        Expect(traces, c.events);
    }
    // A record that claims four bytes of data but ends after its length field.
    std::vector<BYTE> record(offsetof(POWERBROADCAST_SETTING, Data));
    const DWORD length = 4;
    std::memcpy(record.data(), &kDisplayState, sizeof kDisplayState);
    std::memcpy(record.data() + offsetof(POWERBROADCAST_SETTING, DataLength), &length,
                sizeof length);
    Send(WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE,
         rig.Windowing().PlaceRecord(record.data(), record.size()));
    Expect({L"4 PBT_POWERSETTINGCHANGE detected",
            L"4 Access violation detected: PPOWERBROADCAST_SETTING"},
           {});
}

TEST_F(RunningMonitor, SettingChangesMatchTheNameAndReadTheMetric) {
    const std::wstring slate = L"4 WM_SETTINGCHANGE(ConvertibleSlateMode) detected";
    const std::wstring dock = L"4 WM_SETTINGCHANGE(SystemDockMode) detected";
    const std::wstring caught = L"4 Access violation detected: Protected_wcsicmp";
    struct Case {
        std::wstring text;
        bool terminated;
        int slateMetric, dockedMetric;
        Traces traces;  // after the first line
        Events events;
    };
    const Case cases[] = {
        {L"ConvertibleSlateMode", true, 0, 1, {slate}, {{EvtTabletMode, {}}}},
        {L"ConvertibleSlateMode", true, 5, 1, {slate}, {{EvtClamshellMode, {}}}},
        {L"CONVERTIBLESLATEMODE", true, 0, 1, {slate}, {{EvtTabletMode, {}}}},
        {L"convertibleSlateMode", true, 0, 1, {}, {}},  // the first letter's case counts
        {L"Convertible", true, 0, 1, {}, {}},
        {L"SystemDockMode", true, 1, 1, {dock}, {{EvtDocked, {}}}},
        {L"SYSTEMDOCKMODE", true, 1, 0, {dock}, {{EvtUndocked, {}}}},
        {L"Policy", true, 0, 0, {}, {}},
        // Reads stop one character past the expected name: nothing beyond is touched ...
        {L"ConvertibleSlateModeX", false, 0, 0, {}, {}},
        // ... and a comparison that needs a character the record lacks is caught.
        {L"Conv", false, 0, 0, {caught}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        rig.Windowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, c.slateMetric);
        rig.Windowing().SetSystemMetric(SM_SYSTEMDOCKED, c.dockedMetric);
        const LPARAM name = rig.Windowing().PlaceRecord(
            c.text.c_str(), (c.text.size() + (c.terminated ? 1 : 0)) * sizeof(wchar_t));
        Send(WM_SETTINGCHANGE, 0x2A, name);
        Traces traces{L"4 WM_SETTINGCHANGE (wParam=0x0000002a, lParam=" + Hex32(name) +
                      L") detected"};
        traces.insert(traces.end(), c.traces.begin(), c.traces.end());
        Expect(traces, c.events);
    }
    // Unreadable: both comparisons are caught.
    const LPARAM name = rig.Windowing().PlaceString(L"ConvertibleSlateMode", false);
    Send(WM_SETTINGCHANGE, 0x1234567890, name);
    Expect({L"4 WM_SETTINGCHANGE (wParam=0x34567890, lParam=" + Hex32(name) + L") detected", caught,
            caught},
           {});
    Send(WM_SETTINGCHANGE, 0, 0);
    Expect({L"4 WM_SETTINGCHANGE (wParam=0x00000000, lParam=0x00000000) detected"}, {});
}

TEST_F(RunningMonitor, SlateSettingChangeClearsTheHotKeyOverride) {
    // Started in clamshell mode, the clamshell/tablet hot key makes the monitor answer tablet
    // from its own value ...
    const HANDLE toggle = rig.Kernel().OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE,
                                                  L"Global\\C7A895C6-AADF-4716-AFD3-7010911BF578");
    ASSERT_NE(toggle, nullptr);
    rig.Kernel().SetEvent(toggle);
    rig.world.Advance(10);
    EXPECT_TRUE(rig.monitor->IsTabletMode());
    // ... until the system says what the mode is; from then on its metric rules.
    rig.Windowing().SendSettingChange(L"ConvertibleSlateMode");
    rig.world.RunUntilIdle();
    EXPECT_FALSE(rig.monitor->IsTabletMode());
    rig.Windowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, 0);
    EXPECT_TRUE(rig.monitor->IsTabletMode());
    EXPECT_EQ(rig.TakeDelivered(),
              (Events{{EvtTabletMode, ParameterBytes(0)}, {EvtClamshellMode, {}}}));
    rig.Kernel().CloseHandle(toggle);
}

TEST_F(RunningMonitor, DeviceChangesRaiseOnlyForTheGraphicsModeSetInterface) {
    const std::wstring name = L"\\\\?\\DISPLAY#CVN0001#4&1a2b3c&0&UID0#{e6dfdc31}";
    const std::wstring gfxType = L"4 \tDevice type: 0x00000005";
    const std::wstring caught = L"4 Access violation detected: PDEV_BROADCAST_HDR";
    const Traces gfx{gfxType, L"4 \tDevice name: " + name, kGfxGuidLine,
                     L"4 Gfx mode set detected"};
    const Events raised{{EvtGfxModeChanged, {}}};
    struct Case {
        WPARAM code;
        bool withRecord;
        DWORD size;  // 0: the record's own
        DWORD type;
        GUID classGuid;
        std::wstring name;
        bool terminated, readable;
        Traces traces;  // after the two first lines
        Events events;
    };
    const Case cases[] = {
        {0x8000, true, 0, 5, kGfxModeSet, name, true, true, gfx, raised},
        {0x8004, true, 0, 5, kGfxModeSet, name, true, true, gfx, raised},
        {0x8005, true, 0, 5, kGfxModeSet, name, true, true, gfx, raised},
        {0x8006, true, 0, 5, kGfxModeSet, name, true, true, {}, {}},
        {DBT_DEVNODES_CHANGED, false, 0, 5, kGfxModeSet, name, true, true, {}, {}},
        {0x8000, false, 0, 5, kGfxModeSet, name, true, true, {}, {}},
        {0x8000,
         true,
         0,
         5,
         kHidInterface,
         L"\\\\?\\HID#1",
         true,
         true,
         {gfxType, L"4 \tDevice name: \\\\?\\HID#1",
          L"4 \tDevice-class guid: 4d1e55b2-f16f-11cf-88cb-001111000030"},
         {}},
        {0x8000, true, 0, 2, kGfxModeSet, L"", true, true, {L"4 \tDevice type: 0x00000002"}, {}},
        {0x8000, true, 0, 5, kGfxModeSet, L"X", true, false, {caught}, {}},
        // A record whose size runs past its end, or falls short of the interface fields.
        {0x8000, true, 4096, 5, kGfxModeSet, L"X", true, true, {gfxType, caught}, {}},
        {0x8000, true, 20, 5, kGfxModeSet, L"X", true, true, {gfxType}, {}},
        // A name without terminator ends with the record.
        {0x8000,
         true,
         0,
         5,
         kGfxModeSet,
         L"ABC",
         false,
         true,
         {gfxType, L"4 \tDevice name: ABC", kGfxGuidLine, L"4 Gfx mode set detected"},
         raised},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.code << " " << testing::PrintToString(c.name));
        LPARAM record = 0;
        if (c.withRecord) {
            const std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
            const std::size_t nameBytes =
                (c.name.size() + (c.terminated ? 1 : 0)) * sizeof(wchar_t);
            std::vector<BYTE> bytes(c.type == 5 ? nameOffset + nameBytes
                                                : sizeof(DEV_BROADCAST_HDR));
            DEV_BROADCAST_DEVICEINTERFACE_W header{};
            header.dbcc_size = c.size != 0 ? c.size : static_cast<DWORD>(bytes.size());
            header.dbcc_devicetype = c.type;
            header.dbcc_classguid = c.classGuid;
            std::memcpy(bytes.data(), &header, std::min(bytes.size(), nameOffset));
            if (c.type == 5) std::memcpy(bytes.data() + nameOffset, c.name.c_str(), nameBytes);
            record = rig.Windowing().PlaceRecord(bytes.data(), bytes.size(), c.readable);
        }
        Send(WM_DEVICECHANGE, c.code, record);
        Traces traces{L"4 WM_DEVICECHANGE detected",
                      L"4 wParam: " + Hex32(c.code) + L", lParam: " + Hex32(record)};
        traces.insert(traces.end(), c.traces.begin(), c.traces.end());
        Expect(traces, c.events);
    }
    EXPECT_EQ(rig.Windowing().Count().rpcStrings, 0u);
}

TEST_F(RunningMonitor, PostedEventsCarryTheEightBytesOfLParam) {
    struct Case {
        WPARAM wParam;
        LPARAM lParam;
        SystemEventType type;
    };
    const Case cases[] = {{7, 0, EvtBezelToggled},
                          {20, 3, EvtGfxModeChanged},
                          {21, 0, EvtRawData},
                          {25, 0x0102, EvtRawData}};
    for (const Case& c : cases) {
        ASSERT_TRUE(rig.Windowing().PostMessageW(rig.Window(), 0x0401, c.wParam, c.lParam));
        rig.world.RunUntilIdle();
        Expect({}, {{c.type, ParameterBytes(static_cast<std::uint64_t>(c.lParam))}});
    }
}

std::vector<std::string> g_calls;
void PlainA(SystemEventType, const unsigned char*, std::uint64_t) { g_calls.push_back("A"); }
void PlainB(SystemEventType, const unsigned char*, std::uint64_t) { g_calls.push_back("B"); }

TEST(SystemEventMonitorCallbacks, SamePlainFunctionIsRegisteredOnceOthersInOrder) {
    MonitorRig rig;
    SystemEventMonitor& monitor = rig.Create();
    g_calls.clear();
    monitor.RegisterCallback(&PlainA);
    monitor.RegisterCallback(&PlainB);
    monitor.RegisterCallback(&PlainA);
    monitor.RegisterCallback(SystemEventCallback(&PlainB));
    const auto closure = [](SystemEventType, const unsigned char*, std::uint64_t) {
        g_calls.push_back("closure");
    };
    monitor.RegisterCallback(closure);
    monitor.RegisterCallback(closure);
    monitor.RegisterCallback(SystemEventCallback());
    const unsigned char data[] = {1, 2};
    monitor.DispatchEvent(EvtLocked, data, sizeof data);
    EXPECT_EQ(g_calls, (std::vector<std::string>{"A", "B", "closure", "closure"}));
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtLocked, {1, 2}}}));
}

// ---- The loop ----

TEST_F(RunningMonitor, PostedCloseIsDroppedAndQuitIgnored) {
    const HWND window = rig.Window();
    rig.Windowing().PostMessageW(window, WM_CLOSE, 0, 0);
    rig.Windowing().PostMessageW(window, WM_QUIT, 0, 0);
    rig.Windowing().PostMessageW(window, 0x0401, EvtLocked, 0);
    rig.world.RunUntilIdle();
    EXPECT_TRUE(rig.Windowing().IsWindow(window));
    EXPECT_FALSE(rig.startReturned);
    Expect({}, {{EvtLocked, ParameterBytes(0)}});
}

HWND g_timerWindow = nullptr;
std::vector<UINT_PTR> g_timers;
void TimerProc(HWND hwnd, UINT, UINT_PTR id, DWORD) {
    g_timerWindow = hwnd;
    g_timers.push_back(id);
}

TEST(SystemEventMonitorLoop, ThreadTimersOfCallbacksReachTheirProcedureWithTheWindow) {
    MonitorRig rig;
    g_timerWindow = nullptr;
    g_timers.clear();
    UINT_PTR timer = 0;
    rig.Create().RegisterCallback([&](SystemEventType type, const unsigned char*, std::uint64_t) {
        if (type == EvtUnlocked) timer = rig.Windowing().SetTimer(nullptr, 3721, 5000, TimerProc);
    });
    rig.Start();
    rig.Windowing().PostMessageW(rig.Window(), 0x0401, EvtUnlocked, 0);
    rig.world.Advance(4999);
    EXPECT_TRUE(g_timers.empty());
    rig.world.Advance(1);
    EXPECT_EQ(g_timers, std::vector<UINT_PTR>{timer});
    EXPECT_EQ(g_timerWindow, rig.Window());
}

TEST(SystemEventMonitorLoop, SentCloseDestroysTheWindowWhoseDestroyIsIgnored) {
    MonitorRig rig;
    g_timers.clear();
    // A thread timer is the one thing that still reaches the loop once the window is gone.
    rig.Create().RegisterCallback([&](SystemEventType type, const unsigned char*, std::uint64_t) {
        if (type == EvtSuspend) rig.Windowing().SetTimer(nullptr, 0, 100, TimerProc);
    });
    rig.Start();
    rig.TakeTraces();
    const HWND window = rig.Window();
    rig.Windowing().Broadcast(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    rig.Windowing().Broadcast(WM_CLOSE, 0, 0);
    rig.world.RunUntilIdle();
    EXPECT_FALSE(rig.Windowing().IsWindow(window));
    EXPECT_EQ(rig.TakeTraces(),
              (Traces{L"4 PBT_APMSUSPEND detected",
                      L"3 !!! Received an unexpected WM_DESTROY message, Ignored. !!!"}));
    // Registrations stay and no quit was posted: the loop goes on, and a Stop finds no window.
    EXPECT_EQ(rig.Windowing().Count().registrations, 4u);
    EXPECT_FALSE(rig.startReturned);
    // A failing queue is what ends this loop; then nothing of the window is left.
    rig.FailAlways("GetMessageW", ERROR_INVALID_WINDOW_HANDLE);
    rig.world.Advance(100);
    rig.run.join();
    EXPECT_EQ(g_timers.size(), 1u);
    EXPECT_EQ(rig.Windowing().Count().registrations, 0u);
    EXPECT_EQ(rig.Windowing().Count().classes, 0u);
}

TEST(SystemEventMonitorLoop, FailingQueueEndsTheLoopAndReleasesEverything) {
    MonitorRig rig;
    rig.Start();
    rig.TakeTraces();
    rig.FailAlways("GetMessageW", ERROR_INVALID_PARAMETER);
    // Wake the loop so that its next fetch fails.
    rig.Windowing().PostMessageW(rig.Window(), 0x0401, EvtLocked, 0);
    rig.world.RunUntilIdle();
    rig.run.join();
    const Traces traces = rig.TakeTraces();
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.front(), StatusLine(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(Contains(traces, kStopping));
    const auto census = rig.Windowing().Count();
    EXPECT_EQ(census.windows + census.classes + census.registrations, 0u);
}

TEST(SystemEventMonitorLoop, ExceptionFromACallbackLeavesStartWithEverythingReleased) {
    MonitorRig rig;
    rig.Create().RegisterCallback([](SystemEventType type, const unsigned char*, std::uint64_t) {
        if (type == EvtStandby) throw std::runtime_error("callback failed");
    });
    rig.Start();
    // A sent message: handled inside the queue fetch, yet the exception goes on at once.
    rig.Windowing().Broadcast(WM_POWERBROADCAST, PBT_APMSTANDBY, 0);
    rig.world.RunUntilIdle();
    rig.run.join();
    ASSERT_TRUE(rig.startException);
    EXPECT_THROW(std::rethrow_exception(rig.startException), std::runtime_error);
    EXPECT_TRUE(Contains(rig.TakeTraces(), kStopping));
    const auto census = rig.Windowing().Count();
    EXPECT_EQ(census.windows + census.classes + census.registrations, 0u);
}

// ---- Start and Stop ----

TEST(SystemEventMonitorLifecycle, StartRegistersAndStopReleasesEverything) {
    MonitorRig rig;
    rig.Start();
    const HWND window = rig.Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(rig.Windowing().FindWindowW(nullptr, L"Ambrel System Event Monitor"), window);
    auto census = rig.Windowing().Count();
    EXPECT_EQ(census.windows, 1u);
    EXPECT_EQ(census.classes, 1u);
    EXPECT_EQ(census.registrations, 4u);
    rig.TakeTraces();

    rig.Stop();
    EXPECT_TRUE(rig.startReturned);
    EXPECT_FALSE(rig.startException);
    census = rig.Windowing().Count();
    EXPECT_EQ(census.windows + census.classes + census.registrations + census.timers, 0u);
    // No button device was found, so the button threads had ended with no read to cancel, and
    // the stop reports no failure for them.
    EXPECT_EQ(rig.TakeTraces(), (Traces{kStopping}));

    // A second run starts afresh.
    rig.startReturned = false;
    rig.Start();
    EXPECT_NE(rig.Window(), nullptr);
    rig.Windowing().Broadcast(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtSuspend, {}}}));
    rig.Stop();
    EXPECT_TRUE(rig.startReturned);
}

TEST(SystemEventMonitorLifecycle, StopBeforeStartMakesStartReturnAtOnce) {
    MonitorRig rig;
    rig.Create();
    rig.TakeTraces();
    rig.Record();
    rig.monitor->Stop();
    rig.Start();
    rig.run.join();
    const auto calls = rig.Calls();
    // Nothing was started and no window made; Stop posted nothing either.
    for (const char* operation : {"CreateWindowExW", "PostMessageW", "CreateEventW"}) {
        EXPECT_EQ(std::count(calls.begin(), calls.end(), operation), 0) << operation;
    }
    EXPECT_TRUE(rig.TakeTraces().empty());
}

TEST(SystemEventMonitorLifecycle, WindowCreationFailureIsLoggedAndLeavesNothing) {
    struct Case {
        const char* operation;
        unsigned nth;
        DWORD error;
        int deviceRegistrations;  // attempted
    };
    const Case cases[] = {
        {"RegisterClassExW", 1, ERROR_CLASS_ALREADY_EXISTS, 0},
        {"CreateWindowExW", 1, ERROR_NOT_ENOUGH_MEMORY, 0},
        {"RegisterSuspendResumeNotification", 1, ERROR_INVALID_PARAMETER, 1},
        {"RegisterPowerSettingNotification", 1, ERROR_INVALID_PARAMETER, 1},
        {"RegisterPowerSettingNotification", 2, ERROR_INVALID_PARAMETER, 1},
        {"RegisterDeviceNotificationW", 1, ERROR_INVALID_PARAMETER, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.operation << " #" << c.nth);
        MonitorRig rig;
        rig.Create();
        rig.Record();
        rig.Fail(c.operation, c.error, c.nth);
        rig.Start();
        rig.run.join();
        const Traces traces = rig.TakeTraces();
        EXPECT_TRUE(Contains(traces, StatusLine(c.error)));
        // Every registration was still attempted, and what did register is released.
        const auto calls = rig.Calls();
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "RegisterDeviceNotificationW"),
                  c.deviceRegistrations);
        const auto census = rig.Windowing().Count();
        EXPECT_EQ(census.windows + census.classes + census.registrations, 0u);
        // The workers did not outlive Start, and a Stop afterwards posts nothing.
        EXPECT_TRUE(Contains(traces, kStopping));
        rig.monitor->Stop();
        const auto after = rig.Calls();
        EXPECT_EQ(std::count(after.begin(), after.end(), "PostMessageW"), 0);
    }
}

TEST(SystemEventMonitorLifecycle, SuspendResumeRegistrationOnlyFromWindows8WhenExported) {
    struct Case {
        DWORD major, minor;
        bool exported;
        std::size_t registrations;
    };
    for (const Case& c :
         {Case{10, 0, true, 4}, Case{6, 2, true, 4}, Case{6, 1, true, 3}, Case{10, 0, false, 3}}) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " " << c.exported);
        MonitorRig rig;
        rig.Windowing().SetWindowsVersion(c.major, c.minor);
        rig.Windowing().SetSuspendResumeExported(c.exported);
        rig.Start();
        ASSERT_NE(rig.Window(), nullptr);
        EXPECT_EQ(rig.Windowing().Count().registrations, c.registrations);
        rig.Stop();
        EXPECT_EQ(rig.Windowing().Count().registrations, 0u);
    }
}

TEST(SystemEventMonitorLifecycle, FailingReleaseIsLoggedAndTheRestStillHappens) {
    for (const char* operation :
         {"UnregisterSuspendResumeNotification", "UnregisterPowerSettingNotification",
          "UnregisterDeviceNotification", "UnregisterClassW"}) {
        SCOPED_TRACE(operation);
        MonitorRig rig;
        rig.Start();
        rig.Fail(operation, ERROR_INVALID_HANDLE);
        rig.Stop();
        EXPECT_TRUE(Contains(rig.TakeTraces(), StatusLine(ERROR_INVALID_HANDLE)));
        const bool classStays = std::string(operation) == "UnregisterClassW";
        EXPECT_EQ(rig.Windowing().Count().windows, 0u);
        EXPECT_EQ(rig.Windowing().Count().classes, classStays ? 1u : 0u);
    }
}

}  // namespace
