// The default scenario against a failing platform: played once to record every platform call it
// makes, then once for each of those calls, in a fresh world, with that one call failing. Every
// play must end, stop cleanly and show the outcome default_scenario_faults.txt gives its call.
// Cases are named by the call: operation, argument, and which call of that pair it is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/transition_table.h"
#include "events/system_event_monitor.h"
#include "service/sim/default_scenario.h"
#include "service/sim/sim_host.h"

namespace {

using platform::sim::FaultPoint;
using platform::sim::Scheduler;

struct Play {
    std::string timeline, story, frames;  // story: frame requests and touch modes; frames alone
    std::optional<int> exitCode;
    std::vector<FaultPoint> calls;
    std::vector<std::string> states;
    std::size_t threads = 0, left = 0;  // left: windows, classes, registrations and timers
};

// The default scenario in a fresh world, with the planned fault. A service that does not stop is
// stopped as a killed process would be: its monitor is stopped from outside.
Play PlayDefault(const FaultPoint& point = {}, unsigned nth = 0, bool eventRegisterFails = false) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    Play play;
    {
        kelvo::host::Timeline timeline(out, kelvo::host::TimelineFormat::Text, TRACE_LEVEL_VERBOSE);
        kelvo::host::SimHost host(kelvo::host::WorldOptions{}, timeline);
        std::string error;
        EXPECT_TRUE(host.Build(&error)) << error;
        platform::sim::SimWorld& world = host.GetWorld();
        if (eventRegisterFails) world.GetTracing().FailEventRegister({ERROR_ACCESS_DENIED});
        {
            Scheduler::Lock lock(world.GetScheduler().Mutex());
            world.GetFaults().SetRecording(true);
            // COM hands the planned error back as its HRESULT.
            const bool com = point.operation.rfind("Co", 0) == 0 || point.operation == "OleRun";
            if (nth) world.GetFaults().Fail(point, com ? 0x80004005 : ERROR_ACCESS_DENIED, nth);
        }
        host.Start();
        const auto scenario = kelvo::host::ParseScenario(kelvo::host::DefaultScenario(), 3, &error);
        for (const auto& command : scenario->commands) host.Play(command);
        play.exitCode = host.Finish();
        if (!play.exitCode) {
            SystemEventMonitor::Instance(nullptr)->Stop();
            if (!host.Finish()) {
                ADD_FAILURE() << "the service cannot be stopped at all";
                std::fflush(out);
                std::_Exit(1);
            }
        }
        {
            Scheduler::Lock lock(world.GetScheduler().Mutex());
            play.calls = world.GetFaults().Points();
        }
        for (const SERVICE_STATUS& status : world.GetServices().StatusReports()) {
            play.states.push_back(kelvo::host::ServiceStateName(status.dwCurrentState));
        }
        const auto w = world.GetWindowing().Count();
        play.threads = world.GetScheduler().ParticipantCount();
        play.left = w.windows + w.classes + w.registrations + w.timers;
    }
    std::fclose(out);
    play.timeline.assign(buffer, size);
    std::free(buffer);
    std::istringstream lines(play.timeline);
    for (std::string line; std::getline(lines, line);) {
        const bool frame = line.find(" gfx SetInfo ") != std::string::npos &&
                           line.find(" x=30 y=30 p=90 ") != std::string::npos;
        if (frame || line.find(" touch SetFeature 06 ff ff 0") != std::string::npos) {
            play.story += line + "\n";
        }
        if (frame) play.frames += line + "\n";
    }
    return play;
}

const Play& Baseline() {
    static const Play baseline = PlayDefault();  // played once, when the cases are listed
    return baseline;
}

const std::vector<std::string> kCleanStop = {"SERVICE_START_PENDING", "SERVICE_RUNNING",
                                             "SERVICE_STOP_PENDING", "SERVICE_STOPPED"};
const std::vector<std::string> kStoppedItself = {kCleanStop[0], kCleanStop[1], kCleanStop[3]};

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void CheckOutcome(const std::string& outcome, const Play& play) {
    const Play& base = Baseline();
    const std::string beforeStop = play.story.substr(0, play.story.find("[8."));  // stop at 8 s
    const std::string hide = "] gfx SetInfo enable=0 x=30 y=30 p=90 ";
    std::string retried = base.story;  // the stop's requests 10 ms late
    for (auto at = retried.find("[8.000]"); at != std::string::npos; at = retried.find("[8.000]")) {
        retried.replace(at, 7, "[8.010]");
    }
    // The states reported and the exit code, where the outcome fixes them.
    // clang-format off
    const std::map<std::string, std::pair<std::vector<std::string>, std::optional<int>>> kEnds = {
        {"Served", {kCleanStop, 0}}, {"StopRetried", {kCleanStop, 0}}, {"Leaks", {kCleanStop, 0}},
        {"TouchLost", {kCleanStop, 0}}, {"Changed", {kCleanStop, 0}},
        {"NoDisplay", {kCleanStop, 0}}, {"DisplayLate", {kCleanStop, 0}},
        {"StopsItself", {kStoppedItself, 0}},
        {"ComFails", {kStoppedItself, 0x80004005}}, {"NoStatus", {}}, {"Foreground", {}}};
    // clang-format on
    if (const auto end = kEnds.find(outcome); end != kEnds.end()) {
        EXPECT_EQ(play.states, end->second.first);
        if (end->second.second) {
            EXPECT_EQ(play.exitCode, end->second.second);
        }
    }
    if (outcome == "Served" || outcome == "Leaks") {
        EXPECT_EQ(play.story, base.story);
    } else if (outcome == "StopRetried") {
        EXPECT_TRUE(Has(play.timeline, "[8.000] L2 HRESULT: 0x80070005 @ LINE "));
        EXPECT_EQ(play.story, retried);
    } else if (outcome == "StatusLost") {
        EXPECT_EQ(play.exitCode, 0);
        EXPECT_EQ(play.story, base.story);
        EXPECT_EQ(play.states.size(), kCleanStop.size() - 1);
        for (const std::string& state : play.states) {
            EXPECT_TRUE(std::count(kCleanStop.begin(), kCleanStop.end(), state)) << state;
        }
    } else if (outcome == "Unstoppable") {
        EXPECT_FALSE(play.exitCode.has_value());
        EXPECT_EQ(beforeStop, base.story.substr(0, base.story.find("[8.")));
    } else if (outcome == "TouchLost") {
        EXPECT_EQ(play.frames, base.frames);
        EXPECT_NE(play.story, base.story);
    } else if (outcome == "Changed") {
        // Later events are still served, and the stop still hides the frame.
        EXPECT_NE(play.story, base.story);
        EXPECT_TRUE(Has(play.story, "[8.000" + hide) || Has(play.story, "[8.010" + hide));
    } else if (outcome == "NoDisplay") {
        EXPECT_FALSE(Has(play.story, " gfx SetInfo ")) << play.story;
        EXPECT_TRUE(
            Has(play.story, "[1.000] touch SetFeature 06 ff ff 02 00 00 00 00 00 00 00 00"));
    } else if (outcome == "DisplayLate") {
        std::string late;
        for (std::size_t at = 0, end = 0; at < base.story.size(); at = end) {
            end = base.story.find('\n', at) + 1;
            const std::string line = base.story.substr(at, end - at);
            if (line.rfind("[0.000] gfx ", 0) != 0) late += line;
        }
        EXPECT_EQ(play.story, late);
    } else if (outcome == "StopsItself") {
        EXPECT_FALSE(Has(play.timeline, "SERVICE_STOP_PENDING"));
    } else if (outcome == "NoStatus") {
        EXPECT_FALSE(Has(play.story, " gfx SetInfo ")) << play.story;
    } else if (outcome == "ComFails") {
        EXPECT_TRUE(Has(play.timeline, "] L2 HRESULT: 0x80004005 @ LINE "));
        EXPECT_TRUE(play.story.empty()) << play.story;
    } else if (outcome == "Foreground") {
        // Everything up to the stop control is served as in the service, then not stopped.
        EXPECT_TRUE(Has(base.story, beforeStop));
        EXPECT_TRUE(Has(play.story, "[7.000" + hide));
    } else {
        ADD_FAILURE() << "no such outcome: " << outcome;
    }
    EXPECT_EQ(play.threads, 0u);
    EXPECT_EQ(play.left, outcome == "Leaks" ? 1u : 0u);
}

// One recorded call, the nth of its operation on its argument, and what failing it does.
struct Case {
    FaultPoint point;
    unsigned nth;
    std::string name, id, outcome;  // operation(argument)#nth; that as a test name; the outcome
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name << " " << c.outcome; }

// Each call's outcome is that of the first line of default_scenario_faults.txt that names it.
std::vector<Case> RecordedCalls() {
    const auto rules = table::Rows(KELVO_FAULT_OUTCOMES, 2);
    std::vector<Case> cases;
    std::map<std::string, unsigned> seen;
    for (const FaultPoint& point : Baseline().calls) {
        Case c{point, ++seen[point.Name()], point.Name(), "", "unclassified"};
        c.name += "#" + std::to_string(c.nth);
        for (char ch : c.name) {
            const bool word = std::isalnum(static_cast<unsigned char>(ch));
            if (word || (!c.id.empty() && c.id.back() != '_')) c.id += word ? ch : '_';
        }
        for (const auto& rule : rules) {
            if (rule[1] == c.name || rule[1] == point.Name() || rule[1] == point.operation) {
                c.outcome = rule[0];
                break;
            }
        }
        cases.push_back(c);
    }
    return cases;
}

class FaultSweep : public testing::TestWithParam<Case> {};

TEST_P(FaultSweep, TheFailedCallHasItsOutcome) {
    const Case& c = GetParam();
    if (c.outcome == "Terminates") {
        // A worker that cannot drop its restricted token ends the process.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        EXPECT_DEATH(PlayDefault(c.point, c.nth), "");
        return;
    }
    CheckOutcome(c.outcome, PlayDefault(c.point, c.nth));
}

INSTANTIATE_TEST_SUITE_P(DefaultScenario, FaultSweep, testing::ValuesIn(RecordedCalls()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.id; });

TEST(FaultSweepBaseline, ServesAndStopsCleanlyAndAFailedEventRegisterSilencesOnlyTheLog) {
    CheckOutcome("Served", Baseline());
    const Play play = PlayDefault({}, 0, true);
    CheckOutcome("Served", play);
    EXPECT_FALSE(Has(play.timeline, "] L")) << "a trace was written";
}

}  // namespace
