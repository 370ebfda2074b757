#include "platform/win32/windowing_win32.h"

#include <cstdint>

#include "platform/win32/windows_sdk.h"

namespace platform::win32 {

namespace {

constexpr DWORD kReadableProtection = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                                      PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                                      PAGE_EXECUTE_WRITECOPY;

// Whether every page of the range is committed and may be read without a fault. The copy alone
// does not tell: Wine's copy reads reserved, freed and no-access pages that a plain read would
// fault on.
bool IsReadable(const void* address, SIZE_T size) {
    auto next = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t end = next + size;
    if (end < next) return false;
    while (next < end) {
        MEMORY_BASIC_INFORMATION region;
        if (::VirtualQuery(reinterpret_cast<LPCVOID>(next), &region, sizeof region) !=
                sizeof region ||
            region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) ||
            !(region.Protect & kReadableProtection)) {
            return false;
        }
        next = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

}  // namespace

HMODULE Win32Windowing::GetModuleHandleW(LPCWSTR moduleName) {
    return ::GetModuleHandleW(moduleName);
}

FARPROC Win32Windowing::GetProcAddress(HMODULE module, LPCSTR procName) {
    return ::GetProcAddress(module, procName);
}

ATOM Win32Windowing::RegisterClassExW(const WNDCLASSEXW* windowClass) {
    return ::RegisterClassExW(windowClass);
}

BOOL Win32Windowing::UnregisterClassW(LPCWSTR className, HINSTANCE instance) {
    return ::UnregisterClassW(className, instance);
}

HWND Win32Windowing::CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName,
                                     DWORD style, int x, int y, int width, int height, HWND parent,
                                     HMENU menu, HINSTANCE instance, LPVOID param) {
    return ::CreateWindowExW(exStyle, className, windowName, style, x, y, width, height, parent,
                             menu, instance, param);
}

BOOL Win32Windowing::DestroyWindow(HWND window) { return ::DestroyWindow(window); }

BOOL Win32Windowing::IsWindow(HWND window) { return ::IsWindow(window); }

HWND Win32Windowing::FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    return ::FindWindowW(className, windowName);
}

LONG_PTR Win32Windowing::SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    return ::SetWindowLongPtrW(window, index, value);
}

LONG_PTR Win32Windowing::GetWindowLongPtrW(HWND window, int index) {
    return ::GetWindowLongPtrW(window, index);
}

BOOL Win32Windowing::GetMessageW(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
    return ::GetMessageW(msg, window, filterMin, filterMax);
}

LRESULT Win32Windowing::DispatchMessageW(const MSG* msg) { return ::DispatchMessageW(msg); }

LRESULT Win32Windowing::DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(window, message, wParam, lParam);
}

BOOL Win32Windowing::PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(window, message, wParam, lParam);
}

void Win32Windowing::PostQuitMessage(int exitCode) { ::PostQuitMessage(exitCode); }

UINT_PTR Win32Windowing::SetTimer(HWND window, UINT_PTR idEvent, UINT elapse, TIMERPROC timerFunc) {
    return ::SetTimer(window, idEvent, elapse, timerFunc);
}

BOOL Win32Windowing::KillTimer(HWND window, UINT_PTR idEvent) {
    return ::KillTimer(window, idEvent);
}

int Win32Windowing::GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

HPOWERNOTIFY Win32Windowing::RegisterPowerSettingNotification(HANDLE recipient,
                                                              LPCGUID powerSetting, DWORD flags) {
    return ::RegisterPowerSettingNotification(recipient, powerSetting, flags);
}

BOOL Win32Windowing::UnregisterPowerSettingNotification(HPOWERNOTIFY handle) {
    return ::UnregisterPowerSettingNotification(handle);
}

HDEVNOTIFY Win32Windowing::RegisterDeviceNotificationW(HANDLE recipient, LPVOID notificationFilter,
                                                       DWORD flags) {
    return ::RegisterDeviceNotificationW(recipient, notificationFilter, flags);
}

BOOL Win32Windowing::UnregisterDeviceNotification(HDEVNOTIFY handle) {
    return ::UnregisterDeviceNotification(handle);
}

BOOL Win32Windowing::VerifyVersionInfoW(LPOSVERSIONINFOEXW versionInfo, DWORD typeMask,
                                        ULONGLONG conditionMask) {
    return ::VerifyVersionInfoW(versionInfo, typeMask, conditionMask);
}

ULONGLONG Win32Windowing::VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                              BYTE condition) {
    return ::VerSetConditionMask(conditionMask, typeMask, condition);
}

RPC_STATUS Win32Windowing::UuidToStringW(const UUID* uuid, RPC_WSTR* stringUuid) {
    // mingw-w64 declares the UUID without const (the Windows SDK has it); it is only read.
    return ::UuidToStringW(const_cast<UUID*>(uuid), stringUuid);
}

RPC_STATUS Win32Windowing::RpcStringFreeW(RPC_WSTR* string) { return ::RpcStringFreeW(string); }

bool Win32Windowing::ReadForeignMemory(const void* address, void* buffer, SIZE_T size) {
    if (!IsReadable(address, size)) {
        ::SetLastError(ERROR_NOACCESS);
        return false;
    }
    // The pages may still go between the look and the copy; the copy then fails cleanly.
    SIZE_T copied = 0;
    return ::ReadProcessMemory(::GetCurrentProcess(), address, buffer, size, &copied) &&
           copied == size;
}

}  // namespace platform::win32
