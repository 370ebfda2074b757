// A simulated world with a system event monitor in it, its run thread, and what its callback
// received, written as "event <type> <bytes>" lines.
#pragma once

#include <atomic>
#include <exception>
#include <memory>
#include <string>

#include "devices/hid_client.h"
#include "events/system_event_monitor.h"
#include "platform/sync.h"
#include "rig/sim_rig.h"

namespace events_test {

struct MonitorRig : rig::SimRig {
    ~MonitorRig() {
        if (run.joinable()) Stop();
    }
    // Makes the monitor, with the HID devices plugged in so far, recording every delivery.
    SystemEventMonitor& Create() {
        devices = std::make_unique<HidDeviceList>(world.GetHid(), world.GetKernel());
        monitor = std::make_unique<SystemEventMonitor>(world.GetKernel(), world.GetWindowing(), world.GetSecurity(),
                                                       world.GetRegistry(), world.GetHid(), *devices, nullptr);
        monitor->RegisterCallback([this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
            delivered += "event " + std::to_string(type);
            for (std::uint64_t i = 0; i < size; ++i) delivered += " " + std::to_string(data[i]);
            delivered += "\n";
        });
        return *monitor;
    }
    // Runs Start on a thread of its own, then the world until everything waits.
    void Start() {
        if (!monitor) Create();
        startReturned = false;
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

    std::unique_ptr<HidDeviceList> devices;
    std::unique_ptr<SystemEventMonitor> monitor;
    std::string delivered;
    platform::Thread run;
    std::exception_ptr startException;
    std::atomic<bool> startReturned{false};
};

}  // namespace events_test
