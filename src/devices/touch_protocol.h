// The touch controller's report protocol, as bytes: what each report carries and where. Pure
// functions only; the touch manager decides when to send them, under its lock, and traces.
//
// Properties travel in 12-byte feature reports: props report id, the security number 0xFFFF,
// key, then the value little-endian. Writing the value 0xFFFFFFFF selects the property the next
// feature read returns. The bezel touch mode goes out as a feature report (legacy: id, mode, 0;
// current: id, 0xFF 0xFF, mode), the viewport as an output report: the legacy controller takes
// big-endian 16-bit coordinates, the current one, after id and 0xFF 0xFF, little-endian floats
// (protocol version 1) or 32-bit fields holding 16-bit whole numbers (version 2). A controller
// family is one encoder here.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "platform/win32types.h"

namespace touch_protocol {

using Bytes = std::vector<BYTE>;

// Property keys.
inline constexpr BYTE kPropertyProtocolVersion = 1;
inline constexpr BYTE kPropertyPanelSize = 2;
inline constexpr BYTE kPropertyPalmReport = 3;
// The value that selects a property for reading.
inline constexpr DWORD kSelectForReading = 0xFFFFFFFF;
inline constexpr USHORT kSecurityNumber = 0xFFFF;

// Report lengths, the report id byte included. The current controller's protocol version 2 has
// 20-byte input reports; any other length means version 1.
inline constexpr std::size_t kPropertyReportLength = 12;
inline constexpr int kLegacyOutputReportLength = 10;
inline constexpr int kVersion1OutputReportLength = 19;
inline constexpr int kVersion2OutputReportLength = 20;
inline constexpr USHORT kVersion2InputReportLength = 20;

using PropertyReport = std::array<BYTE, kPropertyReportLength>;

struct Viewport {
    float Left = 0, Top = 0, Right = 0, Bottom = 0;
};
struct LegacyViewport {
    USHORT Left = 0, Top = 0, Right = 0, Bottom = 0;
};

// Sets a property, or with kSelectForReading selects it for the next read.
PropertyReport PropertyRequest(BYTE propsReportId, BYTE key, DWORD value);
// The buffer a property is read into: the props report id and the key lead.
PropertyReport PropertyQuery(BYTE propsReportId, BYTE key);

struct PropertyResponse {
    enum class Fault { None, ReportId, SecurityNumber };
    Fault fault = Fault::None;
    BYTE reportId = 0;
    USHORT securityNumber = 0;
    DWORD value = 0;  // bytes 4 to 7; meaningful only without a fault
};
PropertyResponse ParsePropertyResponse(const PropertyReport& response, BYTE propsReportId);

// What the properties' values mean.
inline bool IsSupportedVersion(USHORT version) { return version == 1 || version == 2; }
inline USHORT PanelWidth(DWORD panelSize) { return static_cast<USHORT>(panelSize); }
inline USHORT PanelHeight(DWORD panelSize) { return static_cast<USHORT>(panelSize >> 16); }
inline bool PalmReportSupported(DWORD palmReport) { return (palmReport & 0xFF) != 0; }

// Non-negative coordinates and a rectangle of some size; false for any NaN.
bool IsValidViewport(const Viewport& viewport);

Bytes LegacyViewportReport(BYTE reportId, const LegacyViewport& viewport);
Bytes Version1ViewportReport(BYTE reportId, const Viewport& viewport);
// None when a coordinate does not fit the 16 bits of its field; others are truncated toward zero.
std::optional<Bytes> Version2ViewportReport(BYTE reportId, const Viewport& viewport);

Bytes LegacyModeReport(BYTE reportId, DWORD mode);
Bytes ModeReport(BYTE reportId, DWORD mode);

}  // namespace touch_protocol
