#include "core/vb_controller.h"

#include <exception>
#include <string>

#include "devices/display_customizer.h"
#include "devices/touch_manager.h"
#include "events/system_event_monitor.h"
#include "log/log.h"
#include "platform/world.h"

using VbStateMachine::FsmException;
using VbStateMachine::VBSM_;

VbController::VbController(const platform::Platform& platform, PVOID notifyHandle)
    : _platform(platform), _notifyHandle(notifyHandle), _context(platform) {}

VbController* VbController::GetInstance(PVOID notifyHandle) {
    return platform::World::Current().Instance<VbController>([notifyHandle](platform::World& w) {
        return std::make_unique<VbController>(w.GetPlatform(), notifyHandle);
    });
}

bool VbController::Initialize() {
    const bool initialized = _context.Initialize();
    SystemEventMonitor* monitor = SystemEventMonitor::Instance(_notifyHandle);
    const bool tablet = monitor->IsTabletMode();
    const bool undocked = monitor->IsUndocked();
    Log(TRACE_LEVEL_INFORMATION, L"System is currently in %s mode.",
        tablet ? L"TABLET" : L"CLASMSHELL");
    Log(TRACE_LEVEL_INFORMATION, L"System is currently in %s.", undocked ? L"UNDOCKED" : L"DOCKED");
    if (tablet) {
        _context.UndockedDetected();
    } else {
        _context.DockedDetected();
    }
    return initialized;
}

void VbController::RunSystemEventsMonitor() {
    try {
        SystemEventMonitor* monitor = SystemEventMonitor::Instance(_notifyHandle);
        monitor->RegisterCallback([this](SystemEventType type, const unsigned char* data,
                                         std::uint64_t size) { OnSystemEvent(type, data, size); });
        monitor->WatchDevices(*TouchManager::GetInstance());
        monitor->Start();
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_CRITICAL, L"Caught Exception in running the system events monitor: %S",
            e.what());
    }
}

void VbController::StopSystemEventsMonitor() {
    try {
        SystemEventMonitor::Instance(_notifyHandle)->Stop();
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_CRITICAL, L"Caught Exception in stopping the system events monitor: %S",
            e.what());
    }
}

void VbController::Uninitialize() {
    // The monitor's loop has ended, so an undock timer still armed can never fire: release it
    // here, on the thread that armed it.
    DisarmUndockTimer();
    _context.Uninitialize();
}

void VbController::Animated(void (VBSM_::*event)()) {
    _context.SetAnimate(true);
    (_context.*event)();
    _context.SetAnimate(false);
}

namespace {

// What a system event does after its line is traced.
enum class Reaction {
    None,
    Raise,            // the event, animated when asked
    ByDockState,      // the undocked or the docked event, as the monitor sees the dock now
    ResetByDockState  // back to Init, then as ByDockState
};

// What an accepted event does to the undock timer.
enum class UndockTimer { Keep, Arm, Disarm };

// How the event's data is traced, if at all.
enum class Data { None, HexDump, OemCode };

struct Handling {
    SystemEventType type;
    const wchar_t* text;
    Reaction reaction = Reaction::None;
    void (VBSM_::*event)() = nullptr;   // Raise's event; ByDockState's undocked one
    void (VBSM_::*docked)() = nullptr;  // ByDockState's docked event
    bool animated = false;
    UndockTimer timer = UndockTimer::Keep;
    Data data = Data::None;
};

constexpr Handling kHandlings[] = {
    {EvtClamshellMode, L"System is in CLAMSHELL mode."},
    {EvtTabletMode, L"System is in TABLET mode."},
    {EvtDocked, L"System is in DOCKED.", Reaction::Raise, &VBSM_::Docked, nullptr, true},
    {EvtUndocked, L"System is in UNDOCKED.", Reaction::Raise, &VBSM_::Undocked, nullptr, true,
     UndockTimer::Disarm},
    {EvtLocked, L"System is in LOCKED.", Reaction::Raise, &VBSM_::Locked, nullptr, true},
    {EvtUnlocked, L"System is in UNLOCKED.", Reaction::Raise, &VBSM_::Unlocked, nullptr, true,
     UndockTimer::Arm},
    {EvtBezelToggled, L"Virtual Bezel is TOGGLED.", Reaction::Raise, &VBSM_::Toggled, nullptr,
     true},
    {EvtSuspend, L"System is being SUSPENDED.", Reaction::Raise, &VBSM_::Suspend},
    {EvtStandby, L"System is entering CONNECTED STANDBY.", Reaction::Raise, &VBSM_::Suspend},
    {EvtResume, L"System is being RESUMED.", Reaction::ByDockState, &VBSM_::UndockedResume,
     &VBSM_::DockedResume},
    {EvtResumeCritical, L"System is being RESUMED from previous CRITICAL condition.",
     Reaction::ResetByDockState, &VBSM_::UndockedDetected, &VBSM_::DockedDetected},
    {EvtBatteryLow, L"System battery is low."},
    {EvtPowerStatusChange, L"System power status changed."},
    {EvtPowerSettingChange, L"System power setting changed with event data:\n%S", Reaction::None,
     nullptr, nullptr, false, UndockTimer::Keep, Data::HexDump},
    {EvtOemPowerEvent, L"System detected OEM power event: 0x%x", Reaction::None, nullptr, nullptr,
     false, UndockTimer::Keep, Data::OemCode},
    {EvtAwayModeEnter, L"System is entering Away Mode."},
    {EvtAwayModeExit, L"System exits Away Mode."},
    {EvtDisplayOff, L"System monitor display turned off.", Reaction::Raise, &VBSM_::Suspend},
    {EvtDisplayOn, L"System monitor display turned on.", Reaction::ByDockState,
     &VBSM_::UndockedResume, &VBSM_::DockedResume},
    {EvtGfxModeChanged, L"Graphics mode changed.", Reaction::Raise, &VBSM_::GfxModeSet},
};

const Handling* Find(SystemEventType type) {
    for (const Handling& handling : kHandlings) {
        if (handling.type == type) return &handling;
    }
    return nullptr;
}

// The first four bytes, little-endian; fewer give the lower bytes only.
DWORD OemCode(const unsigned char* data, std::uint64_t size) {
    DWORD code = 0;
    for (std::size_t i = 0; data && i < 4 && i < size; ++i) {
        code |= static_cast<DWORD>(data[i]) << (8 * i);
    }
    return code;
}

}  // namespace

void VbController::OnSystemEvent(SystemEventType type, const unsigned char* data,
                                 std::uint64_t size) {
    const Handling* handling = Find(type);
    if (!handling) {
        // Raw data and every event without a meaning of its own.
        const std::string dump = HexDump(data, static_cast<std::size_t>(size));
        Log(TRACE_LEVEL_INFORMATION, L"System event (%d) raw data:\n%S", static_cast<int>(type),
            dump.c_str());
        return;
    }
    switch (handling->data) {
        case Data::None:
            Log(TRACE_LEVEL_INFORMATION, handling->text);
            break;
        case Data::HexDump: {
            const std::string dump = HexDump(data, static_cast<std::size_t>(size));
            Log(TRACE_LEVEL_INFORMATION, handling->text, dump.c_str());
            break;
        }
        case Data::OemCode:
            Log(TRACE_LEVEL_INFORMATION, handling->text, OemCode(data, size));
            break;
    }
    // A graphics driver missing at start-up may have come with the new mode.
    if (type == EvtGfxModeChanged) DisplayCustomizer::GetInstance()->ConnectIfDue();
    try {
        switch (handling->reaction) {
            case Reaction::None:
                return;
            case Reaction::Raise:
                if (handling->animated) {
                    Animated(handling->event);
                } else {
                    (_context.*handling->event)();
                }
                break;
            case Reaction::ResetByDockState:
                _context.Reset();
                [[fallthrough]];
            case Reaction::ByDockState: {
                const bool undocked = SystemEventMonitor::Instance(_notifyHandle)->IsUndocked();
                (_context.*(undocked ? handling->event : handling->docked))();
                break;
            }
        }
        // Only an accepted event reaches here: a rejected one leaves the timer as it was.
        if (handling->timer == UndockTimer::Arm) ArmUndockTimer();
        if (handling->timer == UndockTimer::Disarm) DisarmUndockTimer();
    } catch (const FsmException& e) {
        Log(TRACE_LEVEL_WARNING, L"System event %S not handled in %S state.", e.what(),
            e.StateName().c_str());
        _context.SetAnimate(false);
    }
}

void VbController::ArmUndockTimer() {
    auto& windowing = _platform.windowing;
    if (_undockTimerId != 0) {
        windowing.KillTimer(nullptr, _undockTimerId);
        _undockTimerId = 0;
    }
    _undockTimerId = windowing.SetTimer(nullptr, kUndockTimerRequestedId, kUndockTimerMilliseconds,
                                        &VbController::UndockTimerProc);
    if (_undockTimerId == 0) {
        const HRESULT hr = HRESULT_FROM_WIN32(_platform.kernel.GetLastError());
        LogHResult(hr);
    }
}

void VbController::DisarmUndockTimer() {
    if (_undockTimerId == 0) return;
    _platform.windowing.KillTimer(nullptr, _undockTimerId);
    _undockTimerId = 0;
}

void CALLBACK VbController::UndockTimerProc(HWND, UINT message, UINT_PTR idTimer, DWORD) {
    // A timer procedure is called from the system's dispatch: nothing may unwind into it.
    try {
        if (VbController* controller = GetInstance(nullptr)) {
            controller->OnUndockTimer(message, idTimer);
        }
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_CRITICAL, L"Caught exception in the undock timer: %S", e.what());
    }
}

void VbController::OnUndockTimer(UINT message, UINT_PTR idTimer) {
    if (message != WM_TIMER) LogAssert(message == WM_TIMER);
    if (idTimer != _undockTimerId) LogAssert(idTimer == _undockTimerId);
    try {
        _context.Docked();
    } catch (const FsmException& e) {
        Log(TRACE_LEVEL_WARNING, L"System event %S not handled in %S state.", e.what(),
            e.StateName().c_str());
    } catch (...) {
        // The timer fires once, whatever its Docked did: left armed, it would fire again every
        // period.
        DisarmUndockTimer();
        throw;
    }
    DisarmUndockTimer();
}
