// Bezel-button input reports as a device may send them: the first byte is the device's input
// report length, the rest is cut into reports of that length. Each report must reach the
// callback raw, whole and in order, and exactly the presses of the three known controls must be
// posted as their events.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_world.h"
#include "platform/sim/bezel_buttons_sim.h"

namespace {

SystemEventType Decoded(const std::vector<unsigned char>& report) {
    if (report.size() < 2 || report[1] == 0) return EvtRawData;
    switch (report[0]) {
        case 0x18:
            return EvtLocked;
        case 0x19:
            return EvtUnlocked;
        case 0x1A:
            return EvtBezelToggled;
        default:
            return EvtRawData;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto length = static_cast<USHORT>(input.ConsumeIntegralInRange<int>(1, 64));
    std::vector<std::vector<unsigned char>> reports;
    while (input.remaining_bytes() > 0 && reports.size() < 16) {
        std::vector<unsigned char> report = input.ConsumeBytes<unsigned char>(length);
        report.resize(length);
        reports.push_back(std::move(report));
    }

    fuzz::MonitorWorld rig;
    auto& buttons = rig.world.GetHid().AddDevice<platform::sim::SimBezelButtons>(
        platform::sim::SimBezelButtons::ButtonsDescription(L"buttons", length));
    rig.Start();
    for (const auto& report : reports) {
        buttons.QueueInputReport(report);
        rig.world.RunUntilIdle();
    }

    std::vector<std::vector<unsigned char>> raw;
    std::vector<SystemEventType> posted;
    for (const fuzz::Delivered& d : rig.delivered) {
        if (d.type == EvtRawData) {
            raw.push_back(d.data);
        } else {
            fuzz::Check(d.data == std::vector<unsigned char>(8, 0), "posted events carry 0");
            posted.push_back(d.type);
        }
    }
    fuzz::Check(raw == reports, "every report reaches the callback raw, whole and in order");
    std::vector<SystemEventType> expected;
    for (const auto& report : reports) {
        if (Decoded(report) != EvtRawData) expected.push_back(Decoded(report));
    }
    fuzz::Check(posted == expected, "exactly the presses of known controls are posted");
    rig.world.GetTracing().Clear();
    return 0;
}
