#include "settings/policy_templates.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/utf8.h"
#include "settings/setting_table.h"

namespace {

using namespace settings;
using platform::sim::ToUtf8;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Where two texts part, by line, for the message.
std::string FirstDifference(const std::string& deployed, const std::string& made) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < std::min(deployed.size(), made.size()); ++i) {
        if (deployed[i] != made[i]) return "line " + std::to_string(line) + " differs";
        if (deployed[i] == '\n') ++line;
    }
    return deployed.empty() ? "missing" : "one ends at line " + std::to_string(line);
}

TEST(PolicyTemplates, DeployedFilesAreWhatTheTableGives) {
    const PolicyTemplates made = MakePolicyTemplates();
    const std::pair<const char*, const std::string*> files[] = {{kAdmxPath, &made.admx},
                                                                {kAdmlPath, &made.adml}};
    for (const auto& [path, text] : files) {
        const std::string deployed = ReadFile(std::string(KELVO_DEPLOY_DIR "/") + path);
        EXPECT_TRUE(deployed == *text)
            << "deploy/" << path << " is not what the settings table gives ("
            << FirstDifference(deployed, *text) << "); write it anew with\n"
            << "  build/host/tools/policy_templates/kelvo-policy-templates deploy";
    }
}

// What a policy lets an administrator store: where, the range, and the value offered first.
struct Policy {
    std::string key;
    std::string valueName;
    DWORD low = 0;
    DWORD high = 0;
    std::optional<DWORD> preset;
    bool operator==(const Policy&) const = default;
};
void PrintTo(const Policy& p, std::ostream* out) {
    *out << p.key << "\\" << p.valueName << " " << p.low << ".." << p.high << " preset "
         << (p.preset ? std::to_string(*p.preset) : "none");
}

// Each element `tag` in `text`, from its '<' to the end of its closing tag (or of itself).
std::vector<std::string_view> Elements(std::string_view text, std::string_view tag) {
    std::vector<std::string_view> found;
    const std::string open = "<" + std::string(tag);
    const std::string close = "</" + std::string(tag) + ">";
    for (std::size_t at = text.find(open); at != std::string_view::npos;
         at = text.find(open, at + 1)) {
        const char next = text[at + open.size()];
        if (next != ' ' && next != '>' && next != '/') continue;
        const std::size_t tagEnd = text.find('>', at);
        const std::size_t end =
            text[tagEnd - 1] == '/' ? tagEnd + 1 : text.find(close, at) + close.size();
        found.push_back(text.substr(at, end - at));
    }
    return found;
}

// An attribute of an element's own tag.
std::optional<std::string> Attribute(std::string_view element, std::string_view name) {
    const std::string_view tag = element.substr(0, element.find('>'));
    const std::string start = " " + std::string(name) + "=\"";
    const std::size_t at = tag.find(start);
    if (at == std::string_view::npos) return std::nullopt;
    const std::size_t from = at + start.size();
    return std::string(tag.substr(from, tag.find('"', from) - from));
}

DWORD Number(const std::optional<std::string>& text) {
    return text ? static_cast<DWORD>(std::stoul(*text)) : ~DWORD{0};
}

// The name of the first element inside `element`.
std::string FirstChild(std::string_view element) {
    const std::size_t at = element.find('<', 1) + 1;
    return std::string(element.substr(at, element.find_first_of(" />", at) - at));
}

// Every policy of the ADMX text, with the value its ADML presentation offers first.
std::vector<Policy> Policies(const std::string& admx, const std::string& adml) {
    std::vector<Policy> policies;
    for (const std::string_view policy : Elements(admx, "policy")) {
        Policy p;
        p.key = Attribute(policy, "key").value_or("");
        const std::string_view elements = Elements(policy, "elements").at(0);
        const std::string kind = FirstChild(elements);
        const std::string_view element = Elements(elements, kind).at(0);
        p.valueName = Attribute(element, "valueName").value_or("");
        // A boolean's or a list's values, in the list's order.
        std::vector<DWORD> values;
        if (kind == "decimal") {
            p.low = Number(Attribute(element, "minValue"));
            p.high = Number(Attribute(element, "maxValue"));
        } else {
            for (const std::string_view value : Elements(element.substr(1), "decimal")) {
                values.push_back(Number(Attribute(value, "value")));
            }
            p.low = *std::min_element(values.begin(), values.end());
            p.high = *std::max_element(values.begin(), values.end());
        }
        const std::string presentation =
            "<presentation id=\"" + Attribute(policy, "name").value_or("") + "\">";
        const std::size_t at = adml.find(presentation);
        if (at == std::string::npos) {
            ADD_FAILURE() << "no presentation for " << p.valueName;
            continue;
        }
        const std::string_view control =
            Elements(std::string_view(adml).substr(at), "presentation").at(0);
        const std::string_view box = Elements(control, FirstChild(control)).at(0);
        if (const auto preset = Attribute(box, "defaultValue")) p.preset = Number(preset);
        if (const auto checked = Attribute(box, "defaultChecked")) p.preset = *checked == "true";
        if (const auto item = Attribute(box, "defaultItem")) p.preset = values.at(Number(item));
        policies.push_back(p);
    }
    return policies;
}

// What the service reads of a setting, from its own limits: the widest range they take (both
// modes, both controllers, the largest screen, the lowest viewport) and, when nothing is stored,
// the value in force, offered first wherever the policy can store it.
Policy FromTable(Id id) {
    const Setting& s = kSettings[id];
    Policy p;
    p.key = ToUtf8(s.key);
    p.valueName = ToUtf8(s.name);
    Values nothingStored{};
    for (std::size_t i = 0; i < kSettingCount; ++i) nothingStored[i] = kSettings[i].currentDefault;
    switch (s.check) {
        case Check::Flag:
            p.high = 1;
            break;
        case Check::Pixels:
            p.low = VBDisplayModePercentage;
            p.high = VBDisplayModePixels;
            break;
        case Check::NonZeroBits:
            p.low = 1;
            p.high = (DWORD{1} << s.bits) - 1;
            break;
        case Check::Range:
        case Check::Thousandths:
            p.low = ~DWORD{0};
            for (const DWORD mode : {VBDisplayModePercentage, VBDisplayModePixels}) {
                for (const DWORD legacy : {0, 1}) {
                    Values corner = nothingStored;
                    corner[kMode] = mode;
                    corner[kIsLegacy] = legacy;
                    corner[kNativeResolutionX] = kSettings[kNativeResolutionX].high;
                    corner[kNativeResolutionY] = kSettings[kNativeResolutionY].high;
                    corner[kViewportY] = kSettings[kViewportY].low;
                    const Limits limits = LimitsOf(id, corner);
                    p.low = std::min(p.low, limits.low);
                    p.high = std::max(p.high, limits.high);
                }
            }
            break;
    }
    const DWORD fallback = LimitsOf(id, nothingStored).fallback;
    if (fallback >= p.low && fallback <= p.high) p.preset = fallback;
    return p;
}

TEST(PolicyTemplates, EachValueTheServiceReadsHasOnePolicyThatAgreesWithIt) {
    const PolicyTemplates made = MakePolicyTemplates();
    const std::vector<Policy> policies = Policies(made.admx, made.adml);
    // The values read outside the table: the watch switch, and the modes to start in (0 or 1,
    // no value leaves them to Windows).
    std::vector<Policy> expected{
        {ToUtf8(contract::kConfigurationKey), "MonitorSettings", 0, 1, 0},
        {ToUtf8(contract::kHotKeysKey), "InitialConvertibleSlateMode", 0, 1, std::nullopt},
        {ToUtf8(contract::kHotKeysKey), "InitialSystemDockMode", 0, 1, std::nullopt}};
    for (std::size_t id = 0; id < kSettingCount; ++id) expected.push_back(FromTable(Id(id)));

    EXPECT_EQ(policies.size(), expected.size());
    for (const Policy& want : expected) {
        std::vector<Policy> same;
        std::copy_if(
            policies.begin(), policies.end(), std::back_inserter(same),
            [&](const Policy& p) { return p.key == want.key && p.valueName == want.valueName; });
        EXPECT_EQ(same, std::vector<Policy>{want});
    }
    // Every string the definitions name is in the resources: Windows refuses the pair otherwise.
    for (std::size_t at = made.admx.find("$(string."); at != std::string::npos;
         at = made.admx.find("$(string.", at + 1)) {
        const std::size_t from = at + 9;
        const std::string id = made.admx.substr(from, made.admx.find(')', from) - from);
        EXPECT_NE(made.adml.find("<string id=\"" + id + "\">"), std::string::npos) << id;
    }
}

}  // namespace
