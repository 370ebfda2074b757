// The simulated access lists: what GetSecurityInfo hands out, how SetEntriesInAclW grants, what
// SetSecurityInfo keeps, and that every block handed out can be freed.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/security_sim.h"
#include "platform/sim/sim_world.h"

namespace platform::sim {
void PrintTo(const SimSecurity::Ace& ace, std::ostream* out) {
    *out << "{" << int(ace.type) << "," << int(ace.flags) << "," << std::hex << ace.mask << ","
         << testing::PrintToString(ace.sid) << "}";
}
}  // namespace platform::sim

namespace {

using platform::sim::SimSecurity;
using platform::sim::SimWorld;
using Aces = std::vector<SimSecurity::Ace>;

class SimAccessListTest : public testing::Test {
protected:
    PSID AuthenticatedUsers() {
        SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
        PSID sid = nullptr;
        EXPECT_TRUE(security.AllocateAndInitializeSid(&nt, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0,
                                                      0, 0, 0, 0, 0, &sid));
        return sid;
    }
    EXPLICIT_ACCESS_W Grant(PSID sid, DWORD mask, DWORD inheritance = NO_INHERITANCE) {
        EXPLICIT_ACCESS_W entry{};
        entry.grfAccessPermissions = mask;
        entry.grfAccessMode = GRANT_ACCESS;
        entry.grfInheritance = inheritance;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
        entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
        entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
        return entry;
    }
    // Reads the event's list, grants the entries and writes the result back.
    DWORD Widen(HANDLE event, std::vector<EXPLICIT_ACCESS_W> entries) {
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        DWORD status = security.GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                                nullptr, nullptr, &dacl, nullptr, &descriptor);
        if (status != ERROR_SUCCESS) return status;
        PACL widened = nullptr;
        status = security.SetEntriesInAclW(static_cast<ULONG>(entries.size()), entries.data(), dacl,
                                           &widened);
        if (status == ERROR_SUCCESS) {
            status = security.SetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, widened, nullptr);
        }
        EXPECT_EQ(security.LocalFree(widened), nullptr);
        EXPECT_EQ(security.LocalFree(descriptor), nullptr);
        return status;
    }

    SimWorld world;
    SimSecurity& security = world.GetSecurity();
    platform::sim::SimKernel& kernel = world.GetKernel();
};

TEST_F(SimAccessListTest, SidIsLaidOutAsWindowsDoes) {
    PSID sid = AuthenticatedUsers();
    const BYTE expected[] = {1, 1, 0, 0, 0, 0, 0, 5, 11, 0, 0, 0};
    EXPECT_EQ(std::memcmp(sid, expected, sizeof expected), 0);
    EXPECT_EQ(security.FreeSid(sid), nullptr);
    EXPECT_EQ(security.OutstandingAllocations(), 0u);
}

TEST_F(SimAccessListTest, GrantAddsOneEntryAndWritesItBack) {
    const HANDLE event = kernel.CreateEventW(nullptr, TRUE, FALSE, L"Global\\Widened");
    PSID sid = AuthenticatedUsers();
    ASSERT_EQ(Widen(event, {Grant(sid, 0x00100002)}), ERROR_SUCCESS);
    Aces expected = SimSecurity::DefaultAccessList();
    expected.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, 0x00100002, L"S-1-5-11"});
    EXPECT_EQ(security.AccessList(event), expected);
    // The list belongs to the event, whichever handle reaches it.
    const HANDLE other = kernel.OpenEventW(SYNCHRONIZE, FALSE, L"Global\\Widened");
    EXPECT_EQ(security.AccessList(other), expected);

    // A second grant to the same trustee adds to its entry.
    ASSERT_EQ(Widen(event, {Grant(sid, EVENT_ALL_ACCESS)}), ERROR_SUCCESS);
    expected.back().mask |= EVENT_ALL_ACCESS;
    EXPECT_EQ(security.AccessList(event), expected);
    security.FreeSid(sid);
    EXPECT_EQ(security.OutstandingAllocations(), 0u);
}

TEST_F(SimAccessListTest, ObjectsWithoutListGiveNoneAsUnderWine) {
    security.SetNewObjectsHaveDacl(false);
    const HANDLE event = kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    PACL dacl = reinterpret_cast<PACL>(1);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(security.GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, &dacl, nullptr, &descriptor),
              ERROR_SUCCESS);
    EXPECT_EQ(dacl, nullptr);
    EXPECT_NE(descriptor, nullptr);
    EXPECT_EQ(security.AccessList(event), std::nullopt);
    EXPECT_EQ(security.LocalFree(descriptor), nullptr);
    EXPECT_EQ(security.OutstandingAllocations(), 0u);
}

TEST_F(SimAccessListTest, BadArgumentsAndFaultsAreReportedAsStatus) {
    const HANDLE event = kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    PSID sid = AuthenticatedUsers();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    struct Case {
        const char* name;
        DWORD status;
        DWORD expected;
    };
    EXPLICIT_ACCESS_W byName = Grant(sid, 1);
    byName.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    PACL widened = nullptr;
    ACL broken{ACL_REVISION, 0, 4, 0, 0};
    EXPLICIT_ACCESS_W grant = Grant(sid, 1);
    const Case cases[] = {
        {"not a handle",
         security.GetSecurityInfo(reinterpret_cast<HANDLE>(0x7777), SE_KERNEL_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                  &descriptor),
         ERROR_INVALID_HANDLE},
        {"not a kernel object",
         security.GetSecurityInfo(event, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &dacl, nullptr, &descriptor),
         ERROR_INVALID_PARAMETER},
        {"trustee by name", security.SetEntriesInAclW(1, &byName, nullptr, &widened),
         ERROR_INVALID_PARAMETER},
        {"malformed list", security.SetEntriesInAclW(1, &grant, &broken, &widened),
         ERROR_INVALID_ACL},
        {"malformed list written",
         security.SetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &broken, nullptr),
         ERROR_INVALID_ACL},
    };
    for (const Case& c : cases) EXPECT_EQ(c.status, c.expected) << c.name;
    EXPECT_EQ(widened, nullptr);
    {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail("GetSecurityInfo", ERROR_ACCESS_DENIED);
        world.GetFaults().Fail("SetSecurityInfo", ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(Widen(event, {Grant(sid, 1)}), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Widen(event, {Grant(sid, 1)}), ERROR_ACCESS_DENIED);
    EXPECT_EQ(security.AccessList(event), SimSecurity::DefaultAccessList());
    security.FreeSid(sid);
    EXPECT_EQ(security.OutstandingAllocations(), 0u);
}

}  // namespace
