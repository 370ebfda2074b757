#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/kernel_win32.h"
#include "platform/win32/security_win32.h"
#include "platform/win32/unique_handle.h"
#include "privileges/restricted_privileges.h"

using platform::win32::UniqueHandle;
using platform::win32::Win32Kernel;
using platform::win32::Win32Security;

namespace {

using PrivilegeList = std::vector<std::pair<std::wstring, DWORD>>;

const std::wstring kChangeNotify = L"SeChangeNotifyPrivilege";

// A token's privileges by name, in token order, read with the plain API.
PrivilegeList ReadPrivileges(HANDLE token) {
    DWORD length = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length);
    std::vector<BYTE> buffer(length);
    if (!::GetTokenInformation(token, TokenPrivileges, buffer.data(), length, &length)) {
        ADD_FAILURE() << "GetTokenInformation: " << ::GetLastError();
        return {};
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    const LUID_AND_ATTRIBUTES* entries = privileges->Privileges;
    PrivilegeList list;
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        LUID luid = entries[i].Luid;
        wchar_t name[260] = {};
        DWORD chars = 260;
        if (!::LookupPrivilegeNameW(nullptr, &luid, name, &chars)) name[0] = 0;
        list.emplace_back(name, entries[i].Attributes);
    }
    return list;
}

PrivilegeList ProcessPrivileges() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        ADD_FAILURE() << "OpenProcessToken: " << ::GetLastError();
        return {};
    }
    UniqueHandle owner(token);
    return ReadPrivileges(token);
}

// The calling thread has no token of its own: it runs under the process token.
bool ThreadRunsAsProcess() {
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        ::CloseHandle(token);
        return false;
    }
    return ::GetLastError() == ERROR_NO_TOKEN;
}

class RestrictedPrivilegesWin32 : public testing::Test {
protected:
    Win32Kernel kernel;
    Win32Security security;
};

TEST_F(RestrictedPrivilegesWin32, BodyRunsUnderTheRestrictedTokenAndTheThreadGoesBack) {
    const PrivilegeList process = ProcessPrivileges();
    ASSERT_FALSE(process.empty());
    ASSERT_TRUE(ThreadRunsAsProcess());

    PrivilegeList seen;
    bool impersonating = false;
    HRESULT slot = E_UNEXPECTED;
    RunWithRestrictedPrivileges(security, kernel, {kChangeNotify}, &slot, [&] {
        HANDLE token = nullptr;
        impersonating = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
        UniqueHandle owner(token);
        if (impersonating) seen = ReadPrivileges(token);
        return S_FALSE;
    });

    EXPECT_EQ(slot, S_FALSE);
    ASSERT_TRUE(impersonating);
    // Disabled, not removed: the same privileges, only SeChangeNotifyPrivilege left enabled,
    // and that one as the process token has it.
    ASSERT_EQ(seen.size(), process.size());
    std::vector<std::wstring> enabled;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i].first, process[i].first);
        if (seen[i].second & SE_PRIVILEGE_ENABLED) enabled.push_back(seen[i].first);
        if (seen[i].first == kChangeNotify) {
            EXPECT_EQ(seen[i].second, process[i].second);
        }
    }
    EXPECT_EQ(enabled, std::vector<std::wstring>{kChangeNotify});

    EXPECT_TRUE(ThreadRunsAsProcess());
    EXPECT_EQ(ProcessPrivileges(), process);
}

TEST_F(RestrictedPrivilegesWin32, ThrowingBodyStillGoesBackToTheProcessToken) {
    EXPECT_THROW(RunWithRestrictedPrivileges(security, kernel, {kChangeNotify}, nullptr,
                                             []() -> HRESULT { throw std::runtime_error("x"); }),
                 std::runtime_error);
    EXPECT_TRUE(ThreadRunsAsProcess());
    EXPECT_THROW(RunWithRestrictedPrivileges(security, kernel, {kChangeNotify}, nullptr, nullptr),
                 std::bad_function_call);
    EXPECT_TRUE(ThreadRunsAsProcess());
}

TEST_F(RestrictedPrivilegesWin32, PrivilegeNamesComeFromTheLocalSystem) {
    LUID changeNotify{};
    ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, kChangeNotify.c_str(), &changeNotify));
    EXPECT_EQ(GetPrivilegeName(security, changeNotify), kChangeNotify);
    EXPECT_EQ(GetPrivilegeName(security, LUID{0x7FFF, 0}), L"<lookup priv name failed>");
}

TEST_F(RestrictedPrivilegesWin32, DisablingAPrivilegeTheTokenLacksFails) {
    ASSERT_TRUE(security.ImpersonateSelf(SecurityImpersonation));
    HANDLE token = nullptr;
    ASSERT_TRUE(security.OpenThreadToken(security.GetCurrentThread(),
                                         TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE, &token));
    UniqueHandle owner(token);
    const PrivilegeList held = ReadPrivileges(token);
    std::wstring lacking;
    for (const wchar_t* name : {L"SeCreateTokenPrivilege", L"SeTrustedCredManAccessPrivilege",
                                L"SeRelabelPrivilege", L"SeDelegateSessionUserImpersonatePrivilege",
                                L"SeSyncAgentPrivilege", L"SeEnableDelegationPrivilege",
                                L"SeMachineAccountPrivilege", L"SeUnsolicitedInputPrivilege"}) {
        LUID luid{};
        bool present = false;
        for (const auto& privilege : held) present = present || privilege.first == name;
        if (!present && ::LookupPrivilegeValueW(nullptr, name, &luid)) {
            lacking = name;
            break;
        }
    }
    EXPECT_TRUE(DisablePrivilege(security, kernel, token, kChangeNotify));
    if (!lacking.empty()) {
        EXPECT_FALSE(DisablePrivilege(security, kernel, token, lacking)) << lacking;
        EXPECT_EQ(::GetLastError(), ERROR_NOT_ALL_ASSIGNED);
    }
    EXPECT_FALSE(DisablePrivilege(security, kernel, token, L"<lookup priv name failed>"));
    owner.reset();
    ASSERT_TRUE(security.RevertToSelf());
    EXPECT_TRUE(ThreadRunsAsProcess());
}

}  // namespace
