// The system events that the monitor reports, and how they reach their receivers.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/win32types.h"

enum SystemEventType : std::uint32_t {
    EvtRawData = 0,
    EvtClamshellMode = 1,
    EvtTabletMode = 2,
    EvtDocked = 3,
    EvtUndocked = 4,
    EvtLocked = 5,
    EvtUnlocked = 6,
    EvtBezelToggled = 7,
    EvtSuspend = 8,
    EvtStandby = 9,
    EvtResume = 10,
    EvtResumeCritical = 11,
    EvtBatteryLow = 12,
    EvtPowerStatusChange = 13,
    EvtPowerSettingChange = 14,
    EvtOemPowerEvent = 15,
    EvtAwayModeEnter = 16,
    EvtAwayModeExit = 17,
    EvtDisplayOff = 18,
    EvtDisplayOn = 19,
    EvtGfxModeChanged = 20,
};

// The data pointer is valid only during the call; a receiver copies what it keeps.
using SystemEventCallbackFn = void(SystemEventType type, const unsigned char* data,
                                   std::uint64_t size);
using SystemEventCallback = std::function<SystemEventCallbackFn>;

// The monitor window's private message: wParam is a SystemEventType, lParam is carried as data.
constexpr UINT WM_MONITOR_EVENT = WM_USER + 1;
