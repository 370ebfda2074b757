#include "substitute_hid_control.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <thread>
#include <utility>

#include <newdev.h>

#include "platform/owner.h"
#include "substitute_hid_protocol.h"

namespace substitute_hid {

namespace {

using platform::win32::UniqueHandle;
using Clock = std::chrono::steady_clock;

constexpr wchar_t kManufacturer[] = L"Kelvo";
constexpr wchar_t kServiceName[] = L"kelvo_substitute_hid";
constexpr wchar_t kInfName[] = L"kelvo_substitute_hid.inf";
constexpr auto kPollInterval = std::chrono::milliseconds(25);
constexpr DWORD kMaxDeviceIdLength = 200;  // cfgmgr32.h: MAX_DEVICE_ID_LEN
// The HIDClass setup class.
constexpr GUID kHidClassGuid = {
    0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};

// Owners of a device information list and a collection's preparsed data.
struct DeviceInfoListCloser {
    using Value = HDEVINFO;
    static HDEVINFO Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsOpen(HDEVINFO list) { return list != INVALID_HANDLE_VALUE; }
    void operator()(HDEVINFO list) const { ::SetupDiDestroyDeviceInfoList(list); }
};
using DeviceInfoList = platform::Owner<DeviceInfoListCloser>;

using PreparsedData = platform::Owner<platform::NullCloser<PHIDP_PREPARSED_DATA, &::HidD_FreePreparsedData>>;

// A root device of a kind: its hardware id, instance id and the name of the device it is (or is
// part of: a touch controller is two root devices under Wine).
struct RootDevice {
    std::wstring hardwareId;
    std::wstring instanceId;
    std::string name;
};

// How each kind is presented. Wine 8's HID class driver serves only a device's first top-level
// collection, so a touch controller is two devices there: its vendor collection and its
// touchscreen. (Windows serves both collections of root\kelvo_touch_*_composite.)
// Instance N of a kind is the device named by its Nth interface.
struct KindDescription {
    Kind kind;
    std::vector<const wchar_t*> hardwareIds;
    int instances;
    std::vector<ExpectedInterface> interfaces;
};

constexpr USHORT kTouchVendorPage = 0xFF00;
constexpr USHORT kDigitizerPage = 0x000D;
constexpr USHORT kButtonsPage = 0xFFB3;

const std::vector<KindDescription>& Kinds() {
    static const std::vector<KindDescription> kinds = {
        {Kind::TouchLegacy,
         {KELVO_HID_TOUCH_LEGACY, KELVO_HID_TOUCHSCREEN_LEGACY},
         1,
         {{KELVO_HID_NAME_TOUCH_LEGACY, kTouchVendorPage},
          {KELVO_HID_NAME_TOUCH_LEGACY, kDigitizerPage}}},
        {Kind::TouchV1,
         {KELVO_HID_TOUCH_V1, KELVO_HID_TOUCHSCREEN_V1},
         1,
         {{KELVO_HID_NAME_TOUCH_V1, kTouchVendorPage}, {KELVO_HID_NAME_TOUCH_V1, kDigitizerPage}}},
        {Kind::TouchV2,
         {KELVO_HID_TOUCH_V2, KELVO_HID_TOUCHSCREEN_V2},
         1,
         {{KELVO_HID_NAME_TOUCH_V2, kTouchVendorPage}, {KELVO_HID_NAME_TOUCH_V2, kDigitizerPage}}},
        {Kind::Buttons,
         {KELVO_HID_BUTTONS},
         3,
         {{KELVO_HID_NAME_BUTTON_PREFIX "0", kButtonsPage},
          {KELVO_HID_NAME_BUTTON_PREFIX "1", kButtonsPage},
          {KELVO_HID_NAME_BUTTON_PREFIX "2", kButtonsPage}}},
        {Kind::Control,
         {KELVO_HID_CONTROL},
         1,
         {{KELVO_HID_NAME_CONTROL, KELVO_HID_CONTROL_USAGE_PAGE}}},
    };
    return kinds;
}

const KindDescription& Describe(Kind kind) {
    for (const KindDescription& description : Kinds()) {
        if (description.kind == kind) return description;
    }
    return Kinds().front();  // every Kind has a description
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

std::vector<RootDevice> DevicesOf(std::span<const Kind> kinds) {
    std::vector<RootDevice> devices;
    for (Kind kind : kinds) {
        const KindDescription& description = Describe(kind);
        for (const wchar_t* hardwareId : description.hardwareIds) {
            for (int instance = 0; instance < description.instances; ++instance) {
                wchar_t suffix[8];
                std::swprintf(suffix, std::size(suffix), L"\\%04d", instance);
                devices.push_back({hardwareId, Upper(std::wstring(hardwareId) + suffix),
                                   description.interfaces[instance].name});
            }
        }
    }
    return devices;
}

// The root devices of the named device; none for an unknown name.
std::vector<RootDevice> DevicesNamed(std::string_view name) {
    std::vector<RootDevice> devices;
    for (const KindDescription& description : Kinds()) {
        for (RootDevice& device : DevicesOf(std::span(&description.kind, 1))) {
            if (device.name == name) devices.push_back(std::move(device));
        }
    }
    return devices;
}

// The interfaces the named device presents.
std::vector<ExpectedInterface> InterfacesNamed(std::string_view name) {
    std::vector<ExpectedInterface> interfaces;
    for (const KindDescription& description : Kinds()) {
        for (const ExpectedInterface& expected : description.interfaces) {
            if (expected.name == name) interfaces.push_back(expected);
        }
    }
    return interfaces;
}

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text; ++text) narrow.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return narrow;
}

// What the HID API answers for one interface, when it is a substitute device's. Opened without
// access, as Windows allows for a collection it holds exclusively (a touchscreen).
std::optional<Interface> ReadInterface(const std::wstring& path) {
    const UniqueHandle device(::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    if (!device) return std::nullopt;
    wchar_t text[128] = {};
    if (!::HidD_GetManufacturerString(device.get(), text, sizeof text) ||
        std::wcscmp(text, kManufacturer) != 0) {
        return std::nullopt;
    }
    Interface found;
    found.path = path;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    std::memset(text, 0, sizeof text);
    if (!::HidD_GetAttributes(device.get(), &attributes) ||
        !::HidD_GetSerialNumberString(device.get(), text, sizeof text - sizeof(wchar_t))) {
        return std::nullopt;
    }
    found.name = Narrow(text);
    found.vendorId = attributes.VendorID;
    found.productId = attributes.ProductID;
    found.versionNumber = attributes.VersionNumber;
    PreparsedData preparsed;
    HIDP_CAPS caps{};
    if (!::HidD_GetPreparsedData(device.get(), preparsed.Receive()) ||
        ::HidP_GetCaps(preparsed.get(), &caps) != HIDP_STATUS_SUCCESS) {
        return std::nullopt;
    }
    found.usagePage = caps.UsagePage;
    found.usage = caps.Usage;
    found.inputLength = caps.InputReportByteLength;
    found.outputLength = caps.OutputReportByteLength;
    found.featureLength = caps.FeatureReportByteLength;
    return found;
}

std::vector<std::wstring> HidInterfacePaths() {
    std::vector<std::wstring> paths;
    GUID hidGuid{};
    ::HidD_GetHidGuid(&hidGuid);
    const DeviceInfoList list(
        ::SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!list) return paths;
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!::SetupDiEnumDeviceInterfaces(list.get(), nullptr, &hidGuid, member, &data)) break;
        DWORD required = 0;
        ::SetupDiGetDeviceInterfaceDetailW(list.get(), &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<DWORD> storage(required / sizeof(DWORD) + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (::SetupDiGetDeviceInterfaceDetailW(list.get(), &data, detail, required, nullptr,
                                               nullptr)) {
            paths.emplace_back(detail->DevicePath);
        }
    }
    return paths;
}

// The root devices carrying the common hardware id, by instance id (upper case).
std::vector<std::wstring> InstalledDevices() {
    std::vector<std::wstring> installed;
    const DeviceInfoList list(::SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES));
    if (!list) return installed;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(list.get(), index, &device); ++index) {
        wchar_t ids[512] = {};
        if (!::SetupDiGetDeviceRegistryPropertyW(list.get(), &device, SPDRP_HARDWAREID, nullptr,
                                                 reinterpret_cast<BYTE*>(ids),
                                                 sizeof ids - 2 * sizeof(wchar_t), nullptr)) {
            continue;
        }
        bool ours = false;
        for (const wchar_t* id = ids; *id; id += std::wcslen(id) + 1) {
            ours = ours || _wcsicmp(id, KELVO_HID_COMMON_HARDWARE_ID) == 0;
        }
        wchar_t instanceId[kMaxDeviceIdLength] = {};
        if (ours && ::SetupDiGetDeviceInstanceIdW(list.get(), &device, instanceId,
                                                  kMaxDeviceIdLength, nullptr)) {
            installed.push_back(Upper(instanceId));
        }
    }
    return installed;
}

// Creates the device in the registry, without a driver yet.
bool Register(const RootDevice& device) {
    const DeviceInfoList list(::SetupDiCreateDeviceInfoList(&kHidClassGuid, nullptr));
    if (!list) return false;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!::SetupDiCreateDeviceInfoW(list.get(), device.instanceId.c_str(), &kHidClassGuid, nullptr,
                                    nullptr, 0, &data)) {
        return false;
    }
    // Its own hardware id, then the one every substitute device carries; a double terminator.
    std::wstring ids = device.hardwareId;
    ids.push_back(L'\0');
    ids += KELVO_HID_COMMON_HARDWARE_ID;
    ids.push_back(L'\0');
    ids.push_back(L'\0');
    return ::SetupDiSetDeviceRegistryPropertyW(list.get(), &data, SPDRP_HARDWAREID,
                                               reinterpret_cast<const BYTE*>(ids.data()),
                                               static_cast<DWORD>(ids.size() * sizeof(wchar_t))) &&
           ::SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list.get(), &data);
}

bool InstallDriver(const wchar_t* hardwareId, const std::wstring& inf) {
    BOOL reboot = FALSE;
    return ::UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, inf.c_str(), INSTALLFLAG_FORCE,
                                                &reboot) != FALSE;
}

// Removes the root devices whose instance ids satisfy the predicate.
template <typename Predicate>
bool RemoveDevices(Predicate&& wanted) {
    const DeviceInfoList list(::SetupDiGetClassDevsW(nullptr, L"ROOT", nullptr, DIGCF_ALLCLASSES));
    if (!list) return false;
    bool removed = true;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(list.get(), index, &device); ++index) {
        wchar_t instanceId[kMaxDeviceIdLength] = {};
        if (!::SetupDiGetDeviceInstanceIdW(list.get(), &device, instanceId, kMaxDeviceIdLength,
                                           nullptr) ||
            !wanted(Upper(instanceId))) {
            continue;
        }
        removed = ::SetupDiCallClassInstaller(DIF_REMOVE, list.get(), &device) && removed;
    }
    return removed;
}

bool StopDriver(std::chrono::milliseconds guard) {
    const platform::win32::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    const platform::win32::UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    const auto deadline = Clock::now() + guard;
    while (::QueryServiceStatus(service.get(), &status) &&
           status.dwCurrentState != SERVICE_STOPPED) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

// Registers the devices not installed yet and installs the driver on them.
bool InstallDevices(std::span<const RootDevice> devices, const std::wstring& packageDirectory) {
    const std::wstring inf = packageDirectory + L"\\" + kInfName;
    const std::vector<std::wstring> installed = InstalledDevices();
    std::vector<std::wstring> added;
    for (const RootDevice& device : devices) {
        if (std::find(installed.begin(), installed.end(), device.instanceId) != installed.end()) {
            continue;
        }
        if (!Register(device)) return false;
        if (std::find(added.begin(), added.end(), device.hardwareId) == added.end()) {
            added.push_back(device.hardwareId);
        }
    }
    // With none installed before, one update installs them all; otherwise it would install
    // those present again, so each new kind gets its own.
    if (installed.empty() && !added.empty()) {
        if (!InstallDriver(KELVO_HID_COMMON_HARDWARE_ID, inf)) return false;
    } else {
        for (const std::wstring& hardwareId : added) {
            if (!InstallDriver(hardwareId.c_str(), inf)) return false;
        }
    }
    return true;
}

// Removes the devices and waits until their interfaces are gone.
bool RemoveAndWait(std::span<const RootDevice> devices,
                   std::span<const ExpectedInterface> interfaces, std::chrono::milliseconds guard) {
    const bool removed = RemoveDevices([&](const std::wstring& instanceId) {
        return std::any_of(devices.begin(), devices.end(), [&](const RootDevice& device) {
            return device.instanceId == instanceId;
        });
    });
    return WaitForInterfaces(interfaces, false, guard) && removed;
}

}  // namespace

std::vector<Interface> PresentInterfaces() {
    std::vector<Interface> interfaces;
    for (const std::wstring& path : HidInterfacePaths()) {
        if (std::optional<Interface> found = ReadInterface(path)) interfaces.push_back(*found);
    }
    return interfaces;
}

std::string ToString(const ReceivedReport& report) {
    static const char* const kKinds[] = {"?", "Output", "SetFeature", "GetFeature"};
    const auto kind = static_cast<std::size_t>(report.kind);
    std::string text = report.device + " " + kKinds[kind < std::size(kKinds) ? kind : 0];
    for (BYTE b : report.bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", b);
        text += hex;
    }
    text += " length " + std::to_string(report.length) +
            (report.accepted ? " (accepted)" : " (refused)");
    return text;
}

std::optional<Control> Control::Open() {
    for (const Interface& found : PresentInterfaces()) {
        if (found.name != KELVO_HID_NAME_CONTROL || found.vendorId != KELVO_HID_CONTROL_VENDOR_ID ||
            found.productId != KELVO_HID_CONTROL_PRODUCT_ID) {
            continue;
        }
        UniqueHandle device(::CreateFileW(found.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        if (!device) return std::nullopt;
        return Control(std::move(device));
    }
    ::SetLastError(ERROR_NOT_FOUND);
    return std::nullopt;
}

bool Control::Command(BYTE command, DWORD sequence, std::string_view name,
                      std::span<const BYTE> bytes) {
    kelvo_hid_command_report report{};
    if (name.size() >= sizeof report.name || bytes.size() > sizeof report.bytes) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    report.report_id = KELVO_HID_CONTROL_COMMAND_ID;
    report.command = command;
    report.sequence = sequence;
    std::copy(name.begin(), name.end(), report.name);
    report.length = static_cast<unsigned char>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), report.bytes);
    return ::HidD_SetFeature(_device.get(), &report, sizeof report) != FALSE;
}

std::optional<std::vector<ReceivedReport>> Control::Take() {
    kelvo_hid_record_report answer{};
    answer.report_id = KELVO_HID_CONTROL_RECORD_ID;
    if (!::HidD_GetFeature(_device.get(), &answer, sizeof answer)) return std::nullopt;
    DWORD next = answer.first;
    bool lost = answer.dropped != 0;
    if (!Command(KELVO_HID_SELECT, next)) return std::nullopt;
    std::vector<ReceivedReport> reports;
    for (;;) {
        answer = kelvo_hid_record_report{};
        answer.report_id = KELVO_HID_CONTROL_RECORD_ID;
        if (!::HidD_GetFeature(_device.get(), &answer, sizeof answer)) return std::nullopt;
        lost = lost || answer.dropped != 0;
        if (!answer.present) break;
        ReceivedReport report;
        report.device.assign(answer.name, strnlen(answer.name, sizeof answer.name));
        report.kind = static_cast<ReportKind>(answer.kind);
        report.length = answer.length;
        report.accepted = answer.accepted != 0;
        const std::size_t count = report.kind == ReportKind::GetFeature
                                      ? 1
                                      : std::min<std::size_t>(answer.length, sizeof answer.bytes);
        report.bytes.assign(answer.bytes, answer.bytes + count);
        reports.push_back(std::move(report));
        next = answer.sequence + 1;
    }
    // Later records stay for the next take.
    if (!Command(KELVO_HID_DISCARD, next)) return std::nullopt;
    if (lost) {
        ::SetLastError(ERROR_BUFFER_OVERFLOW);
        return std::nullopt;
    }
    return reports;
}

bool Control::Clear() {
    kelvo_hid_record_report answer{};
    answer.report_id = KELVO_HID_CONTROL_RECORD_ID;
    return ::HidD_GetFeature(_device.get(), &answer, sizeof answer) &&
           Command(KELVO_HID_DISCARD, answer.next);
}

bool Control::Inject(std::string_view device, std::span<const BYTE> report) {
    // The driver queues a few dozen reports a device has not yet handed on.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (Command(KELVO_HID_INJECT, 0, device, report)) return true;
        if (::GetLastError() != ERROR_NOT_READY || Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<Kind> DefaultKinds() {
    return {Kind::TouchV2, Kind::TouchLegacy, Kind::Buttons, Kind::Control};
}

std::vector<ExpectedInterface> ExpectedInterfaces(std::span<const Kind> kinds) {
    std::vector<ExpectedInterface> expected;
    for (Kind kind : kinds) {
        const KindDescription& description = Describe(kind);
        expected.insert(expected.end(), description.interfaces.begin(),
                        description.interfaces.end());
    }
    return expected;
}

std::wstring ExecutableDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/"));
}

bool WaitForInterfaces(std::span<const ExpectedInterface> expected, bool present,
                       std::chrono::milliseconds guard) {
    const auto deadline = Clock::now() + guard;
    for (;;) {
        std::map<ExpectedInterface, int> count;
        for (const Interface& found : PresentInterfaces()) ++count[{found.name, found.usagePage}];
        bool done = true;
        for (const ExpectedInterface& wanted : expected) {
            const bool there = count[wanted]-- > 0;
            done = done && there == present;
        }
        if (done) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

bool Install(std::span<const Kind> kinds, const std::wstring& packageDirectory) {
    return InstallDevices(DevicesOf(kinds), packageDirectory);
}

bool Add(std::span<const Kind> kinds, const std::wstring& packageDirectory,
         std::chrono::milliseconds guard) {
    return Install(kinds, packageDirectory) &&
           WaitForInterfaces(ExpectedInterfaces(kinds), true, guard);
}

bool Remove(std::span<const Kind> kinds, std::chrono::milliseconds guard) {
    return RemoveAndWait(DevicesOf(kinds), ExpectedInterfaces(kinds), guard);
}

bool Add(std::string_view device, const std::wstring& packageDirectory,
         std::chrono::milliseconds guard) {
    const std::vector<RootDevice> devices = DevicesNamed(device);
    if (devices.empty()) {
        ::SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    return InstallDevices(devices, packageDirectory) &&
           WaitForInterfaces(InterfacesNamed(device), true, guard);
}

bool Remove(std::string_view device, std::chrono::milliseconds guard) {
    const std::vector<RootDevice> devices = DevicesNamed(device);
    if (devices.empty()) {
        ::SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    return RemoveAndWait(devices, InterfacesNamed(device), guard);
}

bool RemoveAll(std::chrono::milliseconds guard) {
    const std::vector<std::wstring> installed = InstalledDevices();
    const bool removed = RemoveDevices([&](const std::wstring& instanceId) {
        return std::find(installed.begin(), installed.end(), instanceId) != installed.end();
    });
    const auto deadline = Clock::now() + guard;
    while (!PresentInterfaces().empty()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    return StopDriver(guard) && removed;
}

}  // namespace substitute_hid
