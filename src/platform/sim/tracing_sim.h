// Simulated event tracing: records every event and debugger line, answers for one trace
// session, and fails registration or writes on request.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/scheduler.h"
#include "platform/tracing.h"

namespace platform::sim {

struct TraceEvent {
    Scheduler::Millis time;
    GUID provider;
    UCHAR level;
    ULONGLONG keyword;
    std::wstring text;
};

class SimTracing : public Tracing {
public:
    explicit SimTracing(Scheduler& scheduler) : _scheduler(scheduler) {}

    ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID callbackContext,
                        PREGHANDLE regHandle) override;
    ULONG EventUnregister(REGHANDLE regHandle) override;
    ULONG EventWriteString(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword,
                           PCWSTR string) override;
    BOOLEAN EventProviderEnabled(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword) override;
    void OutputDebugStringW(LPCWSTR outputString) override;

    // The next registrations, or writes, return these statuses in turn (0 lets one through);
    // once a script is used up, calls succeed.
    void FailEventRegister(std::vector<ULONG> statuses);
    void FailEventWriteString(std::vector<ULONG> statuses);
    // The one trace session enables the provider up to this level (0: no session).
    void SetSessionLevel(UCHAR level);
    // Called for every event written successfully, under the world lock, in order.
    void SetListener(std::function<void(const TraceEvent&)> listener);

    std::vector<TraceEvent> Events();
    std::vector<std::wstring> DebuggerLines();
    std::size_t RegisteredCount();
    void Clear();

private:
    Scheduler& _scheduler;
    std::deque<ULONG> _registerScript;
    std::deque<ULONG> _writeScript;
    UCHAR _sessionLevel = TRACE_LEVEL_VERBOSE;
    std::vector<GUID> _registrations;  // handle n is entry n-1; a zeroed GUID once unregistered
    std::vector<TraceEvent> _events;
    std::vector<std::wstring> _debuggerLines;
    std::function<void(const TraceEvent&)> _listener;
};

}  // namespace platform::sim
