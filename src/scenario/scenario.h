// Scenarios for the simulated host: what a user does to the machine, one command a line.
//
//   wait MS                      advance the clock
//   metric slate|docked 0|1      what GetSystemMetrics answers from now on
//   setting NAME                 WM_SETTINGCHANGE naming the rest of the line
//   power TYPE                   SERVICE_CONTROL_POWEREVENT, then WM_POWERBROADCAST
//   display off|on|dimmed        PBT_POWERSETTINGCHANGE of the console display state
//   awaymode enter|exit          PBT_POWERSETTINGCHANGE of the away mode
//   device ARRIVAL|REMOVAL {GUID}   a device-interface broadcast; gfxmode for the mode-set class
//   hotkey slate|dock|lock|unlock|toggle   sets that hot key's named event
//   button INDEX BYTES...        an input report of a bezel-button device
//   registry set KEY VALUE N     a REG_DWORD below the configuration root (. is the root)
//   registry delete KEY VALUE
//   post TYPE                    a raw WM_MONITOR_EVENT to the monitor window
//   unplug touch|button INDEX    the device is removed as a driver update removes it: whoever
//                                holds it open is asked first, and one that keeps it open vetoes
//   pull touch|button INDEX      the device is pulled out: gone at once, no one is asked
//   plug touch|button INDEX      the device is back
//   open touch|button INDEX      another program opens the device and keeps it open
//   close touch|button INDEX     and closes it again
//   gfx off|on                   the graphics driver's classes are taken away, or registered again
//   stop                         optional, last
//
// '#' starts a comment. Bytes are two hex digits; other numbers are decimal or 0x hex. The parser
// takes any bytes and either gives every command or names the first bad line; it runs nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/win32types.h"

namespace kelvo::host {

struct Wait {
    std::uint64_t milliseconds;
    bool operator==(const Wait&) const = default;
};

struct SetMetric {
    int index;  // SM_CONVERTIBLESLATEMODE or SM_SYSTEMDOCKED
    int value;
    bool operator==(const SetMetric&) const = default;
};

struct SettingChange {
    std::wstring name;
    bool operator==(const SettingChange&) const = default;
};

// The power event type goes to the service's handler and, with data as lParam, to the window.
struct PowerEvent {
    DWORD type;
    LPARAM data;
    bool operator==(const PowerEvent&) const = default;
};

struct PowerSettingChange {
    GUID setting;
    DWORD value;
    bool operator==(const PowerSettingChange&) const = default;
};

struct DeviceInterfaceChange {
    DWORD eventCode;  // DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE
    GUID classGuid;
    bool operator==(const DeviceInterfaceChange&) const = default;
};

enum class HotKey { Slate, Dock, Lock, Unlock, Toggle };

struct PressHotKey {
    HotKey key;
    bool operator==(const PressHotKey&) const = default;
};

struct ButtonReport {
    int device;
    std::vector<BYTE> report;  // padded to kButtonReportLength
    bool operator==(const ButtonReport&) const = default;
};

// key: relative to the configuration root, empty for the root itself.
struct RegistrySet {
    std::wstring key;
    std::wstring value;
    DWORD data;
    bool operator==(const RegistrySet&) const = default;
};

struct RegistryDelete {
    std::wstring key;
    std::wstring value;
    bool operator==(const RegistryDelete&) const = default;
};

struct PostMonitorEvent {
    WPARAM type;
    bool operator==(const PostMonitorEvent&) const = default;
};

// button: the button device's index; kTouchController for the touch controller.
struct PlugDevice {
    static constexpr int kTouchController = -1;
    int button;
    bool plugged;
    // Out without a word to anyone (a cable pulled), rather than removed in order.
    bool pulled = false;
    bool operator==(const PlugDevice&) const = default;
};

// Another program holding a device open, which keeps it from being removed.
struct HoldDevice {
    int button;  // as in PlugDevice
    bool open;
    bool operator==(const HoldDevice&) const = default;
};

struct GfxDriver {
    bool registered;
    bool operator==(const GfxDriver&) const = default;
};

struct Stop {
    bool operator==(const Stop&) const = default;
};

using Action =
    std::variant<Wait, SetMetric, SettingChange, PowerEvent, PowerSettingChange,
                 DeviceInterfaceChange, PressHotKey, ButtonReport, RegistrySet, RegistryDelete,
                 PostMonitorEvent, PlugDevice, HoldDevice, GfxDriver, Stop>;

struct Command {
    int line;  // 1-based
    Action action;
    bool operator==(const Command&) const = default;
};

struct Scenario {
    std::vector<Command> commands;
};

// The input report length of the bezel-button devices.
constexpr std::size_t kButtonReportLength = 4;

// The GUIDs the commands name.
extern const GUID kGuidConsoleDisplayState;
extern const GUID kGuidSystemAwayMode;
extern const GUID kGuidGfxModeSetInterface;

// One line (without its line end). Empty or comment-only lines give no command and no error;
// a bad line gives none and sets *error to "line N: ...". buttons: how many button devices
// there are.
std::optional<Command> ParseScenarioLine(std::string_view line, int lineNumber, int buttons,
                                         std::string* error);

// A whole scenario; nothing (and *error set) if any line is bad or a command follows stop.
std::optional<Scenario> ParseScenario(std::string_view text, int buttons, std::string* error);

}  // namespace kelvo::host
