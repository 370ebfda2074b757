// Windows, message queues, thread timers, metrics and notifications on Windows: each call goes to
// user32, kernel32 or rpcrt4 unchanged, so results and last errors are the system's own.
#pragma once

#include "platform/windowing.h"

namespace platform::win32 {

class Win32Windowing : public Windowing {
public:
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

    // Looks up the pages first, then reads through the kernel's copy from the process into
    // itself, which reports a page gone in the meantime as an error instead of raising an access
    // violation; so it needs no structured-exception guard, which not every compiler for Windows
    // offers. All of size is copied or the call fails (last error ERROR_NOACCESS or the copy's).
    bool ReadForeignMemory(const void* address, void* buffer, SIZE_T size) override;
};

}  // namespace platform::win32
