#include "scenario/record_format.h"

#include <cstddef>
#include <cstdio>

#include "devices/gfx_driver.h"

namespace kelvo::host {

namespace {

std::string HResultText(HRESULT hr) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(hr));
    return buffer;
}

// A little-endian field of the record; 0 where the record is too short to hold it.
DWORD Field(const std::vector<BYTE>& record, std::size_t offset, std::size_t size) {
    if (offset + size > record.size()) return 0;
    DWORD value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= DWORD{record[offset + i]} << (8 * i);
    return value;
}

}  // namespace

std::string TimeStamp(Millis time) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "[%llu.%03llu]",
                  static_cast<unsigned long long>(time / 1000),
                  static_cast<unsigned long long>(time % 1000));
    return buffer;
}

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

std::string JsonHead(Millis time, const char* type) {
    return "{\"t\":" + std::to_string(time) + ",\"type\":\"" + type + "\"";
}

std::string HexBytes(const std::vector<BYTE>& bytes, bool spaced) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (spaced && i != 0) out += ' ';
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
    return out;
}

std::optional<FrameRequest> FrameRequestOf(std::string_view op, const std::vector<BYTE>& r) {
    if (op == "SetInfo") {
        return FrameRequest{Field(r, offsetof(FrameInfo, dwEnable), 4),
                            Field(r, offsetof(FrameInfo, dwPercentageX), 4),
                            Field(r, offsetof(FrameInfo, dwPercentageY), 4),
                            Field(r, offsetof(FrameInfo, dwYPositionPx), 4)};
    }
    if (op == "SetDeviceData") {
        return FrameRequest{Field(r, offsetof(FrameDeviceData, bEnable), 1),
                            Field(r, offsetof(FrameDeviceData, dwPercentageX), 4),
                            Field(r, offsetof(FrameDeviceData, dwPercentageY), 4),
                            Field(r, offsetof(FrameDeviceData, dwYPositionPx), 4)};
    }
    return std::nullopt;
}

std::string FormatHid(Millis time, std::string_view device, std::string_view op,
                      const std::vector<BYTE>& bytes, TimelineFormat format) {
    if (format == TimelineFormat::Json) {
        return JsonHead(time, "hid") + ",\"device\":" + JsonString(device) +
               ",\"op\":" + JsonString(op) + ",\"bytes\":\"" + HexBytes(bytes, false) + "\"}";
    }
    return TimeStamp(time) + " " + std::string(device) + " " + std::string(op) + " " +
           HexBytes(bytes, true);
}

std::string FormatGfx(Millis time, std::string_view op, const std::vector<BYTE>& record,
                      HRESULT result, TimelineFormat format) {
    const std::optional<FrameRequest> request = FrameRequestOf(op, record);
    if (format == TimelineFormat::Json) {
        std::string line = JsonHead(time, "gfx") + ",\"op\":" + JsonString(op);
        if (request) {
            line += ",\"enable\":" + std::to_string(request->enable != 0 ? 1 : 0) +
                    ",\"x\":" + std::to_string(request->x) +
                    ",\"y\":" + std::to_string(request->y) + ",\"p\":" + std::to_string(request->p);
        }
        return line + ",\"hr\":" + std::to_string(static_cast<DWORD>(result)) + ",\"record\":\"" +
               HexBytes(record, false) + "\"}";
    }
    std::string line = TimeStamp(time) + " gfx " + std::string(op);
    if (request) {
        line += " enable=" + std::to_string(request->enable != 0 ? 1 : 0) +
                " x=" + std::to_string(request->x) + " y=" + std::to_string(request->y) +
                " p=" + std::to_string(request->p);
    }
    return line + " hr=" + HResultText(result);
}

}  // namespace kelvo::host
