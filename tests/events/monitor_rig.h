// A simulated world with a system event monitor in it: the monitor's run thread, what its
// callback received, and the traces written since the last look.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "devices/hid_client.h"
#include "events/system_event_monitor.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/sim_world.h"
#include "platform/sync.h"

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

inline std::wstring Hex32(std::uint64_t value) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%08x", static_cast<unsigned>(value & 0xFFFFFFFFu));
    return text;
}

class MonitorRig {
public:
    static constexpr const wchar_t* kHotKeysKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\HotKeys";

    MonitorRig() = default;
    ~MonitorRig() {
        if (run.joinable()) {
            monitor->Stop();
            world.RunUntilIdle();
            run.join();
        }
    }
    MonitorRig(const MonitorRig&) = delete;
    MonitorRig& operator=(const MonitorRig&) = delete;

    platform::sim::SimWindowing& Windowing() { return world.GetWindowing(); }
    platform::sim::SimKernel& Kernel() { return world.GetKernel(); }

    // Makes the monitor, with the HID devices plugged in so far, and registers a callback that
    // records every delivery.
    SystemEventMonitor& Create(PVOID recipient = nullptr) {
        devices = std::make_unique<HidDeviceList>(world.GetHid(), world.GetKernel());
        monitor = std::make_unique<SystemEventMonitor>(world.GetKernel(), Windowing(),
                                                       world.GetSecurity(), registry,
                                                       world.GetHid(), *devices, recipient);
        monitor->RegisterCallback(
            [this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
                delivered.push_back({type, Bytes(data, data + size)});
            });
        return *monitor;
    }

    // Runs Start on a thread of its own, then the world until everything waits.
    void Start() {
        if (!monitor) Create();
        run = platform::Thread(world.GetKernel(), [this] {
            try {
                monitor->Start();
            } catch (...) {
                startException = std::current_exception();
            }
            startReturned = true;
        });
        world.RunUntilIdle();
    }

    // Stops from the test's thread and waits for Start to return.
    void Stop() {
        monitor->Stop();
        world.RunUntilIdle();
        run.join();
    }

    HWND Window() { return Windowing().FindWindowW(SystemEventMonitor::kWindowClassName, nullptr); }

    void Fail(const std::string& operation, DWORD error, unsigned nth = 1) {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, error, nth);
    }
    void FailAlways(const std::string& operation, DWORD error) {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().FailAlways(operation, error);
    }
    void Record() {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().SetRecording(true);
    }
    std::vector<std::string> Calls() {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        return world.GetFaults().Calls();
    }

    // The traces since the last call (or the start), as "level text", with the source line of
    // status lines left out so that the tests do not pin line numbers.
    std::vector<std::wstring> TakeTraces() {
        std::vector<std::wstring> traces;
        for (const auto& event : world.GetTracing().Events()) {
            std::wstring text = event.text;
            const std::size_t at = text.find(L"@ LINE ");
            if (at != std::wstring::npos && text.size() >= at + 11)
                text.replace(at + 7, 4, L"####");
            traces.push_back(std::to_wstring(event.level) + L" " + text);
        }
        world.GetTracing().Clear();
        return traces;
    }
    std::vector<Delivered> TakeDelivered() { return std::exchange(delivered, {}); }

    platform::sim::SimWorld world;
    platform::sim::SimRegistry registry{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
    std::unique_ptr<HidDeviceList> devices;
    std::unique_ptr<SystemEventMonitor> monitor;
    std::vector<Delivered> delivered;
    platform::Thread run;
    std::exception_ptr startException;
    std::atomic<bool> startReturned{false};
};

}  // namespace events_test
