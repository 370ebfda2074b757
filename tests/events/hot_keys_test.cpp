// The hot-keys thread: the initial modes from the registry, the five named events and their access
// lists, the toggles, the 10-millisecond absorb, and how the thread ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "monitor_rig.h"

namespace {

using events_test::Delivered;
using events_test::MonitorRig;
using events_test::ParameterBytes;
using platform::sim::SimSecurity;
using Traces = std::vector<std::wstring>;
using Events = std::vector<Delivered>;

const wchar_t* const kHotKeyEvents[] = {
    L"Global\\C7A895C6-AADF-4716-AFD3-7010911BF578",  // clamshell/tablet toggle
    L"Global\\D51F2B12-CFDB-4A41-8D09-4E49185BF450",  // dock/undock toggle
    L"Global\\FA9B054F-1052-4669-A7C8-E0415F7314F0",  // lock
    L"Global\\A1733214-D3C7-4123-8E8F-31E371B18493",  // unlock
    L"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64",  // frame toggle
};
const std::wstring kDaclModified = L"4 Named event's DACL modified";
const std::wstring kStopping = L"4 Stopping Hot Keys Monitor thread ...";

std::size_t CountOf(const Traces& traces, const std::wstring& line) {
    return static_cast<std::size_t>(std::count(traces.begin(), traces.end(), line));
}

// The component that sets the hot-key events, as another process would: through the names.
class HotKeyPresser {
public:
    explicit HotKeyPresser(MonitorRig& rig) : _rig(rig) {}
    ~HotKeyPresser() {
        for (HANDLE handle : _handles) {
            if (handle) _rig.Kernel().CloseHandle(handle);
        }
    }

    void Press(int index) {
        HANDLE& handle = _handles[index];
        if (!handle) {
            handle = _rig.Kernel().OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE,
                                              kHotKeyEvents[index]);
        }
        ASSERT_NE(handle, nullptr);
        _rig.Kernel().SetEvent(handle);
    }

private:
    MonitorRig& _rig;
    HANDLE _handles[5] = {};
};

// ---- Initial modes ----

const std::wstring kNotFoundHere = L"2 HRESULT: 0x80070002 @ LINE #### [hot_keys_and_buttons.cpp]";

TEST(HotKeysInitialMode, ComesFromTheRegistryWhenZeroOrOneElseFromTheMetric) {
    const std::wstring notFound = L"2 HRESULT: 0x80070002 @ LINE #### [registry.cpp]";
    const std::wstring tooLong = L"2 HRESULT: 0x800700ea @ LINE #### [registry.cpp]";
    const std::wstring tooLongHere =
        L"2 HRESULT: 0x800700ea @ LINE #### [hot_keys_and_buttons.cpp]";
    const std::wstring wrongTypeHere =
        L"2 HRESULT: 0x80004005 @ LINE #### [hot_keys_and_buttons.cpp]";
    struct Case {
        int slateMetric, dockedMetric;
        std::optional<DWORD> slate, dock;  // REG_DWORD values
        DWORD slateType;                   // the slate value's type when it is not REG_DWORD
        bool tablet, undocked, slateForced, dockForced;
        Traces statusLines;
    };
    const Case cases[] = {
        {1,
         1,
         {},
         {},
         0,
         false,
         false,
         false,
         false,
         {notFound, kNotFoundHere, notFound, kNotFoundHere}},
        {0,
         0,
         {},
         {},
         0,
         true,
         true,
         false,
         false,
         {notFound, kNotFoundHere, notFound, kNotFoundHere}},
        {1, 1, 0, 1, 0, true, false, true, true, {}},
        {0, 1, 1, 0, 0, false, true, true, true, {}},
        {1, 0, 2, 7, 0, false, true, false, false, {}},  // 2 or more: ignored silently
        // Four bytes of another type are read but are no REG_DWORD (no Win32 code to log there).
        {1, 1, {}, 1, REG_BINARY, false, false, false, true, {wrongTypeHere}},
        {1, 1, {}, 1, REG_SZ, false, false, false, true, {tooLong, tooLongHere}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        MonitorRig rig;
        rig.Windowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, c.slateMetric);
        rig.Windowing().SetSystemMetric(SM_SYSTEMDOCKED, c.dockedMetric);
        auto& registry = rig.registry;
        const wchar_t* key = MonitorRig::kHotKeysKey;
        registry.CreateKey(HKEY_LOCAL_MACHINE, key);
        if (c.slateType == REG_SZ) {
            registry.SetString(HKEY_LOCAL_MACHINE, key, L"InitialConvertibleSlateMode", L"0");
        } else if (c.slateType != 0) {
            registry.SetValue(HKEY_LOCAL_MACHINE, key, L"InitialConvertibleSlateMode", c.slateType,
                              {0, 0, 0, 0});
        } else if (c.slate) {
            registry.SetDword(HKEY_LOCAL_MACHINE, key, L"InitialConvertibleSlateMode", *c.slate);
        }
        if (c.dock) registry.SetDword(HKEY_LOCAL_MACHINE, key, L"InitialSystemDockMode", *c.dock);
        rig.Start();
        EXPECT_EQ(rig.monitor->IsTabletMode(), c.tablet);
        EXPECT_EQ(rig.monitor->IsUndocked(), c.undocked);
        // Once the metrics change, only the modes without an override follow them.
        rig.Windowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, !c.slateMetric);
        rig.Windowing().SetSystemMetric(SM_SYSTEMDOCKED, !c.dockedMetric);
        EXPECT_EQ(rig.monitor->IsTabletMode(), c.slateForced ? c.tablet : !c.tablet);
        EXPECT_EQ(rig.monitor->IsUndocked(), c.dockForced ? c.undocked : !c.undocked);
        Traces status;
        for (const std::wstring& line : rig.TakeTraces()) {
            if (line.rfind(L"2 HRESULT", 0) == 0) status.push_back(line);
        }
        EXPECT_EQ(status, c.statusLines);
    }
}

// ---- Toggles and presses ----

class HotKeys : public testing::Test {
protected:
    void StartWith(std::optional<DWORD> initialSlate, std::optional<DWORD> initialDock) {
        if (initialSlate) {
            rig.registry.SetDword(HKEY_LOCAL_MACHINE, MonitorRig::kHotKeysKey,
                                  L"InitialConvertibleSlateMode", *initialSlate);
        }
        if (initialDock) {
            rig.registry.SetDword(HKEY_LOCAL_MACHINE, MonitorRig::kHotKeysKey,
                                  L"InitialSystemDockMode", *initialDock);
        }
        rig.Start();
        rig.TakeTraces();
        rig.TakeDelivered();
    }
    // One press, handled and absorbed.
    void Press(int index) {
        presser.Press(index);
        rig.world.Advance(10);
    }

    MonitorRig rig;
    HotKeyPresser presser{rig};
};

TEST_F(HotKeys, ClamshellTabletToggleFlipsTheSlateValueEachPress) {
    StartWith(0, {});
    ASSERT_TRUE(rig.monitor->IsTabletMode());
    Press(0);
    EXPECT_FALSE(rig.monitor->IsTabletMode());
    Press(0);
    EXPECT_TRUE(rig.monitor->IsTabletMode());
    Press(0);
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtClamshellMode, ParameterBytes(0)},
                                           {EvtTabletMode, ParameterBytes(0)},
                                           {EvtClamshellMode, ParameterBytes(0)}}));
    EXPECT_EQ(rig.TakeTraces(), Traces(3, L"4 VK_ClamshellTabletToggle event received"));
}

TEST_F(HotKeys, DockUndockToggleFromTheMetricSetsTheOverride) {
    // No initial value: docked value 1 from the metric, no override yet.
    StartWith({}, {});
    ASSERT_FALSE(rig.monitor->IsUndocked());
    Press(1);
    EXPECT_TRUE(rig.monitor->IsUndocked());
    // The override now answers, whatever the metric says.
    rig.Windowing().SetSystemMetric(SM_SYSTEMDOCKED, 1);
    EXPECT_TRUE(rig.monitor->IsUndocked());
    Press(1);
    EXPECT_FALSE(rig.monitor->IsUndocked());
    EXPECT_EQ(rig.TakeDelivered(),
              (Events{{EvtUndocked, ParameterBytes(0)}, {EvtDocked, ParameterBytes(0)}}));
    EXPECT_EQ(rig.TakeTraces(), Traces(2, L"4 VK_DockUndockToggle event received"));
}

TEST_F(HotKeys, EachOtherKeyPostsItsEvent) {
    StartWith({}, {});
    struct Case {
        int index;
        SystemEventType event;
        const wchar_t* trace;
    };
    const Case cases[] = {{2, EvtLocked, L"4 VK_Lock event received"},
                          {3, EvtUnlocked, L"4 VK_Unlock event received"},
                          {4, EvtBezelToggled, L"4 VK_BezelToggle event received"}};
    for (const Case& c : cases) {
        Press(c.index);
        EXPECT_EQ(rig.TakeDelivered(), (Events{{c.event, ParameterBytes(0)}}));
        EXPECT_EQ(rig.TakeTraces(), Traces{c.trace});
    }
    // The mode keys were not touched.
    EXPECT_FALSE(rig.monitor->IsTabletMode());
    rig.Windowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, 0);
    EXPECT_TRUE(rig.monitor->IsTabletMode());
}

TEST_F(HotKeys, SettingAgainWithinTenMillisecondsIsAbsorbed) {
    StartWith({}, {});
    presser.Press(2);
    rig.world.Advance(5);
    presser.Press(2);
    rig.world.Advance(4);
    presser.Press(2);
    rig.world.Advance(1);
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtLocked, ParameterBytes(0)}}));
    // Once reset, the next setting is the next press.
    presser.Press(2);
    rig.world.Advance(10);
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtLocked, ParameterBytes(0)}}));
}

TEST_F(HotKeys, KeysSetTogetherAreServedInIndexOrderTenMillisecondsApart) {
    StartWith(1, 1);
    for (int index : {4, 0, 3, 1}) presser.Press(index);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtTabletMode, ParameterBytes(0)}}));
    rig.world.Advance(10);
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtUndocked, ParameterBytes(0)}}));
    rig.world.Advance(10);
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtUnlocked, ParameterBytes(0)}}));
    rig.world.Advance(10);
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtBezelToggled, ParameterBytes(0)}}));
    rig.world.Advance(10);
    EXPECT_TRUE(rig.TakeDelivered().empty());
}

// ---- The named events ----

SimSecurity::Ace AuthenticatedUsersEntry() {
    return {ACCESS_ALLOWED_ACE_TYPE, 0, 0x00100002, L"S-1-5-11"};
}

TEST(HotKeyEvents, NewEventsLetAuthenticatedUsersSetThem) {
    MonitorRig rig;
    rig.Start();
    std::vector<SimSecurity::Ace> widened = SimSecurity::DefaultAccessList();
    widened.push_back(AuthenticatedUsersEntry());
    for (const wchar_t* name : kHotKeyEvents) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        const HANDLE event = rig.Kernel().OpenEventW(SYNCHRONIZE, FALSE, name);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(rig.world.GetSecurity().AccessList(event), widened);
        rig.Kernel().CloseHandle(event);
    }
    EXPECT_EQ(CountOf(rig.TakeTraces(), kDaclModified), 5u);
    EXPECT_EQ(rig.world.GetSecurity().OutstandingAllocations(), 0u);
}

TEST(HotKeyEvents, EventsThatExistedAreUsedWithTheirOwnAccessList) {
    MonitorRig rig;
    // Another process made two of them first.
    const HANDLE lock = rig.Kernel().CreateEventW(nullptr, TRUE, FALSE, kHotKeyEvents[2]);
    const HANDLE unlock = rig.Kernel().CreateEventW(nullptr, TRUE, FALSE, kHotKeyEvents[3]);
    rig.Start();
    EXPECT_EQ(rig.world.GetSecurity().AccessList(lock), SimSecurity::DefaultAccessList());
    EXPECT_EQ(rig.world.GetSecurity().AccessList(unlock), SimSecurity::DefaultAccessList());
    EXPECT_EQ(CountOf(rig.TakeTraces(), kDaclModified), 3u);
    // And they serve as hot keys all the same.
    rig.TakeDelivered();
    rig.Kernel().SetEvent(unlock);
    rig.world.Advance(10);
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtUnlocked, ParameterBytes(0)}}));
    rig.Kernel().CloseHandle(lock);
    rig.Kernel().CloseHandle(unlock);
}

TEST(HotKeyEvents, ListThatCannotBeWidenedLeavesTheEventAsCreated) {
    struct Case {
        bool objectsHaveDacl;  // false: as under Wine
        const char* failing;
    };
    for (const Case& c : {Case{false, nullptr}, Case{true, "GetSecurityInfo"},
                          Case{true, "AllocateAndInitializeSid"}, Case{true, "SetEntriesInAclW"},
                          Case{true, "SetSecurityInfo"}}) {
        SCOPED_TRACE(c.failing ? c.failing : "no list");
        MonitorRig rig;
        rig.world.GetSecurity().SetNewObjectsHaveDacl(c.objectsHaveDacl);
        if (c.failing) rig.FailAlways(c.failing, ERROR_ACCESS_DENIED);
        rig.Start();
        const HANDLE event = rig.Kernel().OpenEventW(SYNCHRONIZE, FALSE, kHotKeyEvents[0]);
        ASSERT_NE(event, nullptr);
        const auto expected =
            c.objectsHaveDacl ? std::optional(SimSecurity::DefaultAccessList()) : std::nullopt;
        EXPECT_EQ(rig.world.GetSecurity().AccessList(event), expected);
        // Only a successful write is logged: the status lines here are the missing values'.
        const Traces traces = rig.TakeTraces();
        EXPECT_EQ(CountOf(traces, kDaclModified), 0u);
        const auto here = std::count_if(traces.begin(), traces.end(), [](const auto& line) {
            return line.find(L"hot_keys_and_buttons.cpp]") != std::wstring::npos;
        });
        EXPECT_EQ(here, 2);
        EXPECT_EQ(CountOf(traces, kNotFoundHere), 2u);
        EXPECT_EQ(rig.world.GetSecurity().OutstandingAllocations(), 0u);
        rig.Kernel().CloseHandle(event);
    }
}

// ---- How the thread ends ----

TEST(HotKeysThread, EventThatCannotBeMadeEndsTheThreadAtItsFirstWait) {
    MonitorRig rig;
    rig.Create();
    rig.TakeTraces();
    rig.Fail("CreateEventW", ERROR_ACCESS_DENIED);
    rig.Start();
    const Traces traces = rig.TakeTraces();
    // The event could not be opened either; then the wait on a list with a null handle fails.
    EXPECT_EQ(CountOf(traces, L"2 HRESULT: 0x80070002 @ LINE #### [hot_keys_and_buttons.cpp]"),
              3u);  // two registry values, one event
    EXPECT_EQ(CountOf(traces, L"2 HRESULT: 0x80070006 @ LINE #### [hot_keys_and_buttons.cpp]"), 1u);
    EXPECT_EQ(CountOf(traces, kStopping), 0u);
    // Hot keys are no longer served (the thread closed the events as it ended); the window
    // still is.
    EXPECT_EQ(rig.Kernel().OpenEventW(SYNCHRONIZE, FALSE, kHotKeyEvents[2]), nullptr);
    rig.Windowing().Broadcast(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.TakeDelivered(), (Events{{EvtSuspend, {}}}));
}

TEST(HotKeysThread, StopAfterTheThreadEndedSetsNoClosedHandle) {
    MonitorRig rig;
    rig.Create();
    const std::size_t handlesBefore = rig.Kernel().OpenHandleCount();
    rig.Fail("WaitForMultipleObjects", ERROR_INVALID_PARAMETER);
    rig.Start();
    const Traces traces = rig.TakeTraces();
    EXPECT_EQ(CountOf(traces, L"2 HRESULT: 0x80070057 @ LINE #### [hot_keys_and_buttons.cpp]"), 1u);
    // The thread closed its six handles as it ended.
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore);
    rig.Record();
    rig.Stop();
    const auto calls = rig.Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "SetEvent"), 0);
    EXPECT_EQ(CountOf(rig.TakeTraces(), kStopping), 0u);
}

TEST(HotKeysThread, StopSetsTheStopEventAndTheThreadClosesEverything) {
    MonitorRig rig;
    rig.Create();
    const std::size_t handlesBefore = rig.Kernel().OpenHandleCount();
    rig.Start();
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore + 6);
    rig.TakeTraces();
    rig.Stop();
    EXPECT_EQ(CountOf(rig.TakeTraces(), kStopping), 1u);
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore);
    // The named events went with their last handle.
    EXPECT_EQ(rig.Kernel().OpenEventW(SYNCHRONIZE, FALSE, kHotKeyEvents[0]), nullptr);
}

TEST(HotKeysThread, RunsUnderTheRestrictedTokenOrNotAtAll) {
    MonitorRig rig;
    rig.Create();
    rig.TakeTraces();
    rig.FailAlways("ImpersonateSelf", ERROR_ACCESS_DENIED);
    rig.Start();
    // Neither the hot-keys body nor the button bodies ran: no event, no lookup, no line.
    EXPECT_EQ(rig.Kernel().OpenEventW(SYNCHRONIZE, FALSE, kHotKeyEvents[0]), nullptr);
    EXPECT_TRUE(rig.TakeTraces().empty());
    EXPECT_NE(rig.Window(), nullptr);
    rig.Stop();
    EXPECT_TRUE(rig.startReturned);
}

}  // namespace
