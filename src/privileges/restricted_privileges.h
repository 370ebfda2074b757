// Running a worker's body with fewer rights than the service holds: the calling thread takes an
// impersonation copy of the process token in which every privilege but the kept ones is
// disabled, runs the body under it, and drops it again. The process token is never changed.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/security.h"
#include "platform/win32types.h"

// Runs body on the calling thread under the restricted token and stores its result in *result
// (when result is not null). If the token cannot be set up, body does not run and *result is
// left alone. An empty body raises std::bad_function_call. The thread returns to the process
// token on every way out, exceptions from body included; if it cannot, the process ends.
void RunWithRestrictedPrivileges(platform::Security& security, platform::Kernel& kernel,
                                 const std::vector<std::wstring>& keepList, HRESULT* result,
                                 const std::function<HRESULT()>& body);

// Disables every privilege of token whose name is not in keepList (exact, case-sensitive
// names). False if the token's privileges cannot be read; a privilege that cannot be disabled
// is passed over.
bool RestrictTokenPrivileges(platform::Security& security, platform::Kernel& kernel, HANDLE token,
                             const std::vector<std::wstring>& keepList);

// Disables one privilege of token by name; false if it could not be disabled.
bool DisablePrivilege(platform::Security& security, platform::Kernel& kernel, HANDLE token,
                      const std::wstring& name);

// The local system's name of a privilege, or "<lookup priv name failed>".
std::wstring GetPrivilegeName(platform::Security& security, const LUID& identifier);
