#include "privileges/restricted_privileges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sim/security_sim.h"
#include "platform/sim/sim_world.h"
#include "platform/sync.h"

namespace platform::sim {
void PrintTo(const SimSecurity::Privilege& privilege, std::ostream* out) {
    *out << testing::PrintToString(privilege.name) << "=" << privilege.attributes;
}
}  // namespace platform::sim

namespace {

using platform::sim::Scheduler;
using platform::sim::SimSecurity;
using platform::sim::SimWorld;
using Privilege = SimSecurity::Privilege;
using Privileges = std::vector<Privilege>;

constexpr DWORD kEnabled = SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED;
// Enabled by default, but disabled now.
constexpr DWORD kDisabledDefault = SE_PRIVILEGE_ENABLED_BY_DEFAULT;
constexpr HRESULT kUntouched = static_cast<HRESULT>(0x8BADF00D);
constexpr HRESULT kBodyResult = static_cast<HRESULT>(0x00000007);
const std::wstring kChangeNotify = L"SeChangeNotifyPrivilege";

// One simulated world with its security area, fresh for each case.
struct Rig {
    SimWorld world;
    SimSecurity security{world.GetScheduler(), world.GetFaults(), world.GetKernel()};

    platform::sim::SimKernel& Kernel() { return world.GetKernel(); }

    void Fail(const std::string& operation, DWORD error, unsigned nth = 1) {
        Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, error, nth);
    }
    void FailAlways(const std::string& operation, DWORD error) {
        Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().FailAlways(operation, error);
    }
    void Record() {
        Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().SetRecording(true);
    }
    std::vector<std::string> Calls() {
        Scheduler::Lock lock(world.GetScheduler().Mutex());
        return world.GetFaults().Calls();
    }

    // What one run did, as its body and its caller saw it.
    struct Outcome {
        bool ran = false;
        HRESULT slot = kUntouched;
        Privileges seen;
        std::optional<SECURITY_IMPERSONATION_LEVEL> levelSeen;
    };
    Outcome Run(const std::vector<std::wstring>& keepList) {
        Outcome outcome;
        RunWithRestrictedPrivileges(security, Kernel(), keepList, &outcome.slot, [&] {
            outcome.ran = true;
            outcome.seen = security.EffectivePrivileges();
            outcome.levelSeen = security.ImpersonationLevel();
            return kBodyResult;
        });
        return outcome;
    }
};

// The default process token with every privilege but the kept ones disabled.
Privileges DefaultKeeping(const std::wstring& kept) {
    Privileges expected = SimSecurity::DefaultProcessPrivileges();
    for (Privilege& privilege : expected) {
        if (privilege.name != kept) privilege.attributes &= ~SE_PRIVILEGE_ENABLED;
    }
    return expected;
}

TEST(RestrictedPrivileges, BodySeesOnlyTheKeptPrivilegesAsTheProcessHadThem) {
    struct Case {
        const char* what;
        Privileges process;
        std::vector<std::wstring> keepList;
        Privileges seen;
    };
    const Case cases[] = {
        {"the thread entries' list",
         SimSecurity::DefaultProcessPrivileges(),
         {kChangeNotify},
         DefaultKeeping(kChangeNotify)},
        {"other letter case keeps nothing",
         SimSecurity::DefaultProcessPrivileges(),
         {L"sechangenotifyprivilege", L"SECHANGENOTIFYPRIVILEGE"},
         DefaultKeeping(L"")},
        {"whole names only",
         SimSecurity::DefaultProcessPrivileges(),
         {L"SeChangeNotify", L"SeChangeNotifyPrivilege ", L" SeChangeNotifyPrivilege"},
         DefaultKeeping(L"")},
        {"an empty list keeps nothing",
         SimSecurity::DefaultProcessPrivileges(),
         {},
         DefaultKeeping(L"")},
        {"kept privileges stay as they were, disabled ones too",
         {{kChangeNotify, 0},
          {L"SeBackupPrivilege", SE_PRIVILEGE_ENABLED},
          {L"SeDebugPrivilege", kEnabled}},
         {kChangeNotify, L"SeBackupPrivilege"},
         {{kChangeNotify, 0},
          {L"SeBackupPrivilege", SE_PRIVILEGE_ENABLED},
          {L"SeDebugPrivilege", kDisabledDefault}}},
        {"a name in the list that the token lacks changes nothing",
         {{kChangeNotify, kEnabled}, {L"SeUndockPrivilege", kEnabled}},
         {L"SeTcbPrivilege", kChangeNotify},
         {{kChangeNotify, kEnabled}, {L"SeUndockPrivilege", kDisabledDefault}}},
        {"a privilege the local system invented is handled alike",
         {{L"SeKelvoTestPrivilege", SE_PRIVILEGE_ENABLED}, {kChangeNotify, kEnabled}},
         {kChangeNotify},
         {{L"SeKelvoTestPrivilege", 0}, {kChangeNotify, kEnabled}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        rig.security.SetProcessPrivileges(c.process);
        const std::size_t handlesBefore = rig.Kernel().OpenHandleCount();

        const Rig::Outcome outcome = rig.Run(c.keepList);

        EXPECT_TRUE(outcome.ran);
        EXPECT_EQ(outcome.slot, kBodyResult);
        EXPECT_EQ(outcome.seen, c.seen);
        EXPECT_EQ(outcome.levelSeen, SecurityImpersonation);
        // Afterwards the thread is back on the untouched process token.
        EXPECT_EQ(rig.security.ImpersonationLevel(), std::nullopt);
        EXPECT_EQ(rig.security.EffectivePrivileges(), c.process);
        EXPECT_EQ(rig.security.ProcessPrivileges(), c.process);
        EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore);
        EXPECT_TRUE(rig.world.GetTracing().Events().empty());
    }
}

TEST(RestrictedPrivileges, StepsRunInOrderWithTheBodyBeforeTheRevert) {
    Rig rig;
    rig.security.SetProcessPrivileges({{kChangeNotify, kEnabled}, {L"SeDebugPrivilege", kEnabled}});
    rig.Record();
    std::size_t callsBeforeBody = 0;
    HRESULT slot = kUntouched;
    RunWithRestrictedPrivileges(rig.security, rig.Kernel(), {kChangeNotify}, &slot, [&] {
        callsBeforeBody = rig.Calls().size();
        return S_OK;
    });
    const std::vector<std::string> expected = {
        "ImpersonateSelf",       "GetCurrentThread",      "OpenThreadToken",
        "CreateRestrictedToken", "CloseHandle",           "GetTokenInformation",
        "GetTokenInformation",   "LookupPrivilegeNameW",  "LookupPrivilegeNameW",
        "LookupPrivilegeValueW", "AdjustTokenPrivileges", "SetThreadToken",
        "CloseHandle",           "RevertToSelf"};
    EXPECT_EQ(rig.Calls(), expected);
    EXPECT_EQ(callsBeforeBody, expected.size() - 1);
    EXPECT_EQ(slot, S_OK);
}

TEST(RestrictedPrivileges, SetupFailureSkipsTheBodyAndLeavesNothingBehind) {
    struct Case {
        const char* operation;
        unsigned nth;
        DWORD error;
        bool reverts;  // whether impersonation had begun
    };
    const Case cases[] = {
        {"ImpersonateSelf", 1, ERROR_ACCESS_DENIED, false},
        {"OpenThreadToken", 1, ERROR_ACCESS_DENIED, true},
        {"CreateRestrictedToken", 1, ERROR_NOT_ENOUGH_MEMORY, true},
        // The size query must fail for want of room, not for anything else.
        {"GetTokenInformation", 1, ERROR_ACCESS_DENIED, true},
        {"GetTokenInformation", 2, ERROR_NOT_ENOUGH_MEMORY, true},
        {"SetThreadToken", 1, ERROR_BAD_TOKEN_TYPE, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.operation << " #" << c.nth);
        Rig rig;
        const std::size_t handlesBefore = rig.Kernel().OpenHandleCount();
        rig.Fail(c.operation, c.error, c.nth);
        rig.Record();

        const Rig::Outcome outcome = rig.Run({kChangeNotify});

        EXPECT_FALSE(outcome.ran);
        EXPECT_EQ(outcome.slot, kUntouched);
        EXPECT_EQ(rig.security.ImpersonationLevel(), std::nullopt);
        EXPECT_EQ(rig.security.ProcessPrivileges(), SimSecurity::DefaultProcessPrivileges());
        EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore);
        EXPECT_TRUE(rig.world.GetTracing().Events().empty());
        // The failure stays the thread's last error through the closes and the revert.
        EXPECT_EQ(rig.Kernel().GetLastError(), c.error);
        const std::vector<std::string> calls = rig.Calls();
        const bool reverted = std::find(calls.begin(), calls.end(), "RevertToSelf") != calls.end();
        EXPECT_EQ(reverted, c.reverts);
        if (c.reverts) {
            EXPECT_EQ(calls.back(), "RevertToSelf");
        }
    }
}

TEST(RestrictedPrivileges, ClosingATokenKeepsTheLastErrorOfTheFailure) {
    struct Case {
        const char* operation;
        unsigned nth;
        DWORD error;
    };
    // Each failure is followed by the close of a token handle, which here fails as well.
    const Case cases[] = {
        {"CreateRestrictedToken", 1, ERROR_NOT_ENOUGH_MEMORY},
        {"GetTokenInformation", 2, ERROR_ACCESS_DENIED},
        {"SetThreadToken", 1, ERROR_BAD_TOKEN_TYPE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        Rig rig;
        rig.Fail(c.operation, c.error, c.nth);
        rig.FailAlways("CloseHandle", ERROR_GEN_FAILURE);
        EXPECT_FALSE(rig.Run({kChangeNotify}).ran);
        EXPECT_EQ(rig.Kernel().GetLastError(), c.error);
        EXPECT_EQ(rig.security.ImpersonationLevel(), std::nullopt);
    }
}

TEST(RestrictedPrivileges, PrivilegeThatCannotBeDisabledStaysAsItWasAndTheBodyRuns) {
    const Privileges process = {{L"SeTcbPrivilege", kEnabled},
                                {L"SeBackupPrivilege", SE_PRIVILEGE_ENABLED},
                                {L"SeShutdownPrivilege", SE_PRIVILEGE_ENABLED},
                                {kChangeNotify, kEnabled}};
    struct Case {
        const char* operation;
        unsigned nth;
        std::wstring staysEnabled;
    };
    const Case cases[] = {
        // Its name is unknown, so it is looked up as "<lookup priv name failed>", which fails.
        {"LookupPrivilegeNameW", 2, L"SeBackupPrivilege"},
        {"LookupPrivilegeValueW", 1, L"SeTcbPrivilege"},
        {"AdjustTokenPrivileges", 3, L"SeShutdownPrivilege"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        Rig rig;
        rig.security.SetProcessPrivileges(process);
        rig.Fail(c.operation, ERROR_NO_SUCH_PRIVILEGE, c.nth);

        const Rig::Outcome outcome = rig.Run({kChangeNotify});

        Privileges expected = process;
        for (Privilege& privilege : expected) {
            if (privilege.name != kChangeNotify && privilege.name != c.staysEnabled) {
                privilege.attributes &= ~SE_PRIVILEGE_ENABLED;
            }
        }
        EXPECT_TRUE(outcome.ran);
        EXPECT_EQ(outcome.slot, kBodyResult);
        EXPECT_EQ(outcome.seen, expected);
    }
}

TEST(RestrictedPrivileges, NoWayOutOfTheBodySkipsTheRevert) {
    struct Case {
        const char* what;
        std::function<HRESULT()> body;
        const char* thrown;
    };
    const Case cases[] = {
        {"a standard exception", []() -> HRESULT { throw std::runtime_error("body failed"); },
         "runtime_error"},
        {"anything else thrown", []() -> HRESULT { throw 42; }, "other"},
        {"an empty body", nullptr, "bad_function_call"},
    };
    auto kindOf = [](std::exception_ptr thrown) -> std::string {
        try {
            std::rethrow_exception(thrown);
        } catch (const std::bad_function_call&) {
            return "bad_function_call";
        } catch (const std::runtime_error&) {
            return "runtime_error";
        } catch (...) {
            return "other";
        }
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        const std::size_t handlesBefore = rig.Kernel().OpenHandleCount();
        rig.Record();
        HRESULT slot = kUntouched;
        std::exception_ptr thrown;
        try {
            RunWithRestrictedPrivileges(rig.security, rig.Kernel(), {kChangeNotify}, &slot, c.body);
        } catch (...) {
            thrown = std::current_exception();
        }
        ASSERT_TRUE(thrown);
        EXPECT_EQ(kindOf(thrown), c.thrown);
        EXPECT_EQ(slot, kUntouched);
        EXPECT_EQ(rig.security.ImpersonationLevel(), std::nullopt);
        EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore);
        EXPECT_EQ(rig.Calls().back(), "RevertToSelf");
    }
}

TEST(RestrictedPrivileges, BodyRunsWithoutAResultSlot) {
    Rig rig;
    bool ran = false;
    RunWithRestrictedPrivileges(rig.security, rig.Kernel(), {kChangeNotify}, nullptr, [&] {
        ran = true;
        return E_FAIL;
    });
    EXPECT_TRUE(ran);
    EXPECT_EQ(rig.security.ImpersonationLevel(), std::nullopt);
}

TEST(RestrictedPrivilegesDeathTest, ThreadThatCannotRevertEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* what;
        const char* alsoFailing;  // an earlier step that fails too, or null
        std::function<HRESULT()> body;
    };
    const Case cases[] = {
        {"after the body", nullptr, [] { return S_OK; }},
        {"after the body threw", nullptr, []() -> HRESULT { throw std::runtime_error("x"); }},
        {"after a failed setup", "OpenThreadToken", [] { return S_OK; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_DEATH(
            {
                Rig rig;
                if (c.alsoFailing) rig.Fail(c.alsoFailing, ERROR_ACCESS_DENIED);
                rig.Fail("RevertToSelf", ERROR_ACCESS_DENIED);
                HRESULT slot = kUntouched;
                try {
                    RunWithRestrictedPrivileges(rig.security, rig.Kernel(), {kChangeNotify}, &slot,
                                                c.body);
                } catch (...) {
                }
            },
            "");
    }
}

TEST(RestrictedPrivileges, WorkersInsideAtOnceKeepTheirOwnTokens) {
    SimWorld world;
    SimSecurity security(world.GetScheduler(), world.GetFaults(), world.GetKernel());
    auto& kernel = world.GetKernel();
    HANDLE resume = kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(resume, nullptr);

    Privileges firstBefore, firstAfter, second;
    platform::Thread first(kernel, [&] {
        HRESULT slot = kUntouched;
        RunWithRestrictedPrivileges(security, kernel, {kChangeNotify}, &slot, [&] {
            firstBefore = security.EffectivePrivileges();
            kernel.WaitForMultipleObjects(1, &resume, FALSE, INFINITE);
            firstAfter = security.EffectivePrivileges();
            return S_OK;
        });
    });
    platform::Thread other(kernel, [&] {
        HRESULT slot = kUntouched;
        RunWithRestrictedPrivileges(security, kernel, {L"SeDebugPrivilege"}, &slot, [&] {
            second = security.EffectivePrivileges();
            kernel.SetEvent(resume);
            return S_OK;
        });
    });
    world.RunUntilIdle();
    first.join();
    other.join();
    kernel.CloseHandle(resume);

    EXPECT_EQ(firstBefore, DefaultKeeping(kChangeNotify));
    EXPECT_EQ(firstAfter, DefaultKeeping(kChangeNotify));
    EXPECT_EQ(second, DefaultKeeping(L"SeDebugPrivilege"));
    EXPECT_EQ(kernel.OpenHandleCount(), 0u);
}

TEST(GetPrivilegeName, NamesKnownIdentifiersAndMarksTheRest) {
    Rig rig;
    struct Case {
        LUID identifier;
        std::wstring name;
    };
    const Case cases[] = {
        {{23, 0}, L"SeChangeNotifyPrivilege"},
        {{36, 0}, L"SeDelegateSessionUserImpersonatePrivilege"},
        {{999, 0}, L"<lookup priv name failed>"},
        {{23, 1}, L"<lookup priv name failed>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetPrivilegeName(rig.security, c.identifier), c.name);
    }
}

TEST(RestrictTokenPrivileges, RefusesANullToken) {
    Rig rig;
    rig.Record();
    EXPECT_FALSE(RestrictTokenPrivileges(rig.security, rig.Kernel(), nullptr, {kChangeNotify}));
    EXPECT_TRUE(rig.Calls().empty());
}

TEST(DisablePrivilege, SaysWhetherThePrivilegeIsNowDisabled) {
    struct Case {
        const char* what;
        std::wstring name;
        const char* failing;  // an operation told to fail, or null
        bool disabled;
    };
    const Case cases[] = {
        {"held and disabled", L"SeDebugPrivilege", nullptr, true},
        {"name looked up without regard to case", L"sedebugprivilege", nullptr, true},
        {"held but already disabled", L"SeBackupPrivilege", nullptr, true},
        {"not held by the token", L"SeUndockPrivilege", nullptr, false},
        {"unknown name", L"<lookup priv name failed>", nullptr, false},
        {"lookup fails", L"SeDebugPrivilege", "LookupPrivilegeValueW", false},
        {"adjustment fails", L"SeDebugPrivilege", "AdjustTokenPrivileges", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig;
        ASSERT_TRUE(rig.security.ImpersonateSelf(SecurityImpersonation));
        HANDLE token = nullptr;
        ASSERT_TRUE(rig.security.OpenThreadToken(rig.security.GetCurrentThread(),
                                                 TOKEN_ADJUST_PRIVILEGES, TRUE, &token));
        if (c.failing) rig.Fail(c.failing, ERROR_ACCESS_DENIED);

        EXPECT_EQ(DisablePrivilege(rig.security, rig.Kernel(), token, c.name), c.disabled);

        const Privileges seen = rig.security.EffectivePrivileges();
        const auto debug = std::find_if(seen.begin(), seen.end(), [](const Privilege& p) {
            return p.name == L"SeDebugPrivilege";
        });
        ASSERT_NE(debug, seen.end());
        const bool debugDisabled = (debug->attributes & SE_PRIVILEGE_ENABLED) == 0;
        EXPECT_EQ(debugDisabled, c.disabled && c.name != L"SeBackupPrivilege");
        rig.Kernel().CloseHandle(token);
        rig.security.RevertToSelf();
    }
}

}  // namespace
