#include "devices/hid_client.h"

#include <algorithm>
#include <cstddef>
#include <cwctype>
#include <memory>
#include <string>

#include "devices/hid_device_holder.h"
#include "log/log.h"
#include "platform/owner.h"
#include "platform/world.h"

// The thread's last error as a status, logged at the line that detected the failure (nothing
// for error 0).
#define LOG_LAST_ERROR_STATUS() LogHResult(HRESULT_FROM_WIN32(GetLastError()))

namespace {

bool IsOpenHandle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

const wchar_t* Outcome(bool succeeded) { return succeeded ? L"successful" : L"failed"; }

// A report in a buffer of the collection's length for its kind, zero-padded after the report's
// own bytes; empty when the report does not fit, so that it is never cut short.
std::vector<BYTE> Padded(const BYTE* bytes, DWORD length, USHORT reportLength) {
    if (length > reportLength) return {};
    std::vector<BYTE> report(reportLength, 0);
    std::copy_n(bytes, length, report.begin());
    return report;
}

// Gives a device information list back; a failure to destroy it is traced.
struct DeviceInfoListCloser {
    using Value = HDEVINFO;
    static HDEVINFO Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsOpen(HDEVINFO list) { return list != INVALID_HANDLE_VALUE; }
    void operator()(HDEVINFO list) const {
        if (!hid->SetupDiDestroyDeviceInfoList(list)) LOG_LAST_ERROR_STATUS();
    }
    DWORD GetLastError() const { return kernel->GetLastError(); }
    platform::Hid* hid;
    platform::Kernel* kernel;
};

// Gives a device handle back; a handle that never opened is empty.
struct DeviceCloser {
    using Value = HANDLE;
    static HANDLE Empty() { return nullptr; }
    static bool IsOpen(HANDLE handle) { return IsOpenHandle(handle); }
    void operator()(HANDLE handle) const { hid->CloseHandle(handle); }
    platform::Hid* hid;
};

using PreparsedDataCloser =
    platform::InterfaceCloser<PHIDP_PREPARSED_DATA, platform::Hid, &platform::Hid::HidD_FreePreparsedData>;

}  // namespace

bool SameDevicePath(const std::wstring& a, const std::wstring& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
        return std::towupper(static_cast<wint_t>(x)) == std::towupper(static_cast<wint_t>(y));
    });
}

HidDeviceList::HidDeviceList(platform::Hid& hid, platform::Kernel& kernel)
    : _hid(hid), _kernel(kernel), _lock(kernel) {
    Refresh();
}

void HidDeviceList::Refresh() {
    std::vector<std::wstring> paths = Enumerate();
    Log(TRACE_LEVEL_INFORMATION, L"Total number of HID devices: %d",
        static_cast<int>(paths.size()));
    std::lock_guard<platform::Mutex> guard(_lock);
    _devicepaths = std::move(paths);
}

std::vector<std::wstring> HidDeviceList::Paths() const {
    std::lock_guard<platform::Mutex> guard(_lock);
    return _devicepaths;
}

HidDeviceList& HidDeviceList::Instance() {
    return *platform::World::Current().Instance<HidDeviceList>([](platform::World& world) {
        const platform::Platform& platform = world.GetPlatform();
        return std::make_unique<HidDeviceList>(platform.hid, platform.kernel);
    });
}

std::vector<std::wstring> HidDeviceList::Enumerate() {
    platform::Hid& hid = _hid;
    std::vector<std::wstring> paths;
    GUID hidGuid{};
    hid.HidD_GetHidGuid(&hidGuid);
    const HDEVINFO info =
        hid.SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HANDLE_VALUE) {
        LOG_LAST_ERROR_STATUS();
        return paths;
    }
    const platform::Owner<DeviceInfoListCloser> owner(DeviceInfoListCloser{&hid, &_kernel}, info);
    constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA interfaceData{};
        interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!hid.SetupDiEnumDeviceInterfaces(info, nullptr, &hidGuid, member, &interfaceData)) {
            if (GetLastError() != ERROR_NO_MORE_ITEMS) LOG_LAST_ERROR_STATUS();
            return paths;
        }
        DWORD requiredSize = 0;
        const BOOL bSuccess = hid.SetupDiGetDeviceInterfaceDetailW(info, &interfaceData, nullptr, 0,
                                                                   &requiredSize, nullptr);
        LogAssert((!bSuccess && (GetLastError() == ERROR_INSUFFICIENT_BUFFER)));
        if (requiredSize == 0) return paths;
        // DWORD storage keeps the record's alignment; at least the fixed part is there.
        const std::size_t size = std::max<std::size_t>(requiredSize, kPathOffset + sizeof(WCHAR));
        std::vector<DWORD> storage((size + sizeof(DWORD) - 1) / sizeof(DWORD));
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!hid.SetupDiGetDeviceInterfaceDetailW(info, &interfaceData, detail, requiredSize,
                                                  nullptr, nullptr)) {
            LOG_LAST_ERROR_STATUS();
            return paths;
        }
        // The path ends at its terminator, or at the end of the space it was given.
        const auto* path = reinterpret_cast<const WCHAR*>(
            reinterpret_cast<const BYTE*>(storage.data()) + kPathOffset);
        const std::size_t capacity = (size - kPathOffset) / sizeof(WCHAR);
        paths.emplace_back(path, std::find(path, path + capacity, L'\0'));
    }
}

HidClient::HidClient(platform::Hid& hid, platform::Kernel& kernel, const HidDeviceList& devices)
    : _hid(hid), _kernel(kernel), _devices(devices) {}

HidClient::~HidClient() { Close(); }

bool HidClient::Open(USHORT vendorId, USHORT productId, USHORT usagePage, USHORT usage,
                     int outputReportLength, int index, const std::vector<std::wstring>& skip) {
    const std::vector<std::wstring> paths = _devices.Paths();
    if (paths.empty()) return false;
    int matches = 0;
    for (const std::wstring& path : paths) {
        Log(TRACE_LEVEL_INFORMATION, L"Checking on device path: %s", path.c_str());
        Close();
        // Attributes and capabilities need no access at all, and a query handle is granted even
        // for the keyboards, mice and touch screens that Windows keeps to itself.
        const platform::Owner<DeviceCloser> query(DeviceCloser{&_hid}, OpenDevice(path, 0));
        if (!query) {
            LOG_LAST_ERROR_STATUS();
            continue;
        }
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof(HIDD_ATTRIBUTES);
        if (!_hid.HidD_GetAttributes(query.get(), &attributes)) continue;
        Log(TRACE_LEVEL_INFORMATION, L"Hid Device(%s) VID: 0x%04x, PID: 0x%04x, Ver: 0x%04x",
            path.c_str(), attributes.VendorID, attributes.ProductID, attributes.VersionNumber);
        if (!ReadCapabilities(query.get())) continue;
        const bool matched =
            (vendorId == 0 || vendorId == attributes.VendorID) &&
            (productId == 0 || productId == attributes.ProductID) &&
            (usagePage == 0 || (usagePage == _caps.UsagePage && usage == _caps.Usage)) &&
            (outputReportLength <= 0 || outputReportLength == _caps.OutputReportByteLength);
        if (!matched || std::find(skip.begin(), skip.end(), path) != skip.end()) continue;
        // Only the collection the caller will talk to is opened for reading and writing; one
        // that refuses it cannot be served and so does not count.
        const HANDLE device = OpenDevice(path, GENERIC_READ | GENERIC_WRITE);
        if (!IsOpenHandle(device)) {
            LOG_LAST_ERROR_STATUS();
            continue;
        }
        if (matches == index) {
            _device.store(device);
            _path = path;
            Log(TRACE_LEVEL_INFORMATION, L"Found device: %s", path.c_str());
            return true;
        }
        ++matches;
        _hid.CloseHandle(device);
    }
    return false;
}

HANDLE HidClient::OpenDevice(const std::wstring& path, DWORD access) {
    // Synchronous I/O, and a handle that no child process inherits.
    return _hid.CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
}

bool HidClient::ReadCapabilities(HANDLE device) {
    // Cleared first, so that a device whose capabilities cannot be read is judged on nothing
    // rather than on those of the device tried before it.
    _caps = HIDP_CAPS{};
    platform::Owner<PreparsedDataCloser> preparsed(PreparsedDataCloser{&_hid});
    if (_hid.HidD_GetPreparsedData(device, preparsed.Receive()) && preparsed.get()) {
        if (_hid.HidP_GetCaps(preparsed.get(), &_caps) != HIDP_STATUS_SUCCESS) _caps = HIDP_CAPS{};
        if (_caps.NumberInputValueCaps != 0) {
            std::vector<HIDP_VALUE_CAPS> valueCaps(_caps.NumberInputValueCaps);
            USHORT count = _caps.NumberInputValueCaps;
            if (_hid.HidP_GetValueCaps(HidP_Input, valueCaps.data(), &count, preparsed.get()) ==
                HIDP_STATUS_SUCCESS) {
                for (std::size_t i = 0; i < count && i < valueCaps.size(); ++i) {
                    const int entry = static_cast<int>(i);
                    Log(TRACE_LEVEL_INFORMATION, L"UsagePage[%d]=%d, ReportId[%d]=%d", entry,
                        valueCaps[i].UsagePage, entry, valueCaps[i].ReportID);
                }
            }
        }
    }
    return _caps.Usage != 0 && _caps.UsagePage != 0;
}

bool HidClient::IsValid() const { return IsOpenHandle(_device.load()); }

std::vector<BYTE> HidClient::ReadInputReport() {
    const HANDLE device = _device.load();
    const DWORD length = _caps.InputReportByteLength;
    if (!IsOpenHandle(device) || length == 0) return {};
    std::vector<BYTE> report(length);
    DWORD read = 0;
    const bool succeeded =
        _hid.ReadFile(device, report.data(), length, &read, nullptr) && read == length;
    Log(TRACE_LEVEL_INFORMATION, L"Operation %s", Outcome(succeeded));
    if (!succeeded) report.clear();
    return report;
}

bool HidClient::WriteOutputReport(const BYTE* bytes, DWORD length) {
    const HANDLE device = _device.load();
    if (length == 0 || bytes == nullptr || !IsOpenHandle(device)) return false;
    const std::string dump = HexDump(bytes, length);
    Log(TRACE_LEVEL_INFORMATION, L"Sending Output Report bytes:\n%S", dump.c_str());
    // The class driver takes exactly one whole output report a write.
    const std::vector<BYTE> report = Padded(bytes, length, _caps.OutputReportByteLength);
    DWORD written = 0;
    const bool succeeded = !report.empty() &&
                           _hid.WriteFile(device, report.data(), static_cast<DWORD>(report.size()),
                                          &written, nullptr) &&
                           written == report.size();
    Log(TRACE_LEVEL_INFORMATION, L"Operation %s", Outcome(succeeded));
    return succeeded;
}

bool HidClient::SetFeatureReport(const BYTE* bytes, DWORD length) {
    const HANDLE device = _device.load();
    if (length == 0 || bytes == nullptr || !IsOpenHandle(device)) return false;
    const std::string dump = HexDump(bytes, length);
    Log(TRACE_LEVEL_INFORMATION, L"Setting Feature Report bytes:\n%S", dump.c_str());
    // Windows refuses a feature buffer shorter than the collection's longest feature report.
    std::vector<BYTE> report = Padded(bytes, length, _caps.FeatureReportByteLength);
    const bool succeeded =
        !report.empty() &&
        _hid.HidD_SetFeature(device, report.data(), static_cast<ULONG>(report.size())) != FALSE;
    Log(TRACE_LEVEL_INFORMATION, L"Operation %s", Outcome(succeeded));
    return succeeded;
}

bool HidClient::GetFeatureReport(FeatureReport& buffer) {
    const HANDLE device = _device.load();
    if (!IsOpenHandle(device)) return false;
    // Asked for in a buffer of the collection's feature report length; the caller's bytes lead.
    std::vector<BYTE> report =
        Padded(buffer.data(), static_cast<DWORD>(buffer.size()), _caps.FeatureReportByteLength);
    const bool succeeded =
        !report.empty() &&
        _hid.HidD_GetFeature(device, report.data(), static_cast<ULONG>(report.size())) != FALSE;
    if (succeeded) {
        std::copy_n(report.begin(), buffer.size(), buffer.begin());
        const std::string dump = HexDump(buffer.data(), buffer.size());
        Log(TRACE_LEVEL_INFORMATION, L"Getting Feature Report bytes:\n%S", dump.c_str());
    }
    Log(TRACE_LEVEL_INFORMATION, L"Operation %s", Outcome(succeeded));
    return succeeded;
}

void HidClient::Close() {
    const HANDLE device = _device.exchange(nullptr);
    _path.clear();
    if (IsOpenHandle(device)) _hid.CloseHandle(device);
}
