// A simulated HID bus: the devices a test plugs in, enumerated through SetupAPI in the order they
// were plugged, opened by interface path, and exchanging reports with the system.
//
// SetupDiGetClassDevsW takes a snapshot, as on Windows: a device plugged after an enumeration is
// on the bus (CreateFileW finds it by path) but only later enumerations list it. Each device
// records every report that reaches it with its exact bytes, can refuse any operation, and
// answers as its kind does (touch_controller_sim.h, bezel_buttons_sim.h); a plain SimHidDevice
// takes output and feature reports and has no feature report to give.
//
// The class driver's rules are Windows', where Wine is more forgiving: a read or write open of a
// collection that Windows keeps for itself (keyboards, mice, touch screens) is refused, as are a
// read or write through a handle opened without that access, a feature buffer shorter than the
// collection's feature report length, a write of other than its output report length, and a
// read buffer shorter than its input report length.
//
// Faults by operation name through the fault plan; the HidP_ calls return the planned value as
// their status. ReadFile blocks through the scheduler until the device has an input report or the
// reading thread's I/O is cancelled (CancelSynchronousIo), which fails the read with
// ERROR_OPERATION_ABORTED. Closing the handle does not end the read: as on Windows, the close
// waits for it.
//
// A device can leave the bus and come back (SetPresent). Its handles do not survive that: the
// device object they were opened on is gone for good, so every call through one fails with
// ERROR_DEVICE_NOT_CONNECTED, a read blocked on one ends with that error, and only closing it
// still works. A device that comes back is a new device object with a fresh input queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/hid.h"
#include "platform/sim/faults.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/scheduler.h"

namespace platform::sim {

// What a device shows the system: its interface path, identity, top-level collection, report
// lengths (each with the report id byte) and the value capabilities of its input reports.
struct HidDeviceDescription {
    std::wstring path;
    USHORT vendorId = 0;
    USHORT productId = 0;
    USHORT versionNumber = 0;
    USHORT usagePage = 0;
    USHORT usage = 0;
    USHORT inputReportByteLength = 0;
    USHORT outputReportByteLength = 0;
    USHORT featureReportByteLength = 0;
    std::vector<HIDP_VALUE_CAPS> inputValueCaps;
};

// One request that reached a device, with its exact bytes (for GetFeature: the buffer as the
// caller handed it in, at the length it asked for).
struct HidReport {
    enum class Kind { Output, SetFeature, GetFeature };
    Kind kind;
    std::vector<BYTE> bytes;

    bool operator==(const HidReport&) const = default;
};

// How CreateFileW asked for a device.
struct HidOpenRequest {
    DWORD desiredAccess = 0;
    DWORD shareMode = 0;
    std::optional<DWORD> securityAttributesLength;  // none without security attributes
    bool inheritHandle = false;
    bool securityDescriptor = false;
    DWORD creationDisposition = 0;
    DWORD flagsAndAttributes = 0;

    bool operator==(const HidOpenRequest&) const = default;
};

class SimHidDevice {
public:
    SimHidDevice(Scheduler& scheduler, HidDeviceDescription description);
    virtual ~SimHidDevice() = default;
    SimHidDevice(const SimHidDevice&) = delete;
    SimHidDevice& operator=(const SimHidDevice&) = delete;

    // Fixed at construction.
    const HidDeviceDescription& Description() const { return _description; }
    // Whether the device has an input report with this id: the HID class driver passes on only
    // the reports the device's descriptor declares. A device without report ids has every one.
    bool DeclaresInputReport(BYTE reportId) const;

    // The rest takes the world lock.
    // An input report for the next read; at most the input report length.
    void QueueInputReport(std::vector<BYTE> report);
    // Every later call of the operation on this device ("CreateFileW", "HidD_GetAttributes",
    // "HidD_GetPreparsedData", "ReadFile", "WriteFile", "HidD_SetFeature", "HidD_GetFeature")
    // fails with the error before reaching it; error 0 lifts the refusal.
    void Refuse(std::string operation, DWORD error);
    // A write then takes at most this many bytes and reports only those as written.
    void LimitWrites(DWORD bytes);
    std::vector<HidReport> Reports();
    std::optional<HidOpenRequest> LastOpen();

protected:
    // The device's answers, world lock held. Each returns 0, or the error the call fails with.
    virtual DWORD OnOutputReport(const std::vector<BYTE>& report);
    virtual DWORD OnSetFeature(const std::vector<BYTE>& report);
    // Fills the caller's buffer of the given length.
    virtual DWORD OnGetFeature(BYTE* buffer, DWORD length);

    Scheduler& _scheduler;

private:
    friend class SimHid;

    const HidDeviceDescription _description;
    std::deque<std::vector<BYTE>> _input;
    std::map<std::string, DWORD, std::less<>> _refusals;
    std::optional<DWORD> _writeLimit;
    std::vector<HidReport> _reports;
    std::optional<HidOpenRequest> _lastOpen;
    bool _present = true;
    // Counts the device objects the device has had: a handle belongs to the one it was opened on.
    std::uint64_t _instance = 0;
};

class SimHid : public Hid {
public:
    // The interface class GUID of HID devices, {4D1E55B2-F16F-11CF-88CB-001111000030}.
    static const GUID kHidGuid;

    SimHid(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel);
    SimHid(const SimHid&) = delete;
    SimHid& operator=(const SimHid&) = delete;

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

    // Plugs a device in after those plugged before it; the bus owns it.
    template <class Device, class... Args>
    Device& AddDevice(Args&&... args) {
        auto device = std::make_unique<Device>(_scheduler, std::forward<Args>(args)...);
        Device& plugged = *device;
        Plug(std::move(device));
        return plugged;
    }

    // Whether the device is on the bus now (all are when plugged by AddDevice). An absent device
    // is left out of later enumerations, keeping its place in the bus order for when it is back,
    // and CreateFileW of its path fails with ERROR_FILE_NOT_FOUND. Every handle opened on it
    // before it went is dead for good, also after it comes back: each call through such a handle
    // fails with ERROR_DEVICE_NOT_CONNECTED, and a read blocked on it ends at once with that
    // error. CloseHandle of a dead handle succeeds. Taking the world lock inside.
    void SetPresent(SimHidDevice& device, bool present);
    bool IsPresent(const SimHidDevice& device);
    // Handles open now on the device (dead ones included, until closed).
    std::size_t OpenHandleCount(const SimHidDevice& device);
    // Of those, the handles opened since the device last came (the ones that keep it in use).
    std::size_t LiveHandleCount(const SimHidDevice& device);
    // World lock held by the caller: the device a live or dead device handle was opened on, or
    // null.
    const SimHidDevice* DeviceOfHandleLocked(HANDLE handle);
    // World lock held: whether the handle is a device handle whose device object is still there.
    bool HandleAliveLocked(HANDLE handle);

    // Reads blocked now, on every device.
    std::size_t PendingReadCount();
    // For tests that place another thread's action at an exact point: each is called on the
    // calling thread, outside the world lock, as a ReadFile begins and when a
    // CancelSynchronousIo finds no read to cancel. Set them while no thread reads.
    void SetReadHooks(std::function<void()> readBegins, std::function<void()> nothingToCancel);

    // What the system holds and has yet to give back.
    std::size_t DeviceInfoListCount();
    std::size_t PreparsedDataCount();

    // One report as it crossed the bus: what reached a device (Write, SetFeature) or what the
    // system got back (GetFeature, Read). The listener is called under the world lock, in order.
    enum class Exchange { Write, SetFeature, GetFeature, Read };
    using ExchangeListener =
        std::function<void(const SimHidDevice&, Exchange, const std::vector<BYTE>&)>;
    void SetExchangeListener(ExchangeListener listener);

private:
    class DeviceHandle;
    struct PendingRead {
        HANDLE thread;
        HANDLE file;
        bool cancelled = false;
    };

    void Plug(std::unique_ptr<SimHidDevice> device);
    // World lock held. Each sets the last error when it fails.
    std::shared_ptr<DeviceHandle> HandleOf(HANDLE handle);
    // Fails with ERROR_DEVICE_NOT_CONNECTED if the handle's device object is gone.
    bool Gone(const DeviceHandle& open);
    std::size_t CountHandles(const SimHidDevice& device, bool liveOnly);
    const std::vector<std::wstring>* DeviceInfoList(HDEVINFO deviceInfoSet);
    SimHidDevice* DeviceOf(PHIDP_PREPARSED_DATA preparsedData);
    std::wstring PathOf(PHIDP_PREPARSED_DATA preparsedData) const;
    bool Refused(SimHidDevice& device, std::string_view operation);
    bool Fail(DWORD error);

    Scheduler& _scheduler;
    FaultPlan& _faults;
    SimKernel& _kernel;
    std::vector<std::unique_ptr<SimHidDevice>> _devices;  // in bus order
    std::map<std::uintptr_t, std::vector<std::wstring>> _deviceInfoLists;
    std::uintptr_t _nextDeviceInfoList = 0x5E7D0000;
    std::map<std::uintptr_t, SimHidDevice*> _preparsedData;
    std::uintptr_t _nextPreparsedData = 0x9A9D0000;
    std::list<PendingRead*> _pendingReads;
    std::vector<std::weak_ptr<DeviceHandle>> _opened;  // every handle CreateFileW gave out
    ExchangeListener _exchangeListener;
    std::function<void()> _readBegins;
    std::function<void()> _nothingToCancel;
};

}  // namespace platform::sim
