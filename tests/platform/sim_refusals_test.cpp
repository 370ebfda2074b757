// Where Windows refuses, or answers otherwise than a forgiving fake would, the simulated world
// does the same, so that a test of the system fails where Windows would fail it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sync.h"
#include "rig/sim_rig.h"

namespace {

TEST(SimKernel, EventNamesKeepTheirCaseAndLastOnlyWithTheirHandles) {
    rig::SimRig rig;
    auto& kernel = rig.world.GetKernel();
    HANDLE first = kernel.CreateEventW(nullptr, TRUE, FALSE, L"Global\\X");
    HANDLE second = kernel.CreateEventW(nullptr, TRUE, FALSE, L"Global\\X");
    EXPECT_EQ(kernel.GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(kernel.OpenEventW(SYNCHRONIZE, FALSE, L"global\\x"), nullptr);
    EXPECT_EQ(kernel.GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE withNull[2] = {first, nullptr};
    EXPECT_EQ(kernel.WaitForMultipleObjects(2, withNull, FALSE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(kernel.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(kernel.CloseHandle(first));
    EXPECT_TRUE(kernel.CloseHandle(second));
    EXPECT_FALSE(kernel.CloseHandle(first));
    EXPECT_EQ(kernel.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(kernel.OpenEventW(SYNCHRONIZE, FALSE, L"Global\\X"), nullptr);
}

// Each token operation needs its own access right, and a thread has a token to open only while
// it impersonates.
TEST(SimSecurity, TokenOperationsNeedTheirAccessRights) {
    const DWORD all = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;
    const struct {
        const char* operation;
        DWORD missing;
    } cases[] = {{"OpenThreadToken", 0},
                 {"CreateRestrictedToken", TOKEN_DUPLICATE},
                 {"GetTokenInformation", TOKEN_QUERY},
                 {"AdjustTokenPrivileges", TOKEN_ADJUST_PRIVILEGES},
                 {"SetThreadToken", TOKEN_IMPERSONATE}};
    for (const auto& c : cases) {
        rig::SimRig rig;
        auto& security = rig.world.GetSecurity();
        const std::string op = c.operation;
        if (op != "OpenThreadToken") {
            ASSERT_TRUE(security.ImpersonateSelf(SecurityImpersonation));
        }
        HANDLE token = nullptr;
        BOOL ok =
            security.OpenThreadToken(security.GetCurrentThread(), all & ~c.missing, TRUE, &token);
        HANDLE created = nullptr;
        DWORD length = 0;
        TOKEN_PRIVILEGES none{};
        if (op == "CreateRestrictedToken") {
            ok = security.CreateRestrictedToken(token, 0, 0, nullptr, 0, nullptr, 0, nullptr,
                                                &created);
        } else if (op == "GetTokenInformation") {
            ok = security.GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length);
        } else if (op == "AdjustTokenPrivileges") {
            ok = security.AdjustTokenPrivileges(token, FALSE, &none, sizeof none, nullptr, nullptr);
        } else if (op == "SetThreadToken") {
            ok = security.SetThreadToken(nullptr, token);
        }
        EXPECT_FALSE(ok) << op;
        EXPECT_EQ(rig.world.GetKernel().GetLastError(),
                  op == "OpenThreadToken" ? DWORD{ERROR_NO_TOKEN} : DWORD{ERROR_ACCESS_DENIED})
            << op;
        if (token) rig.world.GetKernel().CloseHandle(token);
        security.RevertToSelf();
    }
}

TEST(SimSecurity, AccessListCallsRefuseWhatWindowsRefuses) {
    rig::SimRig rig;
    auto& security = rig.world.GetSecurity();
    const HANDLE event = rig.world.GetKernel().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(security.AllocateAndInitializeSid(&nt, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0,
                                                  0, 0, 0, 0, &sid));
    EXPLICIT_ACCESS_W byName{};
    byName.grfAccessMode = GRANT_ACCESS;
    byName.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    byName.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    EXPLICIT_ACCESS_W bySid = byName;
    bySid.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    ACL broken{ACL_REVISION, 0, 4, 0, 0};
    PACL widened = nullptr;
    const struct {
        const char* what;
        DWORD status;
        DWORD expected;
    } cases[] = {
        {"not a kernel object",
         security.GetSecurityInfo(event, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
         ERROR_INVALID_PARAMETER},
        {"trustee by name", security.SetEntriesInAclW(1, &byName, nullptr, &widened),
         ERROR_INVALID_PARAMETER},
        {"malformed list", security.SetEntriesInAclW(1, &bySid, &broken, &widened),
         ERROR_INVALID_ACL},
    };
    for (const auto& c : cases) EXPECT_EQ(c.status, c.expected) << c.what;
    EXPECT_EQ(widened, nullptr);
    EXPECT_EQ(security.AccessList(event), platform::sim::SimSecurity::DefaultAccessList());
    security.FreeSid(sid);
    EXPECT_EQ(security.OutstandingAllocations(), 0u);
}

std::vector<UINT_PTR> g_timerFired;
void TimerProc(HWND, UINT, UINT_PTR id, DWORD) { g_timerFired.push_back(id); }

// Without a window the system picks a thread timer's identifier; asked for by that identifier,
// the timer starts over instead of adding a second one.
TEST(SimWindowing, ThreadTimerIsNamedByTheSystemAndStartsOverWhenSetAgain) {
    rig::SimRig rig;
    auto& windowing = rig.world.GetWindowing();
    g_timerFired.clear();
    UINT_PTR id = 0, again = 0;
    platform::Thread loop(rig.world.GetKernel(), [&] {
        id = windowing.SetTimer(nullptr, 3721, 5000, TimerProc);
        rig.world.GetKernel().Sleep(3000);
        again = windowing.SetTimer(nullptr, id, 5000, TimerProc);
        MSG msg;
        while (g_timerFired.size() < 2 && windowing.GetMessageW(&msg, nullptr, 0, 0) > 0) {
            windowing.DispatchMessageW(&msg);
        }
        windowing.KillTimer(nullptr, id);
    });
    rig.world.Advance(7999);
    EXPECT_TRUE(g_timerFired.empty());
    rig.world.Advance(1);
    EXPECT_EQ(g_timerFired, std::vector<UINT_PTR>{id});
    rig.world.Advance(5000);
    loop.join();
    EXPECT_NE(id, 3721u);
    EXPECT_EQ(again, id);
    EXPECT_EQ(g_timerFired, (std::vector<UINT_PTR>{id, id}));
    EXPECT_EQ(windowing.Count().timers, 0u);
}

// A name that does not fit is cut and reported as filling the buffer, with the error set.
TEST(SimServices, ModuleFileNameIsWholeOrCutToTheBuffer) {
    const struct {
        DWORD size;
        DWORD result;
        const wchar_t* text;
        DWORD error;  // 7: left alone
    } cases[] = {{19, 18, L"C:\\Kelvo\\Kelvo.exe", 7},
                 {18, 18, L"C:\\Kelvo\\Kelvo.ex", ERROR_INSUFFICIENT_BUFFER},
                 {4, 4, L"C:\\", ERROR_INSUFFICIENT_BUFFER}};
    for (const auto& c : cases) {
        rig::SimRig rig;
        rig.world.GetServices().SetModuleFileName(L"C:\\Kelvo\\Kelvo.exe");
        rig.world.GetKernel().SetLastError(7);
        wchar_t buffer[32];
        EXPECT_EQ(rig.world.GetServices().GetModuleFileNameW(nullptr, buffer, c.size), c.result);
        EXPECT_EQ(std::wstring(buffer), c.text);
        EXPECT_EQ(rig.world.GetKernel().GetLastError(), c.error) << c.size;
    }
}

}  // namespace
