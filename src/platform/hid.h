// HID devices under their Windows names: the HID interface class and its enumeration through
// SetupAPI, opening a device interface, its attributes and parsed capabilities, and synchronous
// report exchange with it (input and output reports through ReadFile and WriteFile, feature
// reports through the HID class driver).
//
// Device handles come from CreateFileW and go back through CloseHandle here; a synchronous read
// blocked on another thread ends with CancelSynchronousIo of that thread. Failures set the
// thread's last error as Windows does; the HidP_ parsing calls return their status instead.
#pragma once

#include "platform/win32types.h"

namespace platform {

class Hid {
public:
    virtual ~Hid() = default;

    virtual void HidD_GetHidGuid(LPGUID hidGuid) = 0;

    virtual HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND hwndParent,
                                          DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet,
                                             PSP_DEVINFO_DATA deviceInfoData,
                                             const GUID* interfaceClassGuid, DWORD memberIndex,
                                             PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceDetailW(
        HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
        PSP_DEVICE_INTERFACE_DETAIL_DATA_W deviceInterfaceDetailData,
        DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize,
        PSP_DEVINFO_DATA deviceInfoData) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) = 0;

    virtual HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                               LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                               DWORD flagsAndAttributes, HANDLE templateFile) = 0;
    virtual BOOL CloseHandle(HANDLE object) = 0;

    virtual BOOLEAN HidD_GetAttributes(HANDLE hidDeviceObject, PHIDD_ATTRIBUTES attributes) = 0;
    virtual BOOLEAN HidD_GetPreparsedData(HANDLE hidDeviceObject,
                                          PHIDP_PREPARSED_DATA* preparsedData) = 0;
    virtual BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) = 0;
    virtual NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) = 0;
    virtual NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, PHIDP_VALUE_CAPS valueCaps,
                                       PUSHORT valueCapsLength,
                                       PHIDP_PREPARSED_DATA preparsedData) = 0;

    virtual BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead,
                          LPDWORD numberOfBytesRead, LPOVERLAPPED overlapped) = 0;
    virtual BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite,
                           LPDWORD numberOfBytesWritten, LPOVERLAPPED overlapped) = 0;
    virtual BOOLEAN HidD_SetFeature(HANDLE hidDeviceObject, PVOID reportBuffer,
                                    ULONG reportBufferLength) = 0;
    virtual BOOLEAN HidD_GetFeature(HANDLE hidDeviceObject, PVOID reportBuffer,
                                    ULONG reportBufferLength) = 0;
    virtual BOOL CancelSynchronousIo(HANDLE thread) = 0;
};

}  // namespace platform
