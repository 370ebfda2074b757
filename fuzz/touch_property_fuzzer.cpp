// A touch controller answering its property reads with any 12 bytes: initialisation and every
// later exchange must take what they get. A read succeeds exactly when the answer carries the
// props report id and the security number, and then gives bytes 4 to 7.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "devices/touch_manager.h"
#include "fuzz_world.h"
#include "platform/sim/touch_controller_sim.h"

using platform::sim::SimTouchController;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool legacy = input.ConsumeBool();
    const USHORT version = input.ConsumeIntegralInRange<USHORT>(1, 2);
    const BYTE props = SimTouchController::kDefaultPropsReportId;
    SimTouchController::PropertyResponse responses[4];
    for (auto& response : responses) {
        for (BYTE& b : response) b = input.ConsumeIntegral<BYTE>();
        // Mostly well-formed, so that the answers get past the framing to their values.
        if (input.ConsumeBool()) response[0] = props, response[1] = response[2] = 0xFF;
    }

    platform::sim::SimWorld world;
    auto& controller = world.GetHid().AddDevice<SimTouchController>(
        legacy ? SimTouchController::Family::Legacy : SimTouchController::Family::Current, version,
        legacy ? SimTouchController::LegacyDescription(L"touch")
               : SimTouchController::CurrentDescription(version, L"touch"));
    for (BYTE key = 1; key <= 3; ++key) controller.SetPropertyResponse(key, responses[key]);
    const BYTE other = input.ConsumeIntegral<BYTE>();
    if (other < 1 || other > 3) controller.SetPropertyResponse(other, responses[0]);

    HidDeviceList devices(world.GetHid(), world.GetKernel());
    TouchManager touch(world.GetHid(), world.GetKernel(), devices);
    if (legacy) {
        touch.Initialize(true, 0x03EB, 0x212A, SimTouchController::kDefaultReportId, props, 0);
    } else {
        touch.Initialize(false, 0x04F3, 0x200A, SimTouchController::kDefaultReportId, props, 0);
    }
    fuzz::Check(touch.IsInitialized(), "the controller is open");

    for (BYTE key : {BYTE{1}, BYTE{2}, BYTE{3}, other}) {
        const auto& response = key >= 1 && key <= 3 ? responses[key] : responses[0];
        DWORD value = 0;
        const bool read = touch.GetProperty(key, value);
        fuzz::Check(read == (response[0] == props && response[1] == 0xFF && response[2] == 0xFF),
                    "a read succeeds exactly for a framed answer");
        DWORD expected = 0;
        std::memcpy(&expected, response.data() + 4, sizeof expected);
        fuzz::Check(!read || value == expected, "the value is bytes 4 to 7");
    }
    touch.SetViewport(input.ConsumeFloatingPoint<float>(), input.ConsumeFloatingPoint<float>(),
                      input.ConsumeFloatingPoint<float>(), input.ConsumeFloatingPoint<float>());
    touch.SetViewportLegacy(input.ConsumeIntegral<USHORT>(), input.ConsumeIntegral<USHORT>(),
                            input.ConsumeIntegral<USHORT>(), input.ConsumeIntegral<USHORT>());
    touch.SetBezelTouchMode(input.ConsumeIntegralInRange<DWORD>(0, 4));
    return 0;
}
