#include "platform/win32/registry_win32.h"

#include "platform/win32/windows_sdk.h"

namespace platform::win32 {

LSTATUS Win32Registry::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                                     PHKEY result) {
    return ::RegOpenKeyExW(key, subKey, options, desired, result);
}

LSTATUS Win32Registry::RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                       DWORD options, REGSAM desired,
                                       const LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result,
                                       LPDWORD disposition) {
    return ::RegCreateKeyExW(key, subKey, reserved, keyClass, options, desired, securityAttributes,
                             result, disposition);
}

LSTATUS Win32Registry::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                        LPBYTE data, LPDWORD dataSize) {
    return ::RegQueryValueExW(key, valueName, reserved, type, data, dataSize);
}

LSTATUS Win32Registry::RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter,
                                               HANDLE event, BOOL asynchronous) {
    return ::RegNotifyChangeKeyValue(key, watchSubtree, notifyFilter, event, asynchronous);
}

LSTATUS Win32Registry::RegCloseKey(HKEY key) { return ::RegCloseKey(key); }

LSTATUS Win32Registry::RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                      const BYTE* data, DWORD dataSize) {
    return ::RegSetValueExW(key, valueName, reserved, type, data, dataSize);
}

LSTATUS Win32Registry::RegDeleteValueW(HKEY key, LPCWSTR valueName) {
    return ::RegDeleteValueW(key, valueName);
}

LSTATUS Win32Registry::RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    return ::RegDeleteKeyW(key, subKey);
}

}  // namespace platform::win32
