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
// handler both change m_status.dwCurrentState, so it is changed only by atomic exchange or
// compare-exchange.
#pragma once

#include <atomic>
#include <string>

#include "log/log.h"
#include "platform/kernel.h"
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
// Writes one line of wide text to standard output as UTF-8.
void WriteConsoleLine(PCWSTR text);

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

// SERVICE_STATUS as the module keeps it: what the service thread changes while the control
// handler may be reporting is atomic.
struct ServiceStatus {
    DWORD dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    std::atomic<DWORD> dwCurrentState{SERVICE_STOPPED};
    DWORD dwControlsAccepted = SERVICE_ACCEPT_STOP;
    std::atomic<DWORD> dwWin32ExitCode{0};
    DWORD dwServiceSpecificExitCode = 0;
    std::atomic<DWORD> dwCheckPoint{0};
    std::atomic<DWORD> dwWaitHint{0};
};

template <class T, UINT nServiceNameID>
class ServiceModuleT {
public:
    static constexpr int kServiceNameChars = 256;

    ServiceModuleT(platform::Services& services, platform::Registry& registry,
                   platform::Kernel& kernel)
        : _services(services), _registry(registry), _kernel(kernel) {
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
        if (!Uninstall()) return E_FAIL;
        HRESULT hr = UpdateRegistryAppId(true);
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
        if (!Install()) return E_FAIL;
        return S_OK;
    }

    HRESULT UnregisterAppId() {
        if (!Uninstall()) return E_FAIL;
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
        if (status != ERROR_SUCCESS) {
            m_status.dwWin32ExitCode.store(static_cast<DWORD>(status));
            return static_cast<HRESULT>(status);
        }
        m_bService = HasLocalService(key);
        if (m_bService) {
            SERVICE_TABLE_ENTRYW st[] = {{m_szServiceName, _ServiceMain}, {nullptr, nullptr}};
            if (!_services.StartServiceCtrlDispatcherW(st)) {
                m_status.dwWin32ExitCode.store(_kernel.GetLastError());
            }
            return static_cast<HRESULT>(m_status.dwWin32ExitCode.load());
        }
        const HRESULT hr = pT->Run(nShowCmd);
        // S_FALSE is a success too; the exit code says failure only for a failure.
        m_status.dwWin32ExitCode.store(SUCCEEDED(hr) ? NO_ERROR : static_cast<DWORD>(hr));
        return static_cast<HRESULT>(m_status.dwWin32ExitCode.load());
    }

    BOOL IsInstalled() {
        ScHandle scm(_services, _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (scm == nullptr) return FALSE;
        ScHandle service(_services,
                         _services.OpenServiceW(scm.get(), m_szServiceName, SERVICE_QUERY_CONFIG));
        return service == nullptr ? FALSE : TRUE;
    }

    BOOL Install() {
        if (IsInstalled()) return TRUE;
        // The path to run, in double quotes: it may hold blanks.
        wchar_t szFilePath[MAX_PATH + 3];
        // One character of room more than a path can have: a result that fills it was cut.
        const DWORD dwFLen = _services.GetModuleFileNameW(nullptr, szFilePath + 1, MAX_PATH + 1);
        if (dwFLen == 0 || dwFLen >= MAX_PATH) {
            LastErrorStatus();
            return FALSE;
        }
        szFilePath[0] = L'"';
        szFilePath[dwFLen + 1] = L'"';
        szFilePath[dwFLen + 2] = 0;
        ScHandle scm(_services, _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (scm == nullptr) {
            Message(L"Could not open Service Manager");
            return FALSE;
        }
        ScHandle service(_services,
                         _services.CreateServiceW(
                             scm.get(), m_szServiceName, m_szServiceName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             szFilePath, nullptr, nullptr, L"RPCSS\0", nullptr, nullptr));
        if (service == nullptr) {
            Message(L"Could not start service");
            return FALSE;
        }
        return TRUE;
    }

    BOOL Uninstall() {
        if (!IsInstalled()) return TRUE;
        ScHandle scm(_services, _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (scm == nullptr) {
            Message(L"Could not open Service Manager");
            return FALSE;
        }
        ScHandle service(_services,
                         _services.OpenServiceW(scm.get(), m_szServiceName, SERVICE_STOP | DELETE));
        if (service == nullptr) {
            Message(L"Could not open service");
            return FALSE;
        }
        SERVICE_STATUS status{};
        if (!_services.ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            const DWORD error = _kernel.GetLastError();
            // Not running, or stopping already: nothing to stop.
            if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
                Message(L"Could not stop service");
            }
        }
        if (_services.DeleteService(service.get())) return TRUE;
        Message(L"Could not delete service");
        return FALSE;
    }

    // Reports the text to the event log, and to standard output when not a service.
    void LogEventEx(int id, LPCWSTR pszMessage, WORD type = EVENTLOG_INFORMATION_TYPE) {
        if (!m_bService) WriteConsoleLine(pszMessage);
        const HANDLE hEventSource = _services.RegisterEventSourceW(nullptr, m_szServiceName);
        if (hEventSource == nullptr) return;
        LPCWSTR strings[] = {pszMessage};
        _services.ReportEventW(hEventSource, type, 0, static_cast<DWORD>(id), nullptr, 1, 0,
                               strings, nullptr);
        _services.DeregisterEventSource(hEventSource);
    }

    // Reports m_status with the state as it is now. Two threads may report at once; each reports
    // again when the state changed while it reported, so the last report always carries the
    // state the service is in.
    void ReportStatus() {
        DWORD state = m_status.dwCurrentState.load();
        for (;;) {
            SERVICE_STATUS status{m_status.dwServiceType,
                                  state,
                                  m_status.dwControlsAccepted,
                                  m_status.dwWin32ExitCode.load(),
                                  m_status.dwServiceSpecificExitCode,
                                  m_status.dwCheckPoint.load(),
                                  m_status.dwWaitHint.load()};
            _services.SetServiceStatus(m_hServiceStatus, &status);
            const DWORD now = m_status.dwCurrentState.load();
            if (now == state) return;
            state = now;
        }
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

    void Message(LPCWSTR text) { _services.MessageBoxW(nullptr, text, m_szServiceName, MB_OK); }

    HRESULT LastErrorStatus() {
        const HRESULT hr = HRESULT_FROM_WIN32(_kernel.GetLastError());
        return FAILED(hr) ? LogHResult(hr) : E_FAIL;
    }

    inline static std::atomic<T*> s_module{nullptr};

    bool _perUser = false;
};
