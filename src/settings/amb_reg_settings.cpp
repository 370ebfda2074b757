#include "settings/amb_reg_settings.h"

#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"
#include "privileges/restricted_privileges.h"

namespace {

using settings::Check;
using settings::Id;
using settings::kSettings;

// Judges the stored value of one setting against its limits; a value not taken leaves the
// fallback in force, with the setting's warning.
void Take(Id id, DWORD stored, settings::Values& values) {
    const settings::Setting& setting = kSettings[id];
    const settings::Limits limits = settings::LimitsOf(id, values);
    DWORD& value = values[id];
    switch (setting.check) {
        case Check::Flag:
            value = stored != 0 ? 1 : 0;
            return;
        case Check::Pixels:
        case Check::Range:
        case Check::Thousandths:
            if (stored >= limits.low && stored <= limits.high) {
                value = stored;
                return;
            }
            break;
        case Check::NonZeroBits: {
            // 0 is never taken (a vendor or product id of 0 would match any device), so neither
            // is a value whose kept bits are 0.
            const DWORD kept = stored & ((DWORD{1} << setting.bits) - 1);
            if (kept != 0) {
                value = kept;
                return;
            }
            break;
        }
    }
    value = limits.fallback;
    if (setting.check == Check::Thousandths) {
        Log(TRACE_LEVEL_WARNING, setting.warning,
            static_cast<double>(settings::FromThousandths(value)));
    } else {
        Log(TRACE_LEVEL_WARNING, setting.warning, static_cast<unsigned>(value));
    }
    // A default may not fit below the viewport either; it is clipped without a further message.
    if (setting.rule == settings::Rule::BelowViewport && value > limits.high) value = limits.high;
}

// The watch needs to be told of changes and nothing more.
const std::vector<std::wstring>& WatchPrivileges() {
    static const std::vector<std::wstring> keep{L"SeChangeNotifyPrivilege"};
    return keep;
}

}  // namespace

AmbRegSettings::AmbRegSettings(platform::Registry& registry, platform::Kernel& kernel,
                               platform::Security& security, HKEY root)
    : _registry(registry),
      _kernel(kernel),
      _security(security),
      _lock(kernel),
      _root(root),
      _watchKey(registry),
      _stopEvent(platform::KernelHandleCloser{&kernel}),
      _changeEvent(platform::KernelHandleCloser{&kernel}) {
    // The values a rejected one falls back to keep their defaults from the start.
    for (std::size_t id = 0; id < settings::kSettingCount; ++id) {
        if (kSettings[id].rule == settings::Rule::KeepsLast) {
            _values[id] = kSettings[id].currentDefault;
        }
    }
}

void AmbRegSettings::ReadSettings() {
    ReadDisplaySettings();
    ReadTouchSettings();
}

DWORD AmbRegSettings::ReadValue(LPCWSTR subKeyPath, LPCWSTR valueName) const {
    DWORD value = 0;
    if (FAILED(ReadRegDword(_registry, _root, subKeyPath, valueName, &value))) return 0;
    return value;
}

void AmbRegSettings::ReadDisplaySettings() { ReadSettingsFrom(0, settings::kIsLegacy); }

void AmbRegSettings::ReadTouchSettings() {
    ReadSettingsFrom(settings::kIsLegacy, settings::kSettingCount);
}

void AmbRegSettings::ReadSettingsFrom(std::size_t first, std::size_t end) {
    std::lock_guard<platform::Mutex> guard(_lock);
    // Defaults and bounds depend on the controller, so both halves read IsLegacy first.
    const settings::Setting& legacy = kSettings[settings::kIsLegacy];
    Take(settings::kIsLegacy, ReadValue(legacy.key, legacy.name), _values);
    for (std::size_t id = first; id < end; ++id) {
        if (id == settings::kIsLegacy) continue;
        Take(static_cast<Id>(id), ReadValue(kSettings[id].key, kSettings[id].name), _values);
    }
}

void AmbRegSettings::StartMonitoring() {
    if (_watchThread.joinable()) return;
    _stopEvent.reset(_kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (_stopEvent) _changeEvent.reset(_kernel.CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!_stopEvent || !_changeEvent) {
        const HRESULT hr = HRESULT_FROM_WIN32(_kernel.GetLastError());
        LogHResult(FAILED(hr) ? hr : E_FAIL);
        _stopEvent.reset();
        return;
    }
    _running = true;
    _watchThread = platform::Thread(_kernel, [this] {
        // An exception ends the watch, never the process.
        try {
            RunWithRestrictedPrivileges(_security, _kernel, WatchPrivileges(), nullptr,
                                        [this] { return WatchSettings(); });
        } catch (const std::exception& e) {
            Log(TRACE_LEVEL_CRITICAL, L"Settings watch thread ended by an exception: %S", e.what());
        }
    });
}

void AmbRegSettings::StopMonitoring() {
    if (!_watchThread.joinable()) return;
    _running = false;
    // The stop event stays set, so the watch ends wherever it is: waiting, reloading, or not yet
    // started. Nothing else could wake it.
    LogAssert(_kernel.SetEvent(_stopEvent.get()));
    try {
        _watchThread.join();
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_VERBOSE, L"Exception occurs when joining thread: %S", e.what());
        return;
    }
    _watchKey.Close();
    _changeEvent.reset();
    _stopEvent.reset();
}

HRESULT AmbRegSettings::WatchSettings() {
    for (;;) {
        const HRESULT hr =
            WaitForRegistryChange(_kernel, _watchKey, _root, _changeEvent.get(), _stopEvent.get());
        if (FAILED(hr)) return LogHResult(hr);
        if (hr == S_FALSE) return S_OK;
        Log(TRACE_LEVEL_INFORMATION, L"Change(s) detected in registry settings!");
        if (_running) ReadSettings();
        if (!_running) return S_OK;
    }
}

DWORD AmbRegSettings::GetValue(Id id) const {
    std::lock_guard<platform::Mutex> guard(_lock);
    return _values[id];
}

VBDisplayMode AmbRegSettings::GetDisplayMode() const {
    return static_cast<VBDisplayMode>(GetValue(settings::kMode));
}
DWORD AmbRegSettings::GetDisplayNativeResolutionX() const {
    return GetValue(settings::kNativeResolutionX);
}
DWORD AmbRegSettings::GetDisplayNativeResolutionY() const {
    return GetValue(settings::kNativeResolutionY);
}
DWORD AmbRegSettings::GetDisplayViewportX() const { return GetValue(settings::kViewportX); }
DWORD AmbRegSettings::GetDisplayViewportY() const { return GetValue(settings::kViewportY); }
DWORD AmbRegSettings::GetPxPositionY() const { return GetValue(settings::kPositionY); }
DWORD AmbRegSettings::GetDisplayAnimationSteps() const {
    return GetValue(settings::kAnimationSteps);
}
DWORD AmbRegSettings::GetDisplayAnimationIntervalMilliseconds() const {
    return GetValue(settings::kAnimationInterval);
}
bool AmbRegSettings::IsLegacy() const { return GetValue(settings::kIsLegacy) != 0; }
USHORT AmbRegSettings::GetTouchVendorId() const {
    return static_cast<USHORT>(GetValue(settings::kVendorId));
}
USHORT AmbRegSettings::GetTouchProductId() const {
    return static_cast<USHORT>(GetValue(settings::kProductId));
}
BYTE AmbRegSettings::GetTouchReportId() const {
    return static_cast<BYTE>(GetValue(settings::kReportId));
}
BYTE AmbRegSettings::GetTouchPropsReportId() const {
    return static_cast<BYTE>(GetValue(settings::kPropsReportId));
}
BYTE AmbRegSettings::GetTouchInputMethod() const {
    return static_cast<BYTE>(GetValue(settings::kInputMethod));
}
float AmbRegSettings::GetTouchViewportLeft() const {
    return settings::FromThousandths(GetValue(settings::kTouchLeft));
}
float AmbRegSettings::GetTouchViewportTop() const {
    return settings::FromThousandths(GetValue(settings::kTouchTop));
}
float AmbRegSettings::GetTouchViewportRight() const {
    return settings::FromThousandths(GetValue(settings::kTouchRight));
}
float AmbRegSettings::GetTouchViewportBottom() const {
    return settings::FromThousandths(GetValue(settings::kTouchBottom));
}
