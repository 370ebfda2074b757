#include "events/system_event_monitor.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <mutex>
#include <utility>

#include "log/log.h"

namespace {

// The graphics driver's device-interface class for display mode sets.
constexpr GUID GUID_GFX_MODE_SET_INTERFACE = {
    0xE6DFDC31, 0x31D0, 0x46AC, {0x86, 0xAF, 0xDA, 0x1E, 0xB0, 0x5F, 0xC5, 0x99}};

// Event types past the last one travel as raw data.
constexpr WPARAM kSystemEventTypeCount = EvtGfxModeChanged + 1;

// The fixed parts of the foreign records that are read.
constexpr std::size_t kSettingHeaderSize = offsetof(POWERBROADCAST_SETTING, Data);
constexpr std::size_t kInterfaceHeaderSize = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
// The longest device name traced; a longer one is cut (the trace line holds no more anyway).
constexpr std::size_t kMaxDeviceNameChars = 1023;
constexpr DWORD kDeviceFilterSize = 32;

// The windowing of the loop running on this thread: the window procedure has no other way to it,
// and a window's procedure always runs on the thread that created the window.
thread_local platform::Windowing* t_windowing = nullptr;

class ThreadWindowing {
public:
    explicit ThreadWindowing(platform::Windowing& windowing)
        : _previous(std::exchange(t_windowing, &windowing)) {}
    ~ThreadWindowing() { t_windowing = _previous; }
    ThreadWindowing(const ThreadWindowing&) = delete;
    ThreadWindowing& operator=(const ThreadWindowing&) = delete;

private:
    platform::Windowing* _previous;
};

}  // namespace

SystemEventMonitor::SystemEventMonitor(platform::Kernel& kernel, platform::Windowing& windowing,
                                       platform::Security& security, platform::Registry& registry,
                                       platform::Hid& hid, const HidDeviceList& devices,
                                       PVOID recipient)
    : _kernel(kernel),
      _windowing(windowing),
      _security(security),
      _registry(registry),
      _hid(hid),
      _callbacksLock(kernel),
      _recipient(recipient),
      _hidClients{HidClient(hid, kernel, devices), HidClient(hid, kernel, devices),
                  HidClient(hid, kernel, devices)},
      _modeLock(kernel),
      _workersLock(kernel),
      _stopLock(kernel) {}

void SystemEventMonitor::RegisterCallback(const SystemEventCallback& callback) {
    std::lock_guard<platform::Mutex> guard(_callbacksLock);
    using Plain = SystemEventCallbackFn*;
    const Plain* plain = callback.target<Plain>();
    if (plain) {
        for (const SystemEventCallback& registered : _callbacks) {
            const Plain* other = registered.target<Plain>();
            if (other && *other == *plain) return;
        }
    }
    _callbacks.push_back(callback);
}

void SystemEventMonitor::DispatchEvent(SystemEventType type, const unsigned char* data,
                                       std::uint64_t size) {
    std::lock_guard<platform::Mutex> guard(_callbacksLock);
    for (const SystemEventCallback& callback : _callbacks) {
        if (callback) callback(type, data, size);
    }
}

bool SystemEventMonitor::IsTabletMode() {
    std::lock_guard<platform::Mutex> guard(_modeLock);
    if (_slateOverride) return _slateValue == 0;
    return _windowing.GetSystemMetrics(SM_CONVERTIBLESLATEMODE) == 0;
}

bool SystemEventMonitor::IsUndocked() {
    std::lock_guard<platform::Mutex> guard(_modeLock);
    if (_dockedOverride) return _dockedValue == 0;
    return _windowing.GetSystemMetrics(SM_SYSTEMDOCKED) == 0;
}

void SystemEventMonitor::Start() {
    if (!StartWorkers()) return;
    // The caller takes Start's return for the monitor's end (the service then reports itself
    // stopped), so no worker may outlive it, whether the window failed, its loop broke or an
    // exception is on its way out.
    struct StopWorkersOnExit {
        SystemEventMonitor& monitor;
        ~StopWorkersOnExit() { monitor.StopWorkers(); }
    } stopWorkersOnExit{*this};
    RunWindow();
}

void SystemEventMonitor::Stop() {
    StopWorkers();
    std::lock_guard<platform::Mutex> guard(_workersLock);
    const HWND hwnd = _window.load();
    if (hwnd && _windowing.IsWindow(hwnd)) {
        PostClose(hwnd);
    } else {
        // Start has not made its window yet (or has ended): without this the window made
        // next would run until the process is killed.
        _stopRequested = true;
    }
}

void SystemEventMonitor::RunWindow() {
    const ThreadWindowing threadWindowing(_windowing);
    const HINSTANCE instance = _windowing.GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = 0;
    windowClass.lpfnWndProc = &SystemEventMonitor::WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClassName;
    if (!_windowing.RegisterClassExW(&windowClass)) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        return;
    }
    struct ClassRegistration {
        SystemEventMonitor& monitor;
        HINSTANCE instance;
        ~ClassRegistration() {
            if (!monitor._windowing.UnregisterClassW(kWindowClassName, instance)) {
                LogHResult(HRESULT_FROM_WIN32(monitor._kernel.GetLastError()));
            }
        }
    } classRegistration{*this, instance};

    const HWND hwnd = _windowing.CreateWindowExW(0, kWindowClassName, kWindowTitle, 0, 0, 0, 0, 0,
                                                 nullptr, nullptr, instance, this);
    if (!hwnd) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        RethrowFromWindowProc();
        return;
    }
    // A window the loop did not see destroyed (an error or an exception ended it) is destroyed
    // here, and registrations that outlived their window are released, so that nothing of the
    // window is left when Start returns.
    struct WindowOwner {
        SystemEventMonitor& monitor;
        HWND hwnd;
        ~WindowOwner() {
            monitor._window = nullptr;
            if (monitor._windowing.IsWindow(hwnd)) {
                monitor._stopping = true;
                if (!monitor._windowing.DestroyWindow(hwnd)) {
                    LogHResult(HRESULT_FROM_WIN32(monitor._kernel.GetLastError()));
                }
                monitor._windowProcException = nullptr;
            }
            monitor.ReleaseRegistrations();
        }
    } windowOwner{*this, hwnd};
    RethrowFromWindowProc();

    // The slot held 0 before, so only the last error tells a failure. A window whose procedure
    // cannot find the monitor would serve nothing and never end its loop.
    _kernel.SetLastError(ERROR_SUCCESS);
    if (!_windowing.SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this)) &&
        _kernel.GetLastError() != ERROR_SUCCESS) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        return;
    }
    bool stopAtOnce = false;
    {
        std::lock_guard<platform::Mutex> guard(_workersLock);
        _stopping = false;
        _window = hwnd;
        stopAtOnce = std::exchange(_stopRequested, false);
    }
    if (stopAtOnce) PostClose(hwnd);
    RunMessageLoop(hwnd);
}

void SystemEventMonitor::PostClose(HWND hwnd) {
    _stopping = true;
    while (!_windowing.PostMessageW(hwnd, WM_CLOSE, 0, 0)) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        if (!_windowing.IsWindow(hwnd)) return;
        _kernel.Sleep(kStopRetryMilliseconds);
    }
}

void SystemEventMonitor::RunMessageLoop(HWND hwnd) {
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

void SystemEventMonitor::RethrowFromWindowProc() {
    if (_windowProcException) std::rethrow_exception(std::exchange(_windowProcException, nullptr));
}

LRESULT CALLBACK SystemEventMonitor::WindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                                LPARAM lParam) {
    platform::Windowing& windowing = *t_windowing;
    auto* monitor =
        reinterpret_cast<SystemEventMonitor*>(windowing.GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_CREATE) {
        // Logged only: the monitor always creates its window with itself as the parameter.
        if (lParam == 0) {
            LogAssertAt(__LINE__, LogSourceFileName(L"" __FILE__), L"(lParam != NULL)");
        } else {
            LogAssert((((LPCREATESTRUCT)lParam)->lpCreateParams != NULL));
            monitor = static_cast<SystemEventMonitor*>(
                reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams);
        }
    }
    if (!monitor) return windowing.DefWindowProcW(hwnd, message, wParam, lParam);
    // No exception may unwind through the system's dispatch code: it is carried to the loop.
    try {
        return monitor->HandleMessage(hwnd, message, wParam, lParam);
    } catch (...) {
        monitor->_windowProcException = std::current_exception();
        if (message == WM_CREATE) return -1;
        // A sent message is handled inside GetMessageW, which would not return for it: wake
        // the loop so that the exception goes on its way now.
        windowing.PostMessageW(hwnd, WM_NULL, 0, 0);
        return 0;
    }
}

LRESULT SystemEventMonitor::HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
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
            return 0;
        case WM_MONITOR_EVENT:
            RaiseWithData(
                wParam < kSystemEventTypeCount ? static_cast<SystemEventType>(wParam) : EvtRawData,
                static_cast<std::uint64_t>(lParam));
            return 0;
        default:
            return _windowing.DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

void SystemEventMonitor::RaiseWithData(SystemEventType type, std::uint64_t value) {
    unsigned char data[sizeof value];
    std::memcpy(data, &value, sizeof data);
    DispatchEvent(type, data, sizeof data);
}

FARPROC SystemEventMonitor::FindInUser32(LPCSTR name) {
    const HMODULE user32 = _windowing.GetModuleHandleW(L"User32.dll");
    return user32 ? _windowing.GetProcAddress(user32, name) : nullptr;
}

LRESULT SystemEventMonitor::OnCreate(HWND hwnd) {
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
        // The window will not exist and its WM_DESTROY cannot reach the monitor: release what
        // did register now, or nothing ever would.
        ReleaseRegistrations();
        return -1;
    }
    return 0;
}

void SystemEventMonitor::OnDestroy() {
    if (!_stopping) {
        Log(TRACE_LEVEL_WARNING, L"!!! Received an unexpected WM_DESTROY message, Ignored. !!!");
        return;
    }
    ReleaseRegistrations();
    _windowing.PostQuitMessage(0);
}

void SystemEventMonitor::ReleaseRegistrations() {
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
}

void SystemEventMonitor::OnSettingChange(WPARAM wParam, LPARAM lParam) {
    Log(TRACE_LEVEL_INFORMATION, L"WM_SETTINGCHANGE (wParam=0x%08x, lParam=0x%08x) detected",
        static_cast<unsigned>(wParam & 0xFFFFFFFFu), static_cast<unsigned>(lParam & 0xFFFFFFFFu));
    if (!lParam) return;
    if (Protected_wcsicmp(lParam, L"ConvertibleSlateMode")) {
        Log(TRACE_LEVEL_INFORMATION, L"WM_SETTINGCHANGE(ConvertibleSlateMode) detected");
        const int metric = _windowing.GetSystemMetrics(SM_CONVERTIBLESLATEMODE);
        {
            std::lock_guard<platform::Mutex> guard(_modeLock);
            _slateOverride = false;
            _slateValue = metric != 0;
        }
        DispatchEvent(metric != 0 ? EvtClamshellMode : EvtTabletMode, nullptr, 0);
    } else if (Protected_wcsicmp(lParam, L"SystemDockMode")) {
        Log(TRACE_LEVEL_INFORMATION, L"WM_SETTINGCHANGE(SystemDockMode) detected");
        const int metric = _windowing.GetSystemMetrics(SM_SYSTEMDOCKED);
        {
            std::lock_guard<platform::Mutex> guard(_modeLock);
            _dockedOverride = false;
            _dockedValue = metric != 0;
        }
        DispatchEvent(metric != 0 ? EvtDocked : EvtUndocked, nullptr, 0);
    }
}

void SystemEventMonitor::OnPowerBroadcast(WPARAM wParam, LPARAM lParam) {
    struct Translation {
        WPARAM broadcast;
        const wchar_t* text;
        SystemEventType event;
        bool raises;
    };
    static constexpr Translation kBroadcasts[] = {
        {PBT_APMSUSPEND, L"PBT_APMSUSPEND detected", EvtSuspend, true},
        {PBT_APMSTANDBY, L"PBT_APMSTANDBY detected", EvtStandby, true},
        {PBT_APMRESUMECRITICAL, L"PBT_APMRESUMECRITICAL detected", EvtResumeCritical, true},
        {PBT_APMRESUMESUSPEND, L"PBT_APMRESUMESUSPEND detected", EvtRawData, false},
        {PBT_APMRESUMESTANDBY, L"PBT_APMRESUMESTANDBY detected", EvtRawData, false},
        {PBT_APMBATTERYLOW, L"PBT_APMBATTERYLOW detected", EvtBatteryLow, true},
        {PBT_APMPOWERSTATUSCHANGE, L"PBT_APMPOWERSTATUSCHANGE detected", EvtPowerStatusChange,
         true},
        {PBT_APMOEMEVENT, L"PBT_APMOEMEVENT detected", EvtOemPowerEvent, true},
        {PBT_APMRESUMEAUTOMATIC, L"PBT_APMRESUMEAUTOMATIC detected", EvtResume, true},
    };
    if (wParam == PBT_POWERSETTINGCHANGE) {
        Log(TRACE_LEVEL_INFORMATION, L"PBT_POWERSETTINGCHANGE detected");
        OnPowerSettingChange(lParam);
        return;
    }
    for (const Translation& t : kBroadcasts) {
        if (t.broadcast != wParam) continue;
        Log(TRACE_LEVEL_INFORMATION, t.text);
        if (t.event == EvtOemPowerEvent) {
            RaiseWithData(EvtOemPowerEvent, static_cast<std::uint64_t>(lParam));
        } else if (t.raises) {
            DispatchEvent(t.event, nullptr, 0);
        }
        return;
    }
    Log(TRACE_LEVEL_INFORMATION, L"WM_POWERBROADCAST received");
    RaiseWithData(EvtRawData, static_cast<std::uint64_t>(wParam));
}

void SystemEventMonitor::OnPowerSettingChange(LPARAM lParam) {
    if (!lParam) {
        DispatchEvent(EvtPowerSettingChange, nullptr, 0);
        return;
    }
    DWORD value = 0;
    GUID setting{};
    if (!GetPowerSettingValue(lParam, value, setting) || value > 1) return;
    if (setting == GUID_CONSOLE_DISPLAY_STATE) {
        DispatchEvent(value == 1 ? EvtDisplayOn : EvtDisplayOff, nullptr, 0);
    } else if (setting == GUID_SYSTEM_AWAYMODE) {
        DispatchEvent(value == 1 ? EvtAwayModeEnter : EvtAwayModeExit, nullptr, 0);
    }
}

void SystemEventMonitor::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
    Log(TRACE_LEVEL_INFORMATION, L"WM_DEVICECHANGE detected");
    Log(TRACE_LEVEL_INFORMATION, L"wParam: 0x%08x, lParam: 0x%08x",
        static_cast<unsigned>(wParam & 0xFFFFFFFFu), static_cast<unsigned>(lParam & 0xFFFFFFFFu));
    if (wParam < DBT_DEVICEARRIVAL || wParam > DBT_DEVICETYPESPECIFIC || !lParam) return;
    if (IsGfxModeSetInterface(lParam)) {
        Log(TRACE_LEVEL_INFORMATION, L"Gfx mode set detected");
        DispatchEvent(EvtGfxModeChanged, nullptr, 0);
    }
}

bool SystemEventMonitor::IsWindows8OrGreater() {
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof version;
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 2;
    ULONGLONG mask = _windowing.VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = _windowing.VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    return _windowing.VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION, mask) !=
           FALSE;
}

// The guarded readers copy the few fields they need out of memory that another party handed in
// through a message parameter. They read nothing past what the record says it holds, and a
// record that cannot be read raises no event.

bool SystemEventMonitor::GetPowerSettingValue(LPARAM setting, DWORD& value, GUID& guid) {
    const auto* address = reinterpret_cast<const unsigned char*>(setting);
    unsigned char header[kSettingHeaderSize];
    DWORD length = 0;
    DWORD data = 0;
    if (!_windowing.ReadForeignMemory(address, header, sizeof header)) {
        Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PPOWERBROADCAST_SETTING");
        return false;
    }
    std::memcpy(&length, header + offsetof(POWERBROADCAST_SETTING, DataLength), sizeof length);
    if (length != sizeof data) return false;
    if (!_windowing.ReadForeignMemory(address + kSettingHeaderSize, &data, sizeof data)) {
        Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PPOWERBROADCAST_SETTING");
        return false;
    }
    value = data;
    std::memcpy(&guid, header + offsetof(POWERBROADCAST_SETTING, PowerSetting), sizeof guid);
    return true;
}

bool SystemEventMonitor::IsGfxModeSetInterface(LPARAM header) {
    const auto* address = reinterpret_cast<const unsigned char*>(header);
    DEV_BROADCAST_HDR common{};
    if (!_windowing.ReadForeignMemory(address, &common, sizeof common)) {
        Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PDEV_BROADCAST_HDR");
        return false;
    }
    Log(TRACE_LEVEL_INFORMATION, L"\tDevice type: 0x%08x", common.dbch_devicetype);
    if (common.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return false;
    // A record too short for the interface fields is not an interface record.
    if (common.dbch_size < kInterfaceHeaderSize) return false;
    DEV_BROADCAST_DEVICEINTERFACE_W record{};
    // The name ends at its terminator or at the record's end, whichever comes first.
    const std::size_t nameChars = std::min<std::size_t>(
        (common.dbch_size - kInterfaceHeaderSize) / sizeof(wchar_t), kMaxDeviceNameChars);
    std::wstring name(nameChars, L'\0');
    if (!_windowing.ReadForeignMemory(address, &record, kInterfaceHeaderSize) ||
        (nameChars != 0 &&
         !_windowing.ReadForeignMemory(address + kInterfaceHeaderSize, name.data(),
                                       nameChars * sizeof(wchar_t)))) {
        Log(TRACE_LEVEL_INFORMATION, L"Access violation detected: PDEV_BROADCAST_HDR");
        return false;
    }
    name.resize(std::find(name.begin(), name.end(), L'\0') - name.begin());
    Log(TRACE_LEVEL_INFORMATION, L"\tDevice name: %s", name.c_str());
    RPC_WSTR guidText = nullptr;
    if (_windowing.UuidToStringW(&record.dbcc_classguid, &guidText) == RPC_S_OK) {
        Log(TRACE_LEVEL_INFORMATION, L"\tDevice-class guid: %s",
            reinterpret_cast<const wchar_t*>(guidText));
        _windowing.RpcStringFreeW(&guidText);
    }
    return record.dbcc_classguid == GUID_GFX_MODE_SET_INTERFACE;
}

bool SystemEventMonitor::Protected_wcsicmp(LPARAM name, const wchar_t* expected) {
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
        if (i == 0 && actual != expected[0]) return false;
        if (std::towlower(static_cast<wint_t>(actual)) !=
            std::towlower(static_cast<wint_t>(expected[i]))) {
            return false;
        }
        if (actual == L'\0') return true;
    }
    return false;
}
