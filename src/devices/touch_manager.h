// The touch manager: tells the touch controller where the frame is and whether touches in the
// frame band count.
//
// It speaks the controller's report protocol over HID: properties are read and written with
// 12-byte feature reports, the viewport (the touch area inside the frame) goes out as an output
// report, and the bezel touch mode as feature reports. The legacy USB controller takes a compact
// big-endian viewport; the current one a 0xFFFF-tagged report whose format follows its firmware
// protocol version (1: floats, 2: integers). When the current controller is not on the HID bus,
// the mode is signalled through two named events that another component waits on.
//
// One recursive lock, the touch lock, guards the state and each single report exchange, never a
// whole sequence: a mode change on one thread and a viewport update on another may interleave.
#pragma once

#include <array>
#include <utility>

#include "devices/hid_client.h"
#include "platform/hid.h"
#include "platform/kernel.h"
#include "platform/sync.h"
#include "platform/win32types.h"

class TouchManager {
public:
    static constexpr const wchar_t* kEnableEventName =
        L"Global\\E1B3BA36-271D-421D-B020-610D3533D14F";
    static constexpr const wchar_t* kDisableEventName =
        L"Global\\D541C07D-A31D-4F4E-BF71-0BE5AA3EF88C";

    // Property keys.
    static constexpr BYTE kPropertyProtocolVersion = 1;
    static constexpr BYTE kPropertyPanelSize = 2;
    static constexpr BYTE kPropertyPalmReport = 3;

    // Bezel touch modes; 3 is accepted too and sent like 2.
    static constexpr DWORD kTouchInFrameEnabled = 1;
    static constexpr DWORD kTouchInFrameDisabled = 2;

    TouchManager(platform::Hid& hid, platform::Kernel& kernel, const HidDeviceList& devices);
    ~TouchManager();
    TouchManager(const TouchManager&) = delete;
    TouchManager& operator=(const TouchManager&) = delete;

    // The process-wide touch manager, created on the first call.
    static TouchManager* GetInstance();

    // Opens the controller and reads its properties, or falls back to the named events for a
    // current controller that is not there. Once initialised, later calls return true at once.
    bool Initialize(bool isLegacy, USHORT vendorId, USHORT productId, BYTE reportId,
                    BYTE propsReportId, BYTE inputMethod);
    // The controller is open, or (current controller) both named events are.
    bool IsInitialized();
    // Current controller; remembered when sent, to be sent again by a later mode change.
    bool SetViewport(float left, float top, float right, float bottom);
    // Legacy controller; remembered likewise.
    bool SetViewportLegacy(USHORT left, USHORT top, USHORT right, USHORT bottom);
    // True only when the mode was applied through HID.
    bool SetBezelTouchMode(DWORD mode);
    bool GetProperty(BYTE key, DWORD& value);
    bool SetProperty(BYTE key, DWORD value);

private:
    // Owns a named event handle opened through the kernel.
    class EventHandle {
    public:
        explicit EventHandle(platform::Kernel& kernel) : _kernel(kernel) {}
        ~EventHandle() { reset(); }
        EventHandle(const EventHandle&) = delete;
        EventHandle& operator=(const EventHandle&) = delete;

        HANDLE get() const { return _handle; }
        explicit operator bool() const { return _handle != nullptr; }
        void reset(HANDLE handle = nullptr) {
            if (_handle) _kernel.CloseHandle(_handle);
            _handle = handle;
        }

    private:
        platform::Kernel& _kernel;
        HANDLE _handle = nullptr;
    };

    struct Viewport {
        float Left = 0, Top = 0, Right = 0, Bottom = 0;
    };
    struct LegacyViewport {
        USHORT Left = 0, Top = 0, Right = 0, Bottom = 0;
    };

    bool OpenNamedEvents();
    bool ReadProperties();
    bool SendModeReport(DWORD mode);
    void Signal(const EventHandle& event);
    void LogCapabilities();
    DWORD GetLastError() const { return _kernel.GetLastError(); }

    platform::Kernel& _kernel;
    platform::RecursiveMutex _touchLock;
    bool _isLegacy = false;
    BYTE _reportId = 0;
    BYTE _propsReportId = 0;
    BYTE _inputMethod = 0;
    EventHandle _enableEvent;
    EventHandle _disableEvent;
    HidClient _hidClient;
    USHORT _protocolVersion = 1;
    USHORT _panelWidth = 0;
    USHORT _panelHeight = 0;
    bool _palmReportSupport = false;
    Viewport _lastViewport;
    LegacyViewport _lastLegacyViewport;
};
