// The system event monitor on the real window manager, kernel objects and thread timers (under
// Wine on Linux). Peers are played by other threads of this program and by events_peer, another
// process that finds the monitor window by its class or opens a hot-key event by its name.
//
// The prefix holds the substitute HID devices, so the three button threads read the bezel-button
// devices; nothing presses them here.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// windows_sdk.h first: tlhelp32.h needs windows.h.
#include "platform/win32/windows_sdk.h"

#include <tlhelp32.h>

#include "core/vb_controller.h"
#include "devices/hid_client.h"
#include "events/system_event_monitor.h"
#include "platform/win32/unique_handle.h"
#include "platform/world.h"

namespace {

using platform::win32::UniqueHandle;
using Bytes = std::vector<unsigned char>;

constexpr auto kPatience = std::chrono::seconds(20);  // only a hang takes this long
constexpr DWORD kPatienceMilliseconds = 20000;

constexpr GUID kDisplayState = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
constexpr GUID kGfxModeSet = {
    0xE6DFDC31, 0x31D0, 0x46AC, {0x86, 0xAF, 0xDA, 0x1E, 0xB0, 0x5F, 0xC5, 0x99}};

constexpr const wchar_t* kSlateHotKey = L"Global\\C7A895C6-AADF-4716-AFD3-7010911BF578";
constexpr const wchar_t* kDockHotKey = L"Global\\D51F2B12-CFDB-4A41-8D09-4E49185BF450";
constexpr const wchar_t* kLockHotKey = L"Global\\FA9B054F-1052-4669-A7C8-E0415F7314F0";
constexpr const wchar_t* kUnlockHotKey = L"Global\\A1733214-D3C7-4123-8E8F-31E371B18493";
constexpr const wchar_t* kToggleHotKey = L"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64";
constexpr const wchar_t* kTouchEnableEvent = L"Global\\E1B3BA36-271D-421D-B020-610D3533D14F";
constexpr const wchar_t* kTouchDisableEvent = L"Global\\D541C07D-A31D-4F4E-BF71-0BE5AA3EF88C";

// A type past the last one: delivered as raw data with the parameter, so a test can tell when
// everything sent before it has been handled.
constexpr WPARAM kMarkerType = 30;

struct Delivered {
    SystemEventType type;
    Bytes data;

    bool operator==(const Delivered&) const = default;
};

void PrintTo(const Delivered& delivered, std::ostream* out) {
    *out << "{" << static_cast<unsigned>(delivered.type) << ",";
    for (unsigned char b : delivered.data) *out << " " << static_cast<unsigned>(b);
    *out << "}";
}

Bytes ParameterBytes(std::uint64_t value) {
    Bytes bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    return bytes;
}

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
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return ::GetLastError();
    }
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, kPatienceMilliseconds) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        return WAIT_TIMEOUT;
    }
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    return exitCode;
}

// The threads this process has now.
std::size_t ThreadCount() {
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return 0;
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId()) ++count;
    }
    return count;
}

// Waits a while for the process to have that many threads (one that has just ended may take a
// moment to leave the list); the count it has then.
std::size_t ThreadCountBecomes(std::size_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    std::size_t count = ThreadCount();
    while (count != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        count = ThreadCount();
    }
    return count;
}

// A monitor on the process's platform, started on a thread of its own, with a callback that
// records every delivery.
class MonitorRun {
public:
    MonitorRun()
        : _platform(platform::World::Current().GetPlatform()),
          _devices(_platform.hid, _platform.kernel),
          monitor(_platform.kernel, _platform.windowing, _platform.security, _platform.registry,
                  _platform.hid, _devices, nullptr) {
        monitor.RegisterCallback(
            [this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
                std::lock_guard<std::mutex> lock(_mutex);
                _delivered.push_back({type, Bytes(data, data + size)});
                _changed.notify_all();
            });
    }
    ~MonitorRun() {
        if (_run.joinable()) Stop();
    }
    MonitorRun(const MonitorRun&) = delete;
    MonitorRun& operator=(const MonitorRun&) = delete;

    // Starts, and returns once the loop handles messages: the window exists before its loop
    // runs, and the monitor takes it for its own only just before.
    bool Start() {
        _run = std::thread([this] { monitor.Start(); });
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!(_window = ::FindWindowW(SystemEventMonitor::kWindowClassName, nullptr))) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const bool running = Settle().has_value();
        Take();
        return running;
    }

    void Stop() {
        monitor.Stop();
        _run.join();
    }

    HWND Window() const { return _window; }

    // Posts a marker and waits for it: what was delivered before it, or nothing on a hang.
    std::optional<std::vector<Delivered>> Settle() {
        const LPARAM marker = ++_markers;
        if (!::PostMessageW(_window, WM_MONITOR_EVENT, kMarkerType, marker)) return std::nullopt;
        const Delivered expected{EvtRawData, ParameterBytes(marker)};
        std::unique_lock<std::mutex> lock(_mutex);
        if (!_changed.wait_for(lock, kPatience, [&] {
                return !_delivered.empty() && _delivered.back() == expected;
            })) {
            return std::nullopt;
        }
        std::vector<Delivered> before(_delivered.begin(), _delivered.end() - 1);
        _delivered.clear();
        return before;
    }

    // Waits until count deliveries have come (for sources that post on their own time).
    std::vector<Delivered> WaitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait_for(lock, kPatience, [&] { return _delivered.size() >= count; });
        return std::exchange(_delivered, {});
    }

    std::vector<Delivered> Take() {
        std::lock_guard<std::mutex> lock(_mutex);
        return std::exchange(_delivered, {});
    }

private:
    const platform::Platform& _platform;
    HidDeviceList _devices;

public:
    SystemEventMonitor monitor;

private:
    std::thread _run;
    HWND _window = nullptr;
    LPARAM _markers = 0;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Delivered> _delivered;
};

// ---- Messages from another thread and from another process ----

POWERBROADCAST_SETTING DisplayState(DWORD value) {
    POWERBROADCAST_SETTING setting{};
    setting.PowerSetting = kDisplayState;
    setting.DataLength = sizeof(DWORD);
    std::memcpy(setting.Data, &value, sizeof value);
    return setting;
}

DEV_BROADCAST_DEVICEINTERFACE_W GfxModeSetArrival() {
    DEV_BROADCAST_DEVICEINTERFACE_W record{};
    record.dbcc_size = sizeof record;
    record.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record.dbcc_classguid = kGfxModeSet;
    return record;
}

enum class From { PostingThread, SendingThread, PeerProcess };

struct MessageCase {
    const char* name;
    From from;
    UINT message;
    WPARAM wParam;
    // For a thread: the parameter; a peer is given its command line instead.
    LPARAM lParam;
    std::wstring peerCommand;
    std::vector<Delivered> expected;
};

// The metrics as Windows reports them here, and the mode events that follow from them.
SystemEventType SlateEvent() {
    return ::GetSystemMetrics(SM_CONVERTIBLESLATEMODE) != 0 ? EvtClamshellMode : EvtTabletMode;
}
SystemEventType DockEvent() {
    return ::GetSystemMetrics(SM_SYSTEMDOCKED) != 0 ? EvtDocked : EvtUndocked;
}

TEST(SystemEventMonitorWin32, MessagesFromOtherThreadsAndProcessesReachTheCallback) {
    static const POWERBROADCAST_SETTING kDisplayOff = DisplayState(0);
    static const POWERBROADCAST_SETTING kDisplayOn = DisplayState(1);
    static const POWERBROADCAST_SETTING kDisplayDimmed = DisplayState(2);
    static const DEV_BROADCAST_DEVICEINTERFACE_W kGfxArrival = GfxModeSetArrival();
    auto address = [](const void* p) { return reinterpret_cast<LPARAM>(p); };
    const std::vector<MessageCase> cases = {
        {"PostedSuspend",
         From::PostingThread,
         WM_POWERBROADCAST,
         PBT_APMSUSPEND,
         0,
         L"",
         {{EvtSuspend, {}}}},
        {"PostedPrivateEvent",
         From::PostingThread,
         WM_MONITOR_EVENT,
         EvtBezelToggled,
         0,
         L"",
         {{EvtBezelToggled, ParameterBytes(0)}}},
        {"SentSlateSetting",
         From::SendingThread,
         WM_SETTINGCHANGE,
         0,
         address(L"ConvertibleSlateMode"),
         L"",
         {{SlateEvent(), {}}}},
        {"SentDisplayOff",
         From::SendingThread,
         WM_POWERBROADCAST,
         PBT_POWERSETTINGCHANGE,
         address(&kDisplayOff),
         L"",
         {{EvtDisplayOff, {}}}},
        {"SentDisplayDimmed",
         From::SendingThread,
         WM_POWERBROADCAST,
         PBT_POWERSETTINGCHANGE,
         address(&kDisplayDimmed),
         L"",
         {}},
        {"SentDisplayOn",
         From::SendingThread,
         WM_POWERBROADCAST,
         PBT_POWERSETTINGCHANGE,
         address(&kDisplayOn),
         L"",
         {{EvtDisplayOn, {}}}},
        {"SentGfxModeSet",
         From::SendingThread,
         WM_DEVICECHANGE,
         DBT_DEVICEARRIVAL,
         address(&kGfxArrival),
         L"",
         {{EvtGfxModeChanged, {}}}},
        {"PeerResume", From::PeerProcess, 0, 0, 0, L"post 0x218 0x12 0", {{EvtResume, {}}}},
        {"PeerResumeSuspendRaisesNothing", From::PeerProcess, 0, 0, 0, L"post 0x218 7 0", {}},
        {"PeerOemEvent",
         From::PeerProcess,
         0,
         0,
         0,
         L"post 0x218 11 0x2a",
         {{EvtOemPowerEvent, ParameterBytes(0x2A)}}},
        {"PeerUnknownBroadcast",
         From::PeerProcess,
         0,
         0,
         0,
         L"post 0x218 0x0a0b 0",
         {{EvtRawData, ParameterBytes(0x0A0B)}}},
        {"PeerPrivateEventPastTheLast",
         From::PeerProcess,
         0,
         0,
         0,
         L"post 0x401 25 0x0102",
         {{EvtRawData, ParameterBytes(0x0102)}}},
        {"PeerLockEvent",
         From::PeerProcess,
         0,
         0,
         0,
         L"post 0x401 5 0",
         {{EvtLocked, ParameterBytes(0)}}},
        {"PeerDockSetting",
         From::PeerProcess,
         0,
         0,
         0,
         L"setting SystemDockMode",
         {{DockEvent(), {}}}},
        {"PeerSlateSettingInCapitals",
         From::PeerProcess,
         0,
         0,
         0,
         L"setting CONVERTIBLESLATEMODE",
         {{SlateEvent(), {}}}},
        {"PeerSlateSettingWithALowerFirstLetter",
         From::PeerProcess,
         0,
         0,
         0,
         L"setting convertibleSlateMode",
         {}},
    };

    MonitorRun run;
    ASSERT_TRUE(run.Start());
    for (const MessageCase& c : cases) {
        switch (c.from) {
            case From::PostingThread:
            case From::SendingThread:
                std::thread([&] {
                    if (c.from == From::PostingThread) {
                        EXPECT_TRUE(::PostMessageW(run.Window(), c.message, c.wParam, c.lParam));
                    } else {
                        ::SendMessageW(run.Window(), c.message, c.wParam, c.lParam);
                    }
                }).join();
                break;
            case From::PeerProcess:
                ASSERT_EQ(Peer(c.peerCommand), 0u) << c.name;
                break;
        }
        // A post is queued, a send handled, and a peer ended before the marker is posted.
        const auto delivered = run.Settle();
        ASSERT_TRUE(delivered.has_value()) << c.name;
        EXPECT_EQ(*delivered, c.expected) << c.name;
    }
}

// ---- Hot keys set by another process ----

// The hot-key events, once the hot-keys thread has made them all.
bool HotKeysExist() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (const wchar_t* name :
         {kSlateHotKey, kDockHotKey, kLockHotKey, kUnlockHotKey, kToggleHotKey}) {
        for (;;) {
            const UniqueHandle event(::OpenEventW(SYNCHRONIZE, FALSE, name));
            if (event) break;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return true;
}

TEST(SystemEventMonitorWin32, HotKeysSetByAnotherProcessArriveAsTheirEvents) {
    MonitorRun run;
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(HotKeysExist());
    // The hot-keys thread has taken its start-up modes by the time its events exist.
    const bool tablet = run.monitor.IsTabletMode();
    const bool undocked = run.monitor.IsUndocked();
    const Bytes none = ParameterBytes(0);
    struct Press {
        const wchar_t* event;
        Delivered expected;
    };
    // Each toggle posts the mode it leaves for: leaving slate is clamshell (1), entering it is
    // tablet (2); from undocked the dock toggle docks (3), from docked it undocks (4).
    const std::vector<Press> presses = {
        {kLockHotKey, {EvtLocked, none}},
        {kUnlockHotKey, {EvtUnlocked, none}},
        {kToggleHotKey, {EvtBezelToggled, none}},
        {kSlateHotKey, {tablet ? EvtClamshellMode : EvtTabletMode, none}},
        {kSlateHotKey, {tablet ? EvtTabletMode : EvtClamshellMode, none}},
        {kDockHotKey, {undocked ? EvtDocked : EvtUndocked, none}},
    };
    for (const Press& press : presses) {
        ASSERT_EQ(Peer(std::wstring(L"set ") + press.event), 0u);
        EXPECT_EQ(run.WaitFor(1), std::vector<Delivered>{press.expected});
    }
    // The toggles override the metrics: two slate toggles end where they began, one dock
    // toggle does not.
    EXPECT_EQ(run.monitor.IsTabletMode(), tablet);
    EXPECT_EQ(run.monitor.IsUndocked(), !undocked);
    // A system notification gives the metric its say again.
    ASSERT_EQ(Peer(L"setting SystemDockMode"), 0u);
    const auto settled = run.Settle();
    ASSERT_TRUE(settled.has_value());
    EXPECT_EQ(*settled, (std::vector<Delivered>{{DockEvent(), {}}}));
    EXPECT_EQ(run.monitor.IsUndocked(), ::GetSystemMetrics(SM_SYSTEMDOCKED) == 0);
}

// ---- Stop ----

TEST(SystemEventMonitorWin32, StopEndsTheLoopAndEveryThreadAndTheMonitorRunsAgain) {
    MonitorRun run;
    std::size_t threadsAfterFirstRun = 0;
    for (int round = 1; round <= 3; ++round) {
        ASSERT_TRUE(run.Start()) << round;
        ASSERT_TRUE(HotKeysExist()) << round;
        // Hot keys and the window both work in each round.
        ASSERT_EQ(Peer(std::wstring(L"set ") + kLockHotKey), 0u) << round;
        EXPECT_EQ(run.WaitFor(1), (std::vector<Delivered>{{EvtLocked, ParameterBytes(0)}}))
            << round;
        run.Stop();
        EXPECT_EQ(::FindWindowW(SystemEventMonitor::kWindowClassName, nullptr), nullptr) << round;
        // Nobody waits on the hot keys any more: the events went with the thread's handles.
        const UniqueHandle lock(::OpenEventW(SYNCHRONIZE, FALSE, kLockHotKey));
        EXPECT_FALSE(lock) << round;
        // Wine starts a listener thread of its own at the first device registration and keeps
        // it; apart from that, each run ends with the threads it began with.
        if (round == 1) {
            threadsAfterFirstRun = ThreadCount();
        } else {
            EXPECT_EQ(ThreadCountBecomes(threadsAfterFirstRun), threadsAfterFirstRun) << round;
        }
    }
}

// ---- The undock timer, through the monitor's loop ----

constexpr const wchar_t* kTouchKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch";

// The touch controller's product id in the configuration the controller reads, for this object's
// life; the configuration is left as it was found.
class TouchProductId {
public:
    explicit TouchProductId(DWORD id) {
        // The first key of the path that is missing goes again, with everything made below it.
        for (const wchar_t* key : {L"SOFTWARE\\Corvane", L"SOFTWARE\\Corvane\\Nolt",
                                   L"SOFTWARE\\Corvane\\Nolt\\AMB", kTouchKey}) {
            HKEY opened = nullptr;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
                _made = key;
                break;
            }
            ::RegCloseKey(opened);
        }
        DWORD size = sizeof _previous;
        _hadValue = ::RegGetValueW(HKEY_LOCAL_MACHINE, kTouchKey, L"PID", RRF_RT_REG_DWORD, nullptr,
                                   &_previous, &size) == ERROR_SUCCESS;
        set = Set(id);
    }
    ~TouchProductId() {
        if (_made != nullptr) {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, _made);
        } else if (_hadValue) {
            Set(_previous);
        } else {
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kTouchKey, L"PID");
        }
    }
    TouchProductId(const TouchProductId&) = delete;
    TouchProductId& operator=(const TouchProductId&) = delete;

    bool set = false;

private:
    static bool Set(DWORD id) {
        return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kTouchKey, L"PID", REG_DWORD, &id,
                                 sizeof id) == ERROR_SUCCESS;
    }

    const wchar_t* _made = nullptr;
    bool _hadValue = false;
    DWORD _previous = 0;
};

// The controller on the process's platform, run as the service runs it. It is told of a touch
// controller that is not on the HID bus, so the touch manager signals its two named events
// instead: disable when the frame shows, enable when it goes.
TEST(SystemEventMonitorWin32, UndockTimerDocksAgainThroughTheLoop) {
    const TouchProductId absent(0x7FFF);
    ASSERT_TRUE(absent.set);
    // Made first and manual-reset, so that no signal is missed.
    const UniqueHandle enable(::CreateEventW(nullptr, TRUE, FALSE, kTouchEnableEvent));
    const UniqueHandle disable(::CreateEventW(nullptr, TRUE, FALSE, kTouchDisableEvent));
    ASSERT_TRUE(enable && disable);

    VbController* controller = VbController::GetInstance(nullptr);
    std::thread run([controller] {
        controller->Initialize();
        controller->RunSystemEventsMonitor();
        controller->Uninitialize();
    });
    HWND window = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!(window = ::FindWindowW(SystemEventMonitor::kWindowClassName, nullptr)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(window, nullptr);
    // Both metrics read 0 here: the service started in tablet mode with the frame shown.
    EXPECT_EQ(::WaitForSingleObject(disable.get(), kPatienceMilliseconds), WAIT_OBJECT_0);
    ASSERT_TRUE(::ResetEvent(disable.get()));

    // Docked: the frame goes (AttachedNoAMB); then the release latch shows it again and arms the
    // timer (DetachingHasAMB).
    ASSERT_TRUE(::PostMessageW(window, WM_MONITOR_EVENT, EvtDocked, 0));
    EXPECT_EQ(::WaitForSingleObject(enable.get(), kPatienceMilliseconds), WAIT_OBJECT_0);
    ASSERT_TRUE(::ResetEvent(enable.get()));
    const auto unlocked = std::chrono::steady_clock::now();
    ASSERT_TRUE(::PostMessageW(window, WM_MONITOR_EVENT, EvtUnlocked, 0));
    EXPECT_EQ(::WaitForSingleObject(disable.get(), kPatienceMilliseconds), WAIT_OBJECT_0);

    // No undock follows: the timer's Docked hides the frame. The timer was armed after the post,
    // so its period bounds the time from below, however busy the machine (a second less, for
    // the clocks' granularity: a timer that fired at once would be far below).
    EXPECT_EQ(::WaitForSingleObject(enable.get(), kPatienceMilliseconds), WAIT_OBJECT_0);
    EXPECT_GE(std::chrono::steady_clock::now() - unlocked,
              std::chrono::milliseconds(VbController::kUndockTimerMilliseconds - 1000));

    controller->StopSystemEventsMonitor();
    run.join();
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "AttachedNoAMB");
    EXPECT_EQ(controller->UndockTimerId(), 0u);
}

}  // namespace
