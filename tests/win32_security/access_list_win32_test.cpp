// The access-list calls of the security area against the real API (under Wine on Linux): the
// Authenticated Users SID, reading a new event's list, and writing a widened one back. The hot
// keys' own widening never gets this far under Wine, which gives a new event no list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32/security_win32.h"
#include "platform/win32/unique_handle.h"

namespace {

TEST(Win32AccessList, AuthenticatedUsersEntryIsWrittenToAnEvent) {
    platform::win32::Win32Security security;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(security.AllocateAndInitializeSid(&nt, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0,
                                                  0, 0, 0, 0, &sid));
    const BYTE expected[] = {1, 1, 0, 0, 0, 0, 0, 5, 11, 0, 0, 0};
    EXPECT_EQ(std::memcmp(sid, expected, sizeof expected), 0);

    const std::wstring name = L"Local\\KelvoAccessList" + std::to_wstring(::GetCurrentProcessId());
    const platform::win32::UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(event);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    // Wine hands out no list for a new event; Windows the creator's default one.
    ASSERT_EQ(security.GetSecurityInfo(event.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_NE(descriptor, nullptr);

    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = EVENT_MODIFY_STATE | SYNCHRONIZE;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    PACL widened = nullptr;
    ASSERT_EQ(security.SetEntriesInAclW(1, &entry, dacl, &widened),
              static_cast<DWORD>(ERROR_SUCCESS));
    // An entry allows exactly that.
    bool allows = false;
    for (DWORD i = 0; widened && i < widened->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(widened, i, &ace)) break;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        allows = allows || (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                            allowed->Mask == 0x00100002 &&
                            ::EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid));
    }
    EXPECT_TRUE(allows);
    EXPECT_EQ(security.SetSecurityInfo(event.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, widened, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));

    EXPECT_EQ(security.LocalFree(widened), nullptr);
    EXPECT_EQ(security.LocalFree(descriptor), nullptr);
    EXPECT_EQ(security.FreeSid(sid), nullptr);
}

}  // namespace
