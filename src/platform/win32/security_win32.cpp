#include "platform/win32/security_win32.h"

#include "platform/win32/windows_sdk.h"

namespace platform::win32 {

BOOL Win32Security::ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL impersonationLevel) {
    return ::ImpersonateSelf(impersonationLevel);
}

HANDLE Win32Security::GetCurrentThread() { return ::GetCurrentThread(); }

BOOL Win32Security::OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL openAsSelf,
                                    PHANDLE token) {
    return ::OpenThreadToken(thread, desiredAccess, openAsSelf, token);
}

BOOL Win32Security::CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                                          PSID_AND_ATTRIBUTES sidsToDisable,
                                          DWORD deletePrivilegeCount,
                                          PLUID_AND_ATTRIBUTES privilegesToDelete,
                                          DWORD restrictedSidCount,
                                          PSID_AND_ATTRIBUTES sidsToRestrict, PHANDLE newToken) {
    return ::CreateRestrictedToken(existingToken, flags, disableSidCount, sidsToDisable,
                                   deletePrivilegeCount, privilegesToDelete, restrictedSidCount,
                                   sidsToRestrict, newToken);
}

BOOL Win32Security::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                        LPVOID information, DWORD informationLength,
                                        PDWORD returnLength) {
    return ::GetTokenInformation(token, informationClass, information, informationLength,
                                 returnLength);
}

BOOL Win32Security::LookupPrivilegeNameW(LPCWSTR systemName, PLUID luid, LPWSTR name,
                                         LPDWORD nameChars) {
    return ::LookupPrivilegeNameW(systemName, luid, name, nameChars);
}

BOOL Win32Security::LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    return ::LookupPrivilegeValueW(systemName, name, luid);
}

BOOL Win32Security::AdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges,
                                          PTOKEN_PRIVILEGES newState, DWORD bufferLength,
                                          PTOKEN_PRIVILEGES previousState, PDWORD returnLength) {
    return ::AdjustTokenPrivileges(token, disableAllPrivileges, newState, bufferLength,
                                   previousState, returnLength);
}

BOOL Win32Security::SetThreadToken(PHANDLE thread, HANDLE token) {
    return ::SetThreadToken(thread, token);
}

BOOL Win32Security::RevertToSelf() { return ::RevertToSelf(); }

DWORD Win32Security::GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType,
                                     SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                     PACL* dacl, PACL* sacl,
                                     PSECURITY_DESCRIPTOR* securityDescriptor) {
    return ::GetSecurityInfo(handle, objectType, securityInfo, owner, group, dacl, sacl,
                             securityDescriptor);
}

DWORD Win32Security::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl,
                                      PACL* newAcl) {
    return ::SetEntriesInAclW(count, entries, oldAcl, newAcl);
}

DWORD Win32Security::SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType,
                                     SECURITY_INFORMATION securityInfo, PSID owner, PSID group,
                                     PACL dacl, PACL sacl) {
    return ::SetSecurityInfo(handle, objectType, securityInfo, owner, group, dacl, sacl);
}

BOOL Win32Security::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority,
                                             BYTE subAuthorityCount, DWORD subAuthority0,
                                             DWORD subAuthority1, DWORD subAuthority2,
                                             DWORD subAuthority3, DWORD subAuthority4,
                                             DWORD subAuthority5, DWORD subAuthority6,
                                             DWORD subAuthority7, PSID* sid) {
    return ::AllocateAndInitializeSid(authority, subAuthorityCount, subAuthority0, subAuthority1,
                                      subAuthority2, subAuthority3, subAuthority4, subAuthority5,
                                      subAuthority6, subAuthority7, sid);
}

PVOID Win32Security::FreeSid(PSID sid) { return ::FreeSid(sid); }

HLOCAL Win32Security::LocalFree(HLOCAL memory) { return ::LocalFree(memory); }

}  // namespace platform::win32
