#include "log/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

template <class... Args>
std::wstring Format(const wchar_t* format, Args... args) {
    wchar_t out[256];
    const std::size_t written = FormatWide(out, 256, format, args...);
    EXPECT_EQ(written, std::char_traits<wchar_t>::length(out));
    return out;
}

struct Case {
    std::wstring expected;
    std::wstring actual;
};

class FormatWideTest : public testing::TestWithParam<Case> {};

TEST_P(FormatWideTest, GivesTheWindowsText) { EXPECT_EQ(GetParam().actual, GetParam().expected); }

// The conversions the system's formats use, read as Windows' wide printf reads them.
INSTANTIATE_TEST_SUITE_P(
    Conversions, FormatWideTest,
    testing::Values(
        Case{L"System event Unlocked not handled in Init state.",
             Format(L"System event %S not handled in %S state.", "Unlocked", "Init")},
        Case{L">>> wide name", Format(L">>> %s", L"wide name")},
        Case{L"HRESULT: 0x80070005 @ LINE 0042 [file.cpp]",
             Format(L"HRESULT: 0x%08x @ LINE %04i [%s]", 0x80070005u, 42, L"file.cpp")},
        Case{L"x=-7 u=4294967295 X=FF", Format(L"x=%d u=%u X=%X", -7, 0xFFFFFFFFu, 255)},
        Case{L"[  12][12  ][+12][ 12]", Format(L"[%4d][%-4d][%+d][% d]", 12, 12, 12, 12)},
        Case{L"0x0a 0X0A", Format(L"%#04x %#04X", 10, 10)},
        Case{L"(null) (null)", Format(L"%s %S", static_cast<const wchar_t*>(nullptr),
                                      static_cast<const char*>(nullptr))},
        Case{L"abc|ab|  ab", Format(L"%ls|%.2hs|%*.*S", L"abc", "abc", 4, 2, "abc")},
        Case{L"wN", Format(L"%c%C", L'w', 'N')},
        Case{L"100% 18446744073709551615 -9000000000",
             Format(L"100%% %llu %lld", ~0ull, -9000000000ll)},
        Case{L"1.50 7", Format(L"%.2f %zu", 1.5, std::size_t{7})},
        Case{L"%q 5", Format(L"%q %d", 5)}, Case{L"\u00e9", Format(L"%S", "\xe9")}));

TEST(FormatWide, CutsAtTheCapacityAndAlwaysTerminates) {
    wchar_t out[6] = {L'x', L'x', L'x', L'x', L'x', L'x'};
    EXPECT_EQ(FormatWide(out, 6, L"%s-%d", L"abcd", 12345), 5u);
    EXPECT_EQ(std::wstring(out), L"abcd-");
    EXPECT_EQ(FormatWide(out, 1, L"abc"), 0u);
    EXPECT_EQ(out[0], L'\0');
    out[0] = L'k';
    EXPECT_EQ(FormatWide(out, 0, L"abc"), 0u);
    EXPECT_EQ(out[0], L'k');
}

TEST(FormatWide, PrintsPointersAsFullWidthUpperCaseHex) {
    const auto* pointer = reinterpret_cast<const void*>(std::uintptr_t{0xABC});
    std::wstring expected(sizeof(void*) * 2 - 3, L'0');
    EXPECT_EQ(Format(L"%p", pointer), expected + L"ABC");
}

}  // namespace
