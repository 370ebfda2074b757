// Thread tokens and privileges, under their Windows names: impersonating the process's own
// context, copying a token, reading and adjusting its privileges, and handing a token to the
// calling thread. Token handles are closed with Kernel::CloseHandle; failures set the thread's
// last error as Windows does.
//
// Access lists of kernel objects: reading and writing an object's discretionary access list,
// building a list with more entries, and the well-known SIDs those entries name. As on Windows,
// GetSecurityInfo, SetEntriesInAclW and SetSecurityInfo return their status instead of setting
// the last error; what GetSecurityInfo and SetEntriesInAclW hand out is freed with LocalFree, a
// SID from AllocateAndInitializeSid with FreeSid.
#pragma once

#include "platform/win32types.h"

namespace platform {

class Security {
public:
    virtual ~Security() = default;

    virtual BOOL ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL impersonationLevel) = 0;
    // The pseudo handle that stands for the calling thread; it needs no closing.
    virtual HANDLE GetCurrentThread() = 0;
    virtual BOOL OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf,
                                 PHANDLE token) = 0;
    virtual BOOL CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                                       PSID_AND_ATTRIBUTES sidsToDisable,
                                       DWORD deletePrivilegeCount,
                                       PLUID_AND_ATTRIBUTES privilegesToDelete,
                                       DWORD restrictedSidCount, PSID_AND_ATTRIBUTES sidsToRestrict,
                                       PHANDLE newToken) = 0;
    virtual BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                     LPVOID information, DWORD informationLength,
                                     PDWORD returnLength) = 0;
    virtual BOOL LookupPrivilegeNameW(LPCWSTR systemName, PLUID luid, LPWSTR name,
                                      LPDWORD nameChars) = 0;
    virtual BOOL LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) = 0;
    virtual BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges,
                                       PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                       PTOKEN_PRIVILEGES previousState, PDWORD returnLength) = 0;
    // A null thread is the calling thread; a null token ends its impersonation.
    virtual BOOL SetThreadToken(PHANDLE thread, HANDLE token) = 0;
    virtual BOOL RevertToSelf() = 0;

    virtual DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType,
                                  SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                  PACL* dacl, PACL* sacl,
                                  PSECURITY_DESCRIPTOR* securityDescriptor) = 0;
    virtual DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl,
                                   PACL* newAcl) = 0;
    virtual DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType,
                                  SECURITY_INFORMATION securityInfo, PSID owner, PSID group,
                                  PACL dacl, PACL sacl) = 0;
    virtual BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority,
                                          BYTE subAuthorityCount, DWORD subAuthority0,
                                          DWORD subAuthority1, DWORD subAuthority2,
                                          DWORD subAuthority3, DWORD subAuthority4,
                                          DWORD subAuthority5, DWORD subAuthority6,
                                          DWORD subAuthority7, PSID* sid) = 0;
    virtual PVOID FreeSid(PSID sid) = 0;
    virtual HLOCAL LocalFree(HLOCAL memory) = 0;
};

}  // namespace platform
