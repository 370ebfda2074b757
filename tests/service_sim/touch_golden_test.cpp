// The touch manager against the simulated controllers, checked against the golden files the
// Windows build's test checks the substitute HID devices with (tests/win32_hid/golden): the
// simulated platform must send what Windows' HID stack delivers. A GetFeature record there holds
// the report id and the length asked for, so it is compared by those.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "devices/hid_client.h"
#include "devices/touch_manager.h"
#include "hid_rig.h"
#include "platform/sim/touch_controller_sim.h"

namespace {

using platform::sim::HidReport;
using platform::sim::SimTouchController;
using Family = SimTouchController::Family;

struct Controller {
    const char* device;  // and the golden file's name
    Family family;
    USHORT protocolVersion;
    USHORT vendorId, productId;
};

void PrintTo(const Controller& controller, std::ostream* out) { *out << controller.device; }

// As the substitute's record reads, without whether it was taken: "touch-v2 SetFeature 05 ff
// ... length 12".
std::string Line(const std::string& device, const HidReport& report) {
    static const char* const kKinds[] = {"Output", "SetFeature", "GetFeature"};
    std::string line = device + " " + kKinds[static_cast<int>(report.kind)];
    const std::size_t shown = report.kind == HidReport::Kind::GetFeature ? 1 : report.bytes.size();
    for (std::size_t i = 0; i < shown && i < report.bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", report.bytes[i]);
        line += hex;
    }
    return line + " length " + std::to_string(report.bytes.size());
}

class TouchGolden : public testing::TestWithParam<Controller> {};

TEST_P(TouchGolden, SimulatedControllerReceivesTheGoldenReports) {
    const Controller& controller = GetParam();
    hid_test::HidRig rig;
    SimTouchController& device =
        controller.family == Family::Legacy
            ? SimTouchController::Plug(rig.Hid(), L"touchscreen", controller.family, 1,
                                       SimTouchController::LegacyDescription(L"vendor"))
            : SimTouchController::Plug(
                  rig.Hid(), L"touchscreen", controller.family, controller.protocolVersion,
                  SimTouchController::CurrentDescription(controller.protocolVersion, L"vendor"));
    {
        const HidDeviceList devices(rig.Hid(), rig.Kernel());
        TouchManager touch(rig.Hid(), rig.Kernel(), devices);
        const bool legacy = controller.family == Family::Legacy;
        ASSERT_TRUE(touch.Initialize(legacy, controller.vendorId, controller.productId, 6, 5, 0));
        // The same steps as the Windows test's.
        if (legacy) {
            EXPECT_TRUE(touch.SetViewportLegacy(10, 20, 110, 220));
        } else {
            EXPECT_TRUE(touch.SetViewport(10.5f, 20, 110, 220.25f));
        }
        EXPECT_TRUE(touch.SetBezelTouchMode(TouchManager::kTouchInFrameDisabled));
        EXPECT_TRUE(touch.SetBezelTouchMode(TouchManager::kTouchInFrameEnabled));
    }
    std::vector<std::string> lines;
    for (const HidReport& report : device.Reports())
        lines.push_back(Line(controller.device, report));

    std::vector<std::string> expected;
    std::ifstream golden(std::string(KELVO_HID_GOLDEN_DIR) + "/" + controller.device + ".txt");
    for (std::string line; std::getline(golden, line);) {
        // Every golden report was taken, as the calls' results say here.
        const std::string taken = " (accepted)";
        ASSERT_TRUE(line.ends_with(taken)) << line;
        expected.push_back(line.substr(0, line.size() - taken.size()));
    }
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(Controllers, TouchGolden,
                         testing::Values(Controller{"touch-v2", Family::Current, 2, 0x04F3, 0x200A},
                                         Controller{"touch-v1", Family::Current, 1, 0x04F3, 0x200A},
                                         Controller{"touch-legacy", Family::Legacy, 1, 0x03EB,
                                                    0x212A}),
                         [](const auto& info) {
                             std::string name = info.param.device;
                             std::erase(name, '-');
                             return name;
                         });

}  // namespace
