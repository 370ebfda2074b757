// HID devices on Windows: the real SetupAPI, HID class driver and file calls.
#pragma once

#include "platform/hid.h"

namespace platform::win32 {

class Win32Hid : public Hid {
public:
    Win32Hid();

    void HidD_GetHidGuid(LPGUID hidGuid) override;
    HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND hwndParent,
                                  DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                     const GUID* interfaceClassGuid, DWORD memberIndex,
                                     PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) override;
    BOOL SetupDiGetDeviceInterfaceDetailW(
        HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
        PSP_DEVICE_INTERFACE_DETAIL_DATA_W deviceInterfaceDetailData,
        DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize,
        PSP_DEVINFO_DATA deviceInfoData) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) override;
    HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                       LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override;
    BOOL CloseHandle(HANDLE object) override;
    BOOLEAN HidD_GetAttributes(HANDLE hidDeviceObject, PHIDD_ATTRIBUTES attributes) override;
    BOOLEAN HidD_GetPreparsedData(HANDLE hidDeviceObject,
                                  PHIDP_PREPARSED_DATA* preparsedData) override;
    BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) override;
    NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) override;
    NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, PHIDP_VALUE_CAPS valueCaps,
                               PUSHORT valueCapsLength,
                               PHIDP_PREPARSED_DATA preparsedData) override;
    BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead, LPDWORD numberOfBytesRead,
                  LPOVERLAPPED overlapped) override;
    BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite,
                   LPDWORD numberOfBytesWritten, LPOVERLAPPED overlapped) override;
    BOOLEAN HidD_SetFeature(HANDLE hidDeviceObject, PVOID reportBuffer,
                            ULONG reportBufferLength) override;
    BOOLEAN HidD_GetFeature(HANDLE hidDeviceObject, PVOID reportBuffer,
                            ULONG reportBufferLength) override;
    BOOL CancelSynchronousIo(HANDLE thread) override;

private:
    const bool _underWine;
};

}  // namespace platform::win32
