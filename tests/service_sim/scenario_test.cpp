// The scenario parser where a timeline cannot show what it made of a line. Every command form and
// every bad line's message are in the golden timeline "interactive", whole files in "crlf-bom",
// "empty" and the "bad-" timelines; any bytes at all are the scenario fuzzer's.
#include "scenario/scenario.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvo::host {
namespace {

struct GoodLine {
    std::string line;
    Action expected;
};

void PrintTo(const GoodLine& c, std::ostream* out) { *out << c.line; }

class GoodLineTest : public testing::TestWithParam<GoodLine> {};

TEST_P(GoodLineTest, GivesTheCommand) {
    std::string error = "untouched";
    const std::optional<Command> command = ParseScenarioLine(GetParam().line, 7, 3, &error);
    ASSERT_TRUE(command.has_value()) << error;
    EXPECT_EQ(command->line, 7);
    EXPECT_EQ(command->action, GetParam().expected);
    EXPECT_EQ(error, "");
}

INSTANTIATE_TEST_SUITE_P(
    Forms, GoodLineTest,
    testing::Values(
        GoodLine{"wait 4294967295", Wait{4294967295u}},
        GoodLine{"setting  Two Words\tHere  # why", SettingChange{L"Two Words\tHere"}},
        GoodLine{"setting Gr\xC3\xBC\xC3\x9F"
                 "e \xE2\x82\xAC\r",
                 SettingChange{L"Gr\u00FC\u00DFe \u20AC"}},
        GoodLine{"power oem 0x1234", PowerEvent{PBT_APMOEMEVENT, 0x1234}},
        GoodLine{
            "device REMOVAL {4d1e55b2-f16f-11cf-88cb-001111000030}",
            DeviceInterfaceChange{
                DBT_DEVICEREMOVECOMPLETE,
                {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}}}},
        GoodLine{"gfxmode", DeviceInterfaceChange{DBT_DEVICEARRIVAL, kGuidGfxModeSetInterface}},
        GoodLine{"registry set Touch\\Sub VID 0xFFFFFFFF",
                 RegistrySet{L"Touch\\Sub", L"VID", 0xFFFFFFFFu}},
        GoodLine{"registry delete . MonitorSettings", RegistryDelete{L"", L"MonitorSettings"}},
        GoodLine{"post 18446744073709551615", PostMonitorEvent{~WPARAM{0}}}));

}  // namespace
}  // namespace kelvo::host
