#include "settings/amb_reg_settings.h"

#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log/log.h"
#include "privileges/restricted_privileges.h"

namespace {

constexpr const wchar_t* kDisplayKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display";
constexpr const wchar_t* kTouchKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch";

// The registry holds the touch viewport in thousandths.
constexpr DWORD kTouchViewportMax = 9998999;
constexpr float kTouchViewportScale = 1000.0f;

// The band below the viewport that the Y position may take in percentage mode: 12 % of what the
// viewport leaves of the screen height. The factor is the single-precision 0.12, widened.
constexpr double kPositionBandFactor = static_cast<double>(0.12f);

// Takes value when it lies in [low, high]; otherwise the default in force stays, with a warning.
void TakeInRange(DWORD value, DWORD low, DWORD high, DWORD& field, PCWSTR warning) {
    if (value >= low && value <= high) {
        field = value;
    } else {
        Log(TRACE_LEVEL_WARNING, warning, field);
    }
}

// Takes the low bits of value that the field holds, when they are not 0. 0 is never taken (a
// vendor or product id of 0 would match any device), so neither is a value whose kept bits are 0.
template <class Field>
void TakeNonZero(DWORD value, Field& field, PCWSTR warning) {
    const Field kept = static_cast<Field>(value);
    if (kept != 0) {
        field = kept;
    } else {
        Log(TRACE_LEVEL_WARNING, warning, static_cast<unsigned>(field));
    }
}

void TakeThousandths(DWORD value, float& field, PCWSTR warning) {
    if (value >= 1 && value <= kTouchViewportMax) {
        field = static_cast<float>(value) / kTouchViewportScale;
    } else {
        Log(TRACE_LEVEL_WARNING, warning, static_cast<double>(field));
    }
}

// Highest Y position the viewport in force leaves room for.
DWORD PositionBound(VBDisplayMode mode, DWORD viewportY, DWORD nativeY) {
    if (mode == VBDisplayModePixels) {
        // A default viewport may be taller than the screen: then there is no room at all.
        return viewportY > nativeY ? 0 : nativeY - viewportY;
    }
    return static_cast<DWORD>((1.0 - viewportY / 100.0) * kPositionBandFactor * nativeY);
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
      _stopEvent(kernel),
      _changeEvent(kernel) {}

void AmbRegSettings::ReadSettings() {
    ReadDisplaySettings();
    ReadTouchSettings();
}

DWORD AmbRegSettings::ReadValue(LPCWSTR subKeyPath, LPCWSTR valueName) const {
    DWORD value = 0;
    if (FAILED(ReadRegDword(_registry, _root, subKeyPath, valueName, &value))) return 0;
    return value;
}

void AmbRegSettings::ReadDisplaySettings() {
    std::lock_guard<platform::Mutex> guard(_lock);
    _isLegacy = ReadValue(kTouchKey, L"IsLegacy") != 0;

    _nativeResolutionX = 1920;
    _nativeResolutionY = 1080;
    TakeInRange(ReadValue(kDisplayKey, L"NativeResolution_X"), 1, 7680, _nativeResolutionX,
                L"Default DisplayNativeResolutionX = %d used");
    TakeInRange(ReadValue(kDisplayKey, L"NativeResolution_Y"), 1, 4320, _nativeResolutionY,
                L"Default DisplayNativeResolutionY = %d used");

    _animationSteps = 15;
    _animationIntervalMilliseconds = 5;
    TakeInRange(ReadValue(kDisplayKey, L"AnimationSteps"), 1, 50, _animationSteps,
                L"Default DisplayAnimationSteps = %d used");
    TakeInRange(ReadValue(kDisplayKey, L"AnimationIntervalMilliseconds"), 0, 100,
                _animationIntervalMilliseconds,
                L"Default DisplayAnimationIntervalMilliseconds = %d used");

    // Percentage mode is the default; only pixel mode is ever taken from the registry.
    _displayMode = VBDisplayModePercentage;
    if (ReadValue(kDisplayKey, L"Mode") == static_cast<DWORD>(VBDisplayModePixels)) {
        _displayMode = VBDisplayModePixels;
    } else {
        Log(TRACE_LEVEL_WARNING, L"Default DisplayMode = %d used", static_cast<int>(_displayMode));
    }

    DWORD boundX = 100;
    DWORD boundY = 100;
    if (_displayMode == VBDisplayModePixels) {
        _viewportX = 1740;
        _viewportY = 980;
        boundX = _nativeResolutionX;
        boundY = _nativeResolutionY;
    } else {
        _viewportX = _isLegacy ? 26 : 30;
        _viewportY = _viewportX;
    }
    _pxPositionY = _isLegacy ? 80 : 90;
    TakeInRange(ReadValue(kDisplayKey, L"ViewPort_X"), 1, boundX, _viewportX,
                L"Default DisplayViewportX = %d used");
    TakeInRange(ReadValue(kDisplayKey, L"ViewPort_Y"), 1, boundY, _viewportY,
                L"Default DisplayViewportY = %d used");

    const DWORD position = ReadValue(kDisplayKey, L"ViewPort_YPosition_Px");
    const DWORD positionBound = PositionBound(_displayMode, _viewportY, _nativeResolutionY);
    TakeInRange(position, 1, positionBound, _pxPositionY, L"Default PxPositionY = %d used");
    // The default may not fit either; it is clipped without a further message.
    if (_pxPositionY > positionBound) _pxPositionY = positionBound;
}

void AmbRegSettings::ReadTouchSettings() {
    std::lock_guard<platform::Mutex> guard(_lock);
    _isLegacy = ReadValue(kTouchKey, L"IsLegacy") != 0;

    _touchVendorId = _isLegacy ? 0x03EB : 0x04F3;
    _touchProductId = _isLegacy ? 0x212A : 0x200A;
    TakeNonZero(ReadValue(kTouchKey, L"VID"), _touchVendorId,
                L"Default TouchVendorId = 0x%04x used");
    TakeNonZero(ReadValue(kTouchKey, L"PID"), _touchProductId,
                L"Default TouchProductId = 0x%04x used");
    // The report ids and the input method are not reset: a rejected value keeps the last one.
    TakeNonZero(ReadValue(kTouchKey, L"AMB_HidReportId"), _touchReportID,
                L"Default _touchReportID = 0x%02x used");
    TakeNonZero(ReadValue(kTouchKey, L"AMBProps_HidReportId"), _touchPropsReportID,
                L"Default _touchPropsReportID = 0x%02x used");
    TakeNonZero(ReadValue(kTouchKey, L"AMBInputMethod"), _touchInputMethod,
                L"Default _touchInputMethod = 0x%02x used");

    _touchViewportLeft = _isLegacy ? 100.0f : 132.0f;
    _touchViewportTop = _isLegacy ? 192.0f : 150.0f;
    _touchViewportRight = _isLegacy ? 100.0f : 2988.0f;
    _touchViewportBottom = _isLegacy ? 55.0f : 1776.0f;
    TakeThousandths(ReadValue(kTouchKey, L"ViewPort_Left"), _touchViewportLeft,
                    L"Default TouchViewportLeft = %f used");
    TakeThousandths(ReadValue(kTouchKey, L"ViewPort_Top"), _touchViewportTop,
                    L"Default TouchViewportTop = %f used");
    TakeThousandths(ReadValue(kTouchKey, L"ViewPort_Right"), _touchViewportRight,
                    L"Default TouchViewportRight = %f used");
    TakeThousandths(ReadValue(kTouchKey, L"ViewPort_Bottom"), _touchViewportBottom,
                    L"Default TouchViewportBottom = %f used");
}

void AmbRegSettings::StartMonitoring() {
    if (_watchThread.joinable()) return;
    if (!_stopEvent.Create(true) || !_changeEvent.Create(false)) {
        const HRESULT hr = HRESULT_FROM_WIN32(_kernel.GetLastError());
        LogHResult(FAILED(hr) ? hr : E_FAIL);
        _stopEvent.Close();
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
    LogAssert(_kernel.SetEvent(_stopEvent.Get()));
    try {
        _watchThread.join();
    } catch (const std::exception& e) {
        Log(TRACE_LEVEL_VERBOSE, L"Exception occurs when joining thread: %S", e.what());
        return;
    }
    _watchKey.Close();
    _changeEvent.Close();
    _stopEvent.Close();
}

HRESULT AmbRegSettings::WatchSettings() {
    for (;;) {
        const HRESULT hr =
            WaitForRegistryChange(_kernel, _watchKey, _root, _changeEvent.Get(), _stopEvent.Get());
        if (FAILED(hr)) return LogHResult(hr);
        if (hr == S_FALSE) return S_OK;
        Log(TRACE_LEVEL_INFORMATION, L"Change(s) detected in registry settings!");
        if (_running) ReadSettings();
        if (!_running) return S_OK;
    }
}

template <class Field>
Field AmbRegSettings::Get(const Field& field) const {
    std::lock_guard<platform::Mutex> guard(_lock);
    return field;
}

VBDisplayMode AmbRegSettings::GetDisplayMode() const { return Get(_displayMode); }
DWORD AmbRegSettings::GetDisplayNativeResolutionX() const { return Get(_nativeResolutionX); }
DWORD AmbRegSettings::GetDisplayNativeResolutionY() const { return Get(_nativeResolutionY); }
DWORD AmbRegSettings::GetDisplayViewportX() const { return Get(_viewportX); }
DWORD AmbRegSettings::GetDisplayViewportY() const { return Get(_viewportY); }
DWORD AmbRegSettings::GetPxPositionY() const { return Get(_pxPositionY); }
DWORD AmbRegSettings::GetDisplayAnimationSteps() const { return Get(_animationSteps); }
DWORD AmbRegSettings::GetDisplayAnimationIntervalMilliseconds() const {
    return Get(_animationIntervalMilliseconds);
}
bool AmbRegSettings::IsLegacy() const { return Get(_isLegacy); }
USHORT AmbRegSettings::GetTouchVendorId() const { return Get(_touchVendorId); }
USHORT AmbRegSettings::GetTouchProductId() const { return Get(_touchProductId); }
BYTE AmbRegSettings::GetTouchReportId() const { return Get(_touchReportID); }
BYTE AmbRegSettings::GetTouchPropsReportId() const { return Get(_touchPropsReportID); }
BYTE AmbRegSettings::GetTouchInputMethod() const { return Get(_touchInputMethod); }
float AmbRegSettings::GetTouchViewportLeft() const { return Get(_touchViewportLeft); }
float AmbRegSettings::GetTouchViewportTop() const { return Get(_touchViewportTop); }
float AmbRegSettings::GetTouchViewportRight() const { return Get(_touchViewportRight); }
float AmbRegSettings::GetTouchViewportBottom() const { return Get(_touchViewportBottom); }

bool AmbRegSettings::Event::Create(bool manualReset) {
    _handle = _kernel.CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
    return _handle != nullptr;
}

void AmbRegSettings::Event::Close() {
    if (_handle != nullptr) _kernel.CloseHandle(std::exchange(_handle, nullptr));
}
