#include "service/sim/demo.h"

#include "core/vb_state_machine.h"
#include "log/log.h"
#include "platform/sim/sim_world.h"
#include "service/sim/timeline.h"

namespace kelvo::host {

namespace {

using VbStateMachine::FsmException;
using VbStateMachine::VBSM_;

// Completes the machine with actions that only trace what the real context would do.
class TracingContext : public VBSM_ {
public:
    void ShowFrame() override { Log(TRACE_LEVEL_INFORMATION, L"Ambrel SHOWN"); }
    void HideFrame() override { Log(TRACE_LEVEL_INFORMATION, L"Ambrel HIDDEN"); }
};

struct Step {
    const wchar_t* what;  // what the user did
    const char* event;
    void (VBSM_::*raise)();
};

constexpr Step kSteps[] = {
    {L"The service starts with the keyboard attached", "DockedDetected", &VBSM_::DockedDetected},
    {L"The user presses the tablet release latch", "Unlocked", &VBSM_::Unlocked},
    {L"The keyboard comes off", "Undocked", &VBSM_::Undocked},
    {L"The user toggles the frame off", "Toggled", &VBSM_::Toggled},
    {L"The user toggles the frame on", "Toggled", &VBSM_::Toggled},
    {L"The tablet is suspended", "Suspend", &VBSM_::Suspend},
    {L"The tablet resumes, still undocked", "UndockedResume", &VBSM_::UndockedResume},
    {L"The screen mode changes", "GfxModeSet", &VBSM_::GfxModeSet},
    {L"The user presses the release latch again", "Unlocked", &VBSM_::Unlocked},
    {L"The keyboard is attached again", "Docked", &VBSM_::Docked},
};

}  // namespace

int RunDemo(std::FILE* out) {
    platform::sim::SimWorld world;
    PrintTraces(world.GetTracing(), out, TRACE_LEVEL_VERBOSE);
    TracingContext machine;
    for (const Step& step : kSteps) {
        Log(TRACE_LEVEL_INFORMATION, L"%s: %S in state %S", step.what, step.event,
            machine.CurrentState()->Name());
        try {
            (machine.*step.raise)();
        } catch (const FsmException& e) {
            Log(TRACE_LEVEL_WARNING, L"System event %S not handled in %S state.", e.what(),
                e.StateName().c_str());
        }
        Log(TRACE_LEVEL_INFORMATION, L"Now in state %S", machine.CurrentState()->Name());
        world.Advance(1000);
    }
    return 0;
}

}  // namespace kelvo::host
