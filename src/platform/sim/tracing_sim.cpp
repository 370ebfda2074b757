#include "platform/sim/tracing_sim.h"

namespace platform::sim {

namespace {

ULONG TakeScripted(std::deque<ULONG>& script) {
    if (script.empty()) return ERROR_SUCCESS;
    const ULONG status = script.front();
    script.pop_front();
    return status;
}

constexpr ULONG kInvalidParameter = 87;

}  // namespace

ULONG SimTracing::EventRegister(LPCGUID providerId, PENABLECALLBACK, PVOID, PREGHANDLE regHandle) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (!providerId || !regHandle) return kInvalidParameter;
    if (const ULONG status = TakeScripted(_registerScript)) {
        *regHandle = 0;
        return status;
    }
    _registrations.push_back(*providerId);
    *regHandle = _registrations.size();
    return ERROR_SUCCESS;
}

ULONG SimTracing::EventUnregister(REGHANDLE regHandle) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (regHandle == 0 || regHandle > _registrations.size()) return kInvalidParameter;
    _registrations[regHandle - 1] = GUID{};
    return ERROR_SUCCESS;
}

ULONG SimTracing::EventWriteString(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword,
                                   PCWSTR string) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (regHandle == 0 || regHandle > _registrations.size() || !string) return kInvalidParameter;
    if (const ULONG status = TakeScripted(_writeScript)) return status;
    _events.push_back(
        TraceEvent{_scheduler.Now(), _registrations[regHandle - 1], level, keyword, string});
    if (_listener) _listener(_events.back());
    return ERROR_SUCCESS;
}

BOOLEAN SimTracing::EventProviderEnabled(REGHANDLE regHandle, UCHAR level, ULONGLONG) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (regHandle == 0 || regHandle > _registrations.size()) return FALSE;
    return level != 0 && level <= _sessionLevel ? TRUE : FALSE;
}

void SimTracing::OutputDebugStringW(LPCWSTR outputString) {
    Scheduler::Lock world(_scheduler.Mutex());
    _debuggerLines.emplace_back(outputString ? outputString : L"");
}

void SimTracing::FailEventRegister(std::vector<ULONG> statuses) {
    Scheduler::Lock world(_scheduler.Mutex());
    _registerScript.assign(statuses.begin(), statuses.end());
}

void SimTracing::FailEventWriteString(std::vector<ULONG> statuses) {
    Scheduler::Lock world(_scheduler.Mutex());
    _writeScript.assign(statuses.begin(), statuses.end());
}

void SimTracing::SetSessionLevel(UCHAR level) {
    Scheduler::Lock world(_scheduler.Mutex());
    _sessionLevel = level;
}

void SimTracing::SetListener(std::function<void(const TraceEvent&)> listener) {
    Scheduler::Lock world(_scheduler.Mutex());
    _listener = std::move(listener);
}

std::vector<TraceEvent> SimTracing::Events() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _events;
}

std::vector<std::wstring> SimTracing::DebuggerLines() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _debuggerLines;
}

std::size_t SimTracing::RegisteredCount() {
    Scheduler::Lock world(_scheduler.Mutex());
    std::size_t count = 0;
    for (const GUID& g : _registrations) count += g == GUID{} ? 0 : 1;
    return count;
}

void SimTracing::Clear() {
    Scheduler::Lock world(_scheduler.Mutex());
    _events.clear();
    _debuggerLines.clear();
}

}  // namespace platform::sim
