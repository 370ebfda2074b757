// The translation of messages and button reports into events, row by row over the pure
// functions: each row's call is rendered as text and compared with the row's expectation.
#include "events/event_translation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace event_translation;
using Bytes = std::vector<unsigned char>;

std::string Show(const std::optional<Raised>& raised) {
    if (!raised) return "none";
    std::string text = "raise " + std::to_string(raised->type);
    if (raised->data) text += " data " + std::to_string(*raised->data);
    return text;
}
std::string Show(const PowerBroadcast& b) {
    return std::string(b.name ? "named " : "unnamed ") + Show(b.raised);
}
std::string Show(bool value) { return value ? "true" : "false"; }
std::string Show(const std::optional<std::size_t>& n) { return n ? std::to_string(*n) : "none"; }
std::string Show(const std::optional<ButtonPress>& press) {
    return press ? "press " + std::to_string(press->type) : "none";
}

constexpr GUID kDisplay = GUID_CONSOLE_DISPLAY_STATE;
constexpr GUID kAway = GUID_SYSTEM_AWAYMODE;
constexpr GUID kHidInterface = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// A power setting record: the setting, the length it states, its value; cut to size bytes.
Bytes Setting(const GUID& setting, DWORD length, DWORD value, std::size_t size = 24) {
    Bytes record(24);
    std::memcpy(record.data(), &setting, sizeof setting);
    std::memcpy(record.data() + 16, &length, sizeof length);
    std::memcpy(record.data() + 20, &value, sizeof value);
    record.resize(size);
    return record;
}

struct Case {
    const char* name;
    std::function<std::string()> call;
    const char* expected;
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Case kCases[] = {
    {"PrivateEventKeepsType", [] { return Show(FromMonitorEvent(7, 0)); }, "raise 7 data 0"},
    {"PrivateEventLastType", [] { return Show(FromMonitorEvent(20, 3)); }, "raise 20 data 3"},
    {"PrivateEventPastLastIsRaw", [] { return Show(FromMonitorEvent(21, 0x102)); }, "raise 0 data 258"},
    {"Suspend", [] { return Show(FromPowerBroadcast(4, 9)); }, "named raise 8"},
    {"ResumeSuspendRaisesNothing", [] { return Show(FromPowerBroadcast(7, 0)); }, "named none"},
    {"OemEventCarriesLParam", [] { return Show(FromPowerBroadcast(11, 0x1122334455667788)); },
     "named raise 15 data 1234605616436508552"},
    {"UnknownBroadcastIsRawWParam", [] { return Show(FromPowerBroadcast(0x0A0B, 5)); },
     "unnamed raise 0 data 2571"},
    {"DisplayOn", [] { return Show(FromPowerSetting(Setting(kDisplay, 4, 1))); }, "raise 19"},
    {"DisplayDimmed", [] { return Show(FromPowerSetting(Setting(kDisplay, 4, 2))); }, "none"},
    {"AwaySeven", [] { return Show(FromPowerSetting(Setting(kAway, 4, 7))); }, "none"},
    {"EightDataBytes", [] { return Show(FromPowerSetting(Setting(kDisplay, 8, 1))); }, "none"},
    {"RecordCutShort", [] { return Show(FromPowerSetting(Setting(kDisplay, 4, 1, 23))); }, "none"},
    {"StatedLength", [] {
         const Bytes record = Setting(kDisplay, 0x0A0B0C0D, 0);
         return std::to_string(SettingDataLength(std::span<const unsigned char, 20>(record.data(), 20)));
     }, "168496141"},
    {"NameFirstCharacterAsItStands", [] { return Show(SettingNameCharacterMatches(0, L'c', L'C')); }, "false"},
    {"NameLaterCharacterAnyCase", [] { return Show(SettingNameCharacterMatches(3, L'V', L'v')); }, "true"},
    {"SlateMetricZeroIsTablet", [] { return Show(FromSlateMetric(0)); }, "raise 2"},
    {"SlateMetricNonZeroIsClamshell", [] { return Show(FromSlateMetric(5)); }, "raise 1"},
    {"ArrivalCarriesRecord", [] { return Show(CarriesDeviceRecord(0x8000)); }, "true"},
    {"RecordTooShortForInterface", [] { return Show(DeviceNameChars(27)); }, "none"},
    {"RecordNameHalfCharacterDropped", [] { return Show(DeviceNameChars(28 + 3 * sizeof(wchar_t) + 1)); }, "3"},
    {"RecordNameCut", [] { return Show(DeviceNameChars(100000)); }, "1023"},
    {"GfxModeSetInterface", [] { return Show(FromDeviceInterface(GUID_GFX_MODE_SET_INTERFACE)); }, "raise 20"},
    {"LockPress", [] { return Show(FromButtonReport(Bytes{0x18, 0x01})); }, "press 5"},
    {"ReleaseLatchPress", [] { return Show(FromButtonReport(Bytes{0x19, 0x01, 0xAA, 0x55})); }, "press 6"},
    {"TogglePress", [] { return Show(FromButtonReport(Bytes{0x1A, 0xFF})); }, "press 7"},
    {"ReportTooShort", [] { return Show(FromButtonReport(Bytes{0x18})); }, "none"},
};

class Translation : public testing::TestWithParam<Case> {};

TEST_P(Translation, GivesTheRowsResult) { EXPECT_EQ(GetParam().call(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Rows, Translation, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
