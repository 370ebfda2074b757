// The touch manager: tells the touch controller where the frame is and whether touches in the
// frame band count.
//
// It speaks the controller's report protocol (touch_protocol.h) over HID: properties are read
// and written with feature reports, the viewport (the touch area inside the frame) goes out as
// an output report, and the bezel touch mode as feature reports. When the current controller is
// not on the HID bus, the mode is signalled through two named events that another component
// waits on.
//
// One recursive lock, the touch lock, guards the state and each single report exchange, never a
// whole sequence: a mode change on one thread and a viewport update on another may interleave.
//
// The controller may go away and come back (re-enumerated after hibernation, a driver update):
// when it goes the manager closes it and falls back as when none was found; when it is back it
// is opened, given its start-up exchange (properties, the viewport asked for last) and then the
// touch mode asked for last, so that the band matches the frame.
#pragma once

#include "devices/hid_client.h"
#include "devices/hid_device_holder.h"
#include "devices/touch_protocol.h"
#include "platform/hid.h"
#include "platform/kernel.h"
#include "platform/owner.h"
#include "platform/sync.h"
#include "platform/win32types.h"

#include <optional>

class TouchManager final : public HidDeviceHolder {
public:
    TouchManager(platform::Hid& hid, platform::Kernel& kernel, const HidDeviceList& devices);
    ~TouchManager();
    TouchManager(const TouchManager&) = delete;
    TouchManager& operator=(const TouchManager&) = delete;

    // The process-wide touch manager, created on the first call.
    static TouchManager* GetInstance();

    // Opens the controller and reads its properties, or falls back to the named events for a
    // current controller that is not there. Once initialised, later calls return true at once.
    // The input method is the configuration's and not sent to the controller.
    bool Initialize(bool isLegacy, USHORT vendorId, USHORT productId, BYTE reportId,
                    BYTE propsReportId, BYTE inputMethod);
    // The controller is open, or (current controller) both named events are.
    bool IsInitialized();
    // Current controller; remembered when sent, to be sent again by a later mode change.
    bool SetViewport(float left, float top, float right, float bottom);
    // Legacy controller; remembered likewise.
    bool SetViewportLegacy(USHORT left, USHORT top, USHORT right, USHORT bottom);
    // contract::kTouchInFrameEnabled, kTouchInFrameDisabled, or 3 (sent like 2). True only when
    // the mode was applied through HID.
    bool SetBezelTouchMode(DWORD mode);

    // The controller's comings and goings, on the monitor window's thread.
    void VisitHandles(const std::function<void(HANDLE)>& visit) override;
    void Release(HANDLE handle) override;
    void Removed(const std::wstring& path) override;
    void Reacquire() override;

private:
    // asked: the caller's request, remembered for a controller that comes back; otherwise the
    // last viewport sent again.
    bool SendViewport(const touch_protocol::Viewport& viewport, bool asked);
    bool SendLegacyViewport(const touch_protocol::LegacyViewport& viewport, bool asked);
    // Under the touch lock: finds and opens the configured controller.
    bool OpenController();
    // Under the touch lock: closes the controller; a current one falls back to the named events.
    void CloseController();
    // Closes the controller if it is open and held() says it is the one meant, tracing line with
    // its path.
    void CloseControllerIf(const std::function<bool()>& held, const wchar_t* line);

    bool OpenNamedEvents();
    bool ReadProperties();
    bool GetProperty(BYTE key, DWORD& value);
    bool SetProperty(BYTE key, DWORD value);
    bool SendModeReport(DWORD mode);
    void Signal(const platform::KernelHandle& event);
    void LogCapabilities();
    DWORD GetLastError() const { return _kernel.GetLastError(); }

    platform::Kernel& _kernel;
    platform::RecursiveMutex _touchLock;
    // Set by Initialize: the controller to look for.
    bool _configured = false;
    USHORT _vendorId = 0;
    USHORT _productId = 0;
    bool _isLegacy = false;
    BYTE _reportId = 0;
    BYTE _propsReportId = 0;
    platform::KernelHandle _enableEvent;
    platform::KernelHandle _disableEvent;
    HidClient _hidClient;
    USHORT _protocolVersion = 1;
    touch_protocol::Viewport _lastViewport;
    touch_protocol::LegacyViewport _lastLegacyViewport;
    // What was asked for last, sent or not: given to a controller that comes back.
    std::optional<touch_protocol::Viewport> _requestedViewport;
    std::optional<touch_protocol::LegacyViewport> _requestedLegacyViewport;
    std::optional<DWORD> _requestedMode;
};
