#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/win32/windowing_win32.h"
#include "platform/windowing.h"

using platform::win32::Win32Windowing;

namespace {

// The record layouts the system builds or reads, as Windows has them (32-bit Windows: shorter
// pointers).
static_assert(sizeof(WNDCLASSEXW) == (sizeof(void*) == 8 ? 80 : 48));
static_assert(sizeof(OSVERSIONINFOEXW) == 284);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);
static_assert(offsetof(POWERBROADCAST_SETTING, Data) == 20);
// The functions the monitor looks up at run time are called as the system declares them: a
// calling convention left out corrupts the stack on 32-bit Windows.
static_assert(std::is_same_v<platform::RegisterSuspendResumeNotificationFn,
                             decltype(&::RegisterSuspendResumeNotification)>);
static_assert(std::is_same_v<platform::UnregisterSuspendResumeNotificationFn,
                             decltype(&::UnregisterSuspendResumeNotification)>);

constexpr GUID kDisplayState = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
constexpr GUID kAwayMode = {
    0x98A7F580, 0x01F7, 0x48AA, {0x9C, 0x0F, 0x44, 0x35, 0x2C, 0x29, 0xE5, 0xC0}};
constexpr GUID kGfxModeSet = {
    0xE6DFDC31, 0x31D0, 0x46AC, {0x86, 0xAF, 0xDA, 0x1E, 0xB0, 0x5F, 0xC5, 0x99}};

// An address no program's memory has: in the system's half of the address space, and on 32-bit
// Windows in the last 64 KB, which a program never gets even where it may use all 4 GB.
constexpr std::uintptr_t kKernelAddress =
    sizeof(void*) == 8 ? static_cast<std::uintptr_t>(0xFFFF800000000000) : 0xFFFF0000;

constexpr UINT kRunOnWindowThread = WM_APP + 1;
constexpr auto kPatience = std::chrono::seconds(20);  // only a hang takes this long

struct Seen {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD thread;
};

// A hidden top-level window with its message loop on a thread of its own, run the way the
// system's monitor runs it: a thread timer's message gets the window's handle before dispatch,
// and the window's destruction ends the loop.
class WindowThread {
public:
    explicit WindowThread(Win32Windowing& windowing, LRESULT createResult = 0)
        : _windowing(windowing),
          _className(L"KelvoTestWindow" + std::to_wstring(++s_instances)),
          _title(_className + L" title"),
          _createResult(createResult),
          _thread([this] { Body(); }) {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait(lock, [this] { return _createDone; });
    }

    ~WindowThread() {
        if (_thread.joinable()) Close();
    }

    HWND Window() const { return _window; }
    DWORD ThreadId() const { return _threadId; }
    const std::wstring& ClassName() const { return _className; }
    const std::wstring& Title() const { return _title; }
    HINSTANCE Instance() const { return ::GetModuleHandleW(nullptr); }
    LPVOID CreateParam() const { return _createParam; }

    // Runs body on the window's thread, from its message loop, and waits until it has run.
    bool Run(const std::function<void()>& body) {
        bool done = false;
        std::function<void()> task = [&] {
            body();
            std::lock_guard<std::mutex> lock(_mutex);
            done = true;
            _changed.notify_all();
        };
        if (!_windowing.PostMessageW(_window, kRunOnWindowThread, 0,
                                     reinterpret_cast<LPARAM>(&task))) {
            return false;
        }
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, kPatience, [&] { return done; });
    }

    // Waits until the window procedure has seen count messages of this kind; returns them.
    std::vector<Seen> WaitForMessages(UINT message, std::size_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait_for(lock, kPatience, [&] { return Count(_seen, message) >= count; });
        return Only(_seen, message);
    }

    // What the loop retrieved as timer messages, and what the timer procedure was given.
    std::vector<Seen> WaitForTimer(std::size_t count, std::vector<Seen>* procedureCalls) {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait_for(lock, kPatience, [&] { return _timerCalls.size() >= count; });
        *procedureCalls = _timerCalls;
        return _retrievedTimers;
    }

    // Posts WM_CLOSE and waits for the loop to end; the class is unregistered after it.
    void Close() {
        if (_window) _windowing.PostMessageW(_window, WM_CLOSE, 0, 0);
        _thread.join();
    }

    BOOL Unregistered() const { return _unregistered; }

    static void CALLBACK TimerProc(HWND hwnd, UINT message, UINT_PTR id, DWORD) {
        WindowThread* self = t_self;
        std::lock_guard<std::mutex> lock(self->_mutex);
        self->_timerCalls.push_back(Seen{hwnd, message, id, 0, ::GetCurrentThreadId()});
        self->_changed.notify_all();
    }

private:
    static std::size_t Count(const std::vector<Seen>& seen, UINT message) {
        return Only(seen, message).size();
    }
    static std::vector<Seen> Only(const std::vector<Seen>& seen, UINT message) {
        std::vector<Seen> out;
        for (const Seen& s : seen) {
            if (s.message == message) out.push_back(s);
        }
        return out;
    }

    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        WindowThread* self = t_self;
        {
            std::lock_guard<std::mutex> lock(self->_mutex);
            self->_seen.push_back(Seen{hwnd, message, wParam, lParam, ::GetCurrentThreadId()});
            self->_changed.notify_all();
        }
        switch (message) {
            case WM_CREATE:
                self->_createParam = reinterpret_cast<LPCREATESTRUCTW>(lParam)->lpCreateParams;
                return self->_createResult;
            case WM_DESTROY:
                self->_windowing.PostQuitMessage(0);
                return 0;
            case kRunOnWindowThread:
                (*reinterpret_cast<std::function<void()>*>(lParam))();
                return 0;
            default:
                return self->_windowing.DefWindowProcW(hwnd, message, wParam, lParam);
        }
    }

    void Body() {
        t_self = this;
        _threadId = ::GetCurrentThreadId();
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = Proc;
        windowClass.hInstance = Instance();
        windowClass.lpszClassName = _className.c_str();
        HWND window = nullptr;
        if (_windowing.RegisterClassExW(&windowClass)) {
            window = _windowing.CreateWindowExW(0, _className.c_str(), _title.c_str(), 0, 0, 0, 0,
                                                0, nullptr, nullptr, Instance(), this);
        }
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _window = window;
            _createDone = true;
            _changed.notify_all();
        }
        if (window) {
            MSG msg;
            while (_windowing.GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (msg.message == WM_TIMER) {
                    std::lock_guard<std::mutex> lock(_mutex);
                    _retrievedTimers.push_back(
                        Seen{msg.hwnd, msg.message, msg.wParam, msg.lParam, _threadId});
                    msg.hwnd = window;
                }
                _windowing.DispatchMessageW(&msg);
            }
        }
        _unregistered = _windowing.UnregisterClassW(_className.c_str(), Instance());
    }

    static inline int s_instances = 0;
    static inline thread_local WindowThread* t_self = nullptr;

    Win32Windowing& _windowing;
    const std::wstring _className;
    const std::wstring _title;
    const LRESULT _createResult;
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _createDone = false;
    HWND _window = nullptr;
    DWORD _threadId = 0;
    LPVOID _createParam = nullptr;
    std::vector<Seen> _seen;
    std::vector<Seen> _retrievedTimers;
    std::vector<Seen> _timerCalls;
    BOOL _unregistered = FALSE;
    std::thread _thread;  // last: starts once everything above is ready
};

TEST(Win32Windowing, HiddenWindowIsCreatedOnItsThreadAndFoundByClassAndTitle) {
    Win32Windowing windowing;
    WindowThread window(windowing);
    ASSERT_NE(window.Window(), nullptr);
    EXPECT_EQ(window.CreateParam(), &window);
    EXPECT_FALSE(::IsWindowVisible(window.Window()));
    EXPECT_EQ(::GetWindowThreadProcessId(window.Window(), nullptr), window.ThreadId());
    EXPECT_TRUE(windowing.IsWindow(window.Window()));

    struct Lookup {
        LPCWSTR className, title;
    };
    for (const Lookup& l :
         {Lookup{window.ClassName().c_str(), nullptr}, Lookup{nullptr, window.Title().c_str()},
          Lookup{window.ClassName().c_str(), window.Title().c_str()}}) {
        EXPECT_EQ(windowing.FindWindowW(l.className, l.title), window.Window());
    }
    EXPECT_EQ(windowing.FindWindowW(window.ClassName().c_str(), L"another title"), nullptr);

    // The user data slot holds a pointer, and only the first store sees the initial 0.
    const auto self = reinterpret_cast<LONG_PTR>(&window);
    EXPECT_EQ(windowing.SetWindowLongPtrW(window.Window(), GWLP_USERDATA, self), 0);
    EXPECT_EQ(windowing.GetWindowLongPtrW(window.Window(), GWLP_USERDATA), self);
    EXPECT_EQ(windowing.SetWindowLongPtrW(window.Window(), GWLP_USERDATA, 0), self);
}

class Win32WindowingPosters : public testing::TestWithParam<int> {};

TEST_P(Win32WindowingPosters, MessagesPostedFromOtherThreadsArriveInTheirOrderOnTheWindowThread) {
    Win32Windowing windowing;
    WindowThread window(windowing);
    ASSERT_NE(window.Window(), nullptr);
    const int posters = GetParam();
    constexpr int kEach = 50;
    std::vector<std::thread> threads;
    for (int p = 0; p < posters; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                EXPECT_TRUE(windowing.PostMessageW(window.Window(), WM_USER + 1,
                                                   static_cast<WPARAM>(p), i));
            }
        });
    }
    for (std::thread& t : threads) t.join();
    const std::vector<Seen> seen =
        window.WaitForMessages(WM_USER + 1, static_cast<std::size_t>(posters * kEach));
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(posters * kEach));
    std::vector<LPARAM> next(static_cast<std::size_t>(posters), 0);
    for (const Seen& s : seen) {
        EXPECT_EQ(s.hwnd, window.Window());
        EXPECT_EQ(s.thread, window.ThreadId());
        ASSERT_LT(s.wParam, next.size());
        EXPECT_EQ(s.lParam, next[s.wParam]++) << "poster " << s.wParam;
    }
}

INSTANTIATE_TEST_SUITE_P(OneAndMany, Win32WindowingPosters, testing::Values(1, 4));

TEST(Win32Windowing, CloseDestroysTheWindowEndsTheLoopAndFreesTheClass) {
    Win32Windowing windowing;
    WindowThread window(windowing);
    const HWND hwnd = window.Window();
    ASSERT_NE(hwnd, nullptr);
    // Only the owning thread may destroy it.
    ::SetLastError(0);
    EXPECT_FALSE(windowing.DestroyWindow(hwnd));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(windowing.IsWindow(hwnd));

    window.Close();
    EXPECT_EQ(window.WaitForMessages(WM_DESTROY, 1).size(), 1u);
    EXPECT_TRUE(window.Unregistered());
    EXPECT_FALSE(windowing.IsWindow(hwnd));
    EXPECT_EQ(windowing.FindWindowW(window.ClassName().c_str(), nullptr), nullptr);
}

// Whether WM_DESTROY comes first differs (Wine sends only WM_NCDESTROY); the window goes either
// way, and its class can be unregistered at once.
TEST(Win32Windowing, FailingCreateHandlerDestroysTheWindow) {
    Win32Windowing windowing;
    WindowThread window(windowing, -1);
    EXPECT_EQ(window.Window(), nullptr);
    window.Close();
    EXPECT_EQ(window.WaitForMessages(WM_CREATE, 1).size(), 1u);
    EXPECT_EQ(window.WaitForMessages(WM_NCDESTROY, 1).size(), 1u);
    EXPECT_EQ(windowing.FindWindowW(window.ClassName().c_str(), nullptr), nullptr);
    EXPECT_TRUE(window.Unregistered());
}

// Refusals the system meets, with the last error each leaves.
struct Refusal {
    const char* name;
    std::function<bool(Win32Windowing&, WindowThread&)> call;  // true when the call succeeded
    DWORD error;
};

TEST(Win32Windowing, RefusalsLeaveTheirLastError) {
    const Refusal refusals[] = {
        {"class registered twice",
         [](Win32Windowing& w, WindowThread& t) {
             WNDCLASSEXW again{};
             again.cbSize = sizeof again;
             again.lpfnWndProc = ::DefWindowProcW;
             again.hInstance = t.Instance();
             again.lpszClassName = t.ClassName().c_str();
             return w.RegisterClassExW(&again) != 0;
         },
         ERROR_CLASS_ALREADY_EXISTS},
        {"class unregistered while it has a window",
         [](Win32Windowing& w, WindowThread& t) {
             return w.UnregisterClassW(t.ClassName().c_str(), t.Instance()) != FALSE;
         },
         ERROR_CLASS_HAS_WINDOWS},
        {"unknown class unregistered",
         [](Win32Windowing& w, WindowThread& t) {
             return w.UnregisterClassW(L"KelvoNoSuchClass", t.Instance()) != FALSE;
         },
         ERROR_CLASS_DOES_NOT_EXIST},
        {"unknown thread timer killed",
         [](Win32Windowing& w, WindowThread&) { return w.KillTimer(nullptr, 0x1234) != FALSE; },
         ERROR_INVALID_PARAMETER},
        {"module that is not loaded",
         [](Win32Windowing& w, WindowThread&) {
             return w.GetModuleHandleW(L"KelvoNoSuchModule.dll") != nullptr;
         },
         126},  // ERROR_MOD_NOT_FOUND
        {"function that the module does not export",
         [](Win32Windowing& w, WindowThread&) {
             return w.GetProcAddress(w.GetModuleHandleW(L"User32.dll"), "KelvoNoSuchFunction") !=
                    nullptr;
         },
         ERROR_PROC_NOT_FOUND},
    };
    Win32Windowing windowing;
    WindowThread window(windowing);
    ASSERT_NE(window.Window(), nullptr);
    for (const Refusal& r : refusals) {
        ::SetLastError(0);
        EXPECT_FALSE(r.call(windowing, window)) << r.name;
        EXPECT_EQ(::GetLastError(), r.error) << r.name;
    }
}

TEST(Win32Windowing, DestroyedWindowRefusesMessagesAndUserData) {
    Win32Windowing windowing;
    HWND dead = nullptr;
    {
        WindowThread window(windowing);
        dead = window.Window();
        ASSERT_NE(dead, nullptr);
    }
    struct Case {
        const char* name;
        std::function<bool()> call;
    };
    const Case cases[] = {
        {"PostMessageW", [&] { return windowing.PostMessageW(dead, WM_USER, 0, 0) != FALSE; }},
        {"SetWindowLongPtrW",
         [&] { return windowing.SetWindowLongPtrW(dead, GWLP_USERDATA, 1) != 0; }},
        {"GetWindowLongPtrW",
         [&] { return windowing.GetWindowLongPtrW(dead, GWLP_USERDATA) != 0; }},
    };
    EXPECT_FALSE(windowing.IsWindow(dead));
    for (const Case& c : cases) {
        ::SetLastError(0);
        EXPECT_FALSE(c.call()) << c.name;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE)) << c.name;
    }
}

TEST(Win32Windowing, ThreadTimerArrivesWithoutWindowAndReachesItsProcedureWithTheLoopsWindow) {
    Win32Windowing windowing;
    WindowThread window(windowing);
    ASSERT_NE(window.Window(), nullptr);
    UINT_PTR id = 0;
    // Armed from the window thread, as the controller arms its undock timer from a callback.
    ASSERT_TRUE(
        window.Run([&] { id = windowing.SetTimer(nullptr, 3721, 10, WindowThread::TimerProc); }));
    ASSERT_NE(id, 0u);
    EXPECT_NE(id, 3721u);  // without a window the system picks the identifier

    std::vector<Seen> calls;
    const std::vector<Seen> retrieved = window.WaitForTimer(2, &calls);
    BOOL killed = FALSE;
    BOOL killedAgain = TRUE;
    ASSERT_TRUE(window.Run([&] {
        killed = windowing.KillTimer(nullptr, id);
        killedAgain = windowing.KillTimer(nullptr, id);
    }));
    EXPECT_TRUE(killed);
    EXPECT_FALSE(killedAgain);

    ASSERT_GE(calls.size(), 2u);
    ASSERT_GE(retrieved.size(), calls.size());
    for (const Seen& r : retrieved) {
        EXPECT_EQ(r.hwnd, nullptr);
        EXPECT_EQ(r.wParam, id);
        EXPECT_NE(r.lParam, 0);  // the procedure, in a form only dispatching resolves (Wine)
    }
    for (const Seen& c : calls) {
        EXPECT_EQ(c.hwnd, window.Window());
        EXPECT_EQ(c.message, static_cast<UINT>(WM_TIMER));
        EXPECT_EQ(c.wParam, id);
        EXPECT_EQ(c.thread, window.ThreadId());
    }
}

TEST(Win32Windowing, ThreadTimerAskedForByItsOwnIdentifierIsReplaced) {
    Win32Windowing windowing;
    WindowThread window(windowing);
    ASSERT_NE(window.Window(), nullptr);
    UINT_PTR first = 0, again = 0, other = 0;
    BOOL killedFirst = FALSE, killedOther = FALSE, killedThird = TRUE;
    ASSERT_TRUE(window.Run([&] {
        first = windowing.SetTimer(nullptr, 0, 60000, WindowThread::TimerProc);
        again = windowing.SetTimer(nullptr, first, 60000, WindowThread::TimerProc);
        other = windowing.SetTimer(nullptr, 0, 60000, WindowThread::TimerProc);
        killedFirst = windowing.KillTimer(nullptr, first);
        killedOther = windowing.KillTimer(nullptr, other);
        killedThird = windowing.KillTimer(nullptr, first);
    }));
    EXPECT_NE(first, 0u);
    EXPECT_EQ(again, first);
    EXPECT_NE(other, first);
    EXPECT_TRUE(killedFirst);
    EXPECT_TRUE(killedOther);
    EXPECT_FALSE(killedThird);  // one timer went with the first kill
}

template <class Fn>
Fn User32Function(Win32Windowing& windowing, const char* name) {
    return platform::FoundFunction<Fn>(
        windowing.GetProcAddress(windowing.GetModuleHandleW(L"User32.dll"), name));
}

TEST(Win32Windowing, WindowRegistersForEveryNotificationTheMonitorAsksFor) {
    Win32Windowing windowing;
    WindowThread window(windowing);
    const HWND hwnd = window.Window();
    ASSERT_NE(hwnd, nullptr);
    const auto registerSuspendResume =
        User32Function<platform::RegisterSuspendResumeNotificationFn>(
            windowing, "RegisterSuspendResumeNotification");
    const auto unregisterSuspendResume =
        User32Function<platform::UnregisterSuspendResumeNotificationFn>(
            windowing, "UnregisterSuspendResumeNotification");
    ASSERT_NE(registerSuspendResume, nullptr);
    ASSERT_NE(unregisterSuspendResume, nullptr);

    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = 32;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kGfxModeSet;
    HPOWERNOTIFY suspendResume = nullptr, awayMode = nullptr, displayState = nullptr;
    HDEVNOTIFY device = nullptr;
    BOOL released[4] = {};
    ASSERT_TRUE(window.Run([&] {
        suspendResume = registerSuspendResume(hwnd, DEVICE_NOTIFY_WINDOW_HANDLE);
        awayMode = windowing.RegisterPowerSettingNotification(hwnd, &kAwayMode,
                                                              DEVICE_NOTIFY_WINDOW_HANDLE);
        displayState = windowing.RegisterPowerSettingNotification(hwnd, &kDisplayState,
                                                                  DEVICE_NOTIFY_WINDOW_HANDLE);
        device = windowing.RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        if (suspendResume) released[0] = unregisterSuspendResume(suspendResume);
        if (awayMode) released[1] = windowing.UnregisterPowerSettingNotification(awayMode);
        if (displayState) released[2] = windowing.UnregisterPowerSettingNotification(displayState);
        if (device) released[3] = windowing.UnregisterDeviceNotification(device);
    }));
    EXPECT_NE(suspendResume, nullptr);
    EXPECT_NE(awayMode, nullptr);
    EXPECT_NE(displayState, nullptr);
    EXPECT_NE(device, nullptr);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(released[i]) << "release " << i;
}

struct VersionCase {
    DWORD major, minor;
    bool atLeast;
};

class Win32WindowingVersion : public testing::TestWithParam<VersionCase> {};

// A program without a compatibility manifest, as this one, is told 6.2 on any later Windows (Wine
// does the same with the test prefix's Windows 10); 6.2 is all the system asks for.
TEST_P(Win32WindowingVersion, GreaterOrEqualTestOfMajorAndMinorTogether) {
    const VersionCase c = GetParam();
    Win32Windowing windowing;
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = c.major;
    info.dwMinorVersion = c.minor;
    const ULONGLONG mask = windowing.VerSetConditionMask(
        windowing.VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), VER_MINORVERSION,
        VER_GREATER_EQUAL);
    EXPECT_EQ(mask, 0x1Bu);  // three bits a field, minor first
    ::SetLastError(0);
    EXPECT_EQ(windowing.VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask) != 0,
              c.atLeast);
    if (!c.atLeast) {
        EXPECT_EQ(::GetLastError(), 1150u);  // ERROR_OLD_WIN_VERSION
    }
}

INSTANTIATE_TEST_SUITE_P(Windows10, Win32WindowingVersion,
                         testing::Values(VersionCase{5, 1, true}, VersionCase{6, 0, true},
                                         VersionCase{6, 2, true}, VersionCase{11, 0, false},
                                         VersionCase{99, 2, false}),
                         [](const testing::TestParamInfo<VersionCase>& info) {
                             return std::to_string(info.param.major) + "_" +
                                    std::to_string(info.param.minor);
                         });

struct UuidCase {
    const char* name;
    GUID uuid;
    const wchar_t* text;
};

class Win32WindowingUuid : public testing::TestWithParam<UuidCase> {};

TEST_P(Win32WindowingUuid, TextIsLowerCaseWithoutBraces) {
    Win32Windowing windowing;
    RPC_WSTR text = nullptr;
    ASSERT_EQ(windowing.UuidToStringW(&GetParam().uuid, &text), RPC_S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(text)), GetParam().text);
    EXPECT_EQ(windowing.RpcStringFreeW(&text), RPC_S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Guids, Win32WindowingUuid,
    testing::Values(
        UuidCase{"GfxModeSet", kGfxModeSet, L"e6dfdc31-31d0-46ac-86af-da1eb05fc599"},
        UuidCase{"DisplayState", kDisplayState, L"6fe69556-704a-47a0-8f24-c28d936fda47"},
        UuidCase{"Zero", GUID{}, L"00000000-0000-0000-0000-000000000000"},
        UuidCase{"AllOnes",
                 GUID{0xFFFFFFFF, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
                 L"ffffffff-ffff-ffff-ffff-ffffffffffff"}),
    [](const testing::TestParamInfo<UuidCase>& info) { return std::string(info.param.name); });

// Pages of every kind a message parameter could point into.
class ForeignPages {
public:
    ForeignPages() {
        ::GetSystemInfo(&_system);
        _page = _system.dwPageSize;
        // readable page, no-access page
        _pair = static_cast<BYTE*>(
            ::VirtualAlloc(nullptr, 2 * _page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        for (SIZE_T i = 0; i < _page; ++i) _pair[i] = static_cast<BYTE>(i * 7);
        DWORD old = 0;
        ::VirtualProtect(_pair + _page, _page, PAGE_NOACCESS, &old);
        _reserved = static_cast<BYTE*>(::VirtualAlloc(nullptr, _page, MEM_RESERVE, PAGE_NOACCESS));
        _guard = static_cast<BYTE*>(
            ::VirtualAlloc(nullptr, _page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE | PAGE_GUARD));
        _freed = static_cast<BYTE*>(
            ::VirtualAlloc(nullptr, _page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ::VirtualFree(_freed, 0, MEM_RELEASE);
    }
    ~ForeignPages() {
        ::VirtualFree(_pair, 0, MEM_RELEASE);
        ::VirtualFree(_reserved, 0, MEM_RELEASE);
        ::VirtualFree(_guard, 0, MEM_RELEASE);
    }
    BYTE* Readable() const { return _pair; }
    BYTE* NoAccess() const { return _pair + _page; }
    BYTE* Reserved() const { return _reserved; }
    BYTE* Guard() const { return _guard; }
    BYTE* Freed() const { return _freed; }
    SIZE_T Page() const { return _page; }

private:
    SYSTEM_INFO _system{};
    SIZE_T _page = 0;
    BYTE* _pair = nullptr;
    BYTE* _reserved = nullptr;
    BYTE* _guard = nullptr;
    BYTE* _freed = nullptr;
};

struct ForeignCase {
    const char* name;
    std::function<const BYTE*(const ForeignPages&)> address;
    SIZE_T size;
    bool readable;
};

TEST(Win32Windowing, ForeignMemoryIsCopiedOnlyWhenAllOfItCanBeRead) {
    const ForeignCase cases[] = {
        {"whole readable page", [](const ForeignPages& p) { return p.Readable(); }, 4096, true},
        {"last bytes before a no-access page",
         [](const ForeignPages& p) { return p.NoAccess() - 20; }, 20, true},
        {"record running into a no-access page",
         [](const ForeignPages& p) { return p.NoAccess() - 20; }, 21, false},
        {"no-access page", [](const ForeignPages& p) { return p.NoAccess(); }, 4, false},
        {"reserved page", [](const ForeignPages& p) { return p.Reserved(); }, 4, false},
        {"guard page", [](const ForeignPages& p) { return p.Guard(); }, 4, false},
        {"freed page", [](const ForeignPages& p) { return p.Freed(); }, 4, false},
        {"null", [](const ForeignPages&) { return static_cast<const BYTE*>(nullptr); }, 4, false},
        {"low address",
         [](const ForeignPages&) { return reinterpret_cast<const BYTE*>(std::uintptr_t{0x1000}); },
         4, false},
        {"kernel address",
         [](const ForeignPages&) { return reinterpret_cast<const BYTE*>(kKernelAddress); }, 4,
         false},
        {"range wrapping the address space", [](const ForeignPages& p) { return p.Readable(); },
         ~SIZE_T{0} - 100, false},
    };
    Win32Windowing windowing;
    // Allocated first: nothing may take the freed page's place before the reads.
    std::vector<BYTE> buffer(4096);
    const ForeignPages pages;
    ASSERT_EQ(pages.Page(), buffer.size());
    for (const ForeignCase& c : cases) {
        const BYTE* address = c.address(pages);
        std::fill(buffer.begin(), buffer.end(), BYTE{0xEE});
        ::SetLastError(0);
        // A refused range is refused before anything is copied, however large it is.
        const bool read = windowing.ReadForeignMemory(address, buffer.data(), c.size);
        EXPECT_EQ(read, c.readable) << c.name;
        if (read) {
            EXPECT_EQ(std::memcmp(buffer.data(), address, c.size), 0) << c.name;
        } else {
            EXPECT_NE(::GetLastError(), 0u) << c.name;
        }
    }
}

// The Wine prefix the tests run in reports a tablet that is not docked; the service then starts
// in tablet mode, undocked.
TEST(Win32Windowing, SlateAndDockMetricsUnderWine) {
    if (!::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) {
        GTEST_SKIP() << "not under Wine: the metrics are the machine's";
    }
    Win32Windowing windowing;
    EXPECT_EQ(windowing.GetSystemMetrics(SM_CONVERTIBLESLATEMODE), 0);
    EXPECT_EQ(windowing.GetSystemMetrics(SM_SYSTEMDOCKED), 0);
}

}  // namespace
