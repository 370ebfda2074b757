// The restricted-privilege runner against the real token API (under Wine on Linux).
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/kernel_win32.h"
#include "platform/win32/security_win32.h"
#include "platform/win32/unique_handle.h"
#include "privileges/restricted_privileges.h"

using platform::win32::UniqueHandle;

namespace {

using PrivilegeList = std::vector<std::pair<std::wstring, DWORD>>;

const std::wstring kChangeNotify = L"SeChangeNotifyPrivilege";

// A token's privileges by name and attributes, in token order, read with the plain API; of the
// thread's own token when it has one, else of the process token.
PrivilegeList Privileges(HANDLE token = nullptr) {
    UniqueHandle owner;
    if (!token && !::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, owner.Receive()) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, owner.Receive())) {
        return {};
    }
    token = token ? token : owner.get();
    DWORD length = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length);
    std::vector<BYTE> buffer(length);
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), length, &length)) return {};
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    PrivilegeList list;
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        LUID luid = privileges->Privileges[i].Luid;
        wchar_t name[260] = {};
        DWORD chars = 260;
        if (!::LookupPrivilegeNameW(nullptr, &luid, name, &chars)) name[0] = 0;
        list.emplace_back(name, privileges->Privileges[i].Attributes);
    }
    return list;
}

// The calling thread has no token of its own: it runs under the process token.
bool ThreadRunsAsProcess() {
    UniqueHandle token;
    return !::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive()) &&
           ::GetLastError() == ERROR_NO_TOKEN;
}

class RestrictedPrivilegesWin32 : public testing::Test {
protected:
    platform::win32::Win32Kernel kernel;
    platform::win32::Win32Security security;
};

// Disabled, not removed: the body sees the same privileges with only SeChangeNotifyPrivilege
// left enabled, as the process token has it; the thread runs as the process again after the
// body, however the body ends.
TEST_F(RestrictedPrivilegesWin32, BodyRunsUnderTheRestrictedTokenAndTheThreadGoesBack) {
    const PrivilegeList process = Privileges();
    ASSERT_FALSE(process.empty());
    ASSERT_TRUE(ThreadRunsAsProcess());
    PrivilegeList expected;
    for (const auto& [name, attributes] : process) {
        expected.emplace_back(name, name == kChangeNotify ? attributes
                                                          : attributes & ~SE_PRIVILEGE_ENABLED);
    }
    PrivilegeList seen;
    bool impersonating = false;
    HRESULT slot = E_UNEXPECTED;
    RunWithRestrictedPrivileges(security, kernel, {kChangeNotify}, &slot, [&] {
        impersonating = !ThreadRunsAsProcess();
        seen = Privileges();
        return S_FALSE;
    });
    EXPECT_EQ(slot, S_FALSE);
    EXPECT_TRUE(impersonating);
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(ThreadRunsAsProcess());
    EXPECT_EQ(Privileges(), process);

    EXPECT_THROW(RunWithRestrictedPrivileges(security, kernel, {kChangeNotify}, nullptr,
                                             []() -> HRESULT { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_TRUE(ThreadRunsAsProcess());
    EXPECT_THROW(RunWithRestrictedPrivileges(security, kernel, {kChangeNotify}, nullptr, nullptr),
                 std::bad_function_call);
    EXPECT_TRUE(ThreadRunsAsProcess());
}

// Names come from the local system; disabling a privilege the token lacks, or one with no
// name, fails.
TEST_F(RestrictedPrivilegesWin32, PrivilegesAreNamedAndDisabledByTheSystem) {
    LUID changeNotify{};
    ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, kChangeNotify.c_str(), &changeNotify));
    EXPECT_EQ(GetPrivilegeName(security, changeNotify), kChangeNotify);
    EXPECT_EQ(GetPrivilegeName(security, LUID{0x7FFF, 0}), L"<lookup priv name failed>");

    ASSERT_TRUE(security.ImpersonateSelf(SecurityImpersonation));
    UniqueHandle token;
    ASSERT_TRUE(security.OpenThreadToken(security.GetCurrentThread(),
                                         TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE,
                                         token.Receive()));
    const PrivilegeList held = Privileges(token.get());
    std::wstring lacking;
    for (const wchar_t* name : {L"SeCreateTokenPrivilege", L"SeTrustedCredManAccessPrivilege",
                                L"SeRelabelPrivilege", L"SeDelegateSessionUserImpersonatePrivilege",
                                L"SeSyncAgentPrivilege", L"SeEnableDelegationPrivilege"}) {
        LUID luid{};
        if (lacking.empty() && ::LookupPrivilegeValueW(nullptr, name, &luid) &&
            std::find_if(held.begin(), held.end(), [&](const auto& p) {
                return p.first == name;
            }) == held.end()) {
            lacking = name;
        }
    }
    EXPECT_TRUE(DisablePrivilege(security, kernel, token.get(), kChangeNotify));
    if (!lacking.empty()) {
        EXPECT_FALSE(DisablePrivilege(security, kernel, token.get(), lacking)) << lacking;
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    }
    EXPECT_FALSE(DisablePrivilege(security, kernel, token.get(), L"<lookup priv name failed>"));
    token.reset();
    ASSERT_TRUE(security.RevertToSelf());
    EXPECT_TRUE(ThreadRunsAsProcess());
}

}  // namespace
