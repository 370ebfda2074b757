// Simulated tokens and privileges: a process token with a privilege list that tests choose, an
// impersonation token per thread, and token handles in the simulated kernel's handle table.
//
// Only what the system relies on is modelled: tokens carry privileges and nothing else (no
// groups, no owner), so CreateRestrictedToken takes no SIDs or flags and AdjustTokenPrivileges
// returns no previous state; those arguments fail with ERROR_INVALID_PARAMETER. Names are
// looked up on the local system only.
//
// Kernel objects carry a discretionary access list and nothing else of a security descriptor:
// GetSecurityInfo and SetSecurityInfo take DACL_SECURITY_INFORMATION on SE_KERNEL_OBJECT only,
// and SetEntriesInAclW grants (GRANT_ACCESS) to trustees given by SID. Lists, descriptors and
// SIDs are laid out in memory as Windows lays them out, so callers can hand them on unchanged.
// An object gets its list when it is first looked at: SYSTEM and Administrators with all
// access, or none at all as under Wine (SetNewObjectsHaveDacl).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/security.h"
#include "platform/sim/faults.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/scheduler.h"

namespace platform::sim {

class SimSecurity : public Security {
public:
    struct Privilege {
        std::wstring name;
        DWORD attributes = 0;  // SE_PRIVILEGE_* bits

        bool operator==(const Privilege&) const = default;
    };

    SimSecurity(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel);

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

    // One entry of an access list, its trustee written as SID text ("S-1-5-11").
    struct Ace {
        BYTE type = ACCESS_ALLOWED_ACE_TYPE;
        BYTE flags = 0;
        ACCESS_MASK mask = 0;
        std::wstring sid;

        bool operator==(const Ace&) const = default;
    };
    // The access list of the object behind a handle; none when the object has no list, or the
    // handle is not a kernel object's.
    std::optional<std::vector<Ace>> AccessList(HANDLE object);
    // Whether objects first looked at from now on get the default list (true at start).
    void SetNewObjectsHaveDacl(bool hasDacl);
    // Descriptors, lists and SIDs handed out and not yet freed.
    std::size_t OutstandingAllocations();
    static std::vector<Ace> DefaultAccessList();

    // The privileges of the process token, in token order. A name the system does not know yet
    // becomes a privilege of the local system, with the next free identifier.
    void SetProcessPrivileges(const std::vector<Privilege>& privileges);
    std::vector<Privilege> ProcessPrivileges();
    // What the calling thread's rights are made of now: its impersonation token's privileges,
    // or the process token's when it impersonates nobody.
    std::vector<Privilege> EffectivePrivileges();
    // The calling thread's impersonation level; none when it runs under the process token.
    std::optional<SECURITY_IMPERSONATION_LEVEL> ImpersonationLevel();

    // A service under the local system account: a few privileges, SeChangeNotifyPrivilege on.
    static std::vector<Privilege> DefaultProcessPrivileges();

private:
    struct Token {
        bool impersonation = false;
        SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
        std::vector<LUID_AND_ATTRIBUTES> privileges;  // in token order
    };
    class TokenHandle;

    std::shared_ptr<Token> ThreadToken();
    // The token behind a handle with all of the access asked for; sets the last error if none.
    std::shared_ptr<Token> TokenFor(HANDLE handle, DWORD access);
    std::vector<Privilege> Describe(const Token& token) const;
    LUID ValueOf(const std::wstring& name);
    const std::wstring* NameOf(const LUID& luid) const;

    Scheduler& _scheduler;
    FaultPlan& _faults;
    SimKernel& _kernel;
    Token _processToken;
    std::map<DWORD, std::wstring> _privilegeNames;  // the local system's, by identifier
    DWORD _nextPrivilegeValue;
    struct ObjectSecurity {
        bool hasDacl = true;
        std::vector<Ace> dacl;
    };
    ObjectSecurity& SecurityOf(const std::shared_ptr<KernelObject>& object);
    // A new block of memory that the caller frees with LocalFree (or FreeSid, for a SID).
    BYTE* Allocate(std::size_t size, bool sid);

    // By object; an entry whose object is gone is never looked at again, since no handle can
    // reach it.
    std::map<std::weak_ptr<KernelObject>, ObjectSecurity, std::owner_less<>> _objectSecurity;
    bool _newObjectsHaveDacl = true;
    struct Block {
        std::unique_ptr<BYTE[]> bytes;
        bool sid;
    };
    std::map<const void*, Block> _blocks;
    // By thread; an entry goes when its thread reverts (a thread that ends impersonating would
    // leave it behind for a later thread of the same id).
    std::map<std::thread::id, std::shared_ptr<Token>> _threadTokens;
};

}  // namespace platform::sim
