// The system event monitor on the real window manager and kernel objects (under Wine on Linux):
// messages from other threads and from events_peer, another process that finds the monitor
// window by its class or opens a hot-key event by its name; and stops that leave nothing behind.
//
// The prefix holds the substitute HID devices, so the three button threads read the bezel-button
// devices; nothing presses them here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "contract.h"
#include "monitor_run.h"
#include "platform/win32/unique_handle.h"

namespace {

using events_test::Bytes;
using events_test::Delivered;
using events_test::kPatience;
using events_test::MonitorRun;
using events_test::ParameterBytes;
using platform::win32::UniqueHandle;
using Events = std::vector<Delivered>;

std::wstring Directory() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

// Runs events_peer with the arguments to its end; its exit code.
DWORD Peer(const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + Directory() + L"events_peer.exe\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return ::GetLastError();
    }
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        return WAIT_TIMEOUT;
    }
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    return exitCode;
}

// The hot-key events, once the hot-keys thread has made them all.
bool HotKeysExist() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (const wchar_t* name : contract::kHotKeyEventNames) {
        while (!UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE, name))) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return true;
}

// The mode events that the metrics as Windows reports them here make of a setting change.
SystemEventType SlateEvent() { return ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE) != 0 ? EvtClamshellMode : EvtTabletMode; }
SystemEventType DockEvent() { return ::GetSystemMetrics(SM_SYSTEMDOCKED) != 0 ? EvtDocked : EvtUndocked; }

POWERBROADCAST_SETTING DisplayState(DWORD value) {
    POWERBROADCAST_SETTING setting{};
    setting.PowerSetting = GUID_CONSOLE_DISPLAY_STATE;
    setting.DataLength = sizeof(DWORD);
    std::memcpy(setting.Data, &value, sizeof value);
    return setting;
}

// A post or a send from another thread (a record's address as lParam), or a peer's command line.
struct MessageCase {
    const char* name;
    bool send;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    const wchar_t* peer;
    Events expected;
};

TEST(SystemEventMonitorWin32, MessagesFromOtherThreadsAndProcessesReachTheCallback) {
    static const POWERBROADCAST_SETTING kOff = DisplayState(0), kOn = DisplayState(1);
    static DEV_BROADCAST_DEVICEINTERFACE_W gfx{};
    gfx.dbcc_size = sizeof gfx;
    gfx.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    gfx.dbcc_classguid = {0xE6DFDC31, 0x31D0, 0x46AC, {0x86, 0xAF, 0xDA, 0x1E, 0xB0, 0x5F, 0xC5, 0x99}};
    const auto at = [](const void* p) { return reinterpret_cast<LPARAM>(p); };
    const std::vector<MessageCase> cases = {
        {"PostedSuspend", false, WM_POWERBROADCAST, PBT_APMSUSPEND, 0, nullptr, {{EvtSuspend, {}}}},
        {"PostedPrivateEvent", false, WM_MONITOR_EVENT, EvtBezelToggled, 0, nullptr, {{EvtBezelToggled, ParameterBytes(0)}}},
        {"SentSlateSetting", true, WM_SETTINGCHANGE, 0, at(L"ConvertibleSlateMode"), nullptr, {{SlateEvent(), {}}}},
        {"SentDisplayOff", true, WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, at(&kOff), nullptr, {{EvtDisplayOff, {}}}},
        {"SentDisplayOn", true, WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, at(&kOn), nullptr, {{EvtDisplayOn, {}}}},
        {"SentGfxModeSet", true, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, at(&gfx), nullptr, {{EvtGfxModeChanged, {}}}},
        {"PeerResume", false, 0, 0, 0, L"post 0x218 0x12 0", {{EvtResume, {}}}},
        {"PeerOemEvent", false, 0, 0, 0, L"post 0x218 11 0x2a", {{EvtOemPowerEvent, ParameterBytes(0x2A)}}},
        {"PeerPrivateEventPastTheLast", false, 0, 0, 0, L"post 0x401 25 0x0102", {{EvtRawData, ParameterBytes(0x0102)}}},
        {"PeerDockSetting", false, 0, 0, 0, L"setting SystemDockMode", {{DockEvent(), {}}}},
        {"PeerSlateSettingWithALowerFirstLetter", false, 0, 0, 0, L"setting convertibleSlateMode", {}},
    };
    HidDeviceList devices(platform::World::Current().GetPlatform().hid, platform::World::Current().GetPlatform().kernel);
    MonitorRun run(devices);
    ASSERT_TRUE(run.Settle());
    for (const MessageCase& c : cases) {
        if (c.peer) {
            ASSERT_EQ(Peer(c.peer), 0u) << c.name;
        } else {
            std::thread([&] {
                if (c.send) {
                    ::SendMessageW(run.Window(), c.message, c.wParam, c.lParam);
                } else {
                    EXPECT_TRUE(::PostMessageW(run.Window(), c.message, c.wParam, c.lParam)) << c.name;
                }
            }).join();
        }
        // A post is queued, a send handled, and a peer ended before the marker is posted.
        const auto delivered = run.Settle();
        ASSERT_TRUE(delivered.has_value()) << c.name;
        EXPECT_EQ(*delivered, c.expected) << c.name;
    }
}

// Each round: hot keys set by another process arrive as their events (the toggles overriding the
// metrics until the system announces a mode), and the stop leaves no window or event.
TEST(SystemEventMonitorWin32, HotKeysFromAnotherProcessThenAStopThatLeavesNothing) {
    HidDeviceList devices(platform::World::Current().GetPlatform().hid, platform::World::Current().GetPlatform().kernel);
    const auto next = [](MonitorRun& run) { return run.WaitUntil([](const Events& all) { return !all.empty(); }); };
    for (int round = 1; round <= 3; ++round) {
        {
            MonitorRun run(devices);
            ASSERT_TRUE(run.Settle()) << round;
            ASSERT_TRUE(HotKeysExist()) << round;
            // The hot-keys thread has taken its start-up modes by the time its events exist.
            const bool tablet = run.monitor.IsTabletMode(), undocked = run.monitor.IsUndocked();
            const Bytes none = ParameterBytes(0);
            // Each toggle posts the mode it leaves for: leaving slate is clamshell (1), entering
            // it tablet (2); from undocked the dock toggle docks (3), from docked it undocks (4).
            std::vector<std::pair<DWORD, Delivered>> presses = {{2, {EvtLocked, none}}};
            if (round == 1) {
                presses.insert(presses.end(), {{3, {EvtUnlocked, none}}, {4, {EvtBezelToggled, none}},
                                               {0, {tablet ? EvtClamshellMode : EvtTabletMode, none}},
                                               {0, {tablet ? EvtTabletMode : EvtClamshellMode, none}},
                                               {1, {undocked ? EvtDocked : EvtUndocked, none}}});
            }
            for (const auto& [key, expected] : presses) {
                ASSERT_EQ(Peer(std::wstring(L"set ") + contract::kHotKeyEventNames[key]), 0u) << round;
                EXPECT_EQ(next(run), Events{expected}) << round;
            }
            if (round == 1) {
                EXPECT_EQ(run.monitor.IsTabletMode(), tablet);
                EXPECT_EQ(run.monitor.IsUndocked(), !undocked);
                ASSERT_EQ(Peer(L"setting SystemDockMode"), 0u);
                EXPECT_EQ(run.Settle(), (Events{{DockEvent(), {}}}));
                EXPECT_EQ(run.monitor.IsUndocked(), ::GetSystemMetrics(SM_SYSTEMDOCKED) == 0);
            }
        }
        EXPECT_EQ(::FindWindowW(SystemEventMonitor::kWindowClassName, nullptr), nullptr) << round;
        // Nobody waits on the hot keys any more: the events went with the thread's handles.
        EXPECT_FALSE(UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE, contract::kHotKeyEventNames[2]))) << round;
    }
}

}  // namespace
