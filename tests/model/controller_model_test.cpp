// The controller and its state machine against a model of them built from the rules alone: random
// event sequences, each step compared for state, frame calls, log lines and the undock timer.
//
// The controller runs in a simulated world of its own, called directly on the test's thread (no
// monitor thread, no message loop); the undock timer's expiry is its timer procedure called by
// hand. KELVO_MODEL_SEED=N replays the one sequence of seed N.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/vb_controller.h"
#include "platform/sim/sim_world.h"
#include "platform/sim/utf8.h"

using platform::sim::SimWorld;

namespace {

#ifdef KELVO_MODEL_SEQUENCES
constexpr int kSequences = KELVO_MODEL_SEQUENCES;
#else
constexpr int kSequences = 100000;
#endif
constexpr int kSteps = 50;

// ---- The model ----------------------------------------------------------------------------

enum class State {
    Init,
    AttachedNoAMB,
    DetachingHasAMB,
    DetachedHasAMB,
    DetachedNoAMB,
    OffHasAMB,
    OffNoAMB
};

const char* const kStateNames[] = {"Init",           "AttachedNoAMB", "DetachingHasAMB",
                                   "DetachedHasAMB", "DetachedNoAMB", "OffHasAMB",
                                   "OffNoAMB"};

enum class Event {
    DockedDetected,
    GfxModeSet,
    Toggled,
    Suspend,
    UndockedDetected,
    Unlocked,
    UndockedResume,
    Undocked,
    Locked,
    DockedResume,
    Docked,
};

const char* const kEventNames[] = {"DockedDetected",   "GfxModeSet",   "Toggled",        "Suspend",
                                   "UndockedDetected", "Unlocked",     "UndockedResume", "Undocked",
                                   "Locked",           "DockedResume", "Docked"};

enum class Action { None, Show, Hide };

// Every accepted (state, event) pair with its action and target; whatever is not listed is
// rejected. "stay" cells have the state itself as target.
struct Accepted {
    State from;
    Event event;
    Action action;
    State to;
};

const Accepted kAccepted[] = {
    {State::Init, Event::DockedDetected, Action::Hide, State::AttachedNoAMB},
    {State::Init, Event::UndockedDetected, Action::Show, State::DetachedHasAMB},

    {State::AttachedNoAMB, Event::GfxModeSet, Action::Hide, State::AttachedNoAMB},
    {State::AttachedNoAMB, Event::Suspend, Action::None, State::OffNoAMB},
    {State::AttachedNoAMB, Event::Unlocked, Action::Show, State::DetachingHasAMB},
    {State::AttachedNoAMB, Event::Undocked, Action::Show, State::DetachedHasAMB},

    {State::DetachingHasAMB, Event::GfxModeSet, Action::Show, State::DetachingHasAMB},
    {State::DetachingHasAMB, Event::Suspend, Action::Hide, State::OffHasAMB},
    {State::DetachingHasAMB, Event::Undocked, Action::None, State::DetachedHasAMB},
    {State::DetachingHasAMB, Event::Locked, Action::Hide, State::AttachedNoAMB},
    {State::DetachingHasAMB, Event::Docked, Action::Hide, State::AttachedNoAMB},

    {State::DetachedHasAMB, Event::GfxModeSet, Action::Show, State::DetachedHasAMB},
    {State::DetachedHasAMB, Event::Toggled, Action::Hide, State::DetachedNoAMB},
    {State::DetachedHasAMB, Event::Suspend, Action::Hide, State::OffHasAMB},
    {State::DetachedHasAMB, Event::Docked, Action::Hide, State::AttachedNoAMB},

    {State::DetachedNoAMB, Event::GfxModeSet, Action::Hide, State::DetachedNoAMB},
    {State::DetachedNoAMB, Event::Toggled, Action::Show, State::DetachedHasAMB},
    {State::DetachedNoAMB, Event::Suspend, Action::None, State::OffNoAMB},
    {State::DetachedNoAMB, Event::Docked, Action::None, State::AttachedNoAMB},

    {State::OffHasAMB, Event::UndockedResume, Action::Show, State::DetachedHasAMB},
    {State::OffHasAMB, Event::DockedResume, Action::Hide, State::AttachedNoAMB},

    {State::OffNoAMB, Event::UndockedResume, Action::None, State::DetachedNoAMB},
    {State::OffNoAMB, Event::DockedResume, Action::None, State::AttachedNoAMB},
};

// What the controller does with a system event value.
enum class Raise { Nothing, One, ByDockState, ResetThenByDockState };

struct Mapping {
    const wchar_t* line;  // the controller's level-4 line; null where it carries data
    Raise raise = Raise::Nothing;
    Event event = Event::Docked;   // for One; the undocked choice for the by-dock-state kinds
    Event docked = Event::Docked;  // the docked choice
    bool animated = false;
};

const Mapping kMappings[] = {
    /* 0 */ {nullptr},
    /* 1 */ {L"System is in CLAMSHELL mode."},
    /* 2 */ {L"System is in TABLET mode."},
    /* 3 */ {L"System is in DOCKED.", Raise::One, Event::Docked, Event::Docked, true},
    /* 4 */ {L"System is in UNDOCKED.", Raise::One, Event::Undocked, Event::Undocked, true},
    /* 5 */ {L"System is in LOCKED.", Raise::One, Event::Locked, Event::Locked, true},
    /* 6 */ {L"System is in UNLOCKED.", Raise::One, Event::Unlocked, Event::Unlocked, true},
    /* 7 */ {L"Virtual Bezel is TOGGLED.", Raise::One, Event::Toggled, Event::Toggled, true},
    /* 8 */ {L"System is being SUSPENDED.", Raise::One, Event::Suspend},
    /* 9 */ {L"System is entering CONNECTED STANDBY.", Raise::One, Event::Suspend},
    /* 10 */
    {L"System is being RESUMED.", Raise::ByDockState, Event::UndockedResume, Event::DockedResume},
    /* 11 */
    {L"System is being RESUMED from previous CRITICAL condition.", Raise::ResetThenByDockState,
     Event::UndockedDetected, Event::DockedDetected},
    /* 12 */ {L"System battery is low."},
    /* 13 */ {L"System power status changed."},
    /* 14 */ {nullptr},
    /* 15 */ {nullptr},
    /* 16 */ {L"System is entering Away Mode."},
    /* 17 */ {L"System exits Away Mode."},
    /* 18 */ {L"System monitor display turned off.", Raise::One, Event::Suspend},
    /* 19 */
    {L"System monitor display turned on.", Raise::ByDockState, Event::UndockedResume,
     Event::DockedResume},
    /* 20 */ {L"Graphics mode changed.", Raise::One, Event::GfxModeSet},
};

// One input of a sequence.
struct Input {
    enum class Kind { SystemEvent, DockedMetric, TimerExpiry } kind;
    std::uint32_t value = 0;  // the event value, the metric, unused for the expiry
    std::uint32_t oemCode = 0;
};

std::wstring Line(int level, const std::wstring& text) {
    return std::to_wstring(level) + L" " + text;
}

std::wstring FrameToken(bool show, bool animated) {
    return std::wstring(show ? L"Show" : L"Hide") + (animated ? L" animated" : L"");
}

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

std::wstring Rejection(Event event, State state) {
    return Line(3, L"System event " + Widen(kEventNames[static_cast<int>(event)]) +
                       L" not handled in " + Widen(kStateNames[static_cast<int>(state)]) +
                       L" state.");
}

class Model {
public:
    Model(bool slate, bool docked) : _docked(docked) {
        _lines.push_back(Line(4, slate ? L"System is currently in TABLET mode."
                                       : L"System is currently in CLASMSHELL mode."));
        _lines.push_back(Line(
            4, docked ? L"System is currently in DOCKED." : L"System is currently in UNDOCKED."));
        Machine(slate ? Event::UndockedDetected : Event::DockedDetected, false);
    }

    void Apply(const Input& input) {
        _lines.clear();
        switch (input.kind) {
            case Input::Kind::DockedMetric:
                _docked = input.value != 0;
                return;
            case Input::Kind::TimerExpiry:
                if (!_timerArmed) return;
                Machine(Event::Docked, false);
                _timerArmed = false;
                return;
            case Input::Kind::SystemEvent:
                SystemEvent(input);
                return;
        }
    }

    State state() const { return _state; }
    bool timerArmed() const { return _timerArmed; }
    const std::vector<std::wstring>& lines() const { return _lines; }

private:
    void SystemEvent(const Input& input) {
        if (input.value > 20 || kMappings[input.value].line == nullptr) {
            wchar_t text[96];
            if (input.value == EvtOemPowerEvent) {
                std::swprintf(text, 96, L"System detected OEM power event: 0x%x", input.oemCode);
            } else if (input.value == EvtPowerSettingChange) {
                std::swprintf(text, 96, L"System power setting changed with event data:\n");
            } else {
                std::swprintf(text, 96, L"System event (%d) raw data:\n",
                              static_cast<int>(input.value));
            }
            _lines.push_back(Line(4, text));
            return;
        }
        const Mapping& m = kMappings[input.value];
        _lines.push_back(Line(4, m.line));
        bool accepted = false;
        switch (m.raise) {
            case Raise::Nothing:
                return;
            case Raise::One:
                accepted = Machine(m.event, m.animated);
                break;
            case Raise::ByDockState:
                accepted = Machine(_docked ? m.docked : m.event, false);
                break;
            case Raise::ResetThenByDockState:
                _state = State::Init;
                accepted = Machine(_docked ? m.docked : m.event, false);
                break;
        }
        // The timer follows only an accepted event: armed anew by unlock, dropped by undock.
        if (accepted && input.value == EvtUnlocked) _timerArmed = true;
        if (accepted && input.value == EvtUndocked) _timerArmed = false;
    }

    bool Machine(Event event, bool animated) {
        for (const Accepted& a : kAccepted) {
            if (a.from != _state || a.event != event) continue;
            if (a.action != Action::None)
                _lines.push_back(FrameToken(a.action == Action::Show, animated));
            _state = a.to;
            return true;
        }
        _lines.push_back(Rejection(event, _state));
        return false;
    }

    State _state = State::Init;
    bool _docked;
    bool _timerArmed = false;
    std::vector<std::wstring> _lines;
};

// ---- The system under test ----------------------------------------------------------------

// The lines of one step that the model speaks about: the controller's own lines and the frame
// requests, read from the display customizer's request line. An animated request names its steps
// and ends with the plain request of its last step (the only step here), which is not a call of
// its own.
std::vector<std::wstring> TakeObserved(SimWorld& world) {
    std::vector<std::wstring> lines;
    bool lastStepDue = false;
    for (const auto& event : world.GetTracing().Events()) {
        const std::wstring& text = event.text;
        if (text.rfind(L"enableAMB = ", 0) == 0) {
            const bool animated = text.find(L"dwSteps") != std::wstring::npos;
            if (!animated && lastStepDue) {
                lastStepDue = false;
                continue;
            }
            lastStepDue = animated;
            lines.push_back(FrameToken(text[12] == L'1', animated));
        } else if (text.rfind(L"System ", 0) == 0 || text.rfind(L"Virtual Bezel ", 0) == 0 ||
                   text.rfind(L"Graphics mode ", 0) == 0) {
            lines.push_back(Line(event.level, text));
        }
    }
    world.GetTracing().Clear();
    return lines;
}

std::string Describe(const Input& input) {
    switch (input.kind) {
        case Input::Kind::DockedMetric:
            return "docked=" + std::to_string(input.value);
        case Input::Kind::TimerExpiry:
            return "expiry";
        case Input::Kind::SystemEvent:
            if (input.value == EvtOemPowerEvent)
                return "15(oem " + std::to_string(input.oemCode) + ")";
            return std::to_string(input.value);
    }
    return "?";
}

struct Sequence {
    bool slate = false;
    bool docked = false;
    std::vector<Input> inputs;
};

// Event values 0 to 22 (21 and 22 unknown), metric flips and expiries, with the state machine's
// values weighted up so that sequences reach deep into the table.
Sequence MakeSequence(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    auto pick = [&random](std::uint32_t n) {
        return static_cast<std::uint32_t>(
            std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random));
    };
    Sequence s;
    s.slate = pick(2) == 0;
    s.docked = pick(2) == 0;
    static const std::uint32_t kMachineValues[] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 18, 19, 20};
    for (int i = 0; i < kSteps; ++i) {
        Input input{Input::Kind::SystemEvent};
        const std::uint32_t roll = pick(16);
        if (roll < 2) {
            input = {Input::Kind::DockedMetric, pick(2)};
        } else if (roll < 4) {
            input = {Input::Kind::TimerExpiry};
        } else if (roll < 13) {
            input.value = kMachineValues[pick(std::size(kMachineValues))];
        } else {
            input.value = pick(23);
            input.oemCode = static_cast<std::uint32_t>(random());
        }
        s.inputs.push_back(input);
    }
    return s;
}

std::string Show(const std::vector<std::wstring>& lines) {
    std::string out;
    for (const auto& line : lines) out += "    " + platform::sim::ToUtf8(line) + "\n";
    return out;
}

// Runs one sequence; empty when controller and model agree throughout, else what to replay.
std::optional<std::string> Check(std::uint64_t seed) {
    const Sequence s = MakeSequence(seed);
    SimWorld world;
    world.GetTracing().SetSessionLevel(TRACE_LEVEL_INFORMATION);
    // One animation step keeps the animated request as cheap as a plain one.
    world.GetRegistry().SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display",
                                 L"AnimationSteps", 1);
    world.GetWindowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, s.slate ? 0 : 1);
    world.GetWindowing().SetSystemMetric(SM_SYSTEMDOCKED, s.docked ? 1 : 0);
    VbController* controller = VbController::GetInstance(nullptr);

    Model model(s.slate, s.docked);
    controller->Initialize();

    auto mismatch = [&](int step,
                        const std::vector<std::wstring>& observed) -> std::optional<std::string> {
        const bool timerCode = controller->UndockTimerId() != 0;
        // Never more than one undock timer: a new unlock replaces the armed one.
        const std::size_t timersWorld = world.GetWindowing().Count().timers;
        const char* state = controller->Context().CurrentState()->Name();
        if (state == std::string(kStateNames[static_cast<int>(model.state())]) &&
            observed == model.lines() && timerCode == model.timerArmed() &&
            timersWorld == (model.timerArmed() ? 1u : 0u)) {
            return std::nullopt;
        }
        std::ostringstream out;
        out << "seed " << seed << " (KELVO_MODEL_SEED=" << seed << "), start tablet=" << s.slate
            << " docked=" << s.docked << "\ninputs:";
        for (const Input& input : s.inputs) out << " " << Describe(input);
        out << "\nat "
            << (step < 0 ? std::string("start-up")
                         : "input " + std::to_string(step) + " (" + Describe(s.inputs[step]) + ")")
            << ":\n  state " << state << ", model " << kStateNames[static_cast<int>(model.state())]
            << "\n  timer id " << controller->UndockTimerId() << ", timers in the world "
            << world.GetWindowing().Count().timers << ", model "
            << (model.timerArmed() ? "armed" : "none") << "\n  lines:\n"
            << Show(observed) << "  model:\n"
            << Show(model.lines());
        return out.str();
    };

    if (auto m = mismatch(-1, TakeObserved(world))) return m;
    for (int i = 0; i < kSteps; ++i) {
        const Input& input = s.inputs[static_cast<std::size_t>(i)];
        model.Apply(input);
        switch (input.kind) {
            case Input::Kind::DockedMetric:
                world.GetWindowing().SetSystemMetric(SM_SYSTEMDOCKED,
                                                     static_cast<int>(input.value));
                break;
            case Input::Kind::TimerExpiry:
                // The timer's own dispatch: only an armed timer ever fires.
                if (controller->UndockTimerId() != 0) {
                    VbController::UndockTimerProc(nullptr, WM_TIMER, controller->UndockTimerId(),
                                                  0);
                }
                break;
            case Input::Kind::SystemEvent: {
                unsigned char oem[4];
                for (int b = 0; b < 4; ++b)
                    oem[b] = static_cast<unsigned char>(input.oemCode >> (8 * b));
                const bool withData = input.value == EvtOemPowerEvent;
                controller->OnSystemEvent(static_cast<SystemEventType>(input.value),
                                          withData ? oem : nullptr, withData ? 4 : 0);
                break;
            }
        }
        if (auto m = mismatch(i, TakeObserved(world))) return m;
    }
    return std::nullopt;
}

TEST(ControllerModel, RandomSequencesAgreeWithTheModelAtEveryStep) {
    std::vector<std::uint64_t> seeds;
    if (const char* replay = std::getenv("KELVO_MODEL_SEED")) {
        seeds.push_back(std::strtoull(replay, nullptr, 10));
    } else {
        for (int i = 0; i < kSequences; ++i) seeds.push_back(static_cast<std::uint64_t>(i));
    }
    for (std::uint64_t seed : seeds) {
        if (auto m = Check(seed)) FAIL() << *m;
    }
}

}  // namespace
