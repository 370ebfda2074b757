#include "substitutes/bezel_buttons_sim.h"

#include <vector>

namespace platform::sim {

namespace {

// The buttons as they describe themselves on the bus: one input report a control, its report id
// the control's usage id (lock, release tablet, toggle).
constexpr struct {
    USHORT vendorId, productId, versionNumber;
    UCHAR reportIds[3];
} kButtons = {0x1B96, 0x0B0A, 0x0100, {0x18, 0x19, 0x1A}};

std::vector<BYTE> ControlReport(USHORT length, BYTE usageId, BYTE state) {
    // A device too short for the two bytes is refused by QueueInputReport.
    std::vector<BYTE> report(length < 2 ? 2 : length, 0);
    report[0] = usageId;
    report[1] = state;
    return report;
}

}  // namespace

HidDeviceDescription SimBezelButtons::ButtonsDescription(std::wstring path,
                                                         USHORT inputReportByteLength) {
    HidDeviceDescription description;
    description.path = std::move(path);
    description.vendorId = kButtons.vendorId;
    description.productId = kButtons.productId;
    description.versionNumber = kButtons.versionNumber;
    description.usagePage = contract::kBezelButtonUsagePage;
    description.usage = contract::kBezelButtonUsage;
    description.inputReportByteLength = inputReportByteLength;
    for (const UCHAR reportId : kButtons.reportIds) {
        HIDP_VALUE_CAPS& caps = description.inputValueCaps.emplace_back();
        caps.UsagePage = contract::kBezelButtonUsagePage;
        caps.ReportID = reportId;
    }
    return description;
}

SimBezelButtons::SimBezelButtons(Scheduler& scheduler, HidDeviceDescription description)
    : SimHidDevice(scheduler, std::move(description)) {}

void SimBezelButtons::Press(BYTE usageId) {
    QueueInputReport(ControlReport(Description().inputReportByteLength, usageId, 1));
}

void SimBezelButtons::Release(BYTE usageId) {
    QueueInputReport(ControlReport(Description().inputReportByteLength, usageId, 0));
}

}  // namespace platform::sim
