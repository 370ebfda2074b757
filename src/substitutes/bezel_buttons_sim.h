// A substitute bezel-button device on the simulated HID bus: one vendor-defined collection of the
// frame's buttons, whose input reports carry the usage id of the control that changed and its
// state. A test presses and releases controls; the system's blocked read then returns the report.
#pragma once

#include <string>

#include "contract.h"
#include "platform/sim/hid_sim.h"

namespace platform::sim {

class SimBezelButtons : public SimHidDevice {
public:
    static HidDeviceDescription ButtonsDescription(std::wstring path,
                                                   USHORT inputReportByteLength = 2);

    SimBezelButtons(Scheduler& scheduler, HidDeviceDescription description);

    // Queue the report of a control changing: its usage id, then 1 (pressed) or 0 (released),
    // zero-padded to the input report length.
    void Press(BYTE usageId);
    void Release(BYTE usageId);
};

}  // namespace platform::sim
