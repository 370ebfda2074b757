#include "service/service_module.h"

#include <cstdio>
#include <cwctype>
#include <string>

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

wchar_t Upper(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

PCWSTR FindSwitch(PCWSTR text) {
    for (; text != nullptr && *text != 0; ++text) {
        if (*text == L'-' || *text == L'/') return text + 1;
    }
    return nullptr;
}

bool IsSwitchWord(PCWSTR token, PCWSTR word) {
    for (; *word != 0; ++token, ++word) {
        if (Upper(*token) != Upper(*word)) return false;
    }
    return *token == 0 || IsBlank(*token);
}

PCWSTR SkipProgramName(PCWSTR commandLine) {
    if (commandLine == nullptr) return nullptr;
    PCWSTR p = commandLine;
    while (IsBlank(*p)) ++p;
    if (*p == L'"') {
        for (++p; *p != 0 && *p != L'"'; ++p) {
        }
        return *p == L'"' ? p + 1 : p;
    }
    while (*p != 0 && !IsBlank(*p)) ++p;
    return p;
}

namespace {

void WriteLine(std::FILE* stream, PCWSTR text) {
    std::string line;
    for (PCWSTR p = text; p != nullptr && *p != 0; ++p) {
        char32_t c = static_cast<char32_t>(*p);
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(p[1]) - 0xDC00);
                ++p;
            }
        }
        if ((c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) c = 0xFFFD;
        AppendUtf8(line, c);
    }
    line.push_back('\n');
    std::fputs(line.c_str(), stream);
    std::fflush(stream);
}

}  // namespace

void WriteConsoleLine(PCWSTR text) { WriteLine(stdout, text); }

void WriteErrorLine(PCWSTR text) { WriteLine(stderr, text); }
