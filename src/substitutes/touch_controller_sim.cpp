#include "substitutes/touch_controller_sim.h"

#include <algorithm>
#include <iterator>

namespace platform::sim {

namespace {

constexpr DWORD kSelectForReading = 0xFFFFFFFF;
constexpr USHORT kGenericDesktopPage = 0x0001;
constexpr USHORT kDigitizerPage = 0x000D;
constexpr USHORT kTouchScreenUsage = 0x0004;
constexpr UCHAR kTouchScreenReportId = 1;
constexpr UCHAR kVendorInputReportId = 7;

HIDP_VALUE_CAPS ValueCaps(USAGE usagePage, UCHAR reportId) {
    HIDP_VALUE_CAPS caps{};
    caps.UsagePage = usagePage;
    caps.ReportID = reportId;
    return caps;
}

DWORD LittleEndian32(const BYTE* bytes) {
    return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

}  // namespace

namespace {

// Each controller as it describes itself on the bus; the current one's version number is its
// base plus the protocol version.
struct ControllerData {
    USHORT vendorId, productId, versionNumber, inputReportByteLength, outputReportByteLength;
};
constexpr ControllerData kLegacyController = {0x03EB, 0x212A, 0x0110, 14, 10};
constexpr ControllerData kCurrentControllerV1 = {0x04F3, 0x200A, 0x0200, 64, 19};
constexpr ControllerData kCurrentControllerV2 = {0x04F3, 0x200A, 0x0200, 20, 20};

HidDeviceDescription Describe(const ControllerData& data, USHORT versionAdded, std::wstring path) {
    HidDeviceDescription description;
    description.path = std::move(path);
    description.vendorId = data.vendorId;
    description.productId = data.productId;
    description.versionNumber = data.versionNumber + versionAdded;
    description.usagePage = SimTouchController::kVendorUsagePage;
    description.usage = SimTouchController::kVendorUsage;
    description.inputReportByteLength = data.inputReportByteLength;
    description.outputReportByteLength = data.outputReportByteLength;
    description.featureReportByteLength = SimTouchController::kPropertyReportLength;
    description.inputValueCaps = {
        ValueCaps(SimTouchController::kVendorUsagePage, kVendorInputReportId)};
    return description;
}

}  // namespace

HidDeviceDescription SimTouchController::LegacyDescription(std::wstring path) {
    return Describe(kLegacyController, 0, std::move(path));
}

HidDeviceDescription SimTouchController::CurrentDescription(USHORT protocolVersion,
                                                            std::wstring path) {
    return Describe(protocolVersion == 2 ? kCurrentControllerV2 : kCurrentControllerV1,
                    protocolVersion, std::move(path));
}

SimTouchController::Plugged SimTouchController::Plug(SimHid& hid, std::wstring touchScreenPath,
                                                     Family family, USHORT protocolVersion,
                                                     HidDeviceDescription description,
                                                     BYTE reportId, BYTE propsReportId) {
    // Contacts as a touch screen reports them: contact id, then X and Y.
    HidDeviceDescription touchScreen;
    touchScreen.path = std::move(touchScreenPath);
    touchScreen.vendorId = description.vendorId;
    touchScreen.productId = description.productId;
    touchScreen.versionNumber = description.versionNumber;
    touchScreen.usagePage = kDigitizerPage;
    touchScreen.usage = kTouchScreenUsage;
    touchScreen.inputReportByteLength = 7;
    touchScreen.inputValueCaps = {ValueCaps(kDigitizerPage, kTouchScreenReportId),
                                  ValueCaps(kGenericDesktopPage, kTouchScreenReportId),
                                  ValueCaps(kGenericDesktopPage, kTouchScreenReportId)};
    SimHidDevice& screen = hid.AddDevice<SimHidDevice>(std::move(touchScreen));
    return {screen, hid.AddDevice<SimTouchController>(
                        family, protocolVersion, std::move(description), reportId, propsReportId)};
}

SimTouchController::SimTouchController(Scheduler& scheduler, Family family, USHORT protocolVersion,
                                       HidDeviceDescription description, BYTE reportId,
                                       BYTE propsReportId)
    : SimHidDevice(scheduler, std::move(description)),
      _family(family),
      _reportId(reportId),
      _propsReportId(propsReportId),
      _properties{{1, protocolVersion}, {2, 3120u | 1920u << 16}, {3, 1}} {}

void SimTouchController::SetProperty(BYTE key, DWORD value) {
    Scheduler::Lock world(_scheduler.Mutex());
    _properties[key] = value;
}

void SimTouchController::RemoveProperty(BYTE key) {
    Scheduler::Lock world(_scheduler.Mutex());
    _properties.erase(key);
    _responses.erase(key);
}

void SimTouchController::SetPropertyResponse(BYTE key, const PropertyResponse& response) {
    Scheduler::Lock world(_scheduler.Mutex());
    _responses[key] = response;
}

std::optional<DWORD> SimTouchController::Property(BYTE key) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto it = _properties.find(key);
    if (it == _properties.end()) return std::nullopt;
    return it->second;
}

DWORD SimTouchController::BezelTouchMode() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _mode;
}

std::vector<BYTE> SimTouchController::Viewport() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _viewport;
}

bool SimTouchController::Secured(const std::vector<BYTE>& report) const {
    return report.size() >= 3 && report[1] == 0xFF && report[2] == 0xFF;
}

DWORD SimTouchController::OnSetFeature(const std::vector<BYTE>& report) {
    // Reports arrive in buffers of the collection's feature report length.
    if (report.size() >= kPropertyReportLength && report[0] == _propsReportId && Secured(report)) {
        const BYTE key = report[3];
        const DWORD value = LittleEndian32(&report[4]);
        if (value == kSelectForReading) {
            _selected = key;
        } else {
            _properties[key] = value;
        }
        return ERROR_SUCCESS;
    }
    if (report.size() < kPropertyReportLength || report[0] != _reportId) {
        return ERROR_INVALID_PARAMETER;
    }
    if (_family == Family::Legacy) {
        _mode = report[1];
        return ERROR_SUCCESS;
    }
    if (Secured(report)) {
        _mode = report[3];
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
}

DWORD SimTouchController::OnGetFeature(BYTE* buffer, DWORD length) {
    if (length < kPropertyReportLength || buffer[0] != _propsReportId) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!_selected) return ERROR_GEN_FAILURE;
    const BYTE key = *_selected;
    std::fill(buffer, buffer + length, BYTE{0});
    if (auto response = _responses.find(key); response != _responses.end()) {
        std::copy(response->second.begin(), response->second.end(), buffer);
        return ERROR_SUCCESS;
    }
    auto property = _properties.find(key);
    if (property == _properties.end()) return ERROR_GEN_FAILURE;
    const DWORD value = property->second;
    const BYTE answer[8] = {_propsReportId,
                            0xFF,
                            0xFF,
                            key,
                            static_cast<BYTE>(value),
                            static_cast<BYTE>(value >> 8),
                            static_cast<BYTE>(value >> 16),
                            static_cast<BYTE>(value >> 24)};
    std::copy(std::begin(answer), std::end(answer), buffer);
    return ERROR_SUCCESS;
}

DWORD SimTouchController::OnOutputReport(const std::vector<BYTE>& report) {
    const bool legacy = _family == Family::Legacy && report.size() == 10;
    const bool current = _family == Family::Current &&
                         (report.size() == 19 || report.size() == 20) && Secured(report);
    if (report.empty() || report[0] != _reportId || !(legacy || current)) {
        return ERROR_INVALID_PARAMETER;
    }
    _viewport = report;
    return ERROR_SUCCESS;
}

}  // namespace platform::sim
