// The configuration over any registry contents: the known values and others, of any type and
// length, read twice as a reload would. Whatever is stored, every setting comes out within its
// bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_world.h"
#include "settings/amb_reg_settings.h"
#include "settings/setting_table.h"

namespace {

constexpr const wchar_t* kKeys[] = {contract::kConfigurationKey, contract::kDisplayKey,
                                    contract::kTouchKey, contract::kHotKeysKey};

// A value the settings read, or one of the names beside them.
const wchar_t* PickName(FuzzedDataProvider& input) {
    const std::size_t pick =
        input.ConsumeIntegralInRange<std::size_t>(0, settings::kSettingCount + 2);
    if (pick < settings::kSettingCount) return settings::kSettings[pick].name;
    return pick == settings::kSettingCount       ? L"MonitorSettings"
           : pick == settings::kSettingCount + 1 ? L"isLEGACY"
                                                 : L"";
}

void CheckBounds(const AmbRegSettings& s) {
    const DWORD width = s.GetDisplayNativeResolutionX(), height = s.GetDisplayNativeResolutionY();
    fuzz::Check(width >= 1 && width <= 7680 && height >= 1 && height <= 4320, "native resolution");
    fuzz::Check(s.GetDisplayAnimationSteps() >= 1 && s.GetDisplayAnimationSteps() <= 50, "steps");
    fuzz::Check(s.GetDisplayAnimationIntervalMilliseconds() <= 100, "interval");
    const bool pixels = s.GetDisplayMode() == VBDisplayModePixels;
    fuzz::Check(pixels || s.GetDisplayMode() == VBDisplayModePercentage, "mode");
    if (pixels) {
        // The defaults 1740 x 980 stand even where the native resolution is smaller.
        fuzz::Check(
            s.GetDisplayViewportX() >= 1 && s.GetDisplayViewportX() <= std::max<DWORD>(width, 1740),
            "viewport x");
        fuzz::Check(
            s.GetDisplayViewportY() >= 1 && s.GetDisplayViewportY() <= std::max<DWORD>(height, 980),
            "viewport y");
    } else {
        fuzz::Check(s.GetDisplayViewportX() >= 1 && s.GetDisplayViewportX() <= 100 &&
                        s.GetDisplayViewportY() >= 1 && s.GetDisplayViewportY() <= 100,
                    "percentage viewport");
        fuzz::Check(s.GetPxPositionY() <= height, "y position within the screen");
    }
    for (float v : {s.GetTouchViewportLeft(), s.GetTouchViewportTop(), s.GetTouchViewportRight(),
                    s.GetTouchViewportBottom()}) {
        fuzz::Check(std::isfinite(v) && v > 0.0f && v < 10000.0f, "touch viewport");
    }
    fuzz::Check(s.GetTouchVendorId() != 0 && s.GetTouchProductId() != 0, "touch ids");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto* world = new platform::sim::SimWorld;
    FuzzedDataProvider input(data, size);
    platform::sim::SimRegistry registry(world->GetScheduler(), world->GetFaults(),
                                        world->GetKernel());
    AmbRegSettings settings(registry, world->GetKernel(), world->GetSecurity(), HKEY_LOCAL_MACHINE);
    for (int pass = 0; pass < 2; ++pass) {
        for (int n = input.ConsumeIntegralInRange(0, 24); n > 0 && input.remaining_bytes() > 0;
             --n) {
            const wchar_t* key = input.PickValueInArray(kKeys);
            const wchar_t* name = PickName(input);
            const auto type =
                input.ConsumeBool() ? DWORD{REG_DWORD} : input.ConsumeIntegralInRange<DWORD>(0, 11);
            std::vector<BYTE> bytes = input.ConsumeBytes<BYTE>(
                input.ConsumeBool() ? 4 : input.ConsumeIntegralInRange(0, 9));
            registry.SetValue(HKEY_LOCAL_MACHINE, key, name, type, std::move(bytes));
        }
        settings.ReadSettings();
        CheckBounds(settings);
        world->GetTracing().Clear();
    }
    return 0;
}
