#include "platform/sim/bezel_buttons_sim.h"

#include <vector>

namespace platform::sim {

namespace {

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
    description.vendorId = 0x1B96;
    description.productId = 0x0B0A;
    description.versionNumber = 0x0100;
    description.usagePage = kUsagePage;
    description.usage = kUsage;
    description.inputReportByteLength = inputReportByteLength;
    HIDP_VALUE_CAPS caps{};
    caps.UsagePage = kUsagePage;
    caps.ReportID = 0x18;
    description.inputValueCaps = {caps};
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
