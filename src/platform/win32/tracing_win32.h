// Event tracing on Windows: the real ETW and debugger calls.
//
// For development, the events can also be appended to a file: when the environment variable
// KELVO_TRACE_FILE names one at construction, each event that ETW accepted is written to it as a
// UTF-8 line "L<level> <text>". That is how traces are read where no ETW session can be (Wine's
// ETW accepts events and drops them). When the variable is unset or empty, the REG_SZ "TraceFile"
// of HKLM\SOFTWARE\Kelvo\Development names the file instead: a service under Wine does not
// inherit the environment of the program that starts it.
#pragma once

#include <mutex>

#include "platform/tracing.h"
#include "platform/win32/unique_handle.h"

namespace platform::win32 {

class Win32Tracing : public Tracing {
public:
    Win32Tracing();

    ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID callbackContext,
                        PREGHANDLE regHandle) override;
    ULONG EventUnregister(REGHANDLE regHandle) override;
    ULONG EventWriteString(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword,
                           PCWSTR string) override;
    BOOLEAN EventProviderEnabled(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword) override;
    void OutputDebugStringW(LPCWSTR outputString) override;

private:
    void AppendToTraceFile(UCHAR level, PCWSTR string);

    UniqueHandle _traceFile;
    std::mutex _traceFileWrite;  // Wine's appends are not atomic: one line at a time
};

}  // namespace platform::win32
