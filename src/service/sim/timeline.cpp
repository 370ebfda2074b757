#include "service/sim/timeline.h"

#include <cstddef>
#include <cstring>

#include "devices/gfx_driver.h"

namespace kelvo::host {

namespace {

using platform::sim::SimGfxDriver;

std::string Hex(const std::vector<BYTE>& bytes, bool spaced) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (spaced && i != 0) out += ' ';
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
    return out;
}

std::string HResultText(HRESULT hr) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", static_cast<unsigned>(hr));
    return buffer;
}

// The start of a JSON record: its time and type.
std::string JsonHead(Millis time, const char* type) {
    return "{\"t\":" + std::to_string(time) + ",\"type\":\"" + type + "\"";
}

const char* MethodName(SimGfxDriver::Method method) {
    switch (method) {
        case SimGfxDriver::Method::QueryInterface:
            return "QueryInterface";
        case SimGfxDriver::Method::GetInfo:
            return "GetInfo";
        case SimGfxDriver::Method::SetInfo:
            return "SetInfo";
        case SimGfxDriver::Method::GetDeviceData:
            return "GetDeviceData";
        case SimGfxDriver::Method::SetDeviceData:
            return "SetDeviceData";
    }
    return "?";
}

// A little-endian field of the record; 0 where the record is too short to hold it.
DWORD Field(const std::vector<BYTE>& record, std::size_t offset, std::size_t size) {
    if (offset + size > record.size()) return 0;
    DWORD value = 0;
    for (std::size_t i = 0; i < size; ++i) value |= DWORD{record[offset + i]} << (8 * i);
    return value;
}

struct FrameRequest {
    DWORD enable, x, y, p;
};

FrameRequest RequestOf(const SimGfxDriver::Call& call) {
    const std::vector<BYTE>& r = call.record;
    if (call.method == SimGfxDriver::Method::SetDeviceData) {
        return {Field(r, offsetof(FrameDeviceData, bEnable), 1),
                Field(r, offsetof(FrameDeviceData, dwPercentageX), 4),
                Field(r, offsetof(FrameDeviceData, dwPercentageY), 4),
                Field(r, offsetof(FrameDeviceData, dwYPositionPx), 4)};
    }
    return {Field(r, offsetof(FrameInfo, dwEnable), 4),
            Field(r, offsetof(FrameInfo, dwPercentageX), 4),
            Field(r, offsetof(FrameInfo, dwPercentageY), 4),
            Field(r, offsetof(FrameInfo, dwYPositionPx), 4)};
}

bool IsRequest(SimGfxDriver::Method method) {
    return method == SimGfxDriver::Method::SetInfo || method == SimGfxDriver::Method::SetDeviceData;
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

std::string ServiceStateName(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return "SERVICE_STOPPED";
        case SERVICE_START_PENDING:
            return "SERVICE_START_PENDING";
        case SERVICE_STOP_PENDING:
            return "SERVICE_STOP_PENDING";
        case SERVICE_RUNNING:
            return "SERVICE_RUNNING";
        case 5:
            return "SERVICE_CONTINUE_PENDING";
        case 6:
            return "SERVICE_PAUSE_PENDING";
        case 7:
            return "SERVICE_PAUSED";
    }
    return std::to_string(state);
}

std::string FormatTrace(const platform::sim::TraceEvent& event, TimelineFormat format) {
    const std::string text = ToUtf8(event.text);
    if (format == TimelineFormat::Json) {
        return JsonHead(event.time, "trace") + ",\"level\":" + std::to_string(event.level) +
               ",\"text\":" + JsonString(text) + "}";
    }
    std::string line = TimeStamp(event.time) + " L" + std::to_string(event.level) + " ";
    for (char c : text) {
        line += c;
        if (c == '\n') line += "  ";
    }
    return line;
}

std::string FormatHid(Millis time, std::string_view device, std::string_view op,
                      const std::vector<BYTE>& bytes, TimelineFormat format) {
    if (format == TimelineFormat::Json) {
        return JsonHead(time, "hid") + ",\"device\":" + JsonString(device) +
               ",\"op\":" + JsonString(op) + ",\"bytes\":\"" + Hex(bytes, false) + "\"}";
    }
    return TimeStamp(time) + " " + std::string(device) + " " + std::string(op) + " " +
           Hex(bytes, true);
}

std::string FormatGfx(const SimGfxDriver::Call& call, TimelineFormat format) {
    const std::string op = MethodName(call.method);
    const bool request = IsRequest(call.method);
    const FrameRequest r = RequestOf(call);
    if (format == TimelineFormat::Json) {
        std::string line = JsonHead(call.time, "gfx") + ",\"op\":\"" + op + "\"";
        if (request) {
            line += ",\"enable\":" + std::to_string(r.enable != 0 ? 1 : 0) +
                    ",\"x\":" + std::to_string(r.x) + ",\"y\":" + std::to_string(r.y) +
                    ",\"p\":" + std::to_string(r.p);
        }
        return line + ",\"hr\":" + std::to_string(static_cast<DWORD>(call.result)) +
               ",\"record\":\"" + Hex(call.record, false) + "\"}";
    }
    std::string line = TimeStamp(call.time) + " gfx " + op;
    if (request) {
        line += " enable=" + std::to_string(r.enable != 0 ? 1 : 0) + " x=" + std::to_string(r.x) +
                " y=" + std::to_string(r.y) + " p=" + std::to_string(r.p);
    }
    return line + " hr=" + HResultText(call.result);
}

std::string FormatNamedEvent(Millis time, std::string_view op, const std::wstring& name,
                             TimelineFormat format) {
    if (format == TimelineFormat::Json) {
        return JsonHead(time, "event") + ",\"op\":" + JsonString(op) +
               ",\"name\":" + JsonString(ToUtf8(name)) + "}";
    }
    return TimeStamp(time) + " event " + std::string(op) + " " + ToUtf8(name);
}

std::string FormatServiceStatus(Millis time, DWORD state, TimelineFormat format) {
    if (format == TimelineFormat::Json) {
        return JsonHead(time, "service") +
               ",\"op\":\"SetServiceStatus\",\"state\":" + JsonString(ServiceStateName(state)) +
               "}";
    }
    return TimeStamp(time) + " service SetServiceStatus " + ServiceStateName(state);
}

void Timeline::Trace(const platform::sim::TraceEvent& event) {
    // The host's trace session records only the levels it enables.
    if (event.level > _maxTraceLevel) return;
    Write(FormatTrace(event, _format));
}

void Timeline::Hid(Millis time, std::string_view device, std::string_view op,
                   const std::vector<BYTE>& bytes) {
    Write(FormatHid(time, device, op, bytes, _format));
}

void Timeline::Gfx(const SimGfxDriver::Call& call) { Write(FormatGfx(call, _format)); }

void Timeline::NamedEvent(Millis time, std::string_view op, const std::wstring& name) {
    Write(FormatNamedEvent(time, op, name, _format));
}

void Timeline::ServiceStatus(Millis time, DWORD state) {
    Write(FormatServiceStatus(time, state, _format));
}

void Timeline::Write(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), _out);
    std::fputc('\n', _out);
    std::fflush(_out);
}

}  // namespace kelvo::host
