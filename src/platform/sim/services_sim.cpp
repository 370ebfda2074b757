#include "platform/sim/services_sim.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwctype>

namespace platform::sim {

namespace {

std::wstring Lower(LPCWSTR text) {
    std::wstring out = text ? text : L"";
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return out;
}

// A dependency list: names each ending in a terminator, the list in a second one.
std::wstring MultiString(LPCWSTR list) {
    std::wstring out;
    if (!list) return out;
    for (const wchar_t* p = list; *p; p += std::wcslen(p) + 1) {
        out.append(p).push_back(L';');
    }
    return out;
}

constexpr DWORD kResourceNotFound = 1814;  // ERROR_RESOURCE_NAME_NOT_FOUND
constexpr DWORD kProcessId = 0x1F4;        // the service process, as the manager reports it

// The one status handle: the simulated process runs one service.
SERVICE_STATUS_HANDLE ServiceStatusHandle() {
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{0x5E000001});
}

}  // namespace

SimServices::SimServices(Scheduler& scheduler, FaultPlan&, SimKernel& kernel)
    : _scheduler(scheduler), _kernel(kernel) {}

SimServices::~SimServices() = default;

BOOL SimServices::StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("StartServiceCtrlDispatcherW")) return FALSE;
    if (!serviceTable || !serviceTable[0].lpServiceName || !serviceTable[0].lpServiceProc ||
        _dispatching) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    _dispatching = true;
    _stopReported = false;
    _runningName = Lower(serviceTable[0].lpServiceName);
    const LPSERVICE_MAIN_FUNCTIONW serviceMain = serviceTable[0].lpServiceProc;
    std::wstring name = serviceTable[0].lpServiceName;
    bool ended = false;
    world.unlock();
    Thread serviceThread(_kernel, [&] {
        LPWSTR argv[] = {name.data(), nullptr};
        serviceMain(1, argv);
        Scheduler::Lock done(_scheduler.Mutex());
        ended = true;
        _scheduler.Notify(done);
    });
    world.lock();
    const std::function<bool()> ready = [&] { return ended || !_controls.empty(); };
    for (;;) {
        _scheduler.Wait(world, ready);
        if (!_controls.empty()) {
            const Control control = _controls.front();
            _controls.pop_front();
            const LPHANDLER_FUNCTION_EX handler = _handler;
            LPVOID context = _handlerContext;
            if (!handler) continue;
            world.unlock();
            handler(control.control, control.eventType, nullptr, context);
            world.lock();
            continue;
        }
        break;
    }
    world.unlock();
    serviceThread.join();
    world.lock();
    _dispatching = false;
    _handler = nullptr;
    RemoveIfDeleted(_runningName);
    return TRUE;
}

SERVICE_STATUS_HANDLE SimServices::RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                                 LPHANDLER_FUNCTION_EX handler,
                                                                 LPVOID context) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("RegisterServiceCtrlHandlerExW", serviceName ? serviceName : L"")) return nullptr;
    if (!_dispatching || Lower(serviceName) != _runningName || !handler) {
        _kernel.SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    _handler = handler;
    _handlerContext = context;
    return ServiceStatusHandle();
}

BOOL SimServices::SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("SetServiceStatus", status ? std::to_wstring(status->dwCurrentState) : L"")) {
        return FALSE;
    }
    if (handle != ServiceStatusHandle() || !status) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    _statusReports.push_back(*status);
    if (_statusListener) _statusListener(*status);
    // The first SERVICE_STOPPED closes the status handle.
    if (_stopReported) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (status->dwCurrentState == SERVICE_STOPPED) {
        _stopReported = true;
        RemoveIfDeleted(_runningName);
    }
    return TRUE;
}

SC_HANDLE SimServices::OpenSCManagerW(LPCWSTR, LPCWSTR, DWORD desiredAccess) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("OpenSCManagerW")) return nullptr;
    return Add(ScObject{true, L"", desiredAccess});
}

SC_HANDLE SimServices::OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("OpenServiceW", serviceName ? serviceName : L"")) return nullptr;
    ScObject* m = Object(manager);
    if (!m || !m->manager) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // A service marked for deletion can still be opened until its last handle is closed.
    auto it = _installed.find(Lower(serviceName));
    if (it == _installed.end()) {
        _kernel.SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    return Add(ScObject{false, it->first, desiredAccess});
}

SC_HANDLE SimServices::CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                      DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                      DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR, LPDWORD,
                                      LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("CreateServiceW", serviceName ? serviceName : L"")) return nullptr;
    ScObject* m = Object(manager);
    if (!m || !m->manager) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const std::wstring key = Lower(serviceName);
    if (key.empty() || !binaryPathName) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (auto existing = _installed.find(key); existing != _installed.end()) {
        _kernel.SetLastError(existing->second.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                              : ERROR_SERVICE_EXISTS);
        return nullptr;
    }
    InstalledService service;
    service.displayName = displayName ? displayName : serviceName;
    service.binaryPath = binaryPathName;
    service.dependencies = MultiString(dependencies);
    service.account = serviceStartName ? serviceStartName : L"LocalSystem";
    service.serviceType = serviceType;
    service.startType = startType;
    service.errorControl = errorControl;
    _installed[key] = service;
    return Add(ScObject{false, key, desiredAccess});
}

BOOL SimServices::ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                       DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR, LPDWORD,
                                       LPCWSTR dependencies, LPCWSTR serviceStartName, LPCWSTR,
                                       LPCWSTR displayName) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("ChangeServiceConfigW")) return FALSE;
    ScObject* s = ServiceObject(service, SERVICE_CHANGE_CONFIG);
    if (!s) return FALSE;
    InstalledService& installed = _installed.at(s->service);
    if (installed.markedForDelete) {
        _kernel.SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    if (serviceType != SERVICE_NO_CHANGE) installed.serviceType = serviceType;
    if (startType != SERVICE_NO_CHANGE) installed.startType = startType;
    if (errorControl != SERVICE_NO_CHANGE) installed.errorControl = errorControl;
    if (binaryPathName) installed.binaryPath = binaryPathName;
    if (dependencies) installed.dependencies = MultiString(dependencies);
    if (serviceStartName) installed.account = serviceStartName;
    if (displayName) installed.displayName = displayName;
    return TRUE;
}

BOOL SimServices::ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("ControlService")) return FALSE;
    ScObject* s = ServiceObject(service, control == SERVICE_CONTROL_STOP ? SERVICE_STOP : 0);
    if (!s) return FALSE;
    if (!Running(s->service)) {
        _kernel.SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    // The manager answers an interrogation itself, from the last report.
    if (control != SERVICE_CONTROL_INTERROGATE) {
        const DWORD state =
            _statusReports.empty() ? SERVICE_START_PENDING : _statusReports.back().dwCurrentState;
        if (state != SERVICE_RUNNING) {
            _kernel.SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
            return FALSE;
        }
        if (!Accepts(control)) {
            _kernel.SetLastError(ERROR_INVALID_SERVICE_CONTROL);
            return FALSE;
        }
        _controls.push_back(Control{control, 0});
    }
    _scheduler.Notify(world);
    if (status) *status = _statusReports.empty() ? SERVICE_STATUS{} : _statusReports.back();
    return TRUE;
}

BOOL SimServices::DeleteService(SC_HANDLE service) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("DeleteService")) return FALSE;
    ScObject* s = ServiceObject(service, DELETE);
    if (!s) return FALSE;
    auto it = _installed.find(s->service);
    if (it->second.markedForDelete) {
        _kernel.SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    it->second.markedForDelete = true;
    return TRUE;
}

BOOL SimServices::CloseServiceHandle(SC_HANDLE object) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("CloseServiceHandle")) return FALSE;
    auto it = _scHandles.find(reinterpret_cast<std::uintptr_t>(object));
    if (it == _scHandles.end()) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const std::wstring service = it->second.service;
    _scHandles.erase(it);
    RemoveIfDeleted(service);
    return TRUE;
}

HANDLE SimServices::RegisterEventSourceW(LPCWSTR, LPCWSTR sourceName) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("RegisterEventSourceW", sourceName ? sourceName : L"")) return nullptr;
    const std::uintptr_t key = _nextEventSource++;
    _eventSources[key] = sourceName ? sourceName : L"";
    return reinterpret_cast<HANDLE>(key);
}

BOOL SimServices::ReportEventW(HANDLE eventLog, WORD type, WORD, DWORD, PVOID, WORD numStrings,
                               DWORD, LPCWSTR* strings, LPVOID) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("ReportEventW")) return FALSE;
    auto it = _eventSources.find(reinterpret_cast<std::uintptr_t>(eventLog));
    if (it == _eventSources.end()) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    EventLogEntry entry{it->second, type, {}};
    for (WORD i = 0; i < numStrings && strings; ++i) entry.strings.emplace_back(strings[i]);
    _eventLog.push_back(std::move(entry));
    return TRUE;
}

BOOL SimServices::DeregisterEventSource(HANDLE eventLog) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("DeregisterEventSource")) return FALSE;
    if (_eventSources.erase(reinterpret_cast<std::uintptr_t>(eventLog)) == 0) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

int SimServices::LoadStringW(HINSTANCE, UINT id, LPWSTR buffer, int bufferMax) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("LoadStringW", std::to_wstring(id))) return 0;
    auto it = _strings.find(id);
    if (it == _strings.end() || !buffer || bufferMax <= 0) {
        _kernel.SetLastError(kResourceNotFound);
        return 0;
    }
    const std::size_t n = std::min<std::size_t>(it->second.size(), bufferMax - 1);
    std::copy_n(it->second.c_str(), n, buffer);
    buffer[n] = L'\0';
    return static_cast<int>(n);
}

HRSRC SimServices::FindResourceW(HMODULE, LPCWSTR name, LPCWSTR type) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("FindResourceW")) return nullptr;
    const auto id = static_cast<UINT>(reinterpret_cast<std::uintptr_t>(name));
    for (std::size_t i = 0; i < _resources.size(); ++i) {
        if (_resources[i].first.first == (type ? type : L"") && _resources[i].first.second == id) {
            return reinterpret_cast<HRSRC>(i + 1);
        }
    }
    _kernel.SetLastError(kResourceNotFound);
    return nullptr;
}

HGLOBAL SimServices::LoadResource(HMODULE, HRSRC resource) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("LoadResource")) return nullptr;
    return reinterpret_cast<HGLOBAL>(resource);
}

LPVOID SimServices::LockResource(HGLOBAL data) {
    Scheduler::Lock world(_scheduler.Mutex());
    const auto index = reinterpret_cast<std::uintptr_t>(data);
    if (index == 0 || index > _resources.size()) return nullptr;
    return _resources[index - 1].second.data();
}

DWORD SimServices::SizeofResource(HMODULE, HRSRC resource) {
    Scheduler::Lock world(_scheduler.Mutex());
    const auto index = reinterpret_cast<std::uintptr_t>(resource);
    if (index == 0 || index > _resources.size()) return 0;
    return static_cast<DWORD>(_resources[index - 1].second.size());
}

LPWSTR SimServices::GetCommandLineW() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _commandLine.data();
}

DWORD SimServices::GetModuleFileNameW(HMODULE, LPWSTR fileName, DWORD size) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("GetModuleFileNameW")) return 0;
    if (!fileName || size == 0) return 0;
    const std::size_t n = std::min<std::size_t>(_moduleFileName.size(), size - 1);
    std::copy_n(_moduleFileName.c_str(), n, fileName);
    fileName[n] = L'\0';
    // A cut name is reported as filling the whole buffer, as Windows does.
    if (n < _moduleFileName.size()) {
        _kernel.SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return static_cast<DWORD>(n);
}

BOOL SimServices::QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                                       DWORD bufferSize, LPDWORD bytesNeeded) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("QueryServiceStatusEx")) return FALSE;
    ScObject* s = ServiceObject(service, SERVICE_QUERY_STATUS);
    if (!s) return FALSE;
    if (infoLevel != SC_STATUS_PROCESS_INFO) {
        _kernel.SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (bytesNeeded) *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    if (!buffer || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) {
        _kernel.SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SERVICE_STATUS_PROCESS status{};
    status.dwServiceType = _installed.at(s->service).serviceType;
    status.dwCurrentState = SERVICE_STOPPED;
    if (s->service == _runningName && !_statusReports.empty()) {
        const SERVICE_STATUS& last = _statusReports.back();
        status.dwCurrentState = Running(s->service) ? last.dwCurrentState : SERVICE_STOPPED;
        status.dwControlsAccepted = last.dwControlsAccepted;
        status.dwWin32ExitCode = last.dwWin32ExitCode;
        status.dwServiceSpecificExitCode = last.dwServiceSpecificExitCode;
        status.dwCheckPoint = last.dwCheckPoint;
        status.dwWaitHint = last.dwWaitHint;
        status.dwProcessId = Running(s->service) ? kProcessId : 0;
    }
    std::memcpy(buffer, &status, sizeof(status));
    return TRUE;
}

int SimServices::MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT) {
    Scheduler::Lock world(_scheduler.Mutex());
    _messageBoxes.push_back(MessageBoxShown{caption ? caption : L"", text ? text : L""});
    return 1;  // IDOK: nobody waits for a click in a simulated world
}

HWINSTA SimServices::GetProcessWindowStation() {
    return reinterpret_cast<HWINSTA>(std::uintptr_t{0x57A00010});
}

BOOL SimServices::GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD length,
                                            LPDWORD lengthNeeded) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("GetUserObjectInformationW")) return FALSE;
    if (object != GetProcessWindowStation() || index != UOI_FLAGS) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lengthNeeded) *lengthNeeded = sizeof(USEROBJECTFLAGS);
    if (!info || length < sizeof(USEROBJECTFLAGS)) {
        _kernel.SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const USEROBJECTFLAGS flags{FALSE, FALSE, _windowStationVisible ? WSF_VISIBLE : 0};
    std::memcpy(info, &flags, sizeof(flags));
    return TRUE;
}

void SimServices::SetWindowStationVisible(bool visible) {
    Scheduler::Lock world(_scheduler.Mutex());
    _windowStationVisible = visible;
}

void SimServices::SetCommandLine(const std::wstring& commandLine) {
    Scheduler::Lock world(_scheduler.Mutex());
    _commandLine = commandLine;
}

void SimServices::SetModuleFileName(const std::wstring& path) {
    Scheduler::Lock world(_scheduler.Mutex());
    _moduleFileName = path;
}

void SimServices::SetString(UINT id, const std::wstring& text) {
    Scheduler::Lock world(_scheduler.Mutex());
    _strings[id] = text;
}

void SimServices::SetResource(const std::wstring& type, UINT id, const std::string& bytes) {
    Scheduler::Lock world(_scheduler.Mutex());
    _resources.emplace_back(std::make_pair(type, id), bytes);
}

bool SimServices::SendControl(DWORD control, DWORD eventType) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (!Running(_runningName) || _statusReports.empty() ||
        _statusReports.back().dwCurrentState != SERVICE_RUNNING || !Accepts(control)) {
        return false;
    }
    _controls.push_back(Control{control, eventType});
    _scheduler.Notify(world);
    return true;
}

std::map<std::wstring, SimServices::InstalledService> SimServices::Installed() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _installed;
}

std::vector<SimServices::EventLogEntry> SimServices::EventLog() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _eventLog;
}

std::vector<SimServices::MessageBoxShown> SimServices::MessageBoxes() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _messageBoxes;
}

std::vector<SERVICE_STATUS> SimServices::StatusReports() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _statusReports;
}

void SimServices::SetStatusListener(std::function<void(const SERVICE_STATUS&)> listener) {
    Scheduler::Lock world(_scheduler.Mutex());
    _statusListener = std::move(listener);
}

std::size_t SimServices::OpenHandleCount() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _scHandles.size() + _eventSources.size();
}

SimServices::ScObject* SimServices::Object(SC_HANDLE handle) {
    auto it = _scHandles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == _scHandles.end() ? nullptr : &it->second;
}

SimServices::ScObject* SimServices::ServiceObject(SC_HANDLE handle, DWORD access) {
    ScObject* s = Object(handle);
    if (!s || s->manager || !_installed.contains(s->service)) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((s->access & access) != access) {
        _kernel.SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return s;
}

bool SimServices::Running(const std::wstring& service) const {
    return _dispatching && _handler && service == _runningName && !_stopReported;
}

bool SimServices::Accepts(DWORD control) const {
    if (_statusReports.empty()) return false;
    const DWORD accepted = _statusReports.back().dwControlsAccepted;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            return (accepted & SERVICE_ACCEPT_STOP) != 0;
        case SERVICE_CONTROL_SHUTDOWN:
            return (accepted & SERVICE_ACCEPT_SHUTDOWN) != 0;
        case SERVICE_CONTROL_POWEREVENT:
            return (accepted & SERVICE_ACCEPT_POWEREVENT) != 0;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            return (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE) != 0;
        default:
            return true;  // a code of the service's own
    }
}

void SimServices::RemoveIfDeleted(const std::wstring& service) {
    auto installed = _installed.find(service);
    if (installed == _installed.end() || !installed->second.markedForDelete || Running(service) ||
        std::any_of(_scHandles.begin(), _scHandles.end(),
                    [&](const auto& h) { return h.second.service == service; })) {
        return;
    }
    _installed.erase(installed);
}

SC_HANDLE SimServices::Add(ScObject object) {
    const std::uintptr_t key = _nextScHandle;
    _nextScHandle += 4;
    _scHandles.emplace(key, std::move(object));
    return reinterpret_cast<SC_HANDLE>(key);
}

}  // namespace platform::sim
