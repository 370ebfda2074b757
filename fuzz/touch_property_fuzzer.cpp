// A touch controller answering its property reads with any 12 bytes: an answer is taken exactly
// when it carries the props report id and the security number, and then gives bytes 4 to 7;
// initialisation and every later exchange must take what they get.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "devices/touch_manager.h"
#include "devices/touch_protocol.h"
#include "fuzz_world.h"
#include "substitutes/touch_controller_sim.h"

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
        const auto parsed = touch_protocol::ParsePropertyResponse(response, props);
        const bool framed = response[0] == props && response[1] == 0xFF && response[2] == 0xFF;
        fuzz::Check(framed == (parsed.fault == touch_protocol::PropertyResponse::Fault::None),
                    "an answer is taken exactly when it is framed");
        DWORD value = 0;
        std::memcpy(&value, response.data() + 4, sizeof value);
        fuzz::Check(parsed.value == value, "the value is bytes 4 to 7");
    }

    platform::sim::SimWorld world;
    auto& controller = world.GetHid().AddDevice<SimTouchController>(
        legacy ? SimTouchController::Family::Legacy : SimTouchController::Family::Current, version,
        legacy ? SimTouchController::LegacyDescription(L"touch")
               : SimTouchController::CurrentDescription(version, L"touch"));
    for (BYTE key = 1; key <= 3; ++key) controller.SetPropertyResponse(key, responses[key]);
    HidDeviceList devices(world.GetHid(), world.GetKernel());
    TouchManager touch(world.GetHid(), world.GetKernel(), devices);
    touch.Initialize(legacy, legacy ? 0x03EB : 0x04F3, legacy ? 0x212A : 0x200A,
                     SimTouchController::kDefaultReportId, props, 0);
    fuzz::Check(touch.IsInitialized(), "the controller is open");
    touch.SetViewport(input.ConsumeFloatingPoint<float>(), input.ConsumeFloatingPoint<float>(),
                      input.ConsumeFloatingPoint<float>(), input.ConsumeFloatingPoint<float>());
    touch.SetViewportLegacy(input.ConsumeIntegral<USHORT>(), input.ConsumeIntegral<USHORT>(),
                            input.ConsumeIntegral<USHORT>(), input.ConsumeIntegral<USHORT>());
    touch.SetBezelTouchMode(input.ConsumeIntegralInRange<DWORD>(0, 4));
    return 0;
}
