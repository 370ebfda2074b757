// A simulated service control manager with its database, the event log it records, the module's
// resources and command line, and message boxes that are recorded instead of shown.
//
// It keeps the contracts Windows keeps and Wine forgives: a handle does only what its access
// allows; a control reaches the service only when its last report accepts it and is not pending;
// a service marked for deletion goes only once it has stopped and its last handle is closed; and
// a report after SERVICE_STOPPED fails (the status handle is closed then) but is recorded, so
// tests see it.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/services.h"
#include "platform/sim/faults.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/scheduler.h"
#include "platform/sync.h"

namespace platform::sim {

class SimServices : public Services {
public:
    SimServices(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel);
    ~SimServices() override;

    BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) override;
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                        LPHANDLER_FUNCTION_EX handler,
                                                        LPVOID context) override;
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) override;
    SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                             DWORD desiredAccess) override;
    SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) override;
    SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                             DWORD desiredAccess, DWORD serviceType, DWORD startType,
                             DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                             LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                             LPCWSTR password) override;
    BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                              DWORD errorControl, LPCWSTR binaryPathName, LPCWSTR loadOrderGroup,
                              LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                              LPCWSTR password, LPCWSTR displayName) override;
    BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) override;
    BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                              DWORD bufferSize, LPDWORD bytesNeeded) override;
    BOOL DeleteService(SC_HANDLE service) override;
    BOOL CloseServiceHandle(SC_HANDLE object) override;
    HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) override;
    BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PVOID userSid,
                      WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData) override;
    BOOL DeregisterEventSource(HANDLE eventLog) override;
    int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) override;
    HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) override;
    HGLOBAL LoadResource(HMODULE module, HRSRC resource) override;
    LPVOID LockResource(HGLOBAL data) override;
    DWORD SizeofResource(HMODULE module, HRSRC resource) override;
    LPWSTR GetCommandLineW() override;
    DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) override;
    int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) override;
    HWINSTA GetProcessWindowStation() override;
    BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD length,
                                   LPDWORD lengthNeeded) override;

    // The process as the system started it.
    void SetCommandLine(const std::wstring& commandLine);
    void SetModuleFileName(const std::wstring& path);
    void SetString(UINT id, const std::wstring& text);
    void SetResource(const std::wstring& type, UINT id, const std::string& bytes);

    // Whether message boxes can be seen: false is a service's or a deployment tool's window
    // station, where a message box waits for a click that never comes.
    void SetWindowStationVisible(bool visible);

    // A control from the system (shutdown, power events), handed to the service's handler on the
    // dispatcher's thread when its last report accepts it; false when it was not sent.
    bool SendControl(DWORD control, DWORD eventType = 0);

    struct InstalledService {
        std::wstring displayName, binaryPath, dependencies, account;
        DWORD serviceType = 0, startType = 0, errorControl = 0;
        bool markedForDelete = false;
    };
    struct EventLogEntry {
        std::wstring source;
        WORD type;
        std::vector<std::wstring> strings;
    };
    struct MessageBoxShown {
        std::wstring caption, text;
    };
    std::map<std::wstring, InstalledService> Installed();
    std::vector<EventLogEntry> EventLog();
    std::vector<MessageBoxShown> MessageBoxes();
    std::vector<SERVICE_STATUS> StatusReports();
    // Called for every status report, under the world lock, in order.
    void SetStatusListener(std::function<void(const SERVICE_STATUS&)> listener);
    std::size_t OpenHandleCount();

private:
    struct ScObject {
        bool manager;
        std::wstring service;  // lower case; empty for the manager
        DWORD access;
    };
    struct Control {
        DWORD control, eventType;
    };

    ScObject* Object(SC_HANDLE handle);
    // The service the handle was opened for with all of the access; null, with the last error
    // set, otherwise.
    ScObject* ServiceObject(SC_HANDLE handle, DWORD access);
    bool Running(const std::wstring& service) const;
    bool Accepts(DWORD control) const;
    // Removes a service marked for deletion once nothing holds it: stopped, no handle open.
    void RemoveIfDeleted(const std::wstring& service);
    SC_HANDLE Add(ScObject object);
    bool Faulted(std::string_view operation, std::wstring_view argument = {}) {
        return _kernel.Faulted(operation, argument);
    }

    Scheduler& _scheduler;
    SimKernel& _kernel;
    std::wstring _commandLine = L"Kelvo.exe";
    std::wstring _moduleFileName = L"C:\\Program Files\\Kelvo\\Kelvo.exe";
    std::map<UINT, std::wstring> _strings;
    std::vector<std::pair<std::pair<std::wstring, UINT>, std::string>> _resources;
    std::map<std::wstring, InstalledService> _installed;  // by lower-case name
    std::map<std::uintptr_t, ScObject> _scHandles;
    std::uintptr_t _nextScHandle = 0x5C000010;
    std::map<std::uintptr_t, std::wstring> _eventSources;
    std::uintptr_t _nextEventSource = 0xE1000010;
    std::vector<EventLogEntry> _eventLog;
    std::vector<MessageBoxShown> _messageBoxes;
    bool _windowStationVisible = true;
    std::vector<SERVICE_STATUS> _statusReports;
    std::function<void(const SERVICE_STATUS&)> _statusListener;
    // The running service, once its dispatcher has started it.
    std::wstring _runningName;
    LPHANDLER_FUNCTION_EX _handler = nullptr;
    LPVOID _handlerContext = nullptr;
    std::deque<Control> _controls;
    bool _dispatching = false;
    bool _stopReported = false;
};

}  // namespace platform::sim
