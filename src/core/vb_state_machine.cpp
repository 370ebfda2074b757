#include "core/vb_state_machine.h"

#include <utility>

namespace VbStateMachine {

namespace {

[[noreturn]] void Reject(const VBSM_& machine, const char* eventName) {
    throw FsmException(eventName, machine.CurrentState()->Name());
}

}  // namespace

// Constant-initialised, so a machine built during static initialisation elsewhere still points
// at a live state.
constinit const VBSM_InitState VBSM_InitState::_instance;
constinit const VBSM_AttachedNoAMBState VBSM_AttachedNoAMBState::_instance;
constinit const VBSM_DetachingHasAMBState VBSM_DetachingHasAMBState::_instance;
constinit const VBSM_DetachedHasAMBState VBSM_DetachedHasAMBState::_instance;
constinit const VBSM_DetachedNoAMBState VBSM_DetachedNoAMBState::_instance;
constinit const VBSM_OffHasAMBState VBSM_OffHasAMBState::_instance;
constinit const VBSM_OffNoAMBState VBSM_OffNoAMBState::_instance;

FsmException::FsmException(std::string eventName, std::string stateName)
    : _eventName(std::move(eventName)), _stateName(std::move(stateName)) {}

VBSM_::VBSM_() noexcept : _currentState(&VBSM_InitState::Instance()) {}

void VBSM_::Reset() noexcept { _currentState = &VBSM_InitState::Instance(); }

void VBSM_::DockedDetected() { _currentState->DockedDetected(*this); }
void VBSM_::GfxModeSet() { _currentState->GfxModeSet(*this); }
void VBSM_::Toggled() { _currentState->Toggled(*this); }
void VBSM_::Suspend() { _currentState->Suspend(*this); }
void VBSM_::UndockedDetected() { _currentState->UndockedDetected(*this); }
void VBSM_::Unlocked() { _currentState->Unlocked(*this); }
void VBSM_::UndockedResume() { _currentState->UndockedResume(*this); }
void VBSM_::Undocked() { _currentState->Undocked(*this); }
void VBSM_::Locked() { _currentState->Locked(*this); }
void VBSM_::DockedResume() { _currentState->DockedResume(*this); }
void VBSM_::Docked() { _currentState->Docked(*this); }

void VBSM_State::DockedDetected(VBSM_& machine) const { Reject(machine, "DockedDetected"); }
void VBSM_State::GfxModeSet(VBSM_& machine) const { Reject(machine, "GfxModeSet"); }
void VBSM_State::Toggled(VBSM_& machine) const { Reject(machine, "Toggled"); }
void VBSM_State::Suspend(VBSM_& machine) const { Reject(machine, "Suspend"); }
void VBSM_State::UndockedDetected(VBSM_& machine) const { Reject(machine, "UndockedDetected"); }
void VBSM_State::Unlocked(VBSM_& machine) const { Reject(machine, "Unlocked"); }
void VBSM_State::UndockedResume(VBSM_& machine) const { Reject(machine, "UndockedResume"); }
void VBSM_State::Undocked(VBSM_& machine) const { Reject(machine, "Undocked"); }
void VBSM_State::Locked(VBSM_& machine) const { Reject(machine, "Locked"); }
void VBSM_State::DockedResume(VBSM_& machine) const { Reject(machine, "DockedResume"); }
void VBSM_State::Docked(VBSM_& machine) const { Reject(machine, "Docked"); }

// In every handler the action comes before the move, so a failing action keeps the old state.

const char* VBSM_InitState::Name() const { return "Init"; }

void VBSM_InitState::DockedDetected(VBSM_& machine) const {
    machine.HideFrame();
    MoveTo(machine, VBSM_AttachedNoAMBState::Instance());
}

void VBSM_InitState::UndockedDetected(VBSM_& machine) const {
    machine.ShowFrame();
    MoveTo(machine, VBSM_DetachedHasAMBState::Instance());
}

const char* VBSM_AttachedNoAMBState::Name() const { return "AttachedNoAMB"; }

void VBSM_AttachedNoAMBState::GfxModeSet(VBSM_& machine) const { machine.HideFrame(); }

void VBSM_AttachedNoAMBState::Suspend(VBSM_& machine) const {
    MoveTo(machine, VBSM_OffNoAMBState::Instance());
}

void VBSM_AttachedNoAMBState::Unlocked(VBSM_& machine) const {
    machine.ShowFrame();
    MoveTo(machine, VBSM_DetachingHasAMBState::Instance());
}

void VBSM_AttachedNoAMBState::Undocked(VBSM_& machine) const {
    machine.ShowFrame();
    MoveTo(machine, VBSM_DetachedHasAMBState::Instance());
}

const char* VBSM_DetachingHasAMBState::Name() const { return "DetachingHasAMB"; }

void VBSM_DetachingHasAMBState::GfxModeSet(VBSM_& machine) const { machine.ShowFrame(); }

void VBSM_DetachingHasAMBState::Suspend(VBSM_& machine) const {
    machine.HideFrame();
    MoveTo(machine, VBSM_OffHasAMBState::Instance());
}

// The frame is already up since the latch was pressed.
void VBSM_DetachingHasAMBState::Undocked(VBSM_& machine) const {
    MoveTo(machine, VBSM_DetachedHasAMBState::Instance());
}

void VBSM_DetachingHasAMBState::Locked(VBSM_& machine) const {
    machine.HideFrame();
    MoveTo(machine, VBSM_AttachedNoAMBState::Instance());
}

void VBSM_DetachingHasAMBState::Docked(VBSM_& machine) const {
    machine.HideFrame();
    MoveTo(machine, VBSM_AttachedNoAMBState::Instance());
}

const char* VBSM_DetachedHasAMBState::Name() const { return "DetachedHasAMB"; }

void VBSM_DetachedHasAMBState::GfxModeSet(VBSM_& machine) const { machine.ShowFrame(); }

void VBSM_DetachedHasAMBState::Toggled(VBSM_& machine) const {
    machine.HideFrame();
    MoveTo(machine, VBSM_DetachedNoAMBState::Instance());
}

void VBSM_DetachedHasAMBState::Suspend(VBSM_& machine) const {
    machine.HideFrame();
    MoveTo(machine, VBSM_OffHasAMBState::Instance());
}

void VBSM_DetachedHasAMBState::Docked(VBSM_& machine) const {
    machine.HideFrame();
    MoveTo(machine, VBSM_AttachedNoAMBState::Instance());
}

const char* VBSM_DetachedNoAMBState::Name() const { return "DetachedNoAMB"; }

void VBSM_DetachedNoAMBState::GfxModeSet(VBSM_& machine) const { machine.HideFrame(); }

void VBSM_DetachedNoAMBState::Toggled(VBSM_& machine) const {
    machine.ShowFrame();
    MoveTo(machine, VBSM_DetachedHasAMBState::Instance());
}

void VBSM_DetachedNoAMBState::Suspend(VBSM_& machine) const {
    MoveTo(machine, VBSM_OffNoAMBState::Instance());
}

void VBSM_DetachedNoAMBState::Docked(VBSM_& machine) const {
    MoveTo(machine, VBSM_AttachedNoAMBState::Instance());
}

const char* VBSM_OffHasAMBState::Name() const { return "OffHasAMB"; }

void VBSM_OffHasAMBState::UndockedResume(VBSM_& machine) const {
    machine.ShowFrame();
    MoveTo(machine, VBSM_DetachedHasAMBState::Instance());
}

// Hidden once more although going off already hid it; harmless and keeps resume explicit.
void VBSM_OffHasAMBState::DockedResume(VBSM_& machine) const {
    machine.HideFrame();
    MoveTo(machine, VBSM_AttachedNoAMBState::Instance());
}

const char* VBSM_OffNoAMBState::Name() const { return "OffNoAMB"; }

void VBSM_OffNoAMBState::UndockedResume(VBSM_& machine) const {
    MoveTo(machine, VBSM_DetachedNoAMBState::Instance());
}

void VBSM_OffNoAMBState::DockedResume(VBSM_& machine) const {
    MoveTo(machine, VBSM_AttachedNoAMBState::Instance());
}

}  // namespace VbStateMachine
