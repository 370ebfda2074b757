#include "platform/sim/hid_sim.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <stdexcept>

namespace platform::sim {

namespace {

constexpr DWORD SPINT_ACTIVE = 0x1;

// Interface paths are compared without regard to letter case, as Windows does.
bool SamePath(const std::wstring& a, LPCWSTR b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    }
    return i == a.size() && b[i] == 0;
}

// The thread handle that CancelSynchronousIo names the calling thread by; null for a thread the
// scheduler did not start, which nobody can cancel.
HANDLE CallingThreadHandle() {
    const std::uint32_t id = Scheduler::CurrentThreadId();
    return id == 0 ? nullptr : SimKernel::ThreadHandle(id);
}

}  // namespace

// The fault plan's name of a preparsed-data block: its device's path.
std::wstring SimHid::PathOf(PHIDP_PREPARSED_DATA preparsedData) const {
    auto it = _preparsedData.find(reinterpret_cast<std::uintptr_t>(preparsedData));
    return it == _preparsedData.end() ? std::wstring() : it->second->Description().path;
}

const GUID SimHid::kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// An open device: what a CreateFileW handle stands for in the kernel's handle table.
class SimHid::DeviceHandle : public KernelObject {
public:
    DeviceHandle(SimHidDevice& device, DWORD access)
        : device(device), access(access), instance(device._instance) {}
    std::wstring FaultName() const override { return device.Description().path; }
    // Whether the device object it was opened on is still there.
    bool Alive() const { return device._present && device._instance == instance; }
    SimHidDevice& device;
    const DWORD access;
    const std::uint64_t instance;
};

namespace {

// The top-level collections that Windows opens exclusively for itself (its keyboard, mouse and
// touch drivers): anyone else may only ask them what they are, with an access of 0.
bool OpenedExclusivelyByWindows(const HidDeviceDescription& description) {
    constexpr USHORT kGenericDesktop = 0x01;
    constexpr USHORT kDigitizer = 0x0D;
    const USHORT usage = description.usage;
    switch (description.usagePage) {
        case kGenericDesktop:  // pointer, mouse, keyboard, keypad
            return usage == 0x01 || usage == 0x02 || usage == 0x06 || usage == 0x07;
        case kDigitizer:  // digitizer, pen, touch screen, touch pad
            return usage == 0x01 || usage == 0x02 || usage == 0x04 || usage == 0x05;
        default:
            return false;
    }
}

}  // namespace

SimHidDevice::SimHidDevice(Scheduler& scheduler, HidDeviceDescription description)
    : _scheduler(scheduler), _description(std::move(description)) {}

bool SimHidDevice::DeclaresInputReport(BYTE reportId) const {
    const auto& caps = _description.inputValueCaps;
    return std::all_of(caps.begin(), caps.end(),
                       [](const HIDP_VALUE_CAPS& c) { return c.ReportID == 0; }) ||
           std::any_of(caps.begin(), caps.end(),
                       [reportId](const HIDP_VALUE_CAPS& c) { return c.ReportID == reportId; });
}

void SimHidDevice::QueueInputReport(std::vector<BYTE> report) {
    if (report.size() > _description.inputReportByteLength) {
        throw std::invalid_argument("input report longer than the device's input report length");
    }
    Scheduler::Lock world(_scheduler.Mutex());
    _input.push_back(std::move(report));
    _scheduler.Notify(world);
}

void SimHidDevice::Refuse(std::string operation, DWORD error) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (error == 0) {
        _refusals.erase(operation);
    } else {
        _refusals[std::move(operation)] = error;
    }
}

void SimHidDevice::LimitWrites(DWORD bytes) {
    Scheduler::Lock world(_scheduler.Mutex());
    _writeLimit = bytes;
}

std::vector<HidReport> SimHidDevice::Reports() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _reports;
}

std::optional<HidOpenRequest> SimHidDevice::LastOpen() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _lastOpen;
}

DWORD SimHidDevice::OnOutputReport(const std::vector<BYTE>&) { return ERROR_SUCCESS; }

DWORD SimHidDevice::OnSetFeature(const std::vector<BYTE>&) { return ERROR_SUCCESS; }

DWORD SimHidDevice::OnGetFeature(BYTE*, DWORD) { return ERROR_GEN_FAILURE; }

SimHid::SimHid(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel)
    : _scheduler(scheduler), _faults(faults), _kernel(kernel) {}

void SimHid::Plug(std::unique_ptr<SimHidDevice> device) {
    Scheduler::Lock world(_scheduler.Mutex());
    _devices.push_back(std::move(device));
}

std::size_t SimHid::DeviceInfoListCount() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _deviceInfoLists.size();
}

std::size_t SimHid::PreparsedDataCount() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _preparsedData.size();
}

bool SimHid::Fail(DWORD error) {
    _kernel.SetLastError(error);
    return false;
}

std::shared_ptr<SimHid::DeviceHandle> SimHid::HandleOf(HANDLE handle) {
    auto open = _kernel.Object<DeviceHandle>(handle);
    if (!open) Fail(ERROR_INVALID_HANDLE);
    return open;
}

bool SimHid::Gone(const DeviceHandle& open) {
    if (open.Alive()) return false;
    Fail(ERROR_DEVICE_NOT_CONNECTED);
    return true;
}

void SimHid::SetPresent(SimHidDevice& device, bool present) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (device._present == present) return;
    device._present = present;
    if (!present) {
        // The device object goes with everything queued in it; a later one starts afresh.
        ++device._instance;
        device._input.clear();
    }
    _scheduler.Notify(world);
}

bool SimHid::IsPresent(const SimHidDevice& device) {
    Scheduler::Lock world(_scheduler.Mutex());
    return device._present;
}

std::size_t SimHid::CountHandles(const SimHidDevice& device, bool liveOnly) {
    std::erase_if(_opened, [](const std::weak_ptr<DeviceHandle>& h) { return h.expired(); });
    std::size_t count = 0;
    for (const auto& weak : _opened) {
        const auto open = weak.lock();
        if (open && &open->device == &device && (!liveOnly || open->Alive())) ++count;
    }
    return count;
}

std::size_t SimHid::OpenHandleCount(const SimHidDevice& device) {
    Scheduler::Lock world(_scheduler.Mutex());
    return CountHandles(device, false);
}

std::size_t SimHid::LiveHandleCount(const SimHidDevice& device) {
    Scheduler::Lock world(_scheduler.Mutex());
    return CountHandles(device, true);
}

const SimHidDevice* SimHid::DeviceOfHandleLocked(HANDLE handle) {
    const auto open = _kernel.Object<DeviceHandle>(handle);
    return open ? &open->device : nullptr;
}

bool SimHid::HandleAliveLocked(HANDLE handle) {
    const auto open = _kernel.Object<DeviceHandle>(handle);
    return open && open->Alive();
}

const std::vector<std::wstring>* SimHid::DeviceInfoList(HDEVINFO deviceInfoSet) {
    auto it = _deviceInfoLists.find(reinterpret_cast<std::uintptr_t>(deviceInfoSet));
    if (it == _deviceInfoLists.end()) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &it->second;
}

SimHidDevice* SimHid::DeviceOf(PHIDP_PREPARSED_DATA preparsedData) {
    auto it = _preparsedData.find(reinterpret_cast<std::uintptr_t>(preparsedData));
    return it == _preparsedData.end() ? nullptr : it->second;
}

bool SimHid::Refused(SimHidDevice& device, std::string_view operation) {
    auto it = device._refusals.find(operation);
    if (it == device._refusals.end()) return false;
    Fail(it->second);
    return true;
}

void SimHid::HidD_GetHidGuid(LPGUID hidGuid) {
    if (hidGuid) *hidGuid = kHidGuid;
}

HDEVINFO SimHid::SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("SetupDiGetClassDevsW")) return INVALID_HANDLE_VALUE;
    std::vector<std::wstring> paths;
    // Only HID interfaces exist on this bus.
    if (classGuid && *classGuid == kHidGuid && (flags & DIGCF_DEVICEINTERFACE)) {
        for (const auto& device : _devices) {
            if (device->_present) paths.push_back(device->Description().path);
        }
    }
    const std::uintptr_t key = _nextDeviceInfoList;
    _nextDeviceInfoList += 0x10;
    _deviceInfoLists.emplace(key, std::move(paths));
    _kernel.SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HDEVINFO>(key);
}

BOOL SimHid::SetupDiEnumDeviceInterfaces(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                                         const GUID* interfaceClassGuid, DWORD memberIndex,
                                         PSP_DEVICE_INTERFACE_DATA deviceInterfaceData) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("SetupDiEnumDeviceInterfaces", std::to_wstring(memberIndex))) return FALSE;
    const auto* paths = DeviceInfoList(deviceInfoSet);
    if (!paths) return FALSE;
    // Interfaces of one device element are not modelled: each device has one interface.
    if (deviceInfoData || !interfaceClassGuid) return Fail(ERROR_INVALID_PARAMETER);
    if (!deviceInterfaceData || deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (!(*interfaceClassGuid == kHidGuid) || memberIndex >= paths->size()) {
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    deviceInterfaceData->InterfaceClassGuid = kHidGuid;
    deviceInterfaceData->Flags = SPINT_ACTIVE;
    deviceInterfaceData->Reserved = static_cast<ULONG_PTR>(memberIndex) + 1;
    return TRUE;
}

BOOL SimHid::SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO deviceInfoSet, PSP_DEVICE_INTERFACE_DATA deviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W deviceInterfaceDetailData,
    DWORD deviceInterfaceDetailDataSize, PDWORD requiredSize, PSP_DEVINFO_DATA) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("SetupDiGetDeviceInterfaceDetailW",
                        deviceInterfaceData ? std::to_wstring(deviceInterfaceData->Reserved - 1)
                                            : std::wstring())) {
        return FALSE;
    }
    const auto* paths = DeviceInfoList(deviceInfoSet);
    if (!paths) return FALSE;
    if (!deviceInterfaceData || deviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        deviceInterfaceData->Reserved == 0 || deviceInterfaceData->Reserved > paths->size()) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::wstring& path = (*paths)[deviceInterfaceData->Reserved - 1];
    constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const std::size_t pathBytes = (path.size() + 1) * sizeof(WCHAR);
    const DWORD needed = static_cast<DWORD>(kPathOffset + pathBytes);
    if (requiredSize) *requiredSize = needed;
    if (!deviceInterfaceDetailData) {
        return Fail(deviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER
                                                       : ERROR_INVALID_USER_BUFFER);
    }
    if (deviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (deviceInterfaceDetailDataSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(reinterpret_cast<BYTE*>(deviceInterfaceDetailData) + kPathOffset, path.c_str(),
                pathBytes);
    return TRUE;
}

BOOL SimHid::SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("SetupDiDestroyDeviceInfoList")) return FALSE;
    if (_deviceInfoLists.erase(reinterpret_cast<std::uintptr_t>(deviceInfoSet)) == 0) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}

HANDLE SimHid::CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                           LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                           DWORD flagsAndAttributes, HANDLE) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("CreateFileW", fileName ? fileName : L"")) return INVALID_HANDLE_VALUE;
    SimHidDevice* device = nullptr;
    for (const auto& plugged : _devices) {
        if (plugged->_present && fileName && SamePath(plugged->Description().path, fileName)) {
            device = plugged.get();
        }
    }
    if (!device) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HidOpenRequest request;
    request.desiredAccess = desiredAccess;
    request.shareMode = shareMode;
    if (securityAttributes) {
        request.securityAttributesLength = securityAttributes->nLength;
        request.inheritHandle = securityAttributes->bInheritHandle != FALSE;
        request.securityDescriptor = securityAttributes->lpSecurityDescriptor != nullptr;
    }
    request.creationDisposition = creationDisposition;
    request.flagsAndAttributes = flagsAndAttributes;
    device->_lastOpen = request;
    if (Refused(*device, "CreateFileW")) return INVALID_HANDLE_VALUE;
    const DWORD readWrite = GENERIC_READ | GENERIC_WRITE;
    if ((desiredAccess & readWrite) != 0 && OpenedExclusivelyByWindows(device->Description())) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    _kernel.SetLastError(ERROR_SUCCESS);
    auto open = std::make_shared<DeviceHandle>(*device, desiredAccess & readWrite);
    std::erase_if(_opened, [](const std::weak_ptr<DeviceHandle>& h) { return h.expired(); });
    _opened.push_back(open);
    return _kernel.AddHandle(std::move(open));
}

BOOL SimHid::CloseHandle(HANDLE object) {
    {
        // As on Windows, closing a handle waits for a synchronous read on it to end: it is the
        // read's cancellation, or a report, that ends the read, never the close.
        Scheduler::Lock world(_scheduler.Mutex());
        const std::function<bool()> noReadPending = [&] {
            return std::none_of(_pendingReads.begin(), _pendingReads.end(),
                                [&](const PendingRead* read) { return read->file == object; });
        };
        _scheduler.Wait(world, noReadPending);
    }
    return _kernel.CloseHandle(object);
}

std::size_t SimHid::PendingReadCount() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _pendingReads.size();
}

BOOLEAN SimHid::HidD_GetAttributes(HANDLE hidDeviceObject, PHIDD_ATTRIBUTES attributes) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("HidD_GetAttributes", _kernel.FaultName(hidDeviceObject))) return FALSE;
    auto open = HandleOf(hidDeviceObject);
    if (!open) return FALSE;
    if (!attributes) return Fail(ERROR_INVALID_PARAMETER);
    if (Gone(*open) || Refused(open->device, "HidD_GetAttributes")) return FALSE;
    const HidDeviceDescription& description = open->device.Description();
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = description.vendorId;
    attributes->ProductID = description.productId;
    attributes->VersionNumber = description.versionNumber;
    return TRUE;
}

BOOLEAN SimHid::HidD_GetPreparsedData(HANDLE hidDeviceObject, PHIDP_PREPARSED_DATA* preparsedData) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("HidD_GetPreparsedData", _kernel.FaultName(hidDeviceObject))) return FALSE;
    auto open = HandleOf(hidDeviceObject);
    if (!open) return FALSE;
    if (!preparsedData) return Fail(ERROR_INVALID_PARAMETER);
    if (Gone(*open) || Refused(open->device, "HidD_GetPreparsedData")) return FALSE;
    const std::uintptr_t key = _nextPreparsedData;
    _nextPreparsedData += 0x10;
    _preparsedData.emplace(key, &open->device);
    *preparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(key);
    return TRUE;
}

BOOLEAN SimHid::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("HidD_FreePreparsedData", PathOf(preparsedData))) return FALSE;
    if (_preparsedData.erase(reinterpret_cast<std::uintptr_t>(preparsedData)) == 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return TRUE;
}

NTSTATUS SimHid::HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto status = _faults.Take("HidP_GetCaps", PathOf(preparsedData))) {
        return static_cast<NTSTATUS>(*status);
    }
    SimHidDevice* device = DeviceOf(preparsedData);
    if (!device || !capabilities) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    const HidDeviceDescription& description = device->Description();
    *capabilities = HIDP_CAPS{};
    capabilities->Usage = description.usage;
    capabilities->UsagePage = description.usagePage;
    capabilities->InputReportByteLength = description.inputReportByteLength;
    capabilities->OutputReportByteLength = description.outputReportByteLength;
    capabilities->FeatureReportByteLength = description.featureReportByteLength;
    capabilities->NumberLinkCollectionNodes = 1;
    capabilities->NumberInputValueCaps = static_cast<USHORT>(description.inputValueCaps.size());
    return HIDP_STATUS_SUCCESS;
}

NTSTATUS SimHid::HidP_GetValueCaps(HIDP_REPORT_TYPE reportType, PHIDP_VALUE_CAPS valueCaps,
                                   PUSHORT valueCapsLength, PHIDP_PREPARSED_DATA preparsedData) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto status = _faults.Take("HidP_GetValueCaps", PathOf(preparsedData))) {
        return static_cast<NTSTATUS>(*status);
    }
    SimHidDevice* device = DeviceOf(preparsedData);
    if (!device || !valueCapsLength) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    // Only input reports carry values on the simulated devices.
    static const std::vector<HIDP_VALUE_CAPS> kNone;
    const auto& caps = reportType == HidP_Input ? device->Description().inputValueCaps : kNone;
    const std::size_t copied = std::min<std::size_t>(*valueCapsLength, caps.size());
    if (copied != 0 && !valueCaps) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    std::copy_n(caps.begin(), copied, valueCaps);
    *valueCapsLength = static_cast<USHORT>(copied);
    return copied < caps.size() ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

void SimHid::SetReadHooks(std::function<void()> readBegins, std::function<void()> nothingToCancel) {
    Scheduler::Lock world(_scheduler.Mutex());
    _readBegins = std::move(readBegins);
    _nothingToCancel = std::move(nothingToCancel);
}

BOOL SimHid::ReadFile(HANDLE file, LPVOID buffer, DWORD numberOfBytesToRead,
                      LPDWORD numberOfBytesRead, LPOVERLAPPED overlapped) {
    if (_readBegins) _readBegins();
    Scheduler::Lock world(_scheduler.Mutex());
    if (numberOfBytesRead) *numberOfBytesRead = 0;
    if (_kernel.Faulted("ReadFile", _kernel.FaultName(file))) return FALSE;
    auto open = HandleOf(file);
    if (!open) return FALSE;
    // Only synchronous reads, as the system opens its devices.
    if (overlapped || !buffer || !numberOfBytesRead) return Fail(ERROR_INVALID_PARAMETER);
    if (!(open->access & GENERIC_READ)) return Fail(ERROR_ACCESS_DENIED);
    SimHidDevice& device = open->device;
    if (Gone(*open) || Refused(device, "ReadFile")) return FALSE;
    // The class driver hands out whole reports only.
    if (numberOfBytesToRead < device.Description().inputReportByteLength) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    if (device._input.empty()) {
        PendingRead pending{CallingThreadHandle(), file};
        _pendingReads.push_back(&pending);
        const std::function<bool()> ready = [&] {
            return pending.cancelled || !device._input.empty() || !open->Alive();
        };
        _scheduler.Wait(world, ready);
        _pendingReads.remove(&pending);
        _scheduler.Notify(world);
        // A cancelled read ends even when a report came in meanwhile; the report stays queued.
        if (pending.cancelled) return Fail(ERROR_OPERATION_ABORTED);
        if (Gone(*open)) return FALSE;
    }
    const std::vector<BYTE> report = std::move(device._input.front());
    device._input.pop_front();
    std::copy(report.begin(), report.end(), static_cast<BYTE*>(buffer));
    *numberOfBytesRead = static_cast<DWORD>(report.size());
    if (_exchangeListener) _exchangeListener(device, Exchange::Read, report);
    return TRUE;
}

BOOL SimHid::WriteFile(HANDLE file, LPCVOID buffer, DWORD numberOfBytesToWrite,
                       LPDWORD numberOfBytesWritten, LPOVERLAPPED overlapped) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (numberOfBytesWritten) *numberOfBytesWritten = 0;
    if (_kernel.Faulted("WriteFile", _kernel.FaultName(file))) return FALSE;
    auto open = HandleOf(file);
    if (!open) return FALSE;
    if (overlapped || !buffer || !numberOfBytesWritten) return Fail(ERROR_INVALID_PARAMETER);
    if (!(open->access & GENERIC_WRITE)) return Fail(ERROR_ACCESS_DENIED);
    SimHidDevice& device = open->device;
    if (Gone(*open) || Refused(device, "WriteFile")) return FALSE;
    // The class driver takes exactly one output report per write.
    if (numberOfBytesToWrite != device.Description().outputReportByteLength) {
        return Fail(ERROR_INVALID_USER_BUFFER);
    }
    const DWORD taken = std::min(numberOfBytesToWrite, device._writeLimit.value_or(~DWORD{0}));
    const auto* bytes = static_cast<const BYTE*>(buffer);
    std::vector<BYTE> report(bytes, bytes + taken);
    device._reports.push_back({HidReport::Kind::Output, report});
    if (_exchangeListener) _exchangeListener(device, Exchange::Write, report);
    if (const DWORD error = device.OnOutputReport(report)) return Fail(error);
    *numberOfBytesWritten = taken;
    return TRUE;
}

BOOLEAN SimHid::HidD_SetFeature(HANDLE hidDeviceObject, PVOID reportBuffer,
                                ULONG reportBufferLength) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("HidD_SetFeature", _kernel.FaultName(hidDeviceObject))) return FALSE;
    auto open = HandleOf(hidDeviceObject);
    if (!open) return FALSE;
    if (Gone(*open)) return FALSE;
    SimHidDevice& device = open->device;
    // The class driver refuses a buffer shorter than the collection's feature report length.
    if (!reportBuffer || reportBufferLength == 0 ||
        reportBufferLength < device.Description().featureReportByteLength) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (Refused(device, "HidD_SetFeature")) return FALSE;
    const auto* bytes = static_cast<const BYTE*>(reportBuffer);
    std::vector<BYTE> report(bytes, bytes + reportBufferLength);
    device._reports.push_back({HidReport::Kind::SetFeature, report});
    if (_exchangeListener) _exchangeListener(device, Exchange::SetFeature, report);
    if (const DWORD error = device.OnSetFeature(report)) return Fail(error);
    return TRUE;
}

BOOLEAN SimHid::HidD_GetFeature(HANDLE hidDeviceObject, PVOID reportBuffer,
                                ULONG reportBufferLength) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("HidD_GetFeature", _kernel.FaultName(hidDeviceObject))) return FALSE;
    auto open = HandleOf(hidDeviceObject);
    if (!open || Gone(*open)) return FALSE;
    SimHidDevice& device = open->device;
    if (!reportBuffer || reportBufferLength == 0 ||
        reportBufferLength < device.Description().featureReportByteLength) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (Refused(device, "HidD_GetFeature")) return FALSE;
    auto* bytes = static_cast<BYTE*>(reportBuffer);
    device._reports.push_back(
        {HidReport::Kind::GetFeature, std::vector<BYTE>(bytes, bytes + reportBufferLength)});
    if (const DWORD error = device.OnGetFeature(bytes, reportBufferLength)) return Fail(error);
    if (_exchangeListener) {
        _exchangeListener(device, Exchange::GetFeature,
                          std::vector<BYTE>(bytes, bytes + reportBufferLength));
    }
    return TRUE;
}

void SimHid::SetExchangeListener(ExchangeListener listener) {
    Scheduler::Lock world(_scheduler.Mutex());
    _exchangeListener = std::move(listener);
}

BOOL SimHid::CancelSynchronousIo(HANDLE thread) {
    {
        Scheduler::Lock world(_scheduler.Mutex());
        if (_kernel.Faulted("CancelSynchronousIo")) return FALSE;
        bool cancelled = false;
        for (PendingRead* pending : _pendingReads) {
            if (thread != nullptr && pending->thread == thread) {
                pending->cancelled = true;
                cancelled = true;
            }
        }
        if (cancelled) {
            _scheduler.Notify(world);
            return TRUE;
        }
    }
    // As on Windows: nothing to cancel when the thread is not blocked in a read.
    if (_nothingToCancel) _nothingToCancel();
    return Fail(ERROR_NOT_FOUND);
}

}  // namespace platform::sim
