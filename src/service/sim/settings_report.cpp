#include "service/sim/settings_report.h"

#include <optional>
#include <vector>

#include "platform/sim/reg_file.h"
#include "platform/sim/sim_world.h"
#include "service/sim/timeline.h"
#include "settings/amb_reg_settings.h"

namespace kelvo::host {

namespace {

constexpr const char* kRootPath = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Nolt\\AMB";
constexpr const wchar_t* kDisplayKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display";
constexpr const wchar_t* kTouchKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch";

std::string Printf(const char* format, auto... args) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

struct Row {
    const wchar_t* key;
    const wchar_t* name;
    std::string value;
    std::string accepted;
    // The start of the warning the settings write when they put a default in place; none for
    // a value that never warns.
    const char* warning;
};

// Highest Y position the viewport leaves room for, as the settings compute it: in percentage
// mode 12 % (the single-precision 0.12) of what the viewport leaves of the screen height, in
// pixel mode the height the viewport leaves.
DWORD PositionBound(VBDisplayMode mode, DWORD viewportY, DWORD nativeY) {
    if (mode == VBDisplayModePixels) return viewportY > nativeY ? 0 : nativeY - viewportY;
    return static_cast<DWORD>((1.0 - viewportY / 100.0) * static_cast<double>(0.12f) * nativeY);
}

std::vector<Row> DisplayRows(const AmbRegSettings& s) {
    const bool pixels = s.GetDisplayMode() == VBDisplayModePixels;
    const char* unit = pixels ? "px" : "%";
    const std::string boundX = pixels ? std::to_string(s.GetDisplayNativeResolutionX()) : "100";
    const std::string boundY = pixels ? std::to_string(s.GetDisplayNativeResolutionY()) : "100";
    const DWORD positionBound =
        PositionBound(s.GetDisplayMode(), s.GetDisplayViewportY(), s.GetDisplayNativeResolutionY());
    return {
        {kDisplayKey, L"Mode", pixels ? "2 (pixels)" : "1 (percent)", "2; anything else is 1",
         "Default DisplayMode ="},
        {kDisplayKey, L"NativeResolution_X",
         Printf("%u px", static_cast<unsigned>(s.GetDisplayNativeResolutionX())), "1 to 7680",
         "Default DisplayNativeResolutionX ="},
        {kDisplayKey, L"NativeResolution_Y",
         Printf("%u px", static_cast<unsigned>(s.GetDisplayNativeResolutionY())), "1 to 4320",
         "Default DisplayNativeResolutionY ="},
        {kDisplayKey, L"ViewPort_X",
         Printf("%u %s", static_cast<unsigned>(s.GetDisplayViewportX()), unit),
         "1 to " + boundX + " " + unit, "Default DisplayViewportX ="},
        {kDisplayKey, L"ViewPort_Y",
         Printf("%u %s", static_cast<unsigned>(s.GetDisplayViewportY()), unit),
         "1 to " + boundY + " " + unit, "Default DisplayViewportY ="},
        {kDisplayKey, L"ViewPort_YPosition_Px",
         Printf("%u px", static_cast<unsigned>(s.GetPxPositionY())),
         Printf("1 to %u px", static_cast<unsigned>(positionBound)), "Default PxPositionY ="},
        {kDisplayKey, L"AnimationSteps",
         Printf("%u", static_cast<unsigned>(s.GetDisplayAnimationSteps())), "1 to 50",
         "Default DisplayAnimationSteps ="},
        {kDisplayKey, L"AnimationIntervalMilliseconds",
         Printf("%u ms", static_cast<unsigned>(s.GetDisplayAnimationIntervalMilliseconds())),
         "0 to 100 ms", "Default DisplayAnimationIntervalMilliseconds ="},
    };
}

std::vector<Row> TouchRows(const AmbRegSettings& s) {
    const char* viewport = "1 to 9998999 (thousandths)";
    return {
        {kTouchKey, L"IsLegacy", s.IsLegacy() ? "1 (legacy controller)" : "0 (current controller)",
         "any; non-zero is legacy", nullptr},
        {kTouchKey, L"VID", Printf("0x%04x", s.GetTouchVendorId()), "non-zero in the low 16 bits",
         "Default TouchVendorId ="},
        {kTouchKey, L"PID", Printf("0x%04x", s.GetTouchProductId()), "non-zero in the low 16 bits",
         "Default TouchProductId ="},
        {kTouchKey, L"AMB_HidReportId", Printf("0x%02x", s.GetTouchReportId()),
         "non-zero in the low 8 bits", "Default _touchReportID ="},
        {kTouchKey, L"AMBProps_HidReportId", Printf("0x%02x", s.GetTouchPropsReportId()),
         "non-zero in the low 8 bits", "Default _touchPropsReportID ="},
        {kTouchKey, L"AMBInputMethod", Printf("0x%02x", s.GetTouchInputMethod()),
         "non-zero in the low 8 bits", "Default _touchInputMethod ="},
        {kTouchKey, L"ViewPort_Left", Printf("%.3f", s.GetTouchViewportLeft()), viewport,
         "Default TouchViewportLeft ="},
        {kTouchKey, L"ViewPort_Top", Printf("%.3f", s.GetTouchViewportTop()), viewport,
         "Default TouchViewportTop ="},
        {kTouchKey, L"ViewPort_Right", Printf("%.3f", s.GetTouchViewportRight()), viewport,
         "Default TouchViewportRight ="},
        {kTouchKey, L"ViewPort_Bottom", Printf("%.3f", s.GetTouchViewportBottom()), viewport,
         "Default TouchViewportBottom ="},
    };
}

// Where the value in force came from: the file, or a default (and why).
std::string Source(platform::sim::SimRegistry& registry, const Row& row,
                   const std::vector<std::string>& warnings) {
    bool warned = false;
    for (const std::string& warning : warnings) {
        if (row.warning && warning.rfind(row.warning, 0) == 0) warned = true;
    }
    const std::optional<platform::sim::RegValue> stored =
        registry.GetValue(HKEY_LOCAL_MACHINE, row.key, row.name);
    if (!stored) return warned ? "default (missing)" : "missing, read as 0";
    const std::optional<DWORD> dword = registry.GetDword(HKEY_LOCAL_MACHINE, row.key, row.name);
    if (!dword) return warned ? "default (not a REG_DWORD)" : "not a REG_DWORD, read as 0";
    if (warned) return Printf("default (file has %u, not taken)", static_cast<unsigned>(*dword));
    return "file";
}

void PrintGroup(std::FILE* out, const char* title, platform::sim::SimRegistry& registry,
                const std::vector<Row>& rows, const std::vector<std::string>& warnings) {
    std::fprintf(out, "%-32s %-24s %-28s %s\n", title, "value", "accepted", "from");
    for (const Row& row : rows) {
        std::fprintf(out, "  %-30s %-24s %-28s %s\n", ToUtf8(row.name).c_str(), row.value.c_str(),
                     row.accepted.c_str(), Source(registry, row, warnings).c_str());
    }
}

}  // namespace

int RunSettingsReport(const std::string& file, std::FILE* out, std::FILE* err) {
    platform::sim::SimWorld world;
    platform::sim::SimRegistry& registry = world.GetRegistry();
    std::string error;
    if (!platform::sim::LoadRegFile(registry, file, &error)) {
        std::fprintf(err, "kelvo-sim: %s: %s\n", file.c_str(), error.c_str());
        return 2;
    }
    // The defaults put in place; a missing value's failed read (level 2) says nothing more.
    std::vector<std::string> warnings;
    world.GetTracing().SetListener([&warnings](const platform::sim::TraceEvent& event) {
        if (event.level == TRACE_LEVEL_WARNING) warnings.push_back(ToUtf8(event.text));
    });
    AmbRegSettings settings(registry, world.GetKernel(), world.GetSecurity(), HKEY_LOCAL_MACHINE);
    settings.ReadSettings();
    world.GetTracing().SetListener(nullptr);

    std::fprintf(out, "Settings from %s under %s\n\n", file.c_str(), kRootPath);
    PrintGroup(out, "Display", registry, DisplayRows(settings), warnings);
    std::fputc('\n', out);
    PrintGroup(out, "Touch", registry, TouchRows(settings), warnings);
    std::fputc('\n', out);
    if (warnings.empty()) {
        std::fputs("Warnings: none\n", out);
    } else {
        std::fprintf(out, "Warnings (%zu)\n", warnings.size());
        for (const std::string& warning : warnings) std::fprintf(out, "  %s\n", warning.c_str());
    }
    return 0;
}

}  // namespace kelvo::host
