// The monitor's hidden window: its class, its notification registrations and the message loop
// that runs on the thread of SystemEventMonitor::Start. Each message it handles is translated
// (event_translation.h) and the event handed to the dispatch it was given; the worker threads
// post theirs to it as WM_MONITOR_EVENT. The window also keeps the watch over the HID devices held
// open (device_watch.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "devices/hid_client.h"
#include "events/device_watch.h"
#include "events/system_event.h"
#include "platform/kernel.h"
#include "platform/sync.h"
#include "platform/windowing.h"

class ModeOverrides;

class MonitorWindow {
public:
    static constexpr const wchar_t* kClassName = L"SystemEventMonitorWindow";
    static constexpr const wchar_t* kTitle = L"Ambrel System Event Monitor";

    // recipient: where suspend/resume notifications go; null for the window itself. modes
    // learn of the mode settings the system announces.
    MonitorWindow(platform::Kernel& kernel, platform::Windowing& windowing, HidDeviceList& devices,
                  PVOID recipient, ModeOverrides& modes, SystemEventCallback dispatch);
    MonitorWindow(const MonitorWindow&) = delete;
    MonitorWindow& operator=(const MonitorWindow&) = delete;

    // Takes back a stop that came while there was no window; true if there was one.
    bool TakeStopRequest();
    // Creates the window and runs its loop until the window is closed by a stop, the queue
    // fails or an exception leaves a message's handling (raised again here). Nothing of the
    // window is left when it returns.
    void Run();
    // From any thread but Run's: closes the window, or, with none yet (or any more), makes the
    // next window close as soon as it exists.
    void Close();
    // Posts an event of a worker thread to the window.
    void Post(WPARAM type);
    // Adds a holder of HID devices to the watch, before Run.
    void WatchDevices(HidDeviceHolder& holder);

private:
    // Posted when a holder opened or closed a device, and once the window exists.
    static constexpr UINT kDevicesChanged = WM_USER + 2;

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    void RunMessageLoop(HWND hwnd);
    void PostClose(HWND hwnd);
    void RethrowFromWindowProc();

    LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnCreate(HWND hwnd);
    void OnDestroy();
    void ReleaseRegistrations();
    void OnSettingChange(WPARAM wParam, LPARAM lParam);
    void OnPowerBroadcast(WPARAM wParam, LPARAM lParam);
    void OnPowerSettingChange(LPARAM lParam);
    void OnDeviceChange(WPARAM wParam, LPARAM lParam);
    void OnDeviceHandleChange(WPARAM wParam, const unsigned char* address, DWORD size);
    void Raise(SystemEventType type, const std::optional<std::uint64_t>& data);

    bool IsWindows8OrGreater();
    FARPROC FindInUser32(LPCSTR name);
    struct InterfaceRecord {
        GUID classGuid;
        std::wstring name;
    };
    std::optional<InterfaceRecord> ReadInterfaceRecord(const unsigned char* address, DWORD size);
    bool Protected_wcsicmp(LPARAM name, const wchar_t* expected);

    platform::Kernel& _kernel;
    platform::Windowing& _windowing;
    PVOID _recipient;
    ModeOverrides& _modes;
    SystemEventCallback _dispatch;

    // Orders Close against Run's publishing of the window, and the stop that came while there
    // was no window.
    platform::Mutex _lock;
    bool _stopRequested = false;
    // Written by Close, read by the window thread in its loop and its WM_DESTROY.
    std::atomic<bool> _stopping{false};
    // Read by the worker threads at each post.
    std::atomic<HWND> _window{nullptr};
    HPOWERNOTIFY _suspendResumeRegistration = nullptr;
    HPOWERNOTIFY _awayModeRegistration = nullptr;
    HPOWERNOTIFY _displayStateRegistration = nullptr;
    HDEVNOTIFY _deviceInterfaceRegistration = nullptr;
    DeviceWatch _deviceWatch;
    // An exception raised in the window procedure, carried past the system's dispatch code and
    // raised again on the loop's own frames.
    std::exception_ptr _windowProcException;
};
