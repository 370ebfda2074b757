#include "platform/sim/security_sim.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <string>
#include <utility>

namespace platform::sim {

namespace {

// The identifiers Windows gives its well-known privileges, so that traces read as on Windows.
constexpr std::pair<DWORD, const wchar_t*> kWellKnownPrivileges[] = {
    {2, L"SeCreateTokenPrivilege"},
    {3, L"SeAssignPrimaryTokenPrivilege"},
    {4, L"SeLockMemoryPrivilege"},
    {5, L"SeIncreaseQuotaPrivilege"},
    {6, L"SeMachineAccountPrivilege"},
    {7, L"SeTcbPrivilege"},
    {8, L"SeSecurityPrivilege"},
    {9, L"SeTakeOwnershipPrivilege"},
    {10, L"SeLoadDriverPrivilege"},
    {11, L"SeSystemProfilePrivilege"},
    {12, L"SeSystemtimePrivilege"},
    {13, L"SeProfileSingleProcessPrivilege"},
    {14, L"SeIncreaseBasePriorityPrivilege"},
    {15, L"SeCreatePagefilePrivilege"},
    {16, L"SeCreatePermanentPrivilege"},
    {17, L"SeBackupPrivilege"},
    {18, L"SeRestorePrivilege"},
    {19, L"SeShutdownPrivilege"},
    {20, L"SeDebugPrivilege"},
    {21, L"SeAuditPrivilege"},
    {22, L"SeSystemEnvironmentPrivilege"},
    {23, L"SeChangeNotifyPrivilege"},
    {24, L"SeRemoteShutdownPrivilege"},
    {25, L"SeUndockPrivilege"},
    {26, L"SeSyncAgentPrivilege"},
    {27, L"SeEnableDelegationPrivilege"},
    {28, L"SeManageVolumePrivilege"},
    {29, L"SeImpersonatePrivilege"},
    {30, L"SeCreateGlobalPrivilege"},
    {31, L"SeTrustedCredManAccessPrivilege"},
    {32, L"SeRelabelPrivilege"},
    {33, L"SeIncreaseWorkingSetPrivilege"},
    {34, L"SeTimeZonePrivilege"},
    {35, L"SeCreateSymbolicLinkPrivilege"},
    {36, L"SeDelegateSessionUserImpersonatePrivilege"},
};
// Privileges a test invents are numbered from here on, in the order they first appear.
constexpr DWORD kFirstInventedPrivilege = 1000;

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

// A privilege list's size in a TOKEN_PRIVILEGES buffer, as Windows counts it.
DWORD PrivilegesSize(std::size_t count) {
    return static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                              count * sizeof(LUID_AND_ATTRIBUTES));
}

bool SameLuid(const LUID& a, const LUID& b) {
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

// Privilege names are matched without regard to letter case, as Windows does.
bool SameNameIgnoringCase(const std::wstring& a, const wchar_t* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i) {
        if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i])))
            return false;
    }
    return i == a.size() && b[i] == 0;
}

bool IsLocalSystem(LPCWSTR systemName) { return systemName == nullptr || *systemName == 0; }

// ---- Access lists in the Windows layout ----

constexpr BYTE kSidRevision = 1;
constexpr BYTE kMaxSubAuthorities = 15;
constexpr std::size_t kSidFixedSize = 8;  // revision, count, 6-byte authority
constexpr std::size_t kAclHeaderSize = sizeof(ACL);
constexpr std::size_t kAceFixedSize = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
// A self-relative descriptor: revision, padding, control, then offsets of owner, group, system
// list and discretionary list.
constexpr std::size_t kDescriptorSize = 20;
constexpr WORD kDaclPresent = 0x0004;
constexpr WORD kSelfRelative = 0x8000;
constexpr ACCESS_MASK kAllEventAccess = EVENT_ALL_ACCESS;

// The SID at bytes, when it is well formed and fits in room bytes.
std::optional<std::wstring> SidText(const BYTE* bytes, std::size_t room) {
    if (room < kSidFixedSize || bytes[0] != kSidRevision || bytes[1] > kMaxSubAuthorities ||
        room < kSidFixedSize + bytes[1] * sizeof(DWORD)) {
        return std::nullopt;
    }
    ULONGLONG authority = 0;
    for (int i = 2; i < 8; ++i) authority = (authority << 8) | bytes[i];
    std::wstring text = L"S-1-" + std::to_wstring(authority);
    for (BYTE i = 0; i < bytes[1]; ++i) {
        DWORD sub = 0;
        std::memcpy(&sub, bytes + kSidFixedSize + i * sizeof(DWORD), sizeof sub);
        text += L"-" + std::to_wstring(sub);
    }
    return text;
}

// "S-1-5-32-544" in the binary layout; empty if the text is not a SID.
std::vector<BYTE> SidBytes(const std::wstring& text) {
    std::vector<ULONGLONG> parts;
    if (text.rfind(L"S-1-", 0) != 0) return {};
    std::size_t at = 4;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find(L'-', at), text.size());
        if (end == at) return {};
        ULONGLONG value = 0;
        for (std::size_t i = at; i < end; ++i) {
            if (text[i] < L'0' || text[i] > L'9') return {};
            value = value * 10 + static_cast<ULONGLONG>(text[i] - L'0');
        }
        parts.push_back(value);
        at = end + 1;
    }
    if (parts.empty() || parts.size() - 1 > kMaxSubAuthorities) return {};
    std::vector<BYTE> sid(kSidFixedSize + (parts.size() - 1) * sizeof(DWORD));
    sid[0] = kSidRevision;
    sid[1] = static_cast<BYTE>(parts.size() - 1);
    for (int i = 0; i < 6; ++i) sid[2 + i] = static_cast<BYTE>(parts[0] >> (8 * (5 - i)));
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const auto sub = static_cast<DWORD>(parts[i]);
        std::memcpy(sid.data() + kSidFixedSize + (i - 1) * sizeof(DWORD), &sub, sizeof sub);
    }
    return sid;
}

std::vector<BYTE> EncodeAcl(const std::vector<SimSecurity::Ace>& aces) {
    std::vector<BYTE> acl(kAclHeaderSize);
    for (const SimSecurity::Ace& ace : aces) {
        const std::vector<BYTE> sid = SidBytes(ace.sid);
        const std::size_t size = (kAceFixedSize + sid.size() + 3) & ~std::size_t{3};
        const ACE_HEADER header{ace.type, ace.flags, static_cast<WORD>(size)};
        const std::size_t at = acl.size();
        acl.resize(at + size);
        std::memcpy(acl.data() + at, &header, sizeof header);
        std::memcpy(acl.data() + at + sizeof header, &ace.mask, sizeof ace.mask);
        std::memcpy(acl.data() + at + kAceFixedSize, sid.data(), sid.size());
    }
    const ACL header{ACL_REVISION, 0, static_cast<WORD>(acl.size()), static_cast<WORD>(aces.size()),
                     0};
    std::memcpy(acl.data(), &header, sizeof header);
    return acl;
}

// The entries of a list in the Windows layout; none if it is malformed.
std::optional<std::vector<SimSecurity::Ace>> DecodeAcl(const ACL* acl) {
    const auto* bytes = reinterpret_cast<const BYTE*>(acl);
    if (acl->AclRevision != ACL_REVISION || acl->AclSize < kAclHeaderSize) return std::nullopt;
    std::vector<SimSecurity::Ace> aces;
    std::size_t at = kAclHeaderSize;
    for (WORD i = 0; i < acl->AceCount; ++i) {
        ACE_HEADER header{};
        if (acl->AclSize - at < kAceFixedSize) return std::nullopt;
        std::memcpy(&header, bytes + at, sizeof header);
        if (header.AceSize < kAceFixedSize || header.AceSize > acl->AclSize - at ||
            (header.AceType != ACCESS_ALLOWED_ACE_TYPE &&
             header.AceType != ACCESS_DENIED_ACE_TYPE)) {
            return std::nullopt;
        }
        SimSecurity::Ace ace{header.AceType, header.AceFlags, 0, {}};
        std::memcpy(&ace.mask, bytes + at + sizeof header, sizeof ace.mask);
        auto sid = SidText(bytes + at + kAceFixedSize, header.AceSize - kAceFixedSize);
        if (!sid) return std::nullopt;
        ace.sid = *sid;
        aces.push_back(std::move(ace));
        at += header.AceSize;
    }
    return aces;
}

}  // namespace

// One open handle to a token, with the access it was granted.
class SimSecurity::TokenHandle : public KernelObject {
public:
    TokenHandle(std::shared_ptr<Token> token, DWORD access)
        : token(std::move(token)), grantedAccess(access) {}

    const std::shared_ptr<Token> token;
    const DWORD grantedAccess;
};

SimSecurity::SimSecurity(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel)
    : _scheduler(scheduler), _faults(faults), _kernel(kernel) {
    for (const auto& [value, name] : kWellKnownPrivileges) _privilegeNames.emplace(value, name);
    _nextPrivilegeValue = kFirstInventedPrivilege;
    for (const Privilege& privilege : DefaultProcessPrivileges()) {
        _processToken.privileges.push_back({ValueOf(privilege.name), privilege.attributes});
    }
}

std::vector<SimSecurity::Privilege> SimSecurity::DefaultProcessPrivileges() {
    constexpr DWORD on = SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED;
    return {{L"SeTcbPrivilege", on},          {L"SeBackupPrivilege", 0},
            {L"SeShutdownPrivilege", 0},      {L"SeDebugPrivilege", on},
            {L"SeChangeNotifyPrivilege", on}, {L"SeImpersonatePrivilege", on}};
}

BOOL SimSecurity::ImpersonateSelf(SECURITY_IMPERSONATION_LEVEL impersonationLevel) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("ImpersonateSelf")) return FALSE;
    if (impersonationLevel < SecurityAnonymous || impersonationLevel > SecurityDelegation) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A copy of the process token: what the thread changes in it leaves the process alone.
    auto token = std::make_shared<Token>(_processToken);
    token->impersonation = true;
    token->level = impersonationLevel;
    _threadTokens[std::this_thread::get_id()] = std::move(token);
    return TRUE;
}

HANDLE SimSecurity::GetCurrentThread() {
    Scheduler::Lock world(_scheduler.Mutex());
    // Cannot fail; taken only so that the call shows in the recorded order.
    (void)_faults.Take("GetCurrentThread");
    return kCurrentThreadPseudoHandle;
}

BOOL SimSecurity::OpenThreadToken(HANDLE thread, DWORD desiredAccess, BOOL, PHANDLE token) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("OpenThreadToken", std::to_wstring(desiredAccess))) return FALSE;
    if (token == nullptr) {
        _kernel.SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (thread != kCurrentThreadPseudoHandle) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto current = ThreadToken();
    if (!current) {
        _kernel.SetLastError(ERROR_NO_TOKEN);
        return FALSE;
    }
    *token = _kernel.AddHandle(std::make_shared<TokenHandle>(std::move(current), desiredAccess));
    return TRUE;
}

BOOL SimSecurity::CreateRestrictedToken(HANDLE existingToken, DWORD flags, DWORD disableSidCount,
                                        PSID_AND_ATTRIBUTES, DWORD deletePrivilegeCount,
                                        PLUID_AND_ATTRIBUTES privilegesToDelete,
                                        DWORD restrictedSidCount, PSID_AND_ATTRIBUTES,
                                        PHANDLE newToken) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("CreateRestrictedToken")) return FALSE;
    if (newToken == nullptr || flags != 0 || disableSidCount != 0 || restrictedSidCount != 0 ||
        (deletePrivilegeCount != 0 && privilegesToDelete == nullptr)) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto existing = TokenFor(existingToken, TOKEN_DUPLICATE);
    if (!existing) return FALSE;
    auto restricted = std::make_shared<Token>(*existing);
    for (DWORD i = 0; i < deletePrivilegeCount; ++i) {
        std::erase_if(restricted->privileges, [&](const LUID_AND_ATTRIBUTES& privilege) {
            return SameLuid(privilege.Luid, privilegesToDelete[i].Luid);
        });
    }
    *newToken = _kernel.AddHandle(std::make_shared<TokenHandle>(restricted, TOKEN_ALL_ACCESS));
    return TRUE;
}

BOOL SimSecurity::GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                      LPVOID information, DWORD informationLength,
                                      PDWORD returnLength) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("GetTokenInformation", std::to_wstring(informationClass))) return FALSE;
    if (informationClass != TokenPrivileges) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto source = TokenFor(token, TOKEN_QUERY);
    if (!source) return FALSE;
    if (returnLength == nullptr) {
        _kernel.SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    const DWORD required = PrivilegesSize(source->privileges.size());
    *returnLength = required;
    if (informationLength < required) {
        _kernel.SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (information == nullptr) {
        _kernel.SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto* bytes = static_cast<BYTE*>(information);
    const DWORD count = static_cast<DWORD>(source->privileges.size());
    std::memcpy(bytes, &count, sizeof count);
    if (count != 0) {
        std::memcpy(bytes + offsetof(TOKEN_PRIVILEGES, Privileges), source->privileges.data(),
                    count * sizeof(LUID_AND_ATTRIBUTES));
    }
    return TRUE;
}

BOOL SimSecurity::LookupPrivilegeNameW(LPCWSTR systemName, PLUID luid, LPWSTR name,
                                       LPDWORD nameChars) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("LookupPrivilegeNameW")) return FALSE;
    if (!IsLocalSystem(systemName) || luid == nullptr || nameChars == nullptr) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::wstring* known = NameOf(*luid);
    if (known == nullptr) {
        _kernel.SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    // Too small a buffer learns the size it needs, terminator included.
    const DWORD length = static_cast<DWORD>(known->size());
    if (name == nullptr || *nameChars <= length) {
        *nameChars = length + 1;
        _kernel.SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::copy(known->begin(), known->end(), name);
    name[length] = 0;
    *nameChars = length;
    return TRUE;
}

BOOL SimSecurity::LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("LookupPrivilegeValueW", name ? name : L"")) return FALSE;
    if (!IsLocalSystem(systemName) || name == nullptr || luid == nullptr) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (const auto& [value, known] : _privilegeNames) {
        if (SameNameIgnoringCase(known, name)) {
            *luid = LUID{value, 0};
            return TRUE;
        }
    }
    _kernel.SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}

BOOL SimSecurity::AdjustTokenPrivileges(HANDLE token, BOOL disableAllPrivileges,
                                        PTOKEN_PRIVILEGES newState, DWORD,
                                        PTOKEN_PRIVILEGES previousState, PDWORD) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("AdjustTokenPrivileges")) return FALSE;
    if (previousState != nullptr || (!disableAllPrivileges && newState == nullptr)) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto target = TokenFor(token, TOKEN_ADJUST_PRIVILEGES);
    if (!target) return FALSE;
    if (disableAllPrivileges) {
        for (auto& privilege : target->privileges) privilege.Attributes &= ~SE_PRIVILEGE_ENABLED;
        _kernel.SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    // Each entry changes the privilege it names; one the token lacks is left out, and the call
    // still succeeds, telling so through the last error.
    bool allAssigned = true;
    const LUID_AND_ATTRIBUTES* requested = newState->Privileges;
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
        auto& privileges = target->privileges;
        auto held = std::find_if(privileges.begin(), privileges.end(), [&](const auto& p) {
            return SameLuid(p.Luid, requested[i].Luid);
        });
        if (held == privileges.end()) {
            allAssigned = false;
        } else if (requested[i].Attributes & SE_PRIVILEGE_REMOVED) {
            privileges.erase(held);
        } else {
            held->Attributes = (held->Attributes & ~SE_PRIVILEGE_ENABLED) |
                               (requested[i].Attributes & SE_PRIVILEGE_ENABLED);
        }
    }
    _kernel.SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL SimSecurity::SetThreadToken(PHANDLE thread, HANDLE token) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("SetThreadToken")) return FALSE;
    if (thread != nullptr && *thread != kCurrentThreadPseudoHandle) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (token == nullptr) {
        _threadTokens.erase(std::this_thread::get_id());
        return TRUE;
    }
    auto impersonated = TokenFor(token, TOKEN_IMPERSONATE);
    if (!impersonated) return FALSE;
    if (!impersonated->impersonation) {
        _kernel.SetLastError(ERROR_BAD_TOKEN_TYPE);
        return FALSE;
    }
    // The thread holds the token itself: it outlives the handle it was set from.
    _threadTokens[std::this_thread::get_id()] = std::move(impersonated);
    return TRUE;
}

BOOL SimSecurity::RevertToSelf() {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("RevertToSelf")) return FALSE;
    _threadTokens.erase(std::this_thread::get_id());
    return TRUE;
}

DWORD SimSecurity::GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType,
                                   SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                   PACL* dacl, PACL* sacl,
                                   PSECURITY_DESCRIPTOR* securityDescriptor) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("GetSecurityInfo")) return *error;
    if (objectType != SE_KERNEL_OBJECT || securityInfo != DACL_SECURITY_INFORMATION ||
        securityDescriptor == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto object = _kernel.Object<KernelObject>(handle);
    if (!object) return ERROR_INVALID_HANDLE;
    const ObjectSecurity& security = SecurityOf(object);
    const std::vector<BYTE> acl = security.hasDacl ? EncodeAcl(security.dacl) : std::vector<BYTE>();
    BYTE* descriptor = Allocate(kDescriptorSize + acl.size(), false);
    const WORD control = kSelfRelative | (security.hasDacl ? kDaclPresent : 0);
    const DWORD daclOffset = security.hasDacl ? kDescriptorSize : 0;
    descriptor[0] = 1;
    std::memcpy(descriptor + 2, &control, sizeof control);
    std::memcpy(descriptor + 16, &daclOffset, sizeof daclOffset);
    std::copy(acl.begin(), acl.end(), descriptor + kDescriptorSize);
    if (owner) *owner = nullptr;
    if (group) *group = nullptr;
    if (sacl) *sacl = nullptr;
    if (dacl) {
        *dacl = security.hasDacl ? reinterpret_cast<PACL>(descriptor + kDescriptorSize) : nullptr;
    }
    *securityDescriptor = descriptor;
    return ERROR_SUCCESS;
}

DWORD SimSecurity::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl,
                                    PACL* newAcl) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("SetEntriesInAclW")) return *error;
    if (newAcl == nullptr || (count != 0 && entries == nullptr)) return ERROR_INVALID_PARAMETER;
    std::vector<Ace> aces;
    if (oldAcl) {
        auto old = DecodeAcl(oldAcl);
        if (!old) return ERROR_INVALID_ACL;
        aces = std::move(*old);
    }
    for (ULONG i = 0; i < count; ++i) {
        const EXPLICIT_ACCESS_W& entry = entries[i];
        if (entry.grfAccessMode != GRANT_ACCESS || entry.Trustee.TrusteeForm != TRUSTEE_IS_SID ||
            entry.Trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE) {
            return ERROR_INVALID_PARAMETER;
        }
        const auto* sidBytes = reinterpret_cast<const BYTE*>(entry.Trustee.ptstrName);
        auto sid =
            sidBytes ? SidText(sidBytes, kSidFixedSize + kMaxSubAuthorities * 4) : std::nullopt;
        if (!sid) return ERROR_INVALID_SID;
        // A grant adds to what an allowing entry of the same trustee and flags already gives.
        const auto flags = static_cast<BYTE>(entry.grfInheritance);
        auto same = std::find_if(aces.begin(), aces.end(), [&](const Ace& ace) {
            return ace.type == ACCESS_ALLOWED_ACE_TYPE && ace.flags == flags && ace.sid == *sid;
        });
        if (same != aces.end()) {
            same->mask |= entry.grfAccessPermissions;
        } else {
            aces.push_back(Ace{ACCESS_ALLOWED_ACE_TYPE, flags, entry.grfAccessPermissions, *sid});
        }
    }
    const std::vector<BYTE> acl = EncodeAcl(aces);
    BYTE* block = Allocate(acl.size(), false);
    std::copy(acl.begin(), acl.end(), block);
    *newAcl = reinterpret_cast<PACL>(block);
    return ERROR_SUCCESS;
}

DWORD SimSecurity::SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE objectType,
                                   SECURITY_INFORMATION securityInfo, PSID owner, PSID group,
                                   PACL dacl, PACL sacl) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto error = _faults.Take("SetSecurityInfo")) return *error;
    if (objectType != SE_KERNEL_OBJECT || securityInfo != DACL_SECURITY_INFORMATION ||
        owner != nullptr || group != nullptr || sacl != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto object = _kernel.Object<KernelObject>(handle);
    if (!object) return ERROR_INVALID_HANDLE;
    ObjectSecurity& security = SecurityOf(object);
    if (dacl == nullptr) {
        security = ObjectSecurity{false, {}};
        return ERROR_SUCCESS;
    }
    auto aces = DecodeAcl(dacl);
    if (!aces) return ERROR_INVALID_ACL;
    security = ObjectSecurity{true, std::move(*aces)};
    return ERROR_SUCCESS;
}

BOOL SimSecurity::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority,
                                           BYTE subAuthorityCount, DWORD subAuthority0,
                                           DWORD subAuthority1, DWORD subAuthority2,
                                           DWORD subAuthority3, DWORD subAuthority4,
                                           DWORD subAuthority5, DWORD subAuthority6,
                                           DWORD subAuthority7, PSID* sid) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (_kernel.Faulted("AllocateAndInitializeSid")) return FALSE;
    if (authority == nullptr || sid == nullptr || subAuthorityCount > 8) {
        _kernel.SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD subs[8] = {subAuthority0, subAuthority1, subAuthority2, subAuthority3,
                           subAuthority4, subAuthority5, subAuthority6, subAuthority7};
    BYTE* bytes = Allocate(kSidFixedSize + subAuthorityCount * sizeof(DWORD), true);
    bytes[0] = kSidRevision;
    bytes[1] = subAuthorityCount;
    std::memcpy(bytes + 2, authority->Value, sizeof authority->Value);
    std::memcpy(bytes + kSidFixedSize, subs, subAuthorityCount * sizeof(DWORD));
    *sid = bytes;
    return TRUE;
}

PVOID SimSecurity::FreeSid(PSID sid) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto it = _blocks.find(sid);
    if (it == _blocks.end() || !it->second.sid) return sid;
    _blocks.erase(it);
    return nullptr;
}

HLOCAL SimSecurity::LocalFree(HLOCAL memory) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (memory == nullptr) return nullptr;
    auto it = _blocks.find(memory);
    if (it == _blocks.end() || it->second.sid) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return memory;
    }
    _blocks.erase(it);
    return nullptr;
}

std::optional<std::vector<SimSecurity::Ace>> SimSecurity::AccessList(HANDLE handle) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto object = _kernel.Object<KernelObject>(handle);
    if (!object) return std::nullopt;
    const ObjectSecurity& security = SecurityOf(object);
    if (!security.hasDacl) return std::nullopt;
    return security.dacl;
}

void SimSecurity::SetNewObjectsHaveDacl(bool hasDacl) {
    Scheduler::Lock world(_scheduler.Mutex());
    _newObjectsHaveDacl = hasDacl;
}

std::size_t SimSecurity::OutstandingAllocations() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _blocks.size();
}

std::vector<SimSecurity::Ace> SimSecurity::DefaultAccessList() {
    return {{ACCESS_ALLOWED_ACE_TYPE, 0, kAllEventAccess, L"S-1-5-18"},
            {ACCESS_ALLOWED_ACE_TYPE, 0, kAllEventAccess, L"S-1-5-32-544"}};
}

SimSecurity::ObjectSecurity& SimSecurity::SecurityOf(const std::shared_ptr<KernelObject>& object) {
    auto it = _objectSecurity.find(object);
    if (it != _objectSecurity.end()) return it->second;
    ObjectSecurity security{_newObjectsHaveDacl,
                            _newObjectsHaveDacl ? DefaultAccessList() : std::vector<Ace>()};
    return _objectSecurity.emplace(object, std::move(security)).first->second;
}

BYTE* SimSecurity::Allocate(std::size_t size, bool sid) {
    auto bytes = std::make_unique<BYTE[]>(size);
    BYTE* raw = bytes.get();
    _blocks.emplace(raw, Block{std::move(bytes), sid});
    return raw;
}

void SimSecurity::SetProcessPrivileges(const std::vector<Privilege>& privileges) {
    Scheduler::Lock world(_scheduler.Mutex());
    _processToken.privileges.clear();
    for (const Privilege& privilege : privileges) {
        _processToken.privileges.push_back({ValueOf(privilege.name), privilege.attributes});
    }
}

std::vector<SimSecurity::Privilege> SimSecurity::ProcessPrivileges() {
    Scheduler::Lock world(_scheduler.Mutex());
    return Describe(_processToken);
}

std::vector<SimSecurity::Privilege> SimSecurity::EffectivePrivileges() {
    Scheduler::Lock world(_scheduler.Mutex());
    auto current = ThreadToken();
    return Describe(current ? *current : _processToken);
}

std::optional<SECURITY_IMPERSONATION_LEVEL> SimSecurity::ImpersonationLevel() {
    Scheduler::Lock world(_scheduler.Mutex());
    auto current = ThreadToken();
    if (!current) return std::nullopt;
    return current->level;
}

std::shared_ptr<SimSecurity::Token> SimSecurity::ThreadToken() {
    auto it = _threadTokens.find(std::this_thread::get_id());
    return it == _threadTokens.end() ? nullptr : it->second;
}

std::shared_ptr<SimSecurity::Token> SimSecurity::TokenFor(HANDLE handle, DWORD access) {
    auto opened = _kernel.Object<TokenHandle>(handle);
    if (!opened) {
        _kernel.SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((opened->grantedAccess & access) != access) {
        _kernel.SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return opened->token;
}

std::vector<SimSecurity::Privilege> SimSecurity::Describe(const Token& token) const {
    std::vector<Privilege> described;
    for (const auto& privilege : token.privileges) {
        const std::wstring* name = NameOf(privilege.Luid);
        described.push_back({name ? *name : std::wstring(), privilege.Attributes});
    }
    return described;
}

LUID SimSecurity::ValueOf(const std::wstring& name) {
    for (const auto& [value, known] : _privilegeNames) {
        if (SameNameIgnoringCase(known, name.c_str())) return LUID{value, 0};
    }
    const DWORD value = _nextPrivilegeValue++;
    _privilegeNames.emplace(value, name);
    return LUID{value, 0};
}

const std::wstring* SimSecurity::NameOf(const LUID& luid) const {
    if (luid.HighPart != 0) return nullptr;
    auto it = _privilegeNames.find(luid.LowPart);
    return it == _privilegeNames.end() ? nullptr : &it->second;
}

}  // namespace platform::sim
