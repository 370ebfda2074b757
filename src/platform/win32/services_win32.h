// The service control manager, the event log, the module's resources and command line, and
// message boxes on Windows: each call goes to advapi32, kernel32 or user32 unchanged.
#pragma once

#include "platform/services.h"

namespace platform::win32 {

class Win32Services : public Services {
public:
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
};

}  // namespace platform::win32
