// The simulated registry where the service's own tests would not notice it parting from Windows:
// name matching, failure statuses, and when a change notification fires. (The size rules of a
// query are reached through ReadRegDword.)
#include "platform/sim/registry_sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/sim_world.h"

namespace {

using platform::sim::SimRegistry;
const HKEY kMachine = HKEY_LOCAL_MACHINE;
const std::wstring kAmb = L"SOFTWARE\\Corvane\\Nolt\\AMB";

struct RegistrySim : testing::Test {
    HKEY Open(HKEY root, const std::wstring& path, REGSAM access) {
        HKEY key = nullptr;
        EXPECT_EQ(registry.RegOpenKeyExW(root, path.c_str(), 0, access, &key), ERROR_SUCCESS)
            << path;
        return key;
    }
    platform::sim::SimWorld world;
    SimRegistry& registry = world.GetRegistry();
};

TEST_F(RegistrySim, NamesMatchWithoutRegardToCaseAndKeepTheirSpelling) {
    registry.SetDword(kMachine, kAmb + L"\\Caf\u00e9", L"\u00e9t\u00e9", 1);
    registry.SetDword(kMachine, L"SOFTWARE\\CORVANE\\NOLT\\AMB\\CAF\u00c9", L"\u00c9T\u00c9", 2);
    EXPECT_EQ(registry.StoredPath(kMachine, L"software\\corvane\\nolt\\amb\\caf\u00e9"),
              kAmb + L"\\Caf\u00e9");
    const auto key = registry.Snapshot(kMachine, kAmb + L"\\Caf\u00e9");
    ASSERT_EQ(key->values.size(), 1u);
    EXPECT_EQ(key->values[0].name, L"\u00e9t\u00e9");
    EXPECT_EQ(key->values[0].data, (std::vector<BYTE>{2, 0, 0, 0}));
    EXPECT_FALSE(registry.KeyExists(HKEY_CURRENT_USER, kAmb));  // the roots are separate trees
}

TEST_F(RegistrySim, FailedCallsReportTheirStatusAndTouchNothing) {
    registry.SetDword(kMachine, kAmb + L"\\Touch", L"Present", 7);
    HKEY queryOnly = Open(kMachine, kAmb, KEY_QUERY_VALUE);
    HKEY notify = Open(kMachine, kAmb, KEY_NOTIFY);
    HKEY gone = Open(kMachine, kAmb + L"\\Touch", KEY_ALL_ACCESS);
    registry.DeleteTree(kMachine, kAmb + L"\\Touch");
    world.GetKernel().SetLastError(12345);
    HKEY untouched = reinterpret_cast<HKEY>(0x1234);
    DWORD value = 77, size = 4;
    const auto query = [&](HKEY key, const wchar_t* name) {
        return registry.RegQueryValueExW(key, name, nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(&value), &size);
    };
    const std::vector<LSTATUS> statuses{
        registry.RegOpenKeyExW(kMachine, L"SOFTWARE\\Nope", 0, KEY_READ, &untouched),
        query(queryOnly, L"Absent"),
        query(notify, L"Present"),
        registry.RegNotifyChangeKeyValue(queryOnly, TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr,
                                         FALSE),
        registry.RegSetValueExW(queryOnly, L"Present", 0, REG_DWORD,
                                reinterpret_cast<BYTE*>(&value), 4),
        query(gone, L"Present"),
        query(HKEY(0x5678), L"Present"),
        registry.RegOpenKeyExW(kMachine, L"SOFTWARE\\\\Corvane", 0, KEY_READ, &untouched),
        registry.RegDeleteKeyW(kMachine, L"SOFTWARE\\Corvane"),
    };
    EXPECT_EQ(statuses, (std::vector<LSTATUS>{
                            ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
                            ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, ERROR_KEY_DELETED,
                            ERROR_INVALID_HANDLE, ERROR_BAD_PATHNAME, ERROR_ACCESS_DENIED}));
    EXPECT_EQ(world.GetKernel().GetLastError(), 12345u);
    EXPECT_EQ(untouched, reinterpret_cast<HKEY>(0x1234));
    EXPECT_EQ(value, 77u);
    EXPECT_TRUE(registry.KeyExists(kMachine, L"SOFTWARE\\Corvane"));
    for (HKEY key : {queryOnly, notify, gone}) EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistrySim, AnAsynchronousWaitFiresOncePerArmingForChangesBelowItsKeyOnly) {
    auto& kernel = world.GetKernel();
    HANDLE event = kernel.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    registry.CreateKey(kMachine, kAmb + L"\\Touch");
    HKEY key = Open(kMachine, kAmb, KEY_NOTIFY);
    const auto arm = [&] {
        ASSERT_EQ(
            registry.RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE),
            0);
    };
    const auto fired = [&] {
        return kernel.WaitForMultipleObjects(1, &event, FALSE, 0) == WAIT_OBJECT_0;
    };
    arm();
    registry.SetDword(kMachine, kAmb + L"X", L"v", 1);                 // a sibling
    registry.SetDword(kMachine, L"SOFTWARE\\Corvane\\Nolt", L"v", 1);  // the parent
    registry.SetDword(HKEY_CURRENT_USER, kAmb, L"v", 1);               // another root
    registry.DeleteValue(kMachine, kAmb, L"Absent");                   // nothing to delete
    EXPECT_FALSE(fired());
    registry.SetDword(kMachine, kAmb + L"\\Touch", L"Mode", 1);
    EXPECT_TRUE(fired());
    registry.SetDword(kMachine, kAmb + L"\\Touch", L"Mode", 2);  // no longer armed
    EXPECT_FALSE(fired());
    arm();
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);  // closing the key fires it too
    EXPECT_TRUE(fired());
    EXPECT_EQ(registry.PendingNotifyCount(), 0u);
    kernel.CloseHandle(event);
}

}  // namespace
