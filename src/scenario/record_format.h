// The records of a timeline, as people read them ("[s.mmm] ...") or as programs read them (one
// JSON object a line). kelvo-sim writes what the simulated devices receive in this form, and
// kelvo-play what the substitute devices received on a real machine, so that the two compare.
//
//   [1.000] touch SetFeature 06 ff ff 02              {"t":1000,"type":"hid","device":"touch",...}
//   [1.000] gfx SetInfo enable=1 x=95 y=95 p=6 hr=0x00000000
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32types.h"

namespace kelvo::host {

using Millis = std::uint64_t;

enum class TimelineFormat { Text, Json };

// "[seconds.millis]" for a time in milliseconds.
std::string TimeStamp(Millis time);

// The text as a JSON string, quotes included.
std::string JsonString(std::string_view utf8);

// The start of a JSON record, its time and type: {"t":1000,"type":"hid"
std::string JsonHead(Millis time, const char* type);

// Two hex digits a byte, lower case, with or without a blank between bytes.
std::string HexBytes(const std::vector<BYTE>& bytes, bool spaced);

// op: SetFeature, GetFeature, Write or Read; bytes as they crossed the bus.
std::string FormatHid(Millis time, std::string_view device, std::string_view op,
                      const std::vector<BYTE>& bytes, TimelineFormat format);

// What a frame request (op SetInfo or SetDeviceData) asks of the graphics driver: shown or not,
// the percentages and the vertical offset; nothing for another method. A field the record is too
// short to hold reads 0.
struct FrameRequest {
    DWORD enable = 0, x = 0, y = 0, p = 0;
};
std::optional<FrameRequest> FrameRequestOf(std::string_view op, const std::vector<BYTE>& record);

// A record the graphics driver received: op is its method. A request (SetInfo, SetDeviceData)
// shows what it asked for; a query only its answer.
std::string FormatGfx(Millis time, std::string_view op, const std::vector<BYTE>& record,
                      HRESULT result, TimelineFormat format);

}  // namespace kelvo::host
