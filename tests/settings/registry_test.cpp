#include "settings/registry.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <ostream>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "rig/sim_rig.h"

namespace {

using platform::sim::SimRegistry;
using Lines = std::vector<std::wstring>;
const HKEY kMachine = HKEY_LOCAL_MACHINE;
const std::wstring kRoot = contract::kConfigurationKey;
const std::wstring kDisplay = contract::kDisplayKey;
const std::wstring kTouch = contract::kTouchKey;

TEST(RegKey, OpenReplacesTheHeldKeyAndKeepsItWhenOpeningFails) {
    rig::SimRig rig;
    SimRegistry& registry = rig.world.GetRegistry();
    registry.SetDword(kMachine, kTouch, L"VID", 1);
    RegKey key(registry);
    ASSERT_EQ(key.Open(kMachine, kRoot.c_str(), KEY_QUERY_VALUE), 0);
    const HKEY first = key.Handle();
    ASSERT_EQ(key.Open(kMachine, kTouch.c_str(), KEY_QUERY_VALUE), 0);
    const HKEY second = key.Handle();
    EXPECT_NE(second, first);
    EXPECT_EQ(registry.OpenKeyCount(), 1u);  // the first was closed
    EXPECT_EQ(key.Open(kMachine, L"SOFTWARE\\Missing", KEY_QUERY_VALUE), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.Handle(), second);
    EXPECT_EQ(key.Close(), 0);
    EXPECT_EQ(key.Handle(), nullptr);
    EXPECT_EQ(key.Close(), 0);
    EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

// A read of "Mode" under the Display key: what is stored there, a fault planned, then the result,
// the value after a preset of 0xA5A5A5A5 and the error lines.
struct ReadCase {
    const char* label;
    std::wstring key;
    DWORD type;
    BYTE size;
    const char* fault;
    DWORD error;
    HRESULT expected;
    DWORD value;
    Lines errors;
};
void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.label; }
class ReadRegDwordTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadRegDwordTest, GivesTheStatusTheValueAndOneFailureLine) {
    const ReadCase& c = GetParam();
    rig::SimRig rig;
    const BYTE two[8] = {2};
    rig.world.GetRegistry().SetValue(kMachine, c.key, L"Mode", c.type, {two, two + c.size});
    if (c.fault) rig.Fail(c.fault, c.error);
    DWORD value = 0xA5A5A5A5;
    EXPECT_EQ(ReadRegDword(rig.world.GetRegistry(), kMachine, kDisplay.c_str(), L"Mode", &value),
              c.expected);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(rig.Lines(TRACE_LEVEL_ERROR), c.errors);
    EXPECT_EQ(rig.world.GetRegistry().OpenKeyCount(), 0u);
}

// 4 bytes of another type are read but refused; 8 bytes do not fit.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ReadRegDwordTest, testing::Values(
    ReadCase{"Dword", kDisplay, REG_DWORD, 4, nullptr, 0, S_OK, 2, {}},
    ReadCase{"MissingKey", kTouch, REG_DWORD, 4, nullptr, 0, HRESULT(0x80070002), 0xA5A5A5A5,
             {L"HRESULT: 0x80070002 @ LINE #### [registry.cpp]"}},
    ReadCase{"Binary", kDisplay, REG_BINARY, 4, nullptr, 0, E_FAIL, 2, {}},
    ReadCase{"Qword", kDisplay, REG_QWORD, 8, nullptr, 0, HRESULT(0x800700EA), 0xA5A5A5A5,
             {L"HRESULT: 0x800700ea @ LINE #### [registry.cpp]"}},
    ReadCase{"OpenDenied", kDisplay, REG_DWORD, 4, "RegOpenKeyExW", ERROR_ACCESS_DENIED, HRESULT(0x80070005),
             0xA5A5A5A5, {L"HRESULT: 0x80070005 @ LINE #### [registry.cpp]"}},
    ReadCase{"QueryFails", kDisplay, REG_DWORD, 4, "RegQueryValueExW", ERROR_CANTREAD, HRESULT(0x800703F4),
             0xA5A5A5A5, {L"HRESULT: 0x800703f4 @ LINE #### [registry.cpp]"}}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

}  // namespace
