// Power-setting and device-change records of any bytes, placed readable or not, sent to a running
// monitor's window: its guarded readers must take whatever the records hold, and the window must
// raise what the translation makes of a readable record.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "events/event_translation.h"
#include "fuzz_world.h"

using namespace event_translation;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool setting = input.ConsumeBool();
    const WPARAM wParam = input.ConsumeBool() ? input.ConsumeIntegralInRange<WPARAM>(0x8000, 0x8007)
                                              : input.ConsumeIntegral<WPARAM>();
    const bool readable = input.ConsumeBool();
    const std::vector<unsigned char> record = input.ConsumeRemainingBytes<unsigned char>();
    fuzz::MonitorWorld& rig = fuzz::MonitorWorld::Shared();
    const LPARAM placed = rig.world.GetWindowing().PlaceRecord(record.data(), record.size(), readable);
    if (setting) {
        rig.Send(WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE, placed);
        const auto raised = FromPowerSetting(record);
        fuzz::Check(rig.delivered.size() <= 1 && (rig.delivered.empty() || rig.delivered[0].data.empty()),
                    "a setting change raises at most one event, without data");
        if (readable && !record.empty()) {
            fuzz::Check(rig.delivered.size() == raised.has_value() && (!raised || rig.delivered[0].type == raised->type),
                        "the window raises what the translation makes of the record");
        }
        return 0;
    }
    rig.Send(WM_DEVICECHANGE, wParam, placed);
    fuzz::Check(rig.delivered.size() <= 1, "a device change raises at most one event");
    fuzz::Check(rig.delivered.empty() || (CarriesDeviceRecord(wParam) && rig.delivered[0].type == EvtGfxModeChanged),
                "only a device-interface record of the mode-set class raises");
    return 0;
}
