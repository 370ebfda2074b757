// What Kelvo shares with the rest of the system: the names other programs open, the registry
// paths administrators write, the HID usages devices report and the values the driver and the
// controller understand. Each is fixed by a peer outside this code base; none may change here.
#pragma once

#include "platform/win32types.h"

namespace contract {

// The configuration, under HKEY_LOCAL_MACHINE.
inline constexpr const wchar_t* kConfigurationKey = L"SOFTWARE\\Corvane\\Nolt\\AMB";
inline constexpr const wchar_t* kDisplayKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display";
inline constexpr const wchar_t* kTouchKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch";
inline constexpr const wchar_t* kHotKeysKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\HotKeys";

// The hot-key events other programs set, in the order of their event types.
inline constexpr DWORD kHotKeyCount = 5;
inline constexpr const wchar_t* kHotKeyEventNames[kHotKeyCount] = {
    L"Global\\C7A895C6-AADF-4716-AFD3-7010911BF578",  // clamshell/tablet toggle
    L"Global\\D51F2B12-CFDB-4A41-8D09-4E49185BF450",  // dock/undock toggle
    L"Global\\FA9B054F-1052-4669-A7C8-E0415F7314F0",  // lock
    L"Global\\A1733214-D3C7-4123-8E8F-31E371B18493",  // unlock
    L"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64",  // frame toggle
};

// The events that tell the touch component, when the controller is not on the HID bus, whether
// touches in the frame band count.
inline constexpr const wchar_t* kTouchEnableEventName = L"Global\\E1B3BA36-271D-421D-B020-610D3533D14F";
inline constexpr const wchar_t* kTouchDisableEventName = L"Global\\D541C07D-A31D-4F4E-BF71-0BE5AA3EF88C";

// The bezel buttons' top-level collection.
inline constexpr USHORT kBezelButtonUsagePage = 0xFFB3;
inline constexpr USHORT kBezelButtonUsage = 0x0010;

// Bezel touch modes of the touch controller; 3 is accepted too and sent like 2.
inline constexpr DWORD kTouchInFrameEnabled = 1;
inline constexpr DWORD kTouchInFrameDisabled = 2;

}  // namespace contract

// How the frame's geometry is given: 1 as percentages of the screen, 2 in pixels. Any other value
// is invalid.
enum VBDisplayMode : INT {
    VBDisplayModePercentage = 1,
    VBDisplayModePixels = 2,
};
