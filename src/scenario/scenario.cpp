#include "scenario/scenario.h"

#include <array>
#include <cstdio>

namespace kelvo::host {

// {6FE69556-704A-47A0-8F24-C28D936FDA47}
const GUID kGuidConsoleDisplayState = {
    0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
// {98A7F580-01F7-48AA-9C0F-44352C29E5C0}
const GUID kGuidSystemAwayMode = {
    0x98A7F580, 0x01F7, 0x48AA, {0x9C, 0x0F, 0x44, 0x35, 0x2C, 0x29, 0xE5, 0xC0}};
// {E6DFDC31-31D0-46AC-86AF-DA1EB05FC599}
const GUID kGuidGfxModeSetInterface = {
    0xE6DFDC31, 0x31D0, 0x46AC, {0x86, 0xAF, 0xDA, 0x1E, 0xB0, 0x5F, 0xC5, 0x99}};

namespace {

constexpr std::uint64_t kMaxWait = 0xFFFFFFFFu;
constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;
constexpr std::uint64_t kMax64 = ~std::uint64_t{0};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A token as an error message shows it: printable ASCII as it stands, quotes and other bytes as
// \xNN, and cut when long, so that no input can garble the terminal.
std::string Quote(std::string_view token) {
    constexpr std::size_t kShown = 40;
    std::string out = "\"";
    for (std::size_t i = 0; i < token.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c < 0x7F && c != '"') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        }
    }
    if (token.size() > kShown) out += "...";
    return out + "\"";
}

// Strict UTF-8 to wide text; none for malformed input or a NUL, which no Windows name holds.
std::optional<std::wstring> Widen(std::string_view text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        char32_t c;
        std::size_t length;
        if (lead < 0x80) {
            c = lead;
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            c = lead & 0x1F;
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            c = lead & 0x0F;
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            c = lead & 0x07;
            length = 4;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size()) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (next & 0x3F);
        }
        const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
        if (overlong || c == 0 || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            return std::nullopt;
        }
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0x10000) {
                c -= 0x10000;
                out += static_cast<wchar_t>(0xD800 + (c >> 10));
                out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            } else {
                out += static_cast<wchar_t>(c);
            }
        } else {
            out += static_cast<wchar_t>(c);
        }
        i += length;
    }
    return out;
}

std::optional<std::uint64_t> ParseNumber(std::string_view token) {
    std::uint64_t value = 0;
    int base = 10;
    std::string_view digits = token;
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        base = 16;
        digits = token.substr(2);
    }
    if (digits.empty()) return std::nullopt;
    for (char c : digits) {
        const int digit = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0) return std::nullopt;
        if (value > (kMax64 - static_cast<unsigned>(digit)) / static_cast<unsigned>(base)) {
            return std::nullopt;
        }
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    return value;
}

bool IsNumberShaped(std::string_view token) {
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
        for (char c : token.substr(2)) {
            if (HexDigit(c) < 0) return false;
        }
        return true;
    }
    if (token.empty()) return false;
    for (char c : token) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::optional<GUID> ParseGuid(std::string_view token) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (token.size() != 38 || token.front() != '{' || token.back() != '}') return std::nullopt;
    std::array<int, 32> nibbles{};
    std::size_t n = 0;
    for (std::size_t i = 1; i < 37; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash) {
            if (token[i] != '-') return std::nullopt;
            continue;
        }
        const int digit = HexDigit(token[i]);
        if (digit < 0) return std::nullopt;
        nibbles[n++] = digit;
    }
    auto take = [&](std::size_t from, std::size_t count) {
        std::uint64_t value = 0;
        for (std::size_t k = 0; k < count; ++k) value = (value << 4) | nibbles[from + k];
        return value;
    };
    GUID guid{};
    guid.Data1 = static_cast<DWORD>(take(0, 8));
    guid.Data2 = static_cast<WORD>(take(8, 4));
    guid.Data3 = static_cast<WORD>(take(12, 4));
    for (std::size_t k = 0; k < 8; ++k) guid.Data4[k] = static_cast<BYTE>(take(16 + 2 * k, 2));
    return guid;
}

// A key path below the configuration root: "." for the root, else names separated by single
// backslashes.
std::optional<std::wstring> ParseKey(std::string_view token) {
    if (token == ".") return std::wstring();
    if (token.empty() || token.front() == '\\' || token.back() == '\\' ||
        token.find("\\\\") != std::string_view::npos) {
        return std::nullopt;
    }
    return Widen(token);
}

// The words of one line and where each began, so that a command can take the rest as written.
struct Words {
    std::vector<std::string_view> words;
    std::vector<std::size_t> starts;
};

Words Split(std::string_view text) {
    Words out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        if (i == text.size()) break;
        const std::size_t start = i;
        while (i < text.size() && !IsBlank(text[i])) ++i;
        out.words.push_back(text.substr(start, i - start));
        out.starts.push_back(start);
    }
    return out;
}

class LineParser {
public:
    LineParser(std::string_view text, int line, int buttons, std::string* error)
        : _text(text), _words(Split(text)), _line(line), _buttons(buttons), _error(error) {}

    std::optional<Command> Parse() {
        if (_words.words.empty()) return std::nullopt;
        _command = _words.words[0];
        std::optional<Action> action = ParseAction();
        if (!action) return std::nullopt;
        return Command{_line, std::move(*action)};
    }

private:
    std::optional<Action> ParseAction() {
        if (_command == "wait") return Wait_();
        if (_command == "metric") return Metric();
        if (_command == "setting") return Setting();
        if (_command == "power") return Power();
        if (_command == "display") return Display();
        if (_command == "awaymode") return AwayMode();
        if (_command == "device") return Device();
        if (_command == "gfxmode") return GfxMode();
        if (_command == "hotkey") return HotKey_();
        if (_command == "button") return Button();
        if (_command == "registry") return Registry();
        if (_command == "post") return Post();
        if (_command == "unplug" || _command == "pull" || _command == "plug" ||
            _command == "open" || _command == "close") {
            return Plug();
        }
        if (_command == "gfx") return Gfx();
        if (_command == "stop") return Stop_();
        Fail("unknown command " + Quote(_command));
        return std::nullopt;
    }

    static constexpr const char* kUsage[][2] = {
        {"wait", "wait MS"},
        {"metric", "metric slate|docked 0|1"},
        {"setting", "setting NAME"},
        {"power",
         "power suspend|standby|resumecritical|resumesuspend|resumestandby|batterylow|"
         "powerstatus|resumeautomatic|oem CODE|raw VALUE"},
        {"display", "display off|on|dimmed"},
        {"awaymode", "awaymode enter|exit"},
        {"device", "device ARRIVAL|REMOVAL {CLASS-GUID}"},
        {"gfxmode", "gfxmode"},
        {"hotkey", "hotkey slate|dock|lock|unlock|toggle"},
        {"button", "button INDEX BYTES..."},
        {"registry", "registry set KEY VALUE N | registry delete KEY VALUE"},
        {"post", "post TYPE"},
        {"unplug", "unplug touch|button INDEX"},
        {"pull", "pull touch|button INDEX"},
        {"plug", "plug touch|button INDEX"},
        {"open", "open touch|button INDEX"},
        {"close", "close touch|button INDEX"},
        {"gfx", "gfx off|on"},
        {"stop", "stop"},
    };

    std::string Usage() const {
        for (const auto& usage : kUsage) {
            if (_command == usage[0]) return usage[1];
        }
        return {};
    }

    void Fail(const std::string& message) {
        if (_error) *_error = "line " + std::to_string(_line) + ": " + message;
    }
    void FailCommand(const std::string& message) { Fail(std::string(_command) + ": " + message); }

    std::size_t Count() const { return _words.words.size(); }
    std::string_view Word(std::size_t i) const { return _words.words[i]; }

    // The word at i must be there, and nothing after the last argument.
    bool Have(std::size_t i, const char* what) {
        if (i < Count()) return true;
        FailCommand(std::string("missing ") + what + " (usage: " + Usage() + ")");
        return false;
    }
    bool End(std::size_t arguments) {
        if (Count() <= arguments + 1) return true;
        FailCommand("unexpected " + Quote(Word(arguments + 1)) + " (usage: " + Usage() + ")");
        return false;
    }
    template <class T, std::size_t N>
    std::optional<T> Choose(std::size_t i, const char* what,
                            const std::pair<std::string_view, T> (&choices)[N]) {
        if (!Have(i, what)) return std::nullopt;
        for (const auto& [word, value] : choices) {
            if (Word(i) == word) return value;
        }
        FailCommand(std::string("expected ") + what + ", got " + Quote(Word(i)));
        return std::nullopt;
    }
    std::optional<std::uint64_t> Number(std::size_t i, const char* what, std::uint64_t max) {
        if (!Have(i, what)) return std::nullopt;
        const std::optional<std::uint64_t> value = ParseNumber(Word(i));
        if (!value && !IsNumberShaped(Word(i))) {
            FailCommand(std::string("expected ") + what + " (a decimal or 0x number), got " +
                        Quote(Word(i)));
            return std::nullopt;
        }
        if (!value || *value > max) {
            FailCommand(std::string(what) + " " + Quote(Word(i)) + " is out of range 0.." +
                        std::to_string(max));
            return std::nullopt;
        }
        return value;
    }

    std::optional<Action> Wait_() {
        const auto ms = Number(1, "MS", kMaxWait);
        if (!ms || !End(1)) return std::nullopt;
        return Wait{*ms};
    }

    std::optional<Action> Metric() {
        static constexpr std::pair<std::string_view, int> kMetrics[] = {
            {"slate", SM_CONVERTIBLESLATEMODE}, {"docked", SM_SYSTEMDOCKED}};
        static constexpr std::pair<std::string_view, int> kValues[] = {{"0", 0}, {"1", 1}};
        const auto metric = Choose(1, "slate|docked", kMetrics);
        if (!metric) return std::nullopt;
        const auto value = Choose(2, "0|1", kValues);
        if (!value || !End(2)) return std::nullopt;
        return SetMetric{*metric, *value};
    }

    // The name is the rest of the line as written: inner blanks and letter case kept.
    std::optional<Action> Setting() {
        if (!Have(1, "NAME")) return std::nullopt;
        const std::optional<std::wstring> name = Widen(_text.substr(_words.starts[1]));
        if (!name) {
            FailCommand("NAME is not valid UTF-8 text");
            return std::nullopt;
        }
        return SettingChange{*name};
    }

    std::optional<Action> Power() {
        static constexpr std::pair<std::string_view, DWORD> kTypes[] = {
            {"suspend", PBT_APMSUSPEND},
            {"standby", PBT_APMSTANDBY},
            {"resumecritical", PBT_APMRESUMECRITICAL},
            {"resumesuspend", PBT_APMRESUMESUSPEND},
            {"resumestandby", PBT_APMRESUMESTANDBY},
            {"batterylow", PBT_APMBATTERYLOW},
            {"powerstatus", PBT_APMPOWERSTATUSCHANGE},
            {"resumeautomatic", PBT_APMRESUMEAUTOMATIC},
            {"oem", PBT_APMOEMEVENT},
            {"raw", 0},
        };
        const auto type = Choose(1, "a power event type", kTypes);
        if (!type) return std::nullopt;
        if (Word(1) == "oem") {
            const auto code = Number(2, "CODE", kMax64);
            if (!code || !End(2)) return std::nullopt;
            return PowerEvent{PBT_APMOEMEVENT, static_cast<LPARAM>(*code)};
        }
        if (Word(1) == "raw") {
            const auto value = Number(2, "VALUE", kMax32);
            if (!value || !End(2)) return std::nullopt;
            return PowerEvent{static_cast<DWORD>(*value), 0};
        }
        if (!End(1)) return std::nullopt;
        return PowerEvent{*type, 0};
    }

    std::optional<Action> Display() {
        static constexpr std::pair<std::string_view, DWORD> kStates[] = {
            {"off", 0}, {"on", 1}, {"dimmed", 2}};
        const auto state = Choose(1, "off|on|dimmed", kStates);
        if (!state || !End(1)) return std::nullopt;
        return PowerSettingChange{kGuidConsoleDisplayState, *state};
    }

    std::optional<Action> AwayMode() {
        static constexpr std::pair<std::string_view, DWORD> kStates[] = {{"enter", 1}, {"exit", 0}};
        const auto state = Choose(1, "enter|exit", kStates);
        if (!state || !End(1)) return std::nullopt;
        return PowerSettingChange{kGuidSystemAwayMode, *state};
    }

    std::optional<Action> Device() {
        static constexpr std::pair<std::string_view, DWORD> kCodes[] = {
            {"ARRIVAL", DBT_DEVICEARRIVAL}, {"REMOVAL", DBT_DEVICEREMOVECOMPLETE}};
        const auto code = Choose(1, "ARRIVAL|REMOVAL", kCodes);
        if (!code || !Have(2, "{CLASS-GUID}")) return std::nullopt;
        const std::optional<GUID> guid = ParseGuid(Word(2));
        if (!guid) {
            FailCommand("expected {CLASS-GUID} as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, got " +
                        Quote(Word(2)));
            return std::nullopt;
        }
        if (!End(2)) return std::nullopt;
        return DeviceInterfaceChange{*code, *guid};
    }

    std::optional<Action> GfxMode() {
        if (!End(0)) return std::nullopt;
        return DeviceInterfaceChange{DBT_DEVICEARRIVAL, kGuidGfxModeSetInterface};
    }

    std::optional<Action> HotKey_() {
        static constexpr std::pair<std::string_view, HotKey> kKeys[] = {
            {"slate", HotKey::Slate},   {"dock", HotKey::Dock},     {"lock", HotKey::Lock},
            {"unlock", HotKey::Unlock}, {"toggle", HotKey::Toggle},
        };
        const auto key = Choose(1, "slate|dock|lock|unlock|toggle", kKeys);
        if (!key || !End(1)) return std::nullopt;
        return PressHotKey{*key};
    }

    // The button device named at i.
    std::optional<int> ButtonIndex(std::size_t i) {
        const auto index = Number(i, "INDEX", kMax64);
        if (!index) return std::nullopt;
        if (*index >= static_cast<std::uint64_t>(_buttons)) {
            FailCommand("no button device " + std::string(Word(i)) + " (there " +
                        (_buttons == 1 ? "is 1" : "are " + std::to_string(_buttons)) + ")");
            return std::nullopt;
        }
        return static_cast<int>(*index);
    }

    std::optional<Action> Plug() {
        enum class Device { Touch, Button };
        static constexpr std::pair<std::string_view, Device> kDevices[] = {
            {"touch", Device::Touch}, {"button", Device::Button}};
        const auto device = Choose(1, "touch|button", kDevices);
        if (!device) return std::nullopt;
        std::optional<int> index = PlugDevice::kTouchController;
        if (*device == Device::Touch) {
            if (!End(1)) return std::nullopt;
        } else {
            index = ButtonIndex(2);
            if (!index || !End(2)) return std::nullopt;
        }
        if (_command == "open" || _command == "close")
            return HoldDevice{*index, _command == "open"};
        return PlugDevice{*index, _command == "plug", _command == "pull"};
    }

    std::optional<Action> Gfx() {
        static constexpr std::pair<std::string_view, bool> kStates[] = {{"off", false},
                                                                        {"on", true}};
        const auto registered = Choose(1, "off|on", kStates);
        if (!registered || !End(1)) return std::nullopt;
        return GfxDriver{*registered};
    }

    std::optional<Action> Button() {
        const auto index = ButtonIndex(1);
        if (!index) return std::nullopt;
        if (!Have(2, "BYTES")) return std::nullopt;
        if (Count() - 2 > kButtonReportLength) {
            FailCommand(std::to_string(Count() - 2) + " bytes; a report holds at most " +
                        std::to_string(kButtonReportLength));
            return std::nullopt;
        }
        std::vector<BYTE> report(kButtonReportLength, 0);
        for (std::size_t i = 2; i < Count(); ++i) {
            const std::string_view word = Word(i);
            if (word.size() != 2 || HexDigit(word[0]) < 0 || HexDigit(word[1]) < 0) {
                FailCommand("expected a byte (two hex digits), got " + Quote(word));
                return std::nullopt;
            }
            report[i - 2] = static_cast<BYTE>(HexDigit(word[0]) * 16 + HexDigit(word[1]));
        }
        return ButtonReport{*index, std::move(report)};
    }

    std::optional<Action> Registry() {
        enum class Op { Set, Delete };
        static constexpr std::pair<std::string_view, Op> kOps[] = {{"set", Op::Set},
                                                                   {"delete", Op::Delete}};
        const auto op = Choose(1, "set|delete", kOps);
        if (!op || !Have(2, "KEY")) return std::nullopt;
        const std::optional<std::wstring> key = ParseKey(Word(2));
        if (!key) {
            FailCommand("KEY " + Quote(Word(2)) +
                        " is not . or names separated by single backslashes");
            return std::nullopt;
        }
        if (!Have(3, "VALUE")) return std::nullopt;
        const std::optional<std::wstring> value = Widen(Word(3));
        if (!value) {
            FailCommand("VALUE is not valid UTF-8 text");
            return std::nullopt;
        }
        if (*op == Op::Delete) {
            if (!End(3)) return std::nullopt;
            return RegistryDelete{*key, *value};
        }
        const auto data = Number(4, "N", kMax32);
        if (!data || !End(4)) return std::nullopt;
        return RegistrySet{*key, *value, static_cast<DWORD>(*data)};
    }

    std::optional<Action> Post() {
        const auto type = Number(1, "TYPE", kMax64);
        if (!type || !End(1)) return std::nullopt;
        return PostMonitorEvent{static_cast<WPARAM>(*type)};
    }

    std::optional<Action> Stop_() {
        if (!End(0)) return std::nullopt;
        return Stop{};
    }

    std::string_view _text;
    Words _words;
    int _line;
    int _buttons;
    std::string* _error;
    std::string_view _command;
};

// The line without its comment and without blanks at its end.
std::string_view Content(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t comment = line.find('#');
    if (comment != std::string_view::npos) line = line.substr(0, comment);
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    return line;
}

}  // namespace

std::optional<Command> ParseScenarioLine(std::string_view line, int lineNumber, int buttons,
                                         std::string* error) {
    if (error) error->clear();
    return LineParser(Content(line), lineNumber, buttons, error).Parse();
}

std::optional<Scenario> ParseScenario(std::string_view text, int buttons, std::string* error) {
    // Editors on Windows may begin the file with a byte order mark.
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    Scenario scenario;
    int stopLine = 0;
    int lineNumber = 0;
    std::string lineError;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        std::optional<Command> command = ParseScenarioLine(line, lineNumber, buttons, &lineError);
        if (!command) {
            if (lineError.empty()) continue;
            if (error) *error = lineError;
            return std::nullopt;
        }
        if (stopLine != 0) {
            if (error) {
                *error = "line " + std::to_string(lineNumber) + ": nothing may follow stop (line " +
                         std::to_string(stopLine) + ")";
            }
            return std::nullopt;
        }
        if (std::holds_alternative<Stop>(command->action)) stopLine = lineNumber;
        scenario.commands.push_back(std::move(*command));
    }
    if (error) error->clear();
    return scenario;
}

}  // namespace kelvo::host
