// Event Tracing for Windows and the debugger channel, under their Windows names.
#pragma once

#include "platform/win32types.h"

namespace platform {

class Tracing {
public:
    virtual ~Tracing() = default;

    virtual ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback,
                                PVOID callbackContext, PREGHANDLE regHandle) = 0;
    virtual ULONG EventUnregister(REGHANDLE regHandle) = 0;
    virtual ULONG EventWriteString(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword,
                                   PCWSTR string) = 0;
    virtual BOOLEAN EventProviderEnabled(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword) = 0;
    virtual void OutputDebugStringW(LPCWSTR outputString) = 0;
};

}  // namespace platform
