// The registry on Windows: each call goes to advapi32 unchanged.
#pragma once

#include "platform/registry.h"

namespace platform::win32 {

class Win32Registry : public Registry {
public:
    LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                          PHKEY result) override;
    LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                            DWORD options, REGSAM desired,
                            const LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result,
                            LPDWORD disposition) override;
    LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD dataSize) override;
    LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                    BOOL asynchronous) override;
    LSTATUS RegCloseKey(HKEY key) override;
    LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                           const BYTE* data, DWORD dataSize) override;
    LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) override;
    LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) override;
};

}  // namespace platform::win32
