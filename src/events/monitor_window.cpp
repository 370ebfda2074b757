#include "events/monitor_window.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "events/event_translation.h"
#include "events/hot_key_source.h"
#include "events/monitor_worker.h"
#include "log/log.h"
#include "platform/world.h"

namespace {

using namespace event_translation;

constexpr DWORD kDeviceFilterSize = 32;

}  // namespace

MonitorWindow::MonitorWindow(platform::Kernel& kernel, platform::Windowing& windowing,
                             HidDeviceList& devices, PVOID recipient, ModeOverrides& modes,
                             SystemEventCallback dispatch)
    : _kernel(kernel),
      _windowing(windowing),
      _recipient(recipient),
      _modes(modes),
      _dispatch(std::move(dispatch)),
      _lock(kernel),
      _deviceWatch(kernel, windowing, devices) {}

bool MonitorWindow::TakeStopRequest() {
    std::lock_guard<platform::Mutex> guard(_lock);
    return std::exchange(_stopRequested, false);
}

void MonitorWindow::Close() {
    std::lock_guard<platform::Mutex> guard(_lock);
    const HWND hwnd = _window.load();
    if (hwnd && _windowing.IsWindow(hwnd)) {
        PostClose(hwnd);
    } else {
        // Run has not made its window yet (or has ended): without this the window made next
        // would run until the process is killed.
        _stopRequested = true;
    }
}

void MonitorWindow::Post(WPARAM type) {
    _windowing.PostMessageW(_window.load(), WM_MONITOR_EVENT, type, 0);
}

void MonitorWindow::WatchDevices(HidDeviceHolder& holder) {
    _deviceWatch.AddHolder(holder, [this] {
        // Without a window yet, the one made next follows the handles as soon as it exists.
        if (const HWND hwnd = _window.load()) {
            _windowing.PostMessageW(hwnd, kDevicesChanged, 0, 0);
        }
    });
}

void MonitorWindow::Run() {
    const HINSTANCE instance = _windowing.GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = &MonitorWindow::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    if (!_windowing.RegisterClassExW(&windowClass)) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        return;
    }
    struct ClassRegistration {
        MonitorWindow& window;
        HINSTANCE instance;
        ~ClassRegistration() {
            if (!window._windowing.UnregisterClassW(kClassName, instance)) {
                LogHResult(HRESULT_FROM_WIN32(window._kernel.GetLastError()));
            }
        }
    } classRegistration{*this, instance};

    const HWND hwnd = _windowing.CreateWindowExW(0, kClassName, kTitle, 0, 0, 0, 0, 0, nullptr,
                                                 nullptr, instance, this);
    if (!hwnd) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        RethrowFromWindowProc();
        return;
    }
    // A window the loop did not see destroyed (an error or an exception ended it) is destroyed
    // here, and registrations that outlived their window are released, so that nothing of the
    // window is left when Run returns.
    struct WindowOwner {
        MonitorWindow& window;
        HWND hwnd;
        ~WindowOwner() {
            window._window = nullptr;
            if (window._windowing.IsWindow(hwnd)) {
                window._stopping = true;
                if (!window._windowing.DestroyWindow(hwnd)) {
                    LogHResult(HRESULT_FROM_WIN32(window._kernel.GetLastError()));
                }
                window._windowProcException = nullptr;
            }
            window.ReleaseRegistrations();
        }
    } windowOwner{*this, hwnd};
    RethrowFromWindowProc();

    // The slot held 0 before, so only the last error tells a failure. A window whose procedure
    // cannot find its owner would serve nothing and never end its loop.
    _kernel.SetLastError(ERROR_SUCCESS);
    if (!_windowing.SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this)) &&
        _kernel.GetLastError() != ERROR_SUCCESS) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        return;
    }
    bool stopAtOnce = false;
    {
        std::lock_guard<platform::Mutex> guard(_lock);
        _stopping = false;
        _window = hwnd;
        stopAtOnce = std::exchange(_stopRequested, false);
    }
    if (stopAtOnce) PostClose(hwnd);
    RunMessageLoop(hwnd);
}

void MonitorWindow::PostClose(HWND hwnd) {
    _stopping = true;
    while (!_windowing.PostMessageW(hwnd, WM_CLOSE, 0, 0)) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        if (!_windowing.IsWindow(hwnd)) return;
        _kernel.Sleep(kStopRetryMilliseconds);
    }
}

void MonitorWindow::RunMessageLoop(HWND hwnd) {
    MSG msg{};
    for (;;) {
        const BOOL got = _windowing.GetMessageW(&msg, nullptr, 0, 0);
        RethrowFromWindowProc();
        if (got == -1) {
            // Nothing was retrieved, and a queue that fails once fails again: leave rather than
            // dispatch a stale message or spin.
            LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
            return;
        }
        if (got == 0) {
            if (_stopping) return;
            continue;  // a quit that no stop asked for
        }
        if (msg.message == WM_TIMER) {
            // Thread timers of the callbacks reach their procedure with the monitor window.
            msg.hwnd = hwnd;
        } else if (msg.message == WM_CLOSE && !_stopping) {
            continue;
        }
        _windowing.DispatchMessageW(&msg);
        RethrowFromWindowProc();
        if (msg.message == WM_CLOSE && _windowing.IsWindow(hwnd)) {
            // The default handling could not destroy the window, so no quit will come: leave,
            // and the window's owner destroys it.
            LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
            return;
        }
    }
}

void MonitorWindow::RethrowFromWindowProc() {
    if (_windowProcException) std::rethrow_exception(std::exchange(_windowProcException, nullptr));
}

LRESULT CALLBACK MonitorWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    // A window procedure is given nothing but the window: the windowing it lives in is the
    // process's (a simulated world's, in a test), and its owner is in the window's user data.
    platform::Windowing& windowing = platform::World::Current().GetPlatform().windowing;
    auto* window =
        reinterpret_cast<MonitorWindow*>(windowing.GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_CREATE) {
        // Logged only: the window is always created with its owner as the parameter.
        if (lParam == 0) {
            LogAssertAt(__LINE__, LogSourceFileName(L"" __FILE__), L"(lParam != NULL)");
        } else {
            LogAssert((((LPCREATESTRUCT)lParam)->lpCreateParams != NULL));
            window = static_cast<MonitorWindow*>(
                reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        }
    }
    if (!window) return windowing.DefWindowProcW(hwnd, message, wParam, lParam);
    // No exception may unwind through the system's dispatch code: it is carried to the loop.
    try {
        return window->HandleMessage(hwnd, message, wParam, lParam);
    } catch (...) {
        window->_windowProcException = std::current_exception();
        if (message == WM_CREATE) return -1;
        // A sent message is handled inside GetMessageW, which would not return for it: wake
        // the loop so that the exception goes on its way now.
        windowing.PostMessageW(hwnd, WM_NULL, 0, 0);
        return 0;
    }
}

LRESULT MonitorWindow::HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate(hwnd);
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_SETTINGCHANGE:
            OnSettingChange(wParam, lParam);
            return 0;
        case WM_POWERBROADCAST:
            OnPowerBroadcast(wParam, lParam);
            return 0;
        case WM_DEVICECHANGE:
            OnDeviceChange(wParam, lParam);
            // Grants a removal query: a handle held on the device is closed by now.
            return TRUE;
        case kDevicesChanged:
            _deviceWatch.SyncHandles();
            return 0;
        case WM_MONITOR_EVENT: {
            const Raised raised = FromMonitorEvent(wParam, lParam);
            Raise(raised.type, raised.data);
            return 0;
        }
        default:
            return _windowing.DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

void MonitorWindow::Raise(SystemEventType type, const std::optional<std::uint64_t>& data) {
    if (!data) {
        _dispatch(type, nullptr, 0);
        return;
    }
    unsigned char bytes[sizeof *data];
    std::memcpy(bytes, &*data, sizeof bytes);
    _dispatch(type, bytes, sizeof bytes);
}

FARPROC MonitorWindow::FindInUser32(LPCSTR name) {
    const HMODULE user32 = _windowing.GetModuleHandleW(L"User32.dll");
    return user32 ? _windowing.GetProcAddress(user32, name) : nullptr;
}

LRESULT MonitorWindow::OnCreate(HWND hwnd) {
    bool failed = false;
    if (IsWindows8OrGreater()) {
        if (const FARPROC found = FindInUser32("RegisterSuspendResumeNotification")) {
            const auto registerFn =
                platform::FoundFunction<platform::RegisterSuspendResumeNotificationFn>(found);
            _suspendResumeRegistration = _recipient ? registerFn(_recipient, DEVICE_NOTIFY_CALLBACK)
                                                    : registerFn(hwnd, DEVICE_NOTIFY_WINDOW_HANDLE);
            if (!_suspendResumeRegistration) {
                LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
                failed = true;
            }
        }
    }
    _awayModeRegistration = _windowing.RegisterPowerSettingNotification(
        hwnd, &GUID_SYSTEM_AWAYMODE, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!_awayModeRegistration) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        failed = true;
    }
    _displayStateRegistration = _windowing.RegisterPowerSettingNotification(
        hwnd, &GUID_CONSOLE_DISPLAY_STATE, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!_displayStateRegistration) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        failed = true;
    }
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = kDeviceFilterSize;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = GUID_GFX_MODE_SET_INTERFACE;
    _deviceInterfaceRegistration =
        _windowing.RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!_deviceInterfaceRegistration) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        failed = true;
    }
    if (failed) {
        // The window will not exist and its WM_DESTROY cannot reach its owner: release what
        // did register now, or nothing ever would.
        ReleaseRegistrations();
        return -1;
    }
    // The HID devices are watched for their holders' sake only: the window serves without.
    _deviceWatch.Start(hwnd);
    if (!_windowing.PostMessageW(hwnd, kDevicesChanged, 0, 0)) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
    }
    return 0;
}

void MonitorWindow::OnDestroy() {
    if (!_stopping) {
        Log(TRACE_LEVEL_WARNING, L"!!! Received an unexpected WM_DESTROY message, Ignored. !!!");
        return;
    }
    ReleaseRegistrations();
    _windowing.PostQuitMessage(0);
}

void MonitorWindow::ReleaseRegistrations() {
    if (_suspendResumeRegistration && IsWindows8OrGreater()) {
        if (const FARPROC found = FindInUser32("UnregisterSuspendResumeNotification")) {
            const auto unregisterFn =
                platform::FoundFunction<platform::UnregisterSuspendResumeNotificationFn>(found);
            if (!unregisterFn(_suspendResumeRegistration)) {
                LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
            }
            _suspendResumeRegistration = nullptr;
        }
    }
    if (_awayModeRegistration) {
        if (!_windowing.UnregisterPowerSettingNotification(_awayModeRegistration)) {
            LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        }
        _awayModeRegistration = nullptr;
    }
    if (_displayStateRegistration) {
        if (!_windowing.UnregisterPowerSettingNotification(_displayStateRegistration)) {
            LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        }
        _displayStateRegistration = nullptr;
    }
    if (_deviceInterfaceRegistration) {
        if (!_windowing.UnregisterDeviceNotification(_deviceInterfaceRegistration)) {
            LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        }
        _deviceInterfaceRegistration = nullptr;
    }
    _deviceWatch.Stop();
}

void MonitorWindow::OnSettingChange(WPARAM wParam, LPARAM lParam) {
    Log(TRACE_LEVEL_INFORMATION, L"WM_SETTINGCHANGE (wParam=0x%08x, lParam=0x%08x) detected",
        static_cast<unsigned>(wParam & 0xFFFFFFFFu), static_cast<unsigned>(lParam & 0xFFFFFFFFu));
    if (!lParam) return;
    if (Protected_wcsicmp(lParam, kSlateModeSetting)) {
        Log(TRACE_LEVEL_INFORMATION, L"WM_SETTINGCHANGE(ConvertibleSlateMode) detected");
        const int metric = _windowing.GetSystemMetrics(SM_CONVERTIBLESLATEMODE);
        _modes.FromSystem(ModeOverrides::Slate, metric);
        Raise(FromSlateMetric(metric).type, std::nullopt);
    } else if (Protected_wcsicmp(lParam, kDockModeSetting)) {
        Log(TRACE_LEVEL_INFORMATION, L"WM_SETTINGCHANGE(SystemDockMode) detected");
        const int metric = _windowing.GetSystemMetrics(SM_SYSTEMDOCKED);
        _modes.FromSystem(ModeOverrides::Docked, metric);
        Raise(FromDockedMetric(metric).type, std::nullopt);
    }
}

void MonitorWindow::OnPowerBroadcast(WPARAM wParam, LPARAM lParam) {
    if (wParam == PBT_POWERSETTINGCHANGE) {
        Log(TRACE_LEVEL_INFORMATION, L"PBT_POWERSETTINGCHANGE detected");
        OnPowerSettingChange(lParam);
        return;
    }
    const PowerBroadcast broadcast = FromPowerBroadcast(wParam, lParam);
    if (broadcast.name) {
        Log(TRACE_LEVEL_INFORMATION, L"%s detected", broadcast.name);
    } else {
        Log(TRACE_LEVEL_INFORMATION, L"WM_POWERBROADCAST received");
    }
    if (broadcast.raised) Raise(broadcast.raised->type, broadcast.raised->data);
}

// The guarded readers copy the few fields they need out of memory that another party handed in
// through a message parameter. They read nothing past what the record says it holds, and a
// record that cannot be read raises no event.

void MonitorWindow::OnPowerSettingChange(LPARAM lParam) {
    unsigned char record[kSettingHeaderSize + sizeof(DWORD)];
    std::span<const unsigned char> read;
    if (lParam) {
        const auto* address = reinterpret_cast<const unsigned char*>(lParam);
        if (!_windowing.ReadForeignMemory(address, record, kSettingHeaderSize)) {
            Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PPOWERBROADCAST_SETTING");
            return;
        }
        if (SettingDataLength(std::span(record).first<kSettingHeaderSize>()) != sizeof(DWORD)) {
            return;
        }
        if (!_windowing.ReadForeignMemory(address + kSettingHeaderSize, record + kSettingHeaderSize,
                                          sizeof(DWORD))) {
            Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PPOWERBROADCAST_SETTING");
            return;
        }
        read = record;
    }
    if (const auto raised = FromPowerSetting(read)) Raise(raised->type, raised->data);
}

void MonitorWindow::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
    Log(TRACE_LEVEL_INFORMATION, L"WM_DEVICECHANGE detected");
    Log(TRACE_LEVEL_INFORMATION, L"wParam: 0x%08x, lParam: 0x%08x",
        static_cast<unsigned>(wParam & 0xFFFFFFFFu), static_cast<unsigned>(lParam & 0xFFFFFFFFu));
    if (!CarriesDeviceRecord(wParam) || !lParam) return;
    const auto* address = reinterpret_cast<const unsigned char*>(lParam);
    DEV_BROADCAST_HDR common{};
    if (!_windowing.ReadForeignMemory(address, &common, sizeof common)) {
        Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PDEV_BROADCAST_HDR");
        return;
    }
    Log(TRACE_LEVEL_INFORMATION, L"\tDevice type: 0x%08x", common.dbch_devicetype);
    if (common.dbch_devicetype == DBT_DEVTYP_HANDLE) {
        OnDeviceHandleChange(wParam, address, common.dbch_size);
        return;
    }
    if (common.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
    const std::optional<InterfaceRecord> record = ReadInterfaceRecord(address, common.dbch_size);
    if (!record) return;
    if (FromDeviceInterface(record->classGuid)) {
        Log(TRACE_LEVEL_INFORMATION, L"Gfx mode set detected");
        Raise(EvtGfxModeChanged, std::nullopt);
    } else if (record->classGuid == kHidInterfaceClass) {
        _deviceWatch.OnInterfaceChange(FromHidInterfaceChange(wParam), record->name);
    }
}

void MonitorWindow::OnDeviceHandleChange(WPARAM wParam, const unsigned char* address, DWORD size) {
    DEV_BROADCAST_HANDLE record{};
    if (size < kHandleRecordSize) return;
    if (!_windowing.ReadForeignMemory(address, &record, kHandleRecordSize)) {
        Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PDEV_BROADCAST_HANDLE");
        return;
    }
    _deviceWatch.OnHandleChange(FromDeviceHandleChange(wParam), record.dbch_hdevnotify,
                                record.dbch_handle);
}

bool MonitorWindow::IsWindows8OrGreater() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 2;
    ULONGLONG mask = _windowing.VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = _windowing.VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    return _windowing.VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION, mask) !=
           FALSE;
}

std::optional<MonitorWindow::InterfaceRecord> MonitorWindow::ReadInterfaceRecord(
    const unsigned char* address, DWORD size) {
    // A record too short for the interface fields is not an interface record.
    const std::optional<std::size_t> nameChars = DeviceNameChars(size);
    if (!nameChars) return std::nullopt;
    DEV_BROADCAST_DEVICEINTERFACE_W record{};
    std::wstring name(*nameChars, L'\0');
    if (!_windowing.ReadForeignMemory(address, &record, kInterfaceHeaderSize) ||
        (*nameChars != 0 &&
         !_windowing.ReadForeignMemory(address + kInterfaceHeaderSize, name.data(),
                                       *nameChars * sizeof(wchar_t)))) {
        Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PDEV_BROADCAST_HDR");
        return std::nullopt;
    }
    name.resize(std::find(name.begin(), name.end(), L'\0') - name.begin());
    Log(TRACE_LEVEL_INFORMATION, L"\tDevice name: %s", name.c_str());
    RPC_WSTR guidText = nullptr;
    if (_windowing.UuidToStringW(&record.dbcc_classguid, &guidText) == RPC_S_OK) {
        Log(TRACE_LEVEL_INFORMATION, L"\tDevice-class guid: %s",
            reinterpret_cast<const wchar_t*>(guidText));
        _windowing.RpcStringFreeW(&guidText);
    }
    return InterfaceRecord{record.dbcc_classguid, std::move(name)};
}

bool MonitorWindow::Protected_wcsicmp(LPARAM name, const wchar_t* expected) {
    if (!name || !expected) return false;
    const auto* address = reinterpret_cast<const unsigned char*>(name);
    // Character by character, up to the expected name's terminator: the foreign string may end
    // anywhere before, and nothing past a difference in length can matter.
    const std::size_t length = std::wcslen(expected);
    for (std::size_t i = 0; i <= length; ++i) {
        wchar_t actual = 0;
        if (!_windowing.ReadForeignMemory(address + i * sizeof(wchar_t), &actual, sizeof actual)) {
            Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: Protected_wcsicmp");
            return false;
        }
        if (!SettingNameCharacterMatches(i, actual, expected[i])) return false;
        if (actual == L'\0') return true;
    }
    return false;
}
