#include "privileges/restricted_privileges.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <utility>

#include "platform/owner.h"

namespace {

// What the runner does with the thread's token: copy it, read and adjust its privileges, and
// impersonate the copy.
constexpr DWORD kThreadTokenAccess =
    TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;
static_assert(kThreadTokenAccess == 0x2E);

// A TOKEN_PRIVILEGES with its one entry.
constexpr DWORD kOnePrivilegeLength = sizeof(TOKEN_PRIVILEGES);
static_assert(kOnePrivilegeLength == 16);

constexpr DWORD kPrivilegeNameChars = 260;
constexpr const wchar_t* kUnknownPrivilegeName = L"<lookup priv name failed>";

// Closes a token handle and keeps the thread's last error, so that a failure found before the
// close is still the one the thread reports.
struct TokenCloser {
    using Value = HANDLE;
    static HANDLE Empty() { return nullptr; }
    static bool IsOpen(HANDLE token) { return token != nullptr; }
    void operator()(HANDLE token) const {
        const DWORD lastError = kernel->GetLastError();
        kernel->CloseHandle(token);
        kernel->SetLastError(lastError);
    }

    platform::Kernel* kernel;
};
using TokenHandle = platform::Owner<TokenCloser>;

// Ends the thread's impersonation when the runner is left, however it is left. A thread that
// cannot drop the restricted token must not go on, so then the process ends.
class ImpersonationRevert {
public:
    explicit ImpersonationRevert(platform::Security& security) : _security(security) {}
    ~ImpersonationRevert() {
        if (!_security.RevertToSelf()) std::terminate();
    }
    ImpersonationRevert(const ImpersonationRevert&) = delete;
    ImpersonationRevert& operator=(const ImpersonationRevert&) = delete;

private:
    platform::Security& _security;
};

}  // namespace

void RunWithRestrictedPrivileges(platform::Security& security, platform::Kernel& kernel,
                                 const std::vector<std::wstring>& keepList, HRESULT* result,
                                 const std::function<HRESULT()>& body) {
    if (!security.ImpersonateSelf(SecurityImpersonation)) return;
    // Declared first, so it runs after every token handle below is closed.
    const ImpersonationRevert revert(security);

    TokenHandle threadToken(TokenCloser{&kernel});
    // Opened as self: access is checked against the process's context, not the copy's.
    if (!security.OpenThreadToken(security.GetCurrentThread(), kThreadTokenAccess, TRUE,
                                  threadToken.Receive())) {
        return;
    }

    TokenHandle restrictedToken(TokenCloser{&kernel});
    const BOOL created = security.CreateRestrictedToken(
        threadToken.get(), 0, 0, nullptr, 0, nullptr, 0, nullptr, restrictedToken.Receive());
    threadToken.reset();
    if (!created) return;

    if (!RestrictTokenPrivileges(security, kernel, restrictedToken.get(), keepList)) return;

    const BOOL impersonating = security.SetThreadToken(nullptr, restrictedToken.get());
    restrictedToken.reset();
    if (!impersonating) return;

    const HRESULT bodyResult = body();
    if (result != nullptr) *result = bodyResult;
}

bool RestrictTokenPrivileges(platform::Security& security, platform::Kernel& kernel, HANDLE token,
                             const std::vector<std::wstring>& keepList) {
    if (token == nullptr) return false;

    DWORD length = 0;
    if (security.GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length) ||
        kernel.GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    if (length < offsetof(TOKEN_PRIVILEGES, Privileges)) return false;
    const std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[length]);
    if (!buffer) return false;
    if (!security.GetTokenInformation(token, TokenPrivileges, buffer.get(), length, &length)) {
        return false;
    }

    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.get());
    // Never read past the buffer, whatever count the token reports.
    const std::size_t room =
        (length - offsetof(TOKEN_PRIVILEGES, Privileges)) / sizeof(LUID_AND_ATTRIBUTES);
    const std::size_t count = std::min<std::size_t>(privileges->PrivilegeCount, room);
    const LUID_AND_ATTRIBUTES* entries = privileges->Privileges;
    for (std::size_t i = 0; i < count; ++i) {
        const std::wstring name = GetPrivilegeName(security, entries[i].Luid);
        if (std::find(keepList.begin(), keepList.end(), name) == keepList.end()) {
            // One privilege that stays enabled does not stop the others from being disabled.
            DisablePrivilege(security, kernel, token, name);
        }
    }
    return true;
}

bool DisablePrivilege(platform::Security& security, platform::Kernel& kernel, HANDLE token,
                      const std::wstring& name) {
    LUID identifier{};
    if (!security.LookupPrivilegeValueW(nullptr, name.c_str(), &identifier)) return false;

    TOKEN_PRIVILEGES disabled{};
    disabled.PrivilegeCount = 1;
    disabled.Privileges[0].Luid = identifier;
    disabled.Privileges[0].Attributes = 0;
    if (!security.AdjustTokenPrivileges(token, FALSE, &disabled, kOnePrivilegeLength, nullptr,
                                        nullptr)) {
        return false;
    }
    // Success that changed nothing: the token does not hold the privilege.
    return kernel.GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

std::wstring GetPrivilegeName(platform::Security& security, const LUID& identifier) {
    LUID privilege = identifier;
    wchar_t name[kPrivilegeNameChars] = {};
    DWORD nameChars = kPrivilegeNameChars;
    if (!security.LookupPrivilegeNameW(nullptr, &privilege, name, &nameChars)) {
        return kUnknownPrivilegeName;
    }
    return std::wstring(name, std::find(name, name + kPrivilegeNameChars, L'\0'));
}
