#include "platform/win32/com_win32.h"

#include "platform/win32/windows_sdk.h"

namespace platform::win32 {

HRESULT Win32Com::CoInitializeEx(LPVOID reserved, DWORD coInit) {
    return ::CoInitializeEx(reserved, coInit);
}

void Win32Com::CoUninitialize() { ::CoUninitialize(); }

HRESULT Win32Com::CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                                   LPVOID* ppv) {
    return ::CoCreateInstance(rclsid, outer, clsContext, riid, ppv);
}

HRESULT Win32Com::OleRun(LPUNKNOWN unknown) { return ::OleRun(unknown); }

}  // namespace platform::win32
