// The service module base: one executable that is both its own installer and a Windows service.
//
// ServiceModuleT<T, nServiceNameID> gives the program (T, which derives from it) the command line
// ("RegServer", "UnregServer", "RegServerPerUser", "UnregServerPerUser", "Service"), the AppID
// registration from the module's REGISTRY resource, service creation and removal through the
// service control manager, the choice between the control dispatcher and running in the
// foreground, and event-log reports. T supplies:
//
//   static constexpr const wchar_t* kAppId;          the AppID, "{...}"
//   static constexpr UINT kRegistryResourceId;        its registration script
//   HRESULT Run(int showCommand);                     the service's work
//   void ServiceMain(DWORD argc, LPWSTR* argv);       the service entry on the service thread
//
// and may replace RegisterAppId and UnregisterAppId; the base calls them through T.
//
// Once the control handler is registered, the service thread and the thread of the control
// handler both change m_status.dwCurrentState, so it is changed only by atomic exchange, and only
// under the report lock: reports are made one at a time in the order of the changes, and after
// SERVICE_STOPPED nothing is reported (Windows may end the process at any moment after it).
//
// The installer never shows a message box that nobody can see: installs and removals run from
// deployment tools as the local system account, on a window station that is not visible, where
// a message box would wait forever. There the text goes to standard error and the event log.
#pragma once

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <mutex>
#include <string>

#include "log/log.h"
#include "platform/kernel.h"
#include "platform/sync.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/win32types.h"
#include "service/registrar.h"
#include "settings/registry.h"

// The text after the next "-" or "/" in text, or null when there is none.
PCWSTR FindSwitch(PCWSTR text);
// Whether the token is word, letter case aside, followed by the end, a blank or a tab.
bool IsSwitchWord(PCWSTR token, PCWSTR word);
// The command line's arguments: what follows the program name (quoted or not).
PCWSTR SkipProgramName(PCWSTR commandLine);
// Writes one line of wide text to standard output (standard error) as UTF-8.
void WriteConsoleLine(PCWSTR text);
void WriteErrorLine(PCWSTR text);

// What the installer says when it cannot finish; its exit code says it too.
inline constexpr const wchar_t* kServiceNotStoppedMessage =
    L"Could not stop service within 30 seconds: it was not removed";
inline constexpr const wchar_t* kServiceMarkedForDeleteMessage =
    L"Service is marked for deletion: close the programs that hold it open, or restart Windows, "
    L"then try again";
// Where the event log finds the texts of a source's events.
inline constexpr const wchar_t* kEventLogSources =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The one owner of a service control manager handle.
class ScHandle {
public:
    ScHandle(platform::Services& services, SC_HANDLE handle)
        : _services(services), _handle(handle) {}
    ~ScHandle() {
        if (_handle != nullptr) _services.CloseServiceHandle(_handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;

    SC_HANDLE get() const { return _handle; }
    bool operator==(std::nullptr_t) const { return _handle == nullptr; }

private:
    platform::Services& _services;
    SC_HANDLE _handle;
};

// SERVICE_STATUS as the module keeps it. dwControlsAccepted is what the running service accepts;
// a pending service accepts nothing. Once the handler is registered, the members change only
// under the report lock.
struct ServiceStatus {
    DWORD dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    std::atomic<DWORD> dwCurrentState{SERVICE_STOPPED};
    DWORD dwControlsAccepted = SERVICE_ACCEPT_STOP;
    DWORD dwWin32ExitCode = 0;
    DWORD dwServiceSpecificExitCode = 0;
    DWORD dwCheckPoint = 0;
    DWORD dwWaitHint = 0;
};

template <class T, UINT nServiceNameID>
class ServiceModuleT {
public:
    static constexpr int kServiceNameChars = 256;
    // How long the control manager waits for the next report of a pending state before it takes
    // the service for hung.
    static constexpr DWORD kStartWaitHint = 5000;
    static constexpr DWORD kStopWaitHint = 30000;
    // How long a removal waits for the running service to stop, and how often it looks.
    static constexpr DWORD kStopWaitMilliseconds = 30000;
    static constexpr DWORD kStopPollMilliseconds = 250;
    // The event types the service reports.
    static constexpr DWORD kEventTypesSupported =
        EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

    ServiceModuleT(platform::Services& services, platform::Registry& registry,
                   platform::Kernel& kernel)
        : _services(services), _registry(registry), _kernel(kernel), _reportLock(kernel) {
        // The service entry reaches the module through this; there is one module per process.
        s_module.store(static_cast<T*>(this));
        // Without its name the module can neither register nor run as a service.
        m_bInitFailed =
            _services.LoadStringW(nullptr, nServiceNameID, m_szServiceName, kServiceNameChars) == 0;
    }
    ~ServiceModuleT() {
        T* self = static_cast<T*>(this);
        s_module.compare_exchange_strong(self, nullptr);
    }
    ServiceModuleT(const ServiceModuleT&) = delete;
    ServiceModuleT& operator=(const ServiceModuleT&) = delete;

    // The process's module, null when there is none.
    static T* GetModule() { return s_module.load(); }

    // The process's work: registration by the command line, else Start.
    int WinMain(int nShowCmd) {
        if (m_bInitFailed) return -1;
        T* pT = static_cast<T*>(this);
        HRESULT hr = S_OK;
        if (pT->ParseCommandLine(_services.GetCommandLineW(), &hr)) hr = pT->Start(nShowCmd);
        return hr;
    }

    // Carries out a registration switch, setting its status; false when one was found.
    bool ParseCommandLine(LPCWSTR lpCmdLine, HRESULT* pnRetCode) {
        T* pT = static_cast<T*>(this);
        *pnRetCode = S_OK;
        // The program's own path may hold "-" or "/" too; only the arguments are switches.
        const PCWSTR arguments = SkipProgramName(lpCmdLine);
        for (PCWSTR token = FindSwitch(arguments); token != nullptr; token = FindSwitch(token)) {
            if (IsSwitchWord(token, L"UnregServer")) {
                *pnRetCode = pT->UnregisterAppId();
                return false;
            }
            if (IsSwitchWord(token, L"RegServer")) {
                *pnRetCode = pT->RegisterAppId(false);
                return false;
            }
            if (IsSwitchWord(token, L"UnregServerPerUser")) {
                SetPerUserRegistration(true);
                *pnRetCode = pT->UnregisterAppId();
                return false;
            }
            if (IsSwitchWord(token, L"RegServerPerUser")) {
                SetPerUserRegistration(true);
                *pnRetCode = pT->RegisterAppId(false);
                return false;
            }
        }
        for (PCWSTR token = FindSwitch(arguments); token != nullptr; token = FindSwitch(token)) {
            if (IsSwitchWord(token, L"Service")) {
                *pnRetCode = pT->RegisterAppId(true);
                return false;
            }
        }
        return true;
    }

    // Registration from now on goes to HKEY_CURRENT_USER\Software\Classes.
    void SetPerUserRegistration(bool perUser) { _perUser = perUser; }

    HRESULT RegisterAppId(bool bService) {
        HRESULT hr = Uninstall();
        if (FAILED(hr)) return hr;
        hr = UpdateRegistryAppId(true);
        if (FAILED(hr)) return hr;
        RegKey keyAppID(_registry);
        LSTATUS status = keyAppID.Open(ClassesRoot(), AppIdPath().c_str(), KEY_WRITE);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
        RegKey key(_registry);
        status = key.Create(keyAppID.Handle(), T::kAppId, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_READ | KEY_WRITE, nullptr, nullptr);
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
        _registry.RegDeleteValueW(key.Handle(), L"LocalService");
        if (!bService) return S_OK;
        // Without this value Start would not find the service and run in the foreground.
        status = _registry.RegSetValueExW(
            key.Handle(), L"LocalService", 0, REG_SZ,
            reinterpret_cast<const BYTE*>(m_szServiceName),
            static_cast<DWORD>((std::char_traits<wchar_t>::length(m_szServiceName) + 1) *
                               sizeof(wchar_t)));
        if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
        hr = Install();
        if (FAILED(hr)) return hr;
        return RegisterEventLogSource();
    }

    HRESULT UnregisterAppId() {
        const HRESULT hr = Uninstall();
        if (FAILED(hr)) return hr;
        // The event log source is the machine's, like the service.
        if (!_perUser) {
            _registry.RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                                    (kEventLogSources + std::wstring(m_szServiceName)).c_str());
        }
        RegKey keyAppID(_registry);
        LSTATUS status = keyAppID.Open(ClassesRoot(), AppIdPath().c_str(), KEY_WRITE);
        RegKey key(_registry);
        if (status == ERROR_SUCCESS) status = key.Open(keyAppID.Handle(), T::kAppId, KEY_WRITE);
        // A key that is not there holds no value to delete; the script's keys go below.
        if (status == ERROR_SUCCESS) {
            _registry.RegDeleteValueW(key.Handle(), L"LocalService");
        } else if (status != ERROR_FILE_NOT_FOUND) {
            return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
        }
        return UpdateRegistryAppId(false);
    }

    // Applies (or removes) the module's registration script with its AppID.
    HRESULT UpdateRegistryAppId(bool bRegister) {
        const HRSRC resource =
            _services.FindResourceW(nullptr, MAKEINTRESOURCEW(T::kRegistryResourceId), L"REGISTRY");
        const HGLOBAL loaded =
            resource != nullptr ? _services.LoadResource(nullptr, resource) : nullptr;
        const void* bytes = loaded != nullptr ? _services.LockResource(loaded) : nullptr;
        if (bytes == nullptr) return LastErrorStatus();
        Registrar registrar(_registry);
        registrar.SetPerUser(_perUser);
        registrar.AddReplacement(L"APPID", T::kAppId);
        const DWORD size = _services.SizeofResource(nullptr, resource);
        return bRegister ? registrar.ResourceRegister(bytes, size)
                         : registrar.ResourceUnregister(bytes, size);
    }

    // As a service when the AppID names one, else T::Run in the foreground.
    HRESULT Start(int nShowCmd) {
        T* pT = static_cast<T*>(this);
        RegKey key(_registry);
        const LSTATUS status =
            key.Open(HKEY_CLASSES_ROOT, (L"AppID\\" + std::wstring(T::kAppId)).c_str(), KEY_READ);
        if (status != ERROR_SUCCESS) return static_cast<HRESULT>(status);
        m_bService = HasLocalService(key);
        if (m_bService) {
            SERVICE_TABLE_ENTRYW st[] = {{m_szServiceName, _ServiceMain}, {nullptr, nullptr}};
            if (!_services.StartServiceCtrlDispatcherW(st)) {
                return static_cast<HRESULT>(_kernel.GetLastError());
            }
            // The dispatcher returns once the service has reported its last status.
            return m_status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                       ? static_cast<HRESULT>(m_status.dwServiceSpecificExitCode)
                       : static_cast<HRESULT>(m_status.dwWin32ExitCode);
        }
        const HRESULT hr = pT->Run(nShowCmd);
        // S_FALSE is a success too; the exit code says failure only for a failure.
        return SUCCEEDED(hr) ? S_OK : hr;
    }

    BOOL IsInstalled() {
        ScHandle scm(_services, _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (scm == nullptr) return FALSE;
        ScHandle service(_services,
                         _services.OpenServiceW(scm.get(), m_szServiceName, SERVICE_QUERY_CONFIG));
        return service == nullptr ? FALSE : TRUE;
    }

    // Creates the service; E_FAIL, with the reason shown, when it cannot.
    HRESULT Install() {
        // The path to run, in double quotes: it may hold blanks.
        wchar_t szFilePath[MAX_PATH + 3];
        if (!ModulePath(szFilePath + 1)) return E_FAIL;
        const std::size_t length = std::char_traits<wchar_t>::length(szFilePath + 1);
        szFilePath[0] = L'"';
        szFilePath[length + 1] = L'"';
        szFilePath[length + 2] = 0;
        ScHandle scm(_services, _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (scm == nullptr) {
            Message(L"Could not open Service Manager");
            return E_FAIL;
        }
        ScHandle service(_services,
                         _services.CreateServiceW(
                             scm.get(), m_szServiceName, m_szServiceName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             szFilePath, nullptr, nullptr, L"RPCSS\0", nullptr, nullptr));
        if (service == nullptr) {
            const DWORD error = _kernel.GetLastError();
            if (error == ERROR_SERVICE_EXISTS) return S_OK;
            // Removed while some program held it open: it goes once that program closes it.
            if (error == ERROR_SERVICE_MARKED_FOR_DELETE) return MarkedForDelete();
            Message(L"Could not start service");
            return E_FAIL;
        }
        return S_OK;
    }

    // Stops the service, waiting until it has stopped, and deletes it; E_FAIL, or the status of
    // a service that cannot be removed yet, with the reason shown, when it cannot.
    HRESULT Uninstall() {
        if (!IsInstalled()) return S_OK;
        ScHandle scm(_services, _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (scm == nullptr) {
            Message(L"Could not open Service Manager");
            return E_FAIL;
        }
        ScHandle service(_services,
                         _services.OpenServiceW(scm.get(), m_szServiceName,
                                                SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (service == nullptr) {
            Message(L"Could not open service");
            return E_FAIL;
        }
        SERVICE_STATUS status{};
        if (!_services.ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            const DWORD error = _kernel.GetLastError();
            // Not running, or stopping already: nothing to stop.
            if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
                Message(L"Could not stop service");
            }
        }
        // A running service that is deleted is only marked for deletion, and goes when it stops:
        // a reinstall in between would find it there, and then lose it.
        if (!WaitUntilStopped(service.get())) {
            Message(kServiceNotStoppedMessage);
            return HRESULT_FROM_WIN32(ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        if (_services.DeleteService(service.get())) return S_OK;
        if (_kernel.GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) return MarkedForDelete();
        Message(L"Could not delete service");
        return E_FAIL;
    }

    // Reports the text to the event log, and to standard output when not a service.
    void LogEventEx(int id, LPCWSTR pszMessage, WORD type = EVENTLOG_INFORMATION_TYPE) {
        if (!m_bService) WriteConsoleLine(pszMessage);
        ReportEvent(static_cast<DWORD>(id), pszMessage, type);
    }

    // Moves the service to the state and reports it, when the service is in one of the states
    // `from` (in any state when `from` is empty); false, with nothing changed, otherwise. A
    // report the control manager refuses changes the state all the same.
    bool ReportState(DWORD state, std::initializer_list<DWORD> from = {}) {
        std::lock_guard<platform::Mutex> lock(_reportLock);
        const DWORD current = m_status.dwCurrentState.load();
        if (from.size() != 0 && std::find(from.begin(), from.end(), current) == from.end()) {
            return false;
        }
        return ReportLocked(state);
    }

    // Reports SERVICE_STOPPED with the service's result: a failure as a service-specific error
    // with its HRESULT, so that the control manager's tools and the system log show it. This is
    // the last thing the service thread does.
    void ReportStopped(HRESULT result) {
        std::lock_guard<platform::Mutex> lock(_reportLock);
        m_status.dwWin32ExitCode = SUCCEEDED(result) ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        m_status.dwServiceSpecificExitCode = SUCCEEDED(result) ? 0 : static_cast<DWORD>(result);
        ReportLocked(SERVICE_STOPPED);
    }

    static void WINAPI _ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) {
        if (T* module = GetModule()) module->ServiceMain(dwArgc, lpszArgv);
    }

    wchar_t m_szServiceName[kServiceNameChars] = {};
    SERVICE_STATUS_HANDLE m_hServiceStatus = 0;
    ServiceStatus m_status;
    bool m_bService = false;
    bool m_bInitFailed = false;

protected:
    platform::Services& _services;
    platform::Registry& _registry;
    platform::Kernel& _kernel;

private:
    HKEY ClassesRoot() const { return _perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT; }
    std::wstring AppIdPath() const { return _perUser ? L"Software\\Classes\\AppID" : L"AppID"; }

    bool HasLocalService(RegKey& key) {
        wchar_t value[MAX_PATH];
        DWORD size = sizeof(value);
        DWORD type = REG_NONE;
        const LSTATUS status =
            key.QueryValue(L"LocalService", &type, reinterpret_cast<LPBYTE>(value), &size);
        if (status != ERROR_SUCCESS) return false;
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            Log(TRACE_LEVEL_WARNING, L"LocalService of the AppID is not a string (type %u)",
                static_cast<unsigned>(type));
            return false;
        }
        return true;
    }

    // The state reported, with the controls the state accepts and, for a pending state, a wait
    // hint and a check point that grows with each report. Nothing changes or is reported after
    // SERVICE_STOPPED: the status handle is closed then.
    bool ReportLocked(DWORD state) {
        if (_stopReported) return false;
        m_status.dwCurrentState.exchange(state);
        const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        m_status.dwCheckPoint = pending ? m_status.dwCheckPoint + 1 : 0;
        m_status.dwWaitHint =
            !pending ? 0 : state == SERVICE_START_PENDING ? kStartWaitHint : kStopWaitHint;
        SERVICE_STATUS status{m_status.dwServiceType,
                              state,
                              state == SERVICE_RUNNING ? m_status.dwControlsAccepted : 0,
                              m_status.dwWin32ExitCode,
                              m_status.dwServiceSpecificExitCode,
                              m_status.dwCheckPoint,
                              m_status.dwWaitHint};
        _stopReported = state == SERVICE_STOPPED;
        _services.SetServiceStatus(m_hServiceStatus, &status);
        return true;
    }

    // Polls the service until it has stopped; false when it has not within the bound.
    bool WaitUntilStopped(SC_HANDLE service) {
        for (DWORD waited = 0;; waited += kStopPollMilliseconds) {
            SERVICE_STATUS_PROCESS status{};
            DWORD needed = 0;
            if (!_services.QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                                reinterpret_cast<LPBYTE>(&status), sizeof(status),
                                                &needed)) {
                // Its state cannot be known: removing it is all that is left to try.
                LastErrorStatus();
                return true;
            }
            if (status.dwCurrentState == SERVICE_STOPPED) return true;
            if (waited >= kStopWaitMilliseconds) return false;
            _kernel.Sleep(kStopPollMilliseconds);
        }
    }

    HRESULT MarkedForDelete() {
        Message(kServiceMarkedForDeleteMessage);
        return HRESULT_FROM_WIN32(ERROR_SERVICE_MARKED_FOR_DELETE);
    }

    // The event log's source for the service, so that its viewers find the texts of the events
    // in the executable's message table.
    HRESULT RegisterEventLogSource() {
        wchar_t path[MAX_PATH + 1];
        if (!ModulePath(path)) return E_FAIL;
        RegKey key(_registry);
        LSTATUS status =
            key.Create(HKEY_LOCAL_MACHINE, (kEventLogSources + std::wstring(m_szServiceName)).c_str(),
                       nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, nullptr);
        const DWORD types = kEventTypesSupported;
        if (status == ERROR_SUCCESS) {
            status = _registry.RegSetValueExW(
                key.Handle(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                reinterpret_cast<const BYTE*>(path),
                static_cast<DWORD>((std::char_traits<wchar_t>::length(path) + 1) * sizeof(wchar_t)));
        }
        if (status == ERROR_SUCCESS) {
            status = _registry.RegSetValueExW(key.Handle(), L"TypesSupported", 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&types), sizeof(types));
        }
        return status == ERROR_SUCCESS ? S_OK
                                       : LogHResult(HRESULT_FROM_WIN32(static_cast<DWORD>(status)));
    }

    // The executable's full path into room for MAX_PATH + 1 characters; false when it cannot be
    // had whole.
    bool ModulePath(LPWSTR path) {
        // One character of room more than a path can have: a result that fills it was cut.
        const DWORD length = _services.GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
        if (length == 0 || length >= MAX_PATH) {
            LastErrorStatus();
            return false;
        }
        return true;
    }

    void ReportEvent(DWORD id, LPCWSTR text, WORD type) {
        const HANDLE hEventSource = _services.RegisterEventSourceW(nullptr, m_szServiceName);
        if (hEventSource == nullptr) return;
        LPCWSTR strings[] = {text};
        _services.ReportEventW(hEventSource, type, 0, id, nullptr, 1, 0, strings, nullptr);
        _services.DeregisterEventSource(hEventSource);
    }

    // Shows the text in a message box when someone can see it; otherwise writes it to standard
    // error and reports it to the event log.
    void Message(LPCWSTR text) {
        USEROBJECTFLAGS flags{};
        DWORD needed = 0;
        const HWINSTA station = _services.GetProcessWindowStation();
        const bool visible = station != nullptr &&
                             _services.GetUserObjectInformationW(station, UOI_FLAGS, &flags,
                                                                 sizeof(flags), &needed) &&
                             (flags.dwFlags & WSF_VISIBLE) != 0;
        if (visible) {
            _services.MessageBoxW(nullptr, text, m_szServiceName, MB_OK);
            return;
        }
        WriteErrorLine(text);
        ReportEvent(0, text, EVENTLOG_ERROR_TYPE);
    }

    HRESULT LastErrorStatus() {
        const HRESULT hr = HRESULT_FROM_WIN32(_kernel.GetLastError());
        return FAILED(hr) ? LogHResult(hr) : E_FAIL;
    }

    inline static std::atomic<T*> s_module{nullptr};

    bool _perUser = false;
    platform::Mutex _reportLock;
    bool _stopReported = false;
};
