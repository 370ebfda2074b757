// UTF-8 encoding for the simulated platform's texts: .reg files and the host's timeline.
#pragma once

#include <string>
#include <string_view>

namespace platform::sim {

// Appends one code point, which must be a Unicode scalar value.
void AppendUtf8(std::string& out, char32_t c);

// UTF-8 of wide text (UTF-16 or UTF-32, as wchar_t is on the platform); unpaired surrogates and
// values beyond U+10FFFF become U+FFFD.
std::string ToUtf8(std::wstring_view text);

}  // namespace platform::sim
