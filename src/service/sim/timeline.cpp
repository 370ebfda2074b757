#include "service/sim/timeline.h"

#include <utility>

namespace kelvo::host {

namespace {

using platform::sim::SimGfxDriver;

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

}  // namespace

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

std::string FormatGfx(const SimGfxDriver::Call& call, TimelineFormat format) {
    return FormatGfx(call.time, MethodName(call.method), call.record, call.result, format);
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
    Kept({TimelineRecord::Kind::Trace, event.time, event.level, {}, ToUtf8(event.text), {}, S_OK});
}

void Timeline::Hid(Millis time, std::string_view device, std::string_view op,
                   const std::vector<BYTE>& bytes) {
    Write(FormatHid(time, device, op, bytes, _format));
    Kept({TimelineRecord::Kind::Hid, time, 0, std::string(op), std::string(device), bytes, S_OK});
}

void Timeline::Gfx(const SimGfxDriver::Call& call) {
    Write(FormatGfx(call, _format));
    const std::string method = MethodName(call.method);
    Kept({TimelineRecord::Kind::Gfx, call.time, 0, method, {}, call.record, call.result});
}

void Timeline::NamedEvent(Millis time, std::string_view op, const std::wstring& name) {
    Write(FormatNamedEvent(time, op, name, _format));
    Kept({TimelineRecord::Kind::NamedEvent, time, 0, std::string(op), ToUtf8(name), {}, S_OK});
}

void Timeline::ServiceStatus(Millis time, DWORD state) {
    Write(FormatServiceStatus(time, state, _format));
    Kept({TimelineRecord::Kind::ServiceStatus, time, state, {}, {}, {}, S_OK});
}

void Timeline::Write(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), _out);
    std::fputc('\n', _out);
    std::fflush(_out);
}

void Timeline::Kept(TimelineRecord record) {
    if (_kept) _kept->push_back(std::move(record));
}

}  // namespace kelvo::host
