#include "privileges/restricted_privileges.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "rig/golden.h"
#include "rig/sim_rig.h"

namespace {

using platform::sim::SimSecurity;
using Privileges = std::vector<SimSecurity::Privilege>;

constexpr DWORD kEnabled = SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED;
constexpr HRESULT kUntouched = static_cast<HRESULT>(0x8BADF00D);
const std::wstring kChangeNotify = L"SeChangeNotifyPrivilege";

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string Text(const Privileges& privileges) {
    std::string text;
    for (const auto& privilege : privileges) {
        text += " " + Narrow(privilege.name) + "=" + std::to_string(privilege.attributes);
    }
    return text;
}

struct Fault {
    const char* operation;
    unsigned nth;  // 0: every call
    DWORD error;
};

enum class Body { Returns, Throws, ThrowsOther, Empty };

struct Case {
    const char* name;
    Privileges process;  // empty: the default process token
    std::vector<std::wstring> keepList;
    std::vector<Fault> faults;
    Body body = Body::Returns;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class RestrictedPrivilegesDeathTest : public testing::TestWithParam<Case> {};

// Each row runs a body once with its faults planted. Its file holds the calls in order, what the
// body saw and how the run ended; and every row leaves the thread and the process as they were.
TEST_P(RestrictedPrivilegesDeathTest, RunsTheBodyOnlyWithTheKeptPrivileges) {
    const Case& c = GetParam();
    rig::SimRig rig;
    SimSecurity& security = rig.world.GetSecurity();
    if (!c.process.empty()) security.SetProcessPrivileges(c.process);
    const Privileges process = security.ProcessPrivileges();
    const std::size_t handlesBefore = rig.world.GetKernel().OpenHandleCount();
    for (const Fault& fault : c.faults) {
        platform::sim::Scheduler::Lock lock(rig.world.GetScheduler().Mutex());
        if (fault.nth == 0) rig.world.GetFaults().FailAlways(fault.operation, fault.error);
        if (fault.nth != 0) rig.world.GetFaults().Fail(fault.operation, fault.error, fault.nth);
    }
    {
        platform::sim::Scheduler::Lock lock(rig.world.GetScheduler().Mutex());
        rig.world.GetFaults().SetRecording(true);
    }

    std::ostringstream out;
    std::function<HRESULT()> body = [&]() -> HRESULT {
        out << "body: level " << security.ImpersonationLevel().value_or(SecurityAnonymous)
            << ", privileges" << Text(security.EffectivePrivileges()) << "\n";
        if (c.body == Body::Throws) throw std::runtime_error("body failed");
        if (c.body == Body::ThrowsOther) throw 42;
        return 7;
    };
    if (c.body == Body::Empty) body = nullptr;
    HRESULT slot = kUntouched;
    auto run = [&] {
        try {
            RunWithRestrictedPrivileges(security, rig.world.GetKernel(), c.keepList, &slot, body);
        } catch (const std::bad_function_call&) {
            out << "threw: bad_function_call\n";
        } catch (const std::runtime_error&) {
            out << "threw: runtime_error\n";
        } catch (...) {
            out << "threw: something else\n";
        }
    };
    // A thread that cannot drop the restricted token must not go on, however it got there.
    if (std::string(c.faults.empty() ? "" : c.faults.back().operation) == "RevertToSelf") {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EXPECT_DEATH(run(), "");
        return;
    }
    run();
    out << "result: " << std::hex << slot << std::dec << "\n";
    out << "last error: " << rig.world.GetKernel().GetLastError() << "\n";
    // None, unless the closes were made to fail.
    out << "handles left open: " << rig.world.GetKernel().OpenHandleCount() - handlesBefore << "\n";
    out << "calls:";
    for (const auto& call : rig.world.GetFaults().Points()) out << " " << call.Name();
    out << "\n";
    EXPECT_TRUE(rig::MatchesGolden(std::string(KELVO_PRIVILEGES_GOLDEN_DIR) + "/" + c.name + ".txt", out.str()));

    EXPECT_FALSE(security.ImpersonationLevel().has_value());
    EXPECT_EQ(security.EffectivePrivileges(), process);
    EXPECT_EQ(security.ProcessPrivileges(), process);
    EXPECT_TRUE(rig.world.GetTracing().Events().empty());
}

const Privileges kMixed = {{L"SeTcbPrivilege", kEnabled},
                           {L"SeBackupPrivilege", SE_PRIVILEGE_ENABLED},
                           {L"SeShutdownPrivilege", 0},
                           {L"SeKelvoTestPrivilege", SE_PRIVILEGE_ENABLED},
                           {kChangeNotify, kEnabled}};

INSTANTIATE_TEST_SUITE_P(
    Rows, RestrictedPrivilegesDeathTest,
    testing::Values(
        Case{"keeps-change-notify", {}, {kChangeNotify}, {}},
        Case{"whole-names-in-their-case-only",
             {},
             {L"sechangenotifyprivilege", L"SeChangeNotify", L" SeChangeNotifyPrivilege"},
             {}},
        Case{"empty-keep-list", {}, {}, {}},
        Case{"kept-stay-as-they-were",
             kMixed,
             {kChangeNotify, L"SeShutdownPrivilege", L"SeUndockPrivilege"},
             {}},
        Case{"impersonate-fails", {}, {kChangeNotify}, {{"ImpersonateSelf", 1, 5}}},
        Case{"open-fails", {}, {kChangeNotify}, {{"OpenThreadToken", 1, 5}}},
        Case{"copy-fails", {}, {kChangeNotify}, {{"CreateRestrictedToken", 1, 8}}},
        // The size query must fail for want of room, not for anything else.
        Case{"size-query-fails", {}, {kChangeNotify}, {{"GetTokenInformation", 1, 5}}},
        Case{"privilege-read-fails", {}, {kChangeNotify}, {{"GetTokenInformation", 2, 8}}},
        Case{"set-token-fails", {}, {kChangeNotify}, {{"SetThreadToken", 1, 1349}}},
        // A close that fails too must not hide the failure the thread reports.
        Case{"copy-and-close-fail",
             {},
             {kChangeNotify},
             {{"CreateRestrictedToken", 1, 8}, {"CloseHandle", 0, 31}}},
        Case{"privilege-read-and-close-fail",
             {},
             {kChangeNotify},
             {{"GetTokenInformation", 2, 5}, {"CloseHandle", 0, 31}}},
        Case{"set-token-and-close-fail",
             {},
             {kChangeNotify},
             {{"SetThreadToken", 1, 1349}, {"CloseHandle", 0, 31}}},
        // A privilege that cannot be disabled stays as it was; the others are disabled still.
        Case{"name-lookup-fails", kMixed, {kChangeNotify}, {{"LookupPrivilegeNameW", 2, 1313}}},
        Case{"value-lookup-fails", kMixed, {kChangeNotify}, {{"LookupPrivilegeValueW", 1, 1313}}},
        Case{"adjust-fails", kMixed, {kChangeNotify}, {{"AdjustTokenPrivileges", 2, 1313}}},
        Case{"body-throws", {}, {kChangeNotify}, {}, Body::Throws},
        Case{"body-throws-other", {}, {kChangeNotify}, {}, Body::ThrowsOther},
        Case{"empty-body", {}, {kChangeNotify}, {}, Body::Empty},
        Case{"revert-fails", {}, {kChangeNotify}, {{"RevertToSelf", 1, 5}}},
        Case{"revert-fails-after-throw",
             {},
             {kChangeNotify},
             {{"RevertToSelf", 1, 5}},
             Body::Throws},
        Case{"revert-fails-after-failed-open",
             {},
             {kChangeNotify},
             {{"OpenThreadToken", 1, 5}, {"RevertToSelf", 1, 5}}}),
    [](const testing::TestParamInfo<Case>& info) {
        std::string name = info.param.name;
        for (char& ch : name) ch = ch == '-' ? '_' : ch;
        return name;
    });

}  // namespace
