// The settings watch against the real registry, kernel and tokens (under Wine on Linux), with the
// configuration under the current user so that the run needs no rights and leaves nothing behind.
#include <gtest/gtest.h>

#include "platform/win32/kernel_win32.h"
#include "platform/win32/registry_win32.h"
#include "platform/win32/security_win32.h"
#include "platform/win32/unique_handle.h"
#include "settings/amb_reg_settings.h"

using platform::win32::UniqueHandle;

namespace {

constexpr const wchar_t* kTouch = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch";
// A wait that only a broken watch would reach.
constexpr DWORD kLongEnough = 10000;

// Signals each reload; the first one waits to be released once its reads are done.
class SignallingSettings : public AmbRegSettings {
public:
    using AmbRegSettings::AmbRegSettings;

    void ReadSettings() override {
        AmbRegSettings::ReadSettings();
        ::SetEvent(reloaded.get());
        if (++_reloads == 1) ::WaitForSingleObject(release.get(), kLongEnough);
    }

    UniqueHandle reloaded{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};

private:
    int _reloads = 0;  // the watch thread's own
};

class Win32SettingsWatch : public ::testing::Test {
protected:
    void SetUp() override { SetVendor(0x1111); }
    void TearDown() override {
        settings.StopMonitoring();
        for (const wchar_t* key : {kTouch, L"SOFTWARE\\Corvane\\Nolt\\AMB",
                                   L"SOFTWARE\\Corvane\\Nolt", L"SOFTWARE\\Corvane"}) {
            registry.RegDeleteKeyW(HKEY_CURRENT_USER, key);
        }
    }

    void SetVendor(DWORD vendor) {
        HKEY key = nullptr;
        ASSERT_EQ(registry.RegCreateKeyExW(HKEY_CURRENT_USER, kTouch, 0, nullptr, 0, KEY_SET_VALUE,
                                           nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(registry.RegSetValueExW(key, L"VID", 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&vendor), sizeof vendor),
                  ERROR_SUCCESS);
        registry.RegCloseKey(key);
    }
    // The watch arms itself on its own thread, out of the test's sight: keep changing the
    // configuration until a reload shows that it watches.
    void ChangeUntilReloaded() {
        for (DWORD vendor = 0x2000;
             ::WaitForSingleObject(settings.reloaded.get(), 50) != WAIT_OBJECT_0; ++vendor) {
            ASSERT_LT(vendor, 0x2000u + kLongEnough / 50);
            SetVendor(vendor);
        }
    }
    bool Reloaded() {
        return ::WaitForSingleObject(settings.reloaded.get(), kLongEnough) == WAIT_OBJECT_0;
    }

    platform::win32::Win32Registry registry;
    platform::win32::Win32Kernel kernel;
    platform::win32::Win32Security security;
    SignallingSettings settings{registry, kernel, security, HKEY_CURRENT_USER};
};

TEST_F(Win32SettingsWatch, AChangeInASubkeyReloadsAndOneDuringTheReloadIsNotLost) {
    settings.StartMonitoring();
    ChangeUntilReloaded();
    SetVendor(0x3333);  // while the first reload is held
    ::SetEvent(settings.release.get());
    ASSERT_TRUE(Reloaded());
    EXPECT_EQ(settings.GetTouchVendorId(), 0x3333);
}

TEST_F(Win32SettingsWatch, StopEndsTheWatchWhetherItWaitsOrHasNotBegun) {
    settings.StartMonitoring();
    settings.StopMonitoring();
    ::SetEvent(settings.release.get());
    settings.StartMonitoring();
    ChangeUntilReloaded();
    settings.StopMonitoring();
}

}  // namespace
