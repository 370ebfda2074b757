#include "log/log.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "platform/sim/sim_world.h"

using platform::sim::ClockMode;
using platform::sim::SimWorld;

namespace {

using Logger = CLog<LogProviderKelvo>;

std::vector<std::wstring> Texts(SimWorld& world) {
    std::vector<std::wstring> texts;
    for (const auto& event : world.GetTracing().Events()) texts.push_back(event.text);
    return texts;
}

TEST(Log, WritesStringEventsOfTheProviderWithKeywordZero) {
    SimWorld world;
    Log(TRACE_LEVEL_WARNING, L"System event %S not handled in %S state.", "Docked", "Init");
    const auto events = world.GetTracing().Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].provider == LogProviderKelvo::ProviderId);
    EXPECT_EQ(events[0].level, TRACE_LEVEL_WARNING);
    EXPECT_EQ(events[0].keyword, 0u);
    EXPECT_EQ(events[0].text, L"System event Docked not handled in Init state.");
    EXPECT_TRUE(world.GetTracing().DebuggerLines().empty());
}

TEST(Log, PassesLevelsUpToVerboseOnly) {
    SimWorld world;
    for (UCHAR level = 1; level <= 7; ++level) Log(level, L"level %d", level);
    EXPECT_EQ(Texts(world), (std::vector<std::wstring>{L"level 1", L"level 2", L"level 3",
                                                       L"level 4", L"level 5"}));
}

TEST(Log, FailedRegistrationDropsEveryMessageAfterOneReport) {
    SimWorld world;
    world.GetTracing().FailEventRegister({87});
    Log(TRACE_LEVEL_CRITICAL, L"first");
    Log(TRACE_LEVEL_INFORMATION, L"second");
    EXPECT_TRUE(world.GetTracing().Events().empty());
    EXPECT_EQ(world.GetTracing().DebuggerLines(),
              std::vector<std::wstring>{L"[CRITICAL] CLog failed to initialize\n"});
}

TEST(Log, CutsLongMessagesAt1023Characters) {
    SimWorld world;
    const std::wstring text(2000, L'a');
    Log(TRACE_LEVEL_INFORMATION, L"%s", text.c_str());
    EXPECT_EQ(Texts(world), std::vector<std::wstring>{text.substr(0, 1023)});
}

struct RetryCase {
    const char* name;
    ULONG status;
    std::vector<std::wstring> reports;
    platform::sim::Scheduler::Millis slept;
};

std::vector<std::wstring> RetryReports(ULONG status, bool sleeping) {
    std::vector<std::wstring> lines;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::wstring line = L"Error calling EventWriteString for enabled message.  result=" +
                            std::to_wstring(status);
        line += sleeping ? L" Sleeping " + std::to_wstring(1 << attempt) + L"ms.\n" : L"\n";
        lines.push_back(line);
    }
    lines.push_back(L"Error calling EventWriteString. could not succeed with retries.\n");
    return lines;
}

class LogRetry : public testing::TestWithParam<RetryCase> {};

TEST_P(LogRetry, OffersAMessageEightTimesThenGivesUp) {
    SimWorld world(ClockMode::AutoAdvance);
    Logger* log = Logger::Instance();
    ASSERT_NE(log, nullptr);
    world.GetTracing().FailEventWriteString(std::vector<ULONG>(8, GetParam().status));
    log->Log(TRACE_LEVEL_ERROR, L"lost");
    EXPECT_EQ(world.GetTracing().DebuggerLines(), GetParam().reports);
    EXPECT_EQ(world.Now(), GetParam().slept);
    EXPECT_TRUE(world.GetTracing().Events().empty());
    log->Log(TRACE_LEVEL_ERROR, L"kept");  // the script is used up: the next message goes through
    EXPECT_EQ(Texts(world), std::vector<std::wstring>{L"kept"});
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, LogRetry,
    testing::Values(RetryCase{"BuffersFull", ERROR_NOT_ENOUGH_MEMORY, RetryReports(8, true), 255},
                    RetryCase{"OtherFailure", 1450, RetryReports(1450, false), 0}),
    [](const testing::TestParamInfo<RetryCase>& info) { return info.param.name; });

TEST(Log, RetrySucceedingOnTheThirdAttemptWritesTheMessageOnce) {
    SimWorld world(ClockMode::AutoAdvance);
    world.GetTracing().FailEventWriteString({8, 8});
    Log(TRACE_LEVEL_ERROR, L"late");
    EXPECT_EQ(Texts(world), std::vector<std::wstring>{L"late"});
    EXPECT_EQ(world.GetTracing().DebuggerLines().size(), 2u);
    EXPECT_EQ(world.Now(), 3u);
}

TEST(Log, FailedWriteNobodyListensToIsDroppedSilently) {
    SimWorld world;
    world.GetTracing().SetSessionLevel(TRACE_LEVEL_WARNING);
    world.GetTracing().FailEventWriteString({8, 8});
    Log(TRACE_LEVEL_INFORMATION, L"unheard");  // the session takes levels up to 3 only
    EXPECT_TRUE(world.GetTracing().DebuggerLines().empty());
    Log(TRACE_LEVEL_INFORMATION, L"next");  // one attempt was made: one scripted failure remains
    EXPECT_TRUE(Texts(world).empty());
}

TEST(Log, ExceptionWhileWritingIsReportedAndSwallowed) {
    SimWorld world;
    world.GetTracing().SetListener([](const auto&) { throw std::runtime_error("sink"); });
    EXPECT_NO_THROW(Log(TRACE_LEVEL_INFORMATION, L"boom"));
    EXPECT_EQ(world.GetTracing().DebuggerLines(),
              std::vector<std::wstring>{L"[CRITICAL] liblog encountered an exception\n"});
}

TEST(Log, EachWorldHasItsOwnLoggerReleasedWithIt) {
    {
        SimWorld world;
        Log(TRACE_LEVEL_INFORMATION, L"one");
        EXPECT_EQ(world.GetTracing().RegisteredCount(), 1u);
        {
            SimWorld inner;
            Log(TRACE_LEVEL_INFORMATION, L"two");
            EXPECT_EQ(Texts(inner), std::vector<std::wstring>{L"two"});
        }
        EXPECT_EQ(Texts(world), std::vector<std::wstring>{L"one"});
    }
}

TEST(LogLifetime, BracketsTheLoggerAndUnregistersIt) {
    SimWorld world;
    {
        CLogLifetime<Logger> lifetime;
        EXPECT_EQ(world.GetTracing().RegisteredCount(), 1u);
    }
    EXPECT_EQ(world.GetTracing().RegisteredCount(), 0u);
    EXPECT_EQ(Texts(world), (std::vector<std::wstring>{
                                L"Creating CLogLifetime __cdecl CLogLifetime<class CLog<struct "
                                L"LogProviderKelvo> >::CLogLifetime(void)",
                                L"Destroying CLogLifetime __cdecl CLogLifetime<class CLog<struct "
                                L"LogProviderKelvo> >::~CLogLifetime(void)"}));
    Log(TRACE_LEVEL_INFORMATION, L"late");  // a late message makes a new logger
    EXPECT_EQ(world.GetTracing().RegisteredCount(), 1u);
}

void Throws() {
    LOG_SCOPE();
    throw std::runtime_error("out");
}

TEST(LogScope, WritesTheExitLineOnEveryWayOut) {
    SimWorld world;
    EXPECT_THROW(Throws(), std::runtime_error);
    const auto texts = Texts(world);
    ASSERT_EQ(texts.size(), 2u);
    // Each compiler spells signatures its own way: match the form and the name.
    EXPECT_EQ(texts[0].rfind(L">>> ", 0), 0u);
    EXPECT_EQ(texts[1].rfind(L"<<< ", 0), 0u);
    EXPECT_NE(texts[0].find(L"Throws"), std::wstring::npos);
    EXPECT_EQ(texts[0].substr(4), texts[1].substr(4));
    EXPECT_EQ(world.GetTracing().Events()[0].level, TRACE_LEVEL_VERBOSE);
}

TEST(LogScope, CutsNamesAtItsBuffer) {
    SimWorld world;
    const std::string name(600, 'n');
    { CLogScope scope(TRACE_LEVEL_VERBOSE, name.c_str()); }
    const auto texts = Texts(world);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], L"<<< " + std::wstring(CLogScope::kNameChars - 1, L'n'));
}

TEST(LogLines, StatusAndAssertLinesNameTheirPlace) {
    SimWorld world;
    EXPECT_EQ(LogHResult(S_OK), S_OK);
    EXPECT_EQ(LogHResult(S_FALSE), S_FALSE);
    const int line = __LINE__ + 1;
    EXPECT_EQ(LogHResult(E_FAIL), E_FAIL);
    const void* m_hServiceStatus = nullptr;
    EXPECT_TRUE(LogAssert(1 + 1 == 2));
    const int assertLine = __LINE__ + 1;
    EXPECT_FALSE(LogAssert(m_hServiceStatus != NULL));
    const auto events = world.GetTracing().Events();
    ASSERT_EQ(events.size(), 2u);
    wchar_t expected[128];
    swprintf(expected, 128, L"HRESULT: 0x80004005 @ LINE %04d [log_test.cpp]", line);
    EXPECT_EQ(events[0].text, expected);
    EXPECT_EQ(events[0].level, TRACE_LEVEL_ERROR);
    swprintf(expected, 128,
             L"ASSERT @ LINE %04d [log_test.cpp] executing [m_hServiceStatus != NULL]", assertLine);
    EXPECT_EQ(events[1].text, expected);
    EXPECT_EQ(events[1].level, TRACE_LEVEL_CRITICAL);
}

struct DumpCase {
    std::size_t length;
    std::string expected;
};

class HexDumpTest : public testing::TestWithParam<DumpCase> {};

TEST_P(HexDumpTest, ShowsSixteenBytesToALine) {
    unsigned char bytes[33];
    for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 0x0F);
    EXPECT_EQ(HexDump(bytes, GetParam().length), GetParam().expected);
}

const std::string kLine0 =
    " 0x00 0x0f 0x1e 0x2d 0x3c 0x4b 0x5a 0x69 0x78 0x87 0x96 0xa5 0xb4 0xc3 0xd2 0xe1";
const std::string kLine1 =
    " 0xf0 0xff 0x0e 0x1d 0x2c 0x3b 0x4a 0x59 0x68 0x77 0x86 0x95 0xa4 0xb3 0xc2 0xd1";

INSTANTIATE_TEST_SUITE_P(Lengths, HexDumpTest,
                         testing::Values(DumpCase{0, ""}, DumpCase{1, " 0x00"},
                                         DumpCase{16, kLine0}, DumpCase{17, kLine0 + "\n 0xf0"},
                                         DumpCase{32, kLine0 + "\n" + kLine1},
                                         DumpCase{33, kLine0 + "\n" + kLine1 + "\n 0xe0"}));

TEST(HexDump, NullBufferGivesTheEmptyString) { EXPECT_EQ(HexDump(nullptr, 4), ""); }

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
    SimWorld world;
    NullTracing tracing;
    Logger log(tracing, world.GetKernel());
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
