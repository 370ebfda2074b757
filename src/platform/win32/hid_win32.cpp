#include "platform/win32/hid_win32.h"

namespace platform::win32 {

namespace {

bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace

Win32Hid::Win32Hid() : _underWine(RunningUnderWine()) {}

void Win32Hid::HidD_GetHidGuid(LPGUID hidGuid) { ::HidD_GetHidGuid(hidGuid); }

HDEVINFO Win32Hid::SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND hwndParent,
                                        DWORD flags) {
    return ::SetupDiGetClassDevsW(classGuid, enumerator, hwndParent, flags);
}

BOOL Win32Hid::SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                           const GUID* interfaceClassGuid, DWORD memberIndex,
                                           PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
    return ::SetupDiEnumDeviceInterfaces(deviceInfoSet, deviceInfoData, interfaceClassGuid,
                                         memberIndex, deviceInterfaceData);
}

BOOL Win32Hid::SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W deviceInterfaceDetailData,
    DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfoData) {
    return ::SetupDiGetDeviceInterfaceDetailW(
        deviceInfoSet, deviceInterfaceData, deviceInterfaceDetailData,
        deviceInterfaceDetailDataSize, requiredSize, deviceInfoData);
}

BOOL Win32Hid::SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    return ::SetupDiDestroyDeviceInfoList(deviceInfoSet);
}

HANDLE Win32Hid::CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                             LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                             DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileW(fileName, desiredAccess, shareMode, securityAttributes,
                         creationDisposition, flagsAndAttributes, templateFile);
}

BOOL Win32Hid::CloseHandle(HANDLE object) { return ::CloseHandle(object); }

BOOLEAN Win32Hid::HidD_GetAttributes(HANDLE hidDeviceObject, PHIDD_ATTRIBUTES attributes) {
    return ::HidD_GetAttributes(hidDeviceObject, attributes);
}

BOOLEAN Win32Hid::HidD_GetPreparsedData(HANDLE hidDeviceObject,
                                        PHIDP_PREPARSED_DATA* preparsedData) {
    return ::HidD_GetPreparsedData(hidDeviceObject, preparsedData);
}

BOOLEAN Win32Hid::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    return ::HidD_FreePreparsedData(preparsedData);
}

NTSTATUS Win32Hid::HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    return ::HidP_GetCaps(preparsedData, capabilities);
}

NTSTATUS Win32Hid::HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, PHIDP_VALUE_CAPS valueCaps,
                                     PUSHORT valueCapsLength, PHIDP_PREPARSED_DATA preparsedData) {
    return ::HidP_GetValueCaps(reportType, valueCaps, valueCapsLength, preparsedData);
}

BOOL Win32Hid::ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead,
                        LPDWORD numberOfBytesRead, LPOVERLAPPED overlapped) {
    return ::ReadFile(file, buffer, numberOfBytesToRead, numberOfBytesRead, overlapped);
}

BOOL Win32Hid::WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite,
                         LPDWORD numberOfBytesWritten, LPOVERLAPPED overlapped) {
    const BOOL written =
        ::WriteFile(file, buffer, numberOfBytesToWrite, numberOfBytesWritten, overlapped);
    // Wine's class driver counts a numbered output report without its report id byte, although
    // the device got every byte; Windows counts them all, and so does this layer.
    if (written && _underWine && numberOfBytesWritten && overlapped == nullptr &&
        numberOfBytesToWrite > 0 && static_cast<const BYTE*>(buffer)[0] != 0 &&
        *numberOfBytesWritten + 1 == numberOfBytesToWrite) {
        *numberOfBytesWritten = numberOfBytesToWrite;
    }
    return written;
}

BOOLEAN Win32Hid::HidD_SetFeature(HANDLE hidDeviceObject, PVOID reportBuffer,
                                  ULONG reportBufferLength) {
    return ::HidD_SetFeature(hidDeviceObject, reportBuffer, reportBufferLength);
}

BOOLEAN Win32Hid::HidD_GetFeature(HANDLE hidDeviceObject, PVOID reportBuffer,
                                  ULONG reportBufferLength) {
    return ::HidD_GetFeature(hidDeviceObject, reportBuffer, reportBufferLength);
}

BOOL Win32Hid::CancelSynchronousIo(HANDLE thread) { return ::CancelSynchronousIo(thread); }

}  // namespace platform::win32
