// kelvo-sim as its users run it: a separate process, its standard output, error and exit code.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

// A scratch directory of the test's own.
class Scratch {
public:
    Scratch() {
        char name[] = "/tmp/kelvo-sim-test-XXXXXX";
        _dir = mkdtemp(name) != nullptr ? fs::path(name) : fs::temp_directory_path();
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(_dir, ignored);
    }
    fs::path File(const std::string& name, const std::string& text) const {
        const fs::path path = _dir / name;
        WriteFile(path, text);
        return path;
    }
    fs::path Path(const std::string& name) const { return _dir / name; }

private:
    fs::path _dir;
};

// Runs kelvo-sim with the arguments and the text on standard input.
Result KelvoSim(const std::vector<std::string>& arguments, const std::string& input = "") {
    Scratch scratch;
    const fs::path in = scratch.File("stdin", input);
    const fs::path out = scratch.Path("stdout");
    const fs::path err = scratch.Path("stderr");
    const pid_t pid = fork();
    if (pid == 0) {
        const int inFd = open(in.c_str(), O_RDONLY);
        const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (inFd < 0 || outFd < 0 || errFd < 0) _exit(126);
        dup2(inFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        std::vector<char*> argv{const_cast<char*>(KELVO_SIM)};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(KELVO_SIM, argv.data());
        _exit(127);
    }
    Result result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Example(const std::string& name) {
    return std::string(KELVO_EXAMPLES_DIR) + "/" + name;
}

// ---- Bad input: nothing runs ----

struct BadScenario {
    const char* name;
    std::string text;
    std::vector<std::string> options;
    std::string error;
};

class BadScenarioTest : public testing::TestWithParam<BadScenario> {};

TEST_P(BadScenarioTest, ExitsWithTwoAndNamesTheLineAndRunsNothing) {
    const BadScenario& c = GetParam();
    for (bool fromFile : {true, false}) {
        Scratch scratch;
        std::vector<std::string> arguments{"run"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back(fromFile ? scratch.File("bad.scenario", c.text).string() : "-");
        const Result result = KelvoSim(arguments, fromFile ? "" : c.text);
        EXPECT_EQ(result.exitCode, 2) << (fromFile ? "file" : "stdin");
        EXPECT_EQ(result.err, c.error + "\n") << (fromFile ? "file" : "stdin");
        EXPECT_EQ(result.out, "") << (fromFile ? "file" : "stdin");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadScenarioTest,
    testing::Values(
        BadScenario{
            "UnknownCommand", "wait 10\n\n# x\nfrob 1\n", {}, "line 4: unknown command \"frob\""},
        BadScenario{"BadNumber",
                    "wait 1e3\n",
                    {},
                    "line 1: wait: expected MS (a decimal or 0x number), got \"1e3\""},
        BadScenario{"ButtonBeyondTheDevices",
                    "wait 1\nbutton 1 19 01\n",
                    {"--buttons", "1"},
                    "line 2: button: no button device 1 (there is 1)"},
        BadScenario{"TooManyBytes",
                    "button 0 19 01 00 00 00\n",
                    {},
                    "line 1: button: 5 bytes; a report holds at most 4"},
        BadScenario{
            "CommandAfterStop", "stop\nwait 1\n", {}, "line 2: nothing may follow stop (line 1)"},
        BadScenario{"JsonToo",
                    "wait 1\nmetric slate 3\n",
                    {"--json"},
                    "line 2: metric: expected 0|1, got \"3\""}),
    [](const testing::TestParamInfo<BadScenario>& info) { return info.param.name; });

struct BadCommandLine {
    const char* name;
    std::vector<std::string> arguments;
    std::string errorStart;
};

class BadCommandLineTest : public testing::TestWithParam<BadCommandLine> {};

TEST_P(BadCommandLineTest, ExitsWithTwoAndSaysWhy) {
    const Result result = KelvoSim(GetParam().arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err.rfind(GetParam().errorStart, 0), 0u) << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, BadCommandLineTest,
    testing::Values(
        BadCommandLine{"NoCommand", {}, "kelvo-sim: a command is needed\nusage: kelvo-sim run"},
        BadCommandLine{"UnknownCommand", {"play"}, "kelvo-sim: unknown command play\n"},
        BadCommandLine{"UnknownOption", {"run", "--fast"}, "kelvo-sim: unknown option --fast\n"},
        BadCommandLine{
            "BadTouch",
            {"run", "--touch", "old"},
            "kelvo-sim: bad --touch 'old': legacy, current1, current2, events or none\n"},
        BadCommandLine{"BadGfx",
                       {"run", "--gfx=fast"},
                       "kelvo-sim: bad --gfx 'fast': frame, devicedata, off or none\n"},
        BadCommandLine{
            "BadButtons", {"run", "--buttons", "17"}, "kelvo-sim: bad --buttons '17': 0 to 16\n"},
        BadCommandLine{"BadSlate", {"run", "--slate", "2"}, "kelvo-sim: bad --slate '2': 0 or 1\n"},
        BadCommandLine{"BadLevel", {"run", "--level", "6"}, "kelvo-sim: bad --level '6': 0 to 5\n"},
        BadCommandLine{
            "MissingValue", {"run", "--registry"}, "kelvo-sim: --registry needs a value\n"},
        BadCommandLine{"TwoScenarios", {"run", "a", "b"}, "kelvo-sim: one scenario only: b\n"},
        BadCommandLine{"MissingScenario",
                       {"run", "/nonexistent/x.scenario"},
                       "kelvo-sim: cannot read the scenario /nonexistent/x.scenario\n"},
        BadCommandLine{"MissingRegistry",
                       {"run", "--registry", "/nonexistent/x.reg"},
                       "kelvo-sim: /nonexistent/x.reg: "},
        BadCommandLine{
            "SettingsWithoutFile", {"settings"}, "kelvo-sim: settings takes one registry file\n"}),
    [](const testing::TestParamInfo<BadCommandLine>& info) { return info.param.name; });

TEST(KelvoSimTest, HelpGoesToStandardOutput) {
    const Result result = KelvoSim({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("usage: kelvo-sim run [--registry FILE.reg]", 0), 0u);
    EXPECT_EQ(result.err, "");
}

// ---- The timeline ----

// One record of the text timeline: its time and what follows the time stamp.
struct Record {
    long long time;
    std::string what;
};

std::vector<Record> Records(const std::string& timeline) {
    static const std::regex kLine(R"(^\[(\d+)\.(\d{3})\] (.*)$)");
    std::vector<Record> records;
    for (const std::string& line : Lines(timeline)) {
        std::smatch match;
        if (std::regex_match(line, match, kLine)) {
            records.push_back({std::stoll(match[1]) * 1000 + std::stoll(match[2]), match[3]});
        } else {
            // Only a multi-line trace continues on the next line, indented by two spaces.
            EXPECT_EQ(line.rfind("  ", 0), 0u) << "not a record: " << line;
        }
    }
    return records;
}

std::vector<std::string> Matching(const std::vector<Record>& records, const std::string& pattern) {
    const std::regex re(pattern);
    std::vector<std::string> found;
    for (const Record& r : records) {
        if (std::regex_search(r.what, re)) found.push_back(std::to_string(r.time) + " " + r.what);
    }
    return found;
}

// Whether the frame is shown at the end of each second, from the frame requests the driver got.
std::map<long long, bool> FrameBySecond(const std::vector<Record>& records) {
    static const std::regex kRequest(R"(^gfx SetInfo enable=([01]) )");
    std::map<long long, bool> frame;
    bool shown = false;
    for (const Record& r : records) {
        std::smatch match;
        if (std::regex_search(r.what, match, kRequest)) shown = match[1] == "1";
        frame[r.time / 1000] = shown;
    }
    return frame;
}

long long CountAt(const std::vector<Record>& records, long long second,
                  const std::string& pattern) {
    const std::regex re(pattern);
    long long count = 0;
    for (const Record& r : records) {
        if (r.time / 1000 == second && std::regex_search(r.what, re)) ++count;
    }
    return count;
}

class DefaultScenarioTest : public testing::Test {
protected:
    static void SetUpTestSuite() { s_result = new Result(KelvoSim({"run"})); }
    static void TearDownTestSuite() {
        delete s_result;
        s_result = nullptr;
    }
    static const Result& Played() { return *s_result; }

private:
    static Result* s_result;
};

Result* DefaultScenarioTest::s_result = nullptr;

TEST_F(DefaultScenarioTest, PlaysToTheEndWithoutComplaint) {
    EXPECT_EQ(Played().exitCode, 0);
    EXPECT_EQ(Played().err, "");
}

TEST_F(DefaultScenarioTest, IsTheShippedScenarioByteForByte) {
    const Result fromFile = KelvoSim({"run", Example("default.scenario")});
    EXPECT_EQ(fromFile.out, Played().out);
    const Result fromStdin = KelvoSim({"run", "-"}, ReadFile(Example("default.scenario")));
    EXPECT_EQ(fromStdin.out, Played().out);
}

TEST_F(DefaultScenarioTest, TheServiceRunsAsTheControlManagerStartsIt) {
    const std::vector<Record> records = Records(Played().out);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().what, "L4 Kelvo.exe 1.0.471.0 ");
    EXPECT_EQ(Matching(records, "^service "),
              (std::vector<std::string>{"0 service SetServiceStatus SERVICE_START_PENDING",
                                        "0 service SetServiceStatus SERVICE_RUNNING",
                                        "8000 service SetServiceStatus SERVICE_STOP_PENDING",
                                        "8000 service SetServiceStatus SERVICE_STOPPED"}));
    EXPECT_EQ(Matching(records, "WinMain command line"),
              (std::vector<std::string>{
                  R"(0 L5 WinMain command line: "C:\Program Files\Kelvo\Kelvo.exe")"}));
}

TEST_F(DefaultScenarioTest, TellsTheStory) {
    const std::vector<Record> records = Records(Played().out);
    // The user's steps, each as the service saw it.
    const std::vector<std::string> steps = {
        "1000 button0 Read 19 01 00 00",
        "1000 L4 System is in UNLOCKED.",
        "1000 button0 Read 19 00 00 00",
        "2000 L4 System is in UNDOCKED.",
        "3000 event SetEvent Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64",
        "4000 event SetEvent Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64",
        "5000 L4 PBT_APMSUSPEND detected by service",
        "6000 L4 PBT_APMRESUMEAUTOMATIC detected by service",
        "7000 L4 System is in DOCKED.",
    };
    EXPECT_EQ(Matching(records, "^button0 Read|System is in|SetEvent|detected by service"), steps);

    // Hidden in clamshell, shown on the latch, kept on undock, toggled off and on, hidden while
    // suspended, back on resume, hidden on dock and at the stop.
    const std::map<long long, bool> expected = {{0, false}, {1, true},  {2, true},
                                                {3, false}, {4, true},  {5, false},
                                                {6, true},  {7, false}, {8, false}};
    EXPECT_EQ(FrameBySecond(records), expected);

    // Touch in the frame band: off (mode 2) while the frame shows, on (mode 1) when it goes.
    for (long long second : {1, 4, 6}) {
        EXPECT_EQ(
            CountAt(records, second, "^touch SetFeature 06 ff ff 02 00 00 00 00 00 00 00 00$"), 1)
            << second;
    }
    for (long long second : {3, 5, 7, 8}) {
        EXPECT_EQ(
            CountAt(records, second, "^touch SetFeature 06 ff ff 01 00 00 00 00 00 00 00 00$"), 1)
            << second;
        EXPECT_EQ(
            CountAt(records, second, "^touch SetFeature 06 ff ff 02 00 00 00 00 00 00 00 00$"), 0)
            << second;
    }
}

TEST_F(DefaultScenarioTest, TheFrameIsAnimatedFromFullSize) {
    const std::vector<Record> records = Records(Played().out);
    std::vector<int> widths;
    static const std::regex kRequest(R"(^gfx SetInfo enable=1 x=(\d+) )");
    for (const Record& r : records) {
        std::smatch match;
        if (r.time == 1000 && std::regex_search(r.what, match, kRequest)) {
            widths.push_back(std::stoi(match[1]));
        }
    }
    ASSERT_GT(widths.size(), 2u);
    EXPECT_GT(widths.front(), 90);
    EXPECT_EQ(widths.back(), 30);
    for (std::size_t i = 1; i < widths.size(); ++i) EXPECT_LE(widths[i], widths[i - 1]);
}

TEST_F(DefaultScenarioTest, TheClockMovesOnlyOnWait) {
    std::vector<long long> times;
    for (const Record& r : Records(Played().out)) {
        if (times.empty() || times.back() != r.time) times.push_back(r.time);
    }
    // Nothing in the default story sleeps: every record falls on a whole second of the script,
    // apart from the hot-key thread's pause after each key.
    for (long long t : times) EXPECT_TRUE(t % 1000 == 0 || t % 1000 == 10) << t;
    EXPECT_EQ(times.back(), 8000);
}

// ---- The JSON form ----

// The keys and raw values of one flat JSON object, or none when the line is not one.
std::optional<std::vector<std::pair<std::string, std::string>>> JsonObject(
    const std::string& line) {
    std::vector<std::pair<std::string, std::string>> members;
    std::size_t i = 0;
    auto string = [&](std::string& out) {
        if (i >= line.size() || line[i] != '"') return false;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (static_cast<unsigned char>(line[i]) < 0x20) return false;
            if (line[i] == '\\') {
                if (++i >= line.size()) return false;
                static const std::string kEscapes = "\"\\/bfnrtu";
                if (kEscapes.find(line[i]) == std::string::npos) return false;
                if (line[i] == 'u') {
                    if (i + 4 >= line.size()) return false;
                    out += line.substr(i - 1, 6);
                    i += 4;
                    continue;
                }
                out += '\\';
            }
            out += line[i];
        }
        if (i >= line.size()) return false;
        ++i;
        return true;
    };
    if (line.empty() || line[i++] != '{') return std::nullopt;
    while (true) {
        std::string key, value;
        if (!string(key) || i >= line.size() || line[i++] != ':') return std::nullopt;
        if (i < line.size() && line[i] == '"') {
            if (!string(value)) return std::nullopt;
            value = "\"" + value + "\"";
        } else {
            const std::size_t start = i;
            while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
            if (i == start) return std::nullopt;
            value = line.substr(start, i - start);
        }
        members.emplace_back(key, value);
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        if (i + 1 == line.size() && line[i] == '}') return members;
        return std::nullopt;
    }
}

TEST(KelvoSimJsonTest, OneObjectPerRecordWithTheKeysInOrder) {
    const Result text = KelvoSim({"run"});
    const Result json = KelvoSim({"run", "--json"});
    ASSERT_EQ(json.exitCode, 0);
    const std::vector<Record> records = Records(text.out);
    const std::vector<std::string> lines = Lines(json.out);
    ASSERT_EQ(lines.size(), records.size());

    const std::map<std::string, std::vector<std::vector<std::string>>> kKeys = {
        {"\"trace\"", {{"t", "type", "level", "text"}}},
        {"\"hid\"", {{"t", "type", "device", "op", "bytes"}}},
        {"\"gfx\"",
         {{"t", "type", "op", "enable", "x", "y", "p", "hr", "record"},
          {"t", "type", "op", "hr", "record"}}},
        {"\"event\"", {{"t", "type", "op", "name"}}},
        {"\"service\"", {{"t", "type", "op", "state"}}},
    };
    std::map<std::string, int> types;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const auto object = JsonObject(lines[n]);
        ASSERT_TRUE(object.has_value()) << lines[n];
        std::vector<std::string> keys;
        for (const auto& [key, value] : *object) keys.push_back(key);
        ASSERT_GE(keys.size(), 2u) << lines[n];
        const std::string type = (*object)[1].second;
        ++types[type];
        ASSERT_TRUE(kKeys.count(type)) << lines[n];
        const auto& allowed = kKeys.at(type);
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), keys), allowed.end()) << lines[n];
        EXPECT_EQ(std::stoll((*object)[0].second), records[n].time) << lines[n];
    }
    for (const char* type : {"\"trace\"", "\"hid\"", "\"gfx\"", "\"event\"", "\"service\""}) {
        EXPECT_GT(types[type], 0) << type;
    }
}

TEST(KelvoSimJsonTest, RecordsCarryTheSameFactsAsTheText) {
    const std::string scenario = "wait 1000\nbutton 0 19 01\nwait 1\n";
    const std::vector<std::string> json = Lines(KelvoSim({"run", "--json", "-"}, scenario).out);
    auto has = [&json](const std::string& line) {
        return std::find(json.begin(), json.end(), line) != json.end();
    };
    EXPECT_TRUE(
        has(R"({"t":1000,"type":"hid","device":"button0","op":"Read","bytes":"19010000"})"));
    EXPECT_TRUE(has(
        R"({"t":1000,"type":"hid","device":"touch","op":"SetFeature","bytes":"06ffff020000000000000000"})"));
    EXPECT_TRUE(has(R"({"t":1000,"type":"trace","level":4,"text":"System is in UNLOCKED."})"));
    EXPECT_TRUE(
        has(R"({"t":0,"type":"service","op":"SetServiceStatus","state":"SERVICE_RUNNING"})"));
    EXPECT_TRUE(has(
        R"({"t":0,"type":"event","op":"CreateEventW","name":"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64"})"));
    EXPECT_TRUE(has(
        R"({"t":1000,"type":"gfx","op":"SetInfo","enable":1,"x":30,"y":30,"p":90,"hr":0,"record":"010000000000000000000000001000000000000001000000)"
        R"(1e0000001e0000005a000000"})"));
}

// ---- Determinism ----

struct Story {
    const char* name;
    std::string scenario;
    std::vector<std::string> options;
};

class DeterminismTest : public testing::TestWithParam<Story> {};

TEST_P(DeterminismTest, TwoRunsAreByteIdentical) {
    std::vector<std::string> arguments{"run"};
    arguments.insert(arguments.end(), GetParam().options.begin(), GetParam().options.end());
    arguments.push_back("-");
    const Result first = KelvoSim(arguments, GetParam().scenario);
    const Result second = KelvoSim(arguments, GetParam().scenario);
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_FALSE(first.out.empty());
    EXPECT_EQ(first.out, second.out);
    EXPECT_EQ(first.err, second.err);
}

INSTANTIATE_TEST_SUITE_P(
    Stories, DeterminismTest,
    testing::Values(
        Story{"Default", ReadFile(Example("default.scenario")), {}},
        Story{"DefaultJson", ReadFile(Example("default.scenario")), {"--json"}},
        Story{"TimedAnimationAndWatch",
              "button 0 19 01\nwait 300\nregistry set Display ViewPort_X 90\nwait 100\n"
              "metric docked 0\nsetting SystemDockMode\nwait 7000\n",
              {"--registry", Example("current.reg")}},
        Story{"UndockTimer",
              "button 0 1a 01\nbutton 1 19 01\nwait 6000\nhotkey unlock\nwait 10\n",
              {"--touch", "current2"}},
        Story{"EverythingElse",
              "display off\nwait 5\ndisplay on\nawaymode enter\nawaymode exit\ndisplay dimmed\n"
              "power standby\npower resumesuspend\npower batterylow\npower oem 7\npower raw 10\n"
              "gfxmode\ndevice REMOVAL {E6DFDC31-31D0-46AC-86AF-DA1EB05FC599}\npost 21\n"
              "hotkey slate\nhotkey dock\nhotkey lock\nwait 20\nregistry delete Touch VID\n",
              {"--touch", "events", "--gfx", "devicedata", "--slate", "0"}}),
    [](const testing::TestParamInfo<Story>& info) { return info.param.name; });

// ---- Other worlds ----

TEST(KelvoSimTest, UndockTimerHidesTheFrameWhenNoUndockFollows) {
    const std::vector<Record> records =
        Records(KelvoSim({"run", "-"}, "wait 1000\nbutton 0 19 01\nwait 6000\n").out);
    const std::map<long long, bool> frame = FrameBySecond(records);
    ASSERT_TRUE(frame.count(1) && frame.count(6)) << "no records at 1 s or 6 s";
    EXPECT_TRUE(frame.at(1));
    // Five seconds after the latch.
    EXPECT_FALSE(frame.at(6));
    EXPECT_EQ(CountAt(records, 6, "^gfx SetInfo enable=0 "), 1);
    EXPECT_EQ(CountAt(records, 6, "^touch SetFeature 06 ff ff 01 00 00 00 00 00 00 00 00$"), 1);
}

TEST(KelvoSimTest, TimersDueAfterTheStopNeverFire) {
    // The undock timer would fire at 6.000; the scenario ends at 2.000.
    const Result result = KelvoSim({"run", "-"}, "wait 1000\nbutton 0 19 01\nwait 1000\n");
    ASSERT_EQ(result.exitCode, 0);
    const std::vector<Record> records = Records(result.out);
    for (const Record& r : records) EXPECT_LE(r.time, 2000) << r.what;
    EXPECT_EQ(Matching(records, "^service ").back(),
              "2000 service SetServiceStatus SERVICE_STOPPED");
}

TEST(KelvoSimTest, TouchEventsStandInForTheController) {
    const std::vector<Record> records =
        Records(KelvoSim({"run", "--touch", "events", "-"}, "wait 1000\nbutton 0 19 01\n").out);
    ASSERT_GE(records.size(), 2u);
    // The component that waits on them made them before the service started.
    EXPECT_EQ(records[0].what, "event CreateEventW Global\\E1B3BA36-271D-421D-B020-610D3533D14F");
    EXPECT_EQ(records[1].what, "event CreateEventW Global\\D541C07D-A31D-4F4E-BF71-0BE5AA3EF88C");
    EXPECT_EQ(Matching(records, "^touch "), std::vector<std::string>{});
    EXPECT_EQ(
        CountAt(records, 1, "^event SetEvent Global\\\\D541C07D-A31D-4F4E-BF71-0BE5AA3EF88C$"), 1);
}

TEST(KelvoSimTest, TheTraceLevelLimitsTracesOnly) {
    const std::vector<Record> records =
        Records(KelvoSim({"run", "--level", "3", "-"}, "button 0 19 01\nwait 10\n").out);
    EXPECT_EQ(Matching(records, "^L[45] "), std::vector<std::string>{});
    EXPECT_FALSE(Matching(records, "^L3 ").empty());
    EXPECT_FALSE(Matching(records, "^gfx SetInfo enable=1").empty());
    EXPECT_FALSE(Matching(records, "^touch SetFeature").empty());
}

TEST(KelvoSimTest, RegistryChangesReachTheSettingsWatch) {
    const std::vector<Record> records = Records(
        KelvoSim(
            {"run", "--registry", Example("current.reg"), "-"},
            "wait 100\nregistry set Display ViewPort_X 90\nwait 100\nbutton 0 19 01\nwait 100\n")
            .out);
    EXPECT_EQ(CountAt(records, 0, "^L4 Change\\(s\\) detected in registry settings!$"), 1);
    // The animation steps 5 ms apart and ends on the new width.
    EXPECT_FALSE(Matching(records, "^gfx SetInfo enable=1 x=90 y=95 p=10 ").empty());
    EXPECT_EQ(Matching(records, "^gfx SetInfo enable=1 x=99 ").front(),
              "200 gfx SetInfo enable=1 x=99 y=100 p=1 hr=0x00000000");
    EXPECT_EQ(CountAt(records, 0, "^gfx SetInfo enable=1 x=98 y=99 p=2 "), 1);
}

TEST(KelvoSimTest, DeviceDataDriverGetsTheFrameAsDeviceData) {
    const std::vector<Record> records =
        Records(KelvoSim({"run", "--gfx", "devicedata", "-"}, "button 0 19 01\n").out);
    EXPECT_EQ(Matching(records, "^gfx SetInfo"), std::vector<std::string>{});
    EXPECT_FALSE(
        Matching(records, "^gfx SetDeviceData enable=1 x=30 y=30 p=90 hr=0x00000000$").empty());
}

TEST(KelvoSimTest, InteractiveRejectsABadLineAndPlaysOn) {
    const Result result =
        KelvoSim({"run", "--interactive"}, "wait 100\nbogus\nhotkey lock\nstop\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "line 2: unknown command \"bogus\"\n");
    const std::vector<Record> records = Records(result.out);
    EXPECT_EQ(Matching(records, "^event SetEvent"),
              std::vector<std::string>{
                  "100 event SetEvent Global\\FA9B054F-1052-4669-A7C8-E0415F7314F0"});
    EXPECT_EQ(Matching(records, "^service ").back(),
              "110 service SetServiceStatus SERVICE_STOPPED");
}

// ---- Stories, record by record ----

// A story and the records it must give between two times (from included, to excluded), among
// those the pattern matches.
struct StoryRecords {
    const char* name;
    std::vector<std::string> options;
    std::string scenario;
    long long from;
    long long to;
    std::string pattern;
    std::vector<std::string> expected;
};

void PrintTo(const StoryRecords& c, std::ostream* out) { *out << c.name; }

class StoryRecordsTest : public testing::TestWithParam<StoryRecords> {};

TEST_P(StoryRecordsTest, GivesExactlyTheseRecords) {
    const StoryRecords& c = GetParam();
    std::vector<std::string> arguments{"run"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    arguments.push_back("-");
    const Result result = KelvoSim(arguments, c.scenario);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<Record> window;
    for (const Record& r : Records(result.out)) {
        if (r.time >= c.from && r.time < c.to) window.push_back(r);
    }
    EXPECT_EQ(Matching(window, c.pattern), c.expected);
}

// What reaches the devices, and the controller's and the context's own lines.
const std::string kDevicesAndDecisions = "^(gfx |touch |L[1-4] (System |Ambrel |Graphics ))";
const std::string kHidden = " gfx SetInfo enable=0 x=30 y=30 p=90 hr=0x00000000";
// Shown at once, not animated: one frame request.
const std::string kShown = " gfx SetInfo enable=1 x=30 y=30 p=90 hr=0x00000000";
const std::string kTouchOn = " touch SetFeature 06 ff ff 01 00 00 00 00 00 00 00 00";
const std::string kTouchOff = " touch SetFeature 06 ff ff 02 00 00 00 00 00 00 00 00";
// The touch area inside the frame (the defaults: 132, 150, 2988, 1776) sent again with mode 2.
const std::string kTouchArea =
    " touch Write 06 ff ff 00 00 04 43 00 00 16 43 00 c0 3a 45 00 00 de 44";
const std::string kToggleKey = "Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64";
const std::vector<std::string> kTablet = {"--slate", "0", "--docked", "0"};

INSTANTIATE_TEST_SUITE_P(
    Stories, StoryRecordsTest,
    testing::Values(
        // Docked, the frame hidden: the machine starts over from Init and hides it again.
        StoryRecords{"CriticalResumeDocked",
                     {},
                     "wait 1000\npower suspend\nwait 1000\npower resumecritical\nwait 1000\n",
                     1000,
                     3000,
                     kDevicesAndDecisions,
                     {"1000 L4 System is being SUSPENDED.",
                      "2000 L4 System is being RESUMED from previous CRITICAL condition.",
                      "2000" + kTouchOn, "2000" + kHidden, "2000 L4 Ambrel HIDDEN"}},
        // Undocked: from Init the frame comes back at once, whatever state the suspend left.
        StoryRecords{
            "CriticalResumeUndocked",
            kTablet,
            "wait 1000\npower suspend\nwait 1000\npower resumecritical\nwait 1000\n",
            1000,
            3000,
            kDevicesAndDecisions,
            {"1000 L4 System is being SUSPENDED.", "1000" + kTouchOn, "1000" + kHidden,
             "1000 L4 Ambrel HIDDEN",
             "2000 L4 System is being RESUMED from previous CRITICAL condition.", "2000" + kTouchOn,
             "2000" + kTouchOff, "2000" + kTouchArea, "2000" + kShown, "2000 L4 Ambrel SHOWN"}},
        // Docked with the frame hidden, suspend and resume touch nothing. After the latch the
        // frame goes on suspend and is hidden once more on the docked resume; the undock timer
        // armed by the latch then finds nothing to dock.
        StoryRecords{
            "SuspendAndResumeWhileDocked",
            {},
            "wait 1000\npower suspend\nwait 1000\npower resumeautomatic\nwait 1000\n"
            "button 0 19 01\nwait 1000\npower suspend\nwait 1000\n"
            "power resumeautomatic\nwait 4000\n",
            1000,
            9000,
            "^(gfx SetInfo enable=0|touch SetFeature|L[1-4] (System is|System event "
            "[A-Z]|Ambrel ))",
            {"1000 L4 System is being SUSPENDED.", "2000 L4 System is being RESUMED.",
             "3000 L4 System is in UNLOCKED.", "3000" + kTouchOn, "3000" + kTouchOff,
             "3000 L4 Ambrel SHOWN", "4000 L4 System is being SUSPENDED.", "4000" + kTouchOn,
             "4000" + kHidden, "4000 L4 Ambrel HIDDEN", "5000 L4 System is being RESUMED.",
             "5000" + kTouchOn, "5000" + kHidden, "5000 L4 Ambrel HIDDEN",
             "8000 L3 System event Docked not handled in AttachedNoAMB state."}},
        // A setting of the toggle within 10 ms of the one taken is absorbed; the first setting
        // after the pause is taken, even on its very millisecond. Nine settings, four toggles.
        StoryRecords{"HotKeyStorm",
                     kTablet,
                     "wait 1000\nhotkey toggle\nhotkey toggle\nhotkey toggle\nwait 5\n"
                     "hotkey toggle\nwait 5\nhotkey toggle\nwait 9\nhotkey toggle\nwait 21\n"
                     "hotkey toggle\nwait 10\nhotkey toggle\nwait 100\n",
                     1000,
                     1100,
                     "^(event (SetEvent|ResetEvent) |L4 (VK_BezelToggle|Ambrel ))",
                     {"1000 event SetEvent " + kToggleKey,
                      "1000 L4 VK_BezelToggle event received",
                      "1000 L4 Ambrel HIDDEN",
                      "1000 event SetEvent " + kToggleKey,
                      "1000 event SetEvent " + kToggleKey,
                      "1005 event SetEvent " + kToggleKey,
                      "1010 event ResetEvent " + kToggleKey,
                      "1010 event SetEvent " + kToggleKey,
                      "1010 L4 VK_BezelToggle event received",
                      "1010 L4 Ambrel SHOWN",
                      "1019 event SetEvent " + kToggleKey,
                      "1020 event ResetEvent " + kToggleKey,
                      "1040 event SetEvent " + kToggleKey,
                      "1040 L4 VK_BezelToggle event received",
                      "1040 L4 Ambrel HIDDEN",
                      "1050 event ResetEvent " + kToggleKey,
                      "1050 event SetEvent " + kToggleKey,
                      "1050 L4 VK_BezelToggle event received",
                      "1050 L4 Ambrel SHOWN",
                      "1060 event ResetEvent " + kToggleKey}},
        // Display off hides the frame, dimmed does nothing, on shows it again while undocked
        // (a second on is rejected); off again, then on while docked hides it once more.
        StoryRecords{"DisplayOffAndOn",
                     kTablet,
                     "wait 1000\ndisplay off\nwait 1000\ndisplay dimmed\nwait 1000\n"
                     "display on\nwait 1000\ndisplay on\nwait 1000\ndisplay off\nwait 1000\n"
                     "metric docked 1\ndisplay on\nwait 1000\n",
                     1000,
                     7000,
                     kDevicesAndDecisions,
                     {"1000 L4 System monitor display turned off.",
                      "1000" + kTouchOn,
                      "1000" + kHidden,
                      "1000 L4 Ambrel HIDDEN",
                      "3000 L4 System monitor display turned on.",
                      "3000" + kTouchOn,
                      "3000" + kTouchOff,
                      "3000" + kTouchArea,
                      "3000" + kShown,
                      "3000 L4 Ambrel SHOWN",
                      "4000 L4 System monitor display turned on.",
                      "4000 L3 System event UndockedResume not handled in DetachedHasAMB state.",
                      "5000 L4 System monitor display turned off.",
                      "5000" + kTouchOn,
                      "5000" + kHidden,
                      "5000 L4 Ambrel HIDDEN",
                      "6000 L4 System monitor display turned on.",
                      "6000" + kTouchOn,
                      "6000" + kHidden,
                      "6000 L4 Ambrel HIDDEN"}},
        // A mode set re-applies the frame as it is, at once; while off it is rejected, and a
        // device arrival of another class is no mode set.
        StoryRecords{"GraphicsModeChangeWhileShown",
                     kTablet,
                     "wait 1000\ngfxmode\nwait 1000\ndisplay off\nwait 1000\ngfxmode\n"
                     "device ARRIVAL {4D1E55B2-F16F-11CF-88CB-001111000030}\nwait 1000\n",
                     1000,
                     4000,
                     kDevicesAndDecisions,
                     {"1000 L4 Graphics mode changed.", "1000" + kTouchOn, "1000" + kTouchOff,
                      "1000" + kTouchArea, "1000" + kShown, "1000 L4 Ambrel SHOWN",
                      "2000 L4 System monitor display turned off.", "2000" + kTouchOn,
                      "2000" + kHidden, "2000 L4 Ambrel HIDDEN", "3000 L4 Graphics mode changed.",
                      "3000 L3 System event GfxModeSet not handled in OffHasAMB state."}},
        StoryRecords{"GraphicsModeChangeWhileHidden",
                     {},
                     "wait 1000\ngfxmode\nwait 1000\n",
                     1000,
                     2000,
                     kDevicesAndDecisions,
                     {"1000 L4 Graphics mode changed.", "1000" + kTouchOn, "1000" + kHidden,
                      "1000 L4 Ambrel HIDDEN"}},
        // A reload while the frame shows sends the touch area again at once (with the new
        // values) and leaves the frame as it is; the next frame request uses the new width.
        StoryRecords{
            "SettingsReloadWhileShown",
            {"--registry", Example("current.reg")},
            "wait 1000\nbutton 0 19 01\nwait 100\nregistry set Display ViewPort_X 90\n"
            "wait 100\nregistry set Touch ViewPort_Left 0x10000\nwait 800\ngfxmode\n"
            "wait 1000\n",
            1050,
            3000,
            "^(gfx |touch |L4 (Change|Ambrel |Graphics ))",
            {"1100 L4 Change(s) detected in registry settings!",
             "1100 touch Write 06 ff ff 00 00 9c 42 00 00 40 42 00 20 3e 45 00 00 ea 44",
             "1100 L4 Ambrel dimension configured for touch",
             "1200 L4 Change(s) detected in registry settings!",
             "1200 touch Write 06 ff ff 6f 12 83 42 00 00 40 42 00 20 3e 45 00 00 ea 44",
             "1200 L4 Ambrel dimension configured for touch", "2000 L4 Graphics mode changed.",
             "2000" + kTouchOn, "2000" + kTouchOff,
             "2000 touch Write 06 ff ff 6f 12 83 42 00 00 40 42 00 20 3e 45 00 00 ea 44",
             "2000 gfx SetInfo enable=1 x=90 y=95 p=10 hr=0x00000000", "2000 L4 Ambrel SHOWN"}}),
    [](const testing::TestParamInfo<StoryRecords>& info) { return info.param.name; });

// ---- kelvo-sim settings ----

// The columns of a report row (name, value, accepted, from), split where two blanks or more are.
std::vector<std::string> Row(const std::string& report, const std::string& name) {
    for (const std::string& line : Lines(report)) {
        if (line.rfind("  " + name + " ", 0) != 0) continue;
        std::vector<std::string> columns;
        std::regex separator(" {2,}");
        for (std::sregex_token_iterator it(line.begin() + 2, line.end(), separator, -1), end;
             it != end; ++it) {
            columns.push_back(*it);
        }
        return columns;
    }
    return {};
}

struct SettingsRow {
    const char* file;
    std::vector<std::string> row;
};

class SettingsReportTest : public testing::TestWithParam<SettingsRow> {};

TEST_P(SettingsReportTest, ShowsValueRangeAndSource) {
    const Result result = KelvoSim({"settings", Example(GetParam().file)});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Row(result.out, GetParam().row[0]), GetParam().row);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SettingsReportTest,
    testing::Values(
        SettingsRow{"current.reg",
                    {"Mode", "1 (percent)", "2; anything else is 1", "default (missing)"}},
        SettingsRow{"current.reg", {"NativeResolution_X", "3120 px", "1 to 7680", "file"}},
        SettingsRow{"current.reg", {"ViewPort_X", "95 %", "1 to 100 %", "file"}},
        SettingsRow{"current.reg", {"ViewPort_YPosition_Px", "10 px", "1 to 11 px", "file"}},
        SettingsRow{"current.reg",
                    {"AnimationIntervalMilliseconds", "5 ms", "0 to 100 ms", "file"}},
        SettingsRow{"current.reg",
                    {"ViewPort_Right", "3042.000", "1 to 9998999 (thousandths)", "file"}},
        SettingsRow{"legacy.reg",
                    {"IsLegacy", "1 (legacy controller)", "any; non-zero is legacy", "file"}},
        SettingsRow{"legacy.reg", {"VID", "0x03eb", "non-zero in the low 16 bits", "file"}},
        SettingsRow{"legacy.reg", {"ViewPort_YPosition_Px", "80 px", "1 to 95 px", "file"}},
        SettingsRow{"legacy.reg",
                    {"AMBInputMethod", "0x00", "non-zero in the low 8 bits", "default (missing)"}},
        SettingsRow{
            "out-of-range.reg",
            {"Mode", "1 (percent)", "2; anything else is 1", "default (file has 3, not taken)"}},
        SettingsRow{
            "out-of-range.reg",
            {"NativeResolution_X", "1920 px", "1 to 7680", "default (file has 10000, not taken)"}},
        SettingsRow{"out-of-range.reg",
                    {"ViewPort_Y", "30 %", "1 to 100 %", "default (file has 0, not taken)"}},
        SettingsRow{
            "out-of-range.reg",
            {"ViewPort_YPosition_Px", "90 px", "1 to 90 px", "default (file has 500, not taken)"}},
        SettingsRow{"out-of-range.reg",
                    {"AnimationIntervalMilliseconds", "5 ms", "0 to 100 ms",
                     "default (file has 250, not taken)"}},
        SettingsRow{"out-of-range.reg",
                    {"IsLegacy", "0 (current controller)", "any; non-zero is legacy",
                     "missing, read as 0"}},
        SettingsRow{"out-of-range.reg",
                    {"VID", "0x04f3", "non-zero in the low 16 bits",
                     "default (file has 65536, not taken)"}},
        SettingsRow{"out-of-range.reg",
                    {"PID", "0x200a", "non-zero in the low 16 bits", "default (not a REG_DWORD)"}},
        SettingsRow{"out-of-range.reg",
                    {"ViewPort_Left", "132.000", "1 to 9998999 (thousandths)",
                     "default (file has 9999000, not taken)"}}));

TEST(SettingsReportTest, ListsEveryWarningInTheOrderWritten) {
    const Result result = KelvoSim({"settings", Example("out-of-range.reg")});
    const std::vector<std::string> lines = Lines(result.out);
    const auto header = std::find(lines.begin(), lines.end(), "Warnings (17)");
    ASSERT_NE(header, lines.end()) << result.out;
    const std::vector<std::string> warnings(header + 1, lines.end());
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "  Default DisplayNativeResolutionX = 1920 used",
                            "  Default DisplayNativeResolutionY = 1080 used",
                            "  Default DisplayAnimationSteps = 15 used",
                            "  Default DisplayAnimationIntervalMilliseconds = 5 used",
                            "  Default DisplayMode = 1 used",
                            "  Default DisplayViewportX = 30 used",
                            "  Default DisplayViewportY = 30 used",
                            "  Default PxPositionY = 90 used",
                            "  Default TouchVendorId = 0x04f3 used",
                            "  Default TouchProductId = 0x200a used",
                            "  Default _touchReportID = 0x06 used",
                            "  Default _touchPropsReportID = 0x05 used",
                            "  Default _touchInputMethod = 0x00 used",
                            "  Default TouchViewportLeft = 132.000000 used",
                            "  Default TouchViewportTop = 150.000000 used",
                            "  Default TouchViewportRight = 2988.000000 used",
                            "  Default TouchViewportBottom = 1776.000000 used",
                        }));
}

TEST(SettingsReportTest, MalformedFileGetsTheLoadersErrorAndExitCodeTwo) {
    Scratch scratch;
    const fs::path file = scratch.File(
        "bad.reg",
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n"
        "\"a\"=dword:zz\r\n");
    for (const char* command : {"settings", "run"}) {
        const Result result = command == std::string("settings")
                                  ? KelvoSim({"settings", file.string()})
                                  : KelvoSim({"run", "--registry", file.string()});
        EXPECT_EQ(result.exitCode, 2) << command;
        EXPECT_EQ(result.err.rfind("kelvo-sim: " + file.string() + ": line 4: ", 0), 0u)
            << command << ": " << result.err;
        EXPECT_EQ(result.out, "") << command;
    }
}

// ---- The Windows service test's golden records ----

// The Windows build plays this scenario against Kelvo.exe with the substitute devices and driver
// and compares what they received with these records, times aside.
TEST(WindowsServiceGolden, KelvoSimGivesTheRecordsTheWindowsTestExpects) {
    const std::string dir = KELVO_WIN32_SERVICE_DIR;
    const Result result = KelvoSim({"run", "--touch", "current2", "--slate", "0", "--docked", "0",
                                    dir + "/frame_with_devices.scenario"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::regex deviceOrDriver(R"(^\[[0-9.]+\] (touch|gfx) .*)");
    std::vector<std::string> records;
    for (const std::string& line : Lines(result.out)) {
        if (std::regex_match(line, deviceOrDriver)) records.push_back(line);
    }
    EXPECT_EQ(records, Lines(ReadFile(dir + "/golden/frame_with_devices.txt")));
}

}  // namespace
