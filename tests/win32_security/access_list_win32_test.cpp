// The access-list calls of the security area against the real API (under Wine on Linux): the
// Authenticated Users SID, reading a new event's list, and writing a widened one back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32/kernel_win32.h"
#include "platform/win32/security_win32.h"
#include "platform/win32/unique_handle.h"

using platform::win32::UniqueHandle;
using platform::win32::Win32Security;

namespace {

std::wstring EventName(const wchar_t* what) {
    return L"Local\\KelvoAccessList" + std::wstring(what) +
           std::to_wstring(::GetCurrentProcessId());
}

// Whether the list holds an allowing entry of exactly this SID and mask.
bool Allows(PACL acl, PSID sid, DWORD mask) {
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(acl, i, &ace)) return false;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
        if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && allowed->Mask == mask &&
            ::EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid)) {
            return true;
        }
    }
    return false;
}

TEST(Win32AccessList, AuthenticatedUsersEntryIsWrittenToAnEvent) {
    Win32Security security;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(security.AllocateAndInitializeSid(&nt, 1, SECURITY_AUTHENTICATED_USER_RID, 0, 0, 0,
                                                  0, 0, 0, 0, &sid));
    const BYTE expected[] = {1, 1, 0, 0, 0, 0, 0, 5, 11, 0, 0, 0};
    EXPECT_EQ(std::memcmp(sid, expected, sizeof expected), 0);

    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, EventName(L"Widen").c_str()));
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
    EXPECT_TRUE(Allows(widened, sid, 0x00100002));
    EXPECT_EQ(security.SetSecurityInfo(event.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, widened, nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));

    EXPECT_EQ(security.LocalFree(widened), nullptr);
    EXPECT_EQ(security.LocalFree(descriptor), nullptr);
    EXPECT_EQ(security.FreeSid(sid), nullptr);
}

}  // namespace
