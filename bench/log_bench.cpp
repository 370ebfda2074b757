// The log facility's costs beside two peers writing the same text: swprintf into a stack buffer
// and spdlog to a null sink. The logger writes to a trace sink that takes each text and drops it,
// as spdlog's null sink does, so the figures are the facility's own. Every figure is the median
// CPU time per call over five repetitions, with the heap allocations counted per call.
#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/null_sink.h>

#include <array>
#include <cwchar>
#include <memory>
#include <string>

#include "log/allocation_counter.h"
#include "log/log.h"
#include "platform/sim/sim_world.h"
#include "probes.h"

namespace kelvo::bench {

namespace {

// Nothing passes above verbose: the logger's threshold is fixed there.
constexpr UCHAR kFilteredLevel = TRACE_LEVEL_VERBOSE + 1;
constexpr const char* kEvent = "Toggled";
constexpr const char* kState = "DetachingHasAMB";

// A trace session that takes every text and keeps none.
class NullTracing : public platform::Tracing {
public:
    ULONG EventRegister(LPCGUID, PENABLECALLBACK, PVOID, PREGHANDLE regHandle) override {
        *regHandle = 1;
        return 0;
    }
    ULONG EventUnregister(REGHANDLE) override { return 0; }
    ULONG EventWriteString(REGHANDLE, UCHAR, ULONGLONG, PCWSTR text) override {
        benchmark::DoNotOptimize(text);
        return 0;
    }
    BOOLEAN EventProviderEnabled(REGHANDLE, UCHAR, ULONGLONG) override { return TRUE; }
    void OutputDebugStringW(LPCWSTR) override {}
};

// Runs the call in the benchmark loop and counts the heap allocations it makes.
template <class Call>
void Measure(benchmark::State& state, Call call) {
    const long before = AllocationCount();
    for (auto _ : state) call();
    state.counters["allocs"] =
        static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations());
}

const unsigned char* SixtyFourBytes() {
    static const auto bytes = [] {
        std::array<unsigned char, 64> b{};
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 7);
        return b;
    }();
    return bytes.data();
}

void LogFiltered(benchmark::State& state) {
    Measure(state, [] {
        Log(kFilteredLevel, L"System event %S not handled in %S state.", kEvent, kState);
    });
}

void LogFormatted(benchmark::State& state) {
    Measure(state, [] {
        Log(TRACE_LEVEL_WARNING, L"System event %S not handled in %S state.", kEvent, kState);
    });
}

void LogHexLine(benchmark::State& state) {
    const std::string dump = HexDump(SixtyFourBytes(), 64);
    Measure(state, [&dump] { Log(TRACE_LEVEL_INFORMATION, L"Raw data:\n%S", dump.c_str()); });
}

void HexDump64(benchmark::State& state) {
    Measure(state, [] { benchmark::DoNotOptimize(HexDump(SixtyFourBytes(), 64)); });
}

// The C library reads %s in a wide format as a narrow string.
void Swprintf(benchmark::State& state) {
    Measure(state, [] {
        wchar_t text[CLog<LogProviderKelvo>::kBufferChars];
        std::swprintf(text, CLog<LogProviderKelvo>::kBufferChars,
                      L"System event %s not handled in %s state.", kEvent, kState);
        benchmark::DoNotOptimize(text);
    });
}

void Spdlog(benchmark::State& state) {
    spdlog::logger logger("bench", std::make_shared<spdlog::sinks::null_sink_st>());
    Measure(state,
            [&logger] { logger.warn("System event {} not handled in {} state.", kEvent, kState); });
}

// Keeps the median of each benchmark's repetitions, by its name (the figure's key).
class Collector : public benchmark::BenchmarkReporter {
public:
    explicit Collector(Figures& figures) : _figures(figures) {}

    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.aggregate_name != "median") continue;
            const std::string key = run.run_name.function_name;
            _figures[key] = run.GetAdjustedCPUTime();
            if (auto it = run.counters.find("allocs"); it != run.counters.end()) {
                _figures[key + ".allocs"] = it->second.value;
            }
        }
    }

private:
    Figures& _figures;
};

}  // namespace

Figures RunLogBenchmarks() {
    // The logger of a world whose trace session drops every text; the rest is simulated.
    platform::sim::SimWorld sim;
    NullTracing tracing;
    platform::World world(platform::Platform{tracing, sim.GetKernel(), sim.GetRegistry(),
                                             sim.GetSecurity(), sim.GetHid(), sim.GetCom(),
                                             sim.GetWindowing(), sim.GetServices()});

    const struct {
        const char* key;
        void (*body)(benchmark::State&);
    } benchmarks[] = {
        {"log.filtered", LogFiltered}, {"log.formatted", LogFormatted}, {"peer.swprintf", Swprintf},
        {"peer.spdlog", Spdlog},       {"log.hexline", LogHexLine},     {"hexdump.64", HexDump64},
    };
    for (const auto& b : benchmarks) {
        benchmark::RegisterBenchmark(b.key, b.body)
            ->Unit(benchmark::kNanosecond)
            ->MinTime(0.2)
            ->Repetitions(5)
            ->ReportAggregatesOnly(true);
    }
    Figures figures;
    Collector collector(figures);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::ClearRegisteredBenchmarks();
    return figures;
}

}  // namespace kelvo::bench
