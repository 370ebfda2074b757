#include "core/vb_controller.h"

#include <exception>
#include <string>

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

void VbController::OnSystemEvent(SystemEventType type, const unsigned char* data,
                                 std::uint64_t size) {
    auto byDockState = [this](void (VBSM_::*undocked)(), void (VBSM_::*docked)()) {
        const bool isUndocked = SystemEventMonitor::Instance(_notifyHandle)->IsUndocked();
        (_context.*(isUndocked ? undocked : docked))();
    };
    try {
        switch (type) {
            case EvtClamshellMode:
                Log(TRACE_LEVEL_INFORMATION, L"System is in CLAMSHELL mode.");
                break;
            case EvtTabletMode:
                Log(TRACE_LEVEL_INFORMATION, L"System is in TABLET mode.");
                break;
            case EvtDocked:
                Log(TRACE_LEVEL_INFORMATION, L"System is in DOCKED.");
                Animated(&VBSM_::Docked);
                break;
            case EvtUndocked:
                Log(TRACE_LEVEL_INFORMATION, L"System is in UNDOCKED.");
                Animated(&VBSM_::Undocked);
                DisarmUndockTimer();
                break;
            case EvtLocked:
                Log(TRACE_LEVEL_INFORMATION, L"System is in LOCKED.");
                Animated(&VBSM_::Locked);
                break;
            case EvtUnlocked:
                Log(TRACE_LEVEL_INFORMATION, L"System is in UNLOCKED.");
                Animated(&VBSM_::Unlocked);
                ArmUndockTimer();
                break;
            case EvtBezelToggled:
                Log(TRACE_LEVEL_INFORMATION, L"Virtual Bezel is TOGGLED.");
                Animated(&VBSM_::Toggled);
                break;
            case EvtSuspend:
                Log(TRACE_LEVEL_INFORMATION, L"System is being SUSPENDED.");
                _context.Suspend();
                break;
            case EvtStandby:
                Log(TRACE_LEVEL_INFORMATION, L"System is entering CONNECTED STANDBY.");
                _context.Suspend();
                break;
            case EvtResume:
                Log(TRACE_LEVEL_INFORMATION, L"System is being RESUMED.");
                byDockState(&VBSM_::UndockedResume, &VBSM_::DockedResume);
                break;
            case EvtResumeCritical:
                Log(TRACE_LEVEL_INFORMATION,
                    L"System is being RESUMED from previous CRITICAL condition.");
                _context.Reset();
                byDockState(&VBSM_::UndockedDetected, &VBSM_::DockedDetected);
                break;
            case EvtBatteryLow:
                Log(TRACE_LEVEL_INFORMATION, L"System battery is low.");
                break;
            case EvtPowerStatusChange:
                Log(TRACE_LEVEL_INFORMATION, L"System power status changed.");
                break;
            case EvtPowerSettingChange: {
                const std::string dump = HexDump(data, static_cast<std::size_t>(size));
                Log(TRACE_LEVEL_INFORMATION, L"System power setting changed with event data:\n%S",
                    dump.c_str());
                break;
            }
            case EvtOemPowerEvent: {
                DWORD code = 0;
                for (std::size_t i = 0; data && i < 4 && i < size; ++i) {
                    code |= static_cast<DWORD>(data[i]) << (8 * i);
                }
                Log(TRACE_LEVEL_INFORMATION, L"System detected OEM power event: 0x%x", code);
                break;
            }
            case EvtAwayModeEnter:
                Log(TRACE_LEVEL_INFORMATION, L"System is entering Away Mode.");
                break;
            case EvtAwayModeExit:
                Log(TRACE_LEVEL_INFORMATION, L"System exits Away Mode.");
                break;
            case EvtDisplayOff:
                Log(TRACE_LEVEL_INFORMATION, L"System monitor display turned off.");
                _context.Suspend();
                break;
            case EvtDisplayOn:
                Log(TRACE_LEVEL_INFORMATION, L"System monitor display turned on.");
                byDockState(&VBSM_::UndockedResume, &VBSM_::DockedResume);
                break;
            case EvtGfxModeChanged:
                Log(TRACE_LEVEL_INFORMATION, L"Graphics mode changed.");
                _context.GfxModeSet();
                break;
            default: {
                const std::string dump = HexDump(data, static_cast<std::size_t>(size));
                Log(TRACE_LEVEL_INFORMATION, L"System event (%d) raw data:\n%S",
                    static_cast<int>(type), dump.c_str());
                break;
            }
        }
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
