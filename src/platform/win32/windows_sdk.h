// The Windows SDK, as the portable types header sees it on Windows.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// The rest need windows.h first.
#include <aclapi.h>  // GetSecurityInfo, SetEntriesInAclW, SetSecurityInfo
#include <dbt.h>     // DEV_BROADCAST_*, DBT_*
#include <evntprov.h>
#include <evntrace.h>  // TRACE_LEVEL_*
#include <objbase.h>   // CoInitializeEx, CoCreateInstance, IUnknown, CLSCTX_*
#include <ole2.h>      // OleRun, IDispatch
#include <rpc.h>       // UuidToStringW, RPC_WSTR (left out by WIN32_LEAN_AND_MEAN)
#include <setupapi.h>
// The Windows SDK has it in winuser.h; mingw-w64 10 does not.
#ifndef DEVICE_NOTIFY_CALLBACK
#define DEVICE_NOTIFY_CALLBACK 0x00000002
#endif
// The HID headers of mingw-w64 declare their functions without a C++ guard.
extern "C" {
#include <hidsdi.h>
}
