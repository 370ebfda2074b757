// Thread tokens, privileges and object access lists on Windows: each call goes to advapi32 (and
// kernel32 for the current thread's pseudo handle and LocalFree) unchanged.
#pragma once

#include "platform/security.h"

namespace platform::win32 {

class Win32Security : public Security {
public:
    BOOL ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL impersonationLevel) override;
    HANDLE GetCurrentThread() override;
    BOOL OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf,
                         PHANDLE token) override;
    BOOL CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                               PSID_AND_ATTRIBUTES sidsToDisable, DWORD deletePrivilegeCount,
                               PLUID_AND_ATTRIBUTES privilegesToDelete, DWORD restrictedSidCount,
                               PSID_AND_ATTRIBUTES sidsToRestrict, PHANDLE newToken) override;
    BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                             LPVOID information, DWORD informationLength,
                             PDWORD returnLength) override;
    BOOL LookupPrivilegeNameW(LPCWSTR systemName, PLUID luid, LPWSTR name,
                              LPDWORD nameChars) override;
    BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) override;
    BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges, PTOKEN_PRIVILEGES newState,
                               DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                               PDWORD returnLength) override;
    BOOL SetThreadToken(PHANDLE thread, HANDLE token) override;
    BOOL RevertToSelf() override;
    DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType,
                          SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group, PACL* dacl,
                          PACL* sacl, PSECURITY_DESCRIPTOR* securityDescriptor) override;
    DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl,
                           PACL* newAcl) override;
    DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType,
                          SECURITY_INFORMATION securityInfo, PSID owner, PSID group, PACL dacl,
                          PACL sacl) override;
    BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE subAuthorityCount,
                                  DWORD subAuthority0, DWORD subAuthority1, DWORD subAuthority2,
                                  DWORD subAuthority3, DWORD subAuthority4, DWORD subAuthority5,
                                  DWORD subAuthority6, DWORD subAuthority7, PSID* sid) override;
    PVOID FreeSid(PSID sid) override;
    HLOCAL LocalFree(HLOCAL memory) override;
};

}  // namespace platform::win32
