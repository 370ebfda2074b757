// What the messages reaching the monitor window and the bezel buttons' reports mean: pure
// functions from a message, its parameters and the bytes of the record it points at to the event
// raised and its data. The window and the button threads read (guarded), trace and deliver; these
// decide, and nothing else here touches the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "events/system_event.h"

namespace event_translation {

struct Raised {
    SystemEventType type;
    // The eight bytes of a message parameter for the events that hand one on; none otherwise.
    std::optional<std::uint64_t> data;

    bool operator==(const Raised&) const = default;
};

// The graphics driver's device-interface class for display mode sets.
inline constexpr GUID GUID_GFX_MODE_SET_INTERFACE = {
    0xE6DFDC31, 0x31D0, 0x46AC, {0x86, 0xAF, 0xDA, 0x1E, 0xB0, 0x5F, 0xC5, 0x99}};

// WM_MONITOR_EVENT: the type posted, or raw data for one past the last type, with lParam.
Raised FromMonitorEvent(WPARAM wParam, LPARAM lParam);

// WM_POWERBROADCAST other than PBT_POWERSETTINGCHANGE: the broadcast's name as traced (null for
// one not known, which raises raw data with wParam) and what it raises.
struct PowerBroadcast {
    const wchar_t* name;
    std::optional<Raised> raised;
};
PowerBroadcast FromPowerBroadcast(WPARAM wParam, LPARAM lParam);

// PBT_POWERSETTINGCHANGE: the record's fixed part, and the data length it states. Only a record
// with four bytes of data is read further.
inline constexpr std::size_t kSettingHeaderSize = offsetof(POWERBROADCAST_SETTING, Data);
DWORD SettingDataLength(std::span<const unsigned char, kSettingHeaderSize> header);
// record: the whole record (empty when lParam is 0). Display state and away mode raise for the
// values 0 and 1 only.
std::optional<Raised> FromPowerSetting(std::span<const unsigned char> record);

// WM_SETTINGCHANGE: the names whose change raises, compared with the first character as it
// stands and the others in either case; then the system metric says which event.
inline constexpr const wchar_t* kSlateModeSetting = L"ConvertibleSlateMode";
inline constexpr const wchar_t* kDockModeSetting = L"SystemDockMode";
bool SettingNameCharacterMatches(std::size_t index, wchar_t actual, wchar_t expected);
Raised FromSlateMetric(int metric);
Raised FromDockedMetric(int metric);

// WM_DEVICECHANGE: the codes whose lParam is a record (arrival through type-specific), the
// fixed part of a device-interface record, how many name characters such a record holds (none
// when it is too short for the interface fields), and what its class raises.
bool CarriesDeviceRecord(WPARAM wParam);
inline constexpr std::size_t kInterfaceHeaderSize =
    offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
// The longest device name traced; a longer one is cut (the trace line holds no more anyway).
inline constexpr std::size_t kMaxDeviceNameChars = 1023;
std::optional<std::size_t> DeviceNameChars(DWORD recordSize);
std::optional<Raised> FromDeviceInterface(const GUID& classGuid);

// The HID device interface class (GUID_DEVINTERFACE_HID), and what a notification of it or of a
// device handle asks of the HID devices held open.
inline constexpr GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
enum class DeviceRequest { None, Arrived, Removed, QueryRemove, QueryRemoveFailed };
DeviceRequest FromHidInterfaceChange(WPARAM wParam);
DeviceRequest FromDeviceHandleChange(WPARAM wParam);
// The fixed part of a device-handle record, up to the event GUID, which these events leave empty.
inline constexpr std::size_t kHandleRecordSize = offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid);

// A bezel-button report: byte 0 is the control's usage, byte 1 its state. A press of one of the
// three controls posts its event; the name is the control's, as traced.
struct ButtonPress {
    SystemEventType type;
    const wchar_t* name;
};
std::optional<ButtonPress> FromButtonReport(std::span<const unsigned char> report);

}  // namespace event_translation
