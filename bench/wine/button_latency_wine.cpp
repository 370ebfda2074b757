// kelvo-bench-wine: Kelvo.exe run as a service with the substitute HID devices (under Wine), and
// the time from a bezel-button report injected on the first button device to the first report
// the touch controller receives, over many frame-toggle presses. Compare with kelvo-bench's
// "button → first touch report" row, the same path on the simulated platform.
//
//   kelvo-bench-wine [PRESSES]    (default 300; the substitute devices must be installed)
//
// The figure includes the control device's polling (about 1 ms a round trip under Wine).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "events/system_event_monitor.h"
#include "kelvo_exe.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"
#include "substitute_hid_control.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const wchar_t* kDisplayKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display";
// Only a hang takes this long.
constexpr DWORD kPatienceMilliseconds = 30000;
constexpr auto kPatience = std::chrono::milliseconds(kPatienceMilliseconds);

using kelvo_exe::kServiceName;
using kelvo_exe::ScHandle;

bool RunKelvo(const wchar_t* argument) { return kelvo_exe::Run(argument) == DWORD{0}; }

// One driver request per frame change, as kelvo-bench's service has it.
struct OneStepAnimation {
    const kelvo_exe::ScopedValue steps{kDisplayKey, L"SOFTWARE\\Corvane", L"AnimationSteps", 1};
    const kelvo_exe::ScopedValue interval{kDisplayKey, L"SOFTWARE\\Corvane",
                                          L"AnimationIntervalMilliseconds", 0};
};

// Takes the controller's reports until it has count of them; when the first came, or nothing
// when they did not come.
std::optional<Clock::time_point> TakeTouch(substitute_hid::Control& control, std::size_t count) {
    std::optional<Clock::time_point> first;
    std::size_t taken = 0;
    const auto deadline = Clock::now() + kPatience;
    while (taken < count && Clock::now() < deadline) {
        const auto received = control.Take();
        if (!received) return std::nullopt;
        for (const auto& report : *received) {
            if (report.device != "touch-v2") continue;
            if (!first) first = Clock::now();
            ++taken;
        }
    }
    return taken >= count ? first : std::nullopt;
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

int Run(int presses) {
    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    if (!control) {
        std::fprintf(stderr, "kelvo-bench-wine: no substitute devices (run the installer)\n");
        return 1;
    }
    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const OneStepAnimation animation;
    RunKelvo(L"-UnregServer");
    if (!RunKelvo(L"-Service")) return 1;
    ScHandle service(::OpenServiceW(manager.get(), kServiceName, SERVICE_START | SERVICE_STOP));
    control->Clear();
    // Undocked slate: the frame is shown at start, 10 reports to the controller.
    if (!service.get() || !::StartServiceW(service.get(), 0, nullptr) || !TakeTouch(*control, 10) ||
        !kelvo_exe::WaitForServiceWindow(kPatienceMilliseconds)) {
        std::fprintf(stderr, "kelvo-bench-wine: the service did not start\n");
        RunKelvo(L"-UnregServer");
        return 1;
    }
    const BYTE toggle[] = {0x1A, 0x01, 0x00, 0x00};
    std::vector<double> micros;
    for (int i = 0; i < presses; ++i) {
        const Clock::time_point injected = Clock::now();
        // Hiding sends the mode; showing the mode twice and the viewport.
        const auto first = control->Inject("button-0", toggle)
                               ? TakeTouch(*control, i % 2 == 0 ? 1 : 3)
                               : std::nullopt;
        if (!first) {
            std::fprintf(stderr, "kelvo-bench-wine: press %d did not reach the controller\n", i);
            break;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(*first - injected).count());
    }
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    RunKelvo(L"-UnregServer");
    if (micros.empty()) return 1;
    std::printf("%-44s %10s %10s\n", "Kelvo.exe under Wine (us)", "p50", "p99");
    std::printf("%-44s %10.0f %10.0f   (%zu presses; compare kelvo-bench's\n",
                "button -> first touch report", Percentile(micros, 0.50), Percentile(micros, 0.99),
                micros.size());
    std::printf("%-44s %s\n", "", "\"button -> first touch report\", the simulated platform)");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int presses = argc > 1 ? std::atoi(argv[1]) : 300;
    if (presses <= 0) {
        std::fprintf(stderr, "usage: kelvo-bench-wine [PRESSES]\n");
        return 2;
    }
    return Run(presses);
}
