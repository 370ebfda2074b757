// The simulated host's timeline: one line per record, as people read it ("[s.mmm] ...") or as
// programs read it (one JSON object a line).
//
//   [0.000] service SetServiceStatus SERVICE_RUNNING   {"t":0,"type":"service",...}
//   [1.000] L4 System is in UNLOCKED.                 {"t":1000,"type":"trace","level":4,...}
//   [1.000] touch SetFeature 06 ff ff 02              {"t":1000,"type":"hid","device":"touch",...}
//   [1.000] gfx SetInfo enable=1 x=95 y=95 p=6 hr=0x00000000
//   [3.000] event SetEvent Global\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/scheduler.h"
#include "platform/sim/tracing_sim.h"
#include "platform/sim/utf8.h"
#include "scenario/record_format.h"
#include "substitutes/gfx_driver_sim.h"

namespace kelvo::host {

using platform::sim::ToUtf8;

// The state's name as winsvc.h spells it ("SERVICE_RUNNING"), or its number.
std::string ServiceStateName(DWORD state);

// "L<level> <text>", continuation lines of a multi-line text indented by two spaces.
std::string FormatTrace(const platform::sim::TraceEvent& event, TimelineFormat format);
// A call of the simulated graphics driver, as FormatGfx of record_format.h gives it.
std::string FormatGfx(const platform::sim::SimGfxDriver::Call& call, TimelineFormat format);
std::string FormatNamedEvent(Millis time, std::string_view op, const std::wstring& name,
                             TimelineFormat format);
std::string FormatServiceStatus(Millis time, DWORD state, TimelineFormat format);

// One record as the timeline wrote it, kept for the picture (timeline_svg.h).
struct TimelineRecord {
    enum class Kind { Trace, Hid, Gfx, NamedEvent, ServiceStatus };
    Kind kind;
    Millis time;
    DWORD number = 0;         // Trace: the level; ServiceStatus: the state
    std::string op;           // Hid: the exchange; Gfx: the method; NamedEvent: the operation
    std::string text;         // Trace: the text; Hid: the device; NamedEvent: the name
    std::vector<BYTE> bytes;  // Hid: the report; Gfx: the record
    HRESULT result = S_OK;    // Gfx
};

// Writes each record to the stream as one line, flushed, in the order they come.
class Timeline {
public:
    Timeline(std::FILE* out, TimelineFormat format, UCHAR maxTraceLevel)
        : _out(out), _format(format), _maxTraceLevel(maxTraceLevel) {}

    void Trace(const platform::sim::TraceEvent& event);
    void Hid(Millis time, std::string_view device, std::string_view op,
             const std::vector<BYTE>& bytes);
    void Gfx(const platform::sim::SimGfxDriver::Call& call);
    void NamedEvent(Millis time, std::string_view op, const std::wstring& name);
    void ServiceStatus(Millis time, DWORD state);

    // Also keeps every record written in *records, from now on; nullptr stops it. The records
    // come under the world lock; read them once the service's threads wait or have ended.
    void Keep(std::vector<TimelineRecord>* records) { _kept = records; }

private:
    void Write(const std::string& line);
    void Kept(TimelineRecord record);

    std::FILE* _out;
    TimelineFormat _format;
    UCHAR _maxTraceLevel;
    std::vector<TimelineRecord>* _kept = nullptr;
};

}  // namespace kelvo::host
