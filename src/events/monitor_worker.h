// What the monitor's worker threads (hot keys, bezel buttons) have in common: how their bodies
// run, and how long a stop waits before it tries a failed call again.
#pragma once

#include <exception>
#include <functional>

#include "log/log.h"
#include "platform/kernel.h"
#include "platform/security.h"
#include "privileges/restricted_privileges.h"

// A stop lost to one failed call would leave the service running for good: the call is made
// again after this pause until it goes through.
inline constexpr DWORD kStopRetryMilliseconds = 10;

// The entry of a worker thread: its body runs under the restricted token, and an exception ends
// the worker, never the process. The runner has restored the thread's token by the time it
// arrives here.
inline void RunMonitorWorker(platform::Security& security, platform::Kernel& kernel,
                             const std::function<HRESULT()>& body) {
    HRESULT result = S_OK;
    try {
        RunWithRestrictedPrivileges(security, kernel, {L"SeChangeNotifyPrivilege"}, &result, body);
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_CRITICAL, L"Monitor worker thread ended by an exception: %S", e.what());
    }
}
