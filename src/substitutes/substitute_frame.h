// The frame feature of a substitute graphics driver: what it does with each record it is handed.
//
// It honours the driver's contract and nothing more: a record of the wrong size, header or
// constant, an unknown data identifier or a percentage outside 1 to 100 is refused with
// E_INVALIDARG; a query answers whether the feature is on; a request, when the feature is on,
// becomes the viewport shown. The simulated driver and the development DLL both use it, so the
// two answer alike.
#pragma once

#include "devices/gfx_driver.h"
#include "platform/win32types.h"

namespace platform::sim {

// The substitute's own error codes, returned through errorCode (and, for FrameInfo, also in the
// record's frame error code).
enum SubstituteFrameError : DWORD {
    kSubstituteFrameOk = 0,
    kSubstituteFrameBadSize = 0x101,
    kSubstituteFrameBadRecord = 0x102,
    kSubstituteFrameUnknownData = 0x103,
    kSubstituteFrameBadViewport = 0x104,
    kSubstituteFrameFeatureOff = 0x105,
};

class SubstituteFrame {
public:
    struct Viewport {
        bool enabled = false;
        DWORD dwPercentageX = 100;
        DWORD dwPercentageY = 100;
        DWORD dwYPositionPx = 0;

        bool operator==(const Viewport&) const = default;
    };

    // The driver's setting that switches the frame feature on ("Display_EnableAMB").
    bool featureOn = true;
    // What the desktop shows: the last request applied; full size until then.
    Viewport viewport;

    HRESULT GetInfo(DWORD size, FrameInfo* info, DWORD* errorCode);
    HRESULT SetInfo(DWORD size, FrameInfo* info, DWORD* errorCode);
    HRESULT GetDeviceData(REFGUID dataId, DWORD size, void* data, DWORD* errorCode);
    HRESULT SetDeviceData(REFGUID dataId, DWORD size, void* data, DWORD* errorCode);

private:
    HRESULT Apply(bool enable, DWORD x, DWORD y, DWORD p, DWORD* code);
};

}  // namespace platform::sim
