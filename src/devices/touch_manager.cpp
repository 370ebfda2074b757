#include "devices/touch_manager.h"

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "contract.h"
#include "log/log.h"
#include "platform/world.h"

namespace {

using TouchLock = std::lock_guard<platform::RecursiveMutex>;
namespace protocol = touch_protocol;

static_assert(protocol::kPropertyReportLength == HidClient::kFeatureReportLength);

// A failed call's status: its last error as an HRESULT, E_FAIL when that names no failure.
HRESULT FailureStatus(DWORD error) {
    const HRESULT hr = HRESULT_FROM_WIN32(error);
    return FAILED(hr) ? hr : E_FAIL;
}

bool Write(HidClient& client, const protocol::Bytes& report) {
    return client.WriteOutputReport(report.data(), static_cast<DWORD>(report.size()));
}

bool SetFeature(HidClient& client, const protocol::Bytes& report) {
    return client.SetFeatureReport(report.data(), static_cast<DWORD>(report.size()));
}

}  // namespace

TouchManager::TouchManager(platform::Hid& hid, platform::Kernel& kernel,
                           const HidDeviceList& devices)
    : _kernel(kernel),
      _touchLock(kernel),
      _enableEvent(platform::KernelHandleCloser{&kernel}),
      _disableEvent(platform::KernelHandleCloser{&kernel}),
      _hidClient(hid, kernel, devices) {}

TouchManager::~TouchManager() = default;

TouchManager* TouchManager::GetInstance() {
    return platform::World::Current().Instance<TouchManager>([](platform::World& world) {
        const platform::Platform& platform = world.GetPlatform();
        return std::make_unique<TouchManager>(platform.hid, platform.kernel,
                                              HidDeviceList::Instance());
    });
}

bool TouchManager::IsInitialized() {
    TouchLock guard(_touchLock);
    return _hidClient.IsValid() || (!_isLegacy && _enableEvent && _disableEvent);
}

bool TouchManager::Initialize(bool isLegacy, USHORT vendorId, USHORT productId, BYTE reportId,
                              BYTE propsReportId, BYTE /*inputMethod*/) {
    {
        // The search holds the lock too: while it walks the devices the client briefly holds
        // each one, and no report of another thread may go to a device that does not match.
        TouchLock guard(_touchLock);
        if (IsInitialized()) return true;
        _configured = true;
        _vendorId = vendorId;
        _productId = productId;
        _isLegacy = isLegacy;
        _reportId = reportId;
        _propsReportId = propsReportId;
        if (!OpenController()) return isLegacy ? false : OpenNamedEvents();
        LogCapabilities();
    }
    HandlesChanged();
    return ReadProperties();
}

bool TouchManager::OpenController() {
    return _hidClient.Open(_vendorId, _productId, 0, 0,
                           _isLegacy ? protocol::kLegacyOutputReportLength
                                     : protocol::kVersion2OutputReportLength,
                           0) ||
           _hidClient.Open(_vendorId, _productId, 0, 0,
                           _isLegacy ? protocol::kLegacyOutputReportLength
                                     : protocol::kVersion1OutputReportLength,
                           0);
}

void TouchManager::CloseController() {
    _hidClient.Close();
    if (!_isLegacy && !(_enableEvent && _disableEvent)) OpenNamedEvents();
}

void TouchManager::VisitHandles(const std::function<void(HANDLE)>& visit) {
    TouchLock guard(_touchLock);
    if (_hidClient.IsValid()) visit(_hidClient.Handle());
}

void TouchManager::Release(HANDLE handle) {
    CloseControllerIf([this, handle] { return _hidClient.Handle() == handle; },
                      L"Touch controller given up: %s");
}

void TouchManager::Removed(const std::wstring& path) {
    CloseControllerIf([this, &path] { return SameDevicePath(_hidClient.Path(), path); },
                      L"Touch controller removed: %s");
}

void TouchManager::CloseControllerIf(const std::function<bool()>& held, const wchar_t* line) {
    {
        TouchLock guard(_touchLock);
        if (!_hidClient.IsValid() || !held()) return;
        Log(TRACE_LEVEL_INFORMATION, line, _hidClient.Path().c_str());
        CloseController();
    }
    HandlesChanged();
}

void TouchManager::Reacquire() {
    std::optional<protocol::Viewport> viewport;
    std::optional<protocol::LegacyViewport> legacyViewport;
    std::optional<DWORD> mode;
    {
        TouchLock guard(_touchLock);
        if (!_configured || _hidClient.IsValid()) return;
        if (!OpenController()) return;
        Log(TRACE_LEVEL_INFORMATION, L"Touch controller back: %s", _hidClient.Path().c_str());
        LogCapabilities();
        viewport = _requestedViewport;
        legacyViewport = _requestedLegacyViewport;
        mode = _requestedMode;
    }
    HandlesChanged();
    if (!ReadProperties()) return;
    if (_isLegacy && legacyViewport) {
        SetViewportLegacy(legacyViewport->Left, legacyViewport->Top, legacyViewport->Right,
                          legacyViewport->Bottom);
    } else if (!_isLegacy && viewport) {
        SetViewport(viewport->Left, viewport->Top, viewport->Right, viewport->Bottom);
    }
    if (mode) SetBezelTouchMode(*mode);
}

void TouchManager::LogCapabilities() {
    const HIDP_CAPS& caps = _hidClient.GetCapabilities();
    Log(TRACE_LEVEL_INFORMATION,
        L"HIDP_CAPS: InputReportByteLength=%d, OutputReportByteLength=%d, "
        L"FeatureReportByteLength=%d",
        caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength);
    if (caps.InputReportByteLength == protocol::kVersion2InputReportLength) _protocolVersion = 2;
}

bool TouchManager::OpenNamedEvents() {
    constexpr DWORD kAccess = EVENT_MODIFY_STATE | SYNCHRONIZE;
    _enableEvent.reset(_kernel.OpenEventW(kAccess, FALSE, contract::kTouchEnableEventName));
    if (!_enableEvent) LogHResult(FailureStatus(GetLastError()));
    _disableEvent.reset(_kernel.OpenEventW(kAccess, FALSE, contract::kTouchDisableEventName));
    if (!_disableEvent) LogHResult(FailureStatus(GetLastError()));
    return _enableEvent && _disableEvent;
}

bool TouchManager::ReadProperties() {
    DWORD value = 0;
    if (GetProperty(protocol::kPropertyProtocolVersion, value)) {
        const USHORT version = static_cast<USHORT>(value);
        {
            TouchLock guard(_touchLock);
            _protocolVersion = version;
        }
        Log(TRACE_LEVEL_INFORMATION, L"Touch FW version: 0x%02x (%d.%d)", version, version & 0xFF,
            version >> 8);
        if (!protocol::IsSupportedVersion(version)) {
            Log(TRACE_LEVEL_ERROR, L"Touch FW version not supported");
            return false;
        }
    } else {
        USHORT version = 0;
        {
            TouchLock guard(_touchLock);
            version = _protocolVersion;
        }
        Log(TRACE_LEVEL_WARNING,
            L"Failed to get touch FW version property!  Current FW version: 0x%02x (%d.%d)",
            version, version & 0xFF, version >> 8);
    }
    if (GetProperty(protocol::kPropertyPanelSize, value)) {
        Log(TRACE_LEVEL_INFORMATION, L"Touch panel dimension: width=%d, height=%d",
            protocol::PanelWidth(value), protocol::PanelHeight(value));
    } else {
        Log(TRACE_LEVEL_WARNING, L"Failed to get touch panel size property!");
    }
    if (GetProperty(protocol::kPropertyPalmReport, value)) {
        Log(TRACE_LEVEL_INFORMATION, L"PalmReportSupport: %d",
            protocol::PalmReportSupported(value) ? 1 : 0);
    } else {
        Log(TRACE_LEVEL_WARNING, L"Failed to get Palm Report property!");
    }
    return true;
}

bool TouchManager::GetProperty(BYTE key, DWORD& value) {
    {
        TouchLock guard(_touchLock);
        if (!_hidClient.IsValid()) {
            Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
            return false;
        }
    }
    if (!SetProperty(key, protocol::kSelectForReading)) {
        Log(TRACE_LEVEL_ERROR, L"Failed to send property key!");
        return false;
    }
    HidClient::FeatureReport response{};
    BYTE propsReportId = 0;
    {
        TouchLock guard(_touchLock);
        propsReportId = _propsReportId;
        response = protocol::PropertyQuery(propsReportId, key);
        if (!_hidClient.GetFeatureReport(response)) {
            Log(TRACE_LEVEL_ERROR, L"Failed to get feature report from HID device.");
            return false;
        }
    }
    const protocol::PropertyResponse parsed =
        protocol::ParsePropertyResponse(response, propsReportId);
    switch (parsed.fault) {
        case protocol::PropertyResponse::Fault::ReportId:
            Log(TRACE_LEVEL_ERROR, L"ReportId in feature report incorrect: %d", parsed.reportId);
            return false;
        case protocol::PropertyResponse::Fault::SecurityNumber:
            Log(TRACE_LEVEL_ERROR, L"Security# in feature report incorrect: %d",
                parsed.securityNumber);
            return false;
        case protocol::PropertyResponse::Fault::None:
            break;
    }
    value = parsed.value;
    return true;
}

bool TouchManager::SetProperty(BYTE key, DWORD value) {
    TouchLock guard(_touchLock);
    if (!_hidClient.IsValid()) {
        Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
        return false;
    }
    const protocol::PropertyReport request = protocol::PropertyRequest(_propsReportId, key, value);
    if (!_hidClient.SetFeatureReport(request.data(), static_cast<DWORD>(request.size()))) {
        Log(TRACE_LEVEL_ERROR, L"Failed to set feature report to HID device: key=%d, value=0x%04x",
            key, value);
        return false;
    }
    return true;
}

bool TouchManager::SetViewport(float left, float top, float right, float bottom) {
    return SendViewport({left, top, right, bottom}, true);
}

bool TouchManager::SendViewport(const protocol::Viewport& viewport, bool asked) {
    if (!protocol::IsValidViewport(viewport)) {
        Log(TRACE_LEVEL_ERROR, L"Invalid viewport dimension");
        return false;
    }
    if (asked) {
        TouchLock guard(_touchLock);
        _requestedViewport = viewport;
    }
    if (!IsInitialized()) {
        Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
        return false;
    }
    bool sent = false;
    {
        TouchLock guard(_touchLock);
        protocol::Bytes report;
        if (_protocolVersion == 1) {
            report = protocol::Version1ViewportReport(_reportId, viewport);
        } else if (_protocolVersion == 2) {
            std::optional<protocol::Bytes> encoded =
                protocol::Version2ViewportReport(_reportId, viewport);
            if (!encoded) {
                Log(TRACE_LEVEL_ERROR, L"Invalid viewport dimension");
                return false;
            }
            report = std::move(*encoded);
        } else {
            Log(TRACE_LEVEL_ERROR, L"Touch FW version not supported: 0x%02x", _protocolVersion);
            return false;
        }
        sent = Write(_hidClient, report);
        if (sent) _lastViewport = viewport;
    }
    if (!sent) Log(TRACE_LEVEL_ERROR, L"Failed to send output report to HID device.");
    return sent;
}

bool TouchManager::SetViewportLegacy(USHORT left, USHORT top, USHORT right, USHORT bottom) {
    return SendLegacyViewport({left, top, right, bottom}, true);
}

bool TouchManager::SendLegacyViewport(const protocol::LegacyViewport& viewport, bool asked) {
    if (asked) {
        TouchLock guard(_touchLock);
        _requestedLegacyViewport = viewport;
    }
    if (!IsInitialized()) {
        Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
        return false;
    }
    bool sent = false;
    {
        TouchLock guard(_touchLock);
        sent = Write(_hidClient, protocol::LegacyViewportReport(_reportId, viewport));
        if (sent) _lastLegacyViewport = viewport;
    }
    if (!sent) Log(TRACE_LEVEL_ERROR, L"Failed to send output report to HID device.");
    return sent;
}

bool TouchManager::SendModeReport(DWORD mode) {
    bool sent = false;
    {
        TouchLock guard(_touchLock);
        sent = SetFeature(_hidClient, _isLegacy ? protocol::LegacyModeReport(_reportId, mode)
                                                : protocol::ModeReport(_reportId, mode));
    }
    if (!sent) {
        Log(TRACE_LEVEL_ERROR, L"Failed to set feature report to HID device: mode=%d", mode);
    }
    return sent;
}

void TouchManager::Signal(const platform::KernelHandle& event) {
    TouchLock guard(_touchLock);
    if (!_kernel.SetEvent(event.get())) LogHResult(FailureStatus(GetLastError()));
}

bool TouchManager::SetBezelTouchMode(DWORD mode) {
    if (mode < 1 || mode > 3) {
        Log(TRACE_LEVEL_ERROR, L"Invalid bezel touch mode: %d", mode);
        return false;
    }
    bool legacy = false;
    bool viaHid = false;
    {
        TouchLock guard(_touchLock);
        _requestedMode = mode;
        if (!IsInitialized()) {
            Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
            return false;
        }
        legacy = _isLegacy;
        viaHid = _hidClient.IsValid();
    }
    if (!legacy && !viaHid) {
        // The named events stand in for the controller; the mode was not applied through HID.
        if (mode == contract::kTouchInFrameEnabled) {
            Log(TRACE_LEVEL_INFORMATION, L"Signaled to enable I2C touch on AMB.");
            Signal(_enableEvent);
        } else if (mode == contract::kTouchInFrameDisabled) {
            Log(TRACE_LEVEL_INFORMATION, L"Signaled to disable I2C touch on AMB.");
            Signal(_disableEvent);
        }
        return false;
    }
    // Mode 1 always goes first; 2 and 3 follow it and send the last viewport again.
    if (!SendModeReport(contract::kTouchInFrameEnabled)) return false;
    if (mode == contract::kTouchInFrameEnabled) return true;
    if (!SendModeReport(mode)) return false;
    bool configured = false;
    if (legacy) {
        protocol::LegacyViewport viewport;
        {
            TouchLock guard(_touchLock);
            viewport = _lastLegacyViewport;
        }
        configured = SendLegacyViewport(viewport, false);
    } else {
        protocol::Viewport viewport;
        {
            TouchLock guard(_touchLock);
            viewport = _lastViewport;
        }
        configured = SendViewport(viewport, false);
    }
    if (!configured) {
        Log(TRACE_LEVEL_ERROR, L"Failed to config viewport dimension.");
        return false;
    }
    return true;
}
