// Joins the system event sources to the bezel state machine: the first decision at start-up,
// one state machine event for each system event that calls for one, and the undock timer.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/vb_state_machine_context.h"
#include "events/system_event.h"
#include "platform/platform.h"

class VbController {
public:
    VbController(const platform::Platform& platform, PVOID notifyHandle);

    // The process-wide controller; the first call fixes the notification handle.
    static VbController* GetInstance(PVOID notifyHandle);

    bool Initialize();
    // Runs the system event monitor on the calling thread until it is stopped.
    void RunSystemEventsMonitor();
    void StopSystemEventsMonitor();
    void Uninitialize();

    void OnSystemEvent(SystemEventType type, const unsigned char* data, std::uint64_t size);
    static void CALLBACK UndockTimerProc(HWND hwnd, UINT message, UINT_PTR idTimer, DWORD time);

    VbStateMachineContextImpl& Context() { return _context; }
    UINT_PTR UndockTimerId() const { return _undockTimerId; }

    static constexpr UINT_PTR kUndockTimerRequestedId = 3721;
    static constexpr UINT kUndockTimerMilliseconds = 5000;

private:
    // Raises one event with the animation flag set around it.
    void Animated(void (VbStateMachine::VBSM_::*event)());
    void ArmUndockTimer();
    void DisarmUndockTimer();
    void OnUndockTimer(UINT message, UINT_PTR idTimer);

    platform::Platform _platform;
    PVOID _notifyHandle;
    VbStateMachineContextImpl _context;
    // Touched only on the monitor's window thread.
    UINT_PTR _undockTimerId = 0;
};
