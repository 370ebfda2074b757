#include "settings/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "settings_rig.h"

namespace {

using platform::sim::SimRegistry;
using settings_test::Entry;
using settings_test::kDisplay;
using settings_test::kRoot;
using settings_test::kTouch;
using settings_test::Rig;

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);
constexpr HRESULT kDenied = static_cast<HRESULT>(0x80070005);
const HKEY kMachine = HKEY_LOCAL_MACHINE;

TEST(RegKey, OpenReplacesTheHeldKeyAndKeepsItWhenOpeningFails) {
    Rig rig;
    rig.Store({kTouch, L"VID", 1});
    RegKey key(rig.registry);
    ASSERT_EQ(key.Open(kMachine, kRoot, KEY_QUERY_VALUE | KEY_WOW64_32KEY), 0);
    const HKEY first = key.Handle();
    EXPECT_EQ(key.ViewFlags(), KEY_WOW64_32KEY);
    ASSERT_EQ(key.Open(kMachine, kTouch, KEY_QUERY_VALUE | KEY_WOW64_64KEY), 0);
    const HKEY second = key.Handle();
    EXPECT_NE(second, first);
    EXPECT_EQ(rig.registry.OpenKeyCount(), 1u);  // the first was closed

    EXPECT_EQ(key.Open(kMachine, L"SOFTWARE\\Missing", KEY_QUERY_VALUE),
              static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(key.Handle(), second);
    EXPECT_EQ(key.ViewFlags(), KEY_WOW64_64KEY);
    EXPECT_EQ(key.Close(), 0);
    EXPECT_EQ(key.Handle(), nullptr);
    EXPECT_EQ(key.ViewFlags(), 0u);
    EXPECT_EQ(key.Close(), 0);
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
}

struct ReadCase {
    const char* label;
    Entry stored;       // under the Display key
    const char* fault;  // operation to fail, or null
    DWORD faultError;
    HRESULT expected;
    DWORD value;  // after a preset of kPreset
    bool logged;
};
void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.label; }

constexpr DWORD kPreset = 0xA5A5A5A5;

class ReadRegDwordTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadRegDwordTest, GivesTheStatusTheValueAndOneFailureLine) {
    const ReadCase& c = GetParam();
    Rig rig;
    rig.Store(c.stored);
    if (c.fault) rig.Fail(c.fault, c.faultError);
    DWORD value = kPreset;
    EXPECT_EQ(ReadRegDword(rig.registry, kMachine, kDisplay, L"Mode", &value), c.expected);
    EXPECT_EQ(value, c.value);
    const auto errors = rig.Lines(TRACE_LEVEL_ERROR);
    EXPECT_EQ(errors.size(), c.logged ? 1u : 0u);
    for (const auto& line : errors) {
        EXPECT_TRUE(settings_test::IsFailureLine(line, c.expected, L"registry.cpp"));
    }
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
}

// 4 bytes of another type are read but refused; 8 bytes do not fit.
INSTANTIATE_TEST_SUITE_P(
    Cases, ReadRegDwordTest,
    testing::Values(
        ReadCase{"Dword", {kDisplay, L"Mode", 2}, nullptr, 0, S_OK, 2, false},
        ReadCase{"MissingKey", {kTouch, L"Mode", 2}, nullptr, 0, kNotFound, kPreset, true},
        ReadCase{"MissingValue", {kDisplay, L"X", 2}, nullptr, 0, kNotFound, kPreset, true},
        ReadCase{"Binary", {kDisplay, L"Mode", 0x35, REG_BINARY}, nullptr, 0, E_FAIL, 0x35, false},
        ReadCase{"Qword",
                 {kDisplay, L"Mode", 2, REG_QWORD},
                 nullptr,
                 0,
                 static_cast<HRESULT>(0x800700EA),
                 kPreset,
                 true},
        ReadCase{"OpenDenied",
                 {kDisplay, L"Mode", 2},
                 "RegOpenKeyExW",
                 ERROR_ACCESS_DENIED,
                 kDenied,
                 kPreset,
                 true},
        ReadCase{"QueryFails",
                 {kDisplay, L"Mode", 2},
                 "RegQueryValueExW",
                 ERROR_CANTREAD,
                 static_cast<HRESULT>(0x800703F4),
                 kPreset,
                 true}),
    [](const auto& info) { return std::string(info.param.label); });

// Waits for changes in a loop on a thread of its own, recording each result; after each change it
// runs onChange, which may block.
class Waiter {
public:
    explicit Waiter(
        Rig& rig, std::function<void()> onChange = [] {})
        : _rig(rig), _key(rig.registry) {
        _thread = platform::Thread(rig.Kernel(), [this, onChange] {
            HRESULT hr = S_OK;
            while (hr == S_OK) {
                hr = WaitForRegistryChange(_rig.Kernel(), _key, kMachine, _change, _stop);
                results.push_back(hr);
                if (hr == S_OK) onChange();
            }
        });
    }
    ~Waiter() {
        _rig.Kernel().SetEvent(_stop);
        _thread.join();
        _rig.Kernel().CloseHandle(_change);
        _rig.Kernel().CloseHandle(_stop);
    }

    std::vector<HRESULT> results;

private:
    Rig& _rig;
    RegKey _key;
    HANDLE _change = _rig.Kernel().CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE _stop = _rig.Kernel().CreateEventW(nullptr, TRUE, FALSE, nullptr);
    platform::Thread _thread;
};

struct ChangeCase {
    const char* label;
    std::function<void(SimRegistry&)> change;
    bool wakes;
};
void PrintTo(const ChangeCase& c, std::ostream* out) { *out << c.label; }

class WaitForRegistryChangeTest : public testing::TestWithParam<ChangeCase> {};

TEST_P(WaitForRegistryChangeTest, EndsForValueChangesUnderTheRootOnly) {
    Rig rig;
    rig.Store({kDisplay, L"Mode", 2});
    Waiter waiter(rig);
    rig.world.RunUntilIdle();
    ASSERT_EQ(rig.registry.PendingNotifyCount(), 1u);
    GetParam().change(rig.registry);
    rig.world.RunUntilIdle();
    EXPECT_EQ(waiter.results, std::vector<HRESULT>(GetParam().wakes ? 1 : 0, S_OK));
    EXPECT_TRUE(rig.Lines(TRACE_LEVEL_ERROR).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitForRegistryChangeTest,
    testing::Values(
        ChangeCase{"SetInTheRoot", [](auto& r) { r.SetDword(kMachine, kRoot, L"A", 1); }, true},
        ChangeCase{"AddedInASubkey", [](auto& r) { r.SetDword(kMachine, kTouch, L"VID", 5); },
                   true},
        ChangeCase{"DeletedInASubkey", [](auto& r) { r.DeleteValue(kMachine, kDisplay, L"Mode"); },
                   true},
        ChangeCase{"SetTwoKeysDown",
                   [](auto& r) { r.SetDword(kMachine, std::wstring(kRoot) + L"\\A\\B", L"C", 1); },
                   true},
        ChangeCase{"EmptySubkeyCreated",
                   [](auto& r) { r.CreateKey(kMachine, std::wstring(kRoot) + L"\\Icons"); }, false},
        ChangeCase{"SetAboveTheRoot",
                   [](auto& r) { r.SetDword(kMachine, L"SOFTWARE\\Corvane", L"FactoryMode", 1); },
                   false}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(WaitForRegistryChange, ARootDeletedAndCreatedAgainIsWatchedAfresh) {
    Rig rig;
    rig.Store({kTouch, L"VID", 1});
    Waiter waiter(rig, [&] {
        // Before the next wait begins.
        if (waiter.results.size() == 1) rig.registry.CreateKey(kMachine, kRoot);
    });
    rig.world.RunUntilIdle();
    rig.registry.DeleteTree(kMachine, kRoot);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.registry.PendingNotifyCount(), 1u);
    rig.registry.SetDword(kMachine, kTouch, L"PID", 7);
    rig.world.RunUntilIdle();
    EXPECT_EQ(waiter.results, (std::vector<HRESULT>{S_OK, S_OK}));
}

struct FailureCase {
    const char* label;
    const char* fault;
    DWORD faultError;
    HRESULT expected;
    std::size_t keysOpen;  // after the failure: only a key that is armed stays open
};
void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.label; }

class WaitFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(WaitFailureTest, IsReturnedAndLoggedOnce) {
    const FailureCase& c = GetParam();
    Rig rig;
    if (c.fault) {
        rig.Store({kTouch, L"VID", 1});
        rig.Fail(c.fault, c.faultError);
    }
    Waiter waiter(rig);
    rig.world.RunUntilIdle();
    EXPECT_EQ(waiter.results, std::vector<HRESULT>{c.expected});
    const auto errors = rig.Lines(TRACE_LEVEL_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(settings_test::IsFailureLine(errors[0], c.expected, L"registry.cpp"));
    EXPECT_EQ(rig.registry.OpenKeyCount(), c.keysOpen);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WaitFailureTest,
    testing::Values(FailureCase{"RootMissing", nullptr, 0, kNotFound, 0},
                    FailureCase{"OpenDenied", "RegOpenKeyExW", ERROR_ACCESS_DENIED, kDenied, 0},
                    FailureCase{"NotifyRefused", "RegNotifyChangeKeyValue", ERROR_INVALID_PARAMETER,
                                static_cast<HRESULT>(0x80070057), 0},
                    FailureCase{"WaitFails", "WaitForMultipleObjects", ERROR_INVALID_HANDLE,
                                static_cast<HRESULT>(0x80070006), 1}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
