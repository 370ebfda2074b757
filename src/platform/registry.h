// The registry, under its Windows names: opening and creating keys, reading and writing values,
// deleting, and waiting for changes under a key.
//
// As on Windows, every call returns its status (ERROR_SUCCESS or a Win32 error code) and leaves
// the thread's last error alone; a caller that wants an HRESULT converts the returned status.
// Keys are closed with RegCloseKey (never Kernel::CloseHandle). The predefined roots
// HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT are always open.
//
// RegNotifyChangeKeyValue either blocks (asynchronous FALSE; the event is not used) until a change
// the filter names happens at the key, or anywhere below it when the subtree is watched, or until
// another thread closes the key; or it arms a one-shot notification (asynchronous TRUE) that sets
// an event made by Kernel::CreateEventW on the next such change or when the key is closed. Both
// report ERROR_SUCCESS when the key is closed, so a caller that cares must check why it woke.
//
// RegSetValueExW, RegDeleteValueW and RegDeleteKeyW are here for tests and tools that prepare a
// registry; the service only reads its configuration.
#pragma once

#include "platform/win32types.h"

namespace platform {

class Registry {
public:
    virtual ~Registry() = default;

    virtual LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired,
                                  PHKEY result) = 0;
    virtual LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                    DWORD options, REGSAM desired,
                                    const LPSECURITY_ATTRIBUTES securityAttributes, PHKEY result,
                                    LPDWORD disposition) = 0;
    virtual LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                     LPBYTE data, LPDWORD dataSize) = 0;
    virtual LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter,
                                            HANDLE event, BOOL asynchronous) = 0;
    virtual LSTATUS RegCloseKey(HKEY key) = 0;

    virtual LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD dataSize) = 0;
    virtual LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) = 0;
    // Deletes a key that has no subkeys; an empty subKey names the key itself.
    virtual LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) = 0;
};

}  // namespace platform
