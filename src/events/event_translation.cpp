#include "events/event_translation.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

namespace event_translation {

namespace {

// Event types past the last one travel as raw data.
constexpr WPARAM kSystemEventTypeCount = EvtGfxModeChanged + 1;

constexpr unsigned char VENDOR_DEFINED_HIDEF_USAGE_LOCK_BEZEL = 0x18;
constexpr unsigned char VENDOR_DEFINED_HIDEF_USAGE_RELEASE_TABLET = 0x19;
constexpr unsigned char VENDOR_DEFINED_HIDEF_USAGE_TOGGLE_BEZEL = 0x1A;

template <class T>
T ReadAt(std::span<const unsigned char> bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

}  // namespace

Raised FromMonitorEvent(WPARAM wParam, LPARAM lParam) {
    return {wParam < kSystemEventTypeCount ? static_cast<SystemEventType>(wParam) : EvtRawData,
            static_cast<std::uint64_t>(lParam)};
}

PowerBroadcast FromPowerBroadcast(WPARAM wParam, LPARAM lParam) {
    struct Known {
        WPARAM broadcast;
        const wchar_t* name;
        std::optional<SystemEventType> event;
    };
    static constexpr Known kBroadcasts[] = {
        {PBT_APMSUSPEND, L"PBT_APMSUSPEND", EvtSuspend},
        {PBT_APMSTANDBY, L"PBT_APMSTANDBY", EvtStandby},
        {PBT_APMRESUMECRITICAL, L"PBT_APMRESUMECRITICAL", EvtResumeCritical},
        {PBT_APMRESUMESUSPEND, L"PBT_APMRESUMESUSPEND", std::nullopt},
        {PBT_APMRESUMESTANDBY, L"PBT_APMRESUMESTANDBY", std::nullopt},
        {PBT_APMBATTERYLOW, L"PBT_APMBATTERYLOW", EvtBatteryLow},
        {PBT_APMPOWERSTATUSCHANGE, L"PBT_APMPOWERSTATUSCHANGE", EvtPowerStatusChange},
        {PBT_APMOEMEVENT, L"PBT_APMOEMEVENT", EvtOemPowerEvent},
        {PBT_APMRESUMEAUTOMATIC, L"PBT_APMRESUMEAUTOMATIC", EvtResume},
    };
    for (const Known& known : kBroadcasts) {
        if (known.broadcast != wParam) continue;
        if (!known.event) return {known.name, std::nullopt};
        // The OEM event's code travels in lParam.
        if (*known.event == EvtOemPowerEvent) {
            return {known.name, Raised{EvtOemPowerEvent, static_cast<std::uint64_t>(lParam)}};
        }
        return {known.name, Raised{*known.event, std::nullopt}};
    }
    return {nullptr, Raised{EvtRawData, static_cast<std::uint64_t>(wParam)}};
}

DWORD SettingDataLength(std::span<const unsigned char, kSettingHeaderSize> header) {
    return ReadAt<DWORD>(header, offsetof(POWERBROADCAST_SETTING, DataLength));
}

std::optional<Raised> FromPowerSetting(std::span<const unsigned char> record) {
    if (record.empty()) return Raised{EvtPowerSettingChange, std::nullopt};
    if (record.size() < kSettingHeaderSize + sizeof(DWORD) ||
        SettingDataLength(record.first<kSettingHeaderSize>()) != sizeof(DWORD)) {
        return std::nullopt;
    }
    const DWORD value = ReadAt<DWORD>(record, kSettingHeaderSize);
    const GUID setting = ReadAt<GUID>(record, offsetof(POWERBROADCAST_SETTING, PowerSetting));
    if (value > 1) return std::nullopt;
    if (setting == GUID_CONSOLE_DISPLAY_STATE) {
        return Raised{value == 1 ? EvtDisplayOn : EvtDisplayOff, std::nullopt};
    }
    if (setting == GUID_SYSTEM_AWAYMODE) {
        return Raised{value == 1 ? EvtAwayModeEnter : EvtAwayModeExit, std::nullopt};
    }
    return std::nullopt;
}

bool SettingNameCharacterMatches(std::size_t index, wchar_t actual, wchar_t expected) {
    if (index == 0) return actual == expected;
    return std::towlower(static_cast<wint_t>(actual)) ==
           std::towlower(static_cast<wint_t>(expected));
}

Raised FromSlateMetric(int metric) {
    return {metric != 0 ? EvtClamshellMode : EvtTabletMode, std::nullopt};
}

Raised FromDockedMetric(int metric) {
    return {metric != 0 ? EvtDocked : EvtUndocked, std::nullopt};
}

bool CarriesDeviceRecord(WPARAM wParam) {
    return wParam >= DBT_DEVICEARRIVAL && wParam <= DBT_DEVICETYPESPECIFIC;
}

std::optional<std::size_t> DeviceNameChars(DWORD recordSize) {
    if (recordSize < kInterfaceHeaderSize) return std::nullopt;
    // The name ends at its terminator or at the record's end, whichever comes first.
    return std::min<std::size_t>((recordSize - kInterfaceHeaderSize) / sizeof(wchar_t),
                                 kMaxDeviceNameChars);
}

std::optional<Raised> FromDeviceInterface(const GUID& classGuid) {
    if (classGuid == GUID_GFX_MODE_SET_INTERFACE) return Raised{EvtGfxModeChanged, std::nullopt};
    return std::nullopt;
}

DeviceRequest FromHidInterfaceChange(WPARAM wParam) {
    switch (wParam) {
        case DBT_DEVICEARRIVAL:
            return DeviceRequest::Arrived;
        case DBT_DEVICEREMOVECOMPLETE:
            return DeviceRequest::Removed;
        default:
            return DeviceRequest::None;
    }
}

DeviceRequest FromDeviceHandleChange(WPARAM wParam) {
    switch (wParam) {
        case DBT_DEVICEQUERYREMOVE:
            return DeviceRequest::QueryRemove;
        case DBT_DEVICEQUERYREMOVEFAILED:
            return DeviceRequest::QueryRemoveFailed;
        case DBT_DEVICEREMOVEPENDING:
        case DBT_DEVICEREMOVECOMPLETE:
            return DeviceRequest::Removed;
        default:
            return DeviceRequest::None;
    }
}

std::optional<ButtonPress> FromButtonReport(std::span<const unsigned char> report) {
    // Too short to say which control changed, or a release.
    if (report.size() < 2 || report[1] == 0) return std::nullopt;
    switch (report[0]) {
        case VENDOR_DEFINED_HIDEF_USAGE_LOCK_BEZEL:
            return ButtonPress{EvtLocked, L"VENDOR_DEFINED_HIDEF_USAGE_LOCK_BEZEL"};
        case VENDOR_DEFINED_HIDEF_USAGE_RELEASE_TABLET:
            return ButtonPress{EvtUnlocked, L"VENDOR_DEFINED_HIDEF_USAGE_RELEASE_TABLET"};
        case VENDOR_DEFINED_HIDEF_USAGE_TOGGLE_BEZEL:
            return ButtonPress{EvtBezelToggled, L"VENDOR_DEFINED_HIDEF_USAGE_TOGGLE_BEZEL"};
        default:
            return std::nullopt;
    }
}

}  // namespace event_translation
