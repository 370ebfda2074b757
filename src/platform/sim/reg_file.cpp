#include "platform/sim/reg_file.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/sim/utf8.h"

namespace platform::sim {

namespace {

constexpr std::u32string_view kHeaderV5 = U"Windows Registry Editor Version 5.00";
constexpr std::u32string_view kHeaderV4 = U"REGEDIT4";
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxSkippedNamed = 1000;
// The registry editor wraps hex data once a line reaches this column.
constexpr std::size_t kHexWrapColumn = 77;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// ---- text conversions ----

// Strict UTF-8; on failure, errorAt is the offset of the bad sequence.
bool DecodeUtf8(std::string_view in, std::u32string& out, std::size_t& errorAt) {
    out.clear();
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        std::size_t length = 0;
        char32_t c = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            c = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            c = b0 & 0x0F;
            if (b0 == 0xE0) low = 0xA0;
            if (b0 == 0xED) high = 0x9F;  // no surrogates
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            c = b0 & 0x07;
            if (b0 == 0xF0) low = 0x90;
            if (b0 == 0xF4) high = 0x8F;
        } else {
            errorAt = i;
            return false;
        }
        if (in.size() - i < length) {
            errorAt = i;
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<unsigned char>(in[i + k]);
            if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) {
                errorAt = i;
                return false;
            }
            c = (c << 6) | (b & 0x3F);
        }
        out.push_back(c);
        i += length;
    }
    return true;
}

std::string Utf8(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) AppendUtf8(out, c > 0x10FFFF || IsSurrogate(c) ? U'\uFFFD' : c);
    return out;
}

// UTF-16 code units (little-endian byte pairs) to code points; a surrogate without its partner
// stays as it is, so that any unit sequence comes back unchanged.
std::u32string DecodeUtf16(const BYTE* data, std::size_t units) {
    std::u32string out;
    out.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        const char32_t u = data[2 * i] | (data[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char32_t v = data[2 * i + 2] | (data[2 * i + 3] << 8);
            if (v >= 0xDC00 && v <= 0xDFFF) {
                out.push_back(0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                ++i;
                continue;
            }
        }
        out.push_back(u);
    }
    return out;
}

void AppendUtf16(std::vector<BYTE>& out, char32_t c) {
    auto unit = [&out](char32_t u) {
        out.push_back(static_cast<BYTE>(u & 0xFF));
        out.push_back(static_cast<BYTE>(u >> 8));
    };
    if (c > 0x10FFFF) c = 0xFFFD;
    if (c >= 0x10000) {
        unit(0xD800 + ((c - 0x10000) >> 10));
        unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        unit(c);
    }
}

void AppendHost(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(c);
}

std::wstring Host(std::u32string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (char32_t c : text) AppendHost(out, c);
    return out;
}

// The code points of host text.
std::u32string CodePoints(std::wstring_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            c &= 0xFFFF;
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                const char32_t d = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
                if (d >= 0xDC00 && d <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
                    ++i;
                }
            }
        }
        out.push_back(c);
    }
    return out;
}

std::vector<BYTE> HostBytes(std::wstring_view text) {
    std::vector<BYTE> out(text.size() * sizeof(wchar_t));
    if (!out.empty()) std::memcpy(out.data(), text.data(), out.size());
    return out;
}

// String data of a Version 5.00 file (UTF-16LE) as the registry keeps it; an odd last byte is
// kept as it is.
std::vector<BYTE> Utf16DataToHost(const std::vector<BYTE>& data) {
    std::vector<BYTE> out = HostBytes(Host(DecodeUtf16(data.data(), data.size() / 2)));
    if (data.size() % 2 != 0) out.push_back(data.back());
    return out;
}

// The reverse: whole host units become UTF-16LE, a trailing part of a unit is kept as it is.
std::vector<BYTE> HostDataToUtf16(const std::vector<BYTE>& data) {
    const std::size_t units = data.size() / sizeof(wchar_t);
    std::wstring text(units, L'\0');
    if (units != 0) std::memcpy(text.data(), data.data(), units * sizeof(wchar_t));
    std::vector<BYTE> out;
    out.reserve(data.size());
    for (char32_t c : CodePoints(text)) AppendUtf16(out, c);
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(units * sizeof(wchar_t)),
               data.end());
    return out;
}

// Whether HostDataToUtf16 gives back exactly what reading the file turns into these bytes again.
bool Utf16Faithful(const std::vector<BYTE>& data) {
    if constexpr (sizeof(wchar_t) == 2) return true;
    const std::size_t units = data.size() / sizeof(wchar_t);
    std::wstring text(units, L'\0');
    if (units != 0) std::memcpy(text.data(), data.data(), units * sizeof(wchar_t));
    for (std::size_t i = 0; i < units; ++i) {
        const auto c = static_cast<char32_t>(text[i]);
        if (c > 0x10FFFF) return false;
        // Two halves of a pair, kept apart here, would come back joined.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// ---- parsing ----

// Text without a byte order mark is read as UTF-8 when it is valid UTF-8, otherwise in the ANSI
// code page of a Western European Windows (1252), as reg import reads it there.
std::u32string DecodeNarrow(std::string_view bytes) {
    std::u32string text;
    std::size_t bad = 0;
    if (DecodeUtf8(bytes, text, bad)) return text;
    static constexpr char16_t kHigh1252[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    text.clear();
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        text.push_back(b >= 0x80 && b < 0xA0 ? kHigh1252[b - 0x80] : b);
    }
    return text;
}

bool IsBlank(char32_t c) { return c == U' ' || c == U'\t'; }

std::u32string_view TrimLeft(std::u32string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::u32string_view TrimRight(std::u32string_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigit(char32_t c) {
    if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
    if (c >= U'a' && c <= U'f') return static_cast<int>(c - U'a' + 10);
    if (c >= U'A' && c <= U'F') return static_cast<int>(c - U'A' + 10);
    return -1;
}

char32_t AsciiUpper(char32_t c) { return c >= U'a' && c <= U'z' ? c - (U'a' - U'A') : c; }

bool EqualsIgnoringCase(std::u32string_view a, std::u32string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char32_t x, char32_t y) { return AsciiUpper(x) == AsciiUpper(y); });
}

std::string Line(std::size_t index) { return "line " + std::to_string(index + 1); }

// One key of a file, as its line leaves it: made (with its value changes) or deleted.
struct Section {
    HKEY root = nullptr;
    std::wstring path;
    bool deleting = false;
    std::vector<RegValueChange> changes;
};

// Reads a file line by line as reg import does: a line it cannot read is skipped (and noted
// here), and the rest goes on; only a file without a header it knows is refused as a whole.
class Parser {
public:
    explicit Parser(std::u32string_view text) {
        std::size_t start = 0;
        while (true) {
            const std::size_t end = text.find(U'\n', start);
            std::u32string_view line = text.substr(start, end - start);
            if (!line.empty() && line.back() == U'\r') line.remove_suffix(1);
            _lines.push_back(line);
            if (end == std::u32string_view::npos) break;
            start = end + 1;
        }
    }

    std::optional<RegFileError> Parse(std::vector<Section>& sections,
                                      std::vector<RegFileError>& skipped) {
        // The header may be indented; its words and case are as the registry editor writes them.
        // Any other header that begins "REGEDIT" ("REGEDIT3", "REGEDIT 4") is a Windows 3.1 file.
        const std::u32string_view header = TrimRight(TrimLeft(_lines[0]));
        const bool win31 = header != kHeaderV5 && header != kHeaderV4 &&
                           header.substr(0, 7) == kHeaderV4.substr(0, 7);
        if (header != kHeaderV5 && header != kHeaderV4 && !win31) {
            return RegFileError{1,
                                "expected \"Windows Registry Editor Version 5.00\" or "
                                "\"REGEDIT4\""};
        }
        _regedit4 = header == kHeaderV4;
        _header = Utf8(header);
        for (_index = 1; _index < _lines.size(); ++_index) {
            const std::u32string_view line = TrimLeft(_lines[_index]);
            if (line.empty()) continue;
            if (win31) {
                Win31Line(_lines[_index]);
            } else if (line.front() == U';' || line.front() == U'#') {
                continue;
            } else if (line.front() == U'[') {
                Key(line);
            } else if (line.front() == U'"' || line.front() == U'@') {
                Value(line);
            } else {
                Skip("expected a key in [brackets], a value or a comment");
            }
        }
        if (_moreSkipped != 0) {
            _skipped.push_back(RegFileError{0, std::to_string(_moreSkipped) + " more lines"});
        }
        sections = std::move(_sections);
        skipped = std::move(_skipped);
        return std::nullopt;
    }

private:
    // The first lines skipped are named; a file of little else would take memory by the line.
    void Skip(std::string message) {
        if (_skipped.size() < kMaxSkippedNamed) {
            _skipped.push_back(RegFileError{static_cast<int>(_index + 1), std::move(message)});
        } else {
            ++_moreSkipped;
        }
    }

    // The checks a key path passes before the registry is asked; empty if it passes.
    static std::string PathFault(std::u32string_view path) {
        std::size_t depth = 0;
        for (std::size_t start = 0; !path.empty();) {
            const std::size_t end = path.find(U'\\', start);
            const std::size_t length =
                (end == std::u32string_view::npos ? path.size() : end) - start;
            if (length == 0) return "empty key name in the path";
            if (length > kMaxKeyNameLength) return "key name longer than 255 characters";
            if (++depth > SimRegistry::kMaxDepth) return "key path deeper than 512 keys";
            if (end == std::u32string_view::npos) break;
            start = end + 1;
        }
        return {};
    }

    // [ROOT\path] or [-ROOT\path]: the root right after the bracket (or the minus), the last ']'
    // closes it. Until the next key, values go to this key; after a deletion or a key that is
    // not read, they go nowhere.
    void Key(std::u32string_view line) {
        _key = KeyState::Unusable;
        _keyLine = _index;
        const std::size_t close = line.rfind(U']');
        if (close == std::u32string_view::npos) return Skip("expected ']' at the end of the key");
        std::u32string_view inside = line.substr(1, close - 1);
        const bool deleting = !inside.empty() && inside.front() == U'-';
        if (deleting) inside.remove_prefix(1);

        const std::size_t slash = inside.find(U'\\');
        const std::u32string_view rootName = inside.substr(0, slash);
        static const struct {
            std::u32string_view name;
            HKEY root;
        } kRoots[] = {{U"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                      {U"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                      {U"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};
        const auto* root = std::find_if(std::begin(kRoots), std::end(kRoots), [&](const auto& r) {
            return EqualsIgnoringCase(rootName, r.name);
        });
        if (root == std::end(kRoots)) return Skip("unknown root key \"" + Utf8(rootName) + "\"");
        std::u32string_view path =
            slash == std::u32string_view::npos ? std::u32string_view() : inside.substr(slash + 1);
        while (!path.empty() && path.back() == U'\\') path.remove_suffix(1);
        if (std::string fault = PathFault(path); !fault.empty()) return Skip(std::move(fault));
        if (deleting && path.empty()) return Skip("cannot delete a root key");

        Section section;
        section.root = root->root;
        section.path = Host(path);
        section.deleting = deleting;
        _sections.push_back(std::move(section));
        _key = deleting ? KeyState::Deleted : KeyState::Open;
    }

    // A quoted name or string from pos (on the opening quote) to past the closing one; the only
    // escapes are a backslash or a quote after a backslash. Empty message: read.
    static std::string Quoted(std::u32string_view line, std::size_t& pos, std::u32string& out,
                              const char* unterminated) {
        out.clear();
        for (++pos; pos < line.size(); ++pos) {
            char32_t c = line[pos];
            if (c == U'"') {
                ++pos;
                return {};
            }
            if (c == U'\\') {
                if (pos + 1 >= line.size() || (line[pos + 1] != U'\\' && line[pos + 1] != U'"')) {
                    return "expected \\\\ or \\\" after \\";
                }
                c = line[++pos];
            }
            out.push_back(c);
        }
        return unterminated;
    }

    static void SkipBlanks(std::u32string_view line, std::size_t& pos) {
        while (pos < line.size() && IsBlank(line[pos])) ++pos;
    }

    // Whether nothing but blanks and a ';' comment follows; '#' starts no comment after data.
    static bool EndsAt(std::u32string_view line, std::size_t pos) {
        SkipBlanks(line, pos);
        return pos >= line.size() || line[pos] == U';';
    }

    static const char* TextAfter(std::u32string_view line, std::size_t pos) {
        SkipBlanks(line, pos);
        return line[pos] == U'#' ? "'#' after a value starts no comment"
                                 : "unexpected text after the value";
    }

    void Value(std::u32string_view line) {
        std::size_t pos = 0;
        std::u32string name;
        if (line.front() == U'@') {
            pos = 1;
        } else if (std::string fault = Quoted(line, pos, name, "unterminated value name");
                   !fault.empty()) {
            return Skip(std::move(fault));
        }
        SkipBlanks(line, pos);
        if (pos >= line.size() || line[pos] != U'=') {
            return Skip("expected '=' after the value name");
        }
        ++pos;
        SkipBlanks(line, pos);
        const std::u32string_view data = line.substr(pos);

        const std::size_t first = _index;
        RegValueChange change;
        RegValue& value = change.value;
        value.name = Host(name);
        if (data.starts_with(U'-')) {
            if (!EndsAt(line, pos + 1)) return Skip(TextAfter(line, pos + 1));
            change.erase = true;
        } else if (data.starts_with(U'"')) {
            std::u32string text;
            if (std::string fault = Quoted(line, pos, text, "unterminated string");
                !fault.empty()) {
                return Skip(std::move(fault));
            }
            if (!EndsAt(line, pos)) return Skip(TextAfter(line, pos));
            value.type = REG_SZ;
            value.data = HostBytes(Host(text) + L'\0');
        } else if (data.starts_with(U"dword:")) {
            pos += 6;
            SkipBlanks(line, pos);
            DWORD dword = 0;
            int digits = 0;
            for (; pos < line.size() && HexDigit(line[pos]) >= 0; ++pos, ++digits) {
                dword = (dword << 4) | static_cast<DWORD>(HexDigit(line[pos]));
            }
            if (digits == 0 || digits > 8) return Skip("expected 1 to 8 hex digits after dword:");
            if (!EndsAt(line, pos)) return Skip(TextAfter(line, pos));
            value.type = REG_DWORD;
            value.data.resize(sizeof dword);
            std::memcpy(value.data.data(), &dword, sizeof dword);
        } else if (data.starts_with(U"hex:") || data.starts_with(U"hex(")) {
            std::string fault = HexValue(line, pos + 3, value);
            if (!fault.empty()) {
                if (_index != first) fault += " (in the value from " + Line(first) + ")";
                return Skip(std::move(fault));
            }
        } else {
            return Skip("expected a string, dword:, hex:, hex(type): or - after '='");
        }
        if (_key == KeyState::Open) {
            _sections.back().changes.push_back(std::move(change));
        } else if (_key == KeyState::None) {
            Skip("value outside of a key");
        } else {
            Skip("value under the key of " + Line(_keyLine) +
                 (_key == KeyState::Deleted ? ", which is deleted" : ", which is not read"));
        }
    }

    // hex: or hex(type): and its bytes, two hex digits each, parted by commas; a ',' and '\' at
    // the end of a line continue them on the next line that is not blank or a ';' comment (the
    // end of the file ends them too). Empty message: read.
    std::string HexValue(std::u32string_view line, std::size_t pos, RegValue& value) {
        value.type = REG_BINARY;
        if (line[pos] == U'(') {
            DWORD type = 0;
            std::size_t digits = 0;
            for (++pos; pos < line.size() && HexDigit(line[pos]) >= 0; ++pos, ++digits) {
                type = (type << 4) | static_cast<DWORD>(HexDigit(line[pos]));
            }
            if (digits == 0 || digits > 8 || pos + 1 >= line.size() || line[pos] != U')' ||
                line[pos + 1] != U':') {
                return "expected hex(type): with the type in 1 to 8 hex digits";
            }
            ++pos;
            value.type = type;
        }
        ++pos;  // the ':'
        enum class At { Start, AfterComma, AfterByte, Continued } at = At::Start;
        while (true) {
            SkipBlanks(line, pos);
            const char32_t c = pos < line.size() ? line[pos] : U'\0';
            if (at == At::AfterByte) {
                if (c == U'\0' || c == U';') break;
                if (c != U',') return c == U'\\' ? "expected ',' before '\\'" : "expected ','";
                ++pos;
                at = At::AfterComma;
                continue;
            }
            if (at != At::Continued && (c == U'\0' || c == U';')) break;
            if (at != At::Continued && c == U'\\') {
                if (!EndsAt(line, pos + 1)) return "unexpected text after '\\'";
                do {
                    if (++_index >= _lines.size()) {
                        --_index;  // the end of the file ends the data
                        return StringData(value);
                    }
                    line = TrimLeft(_lines[_index]);
                } while (line.empty() || line.front() == U';');
                pos = 0;
                at = At::Continued;
                continue;
            }
            const int high = HexDigit(c);
            const int low = pos + 1 < line.size() ? HexDigit(line[pos + 1]) : -1;
            if (high < 0 || low < 0) {
                return at == At::Continued ? "expected bytes on the continued line"
                                           : "expected a byte as two hex digits";
            }
            value.data.push_back(static_cast<BYTE>((high << 4) | low));
            pos += 2;
            at = At::AfterByte;
        }
        return StringData(value);
    }

    // hex(2) and hex(7) data end in a NUL character (one is added if missing); in a REGEDIT4
    // file, string data is narrow text, in a Version 5.00 file UTF-16LE.
    std::string StringData(RegValue& value) const {
        std::vector<BYTE>& data = value.data;
        const std::size_t unit = _regedit4 ? 1 : 2;
        if ((value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) && !data.empty() &&
            data.size() % unit == 0 &&
            std::any_of(data.end() - static_cast<std::ptrdiff_t>(unit), data.end(),
                        [](BYTE b) { return b != 0; })) {
            data.insert(data.end(), unit, 0);
        }
        if (!IsStringType(value.type)) return {};
        if (!_regedit4) {
            data = Utf16DataToHost(data);
        } else {
            data = HostBytes(Host(DecodeNarrow(
                std::string_view(reinterpret_cast<const char*>(data.data()), data.size()))));
        }
        return {};
    }

    // A line of a Windows 3.1 file: "HKEY_CLASSES_ROOT\path", then the key's default value
    // after blanks (and a '=' with one blank after it).
    void Win31Line(std::u32string_view line) {
        constexpr std::u32string_view kPrefix = U"HKEY_CLASSES_ROOT\\";
        if (!line.starts_with(kPrefix)) {
            return Skip("not a \"HKEY_CLASSES_ROOT\\...\" line, the only kind a \"" + _header +
                        "\" file holds");
        }
        line.remove_prefix(kPrefix.size());
        const std::size_t space = std::min(line.find(U' '), line.size());
        std::u32string_view path = line.substr(0, space);
        while (!path.empty() && path.back() == U'\\') path.remove_suffix(1);
        if (std::string fault = PathFault(path); !fault.empty()) return Skip(std::move(fault));
        std::u32string_view text = TrimLeft(line.substr(space));
        if (text.starts_with(U'=')) {
            text.remove_prefix(1);
            if (text.starts_with(U' ')) text.remove_prefix(1);
        }
        RegValueChange change;
        change.value.type = REG_SZ;
        change.value.data = HostBytes(Host(text) + L'\0');
        Section section;
        section.root = HKEY_CLASSES_ROOT;
        section.path = Host(path);
        section.changes.push_back(std::move(change));
        _sections.push_back(std::move(section));
    }

    enum class KeyState { None, Open, Deleted, Unusable };

    std::vector<std::u32string_view> _lines;
    std::size_t _index = 0;
    bool _regedit4 = false;
    std::string _header;
    KeyState _key = KeyState::None;
    std::size_t _keyLine = 0;
    std::vector<Section> _sections;
    std::vector<RegFileError> _skipped;
    std::size_t _moreSkipped = 0;
};

// The file's text as code points, from UTF-16LE with a byte order mark, or UTF-8 (with or
// without one) or ANSI.
std::optional<RegFileError> DecodeFile(std::string_view bytes, std::u32string& text,
                                       std::vector<RegFileError>& skipped) {
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    if (bytes.size() >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
        return RegFileError{0, "UTF-16 big-endian files are not supported"};
    }
    if (bytes.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        text = DecodeUtf16(data + 2, (bytes.size() - 2) / 2);
        if (bytes.size() % 2 != 0) {
            skipped.push_back({1 + static_cast<int>(std::count(text.begin(), text.end(), U'\n')),
                               "half a UTF-16 character at the end of the file"});
        }
    } else {
        if (bytes.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
            bytes.remove_prefix(3);
        }
        text = DecodeNarrow(bytes);
    }
    // A NUL ends what the registry editor reads of a line: such a file is not registry text
    // (most often UTF-16 without its byte order mark).
    if (const std::size_t nul = text.find(U'\0'); nul != std::u32string::npos) {
        return RegFileError{
            1 + static_cast<int>(std::count(text.begin(), text.begin() + nul, U'\n')),
            "NUL character in the text"};
    }
    return std::nullopt;
}

// ---- saving ----

std::u32string Escape(std::u32string_view text) {
    std::u32string out;
    for (char32_t c : text) {
        if (c == U'\\' || c == U'"') out += U'\\';
        out += c;
    }
    return out;
}

// Text that a .reg line can hold and give back: no line breaks, no NUL, only characters (a
// surrogate here could come back joined with its neighbour).
bool Writable(std::u32string_view text) {
    return std::none_of(text.begin(), text.end(), [](char32_t c) {
        return c == U'\0' || c == U'\r' || c == U'\n' || c > 0x10FFFF || IsSurrogate(c);
    });
}

// REG_SZ data that reads back the same from a quoted string: one terminating NUL, nothing
// unwritable before it.
std::optional<std::u32string> PlainString(const std::vector<BYTE>& data) {
    if (data.size() < sizeof(wchar_t) || data.size() % sizeof(wchar_t) != 0) return std::nullopt;
    std::wstring units(data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(units.data(), data.data(), data.size());
    if (units.back() != L'\0') return std::nullopt;
    units.pop_back();
    std::u32string text = CodePoints(units);
    if (!Writable(text)) return std::nullopt;
    return text;
}

void AppendHex(std::u32string& out, unsigned value, int digits) {
    static constexpr char32_t kDigits[] = U"0123456789abcdef";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out += kDigits[(value >> shift) & 0xF];
}

// Appends the value's line(s); false if a .reg file cannot hold its data as it is.
bool AppendValue(std::u32string& out, const RegValue& value, const std::u32string& name) {
    const std::size_t lineStart = out.size();
    if (value.name.empty()) {
        out += U"@=";
    } else {
        out += U'"' + Escape(name) + U"\"=";
    }
    if (value.type == REG_SZ) {
        if (auto text = PlainString(value.data)) {
            out += U'"' + Escape(*text) + U"\"\r\n";
            return true;
        }
    }
    if (value.type == REG_DWORD && value.data.size() == sizeof(DWORD)) {
        DWORD dword;
        std::memcpy(&dword, value.data.data(), sizeof dword);
        out += U"dword:";
        AppendHex(out, dword, 8);
        out += U"\r\n";
        return true;
    }
    if (IsStringType(value.type) && !Utf16Faithful(value.data)) return false;
    if (value.type == REG_BINARY) {
        out += U"hex:";
    } else {
        out += U"hex(";
        int digits = 1;
        while (digits < 8 && (value.type >> (4 * digits)) != 0) ++digits;
        AppendHex(out, value.type, digits);
        out += U"):";
    }
    const std::vector<BYTE> bytes =
        IsStringType(value.type) ? HostDataToUtf16(value.data) : value.data;
    std::size_t column = out.size() - lineStart;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        AppendHex(out, bytes[i], 2);
        if (i + 1 == bytes.size()) break;
        out += U',';
        column += 3;
        if (column >= kHexWrapColumn) {
            out += U"\\\r\n  ";
            column = 2;
        }
    }
    out += U"\r\n";
    return true;
}

}  // namespace

std::string RegFileError::Text() const {
    return line == 0 ? message : "line " + std::to_string(line) + ": " + message;
}

std::optional<RegFileError> LoadRegText(SimRegistry& registry, std::string_view bytes,
                                        std::vector<RegFileError>* skipped) {
    if (bytes.size() > kMaxRegFileSize) return RegFileError{0, "the file is larger than 16 MiB"};
    std::u32string text;
    std::vector<RegFileError> decodeSkipped;
    if (auto error = DecodeFile(bytes, text, decodeSkipped)) return error;
    std::vector<Section> sections;
    std::vector<RegFileError> lineSkipped;
    if (auto error = Parser(text).Parse(sections, lineSkipped)) return error;
    // Every path was checked while parsing, so none of these can fail.
    for (Section& section : sections) {
        if (section.deleting) {
            registry.DeleteTree(section.root, section.path);
        } else if (section.changes.empty()) {
            registry.CreateKey(section.root, section.path);
        } else {
            registry.ChangeValues(section.root, section.path, std::move(section.changes));
        }
    }
    if (skipped) {
        *skipped = std::move(lineSkipped);
        skipped->insert(skipped->end(), decodeSkipped.begin(), decodeSkipped.end());
    }
    return std::nullopt;
}

bool LoadRegFile(SimRegistry& registry, const std::filesystem::path& file, std::string* error,
                 std::vector<RegFileError>* skipped) {
    auto fail = [&](std::string message) {
        if (error) *error = std::move(message);
        return false;
    };
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) return fail("cannot read " + file.string() + ": " + ec.message());
    if (size > kMaxRegFileSize) return fail(file.string() + " is larger than 16 MiB");
    std::ifstream in(file, std::ios::binary);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        return fail("cannot read " + file.string());
    }
    if (auto parseError = LoadRegText(registry, bytes, skipped)) return fail(parseError->Text());
    return true;
}

std::optional<std::string> SaveRegText(SimRegistry& registry, HKEY root, std::wstring_view path) {
    const wchar_t* rootName = SimRegistry::RootName(root);
    if (!rootName) return std::nullopt;
    auto snapshot = registry.Snapshot(root, path);
    auto stored = registry.StoredPath(root, path);
    if (!snapshot || !stored) return std::nullopt;

    std::u32string text = std::u32string(kHeaderV5) + U"\r\n\r\n";
    struct Pending {
        const RegKeySnapshot* key;
        std::u32string path;
    };
    std::u32string top = CodePoints(rootName);
    if (!stored->empty()) top += U'\\' + CodePoints(*stored);
    std::vector<Pending> stack{{&*snapshot, std::move(top)}};
    while (!stack.empty()) {
        Pending current = std::move(stack.back());
        stack.pop_back();
        if (!Writable(current.path)) return std::nullopt;
        text += U'[' + current.path + U"]\r\n";
        for (const RegValue& value : current.key->values) {
            const std::u32string name = CodePoints(value.name);
            if (!Writable(name) || !AppendValue(text, value, name)) return std::nullopt;
        }
        text += U"\r\n";
        for (auto it = current.key->subkeys.rbegin(); it != current.key->subkeys.rend(); ++it) {
            stack.push_back({&*it, current.path + U'\\' + CodePoints(it->name)});
        }
    }
    std::vector<BYTE> bytes{0xFF, 0xFE};
    for (char32_t c : text) AppendUtf16(bytes, c);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace platform::sim
