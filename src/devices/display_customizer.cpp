#include "devices/display_customizer.h"

#include <memory>
#include <mutex>

#include "log/log.h"
#include "platform/world.h"

namespace {

// The native height scaled by this bounds the vertical offset of an intermediate step. The
// driver's tuning value is single precision; widening it keeps its exact value in the sums.
constexpr double kVerticalBoundFactor = static_cast<double>(0.12f);

bool IsPercentage(DWORD value) { return value >= 1 && value <= 100; }

// Toward zero; every value truncated here is non-negative and within 32 bits.
DWORD Truncate(double value) { return static_cast<DWORD>(value); }

}  // namespace

DisplayCustomizer::DisplayCustomizer(platform::Com& com, platform::Kernel& kernel)
    : _com(com), _kernel(kernel), _lock(kernel) {}

DisplayCustomizer* DisplayCustomizer::GetInstance() {
    return platform::World::Current().Instance<DisplayCustomizer>([](platform::World& world) {
        const platform::Platform& platform = world.GetPlatform();
        return std::make_unique<DisplayCustomizer>(platform.com, platform.kernel);
    });
}

// Only the height matters: it bounds the vertical offset during an animation.
HRESULT DisplayCustomizer::Initialize(DWORD, DWORD nativeResolutionY) {
    std::lock_guard<platform::Mutex> guard(_lock);
    _nativeResolutionY = nativeResolutionY;
    if (_ambrel) return S_FALSE;
    _connectWanted = true;
    _lastConnectTry = _kernel.GetTickCount64();
    return Connect();
}

HRESULT DisplayCustomizer::Connect() {
    bool featureOn = false;
    HRESULT hr = CreateAmbrel();
    if (SUCCEEDED(hr)) {
        hr = QueryAmbrel(&featureOn);
        if (FAILED(hr)) return hr;
    } else {
        LogHResult(hr);
        // A fallback already held stays as it is.
        if (_gfxDeviceData) return hr;
        hr = CreateGfxDeviceData();
        if (FAILED(hr)) return LogHResult(hr);
        hr = QueryGfxDeviceData(&featureOn);
        if (FAILED(hr)) return hr;
    }
    if (!featureOn) {
        Log(TRACE_LEVEL_ERROR,
            L"Ambrel feature not supported.  Please check if gfx driver's registry setting "
            L"Display_EnableAMB was set to 1.");
        return CO_E_NOT_SUPPORTED;
    }
    return hr;
}

void DisplayCustomizer::Uninitialize() {
    std::lock_guard<platform::Mutex> guard(_lock);
    _connectWanted = false;
    _gfxDeviceData.reset();
    _ambrel.reset();
}

void DisplayCustomizer::ConnectIfDue() {
    std::lock_guard<platform::Mutex> guard(_lock);
    ConnectIfDueLocked();
}

void DisplayCustomizer::ConnectIfDueLocked() {
    if (!_connectWanted || _ambrel || _gfxDeviceData) return;
    const ULONGLONG now = _kernel.GetTickCount64();
    if (now - _lastConnectTry < kConnectIntervalMilliseconds) return;
    _lastConnectTry = now;
    Log(TRACE_LEVEL_INFORMATION, L"Connecting to the graphics driver again");
    Connect();
    if (_ambrel || _gfxDeviceData) Log(TRACE_LEVEL_INFORMATION, L"Graphics driver connected");
}

HRESULT DisplayCustomizer::SetFrame(bool enableAMB, DWORD dwPercentageX, DWORD dwPercentageY,
                                    DWORD dwYPositionPx) {
    Log(TRACE_LEVEL_INFORMATION,
        L"enableAMB = %d, dwPercentageX = %d, dwPercentageY = %d, dwYPositionPx = %d",
        enableAMB ? 1 : 0, dwPercentageX, dwPercentageY, dwYPositionPx);
    if (!IsPercentage(dwPercentageX) || !IsPercentage(dwPercentageY)) return E_INVALIDARG;

    // The channel is chosen under the lock, so that an Uninitialize on another thread cannot
    // release it between the choice and the call.
    std::lock_guard<platform::Mutex> guard(_lock);
    ConnectIfDueLocked();
    if (_ambrel) {
        FrameInfo info{};
        info.dwHeader = kFrameRecordHeader;
        info.dwEnable = enableAMB ? 1 : 0;
        info.dwPercentageX = dwPercentageX;
        info.dwPercentageY = dwPercentageY;
        info.dwYPositionPx = dwYPositionPx;
        info.dwConstant = kFrameRecordConstant;
        DWORD errorCode = 0;
        const HRESULT hr = _ambrel->SetInfo(sizeof info, &info, &errorCode);
        if (FAILED(hr)) {
            LogHResult(hr);
            Log(TRACE_LEVEL_ERROR,
                L"ITheCorvaneAmbrel::raw_SetInfo ErrorCode: 0x%08x, Ambrel ErrorCode: 0x%08x",
                errorCode, info.dwAmbrelErrorCode);
        }
        return hr;
    }
    if (_gfxDeviceData) {
        FrameDeviceData data{};
        data.dwHeader = kFrameRecordHeader;
        data.bEnable = enableAMB ? 1 : 0;
        data.dwPercentageX = dwPercentageX;
        data.dwPercentageY = dwPercentageY;
        data.dwYPositionPx = dwYPositionPx;
        data.dwConstant = kFrameRecordConstant;
        DWORD errorCode = 0;
        const HRESULT hr =
            _gfxDeviceData->SetDeviceData(GUID_GfxFrameDeviceData, sizeof data, &data, &errorCode);
        if (FAILED(hr)) {
            LogHResult(hr);
            Log(TRACE_LEVEL_ERROR, L"SetDeviceData error code: 0x%08x", errorCode);
        }
        return hr;
    }
    return E_UNEXPECTED;
}

HRESULT DisplayCustomizer::SetFrameAnimated(bool enableAMB, DWORD dwPercentageX,
                                            DWORD dwPercentageY, DWORD dwYPositionPx, DWORD dwSteps,
                                            DWORD dwIntervalMilliseconds) {
    Log(TRACE_LEVEL_INFORMATION,
        L"enableAMB = %d, dwPercentageX = %d, dwPercentageY = %d, dwYPositionPx = %d, "
        L"dwSteps = %d, dwIntervalMilliseconds = %d",
        enableAMB ? 1 : 0, dwPercentageX, dwPercentageY, dwYPositionPx, dwSteps,
        dwIntervalMilliseconds);
    if (!IsPercentage(dwPercentageX) || !IsPercentage(dwPercentageY) || dwSteps == 0) {
        return E_INVALIDARG;
    }

    // Showing moves from the full screen towards the target, hiding from the target back.
    const double steps = dwSteps;
    const double x0 = enableAMB ? 100.0 : dwPercentageX;
    const double y0 = enableAMB ? 100.0 : dwPercentageY;
    const double p0 = enableAMB ? 0.0 : dwYPositionPx;
    double dx = (100.0 - dwPercentageX) / steps;
    double dy = (100.0 - dwPercentageY) / steps;
    double dp = dwYPositionPx / steps;
    if (enableAMB) {
        dx = -dx;
        dy = -dy;
    } else {
        dp = -dp;
    }

    // One bound for the whole animation, from the resolution stored when it starts.
    const DWORD nativeY = [this] {
        std::lock_guard<platform::Mutex> guard(_lock);
        return _nativeResolutionY;
    }();
    for (DWORD i = 1; i < dwSteps; ++i) {
        const DWORD x = Truncate(x0 + i * dx + 0.5);
        const double yExact = y0 + i * dy;
        const DWORD y = Truncate(yExact + 0.5);
        DWORD p = Truncate(p0 + i * dp);
        if (nativeY != 0 && yExact > 0) {
            const DWORD limit = Truncate((1.0 - yExact / 100.0) * kVerticalBoundFactor * nativeY);
            if (limit != 0 && p > limit) p = limit;
        }
        Log(TRACE_LEVEL_INFORMATION, L"AMB: dwPercentX=%d, dwPercentY=%d, dwYPos=%d", x, y, p);
        // Every intermediate step shows a frame, also while hiding.
        const HRESULT hr = SetFrame(true, x, y, p);
        if (FAILED(hr)) return LogHResult(hr);
        _kernel.Sleep(dwIntervalMilliseconds);
    }
    // The last request carries the exact target and the real flag, unbounded.
    return SetFrame(enableAMB, dwPercentageX, dwPercentageY, dwYPositionPx);
}

HRESULT DisplayCustomizer::SetFramePixels(bool, DWORD dwWidthPx, DWORD dwHeightPx, DWORD) {
    if (dwWidthPx == 0 || dwHeightPx == 0) return E_INVALIDARG;
    return E_NOTIMPL;
}

HRESULT DisplayCustomizer::CreateAmbrel() {
    void* object = nullptr;
    HRESULT hr =
        _com.CoCreateInstance(CLSID_TheCorvaneAmbrel, nullptr, CLSCTX_ALL, IID_IUnknown, &object);
    if (FAILED(hr)) return hr;
    if (object == nullptr) return E_POINTER;
    // Released whatever the outcome; only the frame interface is kept.
    const platform::ComPtr<IUnknown> unknown(static_cast<IUnknown*>(object));
    hr = _com.OleRun(unknown.get());
    if (FAILED(hr)) return hr;
    object = nullptr;
    hr = unknown->QueryInterface(IID_ITheCorvaneAmbrel, &object);
    if (FAILED(hr)) return hr;
    if (object == nullptr) return E_POINTER;
    _ambrel.reset(static_cast<ITheCorvaneAmbrel*>(object));
    return hr;
}

HRESULT DisplayCustomizer::CreateGfxDeviceData() {
    void* object = nullptr;
    const HRESULT hr = _com.CoCreateInstance(CLSID_GfxDeviceData, nullptr, CLSCTX_SERVER,
                                             IID_IGfxDeviceData, &object);
    if (FAILED(hr)) return hr;
    if (object == nullptr) return E_POINTER;
    _gfxDeviceData.reset(static_cast<IGfxDeviceData*>(object));
    return hr;
}

HRESULT DisplayCustomizer::QueryAmbrel(bool* featureOn) {
    FrameInfo info{};
    info.dwHeader = kFrameRecordHeader;
    info.dwConstant = kFrameRecordConstant;
    DWORD errorCode = 0;
    const HRESULT hr = _ambrel->GetInfo(sizeof info, &info, &errorCode);
    if (FAILED(hr)) {
        LogHResult(hr);
        Log(TRACE_LEVEL_ERROR,
            L"ITheCorvaneAmbrel::raw_GetInfo ErrorCode: 0x%08x, Ambrel ErrorCode: 0x%08x",
            errorCode, info.dwAmbrelErrorCode);
        return hr;
    }
    *featureOn = info.dwSupported != 0;
    return hr;
}

HRESULT DisplayCustomizer::QueryGfxDeviceData(bool* featureOn) {
    FrameDeviceData data{};
    data.dwHeader = kFrameRecordHeader;
    data.dwConstant = kFrameRecordConstant;
    DWORD errorCode = 0;
    const HRESULT hr =
        _gfxDeviceData->GetDeviceData(GUID_GfxFrameDeviceData, sizeof data, &data, &errorCode);
    if (FAILED(hr)) {
        LogHResult(hr);
        Log(TRACE_LEVEL_ERROR, L"GetDeviceData error code: 0x%08x", errorCode);
        return hr;
    }
    *featureOn = data.bSupported != 0;
    return hr;
}
