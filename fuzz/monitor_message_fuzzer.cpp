// Messages reaching the monitor window with any parameters: power broadcasts, setting and device
// changes, the private event message and messages the window does not handle, their records
// placed readable, unreadable, cut short, or not placed at all. Every event raised is a known
// type, and the private message hands on exactly its type and parameter.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_world.h"

namespace {

// The window's own shutdown, creation and timer messages are the loop's business, not input.
bool IsOwnMessage(UINT message) {
    return message == WM_CREATE || message == WM_DESTROY || message == WM_CLOSE ||
           message == WM_QUIT || message == WM_TIMER;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    fuzz::MonitorWorld& rig = fuzz::MonitorWorld::Shared();
    platform::sim::SimWindowing& windowing = rig.world.GetWindowing();
    for (int n = 0; n < 8 && input.remaining_bytes() > 0; ++n) {
        static constexpr UINT kMessages[] = {WM_POWERBROADCAST, WM_SETTINGCHANGE, WM_DEVICECHANGE,
                                             WM_MONITOR_EVENT};
        UINT message = 0;
        const int kind = input.ConsumeIntegralInRange<int>(0, 4);
        if (kind < 4) {
            message = kMessages[kind];
        } else {
            message = input.ConsumeIntegral<UINT>();
            if (IsOwnMessage(message)) continue;
        }
        WPARAM wParam = 0;
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:  // one of the values the window tells apart
                wParam = input.PickValueInArray<WPARAM>(
                    {PBT_APMSUSPEND, PBT_APMSTANDBY, PBT_APMRESUMECRITICAL, PBT_APMRESUMESUSPEND,
                     PBT_APMRESUMESTANDBY, PBT_APMBATTERYLOW, PBT_APMPOWERSTATUSCHANGE,
                     PBT_APMOEMEVENT, PBT_APMRESUMEAUTOMATIC, PBT_POWERSETTINGCHANGE,
                     DBT_DEVICEARRIVAL, DBT_DEVICETYPESPECIFIC, 0x8007});
                break;
            case 1:
                wParam = input.ConsumeIntegralInRange<WPARAM>(0, 0x8010);
                break;
            default:
                wParam = input.ConsumeIntegral<WPARAM>();
                break;
        }
        LPARAM lParam = 0;
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                lParam = input.ConsumeIntegral<LPARAM>();  // an address nobody placed
                break;
            default: {
                const bool readable = input.ConsumeBool();
                std::vector<std::uint8_t> record =
                    input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<int>(0, 96));
                lParam = windowing.PlaceRecord(record.data(), record.size(), readable);
                break;
            }
        }
        rig.delivered.clear();
        rig.Send(message, wParam, lParam);
        for (const fuzz::Delivered& d : rig.delivered) {
            fuzz::Check(d.type <= EvtGfxModeChanged, "only known event types are raised");
            fuzz::Check(d.data.empty() || d.data.size() == 8, "data is none or one parameter");
        }
        if (message == WM_MONITOR_EVENT) {
            fuzz::Check(rig.delivered.size() == 1, "the private message raises one event");
            const auto expected =
                wParam <= EvtGfxModeChanged ? static_cast<SystemEventType>(wParam) : EvtRawData;
            fuzz::Check(rig.delivered[0].type == expected, "the private message keeps its type");
            std::vector<unsigned char> bytes(8);
            std::memcpy(bytes.data(), &lParam, 8);
            fuzz::Check(rig.delivered[0].data == bytes, "the private message hands on lParam");
        } else if (message != WM_POWERBROADCAST && message != WM_SETTINGCHANGE &&
                   message != WM_DEVICECHANGE) {
            fuzz::Check(rig.delivered.empty(), "other messages raise nothing");
        } else {
            fuzz::Check(rig.delivered.size() <= 1, "a notification raises at most one event");
        }
        rig.world.GetTracing().Clear();
    }
    return 0;
}
