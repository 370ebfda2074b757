#include "events/hot_key_source.h"

#include <mutex>

#include "contract.h"
#include "events/monitor_window.h"
#include "events/monitor_worker.h"
#include "events/system_event.h"
#include "log/log.h"
#include "platform/owner.h"
#include "settings/registry.h"

namespace {

using contract::kHotKeyCount;

// Settings of the same event within this pause count as one press.
constexpr DWORD kHotKeyAbsorbMilliseconds = 10;
// What any authenticated user may do with a hot-key event: set it and wait on it.
constexpr DWORD kHotKeyEventAccess = EVENT_MODIFY_STATE | SYNCHRONIZE;
static_assert(kHotKeyEventAccess == 0x00100002);

// Memory that the access-list calls handed out.
using LocalFreeCloser = platform::InterfaceCloser<void*, platform::Security, &platform::Security::LocalFree>;
using SidCloser = platform::InterfaceCloser<PSID, platform::Security, &platform::Security::FreeSid>;

}  // namespace

ModeOverrides::ModeOverrides(platform::Kernel& kernel, platform::Windowing& windowing)
    : _windowing(windowing), _lock(kernel) {}

bool ModeOverrides::IsTabletMode() {
    std::lock_guard<platform::Mutex> guard(_lock);
    if (_values[Slate].override) return _values[Slate].value == 0;
    return _windowing.GetSystemMetrics(SM_CONVERTIBLESLATEMODE) == 0;
}

bool ModeOverrides::IsUndocked() {
    std::lock_guard<platform::Mutex> guard(_lock);
    if (_values[Docked].override) return _values[Docked].value == 0;
    return _windowing.GetSystemMetrics(SM_SYSTEMDOCKED) == 0;
}

void ModeOverrides::SetInitial(Mode mode, int fromSystem, bool fromRegistry, DWORD initial) {
    // Under the lock: the window thread may already be asking.
    std::lock_guard<platform::Mutex> guard(_lock);
    Value& v = _values[mode];
    v.value = fromSystem;
    if (fromRegistry && (initial == 0 || initial == 1)) {
        v.value = static_cast<int>(initial);
        v.override = true;
    }
}

void ModeOverrides::Toggle(Mode mode, MonitorWindow& window) {
    std::lock_guard<platform::Mutex> guard(_lock);
    Value& v = _values[mode];
    const int was = v.value;
    if (was != 0 && was != 1) return;
    v.value = 1 - was;
    v.override = true;
    const WPARAM firstEvent = mode == Slate ? EvtClamshellMode : EvtDocked;
    window.Post(firstEvent + static_cast<WPARAM>(was));
}

void ModeOverrides::FromSystem(Mode mode, int metric) {
    std::lock_guard<platform::Mutex> guard(_lock);
    _values[mode].override = false;
    _values[mode].value = metric != 0;
}

HotKeySource::HotKeySource(platform::Kernel& kernel, platform::Security& security,
                           platform::Registry& registry, platform::Windowing& windowing,
                           ModeOverrides& modes, MonitorWindow& window)
    : _kernel(kernel),
      _security(security),
      _registry(registry),
      _windowing(windowing),
      _modes(modes),
      _window(window),
      _stopLock(kernel) {}

void HotKeySource::Start() {
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _stopping = false;
    }
    if (_thread.joinable()) return;
    _thread = platform::Thread(_kernel,
                               [this] { RunMonitorWorker(_security, _kernel, [this] { return Thread(); }); });
}

void HotKeySource::MarkStopping() {
    std::lock_guard<platform::Mutex> stop(_stopLock);
    _stopping = true;
}

void HotKeySource::Stop() {
    if (!_thread.joinable()) return;
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        while (_stopEvent && !_kernel.SetEvent(_stopEvent)) {
            LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
            _kernel.Sleep(kStopRetryMilliseconds);
        }
    }
    try {
        _thread.join();
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_VERBOSE, L"Exception occurs when joining thread: %S", e.what());
    }
}

void HotKeySource::ReadInitialMode(const wchar_t* valueName, int metric,
                                   ModeOverrides::Mode mode) {
    const int fromSystem = _windowing.GetSystemMetrics(metric) != 0;
    DWORD initial = 0;
    const HRESULT hr =
        ReadRegDword(_registry, HKEY_LOCAL_MACHINE, contract::kHotKeysKey, valueName, &initial);
    if (FAILED(hr)) LogHResult(hr);
    _modes.SetInitial(mode, fromSystem, SUCCEEDED(hr), initial);
}

HRESULT HotKeySource::Thread() {
    ReadInitialMode(L"InitialConvertibleSlateMode", SM_CONVERTIBLESLATEMODE, ModeOverrides::Slate);
    ReadInitialMode(L"InitialSystemDockMode", SM_SYSTEMDOCKED, ModeOverrides::Docked);

    HANDLE handles[kHotKeyCount + 1] = {};
    for (DWORD i = 0; i < kHotKeyCount; ++i) {
        handles[i] = CreateNamedEvent(contract::kHotKeyEventNames[i]);
    }
    HANDLE stopEvent = _kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent) LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
    handles[kHotKeyCount] = stopEvent;
    {
        // A stop that came while this thread was setting up finds no event to set: honour it.
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _stopEvent = stopEvent;
        if (_stopping && stopEvent) _kernel.SetEvent(stopEvent);
    }

    HRESULT result = S_OK;
    for (;;) {
        const DWORD wait =
            _kernel.WaitForMultipleObjects(kHotKeyCount + 1, handles, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0 + kHotKeyCount) {
            Log(TRACE_LEVEL_INFORMATION, L"Stopping Hot Keys Monitor thread ...");
            break;
        }
        if (wait >= WAIT_OBJECT_0 + kHotKeyCount) {
            result = HRESULT_FROM_WIN32(_kernel.GetLastError());
            LogHResult(result);
            break;
        }
        switch (wait - WAIT_OBJECT_0) {
            case 0:
                Log(TRACE_LEVEL_INFORMATION, L"VK_ClamshellTabletToggle event received");
                _modes.Toggle(ModeOverrides::Slate, _window);
                break;
            case 1:
                Log(TRACE_LEVEL_INFORMATION, L"VK_DockUndockToggle event received");
                _modes.Toggle(ModeOverrides::Docked, _window);
                break;
            case 2:
                Log(TRACE_LEVEL_INFORMATION, L"VK_Lock event received");
                _window.Post(EvtLocked);
                break;
            case 3:
                Log(TRACE_LEVEL_INFORMATION, L"VK_Unlock event received");
                _window.Post(EvtUnlocked);
                break;
            default:
                Log(TRACE_LEVEL_INFORMATION, L"VK_BezelToggle event received");
                _window.Post(EvtBezelToggled);
                break;
        }
        _kernel.Sleep(kHotKeyAbsorbMilliseconds);
        _kernel.ResetEvent(handles[wait - WAIT_OBJECT_0]);
    }
    {
        // Cleared before the close, so that a later Stop never sets a closed (or reused) handle.
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _stopEvent = nullptr;
    }
    for (HANDLE handle : handles) {
        if (handle) _kernel.CloseHandle(handle);
    }
    return result;
}

HANDLE HotKeySource::CreateNamedEvent(const wchar_t* name) {
    HANDLE event = _kernel.CreateEventW(nullptr, TRUE, FALSE, name);
    if (!event) event = _kernel.OpenEventW(kHotKeyEventAccess, FALSE, name);
    if (event && _kernel.GetLastError() != ERROR_ALREADY_EXISTS) WidenAccessList(event);
    if (!event) LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
    return event;
}

void HotKeySource::WidenAccessList(HANDLE event) {
    PACL dacl = nullptr;
    platform::Owner<LocalFreeCloser> descriptor(LocalFreeCloser{&_security});
    if (_security.GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, descriptor.Receive()) != ERROR_SUCCESS) {
        return;
    }
    // An object without a list (as under Wine) already lets everyone in.
    if (!dacl) return;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    platform::Owner<SidCloser> authenticatedUsers(SidCloser{&_security});
    if (!_security.AllocateAndInitializeSid(&ntAuthority, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0,
                                            0, 0, 0, 0, 0, authenticatedUsers.Receive())) {
        return;
    }
    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = kHotKeyEventAccess;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.pMultipleTrustee = nullptr;
    entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(authenticatedUsers.get());
    PACL widenedList = nullptr;
    platform::Owner<LocalFreeCloser> widened(LocalFreeCloser{&_security});
    const DWORD merged = _security.SetEntriesInAclW(1, &entry, dacl, &widenedList);
    widened.reset(widenedList);
    if (merged != ERROR_SUCCESS) return;

    const DWORD written =
        _security.SetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, widenedList, nullptr);
    _kernel.SetLastError(written);
    if (written == ERROR_SUCCESS) Log(TRACE_LEVEL_INFORMATION, L"Named event's DACL modified");
}
