// Every value of the frame's configuration in one table: where it lives, how a stored value is
// judged, what stands in for a rejected one and the warning that says so. The settings read it in
// its order; kelvo-sim's settings report prints it. A bound or a default that depends on other
// values (the mode, the native resolution, the viewport in force) is a rule named in its row.
#pragma once

#include <array>
#include <cstddef>

#include "contract.h"
#include "platform/win32types.h"

namespace settings {

// How a stored value is judged.
enum class Check {
    Flag,         // any value; non-zero is true. Never warns.
    Pixels,       // only VBDisplayModePixels is taken; anything else keeps percentage mode
    Range,        // taken when it lies in [low, high]
    NonZeroBits,  // its low `bits` bits are taken when they are not 0
    Thousandths,  // taken when it lies in [low, high]; the value is in thousandths
};

// A bound or default that depends on values read before.
enum class Rule {
    None,
    // In pixel mode: the default is pixelDefault and the highest value the native resolution X
    // (Y); the unit is pixels instead of percent.
    PixelsUpToNativeX,
    PixelsUpToNativeY,
    // The highest value is the room the viewport Y in force leaves below it (PositionBound); a
    // default beyond it is clipped to it without a further warning.
    BelowViewport,
    // The default is the value held, so a rejected value keeps the last one accepted.
    KeepsLast,
};

// The settings by their place in the table.
enum Id : std::size_t {
    kNativeResolutionX,
    kNativeResolutionY,
    kAnimationSteps,
    kAnimationInterval,
    kMode,
    kViewportX,
    kViewportY,
    kPositionY,
    kIsLegacy,
    kVendorId,
    kProductId,
    kReportId,
    kPropsReportId,
    kInputMethod,
    kTouchLeft,
    kTouchTop,
    kTouchRight,
    kTouchBottom,
    kSettingCount,
};

struct Setting {
    const wchar_t* key;
    const wchar_t* name;
    Check check;
    Rule rule;
    DWORD low;
    DWORD high;
    unsigned bits;  // NonZeroBits: how many low bits are kept
    DWORD currentDefault;
    DWORD legacyDefault;
    DWORD pixelDefault;  // PixelsUpToNative rules
    // printf format of the warning, with the default in force; null for a value that never warns.
    const wchar_t* warning;
    // For the report: its place among the values of its key, and the units after the value and
    // after the accepted range.
    int shownAt;
    const char* unit;
    const char* rangeUnit;
};

// In the order the settings read them: the display half, then the touch half. Each half reads
// IsLegacy first.
extern const std::array<Setting, kSettingCount> kSettings;

// The values in force, as the registry holds them (thousandths for the touch viewport).
using Values = std::array<DWORD, kSettingCount>;

// What a setting accepts and what replaces a rejected value, given the values read before it.
struct Limits {
    DWORD low;
    DWORD high;
    DWORD fallback;
};
Limits LimitsOf(Id id, const Values& values);

// Highest Y position the viewport in force leaves room for.
DWORD PositionBound(VBDisplayMode mode, DWORD viewportY, DWORD nativeY);

// A thousandths value in the unit the touch controller takes.
float FromThousandths(DWORD value);

}  // namespace settings
