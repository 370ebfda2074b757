#include "service/sim/settings_report.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/reg_file.h"
#include "platform/sim/sim_world.h"
#include "platform/sim/utf8.h"
#include "settings/amb_reg_settings.h"
#include "settings/setting_table.h"

namespace kelvo::host {

namespace {

using platform::sim::ToUtf8;
using settings::Check;
using settings::kSettings;
using settings::Rule;

std::string Printf(const char* format, auto... args) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

// A number and its unit, if it has one.
std::string WithUnit(DWORD number, const char* unit) {
    return *unit ? Printf("%u %s", static_cast<unsigned>(number), unit) : std::to_string(number);
}

// The value in force, as a panel engineer reads it.
std::string ValueText(settings::Id id, const settings::Values& values, const char* unit) {
    const settings::Setting& setting = kSettings[id];
    const DWORD value = values[id];
    switch (setting.check) {
        case Check::Flag:
            return value != 0 ? "1 (legacy controller)" : "0 (current controller)";
        case Check::Pixels:
            return value == static_cast<DWORD>(VBDisplayModePixels) ? "2 (pixels)" : "1 (percent)";
        case Check::Range:
            return WithUnit(value, unit);
        case Check::NonZeroBits:
            return Printf("0x%0*x", static_cast<int>(setting.bits / 4),
                          static_cast<unsigned>(value));
        case Check::Thousandths:
            return Printf("%.3f", settings::FromThousandths(value));
    }
    return {};
}

// What the settings accept, from the same limits they judge by.
std::string AcceptedText(settings::Id id, const settings::Values& values, const char* rangeUnit) {
    const settings::Setting& setting = kSettings[id];
    const settings::Limits limits = settings::LimitsOf(id, values);
    switch (setting.check) {
        case Check::Flag:
            return "any; non-zero is legacy";
        case Check::Pixels:
            return Printf("%u; anything else is %u", static_cast<unsigned>(limits.high),
                          static_cast<unsigned>(VBDisplayModePercentage));
        case Check::Range:
        case Check::Thousandths:
            return Printf("%u to ", static_cast<unsigned>(limits.low)) +
                   WithUnit(limits.high, rangeUnit);
        case Check::NonZeroBits:
            return Printf("non-zero in the low %u bits", setting.bits);
    }
    return {};
}

// Where the value in force came from: the file, or a default (and why).
std::string Source(platform::sim::SimRegistry& registry, const settings::Setting& setting,
                   const std::vector<std::string>& warnings) {
    bool warned = false;
    if (setting.warning) {
        // The warning up to its '=', where the value begins.
        std::string start = ToUtf8(setting.warning);
        start.resize(start.find('=') + 1);
        for (const std::string& warning : warnings) {
            if (warning.rfind(start, 0) == 0) warned = true;
        }
    }
    const std::optional<platform::sim::RegValue> stored =
        registry.GetValue(HKEY_LOCAL_MACHINE, setting.key, setting.name);
    if (!stored) return warned ? "default (missing)" : "missing, read as 0";
    const std::optional<DWORD> dword =
        registry.GetDword(HKEY_LOCAL_MACHINE, setting.key, setting.name);
    if (!dword) return warned ? "default (not a REG_DWORD)" : "not a REG_DWORD, read as 0";
    if (warned) return Printf("default (file has %u, not taken)", static_cast<unsigned>(*dword));
    return "file";
}

// The settings of one key, in the report's order.
void PrintGroup(std::FILE* out, const char* title, const wchar_t* key,
                platform::sim::SimRegistry& registry, const settings::Values& values,
                const std::vector<std::string>& warnings) {
    std::fprintf(out, "%-32s %-24s %-28s %s\n", title, "value", "accepted", "from");
    std::vector<settings::Id> shown;
    for (std::size_t id = 0; id < settings::kSettingCount; ++id) {
        if (std::wstring_view(kSettings[id].key) == key)
            shown.push_back(static_cast<settings::Id>(id));
    }
    std::sort(shown.begin(), shown.end(), [](settings::Id a, settings::Id b) {
        return kSettings[a].shownAt < kSettings[b].shownAt;
    });
    const bool pixels = values[settings::kMode] == static_cast<DWORD>(VBDisplayModePixels);
    for (const settings::Id id : shown) {
        const settings::Setting& setting = kSettings[id];
        // The viewport is in pixels in pixel mode.
        const bool inPixels = pixels && (setting.rule == Rule::PixelsUpToNativeX ||
                                         setting.rule == Rule::PixelsUpToNativeY);
        const char* unit = inPixels ? "px" : setting.unit;
        const char* rangeUnit = inPixels ? "px" : setting.rangeUnit;
        std::fprintf(out, "  %-30s %-24s %-28s %s\n", ToUtf8(setting.name).c_str(),
                     ValueText(id, values, unit).c_str(),
                     AcceptedText(id, values, rangeUnit).c_str(),
                     Source(registry, setting, warnings).c_str());
    }
}

}  // namespace

int RunSettingsReport(const std::string& file, std::FILE* out, std::FILE* err) {
    platform::sim::SimWorld world;
    platform::sim::SimRegistry& registry = world.GetRegistry();
    std::string error;
    std::vector<platform::sim::RegFileError> skipped;
    if (!platform::sim::LoadRegFile(registry, file, &error, &skipped)) {
        std::fprintf(err, "kelvo-sim: %s: %s\n", file.c_str(), error.c_str());
        return 2;
    }
    for (const auto& line : skipped) {
        std::fprintf(err, "kelvo-sim: %s: %s (skipped, as reg import skips it)\n", file.c_str(),
                     line.Text().c_str());
    }
    // The defaults put in place; a missing value's failed read (level 2) says nothing more.
    std::vector<std::string> warnings;
    world.GetTracing().SetListener([&warnings](const platform::sim::TraceEvent& event) {
        if (event.level == TRACE_LEVEL_WARNING) warnings.push_back(ToUtf8(event.text));
    });
    AmbRegSettings settings(registry, world.GetKernel(), world.GetSecurity(), HKEY_LOCAL_MACHINE);
    settings.ReadSettings();
    world.GetTracing().SetListener(nullptr);

    settings::Values values{};
    for (std::size_t id = 0; id < settings::kSettingCount; ++id) {
        values[id] = settings.GetValue(static_cast<settings::Id>(id));
    }
    std::fprintf(out, "Settings from %s under HKEY_LOCAL_MACHINE\\%s\n\n", file.c_str(),
                 ToUtf8(contract::kConfigurationKey).c_str());
    PrintGroup(out, "Display", contract::kDisplayKey, registry, values, warnings);
    std::fputc('\n', out);
    PrintGroup(out, "Touch", contract::kTouchKey, registry, values, warnings);
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
