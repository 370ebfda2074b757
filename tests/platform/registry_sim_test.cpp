#include "platform/sim/registry_sim.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "platform/sync.h"

using platform::Thread;
using platform::sim::RegValue;
using platform::sim::Scheduler;
using platform::sim::SimRegistry;
using platform::sim::SimWorld;

namespace {

constexpr const wchar_t* kAmb = L"SOFTWARE\\Corvane\\Nolt\\AMB";

std::vector<BYTE> Bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const BYTE*>(data);
    return std::vector<BYTE>(p, p + size);
}

std::vector<BYTE> WideBytes(std::wstring_view text) {
    return Bytes(text.data(), text.size() * sizeof(wchar_t));
}

class RegistrySim : public ::testing::Test {
protected:
    HKEY Open(HKEY root, const wchar_t* path, REGSAM access) {
        HKEY key = nullptr;
        EXPECT_EQ(registry.RegOpenKeyExW(root, path, 0, access, &key), ERROR_SUCCESS) << path;
        return key;
    }
    void Fail(const char* operation, DWORD error) {
        Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, error);
    }

    SimWorld world;
    SimRegistry registry{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
};

TEST_F(RegistrySim, NamesMatchWithoutRegardToCaseAndKeepTheirSpelling) {
    ASSERT_EQ(registry.SetDword(HKEY_LOCAL_MACHINE, kAmb, L"MonitorSettings", 1), ERROR_SUCCESS);
    ASSERT_EQ(registry.SetDword(HKEY_LOCAL_MACHINE, L"software\\corvane\\nolt\\amb\\Caf\u00e9",
                                L"\u00e9t\u00e9", 2),
              ERROR_SUCCESS);
    HKEY key = Open(HKEY_LOCAL_MACHINE, L"Software\\CORVANE\\nolt\\Amb", KEY_QUERY_VALUE);
    DWORD type = 0, value = 0, size = sizeof value;
    EXPECT_EQ(registry.RegQueryValueExW(key, L"MONITORSETTINGS", nullptr, &type,
                                        reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    // A later write under another spelling changes the data, not the name.
    ASSERT_EQ(registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CORVANE\\NOLT\\AMB",
                                L"monitorsettings", 3),
              ERROR_SUCCESS);
    EXPECT_EQ(registry.GetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\CORVANE\\NOLT\\AMB\\CAF\u00c9",
                                L"\u00c9T\u00c9"),
              2u);
    auto amb = registry.Snapshot(HKEY_LOCAL_MACHINE, kAmb);
    ASSERT_TRUE(amb);
    EXPECT_EQ(amb->name, L"AMB");
    ASSERT_EQ(amb->values.size(), 1u);
    EXPECT_EQ(amb->values[0].name, L"MonitorSettings");
    EXPECT_EQ(amb->values[0].data, Bytes("\3\0\0\0", 4));
    ASSERT_EQ(amb->subkeys.size(), 1u);
    EXPECT_EQ(amb->subkeys[0].name, L"Caf\u00e9");
    auto root = registry.Snapshot(HKEY_LOCAL_MACHINE, L"");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->subkeys.at(0).name, L"SOFTWARE");  // the first creation's spelling
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
    // The roots are separate trees.
    EXPECT_FALSE(registry.KeyExists(HKEY_CURRENT_USER, kAmb));
    EXPECT_FALSE(registry.KeyExists(HKEY_CLASSES_ROOT, kAmb));
}

struct QueryCase {
    const char* label;
    DWORD type;
    std::vector<BYTE> data;
};

class RegistrySimQuery : public RegistrySim, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(RegistrySimQuery, SizeQueryExactBufferAndShortBuffer) {
    const QueryCase& c = GetParam();
    ASSERT_EQ(registry.SetValue(HKEY_CURRENT_USER, L"Software\\KelvoTest", L"v", c.type, c.data),
              ERROR_SUCCESS);
    HKEY key = Open(HKEY_CURRENT_USER, L"Software\\KelvoTest", KEY_READ);
    const auto size = static_cast<DWORD>(c.data.size());

    DWORD type = 0xDEAD, got = 0;
    EXPECT_EQ(registry.RegQueryValueExW(key, L"v", nullptr, &type, nullptr, &got), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(got, size);

    std::vector<BYTE> buffer(size + 3, 0xCC);
    got = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(registry.RegQueryValueExW(key, L"v", nullptr, &type, buffer.data(), &got),
              ERROR_SUCCESS);
    EXPECT_EQ(got, size);
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + size), c.data);
    EXPECT_EQ(buffer[size], 0xCC);  // nothing written past the value

    // A 4-byte buffer, as a DWORD read gives: too small for anything larger.
    BYTE four[4] = {0xAB, 0xAB, 0xAB, 0xAB};
    got = sizeof four;
    type = 0xDEAD;
    const LSTATUS status = registry.RegQueryValueExW(key, L"v", nullptr, &type, four, &got);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(got, size);
    if (size > 4) {
        EXPECT_EQ(status, ERROR_MORE_DATA);
        EXPECT_EQ(Bytes(four, 4), std::vector<BYTE>(4, 0xAB));
    } else {
        EXPECT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(Bytes(four, size), c.data);
    }
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, RegistrySimQuery,
    ::testing::Values(
        QueryCase{"dword", REG_DWORD, Bytes("\x2a\0\0\0", 4)},
        QueryCase{"qword", REG_QWORD, Bytes("\1\2\3\4\5\6\7\x8", 8)},
        QueryCase{"sz", REG_SZ, WideBytes(std::wstring_view(L"tablet\0", 7))},
        QueryCase{"expand", REG_EXPAND_SZ, WideBytes(std::wstring_view(L"%SystemRoot%\0", 13))},
        QueryCase{"multi", REG_MULTI_SZ, WideBytes(std::wstring_view(L"a\0bc\0\0", 6))},
        QueryCase{"binary", REG_BINARY, Bytes("\0\xff\x10", 3)}, QueryCase{"empty", REG_BINARY, {}},
        QueryCase{"shortdword", REG_DWORD, Bytes("\1\2", 2)}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistrySim, FailedCallsReportTheirStatusAndTouchNothing) {
    ASSERT_EQ(registry.SetDword(HKEY_LOCAL_MACHINE, kAmb, L"Present", 7), ERROR_SUCCESS);
    HKEY query = Open(HKEY_LOCAL_MACHINE, kAmb, KEY_QUERY_VALUE);
    HKEY notifyOnly = Open(HKEY_LOCAL_MACHINE, kAmb, KEY_NOTIFY);
    world.GetKernel().SetLastError(12345);
    HKEY untouched = reinterpret_cast<HKEY>(0x1234);
    DWORD type = 99, value = 77, size = sizeof value;
    BYTE* data = reinterpret_cast<BYTE*>(&value);
    const struct {
        const char* label;
        std::function<LSTATUS()> call;
        LSTATUS expected;
    } cases[] = {
        {"missing key",
         [&] {
             return registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Nope", 0, KEY_READ,
                                           &untouched);
         },
         ERROR_FILE_NOT_FOUND},
        {"missing value",
         [&] { return registry.RegQueryValueExW(query, L"Absent", nullptr, &type, data, &size); },
         ERROR_FILE_NOT_FOUND},
        {"no query right",
         [&] {
             return registry.RegQueryValueExW(notifyOnly, L"Present", nullptr, &type, data, &size);
         },
         ERROR_ACCESS_DENIED},
        {"no set right",
         [&] { return registry.RegSetValueExW(query, L"Present", 0, REG_DWORD, data, 4); },
         ERROR_ACCESS_DENIED},
        {"no notify right",
         [&] {
             return registry.RegNotifyChangeKeyValue(query, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                                     nullptr, FALSE);
         },
         ERROR_ACCESS_DENIED},
        {"reserved given",
         [&] { return registry.RegQueryValueExW(query, L"Present", &size, &type, data, &size); },
         ERROR_INVALID_PARAMETER},
        {"data without size",
         [&] {
             return registry.RegQueryValueExW(query, L"Present", nullptr, &type, data, nullptr);
         },
         ERROR_INVALID_PARAMETER},
        {"unknown handle",
         [&] {
             return registry.RegQueryValueExW(reinterpret_cast<HKEY>(0x5678), L"Present", nullptr,
                                              &type, data, &size);
         },
         ERROR_INVALID_HANDLE},
        {"leading backslash",
         [&] {
             return registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"\\SOFTWARE", 0, KEY_READ,
                                           &untouched);
         },
         ERROR_BAD_PATHNAME},
        {"empty name in path",
         [&] {
             return registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\\\Corvane", 0, KEY_READ,
                                           &untouched);
         },
         ERROR_BAD_PATHNAME},
        {"delete without set right",
         [&] { return registry.RegDeleteValueW(notifyOnly, L"Absent"); }, ERROR_ACCESS_DENIED},
        {"delete key with subkeys",
         [&] { return registry.RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane"); },
         ERROR_ACCESS_DENIED},
        {"delete a root", [&] { return registry.RegDeleteKeyW(HKEY_LOCAL_MACHINE, L""); },
         ERROR_ACCESS_DENIED},
        {"delete missing key",
         [&] { return registry.RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Nope"); },
         ERROR_FILE_NOT_FOUND},
        {"close an unknown handle", [&] { return registry.RegCloseKey(untouched); },
         ERROR_INVALID_HANDLE},
        {"async without event",
         [&] {
             return registry.RegNotifyChangeKeyValue(notifyOnly, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                                     nullptr, TRUE);
         },
         ERROR_INVALID_PARAMETER},
        {"no filter",
         [&] { return registry.RegNotifyChangeKeyValue(notifyOnly, TRUE, 0, nullptr, FALSE); },
         ERROR_INVALID_PARAMETER},
        {"unknown filter bit",
         [&] { return registry.RegNotifyChangeKeyValue(notifyOnly, TRUE, 0x104, nullptr, FALSE); },
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.label;
        EXPECT_EQ(world.GetKernel().GetLastError(), 12345u) << c.label;
    }
    EXPECT_EQ(untouched, reinterpret_cast<HKEY>(0x1234));
    EXPECT_EQ(type, 99u);
    EXPECT_EQ(value, 77u);
    EXPECT_EQ(size, sizeof value);
    EXPECT_EQ(registry.GetDword(HKEY_LOCAL_MACHINE, kAmb, L"Present"), 7u);
    EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane"));
    EXPECT_EQ(registry.PendingNotifyCount(), 0u);
    EXPECT_EQ(registry.RegCloseKey(query), ERROR_SUCCESS);
    EXPECT_EQ(registry.RegCloseKey(notifyOnly), ERROR_SUCCESS);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(RegistrySim, CreateReportsDispositionAndStopsAtTheDepthLimit) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(registry.RegCreateKeyExW(HKEY_CLASSES_ROOT, L"AppID\\{45A1373F}\\", 0, nullptr, 0,
                                       KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
    ASSERT_EQ(registry.RegCreateKeyExW(HKEY_CLASSES_ROOT, L"appid\\{45a1373f}", 0, nullptr, 0,
                                       KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);

    std::wstring deep;
    for (std::size_t i = 0; i < SimRegistry::kMaxDepth; ++i) deep += L"k\\";
    EXPECT_EQ(registry.CreateKey(HKEY_CURRENT_USER, deep), ERROR_SUCCESS);
    EXPECT_EQ(registry.CreateKey(HKEY_CURRENT_USER, deep + L"k"), ERROR_INVALID_PARAMETER);
    HKEY leaf = Open(HKEY_CURRENT_USER, deep.c_str(), KEY_ALL_ACCESS);
    EXPECT_EQ(
        registry.RegCreateKeyExW(leaf, L"k", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(registry.RegCloseKey(leaf), ERROR_SUCCESS);
    EXPECT_EQ(registry.DeleteTree(HKEY_CURRENT_USER, L"k"), ERROR_SUCCESS);
    EXPECT_FALSE(registry.KeyExists(HKEY_CURRENT_USER, L"k"));
}

TEST_F(RegistrySim, HandleOfADeletedKeyFailsAndANewKeyOfTheSameNameIsAnother) {
    ASSERT_EQ(
        registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", L"Mode", 1),
        ERROR_SUCCESS);
    HKEY amb = Open(HKEY_LOCAL_MACHINE, kAmb, KEY_ALL_ACCESS);
    HKEY touch = Open(amb, L"Touch", KEY_ALL_ACCESS);
    EXPECT_EQ(registry.RegDeleteKeyW(amb, L"touch"), ERROR_SUCCESS);
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(registry.RegQueryValueExW(touch, L"Mode", nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(&value), &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(
        registry.RegSetValueExW(touch, L"Mode", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4),
        ERROR_KEY_DELETED);
    EXPECT_EQ(
        registry.RegNotifyChangeKeyValue(touch, TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE),
        ERROR_KEY_DELETED);
    HKEY sub = nullptr;
    EXPECT_EQ(registry.RegOpenKeyExW(touch, L"", 0, KEY_READ, &sub), ERROR_KEY_DELETED);

    ASSERT_EQ(
        registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", L"Other", 2),
        ERROR_SUCCESS);
    EXPECT_EQ(registry.RegQueryValueExW(touch, L"Other", nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(&value), &size),
              ERROR_KEY_DELETED);
    EXPECT_FALSE(
        registry.GetValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", L"Mode"));
    EXPECT_EQ(registry.RegCloseKey(touch), ERROR_SUCCESS);
    // An empty subkey names the key itself; once deleted, its handle is of a deleted key.
    HKEY again = Open(amb, L"Touch", KEY_ALL_ACCESS);
    EXPECT_EQ(registry.RegDeleteKeyW(again, L""), ERROR_SUCCESS);
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch"));
    EXPECT_EQ(registry.RegDeleteValueW(again, L"Other"), ERROR_KEY_DELETED);
    for (HKEY k : {again, amb}) EXPECT_EQ(registry.RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(RegistrySim, KeyHandlesStayClearOfKernelHandles) {
    HANDLE event = world.GetKernel().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HKEY key = Open(HKEY_LOCAL_MACHINE, L"", KEY_READ);
    EXPECT_NE(reinterpret_cast<HANDLE>(key), event);
    DWORD size = 0;
    EXPECT_EQ(registry.RegQueryValueExW(reinterpret_cast<HKEY>(event), L"x", nullptr, nullptr,
                                        nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_FALSE(world.GetKernel().CloseHandle(reinterpret_cast<HANDLE>(key)));
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
    // The predefined roots are always open, and closing them is harmless.
    EXPECT_EQ(registry.RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_TRUE(world.GetKernel().CloseHandle(event));
}

const char* const kEveryOperation[] = {
    "RegOpenKeyExW", "RegCreateKeyExW", "RegQueryValueExW", "RegNotifyChangeKeyValue",
    "RegCloseKey",   "RegSetValueExW",  "RegDeleteValueW",  "RegDeleteKeyW",
};

TEST_F(RegistrySim, EveryOperationFailsOnDemandWithoutEffect) {
    ASSERT_EQ(registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Leaf", L"v", 5), ERROR_SUCCESS);
    for (const char* operation : kEveryOperation) {
        HKEY key = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE", KEY_ALL_ACCESS);
        HKEY made = nullptr;
        DWORD value = 9, size = sizeof value;
        const std::size_t keysBefore = registry.OpenKeyCount();
        Fail(operation, ERROR_CANTREAD);
        LSTATUS status = ERROR_SUCCESS;
        const std::string op = operation;
        if (op == "RegOpenKeyExW") {
            status = registry.RegOpenKeyExW(key, L"Leaf", 0, KEY_READ, &made);
        } else if (op == "RegCreateKeyExW") {
            status = registry.RegCreateKeyExW(key, L"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                              &made, nullptr);
        } else if (op == "RegQueryValueExW") {
            HKEY leaf = Open(key, L"Leaf", KEY_READ);
            status = registry.RegQueryValueExW(leaf, L"v", nullptr, nullptr,
                                               reinterpret_cast<BYTE*>(&value), &size);
            registry.RegCloseKey(leaf);
        } else if (op == "RegNotifyChangeKeyValue") {
            // A failed blocking wait returns at once instead of blocking the test.
            status = registry.RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                                      nullptr, FALSE);
        } else if (op == "RegCloseKey") {
            status = registry.RegCloseKey(key);
            EXPECT_EQ(registry.OpenKeyCount(), keysBefore);
        } else if (op == "RegSetValueExW") {
            status = registry.RegSetValueExW(key, L"New", 0, REG_DWORD,
                                             reinterpret_cast<BYTE*>(&value), 4);
        } else if (op == "RegDeleteValueW") {
            HKEY leaf = Open(key, L"Leaf", KEY_ALL_ACCESS);
            status = registry.RegDeleteValueW(leaf, L"v");
            registry.RegCloseKey(leaf);
        } else if (op == "RegDeleteKeyW") {
            status = registry.RegDeleteKeyW(key, L"Leaf");
        }
        EXPECT_EQ(status, static_cast<LSTATUS>(ERROR_CANTREAD)) << operation;
        EXPECT_EQ(made, nullptr) << operation;
        EXPECT_EQ(value, 9u) << operation;
        EXPECT_EQ(registry.GetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Leaf", L"v"), 5u) << operation;
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, L"SOFTWARE\\New")) << operation;
        EXPECT_FALSE(registry.GetValue(HKEY_LOCAL_MACHINE, L"SOFTWARE", L"New")) << operation;
        EXPECT_EQ(registry.PendingNotifyCount(), 0u) << operation;
        EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS) << operation;
    }
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

// ---- change waits ----

struct WaitCase {
    const char* label;
    BOOL subtree;
    DWORD filter;
    std::function<void(SimRegistry&)> change;
    bool ends;
};

const WaitCase kWaitCases[] = {
    {"value set in a subkey", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) {
         r.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", L"Mode", 2);
     },
     true},
    {"value set two levels down", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) {
         r.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch\\Deep", L"x", 1);
     },
     true},
    {"value deleted at the key", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) { r.DeleteValue(HKEY_LOCAL_MACHINE, kAmb, L"MonitorSettings"); }, true},
    {"value set at the key, subtree not watched", FALSE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) { r.SetDword(HKEY_LOCAL_MACHINE, kAmb, L"MonitorSettings", 0); }, true},
    {"value set in a subkey, subtree not watched", FALSE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) {
         r.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", L"Mode", 2);
     },
     false},
    {"value set in a sibling", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) {
         r.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMBX", L"Mode", 2);
     },
     false},
    {"value set in the parent", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) { r.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt", L"v", 2); },
     false},
    {"same path under another root", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) { r.SetDword(HKEY_CURRENT_USER, kAmb, L"MonitorSettings", 2); }, false},
    {"deleting a missing value", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) { r.DeleteValue(HKEY_LOCAL_MACHINE, kAmb, L"Absent"); }, false},
    {"subkey created, values watched", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
     [](SimRegistry& r) { r.CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\New"); },
     false},
    {"subkey created, names watched", TRUE, REG_NOTIFY_CHANGE_NAME,
     [](SimRegistry& r) {
         r.CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch\\New");
     },
     true},
    {"existing subkey created again", TRUE, REG_NOTIFY_CHANGE_NAME,
     [](SimRegistry& r) {
         r.CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch");
     },
     false},
    {"subkey deleted, names watched", TRUE, REG_NOTIFY_CHANGE_NAME,
     [](SimRegistry& r) {
         r.DeleteTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch");
     },
     true},
    {"value set, names watched", TRUE, REG_NOTIFY_CHANGE_NAME,
     [](SimRegistry& r) { r.SetDword(HKEY_LOCAL_MACHINE, kAmb, L"MonitorSettings", 0); }, false},
};

class RegistrySimWait : public RegistrySim, public ::testing::WithParamInterface<WaitCase> {
protected:
    void SetUp() override {
        registry.SetDword(HKEY_LOCAL_MACHINE, kAmb, L"MonitorSettings", 1);
        registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", L"Mode", 1);
    }
};

TEST_P(RegistrySimWait, BlockingWaitEndsOnlyOnAChangeItWatches) {
    const WaitCase& c = GetParam();
    HKEY key = Open(HKEY_LOCAL_MACHINE, kAmb, KEY_NOTIFY);
    LSTATUS status = 0xFFFF;
    bool woke = false;
    Thread waiter(world.GetKernel(), [&] {
        status = registry.RegNotifyChangeKeyValue(key, c.subtree, c.filter, nullptr, FALSE);
        woke = true;
    });
    world.RunUntilIdle();
    ASSERT_FALSE(woke);
    ASSERT_EQ(registry.PendingNotifyCount(), 1u);
    c.change(registry);
    world.RunUntilIdle();
    EXPECT_EQ(woke, c.ends);
    if (woke) {
        EXPECT_EQ(status, ERROR_SUCCESS);
    }
    // Closing the key from this thread ends a wait that is still blocked, with success.
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
    world.RunUntilIdle();
    waiter.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(status, ERROR_SUCCESS);
    EXPECT_EQ(registry.PendingNotifyCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Changes, RegistrySimWait, ::testing::ValuesIn(kWaitCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.label; *p; ++p) {
                                 if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                             }
                             return name;
                         });

TEST_F(RegistrySim, WaitEndsWithKeyDeletedWhenTheWatchedKeyGoes) {
    registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", L"Mode", 1);
    HKEY touch = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", KEY_NOTIFY);
    HKEY parentWatch = Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt", KEY_NOTIFY);
    LSTATUS touchStatus = 0xFFFF, parentStatus = 0xFFFF;
    Thread a(world.GetKernel(), [&] {
        touchStatus = registry.RegNotifyChangeKeyValue(touch, TRUE, REG_NOTIFY_CHANGE_LAST_SET,
                                                       nullptr, FALSE);
    });
    Thread b(world.GetKernel(), [&] {
        parentStatus = registry.RegNotifyChangeKeyValue(parentWatch, TRUE,
                                                        REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE);
    });
    world.RunUntilIdle();
    ASSERT_EQ(registry.PendingNotifyCount(), 2u);
    // Removing AMB takes Touch with it; the watch above sees no value change, only a name change.
    registry.DeleteTree(HKEY_LOCAL_MACHINE, kAmb);
    world.RunUntilIdle();
    a.join();
    EXPECT_EQ(touchStatus, ERROR_KEY_DELETED);
    EXPECT_EQ(parentStatus, 0xFFFF);
    EXPECT_EQ(registry.RegCloseKey(parentWatch), ERROR_SUCCESS);
    world.RunUntilIdle();
    b.join();
    EXPECT_EQ(parentStatus, ERROR_SUCCESS);
    EXPECT_EQ(registry.RegCloseKey(touch), ERROR_SUCCESS);
}

TEST_F(RegistrySim, AChangeByAnotherParticipantEndsTheWaitInTurnOrder) {
    registry.CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch");
    std::vector<std::string> journal;
    Thread watcher(world.GetKernel(), [&] {
        HKEY key = nullptr;
        registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAmb, 0, KEY_NOTIFY, &key);
        journal.push_back("watching");
        const LSTATUS status =
            registry.RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE);
        journal.push_back("woke " + std::to_string(status) + " at " + std::to_string(world.Now()));
        registry.RegCloseKey(key);
    });
    Thread writer(world.GetKernel(), [&] {
        world.GetKernel().Sleep(5000);
        HKEY key = nullptr;
        registry.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch", 0,
                               KEY_SET_VALUE, &key);
        const DWORD mode = 2;
        registry.RegSetValueExW(key, L"Mode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&mode),
                                sizeof mode);
        journal.push_back("written");
        registry.RegCloseKey(key);
    });
    world.RunUntilIdle();
    EXPECT_EQ(journal, std::vector<std::string>{"watching"});
    world.Advance(5000);
    watcher.join();
    writer.join();
    EXPECT_EQ(journal, (std::vector<std::string>{"watching", "written", "woke 0 at 5000"}));
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(RegistrySim, AsynchronousWaitSetsItsEventOncePerArming) {
    auto& kernel = world.GetKernel();
    registry.CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch");
    HANDLE event = kernel.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HKEY key = Open(HKEY_LOCAL_MACHINE, kAmb, KEY_NOTIFY);
    auto signaled = [&] { return kernel.WaitForMultipleObjects(1, &event, FALSE, 0) == 0; };
    auto arm = [&] {
        return registry.RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
    };
    const wchar_t* touch = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch";

    ASSERT_EQ(arm(), ERROR_SUCCESS);  // returns at once
    EXPECT_FALSE(signaled());
    registry.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\Other", L"v", 1);
    EXPECT_FALSE(signaled());
    registry.SetDword(HKEY_LOCAL_MACHINE, touch, L"Mode", 1);
    EXPECT_TRUE(signaled());
    registry.SetDword(HKEY_LOCAL_MACHINE, touch, L"Mode", 2);  // not armed any more
    EXPECT_FALSE(signaled());

    ASSERT_EQ(arm(), ERROR_SUCCESS);
    registry.SetDword(HKEY_LOCAL_MACHINE, touch, L"Mode", 3);
    EXPECT_TRUE(signaled());

    // Closing the key sets the event of a wait still armed, and closing the event first is safe.
    ASSERT_EQ(arm(), ERROR_SUCCESS);
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(signaled());
    key = Open(HKEY_LOCAL_MACHINE, kAmb, KEY_NOTIFY);
    ASSERT_EQ(arm(), ERROR_SUCCESS);
    EXPECT_TRUE(kernel.CloseHandle(event));
    registry.SetDword(HKEY_LOCAL_MACHINE, touch, L"Mode", 4);
    EXPECT_EQ(registry.PendingNotifyCount(), 0u);
    EXPECT_EQ(registry.RegNotifyChangeKeyValue(key, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(registry.RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(kernel.OpenHandleCount(), 0u);
}

}  // namespace
