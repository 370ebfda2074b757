// The simulated world every host test runs in, and the views of it the tests compare: the trace
// lines, with the source line numbers of status and assertion lines masked, and faults to plan.
#pragma once
#include <memory>
#include <string>
#include <vector>
#include "platform/sim/sim_world.h"
#include "substitutes/gfx_driver_sim.h"

namespace rig {

// The text with the four digits after each "@ LINE " written as "####": source lines move.
inline std::wstring WithoutLineNumbers(std::wstring text) {
    for (auto at = text.find(L"@ LINE "); at != std::wstring::npos; at = text.find(L"@ LINE ", at + 1)) {
        if (text.size() >= at + 11) text.replace(at + 7, 4, L"####");
    }
    return text;
}

struct SimRig {
    // The graphics driver as a tablet has it installed: both classes registered, feature on.
    explicit SimRig(platform::sim::ClockMode mode = platform::sim::ClockMode::Manual,
                    bool frameClass = true, bool deviceDataClass = true)
        : world(mode),
          gfx(platform::sim::SimGfxDriver::Install(world.GetScheduler(), world.GetCom(),
                                                   frameClass, deviceDataClass)) {}

    platform::sim::SimWorld world;
    std::shared_ptr<platform::sim::SimGfxDriver> gfx;

    // The next nth call of the operation fails with this error.
    void Fail(const std::string& operation, DWORD error, unsigned nth = 1) {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, error, nth);
    }

    // The texts traced at one level, in order.
    std::vector<std::wstring> Lines(UCHAR level) {
        std::vector<std::wstring> lines;
        for (const auto& event : world.GetTracing().Events()) {
            if (event.level == level) lines.push_back(WithoutLineNumbers(event.text));
        }
        return lines;
    }

    // Every trace line since the last call as "L<level> <text>", in order; then forgets them.
    std::vector<std::wstring> TakeTraces() {
        std::vector<std::wstring> lines;
        for (const auto& event : world.GetTracing().Events()) {
            lines.push_back(L"L" + std::to_wstring(event.level) + L" " + WithoutLineNumbers(event.text));
        }
        world.GetTracing().Clear();
        return lines;
    }
};

}  // namespace rig
