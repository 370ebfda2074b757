#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/tracing_win32.h"
#include "platform/win32/unique_handle.h"

using platform::win32::UniqueHandle;
using platform::win32::Win32Tracing;

namespace {

constexpr GUID kProvider = {
    0x13046BD6, 0xC656, 0x4BD4, {0xB3, 0xCB, 0xE6, 0x51, 0x24, 0xF2, 0x08, 0x6A}};
constexpr wchar_t kTraceFileVariable[] = L"KELVO_TRACE_FILE";

std::wstring TempPath(const std::wstring& name) {
    wchar_t directory[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, directory);
    return std::wstring(directory, length) + name;
}

std::string ReadAll(const std::wstring& path) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return "<missing>";
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read != 0) {
        content.append(buffer, read);
    }
    return content;
}

void WriteAll(const std::wstring& path, const std::string& content) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()),
                            &written, nullptr));
}

// Each test names its own trace file, and the variable is unset again afterwards.
class Win32TracingTest : public testing::Test {
protected:
    void SetUp() override {
        const auto* test = testing::UnitTest::GetInstance()->current_test_info();
        const std::string name = test->name();
        _path = TempPath(L"kelvo trace \u00e9 " + std::wstring(name.begin(), name.end()) + L".log");
        ::DeleteFileW(_path.c_str());
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(kTraceFileVariable, nullptr);
        ::DeleteFileW(_path.c_str());
    }

    // A tracing whose tee goes to path, or that has none (null).
    static std::unique_ptr<Win32Tracing> MakeTracing(const wchar_t* path) {
        ::SetEnvironmentVariableW(kTraceFileVariable, path);
        return std::make_unique<Win32Tracing>();
    }

    static REGHANDLE Register(Win32Tracing& tracing) {
        REGHANDLE handle = 0;
        EXPECT_EQ(tracing.EventRegister(&kProvider, nullptr, nullptr, &handle), 0u);
        EXPECT_NE(handle, 0u);
        return handle;
    }

    std::wstring _path;
};

TEST_F(Win32TracingTest, RegisterWriteAndUnregisterSucceed) {
    auto tracing = MakeTracing(nullptr);
    const REGHANDLE handle = Register(*tracing);
    for (UCHAR level = 1; level <= 5; ++level) {
        EXPECT_EQ(tracing->EventWriteString(handle, level, 0, L"Creating CLogLifetime"), 0u);
    }
    tracing->OutputDebugStringW(L"[CRITICAL] CLog failed to initialize\n");
    EXPECT_EQ(tracing->EventUnregister(handle), 0u);
    EXPECT_EQ(ReadAll(_path), "<missing>");
}

TEST_F(Win32TracingTest, TraceFileGetsEachWrittenEventAsAUtf8Line) {
    struct Event {
        UCHAR level;
        const wchar_t* text;
        const char* line;
    };
    const Event events[] = {
        {4, L"System is in UNLOCKED.", "L4 System is in UNLOCKED.\n"},
        {2, L"HRESULT: 0x80004005 @ LINE 0042 [hid_client.cpp]",
         "L2 HRESULT: 0x80004005 @ LINE 0042 [hid_client.cpp]\n"},
        {5, L"", "L5 \n"},
        {3, L"Gr\u00fc\u00dfe \u20ac \u4e2d\u6587",
         "L3 Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac \xe4\xb8\xad\xe6\x96\x87\n"},
        {1, L"\U0001F600 pair", "L1 \xf0\x9f\x98\x80 pair\n"},
        {4, L"\xD800 alone", "L4 \xef\xbf\xbd alone\n"},
        {4, L"Sending Output Report bytes:\n 0x05 0x01",
         "L4 Sending Output Report bytes:\n 0x05 0x01\n"},
    };
    WriteAll(_path, "earlier content\n");  // appended to, never truncated
    std::string expected = "earlier content\n";
    auto tracing = MakeTracing(_path.c_str());
    const REGHANDLE handle = Register(*tracing);
    for (const Event& event : events) {
        ASSERT_EQ(tracing->EventWriteString(handle, event.level, 0, event.text), 0u);
        expected += event.line;
        EXPECT_EQ(ReadAll(_path), expected) << "after level " << int{event.level};
    }
    tracing->OutputDebugStringW(L"debugger only\n");
    EXPECT_EQ(tracing->EventUnregister(handle), 0u);
    tracing.reset();
    EXPECT_EQ(ReadAll(_path), expected);
}

TEST_F(Win32TracingTest, TraceFileIsChosenWhenTheTracingIsBuilt) {
    auto teed = MakeTracing(_path.c_str());
    auto plain = MakeTracing(nullptr);
    const REGHANDLE teedHandle = Register(*teed);
    const REGHANDLE plainHandle = Register(*plain);
    EXPECT_EQ(plain->EventWriteString(plainHandle, 4, 0, L"not teed"), 0u);
    EXPECT_EQ(teed->EventWriteString(teedHandle, 4, 0, L"teed"), 0u);
    EXPECT_EQ(ReadAll(_path), "L4 teed\n");
}

TEST_F(Win32TracingTest, UnopenableTraceFileLeavesTracingWorking) {
    const std::wstring path = TempPath(L"no such directory\\kelvo.log");
    auto tracing = MakeTracing(path.c_str());
    const REGHANDLE handle = Register(*tracing);
    ::SetLastError(1168);
    EXPECT_EQ(tracing->EventWriteString(handle, 4, 0, L"still traced"), 0u);
    EXPECT_EQ(ReadAll(path), "<missing>");
}

constexpr int kLinesPerThread = 250;

struct LineWriter {
    Win32Tracing* tracing;
    REGHANDLE handle;
    int thread;

    // A thread of its own (CreateThread's entry).
    static DWORD WINAPI Run(void* self) {
        const LineWriter& w = *static_cast<LineWriter*>(self);
        for (int i = 0; i < kLinesPerThread; ++i) {
            const std::wstring text = L"thread " + std::to_wstring(w.thread) + L" line " +
                                      std::to_wstring(i) + std::wstring(40, L'\u00e9');
            w.tracing->EventWriteString(w.handle, 5, 0, text.c_str());
        }
        return 0;
    }
};

TEST_F(Win32TracingTest, LinesFromManyThreadsStayWhole) {
    constexpr int kThreads = 4;
    constexpr int kLines = kLinesPerThread;
    auto tracing = MakeTracing(_path.c_str());
    const REGHANDLE handle = Register(*tracing);
    std::vector<HANDLE> threads;
    std::vector<LineWriter> work;
    for (int t = 0; t < kThreads; ++t) work.push_back({tracing.get(), handle, t});
    for (LineWriter& w : work) {
        threads.push_back(::CreateThread(nullptr, 0, &LineWriter::Run, &w, 0, nullptr));
    }
    ASSERT_EQ(::WaitForMultipleObjects(kThreads, threads.data(), TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE thread : threads) ::CloseHandle(thread);

    std::vector<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            std::string line = "L5 thread " + std::to_string(t) + " line " + std::to_string(i);
            for (int k = 0; k < 40; ++k) line += "\xc3\xa9";
            expected.push_back(line);
        }
    }
    std::vector<std::string> lines;
    const std::string content = ReadAll(_path);
    for (std::size_t start = 0; start < content.size();) {
        const std::size_t end = content.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unterminated last line";
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}

}  // namespace
