// The system event monitor's three button threads against the substitute bezel-button devices,
// through Windows' HID class driver (under Wine on Linux): what an injected report makes of each
// device, and that a stop ends every thread however the reports come.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/hid_client.h"
#include "events/system_event_monitor.h"
#include "platform/win32/windows_sdk.h"
#include "platform/world.h"
#include "substitute_hid_control.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr auto kPatience = std::chrono::seconds(30);  // only a hang takes this long
constexpr const char* kButtons[] = {"button-0", "button-1", "button-2"};
// A type past the last one, delivered as raw data with its parameter: a marker.
constexpr WPARAM kMarkerType = 30;

struct Delivered {
    SystemEventType type;
    Bytes data;

    bool operator==(const Delivered&) const = default;
};

void PrintTo(const Delivered& delivered, std::ostream* out) {
    *out << "{" << static_cast<unsigned>(delivered.type) << ",";
    for (unsigned char b : delivered.data) *out << " " << std::hex << static_cast<unsigned>(b);
    *out << "}";
}

Bytes ParameterBytes(std::uint64_t value) {
    Bytes bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    return bytes;
}

// A monitor on the process's platform, started on a thread of its own, recording every delivery.
class MonitorRun {
public:
    explicit MonitorRun(const HidDeviceList& devices)
        : _platform(platform::World::Current().GetPlatform()),
          _monitor(_platform.kernel, _platform.windowing, _platform.security, _platform.registry,
                   _platform.hid, devices, nullptr) {
        _monitor.RegisterCallback(
            [this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
                std::lock_guard<std::mutex> lock(_mutex);
                _delivered.push_back({type, Bytes(data, data + size)});
                _changed.notify_all();
            });
        _run = std::thread([this] {
            _monitor.Start();
            _ended.set_value();
        });
    }
    ~MonitorRun() { Stop(); }
    MonitorRun(const MonitorRun&) = delete;
    MonitorRun& operator=(const MonitorRun&) = delete;

    // Stops the monitor and waits for Start to return. One that does not return is a hang: the
    // process ends with the reason rather than waiting for the test's time-out.
    void Stop() {
        if (!_run.joinable()) return;
        std::promise<void> stopped;
        std::thread stopper([&] {
            _monitor.Stop();
            stopped.set_value();
        });
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        if (stopped.get_future().wait_until(deadline) != std::future_status::ready ||
            _ended.get_future().wait_until(deadline) != std::future_status::ready) {
            std::fprintf(stderr, "The monitor did not end within %lld s of its stop.\n",
                         static_cast<long long>(kPatience.count()));
            std::fflush(stderr);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
        stopper.join();
        _run.join();
    }

    HWND Window() {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        HWND window = nullptr;
        while (!(window = ::FindWindowW(SystemEventMonitor::kWindowClassName, nullptr)) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return window;
    }

    // Waits until the deliveries satisfy done; all of them then, which are forgotten.
    template <class Done>
    std::optional<std::vector<Delivered>> WaitUntil(
        Done done, std::chrono::milliseconds patience = kPatience) {
        std::unique_lock<std::mutex> lock(_mutex);
        if (!_changed.wait_for(lock, patience, [&] { return done(_delivered); }))
            return std::nullopt;
        return std::exchange(_delivered, {});
    }

    // Posts a marker and waits for it: every posted event before it has been delivered then.
    std::optional<std::vector<Delivered>> Settle(HWND window) {
        const LPARAM marker = ++_markers;
        if (!::PostMessageW(window, WM_MONITOR_EVENT, kMarkerType, marker)) return std::nullopt;
        const Delivered expected{EvtRawData, ParameterBytes(marker)};
        auto delivered = WaitUntil([&](const std::vector<Delivered>& all) {
            return !all.empty() && all.back() == expected;
        });
        if (delivered) delivered->pop_back();
        return delivered;
    }

private:
    const platform::Platform& _platform;
    SystemEventMonitor _monitor;
    std::promise<void> _ended;
    std::thread _run;
    LPARAM _markers = 0;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Delivered> _delivered;
};

// Waits until some button thread reads from the device: releases, which post nothing, are
// injected until one comes through, each marked with the device and a count in its spare bytes.
// A device's reports reach its reader in order, so when the last one has come the others have.
bool WaitUntilRead(substitute_hid::Control& control, MonitorRun& run, BYTE device) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (BYTE sent = 1; sent != 0 && std::chrono::steady_clock::now() < deadline; ++sent) {
        const Bytes probe{0x18, 0x00, device, sent};
        if (!control.Inject(kButtons[device], probe)) return false;
        const auto delivered = run.WaitUntil(
            [&](const std::vector<Delivered>& all) {
                return !all.empty() && all.back().data == probe;
            },
            std::chrono::milliseconds(200));
        if (delivered) return true;
    }
    return false;
}

// ---- What a report makes of each device ----

struct Press {
    BYTE usage;
    SystemEventType event;
};
constexpr Press kPresses[] = {{0x18, EvtLocked}, {0x19, EvtUnlocked}, {0x1A, EvtBezelToggled}};

TEST(BezelButtonsWin32, EachDevicesPressPostsItsEventAndAReleaseNothing) {
    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    ASSERT_TRUE(control);
    const platform::Platform& platform = platform::World::Current().GetPlatform();
    const HidDeviceList devices(platform.hid, platform.kernel);
    MonitorRun run(devices);
    const HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    for (BYTE device = 0; device < 3; ++device) ASSERT_TRUE(WaitUntilRead(*control, run, device));
    ASSERT_TRUE(run.Settle(window));  // the modes the monitor started with

    for (BYTE device = 0; device < 3; ++device) {
        SCOPED_TRACE(kButtons[device]);
        // Each press and release in turn, then a press again: an event that a release posted
        // would come before the last press's. The raw reports come on the button thread, the
        // events on the window's, so each kind keeps its own order.
        std::vector<Bytes> reports;
        std::vector<Delivered> raw, events;
        for (const Press& press : kPresses) {
            reports.push_back({press.usage, 0x01, device, 0x00});
            events.push_back({press.event, ParameterBytes(0)});
            reports.push_back({press.usage, 0x00, device, 0x00});
        }
        reports.push_back({kPresses[0].usage, 0x01, device, 0x00});
        events.push_back({kPresses[0].event, ParameterBytes(0)});
        for (const Bytes& report : reports) {
            ASSERT_TRUE(control->Inject(kButtons[device], report));
            raw.push_back({EvtRawData, report});
        }
        auto delivered = run.WaitUntil([&](const std::vector<Delivered>& all) {
            return all.size() >= raw.size() + events.size();
        });
        ASSERT_TRUE(delivered);
        const auto late = run.Settle(window);
        ASSERT_TRUE(late);
        delivered->insert(delivered->end(), late->begin(), late->end());
        std::vector<Delivered> raws, posted;
        for (Delivered& d : *delivered) (d.type == EvtRawData ? raws : posted).push_back(d);
        EXPECT_EQ(raws, raw);
        EXPECT_EQ(posted, events);
    }
    // The three threads are blocked in their reads.
    run.Stop();
}

// ---- Stops ----

TEST(BezelButtonsWin32, EveryStopEndsTheThreadsWhileReportsStream) {
    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    ASSERT_TRUE(control);
    const platform::Platform& platform = platform::World::Current().GetPlatform();
    const HidDeviceList devices(platform.hid, platform.kernel);
    std::atomic<bool> injected{true};
    // Releases: reports for every thread to read, and no events to handle.
    std::jthread stream([&](const std::stop_token& stop) {
        for (unsigned n = 0; !stop.stop_requested(); ++n) {
            const Bytes release{0x19, 0x00, static_cast<BYTE>(n), static_cast<BYTE>(n >> 8)};
            if (!control->Inject(kButtons[n % 3], release)) injected = false;
        }
    });
    for (int cycle = 0; cycle < 200; ++cycle) {
        MonitorRun run(devices);
        // Stopped at once, or once the window is there (and the threads most likely reading).
        if (cycle % 2 == 1) {
            ASSERT_NE(run.Window(), nullptr) << "cycle " << cycle;
        }
        run.Stop();
    }
    stream.request_stop();
    stream.join();
    EXPECT_TRUE(injected);
}

}  // namespace
