// The service module base: one executable that is both its own installer and a Windows service.
//
// ServiceModule gives the program the command line ("RegServer", "UnregServer",
// "RegServerPerUser", "UnregServerPerUser", "Service"), the AppID registration from the module's
// REGISTRY resource, service creation and removal through the service control manager, the
// service's status reports and event-log reports. The program may replace RegisterAppId.
//
// ServiceModuleT<T, nServiceNameID> adds what depends on the program's class (T, which derives
// from it): the process's one module, and the choice between the control dispatcher and running
// in the foreground. T supplies:
//
//   static constexpr const wchar_t* kAppId;          the AppID, "{...}"
//   static constexpr UINT kRegistryResourceId;        its registration script
//   HRESULT Run(int showCommand);                     the service's work
//   void ServiceMain(DWORD argc, LPWSTR* argv);       the service entry on the service thread
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

#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <string>

#include "log/log.h"
#include "platform/kernel.h"
#include "platform/owner.h"
#include "platform/registry.h"
#include "platform/services.h"
#include "platform/sync.h"
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

// Gives a service control manager handle back to the manager it came from.
using ScHandleCloser =
    platform::InterfaceCloser<SC_HANDLE, platform::Services, &platform::Services::CloseServiceHandle>;
using ScHandle = platform::Owner<ScHandleCloser>;

// The checks read as the Windows code they stand for ("hService != nullptr"), and the assertion
// lines quote them.
inline bool operator==(const ScHandle& handle, std::nullptr_t) { return !handle; }

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

class ServiceModule {
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

    // Loads the service name (string serviceNameId); without it the module can neither register
    // nor run as a service, and says so in m_bInitFailed.
    ServiceModule(platform::Services& services, platform::Registry& registry,
                  platform::Kernel& kernel, PCWSTR appId, UINT registryResourceId,
                  UINT serviceNameId);
    virtual ~ServiceModule() = default;
    ServiceModule(const ServiceModule&) = delete;
    ServiceModule& operator=(const ServiceModule&) = delete;

    // Carries out a registration switch, setting its status; false when one was found.
    bool ParseCommandLine(LPCWSTR lpCmdLine, HRESULT* pnRetCode);
    // Registration from now on goes to HKEY_CURRENT_USER\Software\Classes.
    void SetPerUserRegistration(bool perUser) { _perUser = perUser; }

    virtual HRESULT RegisterAppId(bool bService);
    HRESULT UnregisterAppId();
    // Applies (or removes) the module's registration script with its AppID.
    HRESULT UpdateRegistryAppId(bool bRegister);

    BOOL IsInstalled();
    // Creates the service; E_FAIL, with the reason shown, when it cannot.
    HRESULT Install();
    // Stops the service, waiting until it has stopped, and deletes it; E_FAIL, or the status of
    // a service that cannot be removed yet, with the reason shown, when it cannot.
    HRESULT Uninstall();

    // Reports the text to the event log, and to standard output when not a service.
    void LogEventEx(int id, LPCWSTR pszMessage, WORD type = EVENTLOG_INFORMATION_TYPE);

    // Moves the service to the state and reports it, when the service is in one of the states
    // `from` (in any state when `from` is empty); false, with nothing changed, otherwise. A
    // report the control manager refuses changes the state all the same.
    bool ReportState(DWORD state, std::initializer_list<DWORD> from = {});
    // Reports SERVICE_STOPPED with the service's result: a failure as a service-specific error
    // with its HRESULT, so that the control manager's tools and the system log show it. This is
    // the last thing the service thread does.
    void ReportStopped(HRESULT result);

    wchar_t m_szServiceName[kServiceNameChars] = {};
    SERVICE_STATUS_HANDLE m_hServiceStatus = 0;
    ServiceStatus m_status;
    bool m_bService = false;
    bool m_bInitFailed = false;

protected:
    // Reads from the AppID whether the process is a service (m_bService); the key's status.
    LSTATUS ReadServiceMode();
    // Hands the main thread to the control dispatcher until the service has stopped; the
    // process's exit code.
    HRESULT RunDispatcher(LPSERVICE_MAIN_FUNCTIONW serviceMain);

    platform::Services& _services;
    platform::Registry& _registry;
    platform::Kernel& _kernel;

private:
    HKEY ClassesRoot() const { return _perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT; }
    std::wstring AppIdPath() const { return _perUser ? L"Software\\Classes\\AppID" : L"AppID"; }
    bool HasLocalService(RegKey& key);
    // The state reported, with the controls the state accepts and, for a pending state, a wait
    // hint and a check point that grows with each report. Nothing changes or is reported after
    // SERVICE_STOPPED: the status handle is closed then.
    bool ReportLocked(DWORD state);
    // Polls the service until it has stopped; false when it has not within the bound.
    bool WaitUntilStopped(SC_HANDLE service);
    HRESULT MarkedForDelete();
    // The event log's source for the service, so that its viewers find the texts of the events
    // in the executable's message table.
    HRESULT RegisterEventLogSource();
    // The executable's full path into room for MAX_PATH + 1 characters; false when it cannot be
    // had whole.
    bool ModulePath(LPWSTR path);
    void ReportEvent(DWORD id, LPCWSTR text, WORD type);
    // Shows the text in a message box when someone can see it; otherwise writes it to standard
    // error and reports it to the event log.
    void Message(LPCWSTR text);
    HRESULT LastErrorStatus();

    const PCWSTR _appId;
    const UINT _registryResourceId;
    bool _perUser = false;
    platform::Mutex _reportLock;
    bool _stopReported = false;
};

template <class T, UINT nServiceNameID>
class ServiceModuleT : public ServiceModule {
public:
    ServiceModuleT(platform::Services& services, platform::Registry& registry,
                   platform::Kernel& kernel)
        : ServiceModule(services, registry, kernel, T::kAppId, T::kRegistryResourceId,
                        nServiceNameID) {
        // The service entry reaches the module through this; there is one module per process.
        // It is T only once constructed, so it is kept as the base until it is looked up.
        s_module.store(this);
    }
    ~ServiceModuleT() override {
        ServiceModuleT* self = this;
        s_module.compare_exchange_strong(self, nullptr);
    }

    // The process's module, null when there is none.
    static T* GetModule() { return static_cast<T*>(s_module.load()); }

    // The process's work: registration by the command line, else Start.
    int WinMain(int nShowCmd) {
        if (m_bInitFailed) return -1;
        HRESULT hr = S_OK;
        if (ParseCommandLine(_services.GetCommandLineW(), &hr)) hr = Start(nShowCmd);
        return hr;
    }

    // As a service when the AppID names one, else T::Run in the foreground.
    HRESULT Start(int nShowCmd) {
        const LSTATUS status = ReadServiceMode();
        if (status != ERROR_SUCCESS) return static_cast<HRESULT>(status);
        if (m_bService) return RunDispatcher(_ServiceMain);
        const HRESULT hr = static_cast<T*>(this)->Run(nShowCmd);
        // S_FALSE is a success too; the exit code says failure only for a failure.
        return SUCCEEDED(hr) ? S_OK : hr;
    }

    static void WINAPI _ServiceMain(DWORD dwArgc, LPWSTR* lpszArgv) {
        if (T* module = GetModule()) module->ServiceMain(dwArgc, lpszArgv);
    }

private:
    inline static std::atomic<ServiceModuleT*> s_module{nullptr};
};
