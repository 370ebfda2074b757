#include "settings/registry.h"

#include <utility>

#include "log/log.h"

namespace {

constexpr DWORD kStopIndex = WAIT_OBJECT_0;
constexpr DWORD kChangeIndex = WAIT_OBJECT_0 + 1;

// A failed call's status as the HRESULT the callers see, logged here where it was found. A status
// that converts to no failure gives E_FAIL, which carries nothing worth a line.
HRESULT FailureStatus(DWORD status, int line) {
    const HRESULT hr = HRESULT_FROM_WIN32(status);
    if (SUCCEEDED(hr)) return E_FAIL;
    return LogHResultAt(hr, line, LogSourceFileName(L"" __FILE__));
}

HRESULT FailureStatus(LSTATUS status, int line) {
    return FailureStatus(static_cast<DWORD>(status), line);
}

// Opens the configuration root afresh into key and arms a one-shot notification of the next
// value change anywhere below it. On failure key is left closed, so the next wait arms again.
LSTATUS ArmChangeNotification(RegKey& key, HKEY root, HANDLE changeEvent) {
    key.Close();
    LSTATUS status = key.Open(root, contract::kConfigurationKey, KEY_NOTIFY);
    if (status != ERROR_SUCCESS) return status;
    status = key.NotifyChangeKeyValue(TRUE, REG_NOTIFY_CHANGE_LAST_SET, changeEvent, TRUE);
    if (status != ERROR_SUCCESS) key.Close();
    return status;
}

}  // namespace

LSTATUS RegKey::Open(HKEY parent, LPCWSTR path, REGSAM access) {
    HKEY opened = nullptr;
    const LSTATUS status = _registry.RegOpenKeyExW(parent, path, 0, access, &opened);
    if (status != ERROR_SUCCESS) return status;
    return Hold(opened);
}

LSTATUS RegKey::Create(HKEY parent, LPCWSTR path, LPWSTR keyClass, DWORD options, REGSAM access,
                       LPSECURITY_ATTRIBUTES security, LPDWORD disposition) {
    HKEY created = nullptr;
    const LSTATUS status = _registry.RegCreateKeyExW(parent, path, 0, keyClass, options, access,
                                                     security, &created, disposition);
    if (status != ERROR_SUCCESS) return status;
    return Hold(created);
}

LSTATUS RegKey::Hold(HKEY handle) {
    const LSTATUS status = Close();
    _handle = handle;
    return status;
}

LSTATUS RegKey::Close() {
    if (_handle == nullptr) return ERROR_SUCCESS;
    return _registry.RegCloseKey(std::exchange(_handle, nullptr));
}

LSTATUS RegKey::QueryValue(LPCWSTR valueName, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    return _registry.RegQueryValueExW(_handle, valueName, nullptr, type, data, dataSize);
}

LSTATUS RegKey::NotifyChangeKeyValue(BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                     BOOL asynchronous) {
    return _registry.RegNotifyChangeKeyValue(_handle, watchSubtree, notifyFilter, event,
                                             asynchronous);
}

HRESULT ReadRegDword(platform::Registry& registry, HKEY root, LPCWSTR subKeyPath, LPCWSTR valueName,
                     DWORD* value) {
    RegKey key(registry);
    LSTATUS status = key.Open(root, subKeyPath, KEY_QUERY_VALUE);
    if (status != ERROR_SUCCESS) return FailureStatus(status, __LINE__);
    DWORD type = REG_NONE;
    DWORD size = sizeof(DWORD);
    status = key.QueryValue(valueName, &type, reinterpret_cast<LPBYTE>(value), &size);
    if (status == ERROR_SUCCESS && type == REG_DWORD) return S_OK;
    return FailureStatus(status, __LINE__);
}

HRESULT WaitForRegistryChange(platform::Kernel& kernel, RegKey& key, HKEY root, HANDLE changeEvent,
                              HANDLE stopEvent) {
    if (key.Handle() == nullptr) {
        const LSTATUS status = ArmChangeNotification(key, root, changeEvent);
        if (status != ERROR_SUCCESS) return FailureStatus(status, __LINE__);
    }
    // The stop comes first, so that it wins over a change that is also pending.
    const HANDLE events[] = {stopEvent, changeEvent};
    const DWORD woken = kernel.WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (woken == kStopIndex) return S_FALSE;
    if (woken != kChangeIndex) return FailureStatus(kernel.GetLastError(), __LINE__);

    // The notification has fired and is spent. If the root cannot be armed again (it was
    // deleted), the change that woke us is still reported; the next call tries again and
    // reports the failure then.
    ArmChangeNotification(key, root, changeEvent);
    return S_OK;
}
