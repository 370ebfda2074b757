// Windows, message queues, thread timers, system metrics and the notifications a window registers
// for, under their Windows names.
#pragma once

#include "platform/win32types.h"

namespace platform {

class Windowing {
public:
    virtual ~Windowing() = default;

    virtual HMODULE GetModuleHandleW(LPCWSTR moduleName) = 0;
    virtual FARPROC GetProcAddress(HMODULE module, LPCSTR procName) = 0;

    virtual ATOM RegisterClassExW(const WNDCLASSEXW* windowClass) = 0;
    virtual BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance) = 0;
    virtual HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style,
                                 int x, int y, int width, int height, HWND parent, HMENU menu,
                                 HINSTANCE instance, LPVOID param) = 0;
    virtual BOOL DestroyWindow(HWND window) = 0;
    virtual BOOL IsWindow(HWND window) = 0;
    virtual HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) = 0;
    virtual LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) = 0;
    virtual LONG_PTR GetWindowLongPtrW(HWND window, int index) = 0;

    virtual BOOL GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax) = 0;
    virtual LRESULT DispatchMessageW(const MSG* msg) = 0;
    virtual LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    virtual BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
    virtual void PostQuitMessage(int exitCode) = 0;

    virtual UINT_PTR SetTimer(HWND window, UINT_PTR idEvent, UINT elapse, TIMERPROC timerFunc) = 0;
    virtual BOOL KillTimer(HWND window, UINT_PTR idEvent) = 0;

    virtual int GetSystemMetrics(int index) = 0;

    virtual HPOWERNOTIFY RegisterPowerSettingNotification(HANDLE recipient, LPCGUID powerSetting,
                                                          DWORD flags) = 0;
    virtual BOOL UnregisterPowerSettingNotification(HPOWERNOTIFY handle) = 0;
    virtual HDEVNOTIFY RegisterDeviceNotificationW(HANDLE recipient, LPVOID notificationFilter,
                                                   DWORD flags) = 0;
    virtual BOOL UnregisterDeviceNotification(HDEVNOTIFY handle) = 0;

    virtual BOOL VerifyVersionInfoW(LPOSVERSIONINFOEXW versionInfo, DWORD typeMask,
                                    ULONGLONG conditionMask) = 0;
    virtual ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                          BYTE condition) = 0;
    virtual RPC_STATUS UuidToStringW(const UUID* uuid, RPC_WSTR* stringUuid) = 0;
    virtual RPC_STATUS RpcStringFreeW(RPC_WSTR* string) = 0;

    // Copies memory that another party handed in through a message parameter. False when it
    // cannot be read: the portable form of a guard against access violations.
    virtual bool ReadForeignMemory(const void* address, void* buffer, SIZE_T size) = 0;
};

// The functions a window looks up at run time in "User32.dll", with their calling convention.
using RegisterSuspendResumeNotificationFn = HPOWERNOTIFY(WINAPI*)(HANDLE recipient, DWORD flags);
using UnregisterSuspendResumeNotificationFn = BOOL(WINAPI*)(HPOWERNOTIFY handle);

// A function found by GetProcAddress as the type it has. The one place such a pointer changes
// type: Fn must be the function's own signature, calling convention included, since a call
// through any other convention corrupts the stack on 32-bit Windows and no compiler can tell.
template <class Fn>
Fn FoundFunction(FARPROC found) {
    // Through the generic function pointer type, which the compilers accept without a warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(found));
}

}  // namespace platform
