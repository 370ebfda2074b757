#include "core/vb_state_machine_context.h"

#include <cstdint>

#include "contract.h"
#include "devices/display_customizer.h"
#include "devices/touch_manager.h"
#include "log/log.h"
#include "settings/registry.h"

namespace {

// Truncated toward zero, then the low 16 bits: what the legacy controller's report carries.
USHORT LegacyCoordinate(float value) {
    return static_cast<USHORT>(static_cast<std::int64_t>(value) & 0xFFFF);
}

}  // namespace

VbStateMachineContextImpl::VbStateMachineContextImpl(const platform::Platform& platform)
    : AmbRegSettings(platform.registry, platform.kernel, platform.security, HKEY_LOCAL_MACHINE),
      _platform(platform) {}

void VbStateMachineContextImpl::ShowFrame() { ApplyFrame(true); }

void VbStateMachineContextImpl::HideFrame() { ApplyFrame(false); }

void VbStateMachineContextImpl::ApplyFrame(bool show) {
    // Touch first: an invalid mode or a failed display request still leaves touch as asked.
    if (TouchManager::GetInstance()->SetBezelTouchMode(show ? contract::kTouchInFrameDisabled
                                                            : contract::kTouchInFrameEnabled)) {
        Log(TRACE_LEVEL_INFORMATION,
            show ? L"Touch on Ambrel area DISABLED" : L"Touch on Ambrel area ENABLED");
    }
    DisplayCustomizer* display = DisplayCustomizer::GetInstance();
    const VBDisplayMode mode = GetDisplayMode();
    HRESULT hr = S_OK;
    if (mode == VBDisplayModePercentage) {
        if (_animate) {
            hr = display->SetFrameAnimated(show, GetDisplayViewportX(), GetDisplayViewportY(),
                                           GetPxPositionY(), GetDisplayAnimationSteps(),
                                           GetDisplayAnimationIntervalMilliseconds());
        } else {
            hr = display->SetFrame(show, GetDisplayViewportX(), GetDisplayViewportY(),
                                   GetPxPositionY());
        }
    } else if (mode == VBDisplayModePixels) {
        hr = display->SetFramePixels(show, GetDisplayViewportX(), GetDisplayViewportY(),
                                     GetPxPositionY());
    } else {
        Log(TRACE_LEVEL_INFORMATION, L"Invalid VBDisplayMode: %d", static_cast<int>(mode));
        return;
    }
    if (FAILED(hr)) {
        LogHResult(hr);
        return;
    }
    Log(TRACE_LEVEL_INFORMATION, show ? L"Ambrel SHOWN" : L"Ambrel HIDDEN");
}

bool VbStateMachineContextImpl::Initialize() {
    ReadSettings();
    // A value that cannot be read as a number (missing, another type) counts as 0.
    DWORD monitorSettings = 0;
    if (FAILED(ReadRegDword(_platform.registry, HKEY_LOCAL_MACHINE, contract::kConfigurationKey,
                            L"MonitorSettings", &monitorSettings))) {
        monitorSettings = 0;
    }
    if (monitorSettings != 0) StartMonitoring();
    const HRESULT hr = DisplayCustomizer::GetInstance()->Initialize(GetDisplayNativeResolutionX(),
                                                                    GetDisplayNativeResolutionY());
    if (FAILED(hr)) {
        LogHResult(hr);
        return false;
    }
    Log(TRACE_LEVEL_INFORMATION, L"DisplayCustomizer object initialized");
    return true;
}

void VbStateMachineContextImpl::ReadSettings() {
    AmbRegSettings::ReadSettings();
    TouchManager* touch = TouchManager::GetInstance();
    if (touch->Initialize(IsLegacy(), GetTouchVendorId(), GetTouchProductId(), GetTouchReportId(),
                          GetTouchPropsReportId(), GetTouchInputMethod())) {
        Log(TRACE_LEVEL_INFORMATION, L"TouchManager object initialized");
    }
    const float left = GetTouchViewportLeft();
    const float top = GetTouchViewportTop();
    const float right = GetTouchViewportRight();
    const float bottom = GetTouchViewportBottom();
    if (IsLegacy()) {
        if (touch->SetViewportLegacy(LegacyCoordinate(left), LegacyCoordinate(top),
                                     LegacyCoordinate(right), LegacyCoordinate(bottom))) {
            Log(TRACE_LEVEL_INFORMATION, L"Ambrel dimension configured for USB touch");
        }
    } else if (touch->SetViewport(left, top, right, bottom)) {
        Log(TRACE_LEVEL_INFORMATION, L"Ambrel dimension configured for touch");
    }
}

void VbStateMachineContextImpl::Uninitialize() {
    HideFrame();
    DisplayCustomizer::GetInstance()->Uninitialize();
    StopMonitoring();
}
