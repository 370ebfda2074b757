// Simulated windows and message queues: per-thread queues, windows with their procedures and
// user data, thread timers on the virtual clock, settable metrics, and injection of every
// notification a window can receive.
//
// Records handed to a window (setting names, broadcast records) live at fake addresses that only
// ReadForeignMemory resolves, so traces that print them are the same on every run and a record
// can be made unreadable.
//
// Device notifications are as strict as Windows: RegisterDeviceNotificationW takes a live window
// (DEVICE_NOTIFY_WINDOW_HANDLE) and a filter for one device interface class or one device handle,
// and a device event reaches only the windows registered for it, once per registration. A handle
// registration follows the device, not the handle: the window may close its handle at a
// query-remove and still hears whether the removal failed or completed.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/faults.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/scheduler.h"
#include "platform/windowing.h"

namespace platform::sim {

class SimWindowing : public Windowing {
public:
    SimWindowing(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel);
    ~SimWindowing() override;

    HMODULE GetModuleHandleW(LPCWSTR moduleName) override;
    FARPROC GetProcAddress(HMODULE module, LPCSTR procName) override;
    ATOM RegisterClassExW(const WNDCLASSEXW* windowClass) override;
    BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance) override;
    HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                         int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                         LPVOID param) override;
    BOOL DestroyWindow(HWND window) override;
    BOOL IsWindow(HWND window) override;
    HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) override;
    LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) override;
    LONG_PTR GetWindowLongPtrW(HWND window, int index) override;
    BOOL GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax) override;
    LRESULT DispatchMessageW(const MSG* msg) override;
    LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    void PostQuitMessage(int exitCode) override;
    UINT_PTR SetTimer(HWND window, UINT_PTR idEvent, UINT elapse, TIMERPROC timerFunc) override;
    BOOL KillTimer(HWND window, UINT_PTR idEvent) override;
    int GetSystemMetrics(int index) override;
    HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE recipient, LPCGUID powerSetting,
                                                  DWORD flags) override;
    BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY handle) override;
    HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID notificationFilter,
                                           DWORD flags) override;
    BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) override;
    BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW versionInfo, DWORD typeMask,
                            ULONGLONG conditionMask) override;
    ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition) override;
    RPC_STATUS UuidToStringW(const UUID* uuid, RPC_WSTR* stringUuid) override;
    RPC_STATUS RpcStringFreeW(RPC_WSTR* string) override;
    bool ReadForeignMemory(const void* address, void* buffer, SIZE_T size) override;

    // What "User32.dll" exports at run time (both suspend/resume functions by default).
    HPOWERNOTIFY RegisterSuspendResumeNotification(HANDLE recipient, DWORD flags);
    BOOL UnregisterSuspendResumeNotification(HPOWERNOTIFY handle);
    void SetSuspendResumeExported(bool exported);
    void SetWindowsVersion(DWORD major, DWORD minor);

    // The world around the windows.
    void SetSystemMetric(int index, int value);
    // Places a record in foreign memory; returns its fake address.
    LPARAM PlaceRecord(const void* bytes, std::size_t size, bool readable = true);
    LPARAM PlaceString(const std::wstring& text, bool readable = true);
    // Delivers a message to every live top-level window as a sent message: each window's thread
    // handles it ahead of its posted messages, the next time it looks at its queue.
    void Broadcast(UINT message, WPARAM wParam, LPARAM lParam);
    void SendSettingChange(const std::wstring& name);
    void SendPowerSettingChange(const GUID& setting, DWORD value, DWORD dataLength = 4,
                                bool readable = true);
    // To each registration for the interface class, a DEV_BROADCAST_DEVICEINTERFACE_W record
    // with the interface's name.
    void SendDeviceInterfaceChange(WPARAM eventCode, const GUID& classGuid,
                                   const std::wstring& name, bool readable = true);
    // To each handle registration on the device, a DEV_BROADCAST_HANDLE record naming the handle
    // and the registration. After a DBT_DEVICEREMOVECOMPLETE a registration hears nothing more
    // of the device, also if it comes back.
    void SendDeviceHandleEvent(WPARAM eventCode, const void* device);
    // How a handle in a DBT_DEVTYP_HANDLE filter is resolved to its device (null: not a device
    // handle). Called under the world lock.
    void SetDeviceHandleResolver(std::function<const void*(HANDLE)> resolver);

    // What is left behind: live windows, registered classes, notification registrations, armed
    // timers and unfreed RPC strings.
    struct Census {
        std::size_t windows, classes, registrations, timers, rpcStrings;
    };
    Census Count();

private:
    struct WindowClass {
        std::wstring name;
        WNDPROC proc;
        HINSTANCE instance;
    };
    struct Window {
        std::wstring className;
        std::wstring title;
        WNDPROC proc;
        LONG_PTR userData = 0;
        std::thread::id owner;
    };
    struct Timer {
        UINT_PTR id;
        UINT elapse;
        Scheduler::Deadline due;
        TIMERPROC proc;
    };
    struct Queue {
        std::deque<MSG> sent;
        std::deque<MSG> posted;
        std::vector<Timer> timers;
        bool quit = false;
        int quitCode = 0;
    };
    struct Record {
        std::uintptr_t address;
        std::vector<BYTE> bytes;
        bool readable;
    };
    struct Registration {
        enum class Kind { PowerSetting, SuspendResume, DeviceInterface, DeviceHandle };
        Kind kind;
        HWND window = nullptr;
        GUID classGuid{};              // DeviceInterface
        HANDLE handle = nullptr;       // DeviceHandle: as the filter named it
        const void* device = nullptr;  // DeviceHandle: null once its removal completed
    };

    Queue& QueueOf(std::thread::id thread);
    Window* Find(HWND window);
    LRESULT Call(HWND window, UINT message, WPARAM wParam, LPARAM lParam, Scheduler::Lock& lock);
    LPARAM PlaceRecordLocked(const void* bytes, std::size_t size, bool readable);
    // Queues a sent message for a live window; world lock held.
    void SendLocked(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool Faulted(std::string_view operation, std::wstring_view argument = {}) {
        return _kernel.Faulted(operation, argument);
    }
    void SetError(DWORD error) { _kernel.SetLastError(error); }

    Scheduler& _scheduler;
    SimKernel& _kernel;
    std::map<std::wstring, WindowClass> _classes;  // by lower-case name
    std::map<std::uintptr_t, Window> _windows;
    std::uintptr_t _nextWindow = 0x10010;
    std::map<std::thread::id, Queue> _queues;
    UINT_PTR _nextTimerId = 0x7FFF;
    std::map<int, int> _metrics;
    std::map<std::uintptr_t, Registration> _registrations;
    std::function<const void*(HANDLE)> _deviceOfHandle;
    std::uintptr_t _nextRegistration = 0xD0000010;
    std::vector<std::unique_ptr<wchar_t[]>> _rpcStrings;
    std::vector<Record> _records;
    std::uintptr_t _nextRecord;
    bool _suspendResumeExported = true;
    SimWindowing* _previous = nullptr;
    DWORD _major = 10, _minor = 0;
};

}  // namespace platform::sim
