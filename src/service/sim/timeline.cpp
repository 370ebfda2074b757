#include "service/sim/timeline.h"

namespace kelvo::host {

namespace {

void AppendCodePoint(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) c &= 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
        AppendCodePoint(out, c);
    }
    return out;
}

std::string TimeStamp(platform::sim::Scheduler::Millis time) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "[%llu.%03llu]",
                  static_cast<unsigned long long>(time / 1000),
                  static_cast<unsigned long long>(time % 1000));
    return buffer;
}

std::string FormatTraceLine(const platform::sim::TraceEvent& event) {
    std::string line = TimeStamp(event.time) + " L" + std::to_string(event.level) + " ";
    for (char c : ToUtf8(event.text)) {
        line += c;
        if (c == '\n') line += "  ";
    }
    return line;
}

void PrintTraces(platform::sim::SimTracing& tracing, std::FILE* out, UCHAR maxLevel) {
    tracing.SetListener([out, maxLevel](const platform::sim::TraceEvent& event) {
        if (event.level > maxLevel) return;
        const std::string line = FormatTraceLine(event);
        std::fprintf(out, "%s\n", line.c_str());
    });
}

}  // namespace kelvo::host
