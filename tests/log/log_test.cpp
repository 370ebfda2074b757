#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "allocation_counter.h"
#include "platform/sim/utf8.h"
#include "rig/golden.h"
#include "rig/sim_rig.h"

namespace {

using Logger = CLog<LogProviderKelvo>;
using platform::sim::SimWorld;

// UTF-8, with line ends shown as \n.
std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) {
        if (c == L'\n') narrow += "\\n";
        if (c != L'\n') platform::sim::AppendUtf8(narrow, static_cast<char32_t>(c));
    }
    return narrow;
}


struct Case {
    const char* name;
    std::function<void(SimWorld&)> setup;  // before the world's logger exists
    std::function<void(SimWorld&, std::string& notes)> body;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class LogTo : public testing::TestWithParam<Case> {};

// Each row logs through the world's logger; its file holds the events (status and assertion lines
// without their line numbers), the debugger lines, notes, and the virtual time slept.
TEST_P(LogTo, WritesWhatTheRowsFileHolds) {
    rig::SimRig rig(platform::sim::ClockMode::AutoAdvance);
    if (GetParam().setup) GetParam().setup(rig.world);
    std::string out;
    GetParam().body(rig.world, out);
    for (const auto& event : rig.world.GetTracing().Events()) {
        EXPECT_TRUE(event.provider == LogProviderKelvo::ProviderId);
        EXPECT_EQ(event.keyword, 0u);
        out += "L" + std::to_string(event.level) + " " +
               Narrow(rig::WithoutLineNumbers(event.text)) + "\n";
    }
    for (const auto& line : rig.world.GetTracing().DebuggerLines()) {
        out += "debugger: " + Narrow(line) + "\n";
    }
    out += "slept: " + std::to_string(rig.world.Now()) + "\n";
    EXPECT_TRUE(rig::MatchesGolden(std::string(KELVO_LOG_GOLDEN_DIR) + "/" + GetParam().name + ".txt", out));
}

void Messages(SimWorld&, std::string&) {
    Log(TRACE_LEVEL_INFORMATION, L"first %S", "one");
    Log(TRACE_LEVEL_ERROR, L"second");
}

void Lost(SimWorld&, std::string&) {
    Log(TRACE_LEVEL_ERROR, L"lost");
    Log(TRACE_LEVEL_INFORMATION, L"kept");  // the script is used up: this one goes through
}

void ThrowOutOfScope() {
    CLogScope scope(TRACE_LEVEL_VERBOSE, "ThrowOutOfScope");
    throw std::runtime_error("out");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LogTo,
    testing::Values(
        Case{"levels", nullptr,
             [](SimWorld&, std::string&) {
                 for (UCHAR level = 1; level <= 7; ++level) Log(level, L"level %d", level);
             }},
        // The conversions read as Windows' wide printf reads them: %s wide, %S narrow.
        Case{"formats", nullptr,
             [](SimWorld&, std::string&) {
                 Log(TRACE_LEVEL_INFORMATION, L"event %S in %s state", "Unlocked", L"Init");
                 Log(TRACE_LEVEL_INFORMATION, L"0x%08x %04i", 0x80070005u, 42);
                 Log(TRACE_LEVEL_INFORMATION, L"x=%d u=%u X=%X", -7, 0xFFFFFFFFu, 255);
                 Log(TRACE_LEVEL_INFORMATION, L"[%4d][%-4d][%+d][% d]", 12, 12, 12, 12);
                 Log(TRACE_LEVEL_INFORMATION, L"%#04x %#04X", 10, 10);
                 Log(TRACE_LEVEL_INFORMATION, L"%s %S", static_cast<const wchar_t*>(nullptr),
                     static_cast<const char*>(nullptr));
                 Log(TRACE_LEVEL_INFORMATION, L"%ls|%.2hs|%*.*S", L"abc", "abc", 4, 2, "abc");
                 Log(TRACE_LEVEL_INFORMATION, L"%c%C", L'w', 'N');
                 Log(TRACE_LEVEL_INFORMATION, L"100%% %llu %lld", ~0ull, -9000000000ll);
                 Log(TRACE_LEVEL_INFORMATION, L"%.2f %zu", 1.5, std::size_t{7});
                 Log(TRACE_LEVEL_INFORMATION, L"%q %d %S", 5, "\xe9");
                 Log(TRACE_LEVEL_INFORMATION, L"%p", reinterpret_cast<const void*>(0xABCull));
             }},
        Case{"registration-fails", [](SimWorld& w) { w.GetTracing().FailEventRegister({87}); },
             Messages},
        Case{"long-message-cut", nullptr,
             [](SimWorld&, std::string&) {
                 const std::wstring text(2000, L'a');
                 Log(TRACE_LEVEL_INFORMATION, L"%s", text.c_str());
             }},
        Case{"buffers-full",
             [](SimWorld& w) { w.GetTracing().FailEventWriteString(std::vector<ULONG>(8, 8)); },
             Lost},
        Case{"write-fails",
             [](SimWorld& w) { w.GetTracing().FailEventWriteString(std::vector<ULONG>(8, 1450)); },
             Lost},
        Case{"third-attempt-succeeds",
             [](SimWorld& w) {
                 w.GetTracing().FailEventWriteString({8, 8});
             },
             Messages},
        // The session takes levels up to 3 only: the first message is tried once and not reported.
        Case{"nobody-listens",
             [](SimWorld& w) {
                 w.GetTracing().SetSessionLevel(TRACE_LEVEL_WARNING);
                 w.GetTracing().FailEventWriteString({8, 8});
             },
             Messages},
        Case{"sink-throws",
             [](SimWorld& w) {
                 w.GetTracing().SetListener([](const auto&) { throw std::runtime_error("sink"); });
             },
             Messages},
        Case{"scopes", nullptr,
             [](SimWorld&, std::string& notes) {
                 try {
                     ThrowOutOfScope();
                 } catch (const std::runtime_error&) {
                     notes += "thrown through\n";
                 }
                 CLogScope cut(TRACE_LEVEL_INFORMATION, std::string(600, 'n').c_str());
             }},
        Case{"status-and-assert", nullptr,
             [](SimWorld&, std::string& notes) {
                 const void* m_hServiceStatus = nullptr;
                 notes += std::to_string(LogHResult(S_OK));
                 notes += " " + std::to_string(LogHResult(S_FALSE));
                 notes += " " + std::to_string(LogHResult(E_FAIL));
                 notes += " " + std::to_string(LogAssert(1 + 1 == 2));
                 notes += " " + std::to_string(LogAssert(m_hServiceStatus != NULL)) + "\n";
             }},
        Case{"lifetime", nullptr,
             [](SimWorld& w, std::string& notes) {
                 {
                     CLogLifetime<Logger> lifetime;
                     notes += "registered " + std::to_string(w.GetTracing().RegisteredCount());
                 }
                 notes += ", then " + std::to_string(w.GetTracing().RegisteredCount());
                 Log(TRACE_LEVEL_INFORMATION, L"late");  // a late message makes a new logger
                 notes += ", then " + std::to_string(w.GetTracing().RegisteredCount()) + "\n";
             }},
        Case{"hex-dumps", nullptr,
             [](SimWorld&, std::string&) {
                 const unsigned char bytes[17] = {0x00, 0x0f, 0xe1, 0xf0};
                 for (std::size_t length : {0, 16, 17}) {
                     Log(TRACE_LEVEL_INFORMATION, L"[%S]", HexDump(bytes, length).c_str());
                 }
                 Log(TRACE_LEVEL_INFORMATION, L"[%S]", HexDump(nullptr, 4).c_str());
             }}),
    [](const testing::TestParamInfo<Case>& info) {
        std::string name = info.param.name;
        for (char& ch : name) ch = ch == '-' ? '_' : ch;
        return name;
    });

// Tracing that keeps nothing, so only the logger's own allocations are counted.
class NullTracing : public platform::Tracing {
public:
    ULONG EventRegister(LPCGUID, PENABLECALLBACK, PVOID, PREGHANDLE handle) override {
        *handle = 1;
        return 0;
    }
    ULONG EventUnregister(REGHANDLE) override { return 0; }
    ULONG EventWriteString(REGHANDLE, UCHAR, ULONGLONG, PCWSTR text) override {
        written += text[0] != 0;
        return 0;
    }
    BOOLEAN EventProviderEnabled(REGHANDLE, UCHAR, ULONGLONG) override { return TRUE; }
    void OutputDebugStringW(LPCWSTR) override {}
    int written = 0;
};

TEST(Log, OrdinaryPathAllocatesNothing) {
    rig::SimRig rig;
    NullTracing tracing;
    Logger log(tracing, rig.world.GetKernel());
    const long before = AllocationCount();
    for (int i = 0; i < 100; ++i) {
        log.Log(TRACE_LEVEL_WARNING, L"System event %S not handled in %S state. %d %s", "Docked",
                "Init", i, L"wide");
        log.Log(TRACE_LEVEL_VERBOSE + 1, L"filtered %S", "x");
    }
    EXPECT_EQ(AllocationCount() - before, 0);
    EXPECT_EQ(tracing.written, 100);
}

}  // namespace
