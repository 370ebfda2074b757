// The settings watch against the real registry, kernel and tokens (under Wine on Linux), with the
// configuration in a scratch key of the current user, one per process, so that the run needs no
// rights, leaves nothing behind, and runs beside others without seeing their changes.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/win32/kernel_win32.h"
#include "platform/win32/registry_win32.h"
#include "platform/win32/security_win32.h"
#include "platform/win32/unique_handle.h"
#include "settings/amb_reg_settings.h"
#include "settings/registry.h"

using platform::win32::UniqueHandle;

namespace {

// A wait that only a broken watch would reach.
constexpr DWORD kLongEnough = 30000;

// The real registry, signalling each time a change notification is armed: the watch arms on its
// own thread, out of the test's sight.
class ArmSignallingRegistry : public platform::win32::Win32Registry {
public:
    LSTATUS RegNotifyChangeKeyValue(HKEY key, BOOL watchSubtree, DWORD notifyFilter, HANDLE event,
                                    BOOL asynchronous) override {
        const LSTATUS status = Win32Registry::RegNotifyChangeKeyValue(
            key, watchSubtree, notifyFilter, event, asynchronous);
        if (status == ERROR_SUCCESS) ::SetEvent(armed.get());
        return status;
    }

    UniqueHandle armed{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

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
    void SetUp() override {
        ASSERT_EQ(_scratch.Create(HKEY_CURRENT_USER, _scratchPath.c_str(), nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, nullptr),
                  ERROR_SUCCESS);
        settings.emplace(registry, kernel, security, _scratch.Handle());
        SetVendor(0x1111);
    }
    void TearDown() override {
        if (settings) {
            ::SetEvent(settings->release.get());  // a test that failed may have left it held
            settings->StopMonitoring();
        }
        settings.reset();
        _scratch.Close();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, _scratchPath.c_str());
        // Only if no other run is using it.
        registry.RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\KelvoTest");
    }

    void SetVendor(DWORD vendor) {
        RegKey touch(registry);
        ASSERT_EQ(touch.Create(_scratch.Handle(), L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", nullptr,
                               0, KEY_SET_VALUE, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(registry.RegSetValueExW(touch.Handle(), L"VID", 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&vendor), sizeof vendor),
                  ERROR_SUCCESS);
    }
    static bool Signalled(const UniqueHandle& event) {
        return ::WaitForSingleObject(event.get(), kLongEnough) == WAIT_OBJECT_0;
    }

    ArmSignallingRegistry registry;
    platform::win32::Win32Kernel kernel;
    platform::win32::Win32Security security;
    std::optional<SignallingSettings> settings;

private:
    const std::wstring _scratchPath =
        L"Software\\KelvoTest\\Settings-" + std::to_wstring(::GetCurrentProcessId());
    RegKey _scratch{registry};
};

TEST_F(Win32SettingsWatch, AChangeInASubkeyReloadsAndOneDuringTheReloadIsNotLost) {
    settings->StartMonitoring();
    ASSERT_TRUE(Signalled(registry.armed));
    SetVendor(0x2222);
    ASSERT_TRUE(Signalled(settings->reloaded));
    SetVendor(0x3333);  // while the first reload is held
    ::SetEvent(settings->release.get());
    ASSERT_TRUE(Signalled(settings->reloaded));
    EXPECT_EQ(settings->GetTouchVendorId(), 0x3333);
}

TEST_F(Win32SettingsWatch, StopEndsTheWatchWhetherItWaitsOrHasNotBegun) {
    settings->StartMonitoring();
    settings->StopMonitoring();
    ::SetEvent(settings->release.get());
    ::ResetEvent(registry.armed.get());  // the stopped watch may have armed before it saw the stop
    settings->StartMonitoring();
    ASSERT_TRUE(Signalled(registry.armed));
    SetVendor(0x2222);
    ASSERT_TRUE(Signalled(settings->reloaded));
    settings->StopMonitoring();
}

}  // namespace
