// The Windows tracing's development tee against the real file system (under Wine on Linux, where
// ETW takes everything and keeps nothing): what reaches the trace file. Which file it is (the
// variable, else the development key) is in tests/win32_display.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "platform/win32/tracing_win32.h"

namespace {

std::string ReadAll(const std::wstring& path) {
    std::ifstream file(path.c_str(), std::ios::binary);
    return file ? std::string(std::istreambuf_iterator<char>(file), {}) : "<missing>";
}

TEST(Win32Tracing, TraceFileGetsEachWrittenEventAsAUtf8LineAfterWhatItHeld) {
    const struct {
        UCHAR level;
        const wchar_t* text;
        const char* line;
    } events[] = {
        {4, L"System is in UNLOCKED.", "L4 System is in UNLOCKED.\n"},
        {5, L"", "L5 \n"},
        {3, L"Gr\u00fc\u00dfe \u20ac \u4e2d\u6587",
         "L3 Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac \xe4\xb8\xad\xe6\x96\x87\n"},
        {1, L"\U0001F600 pair", "L1 \xf0\x9f\x98\x80 pair\n"},
        {4, L"\xD800 alone", "L4 \xef\xbf\xbd alone\n"},
        {2, L"Sending Output Report bytes:\n 0x05 0x01",
         "L2 Sending Output Report bytes:\n 0x05 0x01\n"},
    };
    // Named outside ASCII; appended to, never truncated.
    wchar_t directory[MAX_PATH + 1];
    const std::wstring path = std::wstring(directory, ::GetTempPathW(MAX_PATH + 1, directory)) +
                              L"kelvo trace \u00e9 " + std::to_wstring(::GetCurrentProcessId());
    std::ofstream(path.c_str(), std::ios::binary) << "earlier\n";
    std::string expected = "earlier\n";
    ::SetEnvironmentVariableW(L"KELVO_TRACE_FILE", path.c_str());
    auto tracing = std::make_unique<platform::win32::Win32Tracing>();
    constexpr GUID kProvider = {
        0x13046BD6, 0xC656, 0x4BD4, {0xB3, 0xCB, 0xE6, 0x51, 0x24, 0xF2, 0x08, 0x6A}};
    REGHANDLE handle = 0;
    EXPECT_EQ(tracing->EventRegister(&kProvider, nullptr, nullptr, &handle), 0u);
    for (const auto& event : events) {
        ASSERT_EQ(tracing->EventWriteString(handle, event.level, 0, event.text), 0u);
        expected += event.line;
        EXPECT_EQ(ReadAll(path), expected) << "after level " << int{event.level};
    }
    tracing->OutputDebugStringW(L"debugger only\n");
    EXPECT_EQ(tracing->EventUnregister(handle), 0u);
    tracing.reset();
    EXPECT_EQ(ReadAll(path), expected);
    ::DeleteFileW(path.c_str());
}

}  // namespace
