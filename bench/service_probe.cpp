// Probes of the whole service built on SimHost, on the real clock: the service starts in this
// process exactly as kelvo-sim starts it, and every record it writes to the timeline is stamped
// the moment it is written, under the world lock, on the thread that caused it.
//
//   probe latency HOTKEYS BUTTONS   frame-toggle presses by hot key, then by bezel button
//   probe animation RUNS            frame toggles animated in 15 steps at 5 ms
//
// The machine starts as an undocked slate, so every toggle shows or hides the frame.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "probes.h"
#include "service/sim/sim_host.h"

namespace kelvo::bench {

namespace {

using Clock = std::chrono::steady_clock;
using host::Command;
using host::SimHost;

enum class Record { Touch, Driver, EventSet, EventReset, Other };

// What a timeline line shows, from what follows its time stamp.
Record Classify(std::string_view line) {
    const std::size_t stamp = line.find("] ");
    if (stamp == std::string_view::npos) return Record::Other;
    line.remove_prefix(stamp + 2);
    if (line.starts_with("touch SetFeature ") || line.starts_with("touch Write ")) {
        return Record::Touch;
    }
    if (line.starts_with("gfx SetInfo ") || line.starts_with("gfx SetDeviceData ")) {
        return Record::Driver;
    }
    if (line.starts_with("event SetEvent ")) return Record::EventSet;
    if (line.starts_with("event ResetEvent ")) return Record::EventReset;
    return Record::Other;
}

// The timeline's stream: each line the timeline flushes is classified and stamped on arrival.
class Recorder {
public:
    Recorder() {
        cookie_io_functions_t io{};
        io.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
            static_cast<Recorder*>(cookie)->Written(std::string_view(data, size));
            return static_cast<ssize_t>(size);
        };
        _file = fopencookie(this, "w", io);
        // One write per line: the timeline flushes after each.
        if (_file != nullptr) std::setvbuf(_file, nullptr, _IOFBF, 1 << 16);
    }
    ~Recorder() {
        if (_file != nullptr) std::fclose(_file);
    }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    std::FILE* File() const { return _file; }

    // When the nth record of the kind since the last Clear was written; none if it does not
    // come within two seconds.
    std::optional<Clock::time_point> Wait(Record kind, std::size_t nth = 1) {
        std::unique_lock<std::mutex> lock(_mutex);
        std::optional<Clock::time_point> found;
        _arrived.wait_for(lock, std::chrono::seconds(2), [&] {
            std::size_t seen = 0;
            for (const auto& [k, time] : _records) {
                if (k == kind && ++seen == nth) {
                    found = time;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(_mutex);
        _records.clear();
    }

private:
    void Written(std::string_view text) {
        const Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(_mutex);
        while (!text.empty()) {
            const std::size_t end = std::min(text.find('\n'), text.size());
            const Record kind = Classify(text.substr(0, end));
            if (kind != Record::Other) _records.emplace_back(kind, now);
            text.remove_prefix(std::min(end + 1, text.size()));
        }
        _arrived.notify_all();
    }

    std::FILE* _file = nullptr;
    std::mutex _mutex;
    std::condition_variable _arrived;
    std::vector<std::pair<Record, Clock::time_point>> _records;
};

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Print(const char* key, double value) { std::printf("%s %.3f\n", key, value); }

// The service in this process on the real clock, with its timeline going to the recorder.
class Service {
public:
    Service()
        : _timeline(_recorder.File(), host::TimelineFormat::Text, 0), _host(Options(), _timeline) {}

    bool Start(DWORD animationSteps, DWORD animationInterval) {
        std::string error;
        if (_recorder.File() == nullptr || !_host.Build(&error)) {
            std::fprintf(stderr, "kelvo-bench: the service cannot be set up: %s\n", error.c_str());
            return false;
        }
        _host.Play({0, host::RegistrySet{L"Display", L"AnimationSteps", animationSteps}});
        _host.Play({0, host::RegistrySet{L"Display", L"AnimationIntervalMilliseconds",
                                         animationInterval}});
        _host.Start();
        _recorder.Clear();
        return true;
    }
    // As kelvo-sim ends: a service that does not stop leaves threads that cannot be torn down.
    void Finish() {
        if (!_host.Finish()) {
            std::fputs("kelvo-bench: the service did not stop\n", stderr);
            std::fflush(stdout);
            std::_Exit(1);
        }
    }

    SimHost& Host() { return _host; }
    Recorder& Records() { return _recorder; }

private:
    static host::WorldOptions Options() {
        host::WorldOptions options;
        options.slate = 0;
        options.docked = 0;
        options.realtime = true;
        return options;
    }

    Recorder _recorder;
    host::Timeline _timeline;
    SimHost _host;
};

const Command kToggleHotKey{0, host::PressHotKey{host::HotKey::Toggle}};
const Command kToggleButton{0, host::ButtonReport{0, {0x1A, 0x01, 0x00, 0x00}}};

// The service's threads are still in the world then: nothing can be torn down.
[[noreturn]] void Lost(const char* what, int press) {
    std::fprintf(stderr, "kelvo-bench: %s press %d did not reach the devices\n", what, press);
    std::_Exit(1);
}

int Latency(int hotKeys, int buttons) {
    Service service;
    // One driver request per frame change: a press is over once it reached the driver.
    if (!service.Start(1, 0)) return 1;
    Recorder& records = service.Records();
    std::vector<double> hotKeyTouch, hotKeyDriver, buttonTouch;
    for (int i = 0; i < hotKeys; ++i) {
        service.Host().Play(kToggleHotKey);
        const auto set = records.Wait(Record::EventSet);
        const auto touch = records.Wait(Record::Touch);
        const auto driver = records.Wait(Record::Driver);
        // The next press comes once the event is reset again, after the absorb window.
        if (!set || !touch || !driver || !records.Wait(Record::EventReset)) {
            Lost("hot-key", i);
        }
        hotKeyTouch.push_back(Micros(*touch - *set));
        hotKeyDriver.push_back(Micros(*driver - *set));
        records.Clear();
    }
    for (int i = 0; i < buttons; ++i) {
        const Clock::time_point queued = Clock::now();
        service.Host().Play(kToggleButton);
        const auto touch = records.Wait(Record::Touch);
        if (!touch || !records.Wait(Record::Driver)) Lost("button", i);
        buttonTouch.push_back(Micros(*touch - queued));
        records.Clear();
    }
    service.Finish();
    Print("hotkey.presses", hotKeys);
    Print("hotkey.touch.p50", Percentile(hotKeyTouch, 0.50));
    Print("hotkey.touch.p99", Percentile(hotKeyTouch, 0.99));
    Print("hotkey.driver.p50", Percentile(hotKeyDriver, 0.50));
    Print("hotkey.driver.p99", Percentile(hotKeyDriver, 0.99));
    Print("button.presses", buttons);
    Print("button.touch.p50", Percentile(buttonTouch, 0.50));
    Print("button.touch.p99", Percentile(buttonTouch, 0.99));
    return 0;
}

int Animation(int runs) {
    constexpr DWORD kSteps = 15;
    constexpr auto kInterval = std::chrono::milliseconds(5);
    Service service;
    if (!service.Start(kSteps, static_cast<DWORD>(kInterval.count()))) return 1;
    Recorder& records = service.Records();
    // What this machine gives the same waits without the service: the steps' sleeps, plainly.
    std::vector<double> sleeps;
    for (int i = 0; i < runs; ++i) {
        const auto begin = std::chrono::steady_clock::now();
        for (DWORD step = 1; step < kSteps; ++step) std::this_thread::sleep_for(kInterval);
        sleeps.push_back(Micros(std::chrono::steady_clock::now() - begin) / 1000);
    }
    std::vector<double> walls;
    for (int i = 0; i < runs; ++i) {
        service.Host().Play(kToggleHotKey);
        const auto first = records.Wait(Record::Driver);
        const auto last = records.Wait(Record::Driver, kSteps);
        if (!first || !last || !records.Wait(Record::EventReset)) Lost("animated", i);
        walls.push_back(Micros(*last - *first) / 1000);
        records.Clear();
    }
    service.Finish();
    Print("animation.runs", runs);
    Print("animation.sleeps", Percentile(sleeps, 0.50));
    Print("animation.p50", Percentile(walls, 0.50));
    Print("animation.max", Percentile(walls, 1.0));
    return 0;
}

}  // namespace

double Percentile(std::vector<double>& samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
    return samples[std::max<std::size_t>(rank, 1) - 1];
}

int RunServiceProbe(const std::vector<std::string>& arguments) {
    auto count = [&arguments](std::size_t i) {
        return i < arguments.size() ? std::atoi(arguments[i].c_str()) : 0;
    };
    if (arguments.size() == 3 && arguments[0] == "latency") return Latency(count(1), count(2));
    if (arguments.size() == 2 && arguments[0] == "animation") return Animation(count(1));
    std::fputs("kelvo-bench: probe latency HOTKEYS BUTTONS | probe animation RUNS\n", stderr);
    return 2;
}

}  // namespace kelvo::bench
