// The whole service on the real clock under four sources at once: hot keys, bezel-button reports,
// power broadcasts with their service controls, and window notifications. Each source injects a
// fixed number of inputs (KELVO_STORM_INPUTS, 1000 by default) from its own thread; once the
// service has stopped, every input is found again in the controller's lines. Only hot-key
// settings that the hot-keys thread absorbed (set again before it reset the event) are missing,
// and each one received is served. A second storm unplugs and plugs the devices meanwhile: then
// inputs may be lost with their device, but the service must not hang, crash or leak. How fast
// the machine runs changes the interleaving only.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/utf8.h"
#include "scenario/scenario.h"
#include "service/sim/sim_host.h"

namespace {

using namespace kelvo::host;

using Counts = std::map<std::wstring, long>;
// One input and the lines it must bring about.
struct Injection {
    Action action;
    std::vector<std::wstring> lines;
};
// storm_inputs.txt by source, the hot keys first.
std::vector<std::vector<Injection>> ReadSources() {
    std::map<std::wstring, std::vector<Injection>> sources;
    std::ifstream in(KELVO_STORM_INPUT_FILE);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::wstring> fields;
        for (std::size_t from = 0, bar = 0; bar != std::string::npos; from = bar + 3) {
            bar = line.find(" | ", from);
            fields.emplace_back(line.begin() + long(from),
                                bar == std::string::npos ? line.end() : line.begin() + long(bar));
        }
        std::string error;
        const auto command = ParseScenarioLine(platform::sim::ToUtf8(fields[1]), 1, 3, &error);
        EXPECT_TRUE(command) << error;
        sources[fields[0]].push_back(
            {command ? command->action : Action{}, {fields.begin() + 2, fields.end()}});
    }
    return {sources[L"hotkeys"], sources[L"buttons"], sources[L"power"], sources[L"notifications"]};
}

long InputsPerSource() {
    const char* inputs = std::getenv("KELVO_STORM_INPUTS");
    return inputs ? std::atol(inputs) : 1000;
}

WorldOptions OnTheRealClock() {
    WorldOptions options;
    options.level = TRACE_LEVEL_INFORMATION, options.realtime = true;
    return options;
}

// One thread per source, each playing perSource of its inputs at random, a little apart; counts
// (one per source) gets the lines each input must bring about.
std::vector<std::thread> Inject(SimHost& host, const std::vector<std::vector<Injection>>& sources,
                                long perSource, std::vector<Counts>& counts) {
    counts.assign(sources.size(), {});
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        threads.emplace_back([&host, &sources, &counts, perSource, i] {
            std::mt19937 random(static_cast<unsigned>(i));
            for (long n = 0; n < perSource; ++n) {
                const Injection& injection = sources[i][random() % sources[i].size()];
                host.Play(Command{int(n + 1), injection.action});
                for (const std::wstring& line : injection.lines) ++counts[i][line];
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            }
        });
    }
    return threads;
}

TEST(Storm, EveryInputFromFourSourcesAtOnceIsAccountedFor) {
    const long perSource = InputsPerSource();
    std::FILE* sink = std::fopen("/dev/null", "w");
    const std::vector<std::vector<Injection>> kSources = ReadSources();
    Counts pressed, expected, seen;  // hot keys set; lines of the other inputs; lines seen
    {
        Timeline timeline(sink, TimelineFormat::Text, TRACE_LEVEL_VERBOSE);
        SimHost host(OnTheRealClock(), timeline);
        std::string error;
        ASSERT_TRUE(host.Build(&error)) << error;
        host.Start();
        std::vector<Counts> counts;
        for (std::thread& t : Inject(host, kSources, perSource, counts)) t.join();
        for (std::size_t i = 0; i < counts.size(); ++i) {
            for (const auto& [line, n] : counts[i]) (i == 0 ? pressed : expected)[line] += n;
        }
        Counts all = pressed;  // every line looked for, once
        all.insert(expected.begin(), expected.end());
        auto count = [&host, &all] {
            Counts lines;
            for (const auto& event : host.GetWorld().GetTracing().Events()) {
                EXPECT_GT(event.level, TRACE_LEVEL_CRITICAL) << platform::sim::ToUtf8(event.text);
                for (const auto& [line, n] : all) lines[line] += event.text.rfind(line, 0) == 0;
            }
            return lines;
        };
        // The button threads read their last reports in their own time: wait until every input
        // but the hot keys' has its line (a minute at most, against a hang), then stop. The stop
        // ends the hot-keys thread before the window, so every hot key received is served.
        const auto guard = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        for (bool all = false; !all && std::chrono::steady_clock::now() < guard;) {
            host.GetWorld().RunUntilIdle();
            seen = count();
            all = std::all_of(expected.begin(), expected.end(),
                              [&seen](const auto& e) { return seen[e.first] >= e.second; });
        }
        EXPECT_EQ(host.Finish(), 0);
        seen = count();
    }
    std::fclose(sink);
    for (const Injection& key : kSources[0]) {
        const std::wstring &received = key.lines[0], &served = key.lines[1];
        EXPECT_LE(seen[received], pressed[received]) << platform::sim::ToUtf8(received);
        EXPECT_GT(seen[received], 0) << platform::sim::ToUtf8(received);
        expected[served] += seen[received];
        expected[received] = seen[received];
    }
    EXPECT_EQ(seen, expected);
}

TEST(Storm, DevicesThatComeAndGoMeanwhileLeaveNothingBehind) {
    const long perSource = InputsPerSource();
    std::FILE* sink = std::fopen("/dev/null", "w");
    const std::vector<std::vector<Injection>> kSources = ReadSources();
    {
        Timeline timeline(sink, TimelineFormat::Text, TRACE_LEVEL_VERBOSE);
        SimHost host(OnTheRealClock(), timeline);
        std::string error;
        ASSERT_TRUE(host.Build(&error)) << error;
        host.Start();
        std::vector<Counts> counts;
        std::vector<std::thread> threads = Inject(host, kSources, perSource, counts);
        // The touch controller (-1) and the three button devices, each out or in by turns, on
        // until the service has stopped: the stop too meets devices that come and go.
        std::atomic<bool> stopped{false};
        std::thread plugs([&] {
            std::map<int, bool> out;
            std::mt19937 random(7);
            for (long n = 0; n < perSource / 10 || !stopped; ++n) {
                const int device = static_cast<int>(random() % 4) - 1;
                // Half the removals in order, half pulled out.
                const bool pulled = !out[device] && random() % 2 == 0;
                host.Play(Command{int(n + 1), PlugDevice{device, out[device], pulled}});
                out[device] = !out[device];
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
            }
        });
        for (std::thread& t : threads) t.join();
        EXPECT_EQ(host.Finish(), 0);
        stopped = true;
        plugs.join();
        platform::sim::SimWorld& world = host.GetWorld();
        for (const auto& event : world.GetTracing().Events()) {
            EXPECT_GT(event.level, TRACE_LEVEL_CRITICAL) << platform::sim::ToUtf8(event.text);
        }
        // As after any run: no thread, window, registration or timer, and of the devices at most
        // the touch controller open, by the touch manager that outlives the service.
        const auto windowing = world.GetWindowing().Count();
        EXPECT_EQ(world.GetScheduler().ParticipantCount(), 0u);
        EXPECT_EQ(windowing.windows + windowing.registrations + windowing.timers, 0u);
        EXPECT_LE(world.GetKernel().OpenHandleCount(), 1u);
        EXPECT_EQ(world.GetHid().DeviceInfoListCount() + world.GetHid().PreparsedDataCount(), 0u);
    }
    std::fclose(sink);
}

}  // namespace
