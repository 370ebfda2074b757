#include "core/vb_state_machine.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace VbStateMachine {
namespace {

// Completes the machine and records every frame action in order.
class RecordingMachine final : public VBSM_ {
public:
    void ShowFrame() override { Act("Show"); }
    void HideFrame() override { Act("Hide"); }

    std::vector<std::string> _calls;
    bool _actionsThrow = false;

private:
    void Act(const char* call) {
        _calls.push_back(call);
        if (_actionsThrow) throw std::runtime_error(std::string(call) + " failed");
    }
};

struct Event {
    const char* name;
    void (VBSM_::*raise)();
};

const std::array<Event, 11> kEvents{{
    {"DockedDetected", &VBSM_::DockedDetected},
    {"GfxModeSet", &VBSM_::GfxModeSet},
    {"Toggled", &VBSM_::Toggled},
    {"Suspend", &VBSM_::Suspend},
    {"UndockedDetected", &VBSM_::UndockedDetected},
    {"Unlocked", &VBSM_::Unlocked},
    {"UndockedResume", &VBSM_::UndockedResume},
    {"Undocked", &VBSM_::Undocked},
    {"Locked", &VBSM_::Locked},
    {"DockedResume", &VBSM_::DockedResume},
    {"Docked", &VBSM_::Docked},
}};

void Raise(VBSM_& machine, const std::string& eventName) {
    for (const Event& event : kEvents) {
        if (eventName == event.name) return (machine.*event.raise)();
    }
    FAIL() << "unknown event " << eventName;
}

struct StateRow {
    const char* name;
    std::vector<const char*> path;      // accepted events leading from Init to this state
    std::array<const char*, 11> cells;  // one per event, in the order of kEvents
};

// The transition table as written: "reject", "Show, stay", "Hide, stay", "Show, to X",
// "Hide, to X" or "to X".
const std::array<StateRow, 7> kTable{{
    {"Init",
     {},
     {"Hide, to AttachedNoAMB", "reject", "reject", "reject", "Show, to DetachedHasAMB", "reject",
      "reject", "reject", "reject", "reject", "reject"}},
    {"AttachedNoAMB",
     {"DockedDetected"},
     {"reject", "Hide, stay", "reject", "to OffNoAMB", "reject", "Show, to DetachingHasAMB",
      "reject", "Show, to DetachedHasAMB", "reject", "reject", "reject"}},
    {"DetachingHasAMB",
     {"DockedDetected", "Unlocked"},
     {"reject", "Show, stay", "reject", "Hide, to OffHasAMB", "reject", "reject", "reject",
      "to DetachedHasAMB", "Hide, to AttachedNoAMB", "reject", "Hide, to AttachedNoAMB"}},
    {"DetachedHasAMB",
     {"UndockedDetected"},
     {"reject", "Show, stay", "Hide, to DetachedNoAMB", "Hide, to OffHasAMB", "reject", "reject",
      "reject", "reject", "reject", "reject", "Hide, to AttachedNoAMB"}},
    {"DetachedNoAMB",
     {"UndockedDetected", "Toggled"},
     {"reject", "Hide, stay", "Show, to DetachedHasAMB", "to OffNoAMB", "reject", "reject",
      "reject", "reject", "reject", "reject", "to AttachedNoAMB"}},
    {"OffHasAMB",
     {"UndockedDetected", "Suspend"},
     {"reject", "reject", "reject", "reject", "reject", "reject", "Show, to DetachedHasAMB",
      "reject", "reject", "Hide, to AttachedNoAMB", "reject"}},
    {"OffNoAMB",
     {"DockedDetected", "Suspend"},
     {"reject", "reject", "reject", "reject", "reject", "reject", "to DetachedNoAMB", "reject",
      "reject", "to AttachedNoAMB", "reject"}},
}};

struct Outcome {
    bool rejected = false;
    std::vector<std::string> calls;
    std::string state;  // empty: stays
};

Outcome Parse(const std::string& cell) {
    Outcome outcome;
    if (cell == "reject") {
        outcome.rejected = true;
        return outcome;
    }
    std::string rest = cell;
    for (const char* action : {"Show", "Hide"}) {
        if (rest.rfind(std::string(action) + ", ", 0) == 0) {
            outcome.calls.push_back(action);
            rest = rest.substr(std::string(action).size() + 2);
        }
    }
    if (rest.rfind("to ", 0) == 0) {
        outcome.state = rest.substr(3);
    } else if (rest != "stay" || outcome.calls.empty()) {
        ADD_FAILURE() << "malformed cell: " << cell;
    }
    return outcome;
}

void Reach(RecordingMachine& machine, const StateRow& row) {
    for (const char* event : row.path) Raise(machine, event);
    ASSERT_STREQ(machine.CurrentState()->Name(), row.name);
    machine._calls.clear();
}

class TransitionTest : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(TransitionTest, MatchesTable) {
    const auto [stateIndex, eventIndex] = GetParam();
    const StateRow& row = kTable[stateIndex];
    const std::string event = kEvents[eventIndex].name;
    const Outcome expected = Parse(row.cells[eventIndex]);

    RecordingMachine machine;
    Reach(machine, row);
    if (expected.rejected) {
        try {
            Raise(machine, event);
            FAIL() << "no FsmException";
        } catch (const FsmException& rejection) {
            EXPECT_STREQ(rejection.what(), event.c_str());
            EXPECT_EQ(rejection.StateName(), row.name);
        }
        EXPECT_TRUE(machine._calls.empty());
        EXPECT_STREQ(machine.CurrentState()->Name(), row.name);
        return;
    }

    Raise(machine, event);
    EXPECT_EQ(machine._calls, expected.calls);
    EXPECT_STREQ(machine.CurrentState()->Name(),
                 expected.state.empty() ? row.name : expected.state.c_str());

    if (expected.calls.empty()) return;
    // A failing action passes through unchanged and leaves the state as it was.
    RecordingMachine failing;
    Reach(failing, row);
    failing._actionsThrow = true;
    try {
        Raise(failing, event);
        FAIL() << "action failure swallowed";
    } catch (const std::runtime_error& failure) {
        EXPECT_EQ(failure.what(), expected.calls.front() + " failed");
    }
    EXPECT_EQ(failing._calls, expected.calls);
    EXPECT_STREQ(failing.CurrentState()->Name(), row.name);
}

INSTANTIATE_TEST_SUITE_P(AllCells, TransitionTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, kTable.size()),
                                            ::testing::Range<std::size_t>(0, kEvents.size())),
                         [](const auto& cell) {
                             return std::string(kTable[std::get<0>(cell.param)].name) + "_" +
                                    kEvents[std::get<1>(cell.param)].name;
                         });

// A step of a scenario: raise an event (or "Reset"), then expect these calls and this state;
// a non-empty rejectedIn expects an FsmException naming that state.
struct Step {
    const char* event;
    std::vector<std::string> calls;
    const char* state;
    const char* rejectedIn = "";
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
};

const std::vector<Scenario> kScenarios{
    {"NewMachineRejectsDocked", {{"Docked", {}, "Init", "Init"}}},
    {"ToggleTwiceWhileDetached",
     {{"UndockedDetected", {"Show"}, "DetachedHasAMB"},
      {"Toggled", {"Hide"}, "DetachedNoAMB"},
      {"Toggled", {"Show"}, "DetachedHasAMB"}}},
    {"LatchThenUndock",
     {{"DockedDetected", {"Hide"}, "AttachedNoAMB"},
      {"Unlocked", {"Show"}, "DetachingHasAMB"},
      {"Undocked", {}, "DetachedHasAMB"}}},
    {"LatchThenLock",
     {{"DockedDetected", {"Hide"}, "AttachedNoAMB"},
      {"Unlocked", {"Show"}, "DetachingHasAMB"},
      {"Locked", {"Hide"}, "AttachedNoAMB"}}},
    {"SuspendWithFrameOffStaysOffOnResume",
     {{"UndockedDetected", {"Show"}, "DetachedHasAMB"},
      {"Toggled", {"Hide"}, "DetachedNoAMB"},
      {"Suspend", {}, "OffNoAMB"},
      {"UndockedResume", {}, "DetachedNoAMB"}}},
    {"SecondSuspendRejected",
     {{"UndockedDetected", {"Show"}, "DetachedHasAMB"},
      {"Suspend", {"Hide"}, "OffHasAMB"},
      {"Suspend", {}, "OffHasAMB", "OffHasAMB"}}},
    {"ResetFromOffThenDecideAgain",
     {{"UndockedDetected", {"Show"}, "DetachedHasAMB"},
      {"Suspend", {"Hide"}, "OffHasAMB"},
      {"Reset", {}, "Init"},
      {"DockedDetected", {"Hide"}, "AttachedNoAMB"}}},
    {"RejectionKeepsMachineUsable",
     {{"DockedDetected", {"Hide"}, "AttachedNoAMB"},
      {"Toggled", {}, "AttachedNoAMB", "AttachedNoAMB"},
      {"Unlocked", {"Show"}, "DetachingHasAMB"}}},
};

class ScenarioTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(ScenarioTest, FollowsSteps) {
    RecordingMachine machine;
    EXPECT_STREQ(machine.CurrentState()->Name(), "Init");
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(step.event);
        machine._calls.clear();
        if (std::string(step.event) == "Reset") {
            machine.Reset();
        } else if (*step.rejectedIn != '\0') {
            try {
                Raise(machine, step.event);
                ADD_FAILURE() << "no FsmException";
            } catch (const FsmException& rejection) {
                EXPECT_STREQ(rejection.what(), step.event);
                EXPECT_EQ(rejection.StateName(), step.rejectedIn);
            }
        } else {
            Raise(machine, step.event);
        }
        EXPECT_EQ(machine._calls, step.calls);
        EXPECT_STREQ(machine.CurrentState()->Name(), step.state);
    }
}

INSTANTIATE_TEST_SUITE_P(EdgeCases, ScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& scenario) { return std::string(scenario.param.name); });

TEST(VbStateMachineTest, ResetFromEveryStateGoesToInitWithoutAction) {
    for (const StateRow& row : kTable) {
        SCOPED_TRACE(row.name);
        RecordingMachine machine;
        Reach(machine, row);
        machine.Reset();
        EXPECT_TRUE(machine._calls.empty());
        EXPECT_STREQ(machine.CurrentState()->Name(), "Init");
    }
}

TEST(VbStateMachineTest, ThrowingShowFrameOnUnlockKeepsAttached) {
    RecordingMachine machine;
    machine.DockedDetected();
    machine._actionsThrow = true;
    EXPECT_THROW(machine.Unlocked(), std::runtime_error);
    EXPECT_STREQ(machine.CurrentState()->Name(), "AttachedNoAMB");

    // Once the frame can be shown again, the same event goes through.
    machine._actionsThrow = false;
    machine.Unlocked();
    EXPECT_STREQ(machine.CurrentState()->Name(), "DetachingHasAMB");
}

TEST(VbStateMachineTest, MachinesShareStatesButNotTheCurrentOne) {
    RecordingMachine first;
    RecordingMachine second;
    first.UndockedDetected();
    EXPECT_STREQ(second.CurrentState()->Name(), "Init");
    second.UndockedDetected();
    EXPECT_EQ(first.CurrentState(), second.CurrentState());
    EXPECT_EQ(first.CurrentState(), &VBSM_DetachedHasAMBState::Instance());
}

TEST(FsmExceptionTest, CopiesCarryBothNames) {
    auto original = std::make_unique<FsmException>("Toggled", "DetachingHasAMB");
    const FsmException copied(*original);
    FsmException assigned("x", "y");
    assigned = *original;
    original.reset();

    for (const FsmException* rejection : std::array<const FsmException*, 2>{&copied, &assigned}) {
        EXPECT_STREQ(rejection->what(), "Toggled");
        EXPECT_EQ(rejection->StateName(), "DetachingHasAMB");
        const std::exception& asStandard = *rejection;
        EXPECT_STREQ(asStandard.what(), "Toggled");
    }
}

}  // namespace
}  // namespace VbStateMachine
