// The one source of system events: Windows notifications arriving at a hidden window, hot-key
// named events and bezel-button reports. Every decoded event reaches the registered callbacks on
// the thread that runs the window; only the raw button reports are delivered on their button
// threads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <vector>

#include "devices/hid_client.h"
#include "events/system_event.h"
#include "platform/hid.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/sync.h"
#include "platform/windowing.h"

constexpr int BEZEL_BUTTON_EVENTS_COUNT = 3;

class SystemEventMonitor {
public:
    static constexpr const wchar_t* kWindowClassName = L"SystemEventMonitorWindow";
    static constexpr const wchar_t* kWindowTitle = L"Ambrel System Event Monitor";

    // devices: the HID device list the button devices are found in. recipient: where
    // suspend/resume notifications go; null for the monitor's own window.
    SystemEventMonitor(platform::Kernel& kernel, platform::Windowing& windowing,
                       platform::Security& security, platform::Registry& registry,
                       platform::Hid& hid, const HidDeviceList& devices, PVOID recipient);
    // The worker threads must have been stopped (Stop, or Start having returned).
    ~SystemEventMonitor() = default;
    SystemEventMonitor(const SystemEventMonitor&) = delete;
    SystemEventMonitor& operator=(const SystemEventMonitor&) = delete;

    // The process-wide monitor. The first call creates it and keeps recipient; later calls
    // return the same monitor and ignore their argument.
    static SystemEventMonitor* Instance(PVOID recipient);

    // Adds callback unless an equal one is registered: two callbacks are equal when both wrap
    // the same plain function. Any other callable (a bound member, a closure) is always added.
    void RegisterCallback(const SystemEventCallback& callback);
    // Delivers one event to every registered callback in registration order, under the
    // callbacks lock. A callback must not register callbacks or raise events itself.
    void DispatchEvent(SystemEventType type, const unsigned char* data, std::uint64_t size);

    // Starts the hot-key and bezel-button threads, then creates the window and runs its message
    // loop on the calling thread until Stop. Returns at once if the window cannot be created, or
    // if a Stop came first. However it returns (or throws), the worker threads are stopped and
    // the window is gone when it does.
    void Start();
    // From any thread but the one in Start: stops the worker threads, then asks the window to
    // close; does not wait for the loop to end. A stop that finds no window yet is remembered,
    // and the window is closed as soon as it exists (or the next Start returns at once).
    void Stop();

    // Slate mode and undocked, from the override when a hot key or the registry set one,
    // otherwise from the system metric.
    bool IsTabletMode();
    bool IsUndocked();

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    bool StartWorkers();
    void StopWorkers();
    void RunWindow();
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
    void RaiseWithData(SystemEventType type, std::uint64_t value);

    bool IsWindows8OrGreater();
    FARPROC FindInUser32(LPCSTR name);
    bool GetPowerSettingValue(LPARAM setting, DWORD& value, GUID& guid);
    bool IsGfxModeSetInterface(LPARAM header);
    bool Protected_wcsicmp(LPARAM name, const wchar_t* expected);

    // A stop lost to one failed call would leave the service running for good: the call is
    // made again after this pause until it goes through.
    static constexpr DWORD kStopRetryMilliseconds = 10;

    // Hot keys and bezel buttons.
    void RunRestricted(const std::function<HRESULT()>& body);
    HRESULT HotKeysThread();
    HRESULT BezelButtonThread(int indexDevice);
    // Ends button thread index's read for certain, whether it is blocked in it, about to enter
    // it or between two reads.
    void EndButtonRead(int index);
    bool WorkersStopping();
    void ProcessButtonReport(const unsigned char* data, std::size_t size);
    HANDLE CreateNamedEvent(const wchar_t* name);
    void WidenAccessList(HANDLE event);
    void ReadInitialMode(const wchar_t* valueName, int metric, int& value, bool& override);
    void ToggleMode(int& value, bool& override, WPARAM firstEvent);
    void Post(WPARAM type);

    platform::Kernel& _kernel;
    platform::Windowing& _windowing;
    platform::Security& _security;
    platform::Registry& _registry;
    platform::Hid& _hid;

    platform::Mutex _callbacksLock;
    std::vector<SystemEventCallback> _callbacks;
    // Written by Stop, read by the window thread in its loop and its WM_DESTROY.
    std::atomic<bool> _stopping{false};
    PVOID _recipient;
    // Read by the worker threads at each post.
    std::atomic<HWND> _window{nullptr};
    HPOWERNOTIFY _suspendResumeRegistration = nullptr;
    HPOWERNOTIFY _awayModeRegistration = nullptr;
    HPOWERNOTIFY _displayStateRegistration = nullptr;
    HDEVNOTIFY _deviceInterfaceRegistration = nullptr;
    const USHORT _buttonUsagePage = 0xFFB3;
    const USHORT _buttonUsage = 0x0010;
    std::array<HidClient, BEZEL_BUTTON_EVENTS_COUNT> _hidClients;
    std::array<platform::Thread, BEZEL_BUTTON_EVENTS_COUNT> _buttonThreads;
    platform::Mutex _modeLock;
    int _dockedValue = -1;
    bool _dockedOverride = false;
    int _slateValue = -1;
    bool _slateOverride = false;
    platform::Thread _hotKeysThread;
    HANDLE _hotKeysStopEvent = nullptr;

    // Orders Start and Stop: starting and joining the workers, publishing the window, and the
    // stop that came while there was no window.
    platform::Mutex _workersLock;
    bool _stopRequested = false;
    // Orders a stop against a worker that is still setting up: the hot-keys stop event is
    // published, set and cleared under it, and a button device is opened and closed under it,
    // so a worker that starts after the stop sees it instead of blocking for good.
    platform::Mutex _stopLock;
    bool _workersStopping = false;
    // A button thread holds its device open, from its open to the end of its read loop.
    std::array<bool, BEZEL_BUTTON_EVENTS_COUNT> _buttonReading{};
    // An exception raised in the window procedure, carried past the system's dispatch code and
    // raised again on the loop's own frames.
    std::exception_ptr _windowProcException;
};
