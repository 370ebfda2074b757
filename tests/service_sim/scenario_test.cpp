#include "service/sim/scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace kelvo::host {
namespace {

constexpr int kButtons = 3;

const GUID kHidGuid = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

struct GoodLine {
    std::string line;
    Action expected;
};

std::ostream& operator<<(std::ostream& out, const GoodLine& c) { return out << c.line; }

class GoodLineTest : public testing::TestWithParam<GoodLine> {};

TEST_P(GoodLineTest, GivesTheCommand) {
    std::string error = "untouched";
    const std::optional<Command> command = ParseScenarioLine(GetParam().line, 7, kButtons, &error);
    ASSERT_TRUE(command.has_value()) << error;
    EXPECT_EQ(command->line, 7);
    EXPECT_EQ(command->action, GetParam().expected);
    EXPECT_EQ(error, "");
}

const std::vector<GoodLine> kGoodLines = {
    {"wait 1000", Wait{1000}},
    {"wait 0x3E8", Wait{1000}},
    {"wait 0", Wait{0}},
    {"wait 4294967295", Wait{4294967295u}},
    {"  wait\t5   # five", Wait{5}},
    {"wait 5\r", Wait{5}},
    {"metric slate 0", SetMetric{SM_CONVERTIBLESLATEMODE, 0}},
    {"metric docked 1", SetMetric{SM_SYSTEMDOCKED, 1}},
    {"setting SystemDockMode", SettingChange{L"SystemDockMode"}},
    {"setting ConvertibleSlateMode\r", SettingChange{L"ConvertibleSlateMode"}},
    {"setting  Two Words\tHere  # why", SettingChange{L"Two Words\tHere"}},
    {"setting Gr\xC3\xBC\xC3\x9F"
     "e \xE2\x82\xAC",
     SettingChange{L"Gr\u00FC\u00DFe \u20AC"}},
    {"power suspend", PowerEvent{PBT_APMSUSPEND, 0}},
    {"power standby", PowerEvent{PBT_APMSTANDBY, 0}},
    {"power resumecritical", PowerEvent{PBT_APMRESUMECRITICAL, 0}},
    {"power resumesuspend", PowerEvent{PBT_APMRESUMESUSPEND, 0}},
    {"power resumestandby", PowerEvent{PBT_APMRESUMESTANDBY, 0}},
    {"power batterylow", PowerEvent{PBT_APMBATTERYLOW, 0}},
    {"power powerstatus", PowerEvent{PBT_APMPOWERSTATUSCHANGE, 0}},
    {"power resumeautomatic", PowerEvent{PBT_APMRESUMEAUTOMATIC, 0}},
    {"power oem 0x1234", PowerEvent{PBT_APMOEMEVENT, 0x1234}},
    {"power raw 77", PowerEvent{77, 0}},
    {"power raw 0xFFFFFFFF", PowerEvent{0xFFFFFFFFu, 0}},
    {"display off", PowerSettingChange{kGuidConsoleDisplayState, 0}},
    {"display on", PowerSettingChange{kGuidConsoleDisplayState, 1}},
    {"display dimmed", PowerSettingChange{kGuidConsoleDisplayState, 2}},
    {"awaymode enter", PowerSettingChange{kGuidSystemAwayMode, 1}},
    {"awaymode exit", PowerSettingChange{kGuidSystemAwayMode, 0}},
    {"device ARRIVAL {E6DFDC31-31D0-46AC-86AF-DA1EB05FC599}",
     DeviceInterfaceChange{DBT_DEVICEARRIVAL, kGuidGfxModeSetInterface}},
    {"device REMOVAL {4d1e55b2-f16f-11cf-88cb-001111000030}",
     DeviceInterfaceChange{DBT_DEVICEREMOVECOMPLETE, kHidGuid}},
    {"gfxmode", DeviceInterfaceChange{DBT_DEVICEARRIVAL, kGuidGfxModeSetInterface}},
    {"hotkey slate", PressHotKey{HotKey::Slate}},
    {"hotkey dock", PressHotKey{HotKey::Dock}},
    {"hotkey lock", PressHotKey{HotKey::Lock}},
    {"hotkey unlock", PressHotKey{HotKey::Unlock}},
    {"hotkey toggle", PressHotKey{HotKey::Toggle}},
    {"button 0 19 01", ButtonReport{0, {0x19, 0x01, 0x00, 0x00}}},
    {"button 2 1a 01 FF 7e", ButtonReport{2, {0x1A, 0x01, 0xFF, 0x7E}}},
    {"button 0x1 18", ButtonReport{1, {0x18, 0x00, 0x00, 0x00}}},
    {"registry set Display ViewPort_X 95", RegistrySet{L"Display", L"ViewPort_X", 95}},
    {"registry set . MonitorSettings 0x1", RegistrySet{L"", L"MonitorSettings", 1}},
    {"registry set Touch\\Sub VID 0xFFFFFFFF", RegistrySet{L"Touch\\Sub", L"VID", 0xFFFFFFFFu}},
    {"registry delete Touch VID", RegistryDelete{L"Touch", L"VID"}},
    {"registry delete . MonitorSettings", RegistryDelete{L"", L"MonitorSettings"}},
    {"post 21", PostMonitorEvent{21}},
    {"post 0x7", PostMonitorEvent{7}},
    {"post 18446744073709551615", PostMonitorEvent{~WPARAM{0}}},
    {"stop", Stop{}},
    {"stop # the end", Stop{}},
};

INSTANTIATE_TEST_SUITE_P(EveryForm, GoodLineTest, testing::ValuesIn(kGoodLines));

struct BadLine {
    std::string line;
    std::string error;
};

std::ostream& operator<<(std::ostream& out, const BadLine& c) { return out << c.line; }

class BadLineTest : public testing::TestWithParam<BadLine> {};

TEST_P(BadLineTest, NamesTheLineAndTheFault) {
    std::string error;
    EXPECT_FALSE(ParseScenarioLine(GetParam().line, 12, kButtons, &error).has_value());
    EXPECT_EQ(error, GetParam().error);
}

const std::string kPowerUsage =
    "power suspend|standby|resumecritical|resumesuspend|resumestandby|batterylow|powerstatus|"
    "resumeautomatic|oem CODE|raw VALUE";

const std::vector<BadLine> kBadLines = {
    {"frob", R"(line 12: unknown command "frob")"},
    {"Wait 10", R"(line 12: unknown command "Wait")"},
    {"\x01\x7F\xFF\"", R"(line 12: unknown command "\x01\x7f\xff\x22")"},
    {std::string(50, 'x'), "line 12: unknown command \"" + std::string(40, 'x') + "...\""},
    {"wait", "line 12: wait: missing MS (usage: wait MS)"},
    {"wait # soon", "line 12: wait: missing MS (usage: wait MS)"},
    {"wait abc", R"(line 12: wait: expected MS (a decimal or 0x number), got "abc")"},
    {"wait -5", R"(line 12: wait: expected MS (a decimal or 0x number), got "-5")"},
    {"wait 0x", R"(line 12: wait: expected MS (a decimal or 0x number), got "0x")"},
    {"wait 1.5", R"(line 12: wait: expected MS (a decimal or 0x number), got "1.5")"},
    {"wait 4294967296", R"(line 12: wait: MS "4294967296" is out of range 0..4294967295)"},
    {"wait 99999999999999999999999",
     R"(line 12: wait: MS "99999999999999999999999" is out of range 0..4294967295)"},
    {"wait 10 20", R"(line 12: wait: unexpected "20" (usage: wait MS))"},
    {"metric", "line 12: metric: missing slate|docked (usage: metric slate|docked 0|1)"},
    {"metric tilt 1", R"(line 12: metric: expected slate|docked, got "tilt")"},
    {"metric slate", "line 12: metric: missing 0|1 (usage: metric slate|docked 0|1)"},
    {"metric slate 2", R"(line 12: metric: expected 0|1, got "2")"},
    {"metric docked 1 0", R"(line 12: metric: unexpected "0" (usage: metric slate|docked 0|1))"},
    {"setting", "line 12: setting: missing NAME (usage: setting NAME)"},
    {"setting   # nothing", "line 12: setting: missing NAME (usage: setting NAME)"},
    {"setting \xFF\xFE", "line 12: setting: NAME is not valid UTF-8 text"},
    {"setting a\xC0\x80", "line 12: setting: NAME is not valid UTF-8 text"},
    {"setting \xED\xA0\x80", "line 12: setting: NAME is not valid UTF-8 text"},
    {"setting \xE2\x82", "line 12: setting: NAME is not valid UTF-8 text"},
    {std::string("setting a\0b", 11), "line 12: setting: NAME is not valid UTF-8 text"},
    {"power", "line 12: power: missing a power event type (usage: " + kPowerUsage + ")"},
    {"power hibernate", R"(line 12: power: expected a power event type, got "hibernate")"},
    {"power oem", "line 12: power: missing CODE (usage: " + kPowerUsage + ")"},
    {"power raw", "line 12: power: missing VALUE (usage: " + kPowerUsage + ")"},
    {"power raw 0x100000000",
     R"(line 12: power: VALUE "0x100000000" is out of range 0..4294967295)"},
    {"power suspend now", "line 12: power: unexpected \"now\" (usage: " + kPowerUsage + ")"},
    {"power oem 1 2", "line 12: power: unexpected \"2\" (usage: " + kPowerUsage + ")"},
    {"display bright", R"(line 12: display: expected off|on|dimmed, got "bright")"},
    {"display", "line 12: display: missing off|on|dimmed (usage: display off|on|dimmed)"},
    {"awaymode on", R"(line 12: awaymode: expected enter|exit, got "on")"},
    {"device ATTACH {E6DFDC31-31D0-46AC-86AF-DA1EB05FC599}",
     R"(line 12: device: expected ARRIVAL|REMOVAL, got "ATTACH")"},
    {"device arrival {E6DFDC31-31D0-46AC-86AF-DA1EB05FC599}",
     R"(line 12: device: expected ARRIVAL|REMOVAL, got "arrival")"},
    {"device ARRIVAL",
     "line 12: device: missing {CLASS-GUID} (usage: device ARRIVAL|REMOVAL {CLASS-GUID})"},
    {"device ARRIVAL E6DFDC31-31D0-46AC-86AF-DA1EB05FC599",
     "line 12: device: expected {CLASS-GUID} as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, got "
     "\"E6DFDC31-31D0-46AC-86AF-DA1EB05FC599\""},
    {"device ARRIVAL {E6DFDC31-31D0-46AC-86AF-DA1EB05FC59}",
     "line 12: device: expected {CLASS-GUID} as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, got "
     "\"{E6DFDC31-31D0-46AC-86AF-DA1EB05FC59}\""},
    {"device ARRIVAL {E6DFDC31_31D0-46AC-86AF-DA1EB05FC599}",
     "line 12: device: expected {CLASS-GUID} as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, got "
     "\"{E6DFDC31_31D0-46AC-86AF-DA1EB05FC599}\""},
    {"device ARRIVAL {G6DFDC31-31D0-46AC-86AF-DA1EB05FC599}",
     "line 12: device: expected {CLASS-GUID} as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, got "
     "\"{G6DFDC31-31D0-46AC-86AF-DA1EB05FC599}\""},
    {"device REMOVAL {E6DFDC31-31D0-46AC-86AF-DA1EB05FC599} x",
     R"(line 12: device: unexpected "x" (usage: device ARRIVAL|REMOVAL {CLASS-GUID}))"},
    {"gfxmode now", R"(line 12: gfxmode: unexpected "now" (usage: gfxmode))"},
    {"hotkey",
     "line 12: hotkey: missing slate|dock|lock|unlock|toggle (usage: hotkey "
     "slate|dock|lock|unlock|toggle)"},
    {"hotkey volume", R"(line 12: hotkey: expected slate|dock|lock|unlock|toggle, got "volume")"},
    {"button", "line 12: button: missing INDEX (usage: button INDEX BYTES...)"},
    {"button x 01", R"(line 12: button: expected INDEX (a decimal or 0x number), got "x")"},
    {"button 3 19 01", "line 12: button: no button device 3 (there are 3)"},
    {"button 99999999999999999999 01",
     R"(line 12: button: INDEX "99999999999999999999" is out of range 0..18446744073709551615)"},
    {"button 0", "line 12: button: missing BYTES (usage: button INDEX BYTES...)"},
    {"button 0 1 01", R"(line 12: button: expected a byte (two hex digits), got "1")"},
    {"button 0 0x19", R"(line 12: button: expected a byte (two hex digits), got "0x19")"},
    {"button 0 19 0g", R"(line 12: button: expected a byte (two hex digits), got "0g")"},
    {"button 0 01 02 03 04 05", "line 12: button: 5 bytes; a report holds at most 4"},
    {"registry",
     "line 12: registry: missing set|delete (usage: registry set KEY VALUE N | "
     "registry delete KEY VALUE)"},
    {"registry get Display X", R"(line 12: registry: expected set|delete, got "get")"},
    {"registry set",
     "line 12: registry: missing KEY (usage: registry set KEY VALUE N | "
     "registry delete KEY VALUE)"},
    {"registry set \\Display X 1",
     R"(line 12: registry: KEY "\Display" is not . or names separated by single backslashes)"},
    {"registry set Display\\ X 1",
     R"(line 12: registry: KEY "Display\" is not . or names separated by single backslashes)"},
    {"registry set Display\\\\Sub X 1",
     R"(line 12: registry: KEY "Display\\Sub" is not . or names separated by single backslashes)"},
    {"registry set Display",
     "line 12: registry: missing VALUE (usage: registry set KEY VALUE N | registry delete KEY "
     "VALUE)"},
    {"registry set Display X",
     "line 12: registry: missing N (usage: registry set KEY VALUE N | registry delete KEY "
     "VALUE)"},
    {"registry set Display X ten",
     R"(line 12: registry: expected N (a decimal or 0x number), got "ten")"},
    {"registry set Display X 4294967296",
     R"(line 12: registry: N "4294967296" is out of range 0..4294967295)"},
    {"registry set Display X 1 2",
     "line 12: registry: unexpected \"2\" (usage: registry set KEY VALUE N | registry delete KEY "
     "VALUE)"},
    {"registry set Display \xC3 1", "line 12: registry: VALUE is not valid UTF-8 text"},
    {"registry delete Display X 5",
     "line 12: registry: unexpected \"5\" (usage: registry set KEY VALUE N | registry delete KEY "
     "VALUE)"},
    {"post", "line 12: post: missing TYPE (usage: post TYPE)"},
    {"post x", R"(line 12: post: expected TYPE (a decimal or 0x number), got "x")"},
    {"stop now", R"(line 12: stop: unexpected "now" (usage: stop))"},
};

INSTANTIATE_TEST_SUITE_P(EveryFault, BadLineTest, testing::ValuesIn(kBadLines));

TEST(ScenarioLineTest, BlankAndCommentLinesGiveNothingAndNoError) {
    for (const char* line : {"", "   ", "\t", "# a comment", "   # indented", "\r", "#wait x"}) {
        std::string error = "untouched";
        EXPECT_FALSE(ParseScenarioLine(line, 1, kButtons, &error).has_value()) << line;
        EXPECT_EQ(error, "") << line;
    }
}

TEST(ScenarioLineTest, ButtonIndexIsCheckedAgainstTheDevicesThereAre) {
    struct Case {
        int buttons;
        const char* line;
        const char* error;
    };
    const Case cases[] = {
        {1, "button 1 19 01", "line 1: button: no button device 1 (there is 1)"},
        {0, "button 0 19 01", "line 1: button: no button device 0 (there are 0)"},
        {5, "button 4 19 01", ""},
    };
    for (const Case& c : cases) {
        std::string error;
        ParseScenarioLine(c.line, 1, c.buttons, &error);
        EXPECT_EQ(error, c.error) << c.line;
    }
}

struct ScenarioCase {
    const char* name;
    std::string text;
    std::vector<int> lines;  // of the commands, when the scenario is good
    std::string error;
};

class ScenarioTest : public testing::TestWithParam<ScenarioCase> {};

TEST_P(ScenarioTest, ParsesAllOrNothing) {
    std::string error = "untouched";
    const std::optional<Scenario> scenario = ParseScenario(GetParam().text, kButtons, &error);
    EXPECT_EQ(error, GetParam().error);
    if (!GetParam().error.empty()) {
        EXPECT_FALSE(scenario.has_value());
        return;
    }
    ASSERT_TRUE(scenario.has_value());
    std::vector<int> lines;
    for (const Command& command : scenario->commands) lines.push_back(command.line);
    EXPECT_EQ(lines, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ScenarioTest,
    testing::Values(
        ScenarioCase{"Empty", "", {}, ""},
        ScenarioCase{"OnlyComments", "# one\n\n   # two\n", {}, ""},
        ScenarioCase{"LinesCountBlanksAndComments", "wait 1\n\n# c\nhotkey lock\n", {1, 4}, ""},
        ScenarioCase{"NoFinalLineEnd", "wait 1\nwait 2", {1, 2}, ""},
        ScenarioCase{"CrLf", "wait 1\r\nsetting SystemDockMode\r\n", {1, 2}, ""},
        ScenarioCase{"ByteOrderMark", "\xEF\xBB\xBFwait 1\n", {1}, ""},
        ScenarioCase{"StopLast", "wait 1\nstop\n# done\n\n", {1, 2}, ""},
        ScenarioCase{"FirstBadLineIsNamed",
                     "wait 1\n\n# c\nbogus\nworse\n",
                     {},
                     "line 4: unknown command \"bogus\""},
        ScenarioCase{"BadLineAfterGoodOnes",
                     "wait 1\nwait 2\nwait x\n",
                     {},
                     "line 3: wait: expected MS (a decimal or 0x number), got \"x\""},
        ScenarioCase{"CommandAfterStop",
                     "stop\n# c\nwait 1\n",
                     {},
                     "line 3: nothing may follow stop (line 1)"},
        ScenarioCase{
            "TwoStops", "wait 1\nstop\nstop\n", {}, "line 3: nothing may follow stop (line 2)"},
        ScenarioCase{"ByteOrderMarkOnlyAtTheStart",
                     "wait 1\n\xEF\xBB\xBFwait 1\n",
                     {},
                     "line 2: unknown command \"\\xef\\xbb\\xbfwait\""}),
    [](const testing::TestParamInfo<ScenarioCase>& info) { return info.param.name; });

TEST(ScenarioTest, TheShippedDefaultScenarioIsTheStory) {
    std::ifstream file(KELVO_EXAMPLES_DIR "/default.scenario", std::ios::binary);
    ASSERT_TRUE(file) << KELVO_EXAMPLES_DIR;
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    const std::optional<Scenario> scenario = ParseScenario(text.str(), kButtons, &error);
    ASSERT_TRUE(scenario.has_value()) << error;
    const std::vector<Action> story = {
        Wait{1000},
        ButtonReport{0, {0x19, 0x01, 0, 0}},
        ButtonReport{0, {0x19, 0x00, 0, 0}},
        Wait{1000},
        SetMetric{SM_SYSTEMDOCKED, 0},
        SettingChange{L"SystemDockMode"},
        Wait{1000},
        PressHotKey{HotKey::Toggle},
        Wait{1000},
        PressHotKey{HotKey::Toggle},
        Wait{1000},
        PowerEvent{PBT_APMSUSPEND, 0},
        Wait{1000},
        PowerEvent{PBT_APMRESUMEAUTOMATIC, 0},
        Wait{1000},
        SetMetric{SM_SYSTEMDOCKED, 1},
        SettingChange{L"SystemDockMode"},
        Wait{1000},
    };
    std::vector<Action> actions;
    for (const Command& command : scenario->commands) actions.push_back(command.action);
    EXPECT_EQ(actions, story);
    // Every step has a comment above it saying what the user did.
    std::istringstream lines(text.str());
    std::string line, previous;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#') {
            EXPECT_EQ(previous.rfind("# ", 0), 0u) << "no comment above: " << line;
        }
        previous = line;
    }
}

// Any bytes at all: the parser gives a scenario or names a line, and never fails otherwise.
TEST(ScenarioTest, AnyBytesGiveAScenarioOrALineError) {
    static const std::string kPieces[] = {"wait ",
                                          "button ",
                                          "0 ",
                                          "19 ",
                                          "01",
                                          "registry set ",
                                          ". ",
                                          "x ",
                                          "setting ",
                                          "\n",
                                          "\r\n",
                                          "# ",
                                          "stop",
                                          "0x",
                                          "ffffffffffffffffffff",
                                          "\xC3",
                                          "\xFF",
                                          std::string(1, '\0'),
                                          "{",
                                          "}",
                                          "-",
                                          "\\",
                                          "\t",
                                          "power oem ",
                                          "device ARRIVAL "};
    std::mt19937 random(20240117);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int pieces = static_cast<int>(random() % 24);
        for (int i = 0; i < pieces; ++i) {
            if (random() % 4 == 0) {
                text += static_cast<char>(random() % 256);
            } else {
                text += kPieces[random() % std::size(kPieces)];
            }
        }
        std::string error;
        const std::optional<Scenario> scenario = ParseScenario(text, kButtons, &error);
        if (scenario) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
        }
    }
}

}  // namespace
}  // namespace kelvo::host
