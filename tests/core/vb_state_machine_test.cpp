// The machine's own contract beyond what the controller model test (tests/model) checks against
// the same table (transitions.txt): every action comes before its move, so an action that fails
// passes its failure on and leaves the state as it was; Reset goes to Init without an action.
#include "core/vb_state_machine.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/transition_table.h"

namespace VbStateMachine {
namespace {

// Completes the machine; its actions fail when asked to.
class FailingMachine final : public VBSM_ {
public:
    void ShowFrame() override { Act("Show"); }
    void HideFrame() override { Act("Hide"); }
    std::vector<std::string> calls;
    bool fail = false;

private:
    void Act(const char* call) {
        calls.push_back(call);
        if (fail) throw std::runtime_error(call);
    }
};

void Raise(VBSM_& machine, const std::string& event) {
    static const std::map<std::string, void (VBSM_::*)()> kRaise = {
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
        {"Docked", &VBSM_::Docked}};
    (machine.*kRaise.at(event))();
}

// A shortest path of accepted events from Init to the state, found in the table.
std::vector<std::string> PathTo(const std::vector<table::Transition>& rows,
                                const std::string& state) {
    std::map<std::string, std::vector<std::string>> paths = {{"Init", {}}};
    for (std::deque<std::string> open = {"Init"}; !open.empty(); open.pop_front()) {
        for (const table::Transition& t : rows) {
            if (t.from != open.front() || paths.count(t.to)) continue;
            paths[t.to] = paths[t.from];
            paths[t.to].push_back(t.event);
            open.push_back(t.to);
        }
    }
    return paths.at(state);
}

TEST(VbStateMachine, AFailingActionLeavesTheStateAndResetTakesNone) {
    const std::vector<table::Transition> rows = table::Read(KELVO_TRANSITIONS);
    for (const table::Transition& t : rows) {
        SCOPED_TRACE(t.from + " " + t.event);
        FailingMachine machine;
        for (const std::string& event : PathTo(rows, t.from)) Raise(machine, event);
        ASSERT_EQ(machine.CurrentState()->Name(), t.from);
        machine.calls.clear();
        machine.fail = true;
        if (t.action == "-") {
            Raise(machine, t.event);
            EXPECT_EQ(machine.CurrentState()->Name(), t.to);
        } else {
            EXPECT_THROW(Raise(machine, t.event), std::runtime_error);
            EXPECT_EQ(machine.CurrentState()->Name(), t.from);
        }
        machine.Reset();
        EXPECT_EQ(machine.calls.size(), t.action == "-" ? 0u : 1u);  // the one failed action
        EXPECT_STREQ(machine.CurrentState()->Name(), "Init");
    }
}

}  // namespace
}  // namespace VbStateMachine
