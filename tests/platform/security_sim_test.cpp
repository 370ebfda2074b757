#include "platform/sim/security_sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"

namespace {

using platform::sim::SimSecurity;
using platform::sim::SimWorld;

class SimSecurityTest : public testing::Test {
protected:
    // The calling thread impersonates itself; returns a handle to its token with this access.
    HANDLE OpenOwnToken(DWORD access) {
        EXPECT_TRUE(security.ImpersonateSelf(SecurityImpersonation));
        HANDLE token = nullptr;
        EXPECT_TRUE(security.OpenThreadToken(security.GetCurrentThread(), access, TRUE, &token));
        return token;
    }
    void TearDown() override { security.RevertToSelf(); }

    SimWorld world;
    SimSecurity security{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
    platform::sim::SimKernel& kernel = world.GetKernel();
};

TEST_F(SimSecurityTest, ThreadWithoutImpersonationHasNoTokenToOpen) {
    EXPECT_EQ(security.GetCurrentThread(), reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)));
    HANDLE token = nullptr;
    EXPECT_FALSE(security.OpenThreadToken(security.GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(kernel.GetLastError(), ERROR_NO_TOKEN);
    EXPECT_EQ(token, nullptr);
}

TEST_F(SimSecurityTest, EachOperationNeedsItsAccessRight) {
    struct Case {
        const char* operation;
        DWORD granted;
    };
    // Everything a restricted-token run needs, less the one right the operation asks for.
    const DWORD all = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;
    const Case cases[] = {
        {"CreateRestrictedToken", all & ~TOKEN_DUPLICATE},
        {"GetTokenInformation", all & ~TOKEN_QUERY},
        {"AdjustTokenPrivileges", all & ~TOKEN_ADJUST_PRIVILEGES},
        {"SetThreadToken", all & ~TOKEN_IMPERSONATE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        HANDLE token = OpenOwnToken(c.granted);
        const std::string op = c.operation;
        HANDLE created = nullptr;
        DWORD length = 0;
        TOKEN_PRIVILEGES none{};
        BOOL ok = TRUE;
        if (op == "CreateRestrictedToken") {
            ok = security.CreateRestrictedToken(token, 0, 0, nullptr, 0, nullptr, 0, nullptr,
                                                &created);
        } else if (op == "GetTokenInformation") {
            ok = security.GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length);
        } else if (op == "AdjustTokenPrivileges") {
            ok = security.AdjustTokenPrivileges(token, FALSE, &none, sizeof none, nullptr, nullptr);
        } else {
            ok = security.SetThreadToken(nullptr, token);
        }
        EXPECT_FALSE(ok);
        EXPECT_EQ(kernel.GetLastError(), ERROR_ACCESS_DENIED);
        kernel.CloseHandle(token);
    }
}

TEST_F(SimSecurityTest, PrivilegeListReadsInTwoCallsAsOnWindows) {
    HANDLE token = OpenOwnToken(TOKEN_QUERY);
    DWORD length = 0;
    EXPECT_FALSE(security.GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length));
    EXPECT_EQ(kernel.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const auto expected = SimSecurity::DefaultProcessPrivileges();
    EXPECT_EQ(length, 4 + 12 * expected.size());

    std::vector<BYTE> buffer(length);
    ASSERT_TRUE(
        security.GetTokenInformation(token, TokenPrivileges, buffer.data(), length, &length));
    DWORD count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    ASSERT_EQ(count, expected.size());
    for (DWORD i = 0; i < count; ++i) {
        LUID_AND_ATTRIBUTES entry;
        std::memcpy(&entry, buffer.data() + 4 + 12 * i, sizeof entry);
        wchar_t name[64] = {};
        DWORD chars = 64;
        ASSERT_TRUE(security.LookupPrivilegeNameW(nullptr, &entry.Luid, name, &chars));
        EXPECT_EQ(name, expected[i].name);
        EXPECT_EQ(chars, expected[i].name.size());
        EXPECT_EQ(entry.Attributes, expected[i].attributes);
    }
    kernel.CloseHandle(token);
}

TEST_F(SimSecurityTest, NameLookupTellsTheRoomItNeeds) {
    LUID changeNotify{};
    ASSERT_TRUE(security.LookupPrivilegeValueW(nullptr, L"SeChangeNotifyPrivilege", &changeNotify));
    EXPECT_EQ(changeNotify.LowPart, 23u);
    wchar_t name[23] = {};
    DWORD chars = 23;  // one short: the terminator needs room too
    EXPECT_FALSE(security.LookupPrivilegeNameW(nullptr, &changeNotify, name, &chars));
    EXPECT_EQ(kernel.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(chars, 24u);
}

TEST_F(SimSecurityTest, AdjustmentChangesTheImpersonationCopyOnly) {
    security.SetProcessPrivileges({{L"SeDebugPrivilege", 0}, {L"SeBackupPrivilege", 2}});
    HANDLE token = OpenOwnToken(TOKEN_ADJUST_PRIVILEGES);
    LUID debug{}, backup{}, undock{};
    ASSERT_TRUE(security.LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &debug));
    ASSERT_TRUE(security.LookupPrivilegeValueW(nullptr, L"SeBackupPrivilege", &backup));
    ASSERT_TRUE(security.LookupPrivilegeValueW(nullptr, L"SeUndockPrivilege", &undock));

    struct Case {
        LUID luid;
        DWORD attributes;
        DWORD lastError;
        std::vector<SimSecurity::Privilege> after;
    };
    const Case cases[] = {
        {debug,
         SE_PRIVILEGE_ENABLED,
         ERROR_SUCCESS,
         {{L"SeDebugPrivilege", 2}, {L"SeBackupPrivilege", 2}}},
        {undock, 0, ERROR_NOT_ALL_ASSIGNED, {{L"SeDebugPrivilege", 2}, {L"SeBackupPrivilege", 2}}},
        {backup, SE_PRIVILEGE_REMOVED, ERROR_SUCCESS, {{L"SeDebugPrivilege", 2}}},
        {debug, 0, ERROR_SUCCESS, {{L"SeDebugPrivilege", 0}}},
    };
    for (const Case& c : cases) {
        TOKEN_PRIVILEGES change{1, {{c.luid, c.attributes}}};
        kernel.SetLastError(ERROR_GEN_FAILURE);
        EXPECT_TRUE(
            security.AdjustTokenPrivileges(token, FALSE, &change, sizeof change, nullptr, nullptr));
        EXPECT_EQ(kernel.GetLastError(), c.lastError);
        EXPECT_EQ(security.EffectivePrivileges(), c.after);
    }
    EXPECT_EQ(
        security.ProcessPrivileges(),
        (std::vector<SimSecurity::Privilege>{{L"SeDebugPrivilege", 0}, {L"SeBackupPrivilege", 2}}));
    kernel.CloseHandle(token);
}

TEST_F(SimSecurityTest, ThreadKeepsItsTokenAfterTheHandleCloses) {
    HANDLE token = OpenOwnToken(TOKEN_DUPLICATE);
    HANDLE copy = nullptr;
    ASSERT_TRUE(
        security.CreateRestrictedToken(token, 0, 0, nullptr, 0, nullptr, 0, nullptr, &copy));
    kernel.CloseHandle(token);
    ASSERT_TRUE(security.RevertToSelf());
    EXPECT_EQ(security.ImpersonationLevel(), std::nullopt);

    ASSERT_TRUE(security.SetThreadToken(nullptr, copy));
    kernel.CloseHandle(copy);
    EXPECT_EQ(security.ImpersonationLevel(), SecurityImpersonation);
    EXPECT_EQ(kernel.OpenHandleCount(), 0u);
    ASSERT_TRUE(security.SetThreadToken(nullptr, nullptr));
    EXPECT_EQ(security.ImpersonationLevel(), std::nullopt);
}

}  // namespace
