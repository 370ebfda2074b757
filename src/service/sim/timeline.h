// The simulated host's timeline: one line per record, as people read it.
#pragma once

#include <cstdio>
#include <string>

#include "platform/sim/tracing_sim.h"

namespace kelvo::host {

// UTF-8 of wide text (UTF-16 or UTF-32, as wchar_t is on the platform); bad code units become
// U+FFFD.
std::string ToUtf8(const std::wstring& text);

// "[seconds.millis]" for a virtual time in milliseconds.
std::string TimeStamp(platform::sim::Scheduler::Millis time);

// "[s.mmm] L<level> <text>", continuation lines of a multi-line text indented by two spaces.
std::string FormatTraceLine(const platform::sim::TraceEvent& event);

// Writes every trace event up to maxLevel to the stream as it is recorded.
void PrintTraces(platform::sim::SimTracing& tracing, std::FILE* out, UCHAR maxLevel);

}  // namespace kelvo::host
