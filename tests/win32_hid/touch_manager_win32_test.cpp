// The touch manager against each substitute touch controller: what the controller receives is
// what golden/<device>.txt holds. A run that differs writes what the device received beside the
// golden file in the build tree, as golden/<device>.actual.txt.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/hid_win32.h"
#include "platform/win32/kernel_win32.h"
#include "substitute_hid_control.h"
#include "touch_golden.h"

namespace {

using substitute_hid::Kind;
using touch_golden::Controller;

class Win32TouchManagerGolden : public ::testing::TestWithParam<Controller> {};

TEST_P(Win32TouchManagerGolden, SendsTheControllerTheGoldenReports) {
    const Controller& controller = GetParam();
    // The current controller's search takes a protocol 2 controller first: touch-v1 stands in
    // for touch-v2 while it runs, and the default set is restored for the other tests.
    const bool v1 = controller.protocolVersion == 1 && !controller.legacy;
    const std::vector<Kind> add = v1 ? std::vector{Kind::TouchV1} : std::vector<Kind>{};
    const std::vector<Kind> remove = v1 ? std::vector{Kind::TouchV2} : std::vector<Kind>{};
    const std::wstring package = substitute_hid::ExecutableDirectory();
    const bool ready = substitute_hid::Remove(remove) && substitute_hid::Add(add, package);
    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    std::optional<std::vector<substitute_hid::ReceivedReport>> received;
    if (ready && control && control->Clear()) {
        platform::win32::Win32Hid hid;
        platform::win32::Win32Kernel kernel;
        touch_golden::Drive(hid, kernel, controller);
        received = control->Take();
    }
    EXPECT_TRUE(substitute_hid::Remove(add) && substitute_hid::Add(remove, package));
    ASSERT_TRUE(received);
    std::vector<std::string> lines;
    for (const auto& report : *received) lines.push_back(substitute_hid::ToString(report));
    const std::filesystem::path golden =
        std::filesystem::path(package) / "golden" / (std::string(controller.device) + ".txt");
    const std::vector<std::string> expected = touch_golden::ReadLines(golden.string());
    EXPECT_FALSE(expected.empty()) << golden;
    EXPECT_EQ(lines, expected);
    if (lines != expected) {
        std::ofstream actual(std::filesystem::path(golden).replace_extension(".actual.txt"),
                             std::ios::binary | std::ios::trunc);  // lines end as the golden ones
        for (const std::string& line : lines) actual << line << '\n';
    }
}

INSTANTIATE_TEST_SUITE_P(Controllers, Win32TouchManagerGolden,
                         ::testing::ValuesIn(touch_golden::kControllers), touch_golden::Name);

}  // namespace
