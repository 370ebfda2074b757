// What the touch manager sends each touch controller, byte for byte, on Windows' HID stack and
// on the simulated one alike: golden/<device>.txt holds one report a line, as the substitute
// device records it ("touch-v2 SetFeature 05 ff ff 01 ... length 12 (accepted)"; a GetFeature
// shows the report id and the length asked for).
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "contract.h"
#include "devices/hid_client.h"
#include "devices/touch_manager.h"

namespace touch_golden {

struct Controller {
    const char* device;  // and the golden file's name
    bool legacy;
    USHORT vendorId, productId, protocolVersion;
};
inline void PrintTo(const Controller& controller, std::ostream* out) { *out << controller.device; }

inline const Controller kControllers[] = {{"touch-v2", false, 0x04F3, 0x200A, 2},
                                          {"touch-v1", false, 0x04F3, 0x200A, 1},
                                          {"touch-legacy", true, 0x03EB, 0x212A, 1}};

inline std::string Name(const ::testing::TestParamInfo<Controller>& info) {
    std::string name = info.param.device;
    std::erase(name, '-');
    return name;
}

// Initialisation, a viewport, then the frame shown and hidden.
inline void Drive(platform::Hid& hid, platform::Kernel& kernel, const Controller& controller) {
    const HidDeviceList devices(hid, kernel);
    TouchManager touch(hid, kernel, devices);
    ASSERT_TRUE(
        touch.Initialize(controller.legacy, controller.vendorId, controller.productId, 6, 5, 0));
    EXPECT_TRUE(controller.legacy ? touch.SetViewportLegacy(10, 20, 110, 220)
                                  : touch.SetViewport(10.5f, 20, 110, 220.25f));
    EXPECT_TRUE(touch.SetBezelTouchMode(contract::kTouchInFrameDisabled));
    EXPECT_TRUE(touch.SetBezelTouchMode(contract::kTouchInFrameEnabled));
}

inline std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

}  // namespace touch_golden
