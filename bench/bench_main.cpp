// kelvo-bench: what Kelvo costs on this machine, on the real clock, printed as one table with
// each figure beside its goal (goals.h).
//
//   kelvo-bench [--idle-seconds N] [--hotkey-presses N] [--button-presses N] [--animations N]
//
// Hot-key presses come one after another's absorb window (10 ms), so 10,000 of them take close to
// two minutes; the default of 2,000 still leaves 20 samples beyond the 99th percentile.
// "kelvo-bench probe ..." is the service probe that kelvo-bench runs in a child process.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "goals.h"
#include "probes.h"

namespace kelvo::bench {

namespace {

struct Options {
    int idleSeconds = 60;
    int hotKeyPresses = 2000;
    int buttonPresses = 10000;
    int animations = 20;
};

// Characters, not bytes: the units hold a "µ".
std::string Padded(std::string text, std::size_t width) {
    std::size_t shown = 0;
    for (unsigned char c : text) shown += (c & 0xC0) != 0x80;
    if (shown < width) text.append(width - shown, ' ');
    return text;
}

std::string WithUnit(const char* number, const char* unit) {
    return *unit == 0 ? std::string(number) : std::string(number) + " " + unit;
}

// A measured figure: to a tenth of a nanosecond or microsecond, a hundredth of a millisecond or
// mebibyte; counts whole.
std::string Measured(double value, const char* unit) {
    const std::string_view u = unit;
    const int decimals = u == "ns" || u == "µs" ? 1 : u == "ms" || u == "MiB" ? 2 : 0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return WithUnit(text, unit);
}

std::string Limit(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return WithUnit(text, unit);
}

}  // namespace

int PrintTable(const Figures& figures) {
    auto find = [&figures](const char* key) -> const double* {
        const auto it = figures.find(key);
        return it == figures.end() ? nullptr : &it->second;
    };
    constexpr std::size_t kLabel = 58;
    constexpr std::size_t kValue = 14;
    constexpr std::size_t kGoal = 18;
    std::printf("%s%s%s%s\n", Padded("figure", kLabel).c_str(), Padded("measured", kValue).c_str(),
                Padded("goal", kGoal).c_str(), "result");
    int misses = 0;
    for (const Goal& goal : kGoals) {
        const double* value = find(goal.key);
        std::string target;
        bool pass = true;
        switch (goal.check) {
            case Check::None:
                break;
            case Check::Below:
                target = "< " + Limit(goal.limit, goal.unit);
                pass = value && *value < goal.limit;
                break;
            case Check::AtMost:
                target = "<= " + Limit(goal.limit, goal.unit);
                pass = value && *value <= goal.limit;
                break;
            case Check::Within:
                target = Limit(goal.ideal, "") + " ± " + Limit(goal.limit, goal.unit);
                pass = value && std::fabs(*value - goal.ideal) <= goal.limit;
                break;
            case Check::NearPeer: {
                const double* peer = find(goal.peers[0]);
                target = "peer ± " + Limit(goal.limit, goal.unit);
                pass = value && peer && std::fabs(*value - *peer) <= goal.limit;
                break;
            }
            case Check::NoSlowerThan:
                target = "<= each peer";
                for (const char* peer : goal.peers) {
                    const double* other = find(peer);
                    pass = pass && value && other && *value <= *other;
                }
                break;
        }
        const char* result = goal.check == Check::None ? "" : pass ? "pass" : "MISS";
        if (!pass) ++misses;
        std::printf("%s%s%s%s\n", Padded(goal.label, kLabel).c_str(),
                    Padded(value ? Measured(*value, goal.unit) : "not measured", kValue).c_str(),
                    Padded(target, kGoal).c_str(), result);
    }
    return misses;
}

}  // namespace kelvo::bench

int main(int argc, char** argv) {
    using namespace kelvo::bench;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (!arguments.empty() && arguments[0] == "probe") {
        return RunServiceProbe(std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    }
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        int* target = option == "--idle-seconds"     ? &options.idleSeconds
                      : option == "--hotkey-presses" ? &options.hotKeyPresses
                      : option == "--button-presses" ? &options.buttonPresses
                      : option == "--animations"     ? &options.animations
                                                     : nullptr;
        if (target == nullptr || i + 1 == arguments.size() ||
            std::atoi(arguments[i + 1].c_str()) <= 0) {
            std::fprintf(stderr,
                         "usage: kelvo-bench [--idle-seconds N] [--hotkey-presses N] "
                         "[--button-presses N] [--animations N]\n");
            return 2;
        }
        *target = std::atoi(arguments[++i].c_str());
    }

    Figures figures;
    auto take = [&figures](const Figures& more) { figures.insert(more.begin(), more.end()); };
    std::fputs("kelvo-bench: the log facility and its peers\n", stderr);
    take(RunLogBenchmarks());
    std::fprintf(stderr, "kelvo-bench: %d hot-key and %d button presses\n", options.hotKeyPresses,
                 options.buttonPresses);
    take(MeasureInChild(
        {"latency", std::to_string(options.hotKeyPresses), std::to_string(options.buttonPresses)}));
    std::fprintf(stderr, "kelvo-bench: %d animations\n", options.animations);
    take(MeasureInChild({"animation", std::to_string(options.animations)}));
    std::fprintf(stderr, "kelvo-bench: kelvo-sim started, idle for %d s, stopped\n",
                 options.idleSeconds);
    take(MeasureKelvoSim(KELVO_SIM, options.idleSeconds));
    std::fflush(stderr);

    PrintTable(figures);
    // A goal missed is a finding, not a failure; only figures that could not be taken are.
    for (const Goal& goal : kGoals) {
        if (figures.count(goal.key) == 0) return 1;
    }
    return 0;
}
