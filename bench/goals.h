// What Kelvo must cost, in one table: every figure the benchmarks print, in the order printed,
// with the goal it is held against. Rows without a goal are shown for reference.
#pragma once

#include <map>
#include <string>

namespace kelvo::bench {

// Every measured figure by its key, in the unit of its row.
using Figures = std::map<std::string, double>;

enum class Check {
    None,         // for reference only
    Below,        // value < limit
    AtMost,       // value <= limit
    Within,       // |value - ideal| <= limit
    NearPeer,     // |value - the first peer's figure| <= limit
    NoSlowerThan  // value <= every figure named by the peers
};

struct Goal {
    const char* key;
    const char* label;
    const char* unit;
    Check check;
    double limit = 0;
    double ideal = 0;
    const char* peers[2] = {};
};

inline constexpr Goal kGoals[] = {
    {"hotkey.presses", "Hot-key presses (each after the 10 ms absorb window)", "", Check::None},
    {"hotkey.touch.p50", "Hot key: SetEvent to first touch report, p50", "µs", Check::None},
    {"hotkey.touch.p99", "Hot key: SetEvent to first touch report, p99", "µs", Check::Below, 100},
    {"hotkey.driver.p50", "Hot key: SetEvent to first driver record, p50", "µs", Check::None},
    {"hotkey.driver.p99", "Hot key: SetEvent to first driver record, p99", "µs", Check::Below, 100},
    {"button.presses", "Bezel-button presses", "", Check::None},
    {"button.touch.p50", "Button: report queued to first touch report, p50", "µs", Check::None},
    {"button.touch.p99", "Button: report queued to first touch report, p99", "µs", Check::Below,
     100},
    {"log.filtered", "Log: call filtered out by level", "ns", Check::Below, 2},
    {"log.formatted",
     "Log: \"System event %S not handled in %S state.\"",
     "ns",
     Check::NoSlowerThan,
     0,
     0,
     {"peer.swprintf", "peer.spdlog"}},
    {"peer.swprintf", "  the same text by swprintf into a stack buffer", "ns", Check::None},
    {"peer.spdlog", "  the same text by spdlog to a null sink", "ns", Check::None},
    {"log.filtered.allocs", "Log: heap allocations per filtered call", "", Check::AtMost, 0},
    {"log.formatted.allocs", "Log: heap allocations per formatted call", "", Check::AtMost, 0},
    {"log.hexline.allocs", "Log: heap allocations per 64-byte HexDump line", "", Check::AtMost, 0},
    {"log.hexline", "Log: a 64-byte HexDump line (dump made beforehand)", "ns", Check::None},
    {"hexdump.64", "HexDump of 64 bytes, apart (one string)", "ns", Check::None},
    {"idle.threads", "Idle host service: threads watched", "", Check::None},
    {"idle.seconds", "Idle host service: seconds watched", "s", Check::None},
    {"idle.switches", "Idle host service: context switches, all threads", "", Check::AtMost, 0},
    {"start.ms", "Process start to the first decision (gfx SetInfo)", "ms", Check::Below, 20},
    {"stop.ms", "Stop to Run returned, threads joined, 3 reads blocked", "ms", Check::Below, 50},
    {"memory.rss", "Resident set (VmRSS) of the idle host service", "MiB", Check::Below, 6},
    {"animation.runs", "Animations measured (15 steps at 5 ms)", "", Check::None},
    {"animation.sleeps", "  14 plain 5 ms sleeps on this machine, median", "ms", Check::None},
    {"animation.p50",
     "Animation: first to last driver record, median",
     "ms",
     Check::NearPeer,
     2,
     0,
     {"animation.sleeps"}},
    {"animation.max", "Animation: first to last driver record, slowest", "ms", Check::None},
};

// Prints the table: each figure beside its goal with pass or miss; returns the misses.
int PrintTable(const Figures& figures);

}  // namespace kelvo::bench
