// The touch manager against each substitute touch controller, byte for byte: what the controller
// receives from Initialize, a viewport, and the bezel touch modes 2 then 1 is what
// golden/<device>.txt holds, one report a line (substitute_hid::ToString). A run that differs
// writes what the device received beside the golden file in the build tree, as
// golden/<device>.actual.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "devices/hid_client.h"
#include "devices/touch_manager.h"
#include "platform/win32/hid_win32.h"
#include "platform/win32/kernel_win32.h"
#include "substitute_hid_control.h"

namespace {

using platform::win32::Win32Hid;
using platform::win32::Win32Kernel;
using substitute_hid::Kind;

std::vector<std::string> ReadLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

void WriteLines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);  // lines end as the golden ones
    for (const std::string& line : lines) file << line << '\n';
}

// Devices added and removed for a test, and the default set restored when it ends.
class Presence {
public:
    Presence(std::vector<Kind> add, std::vector<Kind> remove)
        : _add(std::move(add)), _remove(std::move(remove)) {
        _ready = substitute_hid::Remove(_remove) &&
                 substitute_hid::Add(_add, substitute_hid::ExecutableDirectory());
    }
    ~Presence() {
        EXPECT_TRUE(substitute_hid::Remove(_add) &&
                    substitute_hid::Add(_remove, substitute_hid::ExecutableDirectory()));
    }
    Presence(const Presence&) = delete;
    Presence& operator=(const Presence&) = delete;

    bool Ready() const { return _ready; }

private:
    std::vector<Kind> _add, _remove;
    bool _ready = false;
};

struct Controller {
    const char* device;  // and the golden file's name
    std::vector<Kind> add, remove;
    bool legacy;
    USHORT vendorId, productId;
};

void PrintTo(const Controller& controller, std::ostream* out) { *out << controller.device; }

class Win32TouchManagerGolden : public ::testing::TestWithParam<Controller> {};

TEST_P(Win32TouchManagerGolden, SendsTheControllerTheGoldenReports) {
    const Controller& controller = GetParam();
    const Presence presence(controller.add, controller.remove);
    ASSERT_TRUE(presence.Ready());
    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    ASSERT_TRUE(control);
    ASSERT_TRUE(control->Clear());
    {
        Win32Hid hid;
        Win32Kernel kernel;
        const HidDeviceList devices(hid, kernel);
        TouchManager touch(hid, kernel, devices);
        ASSERT_TRUE(touch.Initialize(controller.legacy, controller.vendorId, controller.productId,
                                     6, 5, 0));
        if (controller.legacy) {
            EXPECT_TRUE(touch.SetViewportLegacy(10, 20, 110, 220));
        } else {
            EXPECT_TRUE(touch.SetViewport(10.5f, 20, 110, 220.25f));
        }
        EXPECT_TRUE(touch.SetBezelTouchMode(TouchManager::kTouchInFrameDisabled));
        EXPECT_TRUE(touch.SetBezelTouchMode(TouchManager::kTouchInFrameEnabled));
    }
    const auto received = control->Take();
    ASSERT_TRUE(received);
    std::vector<std::string> lines;
    for (const substitute_hid::ReceivedReport& report : *received) {
        lines.push_back(substitute_hid::ToString(report));
    }
    const std::filesystem::path golden =
        std::filesystem::path(substitute_hid::ExecutableDirectory()) / "golden" /
        (std::string(controller.device) + ".txt");
    const std::vector<std::string> expected = ReadLines(golden);
    EXPECT_FALSE(expected.empty()) << golden;
    EXPECT_EQ(lines, expected);
    if (lines != expected) {
        WriteLines(std::filesystem::path(golden).replace_extension(".actual.txt"), lines);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, Win32TouchManagerGolden,
    ::testing::Values(Controller{"touch-v2", {}, {}, false, 0x04F3, 0x200A},
                      // The current controller's search takes a protocol 2 controller first.
                      Controller{
                          "touch-v1", {Kind::TouchV1}, {Kind::TouchV2}, false, 0x04F3, 0x200A},
                      Controller{"touch-legacy", {}, {}, true, 0x03EB, 0x212A}),
    [](const auto& info) {
        std::string name = info.param.device;
        std::erase(name, '-');
        return name;
    });

}  // namespace
