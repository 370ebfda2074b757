// Registry access for the configuration: an owning key handle, a read of one REG_DWORD value with
// an HRESULT result, and a wait for a change anywhere under the configuration root.
//
// Failures become HRESULT_FROM_WIN32 of the failed call's status and are logged where they are
// found; a failure that carries no Win32 code (a value of another type) is E_FAIL, not logged.
#pragma once

#include "contract.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/win32types.h"

// One open registry key, or none. Closes what it holds when destroyed.
class RegKey {
public:
    explicit RegKey(platform::Registry& registry) : _registry(registry) {}
    ~RegKey() { Close(); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // Opens parent\path. On failure returns its status and keeps what was held; on success the
    // key held before is closed (that close's status is the result) and the new one is held.
    LSTATUS Open(HKEY parent, LPCWSTR path, REGSAM access);
    // Opens or creates parent\path, with the same replacement rule as Open.
    LSTATUS Create(HKEY parent, LPCWSTR path, LPWSTR keyClass, DWORD options, REGSAM access,
                   LPSECURITY_ATTRIBUTES security, LPDWORD disposition);
    // Closes the key if one is held; ERROR_SUCCESS when none was.
    LSTATUS Close();

    LSTATUS QueryValue(LPCWSTR valueName, LPDWORD type, LPBYTE data, LPDWORD dataSize);
    LSTATUS NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                 BOOL asynchronous);

    HKEY Handle() const { return _handle; }

private:
    LSTATUS Hold(HKEY handle);

    platform::Registry& _registry;
    HKEY _handle = nullptr;
};

// Reads the REG_DWORD value valueName of root\subKeyPath into *value. Only the registry query
// writes *value, so a failed read leaves the caller's preset there, except that a value of another
// type may have put up to 4 of its bytes in it: callers must not use *value after a failure.
HRESULT ReadRegDword(platform::Registry& registry, HKEY root, LPCWSTR subKeyPath, LPCWSTR valueName,
                     DWORD* value);

// Waits until a value is added, changed or deleted in the configuration key below root or any key
// below it, or until stopEvent is set. S_OK for a change, S_FALSE for the stop, else the failure.
//
// The change notification lives in key between calls: a call arms it when key is not open, and a
// change that ends the wait arms the next notification before the call returns. So a change made
// while the caller handles the last one ends the next wait at once instead of being missed. Each
// arming opens the root afresh, so a key deleted and created again is watched anew. changeEvent
// (auto-reset) serves the notification alone; stopEvent stays set once set, so a stop asked for
// at any moment ends the next wait.
HRESULT WaitForRegistryChange(platform::Kernel& kernel, RegKey& key, HKEY root, HANDLE changeEvent,
                              HANDLE stopEvent);
