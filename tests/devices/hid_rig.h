// A simulated world with a HID bus: devices to plug in, faults to plan, and the traces written
// since the last look.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/sim/hid_sim.h"
#include "platform/sim/sim_world.h"

namespace hid_test {

using Bytes = std::vector<BYTE>;
using platform::sim::HidDeviceDescription;
using platform::sim::HidReport;

inline HidDeviceDescription Device(std::wstring path, USHORT vendorId, USHORT productId,
                                   USHORT usagePage, USHORT usage, USHORT inputLength = 0,
                                   USHORT outputLength = 0, USHORT featureLength = 0) {
    HidDeviceDescription description;
    description.path = std::move(path);
    description.vendorId = vendorId;
    description.productId = productId;
    description.versionNumber = 0x0100;
    description.usagePage = usagePage;
    description.usage = usage;
    description.inputReportByteLength = inputLength;
    description.outputReportByteLength = outputLength;
    description.featureReportByteLength = featureLength;
    return description;
}

inline HIDP_VALUE_CAPS ValueCaps(USAGE usagePage, UCHAR reportId) {
    HIDP_VALUE_CAPS caps{};
    caps.UsagePage = usagePage;
    caps.ReportID = reportId;
    return caps;
}

inline void PrintTo(const HidReport& report, std::ostream* out) {
    static const char* const kKinds[] = {"Output", "SetFeature", "GetFeature"};
    *out << kKinds[static_cast<int>(report.kind)] << "{";
    for (BYTE b : report.bytes) *out << " " << std::hex << static_cast<unsigned>(b) << std::dec;
    *out << " }";
}

class HidRig {
public:
    platform::sim::SimHid& Hid() { return world.GetHid(); }
    platform::sim::SimKernel& Kernel() { return world.GetKernel(); }

    platform::sim::SimHidDevice& Plug(HidDeviceDescription description) {
        return Hid().AddDevice<platform::sim::SimHidDevice>(std::move(description));
    }

    void Fail(const std::string& operation, DWORD error, unsigned nth = 1) {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, error, nth);
    }

    // The traces since the last call, as "level text", with the source line of status and
    // assertion lines left out so that the tests do not pin line numbers.
    std::vector<std::wstring> TakeTraces() {
        std::vector<std::wstring> traces;
        for (const auto& event : world.GetTracing().Events()) {
            std::wstring text = event.text;
            // "@ LINE 0083 [file]": the four digits after the marker.
            for (auto at = text.find(L"@ LINE "); at != std::wstring::npos;
                 at = text.find(L"@ LINE ", at + 1)) {
                if (text.size() >= at + 12) text.replace(at + 7, 4, L"####");
            }
            traces.push_back(std::to_wstring(event.level) + L" " + text);
        }
        world.GetTracing().Clear();
        return traces;
    }

    platform::sim::SimWorld world;
};

}  // namespace hid_test
