// The controller and its state machine against a model built from the rules alone (the
// transition table in tests/core/transitions.txt and the event mapping below): random event
// sequences, each step compared for state, frame requests, lines and the undock timer.
//
// The controller runs in a simulated world of its own, called on the test's thread (no monitor
// thread, no message loop); the undock timer's expiry is its procedure called by hand.
// KELVO_MODEL_SEED=N replays the one sequence of seed N.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "contract.h"
#include "core/transition_table.h"
#include "core/vb_controller.h"
#include "rig/sim_rig.h"

namespace {

constexpr int kSequences = KELVO_MODEL_SEQUENCES;
constexpr int kSteps = 50;

const std::vector<table::Transition> kTable = table::Read(KELVO_TRANSITIONS);

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// One row of system_events.txt.
struct Mapping {
    std::string raise, event, docked, animated;
    std::wstring line;
};

std::map<std::uint32_t, Mapping> ReadMappings() {
    std::map<std::uint32_t, Mapping> mappings;
    for (const auto& row : table::Rows(KELVO_SYSTEM_EVENTS, 6)) {
        mappings[std::stoul(row[0])] = {row[1], row[2], row[3], row[4], Wide(row[5])};
    }
    return mappings;
}

const std::map<std::uint32_t, Mapping> kMappings = ReadMappings();

// The bytes as the controller dumps them: " 0xNN" each, sixteen to a line.
std::wstring Dump(const std::vector<unsigned char>& data) {
    std::wstring dump;
    for (std::size_t i = 0; i < data.size(); ++i) {
        wchar_t byte[8];
        std::swprintf(byte, 8, L" 0x%02x", data[i]);
        dump += (i % 16 == 0 && i ? L"\n" : L"") + std::wstring(byte);
    }
    return dump;
}

class Model {
public:
    Model(bool slate, bool docked) : _docked(docked) {
        lines = {
            slate ? L"4 System is currently in TABLET mode."
                  : L"4 System is currently in CLASMSHELL mode.",
            docked ? L"4 System is currently in DOCKED." : L"4 System is currently in UNDOCKED."};
        Machine(slate ? "UndockedDetected" : "DockedDetected", false);
    }

    void Docked(bool docked) { lines.clear(), _docked = docked; }
    void Expiry() {
        lines.clear();
        if (timerArmed) Machine("Docked", false);
        timerArmed = false;
    }
    void SystemEvent(std::uint32_t value, const std::vector<unsigned char>& data) {
        lines.clear();
        const auto mapping = kMappings.find(value);
        if (mapping == kMappings.end()) {
            // The OEM code is the first four bytes, little-endian.
            std::uint32_t code = 0;
            for (std::size_t i = 0; i < data.size() && i < 4; ++i) code |= data[i] << (8 * i);
            const bool oem = value == EvtOemPowerEvent;
            wchar_t text[64];
            std::swprintf(text, 64,
                          oem ? L"System detected OEM power event: 0x%x"
                          : value == EvtPowerSettingChange
                              ? L"System power setting changed with event data:\n"
                              : L"System event (%u) raw data:\n",
                          oem ? code : value);
            lines.push_back(L"4 " + std::wstring(text) + (oem ? L"" : Dump(data)));
        } else {
            const Mapping& m = mapping->second;
            lines.push_back(L"4 " + m.line);
            if (m.raise == "-") return;
            if (m.raise == "ResetByDock") state = "Init";
            const bool accepted =
                Machine(m.raise != "One" && _docked ? m.docked : m.event, m.animated == "yes");
            // The timer follows only an accepted event: armed anew by unlock, dropped by undock.
            if (accepted && value == EvtUnlocked) timerArmed = true;
            if (accepted && value == EvtUndocked) timerArmed = false;
        }
    }

    std::string state = "Init";
    bool timerArmed = false;
    std::vector<std::wstring> lines;

private:
    bool Machine(const std::string& event, bool animated) {
        const table::Transition* t = table::Find(kTable, state, event);
        if (!t) {
            lines.push_back(L"3 System event " + Wide(event) + L" not handled in " + Wide(state) +
                            L" state.");
            return false;
        }
        if (t->action != "-") lines.push_back(Wide(t->action) + (animated ? L" animated" : L""));
        state = t->to;
        return true;
    }

    bool _docked;
};

// The step's lines the model speaks about: the controller's own, and the frame requests read
// from the display customizer's request line. An animated request ends with the plain request
// of its last step (the only step here), which is not a request of its own.
std::vector<std::wstring> TakeObserved(rig::SimRig& rig) {
    std::vector<std::wstring> lines;
    bool lastStepDue = false;
    for (const std::wstring& line : rig.TakeTraces()) {
        const std::wstring text = line.substr(3);
        if (text.rfind(L"enableAMB = ", 0) == 0) {
            const bool animated = text.find(L"dwSteps") != std::wstring::npos;
            if (!animated && lastStepDue) {
                lastStepDue = false;
                continue;
            }
            lastStepDue = animated;
            lines.push_back(std::wstring(text[12] == L'1' ? L"Show" : L"Hide") +
                            (animated ? L" animated" : L""));
        } else if (text.rfind(L"System ", 0) == 0 || text.rfind(L"Virtual Bezel ", 0) == 0 ||
                   text.rfind(L"Graphics mode ", 0) == 0) {
            lines.push_back(line.substr(1));
        }
    }
    return lines;
}

// Values 0 to 22 (21 and 22 unknown), metric flips and expiries, the machine's values weighted
// up so that sequences reach deep into the table. False at the first step where controller and
// model differ.
bool Agree(std::uint64_t seed) {
    std::mt19937_64 random(seed);
    auto pick = [&random](std::uint32_t n) {
        return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random);
    };
    const bool slate = pick(2) == 0, docked = pick(2) == 0;
    rig::SimRig rig;
    rig.world.GetTracing().SetSessionLevel(TRACE_LEVEL_INFORMATION);
    // One animation step keeps the animated request as cheap as a plain one.
    rig.world.GetRegistry().SetDword(HKEY_LOCAL_MACHINE, contract::kDisplayKey, L"AnimationSteps",
                                     1);
    rig.world.GetWindowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, slate ? 0 : 1);
    rig.world.GetWindowing().SetSystemMetric(SM_SYSTEMDOCKED, docked ? 1 : 0);
    VbController* controller = VbController::GetInstance(nullptr);
    Model model(slate, docked);
    controller->Initialize();
    std::string inputs = "tablet=" + std::to_string(slate) + " docked=" + std::to_string(docked);
    for (int step = 0; step <= kSteps; ++step) {
        static const std::uint32_t kMachineValues[] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 18, 19, 20};
        const std::uint32_t roll = step == 0 ? 99 : pick(16);
        if (roll < 2) {
            const std::uint32_t metric = pick(2);
            rig.world.GetWindowing().SetSystemMetric(SM_SYSTEMDOCKED, int(metric));
            model.Docked(metric != 0);
            inputs += " docked=" + std::to_string(metric);
        } else if (roll < 4) {
            // The timer's own dispatch: only an armed timer ever fires.
            if (const UINT_PTR id = controller->UndockTimerId()) {
                VbController::UndockTimerProc(nullptr, WM_TIMER, id, 0);
            }
            model.Expiry();
            inputs += " expiry";
        } else if (roll < 16) {
            const std::uint32_t value = roll < 13 ? kMachineValues[pick(12)] : pick(23);
            // Up to 20 bytes of data, which only some events look at.
            std::vector<unsigned char> data(pick(21));
            for (unsigned char& byte : data) byte = static_cast<unsigned char>(pick(256));
            controller->OnSystemEvent(static_cast<SystemEventType>(value),
                                      data.empty() ? nullptr : data.data(), data.size());
            model.SystemEvent(value, data);
            inputs += " " + std::to_string(value);
        }
        // The lines, then the state, the timer and the timers in the world: never more than one,
        // a new unlock replaces the armed one.
        auto end = [](std::string state, bool timer, std::size_t timers) {
            return L"state " + Wide(state) + L" timer " + std::to_wstring(timer) + L"/" +
                   std::to_wstring(timers);
        };
        std::vector<std::wstring> seen = TakeObserved(rig), expected = model.lines;
        seen.push_back(end(controller->Context().CurrentState()->Name(),
                           controller->UndockTimerId() != 0,
                           rig.world.GetWindowing().Count().timers));
        expected.push_back(end(model.state, model.timerArmed, model.timerArmed));
        EXPECT_EQ(seen, expected) << "KELVO_MODEL_SEED=" << seed << ", after " << inputs;
        if (seen != expected) return false;
    }
    return true;
}

TEST(ControllerModel, RandomSequencesAgreeWithTheModelAtEveryStep) {
    const char* replay = std::getenv("KELVO_MODEL_SEED");
    const std::uint64_t first = replay ? std::strtoull(replay, nullptr, 10) : 0;
    for (std::uint64_t seed = first; seed < (replay ? first + 1 : kSequences) && Agree(seed);) {
        ++seed;
    }
}

}  // namespace
