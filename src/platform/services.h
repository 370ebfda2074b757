// The service control manager, the event log, the module's resources and command line, and
// message boxes with the window station they appear on, under their Windows names.
#pragma once

#include "platform/win32types.h"

namespace platform {

class Services {
public:
    virtual ~Services() = default;

    virtual BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) = 0;
    virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                                LPHANDLER_FUNCTION_EX handler,
                                                                LPVOID context) = 0;
    virtual BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) = 0;
    virtual SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                     DWORD desiredAccess) = 0;
    virtual SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) = 0;
    virtual SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                     DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                     DWORD errorControl, LPCWSTR binaryPathName,
                                     LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                     LPCWSTR serviceStartName, LPCWSTR password) = 0;
    virtual BOOL ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                      DWORD errorControl, LPCWSTR binaryPathName,
                                      LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                      LPCWSTR serviceStartName, LPCWSTR password,
                                      LPCWSTR displayName) = 0;
    virtual BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) = 0;
    virtual BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer,
                                      DWORD bufferSize, LPDWORD bytesNeeded) = 0;
    virtual BOOL DeleteService(SC_HANDLE service) = 0;
    virtual BOOL CloseServiceHandle(SC_HANDLE object) = 0;

    virtual HANDLE RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) = 0;
    virtual BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                              PVOID userSid, WORD numStrings, DWORD dataSize, LPCWSTR* strings,
                              LPVOID rawData) = 0;
    virtual BOOL DeregisterEventSource(HANDLE eventLog) = 0;

    virtual int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) = 0;
    virtual HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) = 0;
    virtual HGLOBAL LoadResource(HMODULE module, HRSRC resource) = 0;
    virtual LPVOID LockResource(HGLOBAL data) = 0;
    virtual DWORD SizeofResource(HMODULE module, HRSRC resource) = 0;

    virtual LPWSTR GetCommandLineW() = 0;
    virtual DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) = 0;
    virtual int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) = 0;
    // The window station a message box would appear on, and its flags (UOI_FLAGS).
    virtual HWINSTA GetProcessWindowStation() = 0;
    virtual BOOL GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD length,
                                           LPDWORD lengthNeeded) = 0;
};

}  // namespace platform
