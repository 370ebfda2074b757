#include "devices/touch_protocol.h"

#include <bit>
#include <cstdint>

namespace touch_protocol {

namespace {

constexpr BYTE kSecurityByte = 0xFF;  // the security number, one byte at a time

void PutLittleEndian16(BYTE* out, USHORT value) {
    out[0] = static_cast<BYTE>(value);
    out[1] = static_cast<BYTE>(value >> 8);
}

void PutLittleEndian32(BYTE* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

void PutBigEndian16(BYTE* out, USHORT value) {
    out[0] = static_cast<BYTE>(value >> 8);
    out[1] = static_cast<BYTE>(value);
}

// Version 2 carries whole numbers: a coordinate is truncated toward zero, and one beyond the
// 16 bits of its field cannot be sent at all.
bool FitsVersion2(float coordinate) { return coordinate < 65536.0f; }

USHORT TruncateToVersion2(float coordinate) {
    return static_cast<USHORT>(static_cast<std::uint32_t>(coordinate));
}

// The current controller's viewport report: id and security number, then four fields of four
// bytes.
Bytes CurrentViewportReport(BYTE reportId, int length) {
    Bytes report(static_cast<std::size_t>(length), 0);
    report[0] = reportId;
    report[1] = report[2] = kSecurityByte;
    return report;
}

}  // namespace

PropertyReport PropertyRequest(BYTE propsReportId, BYTE key, DWORD value) {
    PropertyReport request{propsReportId, kSecurityByte, kSecurityByte, key};
    PutLittleEndian32(&request[4], value);
    return request;
}

PropertyReport PropertyQuery(BYTE propsReportId, BYTE key) {
    PropertyReport query{};
    query[0] = propsReportId;
    query[3] = key;
    return query;
}

PropertyResponse ParsePropertyResponse(const PropertyReport& response, BYTE propsReportId) {
    PropertyResponse parsed;
    parsed.reportId = response[0];
    parsed.securityNumber = static_cast<USHORT>(response[1] | response[2] << 8);
    parsed.value = static_cast<DWORD>(response[4]) | static_cast<DWORD>(response[5]) << 8 |
                   static_cast<DWORD>(response[6]) << 16 | static_cast<DWORD>(response[7]) << 24;
    if (parsed.reportId != propsReportId) {
        parsed.fault = PropertyResponse::Fault::ReportId;
    } else if (parsed.securityNumber != kSecurityNumber) {
        parsed.fault = PropertyResponse::Fault::SecurityNumber;
    }
    return parsed;
}

bool IsValidViewport(const Viewport& v) {
    // Written so that a NaN anywhere fails.
    return v.Left >= 0 && v.Top >= 0 && v.Right >= 0 && v.Bottom >= 0 && v.Right > v.Left &&
           v.Bottom > v.Top;
}

Bytes LegacyViewportReport(BYTE reportId, const LegacyViewport& viewport) {
    Bytes report(kLegacyOutputReportLength, 0);
    report[0] = reportId;
    PutBigEndian16(&report[1], viewport.Left);
    PutBigEndian16(&report[3], viewport.Top);
    PutBigEndian16(&report[5], viewport.Right);
    PutBigEndian16(&report[7], viewport.Bottom);
    return report;
}

Bytes Version1ViewportReport(BYTE reportId, const Viewport& viewport) {
    Bytes report = CurrentViewportReport(reportId, kVersion1OutputReportLength);
    const float coordinates[] = {viewport.Left, viewport.Top, viewport.Right, viewport.Bottom};
    for (int i = 0; i < 4; ++i) {
        PutLittleEndian32(&report[3 + 4 * i], std::bit_cast<std::uint32_t>(coordinates[i]));
    }
    return report;
}

std::optional<Bytes> Version2ViewportReport(BYTE reportId, const Viewport& viewport) {
    const float coordinates[] = {viewport.Left, viewport.Top, viewport.Right, viewport.Bottom};
    for (const float coordinate : coordinates) {
        if (!FitsVersion2(coordinate)) return std::nullopt;
    }
    Bytes report = CurrentViewportReport(reportId, kVersion2OutputReportLength);
    for (int i = 0; i < 4; ++i) {
        PutLittleEndian16(&report[3 + 4 * i], TruncateToVersion2(coordinates[i]));
    }
    return report;
}

Bytes LegacyModeReport(BYTE reportId, DWORD mode) { return {reportId, static_cast<BYTE>(mode), 0}; }

Bytes ModeReport(BYTE reportId, DWORD mode) {
    return {reportId, kSecurityByte, kSecurityByte, static_cast<BYTE>(mode)};
}

}  // namespace touch_protocol
