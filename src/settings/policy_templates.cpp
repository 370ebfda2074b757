#include "settings/policy_templates.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>
#include <vector>

#include "contract.h"
#include "settings/setting_table.h"

namespace settings {

namespace {

constexpr const char* kSchemaNamespace =
    "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions";
// Raised when a policy changes shape, so that a store holding both knows which is newer.
constexpr const char* kRevision = "1.0";
constexpr const char* kRootCategory = "Kelvo";
constexpr const char* kSupported = "SUPPORTED_Kelvo";

// The configuration's names are ASCII; anything else in them would be a slip of the table's, shown
// as '?' rather than as broken UTF-8.
std::string Narrow(std::wstring_view text) {
    std::string narrow;
    for (const wchar_t c : text) narrow += c > 0 && c < 0x80 ? static_cast<char>(c) : '?';
    return narrow;
}

std::string Escape(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '&') {
            escaped += "&amp;";
        } else if (c == '<') {
            escaped += "&lt;";
        } else if (c == '>') {
            escaped += "&gt;";
        } else if (c == '"') {
            escaped += "&quot;";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string Num(DWORD value) { return std::to_string(value); }

// An id as the controller's documents write it, then as the policy's box takes it.
std::string IdText(DWORD value, unsigned bits) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%0*X", static_cast<int>(bits / 4),
                  static_cast<unsigned>(value));
    return std::string(hex) + " = " + Num(value);
}

std::string Thousandths(DWORD value) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%03u", static_cast<unsigned>(value / 1000),
                  static_cast<unsigned>(value % 1000));
    return text;
}

// The last part of a key's path: the category of its policies and the first part of their names.
std::string Leaf(const std::string& key) { return key.substr(key.rfind('\\') + 1); }

enum class Control { Number, Checkbox, List };

struct Choice {
    DWORD value;
    std::string label;
};

// One policy: the value it writes, the control that sets it, its texts.
struct Policy {
    std::string key;
    std::string valueName;
    Control control = Control::Number;
    DWORD low = 0;
    DWORD high = 0;
    // What the editor offers before the administrator changes it, where the service has a value
    // of its own that the policy can store.
    std::optional<DWORD> preset;
    std::vector<Choice> choices;
    DWORD spinStep = 1;
    std::string title;
    std::string label;
    std::string explain;

    std::string Name() const { return Leaf(key) + "_" + valueName; }
};

// A setting's own words: the policy's title, the label beside its control and what it does.
struct Words {
    const char* title;
    const char* label;
    std::string what;
};

const char* const kTouchViewport =
    " Touches between the touch area and the screen's edge are ignored while the frame is shown."
    " Right must be greater than Left and Bottom greater than Top, or the controller is given no"
    " touch area. A legacy controller takes whole units: the fraction is dropped.";

Words WordsOf(Id id) {
    switch (id) {
        case kNativeResolutionX:
            return {"Native screen width", "Width (pixels):",
                    "The panel's native width in pixels. The graphics driver is given it at start, "
                    "and in pixel mode it is the widest the viewport may be."};
        case kNativeResolutionY:
            return {"Native screen height", "Height (pixels):",
                    "The panel's native height in pixels. The graphics driver is given it at "
                    "start; it bounds the viewport's offset from the top "
                    "(ViewPort_YPosition_Px) and, in pixel mode, the viewport's height."};
        case kAnimationSteps:
            return {"Frame animation steps", "Steps:",
                    "How many steps the desktop takes to shrink into the frame, or to grow back, "
                    "when the frame comes or goes with a dock change, the release latch, the lock "
                    "or the frame toggle. Suspend, display-off and resume change it at once."};
        case kAnimationInterval:
            return {"Pause between animation steps", "Milliseconds:",
                    "The pause between two steps of the frame's animation, in milliseconds."};
        case kMode:
            return {"Frame geometry mode", "Viewport given as:",
                    "How the viewport, the part of the screen the desktop shrinks into while the "
                    "frame is shown, is given: 1 as percentages of the native resolution, 2 in "
                    "pixels. The graphics driver takes the frame only as percentages: in pixel "
                    "mode each display request fails and is logged, so the desktop keeps its "
                    "size while the touch band is still set."};
        case kViewportX:
            return {"Viewport width", "Width:",
                    "The width of the viewport the desktop shrinks into while the frame is shown: "
                    "percent of the native width in percentage mode, pixels in pixel mode."};
        case kViewportY:
            return {"Viewport height", "Height:",
                    "The height of the viewport the desktop shrinks into while the frame is "
                    "shown: percent of the native height in percentage mode, pixels in pixel "
                    "mode."};
        case kPositionY:
            return {"Viewport offset from the top", "Offset (pixels):",
                    "How far below the top of the screen the viewport sits while the frame is "
                    "shown, in pixels."};
        case kIsLegacy:
            return {"Legacy touch controller", "Legacy USB touch controller",
                    "Checked: the touch controller is the legacy USB one, which speaks a protocol "
                    "of its own and takes the touch area in whole units. It also changes the "
                    "defaults of the viewport, its offset, the controller's ids and the touch "
                    "area. Unchecked: the current controller."};
        case kVendorId:
            return {"Touch controller vendor id", "Vendor id:",
                    "The vendor id of the touch controller the service looks for among the HID "
                    "devices."};
        case kProductId:
            return {"Touch controller product id", "Product id:",
                    "The product id of the touch controller the service looks for among the HID "
                    "devices."};
        case kReportId:
            return {"Touch controller report id", "Report id:",
                    "The report id of the touch controller's touch area and touch mode reports."};
        case kPropsReportId:
            return {"Touch controller properties report id",
                    "Report id:", "The report id of the touch controller's property reports."};
        case kInputMethod:
            return {"Touch controller input method", "Input method:",
                    "The touch controller's input method. The service keeps it with the "
                    "controller's settings; none of the reports it sends depends on it."};
        case kTouchLeft:
            return {"Touch area left", "Left (thousandths):",
                    std::string("The left edge of the touch area inside the frame, in the touch "
                                "controller's units.") +
                        kTouchViewport};
        case kTouchTop:
            return {"Touch area top", "Top (thousandths):",
                    std::string("The top edge of the touch area inside the frame, in the touch "
                                "controller's units.") +
                        kTouchViewport};
        case kTouchRight:
            return {"Touch area right", "Right (thousandths):",
                    std::string("The right edge of the touch area inside the frame, in the touch "
                                "controller's units.") +
                        kTouchViewport};
        case kTouchBottom:
            return {"Touch area bottom", "Bottom (thousandths):",
                    std::string("The bottom edge of the touch area inside the frame, in the touch "
                                "controller's units.") +
                        kTouchViewport};
        case kSettingCount:
            break;
    }
    return {"", "", ""};
}

constexpr const char* kWhenRead = "The service reads it at start.";
constexpr const char* kWhenReadAgain =
    "The service reads it at start, and again after each change under "
    "SOFTWARE\\Corvane\\Nolt\\AMB while MonitorSettings is on.";
constexpr const char* kFlagRule =
    "Checked stores 1, unchecked 0; the service counts any value but 0 as checked, and no value "
    "as unchecked.";

// ", or no value," where a missing value (read as 0) is refused like any other.
std::string OrNone(DWORD low) { return low > 0 ? ", or no value," : ""; }

// " (L with a legacy touch controller)" where the legacy controller's default differs.
std::string LegacyDefault(const Setting& setting, const std::string& legacy) {
    if (setting.legacyDefault == setting.currentDefault) return "";
    return " (" + legacy + " with a legacy touch controller)";
}

std::string WithUnit(DWORD value, const char* unit) {
    return *unit ? Num(value) + " " + unit : Num(value);
}

// What the service takes of a setting and what stands in for the rest, in the table's numbers.
std::string Accepts(Id id, const Policy& policy) {
    const Setting& s = kSettings[id];
    const std::string name = Narrow(s.name);
    switch (s.check) {
        case Check::Flag:
            return kFlagRule;
        case Check::Pixels:
            return "The service takes " + Num(s.high) + "; any other value, or no value, means " +
                   Num(s.currentDefault) + ".";
        case Check::NonZeroBits: {
            std::string text = "The service keeps the low " + Num(s.bits) +
                               " bits of the value and takes them when they are not 0; otherwise ";
            if (s.rule == Rule::KeepsLast) {
                text += "it keeps the value it used before: " + IdText(s.currentDefault, s.bits) +
                        " after a start, the last one taken while it runs.";
            } else {
                text += "it uses " + IdText(s.currentDefault, s.bits) +
                        LegacyDefault(s, IdText(s.legacyDefault, s.bits)) + ".";
            }
            text += " This policy offers " + Num(policy.low) + " to " + Num(policy.high) + ".";
            if (!policy.preset) {
                text += " The service's own " + IdText(s.currentDefault, s.bits) +
                        " cannot be stored: to keep it, set this policy to Disabled.";
            }
            return text;
        }
        case Check::Thousandths:
            return "The value is in thousandths: " + Num(s.currentDefault) + " stands for " +
                   Thousandths(s.currentDefault) + ". The service takes " + Num(s.low) + " to " +
                   Num(s.high) + "; any other value" + OrNone(s.low) + " makes it use " +
                   Num(s.currentDefault) + LegacyDefault(s, Num(s.legacyDefault)) + ".";
        case Check::Range:
            break;
    }
    const std::string fallback =
        WithUnit(s.currentDefault, s.unit) + LegacyDefault(s, WithUnit(s.legacyDefault, s.unit));
    switch (s.rule) {
        case Rule::None:
        case Rule::KeepsLast: {
            std::string text = "The service takes " + Num(s.low) + " to " +
                               WithUnit(s.high, s.unit) + "; any other value" + OrNone(s.low) +
                               " makes it use " + fallback + ".";
            if (s.low == 0) text += " No value reads as 0, which it takes.";
            return text;
        }
        case Rule::PixelsUpToNativeX:
        case Rule::PixelsUpToNativeY: {
            const Setting& native =
                kSettings[s.rule == Rule::PixelsUpToNativeX ? kNativeResolutionX
                                                            : kNativeResolutionY];
            return "In percentage mode (Mode " + Num(VBDisplayModePercentage) +
                   ") the service takes " + Num(s.low) + " to " + WithUnit(s.high, s.rangeUnit) +
                   "; any other value" + OrNone(s.low) + " makes it use " + fallback +
                   ". In pixel mode (Mode " + Num(VBDisplayModePixels) + ") it takes " +
                   Num(s.low) + " up to " + Narrow(native.name) + " pixels and otherwise uses " +
                   Num(s.pixelDefault) + ". This policy offers the widest range, " +
                   Num(policy.low) + " to " + Num(policy.high) +
                   ", and the percentage mode's default.";
        }
        case Rule::BelowViewport: {
            const Setting& viewport = kSettings[kViewportY];
            const Setting& native = kSettings[kNativeResolutionY];
            const DWORD room = PositionBound(VBDisplayModePercentage, viewport.currentDefault,
                                             native.currentDefault);
            return "The service takes " + Num(s.low) +
                   " up to the room the viewport leaves: in percentage mode 12 percent of the "
                   "part of " +
                   Narrow(native.name) + " that " + Narrow(viewport.name) + " leaves (" +
                   Num(room) + " with the defaults), in pixel mode " + Narrow(native.name) +
                   " minus " + Narrow(viewport.name) + ". Any other value" + OrNone(s.low) +
                   " makes it use " + fallback +
                   ", cut down to that room. This policy offers the widest range, " +
                   Num(policy.low) + " to " + Num(policy.high) + ".";
        }
    }
    return "";
}

// Enabling writes the value, disabling deletes it; and since the configuration lies outside the
// keys Windows cleans up behind a policy, a value outlives the policy that wrote it.
std::string Explain(const Policy& policy, const std::string& what, const std::string& accepts,
                    const char* when) {
    return what + "\n\n" + accepts + "\n\n" + when + "\n\nEnabled writes " + policy.valueName +
           " as a REG_DWORD under HKEY_LOCAL_MACHINE\\" + policy.key +
           "; Disabled deletes it, as if it had never been set; Not Configured leaves the "
           "registry as it is.\n\nThis key lies outside Software\\Policies: when the policy is "
           "removed or no longer applies, Group Policy and Intune leave the value in place and "
           "the service goes on using it. Set the policy to Disabled first, or delete the value, "
           "to go back to the service's default.";
}

// The widest range a setting may take, whatever the values its bounds depend on.
void Widest(Id id, Policy& policy) {
    const Setting& s = kSettings[id];
    policy.low = s.low;
    policy.high = s.high;
    switch (s.rule) {
        case Rule::None:
        case Rule::KeepsLast:
            break;
        case Rule::PixelsUpToNativeX:
            policy.high = std::max(s.high, kSettings[kNativeResolutionX].high);
            break;
        case Rule::PixelsUpToNativeY:
            policy.high = std::max(s.high, kSettings[kNativeResolutionY].high);
            break;
        case Rule::BelowViewport: {
            // Most room: the tallest screen and the lowest viewport.
            const DWORD viewport = kSettings[kViewportY].low;
            const DWORD native = kSettings[kNativeResolutionY].high;
            policy.high = std::max(PositionBound(VBDisplayModePercentage, viewport, native),
                                   PositionBound(VBDisplayModePixels, viewport, native));
            break;
        }
    }
}

Policy FromSetting(Id id) {
    const Setting& s = kSettings[id];
    Policy policy;
    policy.key = Narrow(s.key);
    policy.valueName = Narrow(s.name);
    switch (s.check) {
        case Check::Flag:
            policy.control = Control::Checkbox;
            policy.low = 0;
            policy.high = 1;
            policy.preset = s.currentDefault != 0 ? 1 : 0;
            break;
        case Check::Pixels:
            policy.control = Control::List;
            policy.choices = {{VBDisplayModePercentage, "Percentages of the screen (1)"},
                              {VBDisplayModePixels, "Pixels (2)"}};
            policy.low = VBDisplayModePercentage;
            policy.high = VBDisplayModePixels;
            policy.preset = s.currentDefault;
            break;
        case Check::NonZeroBits:
            policy.low = 1;
            policy.high = (DWORD{1} << s.bits) - 1;
            break;
        case Check::Thousandths:
            policy.spinStep = 1000;
            Widest(id, policy);
            break;
        case Check::Range:
            Widest(id, policy);
            break;
    }
    if (policy.control == Control::Number && s.currentDefault >= policy.low &&
        s.currentDefault <= policy.high) {
        policy.preset = s.currentDefault;
    }
    const Words words = WordsOf(id);
    policy.title = words.title;
    policy.label = words.label;
    policy.explain = Explain(policy, words.what, Accepts(id, policy), kWhenReadAgain);
    return policy;
}

// The values read outside the settings table: the watch switch and the modes to start in.
std::vector<Policy> OutsideTable() {
    Policy watch;
    watch.key = Narrow(contract::kConfigurationKey);
    watch.valueName = "MonitorSettings";
    watch.control = Control::Checkbox;
    watch.low = 0;
    watch.high = 1;
    watch.preset = 0;
    watch.title = "Watch the configuration for changes";
    watch.label = "Watch for changes";
    watch.explain = Explain(
        watch,
        "Checked: while it runs, the service watches SOFTWARE\\Corvane\\Nolt\\AMB and every key "
        "below it, and after each change reads the display and touch values again: the touch "
        "controller gets its settings at once, the frame the next time it is shown or hidden. "
        "Unchecked: the values are read once, at start.",
        kFlagRule, kWhenRead);

    Policy slate;
    slate.key = Narrow(contract::kHotKeysKey);
    slate.valueName = "InitialConvertibleSlateMode";
    slate.control = Control::List;
    slate.choices = {{0, "Slate (0)"}, {1, "Clamshell (1)"}};
    slate.high = 1;
    slate.title = "Slate mode at start";
    slate.label = "Start as:";
    slate.explain = Explain(
        slate,
        "The mode the service starts in, in place of the convertible slate mode Windows reports. "
        "It holds until Windows reports a change of that mode or the clamshell/tablet hot key "
        "toggles it.",
        "The service takes 0 (slate) and 1 (clamshell); any other value, or no value, leaves "
        "what Windows reports in charge.",
        kWhenRead);

    Policy dock;
    dock.key = Narrow(contract::kHotKeysKey);
    dock.valueName = "InitialSystemDockMode";
    dock.control = Control::List;
    dock.choices = {{0, "Undocked (0)"}, {1, "Docked (1)"}};
    dock.high = 1;
    dock.title = "Dock mode at start";
    dock.label = "Start as:";
    dock.explain = Explain(
        dock,
        "The dock mode the service starts in, in place of the one Windows reports. It holds "
        "until Windows reports a change of the dock mode or the dock/undock hot key toggles it.",
        "The service takes 0 (undocked) and 1 (docked); any other value, or no value, leaves "
        "what Windows reports in charge.",
        kWhenRead);
    return {watch, slate, dock};
}

// Every value the service reads, by key: the root, the display, the touch controller, the modes
// to start in.
std::vector<Policy> AllPolicies() {
    std::vector<Policy> outside = OutsideTable();
    std::vector<Policy> policies{outside[0]};
    for (std::size_t id = 0; id < kSettingCount; ++id) {
        policies.push_back(FromSetting(static_cast<Id>(id)));
    }
    policies.insert(policies.end(), outside.begin() + 1, outside.end());
    return policies;
}

struct Category {
    const wchar_t* key;
    const char* title;
};

// Each key's policies in a category of their own below the root's.
constexpr Category kCategories[] = {
    {contract::kConfigurationKey, "Kelvo tablet frame"},
    {contract::kDisplayKey, "Display"},
    {contract::kTouchKey, "Touch controller"},
    {contract::kHotKeysKey, "Mode at start"},
};

std::string CategoryOf(const std::string& key) {
    if (key == Narrow(contract::kConfigurationKey)) return kRootCategory;
    return Leaf(key);
}

std::string Header() {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<!-- Made from the service's settings table by kelvo-policy-templates; "
           "regenerate rather than edit. -->\n";
}

std::string Value(DWORD value, const std::string& indent) {
    return indent + "<decimal value=\"" + Num(value) + "\" />\n";
}

std::string Element(const Policy& p) {
    const std::string id = "id=\"" + p.valueName + "\" valueName=\"" + p.valueName + "\"";
    switch (p.control) {
        case Control::Number:
            return "        <decimal " + id + " required=\"true\" minValue=\"" + Num(p.low) +
                   "\" maxValue=\"" + Num(p.high) + "\" />\n";
        case Control::Checkbox:
            return "        <boolean " + id + ">\n          <trueValue>\n" +
                   Value(1, "            ") + "          </trueValue>\n          <falseValue>\n" +
                   Value(0, "            ") + "          </falseValue>\n        </boolean>\n";
        case Control::List: {
            std::string text = "        <enum " + id + " required=\"true\">\n";
            for (const Choice& choice : p.choices) {
                text += "          <item displayName=\"$(string." + p.Name() + "_" +
                        Num(choice.value) + ")\">\n            <value>\n" +
                        Value(choice.value, "              ") + "            </value>\n" +
                        "          </item>\n";
            }
            return text + "        </enum>\n";
        }
    }
    return "";
}

std::string Presentation(const Policy& p) {
    const std::string ref = "refId=\"" + p.valueName + "\"";
    std::string control;
    switch (p.control) {
        case Control::Number:
            control = "<decimalTextBox " + ref +
                      (p.preset ? " defaultValue=\"" + Num(*p.preset) + "\"" : "") +
                      " spinStep=\"" + Num(p.spinStep) + "\">" + Escape(p.label) +
                      "</decimalTextBox>";
            break;
        case Control::Checkbox:
            control = "<checkBox " + ref + " defaultChecked=\"" +
                      (p.preset.value_or(0) != 0 ? "true" : "false") + "\">" + Escape(p.label) +
                      "</checkBox>";
            break;
        case Control::List: {
            std::string item;
            for (std::size_t i = 0; i < p.choices.size(); ++i) {
                if (p.preset && p.choices[i].value == *p.preset) {
                    item = " defaultItem=\"" + std::to_string(i) + "\"";
                }
            }
            control = "<dropdownList " + ref + " noSort=\"true\"" + item + ">" + Escape(p.label) +
                      "</dropdownList>";
            break;
        }
    }
    return "      <presentation id=\"" + p.Name() + "\">\n        " + control +
           "\n      </presentation>\n";
}

std::string String(const std::string& id, const std::string& text) {
    return "      <string id=\"" + id + "\">" + Escape(text) + "</string>\n";
}

std::string Admx(const std::vector<Policy>& policies) {
    std::string text = Header();
    text += std::string("<policyDefinitions revision=\"") + kRevision +
            "\" schemaVersion=\"1.0\" xmlns=\"" + kSchemaNamespace + "\">\n";
    text +=
        "  <policyNamespaces>\n"
        "    <target prefix=\"kelvo\" namespace=\"Corvane.Policies.Kelvo\" />\n"
        "  </policyNamespaces>\n";
    text += std::string("  <resources minRequiredRevision=\"") + kRevision + "\" />\n";
    text += std::string("  <supportedOn>\n    <definitions>\n      <definition name=\"") +
            kSupported + "\" displayName=\"$(string." + kSupported +
            ")\" />\n    </definitions>\n  </supportedOn>\n";
    text += "  <categories>\n";
    for (const Category& category : kCategories) {
        const std::string name = CategoryOf(Narrow(category.key));
        text +=
            "    <category name=\"" + name + "\" displayName=\"$(string.Category_" + name + ")\"";
        if (name == kRootCategory) {
            text += " />\n";
        } else {
            text += std::string(">\n      <parentCategory ref=\"") + kRootCategory +
                    "\" />\n    </category>\n";
        }
    }
    text += "  </categories>\n  <policies>\n";
    for (const Policy& p : policies) {
        const std::string name = p.Name();
        text += "    <policy name=\"" + name + "\" class=\"Machine\" displayName=\"$(string." +
                name + ")\" explainText=\"$(string." + name + "_Help)\" presentation=\"" +
                "$(presentation." + name + ")\" key=\"" + p.key + "\">\n";
        text += "      <parentCategory ref=\"" + CategoryOf(p.key) + "\" />\n";
        text += std::string("      <supportedOn ref=\"") + kSupported + "\" />\n";
        text += "      <elements>\n" + Element(p) + "      </elements>\n    </policy>\n";
    }
    return text + "  </policies>\n</policyDefinitions>\n";
}

std::string Adml(const std::vector<Policy>& policies) {
    std::string text = Header();
    text += std::string("<policyDefinitionResources revision=\"") + kRevision +
            "\" schemaVersion=\"1.0\" xmlns=\"" + kSchemaNamespace + "\">\n";
    text +=
        "  <displayName>Kelvo tablet frame</displayName>\n"
        "  <description>The configuration of the Kelvo service (Ambrel Manager): the frame it "
        "shows around the desktop on a slate and the touch controller it tells to ignore the "
        "frame's band.</description>\n";
    text += "  <resources>\n    <stringTable>\n";
    text += String(kSupported, "Convertible tablets with the Kelvo service (Ambrel Manager)");
    for (const Category& category : kCategories) {
        text += String("Category_" + CategoryOf(Narrow(category.key)), category.title);
    }
    for (const Policy& p : policies) {
        text += String(p.Name(), p.title);
        text += String(p.Name() + "_Help", p.explain);
        for (const Choice& choice : p.choices) {
            text += String(p.Name() + "_" + Num(choice.value), choice.label);
        }
    }
    text += "    </stringTable>\n    <presentationTable>\n";
    for (const Policy& p : policies) text += Presentation(p);
    return text + "    </presentationTable>\n  </resources>\n</policyDefinitionResources>\n";
}

}  // namespace

PolicyTemplates MakePolicyTemplates() {
    const std::vector<Policy> policies = AllPolicies();
    return {Admx(policies), Adml(policies)};
}

}  // namespace settings
