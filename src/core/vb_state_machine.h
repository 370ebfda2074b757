#pragma once

#include <exception>
#include <string>

// Decides from named events whether the bezel frame is shown, and remembers why the machine is
// in its present condition. The machine itself never touches display or touch; states ask the
// context to show or hide the frame.
namespace VbStateMachine {

class VBSM_State;

// Implemented by whoever completes the machine; states call it to change the frame.
class VbStateMachineContextInterface {
public:
    virtual void ShowFrame() = 0;
    virtual void HideFrame() = 0;

protected:
    // The completed machine is always held by value, never deleted through this interface.
    ~VbStateMachineContextInterface() = default;
};

// Holds the current state and hands every event to it. Not locked: events must arrive one at a
// time.
class VBSM_ : public VbStateMachineContextInterface {
public:
    VBSM_() noexcept;

    virtual void DockedDetected();
    virtual void GfxModeSet();
    virtual void Toggled();
    virtual void Suspend();
    virtual void UndockedDetected();
    virtual void Unlocked();
    virtual void UndockedResume();
    virtual void Undocked();
    virtual void Locked();
    virtual void DockedResume();
    virtual void Docked();

    // Back to Init from anywhere, without touching the frame.
    void Reset() noexcept;

    const VBSM_State* CurrentState() const noexcept { return _currentState; }

    // Last, so that the event operations keep their places right after the context's two.
    virtual ~VBSM_() = default;

private:
    friend class VBSM_State;

    const VBSM_State* _currentState;
};

// A state rejects every event unless it overrides the handler. States are shared, immutable
// singletons; all per-machine data lives in the machine.
class VBSM_State {
public:
    virtual const char* Name() const = 0;

    virtual void DockedDetected(VBSM_& machine) const;
    virtual void GfxModeSet(VBSM_& machine) const;
    virtual void Toggled(VBSM_& machine) const;
    virtual void Suspend(VBSM_& machine) const;
    virtual void UndockedDetected(VBSM_& machine) const;
    virtual void Unlocked(VBSM_& machine) const;
    virtual void UndockedResume(VBSM_& machine) const;
    virtual void Undocked(VBSM_& machine) const;
    virtual void Locked(VBSM_& machine) const;
    virtual void DockedResume(VBSM_& machine) const;
    virtual void Docked(VBSM_& machine) const;

protected:
    constexpr VBSM_State() noexcept = default;
    ~VBSM_State() = default;

    static void MoveTo(VBSM_& machine, const VBSM_State& target) noexcept {
        machine._currentState = &target;
    }
};

// After construction and after Reset; the first Detected event makes the first decision.
class VBSM_InitState final : public VBSM_State {
public:
    static const VBSM_InitState& Instance() noexcept { return _instance; }

    const char* Name() const override;
    void DockedDetected(VBSM_& machine) const override;
    void UndockedDetected(VBSM_& machine) const override;

private:
    static const VBSM_InitState _instance;
};

// Keyboard or dock attached, frame hidden.
class VBSM_AttachedNoAMBState final : public VBSM_State {
public:
    static const VBSM_AttachedNoAMBState& Instance() noexcept { return _instance; }

    const char* Name() const override;
    void GfxModeSet(VBSM_& machine) const override;
    void Suspend(VBSM_& machine) const override;
    void Unlocked(VBSM_& machine) const override;
    void Undocked(VBSM_& machine) const override;

private:
    static const VBSM_AttachedNoAMBState _instance;
};

// Release latch pressed while attached: frame shown, undocking expected.
class VBSM_DetachingHasAMBState final : public VBSM_State {
public:
    static const VBSM_DetachingHasAMBState& Instance() noexcept { return _instance; }

    const char* Name() const override;
    void GfxModeSet(VBSM_& machine) const override;
    void Suspend(VBSM_& machine) const override;
    void Undocked(VBSM_& machine) const override;
    void Locked(VBSM_& machine) const override;
    void Docked(VBSM_& machine) const override;

private:
    static const VBSM_DetachingHasAMBState _instance;
};

// Detached, frame shown.
class VBSM_DetachedHasAMBState final : public VBSM_State {
public:
    static const VBSM_DetachedHasAMBState& Instance() noexcept { return _instance; }

    const char* Name() const override;
    void GfxModeSet(VBSM_& machine) const override;
    void Toggled(VBSM_& machine) const override;
    void Suspend(VBSM_& machine) const override;
    void Docked(VBSM_& machine) const override;

private:
    static const VBSM_DetachedHasAMBState _instance;
};

// Detached, the user toggled the frame off.
class VBSM_DetachedNoAMBState final : public VBSM_State {
public:
    static const VBSM_DetachedNoAMBState& Instance() noexcept { return _instance; }

    const char* Name() const override;
    void GfxModeSet(VBSM_& machine) const override;
    void Toggled(VBSM_& machine) const override;
    void Suspend(VBSM_& machine) const override;
    void Docked(VBSM_& machine) const override;

private:
    static const VBSM_DetachedNoAMBState _instance;
};

// Switched off while the frame was shown; an undocked resume brings it back.
class VBSM_OffHasAMBState final : public VBSM_State {
public:
    static const VBSM_OffHasAMBState& Instance() noexcept { return _instance; }

    const char* Name() const override;
    void UndockedResume(VBSM_& machine) const override;
    void DockedResume(VBSM_& machine) const override;

private:
    static const VBSM_OffHasAMBState _instance;
};

// Switched off while the frame was hidden; it stays hidden on resume.
class VBSM_OffNoAMBState final : public VBSM_State {
public:
    static const VBSM_OffNoAMBState& Instance() noexcept { return _instance; }

    const char* Name() const override;
    void UndockedResume(VBSM_& machine) const override;
    void DockedResume(VBSM_& machine) const override;

private:
    static const VBSM_OffNoAMBState _instance;
};

// A state rejected an event: what() is the event's name, StateName() the rejecting state's.
class FsmException : public std::exception {
public:
    FsmException(std::string eventName, std::string stateName);

    const char* what() const noexcept override { return _eventName.c_str(); }
    const std::string& StateName() const noexcept { return _stateName; }

private:
    std::string _eventName;
    std::string _stateName;
};

}  // namespace VbStateMachine
