#include "platform/win32/services_win32.h"

#include "platform/win32/windows_sdk.h"

namespace platform::win32 {

BOOL Win32Services::StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceTable) {
    return ::StartServiceCtrlDispatcherW(serviceTable);
}

SERVICE_STATUS_HANDLE Win32Services::RegisterServiceCtrlHandlerExW(LPCWSTR serviceName,
                                                                   LPHANDLER_FUNCTION_EX handler,
                                                                   LPVOID context) {
    return ::RegisterServiceCtrlHandlerExW(serviceName, handler, context);
}

BOOL Win32Services::SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    return ::SetServiceStatus(handle, status);
}

SC_HANDLE Win32Services::OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName,
                                        DWORD desiredAccess) {
    return ::OpenSCManagerW(machineName, databaseName, desiredAccess);
}

SC_HANDLE Win32Services::OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
    return ::OpenServiceW(manager, serviceName, desiredAccess);
}

SC_HANDLE Win32Services::CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName,
                                        DWORD desiredAccess, DWORD serviceType, DWORD startType,
                                        DWORD errorControl, LPCWSTR binaryPathName,
                                        LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies,
                                        LPCWSTR serviceStartName, LPCWSTR password) {
    return ::CreateServiceW(manager, serviceName, displayName, desiredAccess, serviceType,
                            startType, errorControl, binaryPathName, loadOrderGroup, tagId,
                            dependencies, serviceStartName, password);
}

BOOL Win32Services::ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                         DWORD errorControl, LPCWSTR binaryPathName,
                                         LPCWSTR loadOrderGroup, LPDWORD tagId,
                                         LPCWSTR dependencies, LPCWSTR serviceStartName,
                                         LPCWSTR password, LPCWSTR displayName) {
    return ::ChangeServiceConfigW(service, serviceType, startType, errorControl, binaryPathName,
                                  loadOrderGroup, tagId, dependencies, serviceStartName, password,
                                  displayName);
}

BOOL Win32Services::ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    return ::ControlService(service, control, status);
}

BOOL Win32Services::QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel,
                                         LPBYTE buffer, DWORD bufferSize, LPDWORD bytesNeeded) {
    return ::QueryServiceStatusEx(service, infoLevel, buffer, bufferSize, bytesNeeded);
}

BOOL Win32Services::DeleteService(SC_HANDLE service) { return ::DeleteService(service); }

BOOL Win32Services::CloseServiceHandle(SC_HANDLE object) { return ::CloseServiceHandle(object); }

HANDLE Win32Services::RegisterEventSourceW(LPCWSTR serverName, LPCWSTR sourceName) {
    return ::RegisterEventSourceW(serverName, sourceName);
}

BOOL Win32Services::ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                                 PVOID userSid, WORD numStrings, DWORD dataSize, LPCWSTR* strings,
                                 LPVOID rawData) {
    return ::ReportEventW(eventLog, type, category, eventId, userSid, numStrings, dataSize, strings,
                          rawData);
}

BOOL Win32Services::DeregisterEventSource(HANDLE eventLog) {
    return ::DeregisterEventSource(eventLog);
}

int Win32Services::LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax) {
    return ::LoadStringW(instance, id, buffer, bufferMax);
}

HRSRC Win32Services::FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type) {
    return ::FindResourceW(module, name, type);
}

HGLOBAL Win32Services::LoadResource(HMODULE module, HRSRC resource) {
    return ::LoadResource(module, resource);
}

LPVOID Win32Services::LockResource(HGLOBAL data) { return ::LockResource(data); }

DWORD Win32Services::SizeofResource(HMODULE module, HRSRC resource) {
    return ::SizeofResource(module, resource);
}

LPWSTR Win32Services::GetCommandLineW() { return ::GetCommandLineW(); }

DWORD Win32Services::GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    return ::GetModuleFileNameW(module, fileName, size);
}

int Win32Services::MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    return ::MessageBoxW(owner, text, caption, type);
}

HWINSTA Win32Services::GetProcessWindowStation() { return ::GetProcessWindowStation(); }

BOOL Win32Services::GetUserObjectInformationW(HANDLE object, int index, PVOID info, DWORD length,
                                              LPDWORD lengthNeeded) {
    return ::GetUserObjectInformationW(object, index, info, length, lengthNeeded);
}

}  // namespace platform::win32
