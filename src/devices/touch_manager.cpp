#include "devices/touch_manager.h"

#include <bit>
#include <cstdint>
#include <memory>
#include <mutex>

#include "log/log.h"
#include "platform/world.h"

namespace {

using TouchLock = std::lock_guard<platform::RecursiveMutex>;

constexpr DWORD kSelectForReading = 0xFFFFFFFF;
constexpr BYTE kSecurityByte = 0xFF;  // the security number 0xFFFF, one byte at a time
constexpr USHORT kSecurityNumber = 0xFFFF;
constexpr int kLegacyOutputReportLength = 10;
constexpr int kOutputReportLength = 20;
constexpr int kVersion1OutputReportLength = 19;
constexpr USHORT kVersion2InputReportLength = 20;

// A failed call's status: its last error as an HRESULT, E_FAIL when that names no failure.
HRESULT FailureStatus(DWORD error) {
    const HRESULT hr = HRESULT_FROM_WIN32(error);
    return FAILED(hr) ? hr : E_FAIL;
}

void PutLittleEndian16(BYTE* out, USHORT value) {
    out[0] = static_cast<BYTE>(value);
    out[1] = static_cast<BYTE>(value >> 8);
}

void PutLittleEndian32(BYTE* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
}

void PutBigEndian16(BYTE* out, USHORT value) {
    out[0] = static_cast<BYTE>(value >> 8);
    out[1] = static_cast<BYTE>(value);
}

// Version 2 carries whole numbers: a coordinate is truncated toward zero, and one beyond the
// 16 bits of its field cannot be sent at all.
bool FitsVersion2(float coordinate) { return coordinate < 65536.0f; }

USHORT TruncateToVersion2(float coordinate) {
    return static_cast<USHORT>(static_cast<std::uint32_t>(coordinate));
}

}  // namespace

TouchManager::TouchManager(platform::Hid& hid, platform::Kernel& kernel,
                           const HidDeviceList& devices)
    : _kernel(kernel),
      _touchLock(kernel),
      _enableEvent(kernel),
      _disableEvent(kernel),
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
                              BYTE propsReportId, BYTE inputMethod) {
    {
        // The search holds the lock too: while it walks the devices the client briefly holds
        // each one, and no report of another thread may go to a device that does not match.
        TouchLock guard(_touchLock);
        if (IsInitialized()) return true;
        _isLegacy = isLegacy;
        _reportId = reportId;
        _propsReportId = propsReportId;
        _inputMethod = inputMethod;
        const bool found =
            _hidClient.Open(vendorId, productId, 0, 0,
                            isLegacy ? kLegacyOutputReportLength : kOutputReportLength, 0) ||
            _hidClient.Open(vendorId, productId, 0, 0,
                            isLegacy ? kLegacyOutputReportLength : kVersion1OutputReportLength, 0);
        if (!found) return isLegacy ? false : OpenNamedEvents();
        LogCapabilities();
    }
    return ReadProperties();
}

void TouchManager::LogCapabilities() {
    const HIDP_CAPS& caps = _hidClient.GetCapabilities();
    Log(TRACE_LEVEL_INFORMATION,
        L"HIDP_CAPS: InputReportByteLength=%d, OutputReportByteLength=%d, "
        L"FeatureReportByteLength=%d",
        caps.InputReportByteLength, caps.OutputReportByteLength, caps.FeatureReportByteLength);
    if (caps.InputReportByteLength == kVersion2InputReportLength) _protocolVersion = 2;
}

bool TouchManager::OpenNamedEvents() {
    constexpr DWORD kAccess = EVENT_MODIFY_STATE | SYNCHRONIZE;
    _enableEvent.reset(_kernel.OpenEventW(kAccess, FALSE, kEnableEventName));
    if (!_enableEvent) LogHResult(FailureStatus(GetLastError()));
    _disableEvent.reset(_kernel.OpenEventW(kAccess, FALSE, kDisableEventName));
    if (!_disableEvent) LogHResult(FailureStatus(GetLastError()));
    return _enableEvent && _disableEvent;
}

bool TouchManager::ReadProperties() {
    DWORD value = 0;
    if (GetProperty(kPropertyProtocolVersion, value)) {
        const USHORT version = static_cast<USHORT>(value);
        {
            TouchLock guard(_touchLock);
            _protocolVersion = version;
        }
        Log(TRACE_LEVEL_INFORMATION, L"Touch FW version: 0x%02x (%d.%d)", version, version & 0xFF,
            version >> 8);
        if (version != 1 && version != 2) {
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
    if (GetProperty(kPropertyPanelSize, value)) {
        const USHORT width = static_cast<USHORT>(value);
        const USHORT height = static_cast<USHORT>(value >> 16);
        {
            TouchLock guard(_touchLock);
            _panelWidth = width;
            _panelHeight = height;
        }
        Log(TRACE_LEVEL_INFORMATION, L"Touch panel dimension: width=%d, height=%d", width, height);
    } else {
        Log(TRACE_LEVEL_WARNING, L"Failed to get touch panel size property!");
    }
    if (GetProperty(kPropertyPalmReport, value)) {
        const bool supported = (value & 0xFF) != 0;
        {
            TouchLock guard(_touchLock);
            _palmReportSupport = supported;
        }
        Log(TRACE_LEVEL_INFORMATION, L"PalmReportSupport: %d", supported ? 1 : 0);
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
    if (!SetProperty(key, kSelectForReading)) {
        Log(TRACE_LEVEL_ERROR, L"Failed to send property key!");
        return false;
    }
    HidClient::FeatureReport response{};
    BYTE propsReportId = 0;
    {
        TouchLock guard(_touchLock);
        propsReportId = _propsReportId;
        response[0] = propsReportId;
        response[3] = key;
        if (!_hidClient.GetFeatureReport(response)) {
            Log(TRACE_LEVEL_ERROR, L"Failed to get feature report from HID device.");
            return false;
        }
    }
    if (response[0] != propsReportId) {
        Log(TRACE_LEVEL_ERROR, L"ReportId in feature report incorrect: %d", response[0]);
        return false;
    }
    const USHORT security = static_cast<USHORT>(response[1] | response[2] << 8);
    if (security != kSecurityNumber) {
        Log(TRACE_LEVEL_ERROR, L"Security# in feature report incorrect: %d", security);
        return false;
    }
    value = static_cast<DWORD>(response[4]) | static_cast<DWORD>(response[5]) << 8 |
            static_cast<DWORD>(response[6]) << 16 | static_cast<DWORD>(response[7]) << 24;
    return true;
}

bool TouchManager::SetProperty(BYTE key, DWORD value) {
    TouchLock guard(_touchLock);
    if (!_hidClient.IsValid()) {
        Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
        return false;
    }
    BYTE request[HidClient::kFeatureReportLength] = {_propsReportId, kSecurityByte, kSecurityByte,
                                                     key};
    PutLittleEndian32(&request[4], value);
    if (!_hidClient.SetFeatureReport(request, sizeof request)) {
        Log(TRACE_LEVEL_ERROR, L"Failed to set feature report to HID device: key=%d, value=0x%04x",
            key, value);
        return false;
    }
    return true;
}

bool TouchManager::SetViewport(float left, float top, float right, float bottom) {
    // Written so that a NaN anywhere fails.
    if (!(left >= 0 && top >= 0 && right >= 0 && bottom >= 0 && right > left && bottom > top)) {
        Log(TRACE_LEVEL_ERROR, L"Invalid viewport dimension");
        return false;
    }
    if (!IsInitialized()) {
        Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
        return false;
    }
    bool sent = false;
    {
        TouchLock guard(_touchLock);
        BYTE report[kOutputReportLength] = {_reportId, kSecurityByte, kSecurityByte};
        DWORD length = 0;
        if (_protocolVersion == 1) {
            const float coordinates[] = {left, top, right, bottom};
            for (int i = 0; i < 4; ++i) {
                PutLittleEndian32(&report[3 + 4 * i], std::bit_cast<std::uint32_t>(coordinates[i]));
            }
            length = kVersion1OutputReportLength;
        } else if (_protocolVersion == 2) {
            if (!FitsVersion2(left) || !FitsVersion2(top) || !FitsVersion2(right) ||
                !FitsVersion2(bottom)) {
                Log(TRACE_LEVEL_ERROR, L"Invalid viewport dimension");
                return false;
            }
            const float coordinates[] = {left, top, right, bottom};
            for (int i = 0; i < 4; ++i) {
                PutLittleEndian16(&report[3 + 4 * i], TruncateToVersion2(coordinates[i]));
            }
            length = kOutputReportLength;
        } else {
            Log(TRACE_LEVEL_ERROR, L"Touch FW version not supported: 0x%02x", _protocolVersion);
            return false;
        }
        sent = _hidClient.WriteOutputReport(report, length);
        if (sent) _lastViewport = {left, top, right, bottom};
    }
    if (!sent) Log(TRACE_LEVEL_ERROR, L"Failed to send output report to HID device.");
    return sent;
}

bool TouchManager::SetViewportLegacy(USHORT left, USHORT top, USHORT right, USHORT bottom) {
    if (!IsInitialized()) {
        Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
        return false;
    }
    bool sent = false;
    {
        TouchLock guard(_touchLock);
        BYTE report[kLegacyOutputReportLength] = {_reportId};
        PutBigEndian16(&report[1], left);
        PutBigEndian16(&report[3], top);
        PutBigEndian16(&report[5], right);
        PutBigEndian16(&report[7], bottom);
        sent = _hidClient.WriteOutputReport(report, sizeof report);
        if (sent) _lastLegacyViewport = {left, top, right, bottom};
    }
    if (!sent) Log(TRACE_LEVEL_ERROR, L"Failed to send output report to HID device.");
    return sent;
}

bool TouchManager::SendModeReport(DWORD mode) {
    bool sent = false;
    {
        TouchLock guard(_touchLock);
        if (_isLegacy) {
            const BYTE report[] = {_reportId, static_cast<BYTE>(mode), 0};
            sent = _hidClient.SetFeatureReport(report, sizeof report);
        } else {
            const BYTE report[] = {_reportId, kSecurityByte, kSecurityByte,
                                   static_cast<BYTE>(mode)};
            sent = _hidClient.SetFeatureReport(report, sizeof report);
        }
    }
    if (!sent) {
        Log(TRACE_LEVEL_ERROR, L"Failed to set feature report to HID device: mode=%d", mode);
    }
    return sent;
}

void TouchManager::Signal(const EventHandle& event) {
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
        if (!IsInitialized()) {
            Log(TRACE_LEVEL_ERROR, L"Initialization was incorrect: invalid HID client");
            return false;
        }
        legacy = _isLegacy;
        viaHid = _hidClient.IsValid();
    }
    if (!legacy && !viaHid) {
        // The named events stand in for the controller; the mode was not applied through HID.
        if (mode == kTouchInFrameEnabled) {
            Log(TRACE_LEVEL_INFORMATION, L"Signaled to enable I2C touch on AMB.");
            Signal(_enableEvent);
        } else if (mode == kTouchInFrameDisabled) {
            Log(TRACE_LEVEL_INFORMATION, L"Signaled to disable I2C touch on AMB.");
            Signal(_disableEvent);
        }
        return false;
    }
    // Mode 1 always goes first; 2 and 3 follow it and send the last viewport again.
    if (!SendModeReport(kTouchInFrameEnabled)) return false;
    if (mode == kTouchInFrameEnabled) return true;
    if (!SendModeReport(mode)) return false;
    bool configured = false;
    if (legacy) {
        LegacyViewport viewport;
        {
            TouchLock guard(_touchLock);
            viewport = _lastLegacyViewport;
        }
        configured =
            SetViewportLegacy(viewport.Left, viewport.Top, viewport.Right, viewport.Bottom);
    } else {
        Viewport viewport;
        {
            TouchLock guard(_touchLock);
            viewport = _lastViewport;
        }
        configured = SetViewport(viewport.Left, viewport.Top, viewport.Right, viewport.Bottom);
    }
    if (!configured) {
        Log(TRACE_LEVEL_ERROR, L"Failed to config viewport dimension.");
        return false;
    }
    return true;
}
