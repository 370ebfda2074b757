// The registry backend against the real registry (under Wine on Linux), in a scratch key of the
// current user that each test creates and removes. These runs also pin down the behaviour that
// the simulated registry copies: statuses, the size rules of a query, and how waits end.
#include <gtest/gtest.h>

#include <string>

#include "platform/sync.h"
#include "platform/win32/kernel_win32.h"
#include "platform/win32/registry_win32.h"
#include "platform/win32/unique_handle.h"

using platform::Thread;
using platform::win32::UniqueHandle;
using platform::win32::Win32Kernel;
using platform::win32::Win32Registry;

namespace {

class Win32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        _scratch = L"Software\\KelvoTest\\Registry-" + std::to_wstring(::GetCurrentProcessId());
        ASSERT_EQ(registry.RegCreateKeyExW(HKEY_CURRENT_USER, (_scratch + L"\\Touch").c_str(), 0,
                                           nullptr, 0, KEY_ALL_ACCESS, nullptr, &_touch, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            registry.RegOpenKeyExW(HKEY_CURRENT_USER, _scratch.c_str(), 0, KEY_ALL_ACCESS, &_root),
            ERROR_SUCCESS);
    }
    void TearDown() override {
        for (HKEY key : {_touch, _root}) {
            if (key) registry.RegCloseKey(key);
        }
        for (const std::wstring& sub : {_scratch + L"\\Touch", _scratch}) {
            registry.RegDeleteKeyW(HKEY_CURRENT_USER, sub.c_str());
        }
        // Only if no other run is using it.
        registry.RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\KelvoTest");
    }

    LSTATUS SetDword(HKEY key, const wchar_t* name, DWORD value) {
        return registry.RegSetValueExW(key, name, 0, REG_DWORD,
                                       reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    HKEY OpenScratch(REGSAM access) {
        HKEY key = nullptr;
        EXPECT_EQ(registry.RegOpenKeyExW(HKEY_CURRENT_USER, _scratch.c_str(), 0, access, &key),
                  ERROR_SUCCESS);
        return key;
    }

    Win32Kernel kernel;
    Win32Registry registry;
    std::wstring _scratch;
    HKEY _root = nullptr;
    HKEY _touch = nullptr;
};

TEST_F(Win32RegistryTest, QueriesFollowTheSizeRulesAndLeaveTheLastErrorAlone) {
    ASSERT_EQ(SetDword(_root, L"Present", 7), ERROR_SUCCESS);
    const wchar_t text[] = L"tablet";
    ASSERT_EQ(registry.RegSetValueExW(_root, L"Text", 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    HKEY key = OpenScratch(KEY_QUERY_VALUE);
    const struct {
        const wchar_t* name;
        LSTATUS status;
        DWORD type;
        DWORD size;
        DWORD value;
    } cases[] = {
        {L"Present", ERROR_SUCCESS, REG_DWORD, 4, 7},
        {L"present", ERROR_SUCCESS, REG_DWORD, 4, 7},
        {L"Text", ERROR_MORE_DATA, REG_SZ, 14, 0xAAAAAAAA},  // the 4-byte buffer is too small
        {L"Absent", ERROR_FILE_NOT_FOUND, 0xBBBB, 4, 0xAAAAAAAA},
    };
    for (const auto& c : cases) {
        kernel.SetLastError(12345);
        DWORD type = 0xBBBB, value = 0xAAAAAAAA, size = sizeof value;
        EXPECT_EQ(registry.RegQueryValueExW(key, c.name, nullptr, &type,
                                            reinterpret_cast<BYTE*>(&value), &size),
                  c.status);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, c.size);
        if (c.status != ERROR_MORE_DATA) {  // else the buffer's content is undefined
            EXPECT_EQ(value, c.value);
        }
        EXPECT_EQ(kernel.GetLastError(), 12345u);
    }
    DWORD size = 0;
    EXPECT_EQ(registry.RegQueryValueExW(key, L"Text", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, sizeof text);
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Win32RegistryTest, MissingAndDeletedKeysAndKeysWithSubkeys) {
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(registry.RegOpenKeyExW(_root, L"Missing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(registry.RegDeleteKeyW(HKEY_CURRENT_USER, _scratch.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(registry.RegDeleteKeyW(_root, L"Touch"), ERROR_SUCCESS);
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(registry.RegQueryValueExW(_touch, L"Mode", nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(&value), &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetDword(_touch, L"Mode", 1), ERROR_KEY_DELETED);
}

TEST_F(Win32RegistryTest, AsynchronousWaitSetsItsEvent) {
    UniqueHandle event(kernel.CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(event);
    HANDLE handle = event.get();
    HKEY key = OpenScratch(KEY_NOTIFY);
    ASSERT_EQ(registry.RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, handle, TRUE),
              ERROR_SUCCESS);
    EXPECT_EQ(kernel.WaitForMultipleObjects(1, &handle, FALSE, 0), WAIT_TIMEOUT);
    Thread writer(kernel, [&] { SetDword(_touch, L"Mode", 3); });
    writer.join();
    EXPECT_EQ(kernel.WaitForMultipleObjects(1, &handle, FALSE, 10000), WAIT_OBJECT_0);

    // Armed again, it is set when the key is closed.
    ASSERT_EQ(registry.RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, handle, TRUE),
              ERROR_SUCCESS);
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(kernel.WaitForMultipleObjects(1, &handle, FALSE, 10000), WAIT_OBJECT_0);
}

}  // namespace
