// The whole service on the real clock under four sources at once: hot keys, bezel-button reports,
// power broadcasts with their service controls, and window notifications (display, away mode,
// slate and dock settings, graphics mode, raw monitor events). Afterwards every event is found
// again in the controller's lines; only hot-key settings that the hot-keys thread absorbed
// (set again before it reset the event) are missing, and they are counted.
//
// KELVO_STORM_SECONDS sets the length (10 s by default).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/utf8.h"
#include "service/sim/scenario.h"
#include "service/sim/sim_host.h"
#include "service/sim/timeline.h"

namespace {

using kelvo::host::Action;
using kelvo::host::ButtonReport;
using kelvo::host::Command;
using kelvo::host::DeviceInterfaceChange;
using kelvo::host::HotKey;
using kelvo::host::PostMonitorEvent;
using kelvo::host::PowerEvent;
using kelvo::host::PowerSettingChange;
using kelvo::host::PressHotKey;
using kelvo::host::SetMetric;
using kelvo::host::SettingChange;
using kelvo::host::SimHost;

// What one source expects to find: a count per line of the controller or the hot-keys thread.
using Counts = std::map<std::wstring, long>;

const std::wstring kRaw = L"System event (0) raw data:";

// Lines are matched by their start; the raw-data and OEM lines go on with their data.
const std::vector<std::wstring> kCounted = {
    L"System is in CLAMSHELL mode.",
    L"System is in TABLET mode.",
    L"System is in DOCKED.",
    L"System is in UNDOCKED.",
    L"System is in LOCKED.",
    L"System is in UNLOCKED.",
    L"Virtual Bezel is TOGGLED.",
    L"System is being SUSPENDED.",
    L"System is entering CONNECTED STANDBY.",
    L"System is being RESUMED.",
    L"System is being RESUMED from previous CRITICAL condition.",
    L"System battery is low.",
    L"System power status changed.",
    L"System detected OEM power event: 0x",
    L"System is entering Away Mode.",
    L"System exits Away Mode.",
    L"System monitor display turned off.",
    L"System monitor display turned on.",
    L"Graphics mode changed.",
    kRaw,
    L"VK_ClamshellTabletToggle event received",
    L"VK_DockUndockToggle event received",
    L"VK_Lock event received",
    L"VK_Unlock event received",
    L"VK_BezelToggle event received",
};

// One injected input: what to do, and what it must bring about. A hot key brings about its
// "received" line (or is absorbed); the controller's line for it is counted from that line.
struct Injection {
    Action action;
    std::vector<std::wstring> expected;
};

using Source = std::function<Injection(std::mt19937&)>;

Injection HotKeys(std::mt19937& random) {
    static const struct {
        HotKey key;
        const wchar_t* received;
    } kKeys[] = {
        {HotKey::Slate, L"VK_ClamshellTabletToggle event received"},
        {HotKey::Dock, L"VK_DockUndockToggle event received"},
        {HotKey::Lock, L"VK_Lock event received"},
        {HotKey::Unlock, L"VK_Unlock event received"},
        {HotKey::Toggle, L"VK_BezelToggle event received"},
    };
    const auto& k = kKeys[random() % std::size(kKeys)];
    return {PressHotKey{k.key}, {k.received}};
}

Injection Buttons(std::mt19937& random) {
    static const BYTE kUsages[] = {0x18, 0x19, 0x1A, 0x1B};
    static const wchar_t* const kPressed[] = {L"System is in LOCKED.", L"System is in UNLOCKED.",
                                              L"Virtual Bezel is TOGGLED.", nullptr};
    const std::size_t usage = random() % std::size(kUsages);
    const bool pressed = random() % 2 != 0;
    Injection injection{ButtonReport{static_cast<int>(random() % 3),
                                     {kUsages[usage], static_cast<BYTE>(pressed), 0, 0}},
                        {kRaw}};
    if (pressed && kPressed[usage]) injection.expected.push_back(kPressed[usage]);
    return injection;
}

Injection Power(std::mt19937& random) {
    static const struct {
        DWORD type;
        const wchar_t* line;
    } kBroadcasts[] = {
        {PBT_APMSUSPEND, L"System is being SUSPENDED."},
        {PBT_APMSTANDBY, L"System is entering CONNECTED STANDBY."},
        {PBT_APMRESUMEAUTOMATIC, L"System is being RESUMED."},
        {PBT_APMRESUMECRITICAL, L"System is being RESUMED from previous CRITICAL condition."},
        {PBT_APMRESUMESUSPEND, nullptr},
        {PBT_APMRESUMESTANDBY, nullptr},
        {PBT_APMBATTERYLOW, L"System battery is low."},
        {PBT_APMPOWERSTATUSCHANGE, L"System power status changed."},
        {PBT_APMOEMEVENT, L"System detected OEM power event: 0x"},
        {0x0A0B, kRaw.c_str()},
    };
    const auto& b = kBroadcasts[random() % std::size(kBroadcasts)];
    const LPARAM data = b.type == PBT_APMOEMEVENT ? static_cast<LPARAM>(random() & 0xFFFF) : 0;
    Injection injection{PowerEvent{b.type, data}, {}};
    if (b.line) injection.expected.push_back(b.line);
    return injection;
}

Injection Notifications(std::mt19937& random) {
    switch (random() % 10) {
        case 0:
            return {PowerSettingChange{kelvo::host::kGuidConsoleDisplayState, 0},
                    {L"System monitor display turned off."}};
        case 1:
            return {PowerSettingChange{kelvo::host::kGuidConsoleDisplayState, 1},
                    {L"System monitor display turned on."}};
        case 2:
            return {PowerSettingChange{kelvo::host::kGuidConsoleDisplayState, 2}, {}};
        case 3:
            return {PowerSettingChange{kelvo::host::kGuidSystemAwayMode, 1},
                    {L"System is entering Away Mode."}};
        case 4:
            return {PowerSettingChange{kelvo::host::kGuidSystemAwayMode, 0},
                    {L"System exits Away Mode."}};
        case 5:
            return {DeviceInterfaceChange{DBT_DEVICEARRIVAL, kelvo::host::kGuidGfxModeSetInterface},
                    {L"Graphics mode changed."}};
        case 6:
            return {PostMonitorEvent{25}, {kRaw}};
        case 7:
            return {SetMetric{random() % 2 ? SM_CONVERTIBLESLATEMODE : SM_SYSTEMDOCKED,
                              static_cast<int>(random() % 2)},
                    {}};
        case 8:
            // Which of the two lines depends on the metric as it stands; the pair is counted.
            return {SettingChange{L"ConvertibleSlateMode"}, {L"slate setting"}};
        default:
            return {SettingChange{L"SystemDockMode"}, {L"dock setting"}};
    }
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

Counts CountLines(platform::sim::SimWorld& world, long* critical) {
    Counts counts;
    *critical = 0;
    for (const auto& event : world.GetTracing().Events()) {
        if (event.level <= TRACE_LEVEL_CRITICAL) ++*critical;
        for (const std::wstring& prefix : kCounted) {
            if (StartsWith(event.text, prefix)) ++counts[prefix];
        }
    }
    return counts;
}

std::chrono::milliseconds StormLength() {
    const char* seconds = std::getenv("KELVO_STORM_SECONDS");
    return std::chrono::milliseconds(seconds ? std::atol(seconds) * 1000 : 10000);
}

TEST(Storm, EveryEventFromFourSourcesAtOnceIsAccountedFor) {
    std::FILE* sink = std::fopen("/dev/null", "w");
    ASSERT_NE(sink, nullptr);
    kelvo::host::Timeline timeline(sink, kelvo::host::TimelineFormat::Text, TRACE_LEVEL_VERBOSE);
    kelvo::host::WorldOptions options;
    options.realtime = true;
    options.level = TRACE_LEVEL_INFORMATION;
    auto host = std::make_unique<SimHost>(options, timeline);
    std::string error;
    ASSERT_TRUE(host->Build(&error)) << error;
    host->Start();

    struct Stream {
        Source make;
        int maxPauseMs;
        Counts injected = {};
        long count = 0;
    };
    std::vector<Stream> streams = {{HotKeys, 20}, {Buttons, 4}, {Power, 8}, {Notifications, 8}};
    const auto end = std::chrono::steady_clock::now() + StormLength();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        threads.emplace_back([&host, &stream = streams[i], end, seed = static_cast<unsigned>(i)] {
            std::mt19937 random(seed);
            int line = 0;
            while (std::chrono::steady_clock::now() < end) {
                Injection injection = stream.make(random);
                host->Play(Command{++line, injection.action});
                for (const std::wstring& expected : injection.expected) ++stream.injected[expected];
                ++stream.count;
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(random() % (stream.maxPauseMs + 1)));
            }
        });
    }
    for (std::thread& t : threads) t.join();

    // Let the last events through: the hot-keys thread may still be in its pause after a post.
    platform::sim::SimWorld& world = host->GetWorld();
    long critical = 0;
    Counts seen = CountLines(world, &critical);
    for (int quiet = 0; quiet < 3;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        world.RunUntilIdle();
        Counts now = CountLines(world, &critical);
        quiet = now == seen ? quiet + 1 : 0;
        seen = std::move(now);
    }
    EXPECT_EQ(host->Finish(), 0);
    host.reset();
    std::fclose(sink);

    Counts expected;
    for (const Stream& stream : streams) {
        for (const auto& [line, n] : stream.injected) expected[line] += n;
    }
    // Hot keys: each one received becomes the controller's event; the rest were absorbed. The
    // two toggles post one of two events, so those pairs are checked on their own below.
    const struct {
        const wchar_t* received;
        const wchar_t* controller;
    } kHotKeyLines[] = {
        {L"VK_ClamshellTabletToggle event received", nullptr},
        {L"VK_DockUndockToggle event received", nullptr},
        {L"VK_Lock event received", L"System is in LOCKED."},
        {L"VK_Unlock event received", L"System is in UNLOCKED."},
        {L"VK_BezelToggle event received", L"Virtual Bezel is TOGGLED."},
    };
    long absorbed = 0;
    for (const auto& k : kHotKeyLines) {
        const long set = expected[k.received];
        const long received = seen[k.received];
        EXPECT_LE(received, set) << platform::sim::ToUtf8(k.received);
        EXPECT_GT(received, 0) << platform::sim::ToUtf8(k.received);
        absorbed += set - received;
        expected[k.received] = received;
        if (k.controller) expected[k.controller] += received;
    }
    const long slatePair =
        seen[L"System is in CLAMSHELL mode."] + seen[L"System is in TABLET mode."];
    const long dockPair = seen[L"System is in DOCKED."] + seen[L"System is in UNDOCKED."];
    EXPECT_EQ(slatePair,
              seen[L"VK_ClamshellTabletToggle event received"] + expected[L"slate setting"]);
    EXPECT_EQ(dockPair, seen[L"VK_DockUndockToggle event received"] + expected[L"dock setting"]);
    for (const wchar_t* paired :
         {L"System is in CLAMSHELL mode.", L"System is in TABLET mode.", L"System is in DOCKED.",
          L"System is in UNDOCKED.", L"slate setting", L"dock setting"}) {
        expected.erase(paired);
        seen.erase(paired);
    }
    for (auto it = expected.begin(); it != expected.end();) {
        it = it->second == 0 ? expected.erase(it) : std::next(it);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(critical, 0);

    long total = 0;
    for (const Stream& stream : streams) total += stream.count;
    std::printf(
        "storm: %ld inputs (hot keys %ld, buttons %ld, power %ld, notifications %ld), "
        "%ld hot-key settings absorbed\n",
        total, streams[0].count, streams[1].count, streams[2].count, streams[3].count, absorbed);
}

}  // namespace
