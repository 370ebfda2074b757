// A system event monitor on the process's platform (under Wine on Linux), started on a thread of
// its own, recording every delivery. A marker (an event type past the last, delivered as raw data
// with its parameter) posted to the window tells when everything before it has been handled.
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include "devices/hid_client.h"
#include "events/system_event_monitor.h"
#include "platform/win32/windows_sdk.h"
#include "platform/world.h"

namespace events_test {

using Bytes = std::vector<unsigned char>;

struct Delivered {
    SystemEventType type;
    Bytes data;

    bool operator==(const Delivered&) const = default;
};

inline void PrintTo(const Delivered& delivered, std::ostream* out) {
    *out << "{" << static_cast<unsigned>(delivered.type) << ",";
    for (unsigned char b : delivered.data) *out << " " << static_cast<unsigned>(b);
    *out << "}";
}

// The 8 bytes of a message parameter, as the monitor hands it on.
inline Bytes ParameterBytes(std::uint64_t value) {
    Bytes bytes(8);
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    return bytes;
}

constexpr auto kPatience = std::chrono::seconds(30);  // only a hang takes this long
constexpr WPARAM kMarkerType = 30;

class MonitorRun {
public:
    explicit MonitorRun(HidDeviceList& devices)
        : _platform(platform::World::Current().GetPlatform()),
          monitor(_platform.kernel, _platform.windowing, _platform.security, _platform.registry,
                  _platform.hid, devices, nullptr) {
        monitor.RegisterCallback([this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
            std::lock_guard<std::mutex> lock(_mutex);
            _delivered.push_back({type, Bytes(data, data + size)});
            _changed.notify_all();
        });
        _run = std::thread([this] { monitor.Start(); });
    }
    ~MonitorRun() { Stop(); }
    MonitorRun(const MonitorRun&) = delete;
    MonitorRun& operator=(const MonitorRun&) = delete;

    // Stops the monitor and waits for Start to return (a hang is left to the test's time-out).
    void Stop() {
        if (!_run.joinable()) return;
        monitor.Stop();
        _run.join();
    }

    // The window, once the monitor has made it; null if it never does.
    HWND Window() {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!_window && std::chrono::steady_clock::now() < deadline) {
            _window = ::FindWindowW(SystemEventMonitor::kWindowClassName, nullptr);
            if (!_window) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return _window;
    }

    // Waits until the deliveries satisfy done; all of them then, which are forgotten.
    template <class Done>
    std::optional<std::vector<Delivered>> WaitUntil(Done done, std::chrono::milliseconds patience = kPatience) {
        std::unique_lock<std::mutex> lock(_mutex);
        if (!_changed.wait_for(lock, patience, [&] { return done(_delivered); })) return std::nullopt;
        return std::exchange(_delivered, {});
    }

    // Posts a marker and waits for it: what was delivered before it. The window takes messages
    // only once its loop runs, so the first settle also waits for that.
    std::optional<std::vector<Delivered>> Settle() {
        const LPARAM marker = ++_markers;
        if (!Window() || !::PostMessageW(_window, WM_MONITOR_EVENT, kMarkerType, marker)) return std::nullopt;
        const Delivered expected{EvtRawData, ParameterBytes(marker)};
        auto delivered = WaitUntil([&](const std::vector<Delivered>& all) { return !all.empty() && all.back() == expected; });
        if (delivered) delivered->pop_back();
        return delivered;
    }

private:
    const platform::Platform& _platform;

public:
    SystemEventMonitor monitor;

private:
    std::thread _run;
    HWND _window = nullptr;
    LPARAM _markers = 0;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<Delivered> _delivered;
};

}  // namespace events_test
