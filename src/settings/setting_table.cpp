#include "settings/setting_table.h"

namespace settings {

namespace {

using contract::kDisplayKey;
using contract::kTouchKey;

// The registry holds the touch viewport in thousandths.
constexpr float kThousandthsScale = 1000.0f;

// The band below the viewport that the Y position may take in percentage mode: 12 % of what the
// viewport leaves of the screen height. The factor is the single-precision 0.12, widened.
constexpr double kPositionBandFactor = static_cast<double>(0.12f);

}  // namespace

// clang-format off
const std::array<Setting, kSettingCount> kSettings{{
    // key, name, check, rule, low, high, bits, default, legacy default, pixel default, warning,
    // report place, unit, range unit
    {kDisplayKey, L"NativeResolution_X", Check::Range, Rule::None, 1, 7680, 0, 1920, 1920, 0,
     L"Default DisplayNativeResolutionX = %d used", 1, "px", ""},
    {kDisplayKey, L"NativeResolution_Y", Check::Range, Rule::None, 1, 4320, 0, 1080, 1080, 0,
     L"Default DisplayNativeResolutionY = %d used", 2, "px", ""},
    {kDisplayKey, L"AnimationSteps", Check::Range, Rule::None, 1, 50, 0, 15, 15, 0,
     L"Default DisplayAnimationSteps = %d used", 6, "", ""},
    {kDisplayKey, L"AnimationIntervalMilliseconds", Check::Range, Rule::None, 0, 100, 0, 5, 5, 0,
     L"Default DisplayAnimationIntervalMilliseconds = %d used", 7, "ms", "ms"},
    {kDisplayKey, L"Mode", Check::Pixels, Rule::None, VBDisplayModePixels, VBDisplayModePixels, 0,
     VBDisplayModePercentage, VBDisplayModePercentage, 0, L"Default DisplayMode = %d used", 0,
     "", ""},
    {kDisplayKey, L"ViewPort_X", Check::Range, Rule::PixelsUpToNativeX, 1, 100, 0, 30, 26, 1740,
     L"Default DisplayViewportX = %d used", 3, "%", "%"},
    {kDisplayKey, L"ViewPort_Y", Check::Range, Rule::PixelsUpToNativeY, 1, 100, 0, 30, 26, 980,
     L"Default DisplayViewportY = %d used", 4, "%", "%"},
    {kDisplayKey, L"ViewPort_YPosition_Px", Check::Range, Rule::BelowViewport, 1, 0, 0, 90, 80, 0,
     L"Default PxPositionY = %d used", 5, "px", "px"},
    {kTouchKey, L"IsLegacy", Check::Flag, Rule::None, 0, 0, 0, 0, 0, 0, nullptr, 0, "", ""},
    {kTouchKey, L"VID", Check::NonZeroBits, Rule::None, 0, 0, 16, 0x04F3, 0x03EB, 0,
     L"Default TouchVendorId = 0x%04x used", 1, "", ""},
    {kTouchKey, L"PID", Check::NonZeroBits, Rule::None, 0, 0, 16, 0x200A, 0x212A, 0,
     L"Default TouchProductId = 0x%04x used", 2, "", ""},
    {kTouchKey, L"AMB_HidReportId", Check::NonZeroBits, Rule::KeepsLast, 0, 0, 8, 6, 6, 0,
     L"Default _touchReportID = 0x%02x used", 3, "", ""},
    {kTouchKey, L"AMBProps_HidReportId", Check::NonZeroBits, Rule::KeepsLast, 0, 0, 8, 5, 5, 0,
     L"Default _touchPropsReportID = 0x%02x used", 4, "", ""},
    {kTouchKey, L"AMBInputMethod", Check::NonZeroBits, Rule::KeepsLast, 0, 0, 8, 0, 0, 0,
     L"Default _touchInputMethod = 0x%02x used", 5, "", ""},
    {kTouchKey, L"ViewPort_Left", Check::Thousandths, Rule::None, 1, 9998999, 0, 132000, 100000,
     0, L"Default TouchViewportLeft = %f used", 6, "", "(thousandths)"},
    {kTouchKey, L"ViewPort_Top", Check::Thousandths, Rule::None, 1, 9998999, 0, 150000, 192000,
     0, L"Default TouchViewportTop = %f used", 7, "", "(thousandths)"},
    {kTouchKey, L"ViewPort_Right", Check::Thousandths, Rule::None, 1, 9998999, 0, 2988000,
     100000, 0, L"Default TouchViewportRight = %f used", 8, "", "(thousandths)"},
    {kTouchKey, L"ViewPort_Bottom", Check::Thousandths, Rule::None, 1, 9998999, 0, 1776000,
     55000, 0, L"Default TouchViewportBottom = %f used", 9, "", "(thousandths)"},
}};
// clang-format on

DWORD PositionBound(VBDisplayMode mode, DWORD viewportY, DWORD nativeY) {
    if (mode == VBDisplayModePixels) {
        // A default viewport may be taller than the screen: then there is no room at all.
        return viewportY > nativeY ? 0 : nativeY - viewportY;
    }
    return static_cast<DWORD>((1.0 - viewportY / 100.0) * kPositionBandFactor * nativeY);
}

float FromThousandths(DWORD value) { return static_cast<float>(value) / kThousandthsScale; }

Limits LimitsOf(Id id, const Values& values) {
    const Setting& setting = kSettings[id];
    const bool pixels = values[kMode] == static_cast<DWORD>(VBDisplayModePixels);
    Limits limits{setting.low, setting.high,
                  values[kIsLegacy] != 0 ? setting.legacyDefault : setting.currentDefault};
    switch (setting.rule) {
        case Rule::None:
            break;
        case Rule::PixelsUpToNativeX:
        case Rule::PixelsUpToNativeY:
            if (pixels) {
                limits.fallback = setting.pixelDefault;
                limits.high = values[setting.rule == Rule::PixelsUpToNativeX ? kNativeResolutionX
                                                                             : kNativeResolutionY];
            }
            break;
        case Rule::BelowViewport:
            limits.high = PositionBound(static_cast<VBDisplayMode>(values[kMode]),
                                        values[kViewportY], values[kNativeResolutionY]);
            break;
        case Rule::KeepsLast:
            limits.fallback = values[id];
            break;
    }
    return limits;
}

}  // namespace settings
