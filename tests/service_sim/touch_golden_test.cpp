// The touch manager against the simulated controllers, checked against the golden files the
// Windows build checks the substitute HID devices with: the simulated platform must deliver
// what Windows' HID stack delivers.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "substitutes/touch_controller_sim.h"
#include "win32_hid/touch_golden.h"

namespace {

using platform::sim::HidReport;
using platform::sim::SimTouchController;
using touch_golden::Controller;

class TouchGolden : public ::testing::TestWithParam<Controller> {};

TEST_P(TouchGolden, SimulatedControllerReceivesTheGoldenReports) {
    const Controller& c = GetParam();
    platform::sim::SimWorld world;
    // The whole controller: its touch screen collection, then the vendor one.
    SimTouchController& device =
        SimTouchController::Plug(
            world.GetHid(), L"touchscreen",
            c.legacy ? SimTouchController::Family::Legacy : SimTouchController::Family::Current,
            c.protocolVersion,
            c.legacy ? SimTouchController::LegacyDescription(L"vendor")
                     : SimTouchController::CurrentDescription(c.protocolVersion, L"vendor"))
            .controller;
    touch_golden::Drive(world.GetHid(), world.GetKernel(), c);
    std::vector<std::string> lines;
    for (const HidReport& report : device.Reports()) {
        static const char* const kKinds[] = {"Output", "SetFeature", "GetFeature"};
        std::string line = std::string(c.device) + " " + kKinds[static_cast<int>(report.kind)];
        const bool read = report.kind == HidReport::Kind::GetFeature;
        for (std::size_t i = 0; i < (read ? 1 : report.bytes.size()); ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, " %02x", report.bytes[i]);
            line += hex;
        }
        // Every report was taken, as the calls' results say.
        lines.push_back(line + " length " + std::to_string(report.bytes.size()) + " (accepted)");
    }
    const auto expected =
        touch_golden::ReadLines(std::string(KELVO_HID_GOLDEN_DIR) + "/" + c.device + ".txt");
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(Controllers, TouchGolden, ::testing::ValuesIn(touch_golden::kControllers),
                         touch_golden::Name);

}  // namespace
