// The monitor's worker threads: hot keys arriving as named events, and the bezel buttons' HID
// reports. Both hand what they decode to the window as WM_MONITOR_EVENT.
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "events/system_event_monitor.h"
#include "log/log.h"
#include "privileges/restricted_privileges.h"
#include "settings/registry.h"

namespace {

constexpr DWORD kHotKeyCount = 5;
constexpr const wchar_t* kHotKeyEventNames[kHotKeyCount] = {
    L"Global\\C7A895C6-AADF-4716-AFD3-7010911BF578",  // clamshell/tablet toggle
    L"Global\\D51F2B12-CFDB-4A41-8D09-4E49185BF450",  // dock/undock toggle
    L"Global\\FA9B054F-1052-4669-A7C8-E0415F7314F0",  // lock
    L"Global\\A1733214-D3C7-4123-8E8F-31E371B18493",  // unlock
    L"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64",  // frame toggle
};
constexpr const wchar_t* kHotKeysKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\HotKeys";
// Settings of the same event within this pause count as one press.
constexpr DWORD kHotKeyAbsorbMilliseconds = 10;
// What any authenticated user may do with a hot-key event: set it and wait on it.
constexpr DWORD kHotKeyEventAccess = EVENT_MODIFY_STATE | SYNCHRONIZE;
static_assert(kHotKeyEventAccess == 0x00100002);

constexpr unsigned char VENDOR_DEFINED_HIDEF_USAGE_LOCK_BEZEL = 0x18;
constexpr unsigned char VENDOR_DEFINED_HIDEF_USAGE_RELEASE_TABLET = 0x19;
constexpr unsigned char VENDOR_DEFINED_HIDEF_USAGE_TOGGLE_BEZEL = 0x1A;

// Frees memory that the access-list calls handed out, when it goes.
class LocalMemory {
public:
    explicit LocalMemory(platform::Security& security) : _security(security) {}
    ~LocalMemory() {
        if (_memory) _security.LocalFree(_memory);
    }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;

    template <class T>
    T** Receive() {
        return reinterpret_cast<T**>(&_memory);
    }
    template <class T>
    T* Get() const {
        return static_cast<T*>(_memory);
    }

private:
    platform::Security& _security;
    void* _memory = nullptr;
};

class Sid {
public:
    explicit Sid(platform::Security& security) : _security(security) {}
    ~Sid() {
        if (_sid) _security.FreeSid(_sid);
    }
    Sid(const Sid&) = delete;
    Sid& operator=(const Sid&) = delete;

    PSID* Receive() { return &_sid; }
    PSID Get() const { return _sid; }

private:
    platform::Security& _security;
    PSID _sid = nullptr;
};

}  // namespace

void SystemEventMonitor::RunRestricted(const std::function<HRESULT()>& body) {
    HRESULT result = S_OK;
    // The entry of a worker thread: an exception ends the worker, never the process. The runner
    // has restored the thread's token by the time it arrives here.
    try {
        RunWithRestrictedPrivileges(_security, _kernel, {L"SeChangeNotifyPrivilege"}, &result,
                                    body);
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_CRITICAL, L"Monitor worker thread ended by an exception: %S", e.what());
    }
}

bool SystemEventMonitor::StartWorkers() {
    std::lock_guard<platform::Mutex> guard(_workersLock);
    if (std::exchange(_stopRequested, false)) return false;
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _workersStopping = false;
    }
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) {
        if (_buttonThreads[i].joinable()) continue;
        _buttonThreads[i] = platform::Thread(
            _kernel, [this, i] { RunRestricted([this, i] { return BezelButtonThread(i); }); });
    }
    if (!_hotKeysThread.joinable()) {
        _hotKeysThread = platform::Thread(
            _kernel, [this] { RunRestricted([this] { return HotKeysThread(); }); });
    }
    return true;
}

void SystemEventMonitor::StopWorkers() {
    std::lock_guard<platform::Mutex> guard(_workersLock);
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _workersStopping = true;
    }
    for (int i = 0; i < BEZEL_BUTTON_EVENTS_COUNT; ++i) EndButtonRead(i);
    for (platform::Thread& thread : _buttonThreads) {
        if (!thread.joinable()) continue;
        try {
            thread.join();
        } catch (const std::exception& e) {
            Log(TRACE_LEVEL_VERBOSE, L"Exception occurs when joining thread: %S", e.what());
        }
    }
    if (!_hotKeysThread.joinable()) return;
    {
        std::lock_guard<platform::Mutex> stop(_stopLock);
        while (_hotKeysStopEvent && !_kernel.SetEvent(_hotKeysStopEvent)) {
            LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
            _kernel.Sleep(kStopRetryMilliseconds);
        }
    }
    try {
        _hotKeysThread.join();
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_VERBOSE, L"Exception occurs when joining thread: %S", e.what());
    }
}

void SystemEventMonitor::EndButtonRead(int index) {
    platform::Thread& thread = _buttonThreads[index];
    if (!thread.joinable()) return;
    for (;;) {
        {
            std::lock_guard<platform::Mutex> stop(_stopLock);
            if (!_buttonReading[index]) return;
            // A cancelled read ends the thread's loop: it sees the stop before any other read.
            if (_hid.CancelSynchronousIo(thread.NativeHandle())) return;
            // Nothing to cancel: the thread is between two reads. It may have looked at the stop
            // already and be on its way into the next read, so try again until it has left.
            const DWORD error = _kernel.GetLastError();
            if (error != ERROR_NOT_FOUND) LogHResult(HRESULT_FROM_WIN32(error));
        }
        _kernel.Sleep(kStopRetryMilliseconds);
    }
}

bool SystemEventMonitor::WorkersStopping() {
    std::lock_guard<platform::Mutex> stop(_stopLock);
    return _workersStopping;
}

void SystemEventMonitor::Post(WPARAM type) {
    _windowing.PostMessageW(_window.load(), WM_MONITOR_EVENT, type, 0);
}

void SystemEventMonitor::ReadInitialMode(const wchar_t* valueName, int metric, int& value,
                                         bool& override) {
    const int fromSystem = _windowing.GetSystemMetrics(metric) != 0;
    DWORD initial = 0;
    const HRESULT hr =
        ReadRegDword(_registry, HKEY_LOCAL_MACHINE, kHotKeysKey, valueName, &initial);
    if (FAILED(hr)) LogHResult(hr);
    // Under the mode lock: the window thread may already be asking.
    std::lock_guard<platform::Mutex> guard(_modeLock);
    value = fromSystem;
    if (SUCCEEDED(hr) && (initial == 0 || initial == 1)) {
        value = static_cast<int>(initial);
        override = true;
    }
}

void SystemEventMonitor::ToggleMode(int& value, bool& override, WPARAM firstEvent) {
    std::lock_guard<platform::Mutex> guard(_modeLock);
    const int was = value;
    if (was != 0 && was != 1) return;
    value = 1 - was;
    override = true;
    Post(firstEvent + static_cast<WPARAM>(was));
}

HRESULT SystemEventMonitor::HotKeysThread() {
    ReadInitialMode(L"InitialConvertibleSlateMode", SM_CONVERTIBLESLATEMODE, _slateValue,
                    _slateOverride);
    ReadInitialMode(L"InitialSystemDockMode", SM_SYSTEMDOCKED, _dockedValue, _dockedOverride);

    HANDLE handles[kHotKeyCount + 1] = {};
    for (DWORD i = 0; i < kHotKeyCount; ++i) handles[i] = CreateNamedEvent(kHotKeyEventNames[i]);
    HANDLE stopEvent = _kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent) LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
    handles[kHotKeyCount] = stopEvent;
    {
        // A stop that came while this thread was setting up finds no event to set: honour it.
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _hotKeysStopEvent = stopEvent;
        if (_workersStopping && stopEvent) _kernel.SetEvent(stopEvent);
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
                ToggleMode(_slateValue, _slateOverride, EvtClamshellMode);
                break;
            case 1:
                Log(TRACE_LEVEL_INFORMATION, L"VK_DockUndockToggle event received");
                ToggleMode(_dockedValue, _dockedOverride, EvtDocked);
                break;
            case 2:
                Log(TRACE_LEVEL_INFORMATION, L"VK_Lock event received");
                Post(EvtLocked);
                break;
            case 3:
                Log(TRACE_LEVEL_INFORMATION, L"VK_Unlock event received");
                Post(EvtUnlocked);
                break;
            default:
                Log(TRACE_LEVEL_INFORMATION, L"VK_BezelToggle event received");
                Post(EvtBezelToggled);
                break;
        }
        _kernel.Sleep(kHotKeyAbsorbMilliseconds);
        _kernel.ResetEvent(handles[wait - WAIT_OBJECT_0]);
    }
    {
        // Cleared before the close, so that a later Stop never sets a closed (or reused) handle.
        std::lock_guard<platform::Mutex> stop(_stopLock);
        _hotKeysStopEvent = nullptr;
    }
    for (HANDLE handle : handles) {
        if (handle) _kernel.CloseHandle(handle);
    }
    return result;
}

HANDLE SystemEventMonitor::CreateNamedEvent(const wchar_t* name) {
    HANDLE event = _kernel.CreateEventW(nullptr, TRUE, FALSE, name);
    if (!event) event = _kernel.OpenEventW(kHotKeyEventAccess, FALSE, name);
    if (event && _kernel.GetLastError() != ERROR_ALREADY_EXISTS) WidenAccessList(event);
    if (!event) LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
    return event;
}

void SystemEventMonitor::WidenAccessList(HANDLE event) {
    PACL dacl = nullptr;
    LocalMemory descriptor(_security);
    if (_security.GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr,
                                  descriptor.Receive<void>()) != ERROR_SUCCESS) {
        return;
    }
    // An object without a list (as under Wine) already lets everyone in.
    if (!dacl) return;

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    Sid authenticatedUsers(_security);
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
    entry.Trustee.ptstrName = static_cast<LPWSTR>(authenticatedUsers.Get());
    LocalMemory widened(_security);
    if (_security.SetEntriesInAclW(1, &entry, dacl, widened.Receive<ACL>()) != ERROR_SUCCESS) {
        return;
    }

    const DWORD written =
        _security.SetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, widened.Get<ACL>(), nullptr);
    _kernel.SetLastError(written);
    if (written == ERROR_SUCCESS) Log(TRACE_LEVEL_INFORMATION, L"Named event's DACL modified");
}

HRESULT SystemEventMonitor::BezelButtonThread(int indexDevice) {
    LogAssert(indexDevice >= 0 && indexDevice < BEZEL_BUTTON_EVENTS_COUNT);
    if (indexDevice < 0 || indexDevice >= BEZEL_BUTTON_EVENTS_COUNT) return S_OK;
    HidClient& client = _hidClients[indexDevice];
    {
        // Opened under the stop lock: a stop that came first leaves the device closed, and one
        // that comes later finds it open and closes it.
        std::lock_guard<platform::Mutex> stop(_stopLock);
        if (_workersStopping) return S_OK;
        if (!client.Open(0, 0, _buttonUsagePage, _buttonUsage, 0, indexDevice)) {
            Log(TRACE_LEVEL_ERROR, L"Failed to find the specified HID device for VB event #%d.",
                indexDevice);
            return S_FALSE;
        }
        _buttonReading[indexDevice] = true;
    }
    // Closed by this thread alone, however its loop ends: Windows' close of a handle waits for a
    // synchronous read on it, so a close from the stopping thread could wait for the next press.
    struct CloseOnLeaving {
        SystemEventMonitor& monitor;
        int index;
        ~CloseOnLeaving() {
            std::lock_guard<platform::Mutex> stop(monitor._stopLock);
            monitor._hidClients[index].Close();
            monitor._buttonReading[index] = false;
        }
    } closeOnLeaving{*this, indexDevice};
    LogAssert(_hidClients[indexDevice].IsValid());
    while (!WorkersStopping()) {
        const std::vector<BYTE> report = client.ReadInputReport();
        if (report.empty()) break;
        ProcessButtonReport(report.data(), report.size());
    }
    return S_OK;
}

void SystemEventMonitor::ProcessButtonReport(const unsigned char* data, std::size_t size) {
    const std::string dump = HexDump(data, size);
    Log(TRACE_LEVEL_INFORMATION, L"Raw data:\n%S", dump.c_str());
    DispatchEvent(EvtRawData, data, size);
    // Too short to say which control changed.
    if (size < 2) return;
    Log(TRACE_LEVEL_INFORMATION, L"Hid Usage Id: 0x%x, data: 0x%x", data[0], data[1]);
    if (data[1] == 0) return;
    switch (data[0]) {
        case VENDOR_DEFINED_HIDEF_USAGE_LOCK_BEZEL:
            Log(TRACE_LEVEL_INFORMATION, L"VENDOR_DEFINED_HIDEF_USAGE_LOCK_BEZEL detected");
            Post(EvtLocked);
            break;
        case VENDOR_DEFINED_HIDEF_USAGE_RELEASE_TABLET:
            Log(TRACE_LEVEL_INFORMATION, L"VENDOR_DEFINED_HIDEF_USAGE_RELEASE_TABLET detected");
            Post(EvtUnlocked);
            break;
        case VENDOR_DEFINED_HIDEF_USAGE_TOGGLE_BEZEL:
            Log(TRACE_LEVEL_INFORMATION, L"VENDOR_DEFINED_HIDEF_USAGE_TOGGLE_BEZEL detected");
            Post(EvtBezelToggled);
            break;
        default:
            break;
    }
}
