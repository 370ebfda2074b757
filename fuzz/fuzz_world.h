// What the fuzz targets share: a check that ends the run with its reason, and a simulated world
// with a running system event monitor that records what its callback receives.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "devices/hid_client.h"
#include "events/system_event_monitor.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/sim_world.h"
#include "platform/sync.h"

namespace fuzz {

// A broken rule is a finding like a crash: libFuzzer keeps the input that broke it.
inline void Check(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "check failed: %s\n", rule);
    std::abort();
}

struct Delivered {
    SystemEventType type;
    std::vector<unsigned char> data;
};

// A fresh world per input, so that every run of an input is the same. Plug devices into
// world.GetHid() before Start.
class MonitorWorld {
public:
    MonitorWorld() = default;
    ~MonitorWorld() {
        if (!_run.joinable()) return;
        _monitor->Stop();
        world.RunUntilIdle();
        _run.join();
    }
    MonitorWorld(const MonitorWorld&) = delete;
    MonitorWorld& operator=(const MonitorWorld&) = delete;

    void Start() {
        _devices = std::make_unique<HidDeviceList>(world.GetHid(), world.GetKernel());
        _monitor = std::make_unique<SystemEventMonitor>(world.GetKernel(), world.GetWindowing(),
                                                        world.GetSecurity(), _registry,
                                                        world.GetHid(), *_devices, nullptr);
        _monitor->RegisterCallback(
            [this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
                delivered.push_back({type, std::vector<unsigned char>(data, data + size)});
            });
        _run = platform::Thread(world.GetKernel(), [this] { _monitor->Start(); });
        world.RunUntilIdle();
        delivered.clear();
    }
    // Sends one message to the monitor window and lets it be handled.
    void Send(UINT message, WPARAM wParam, LPARAM lParam) {
        world.GetWindowing().Broadcast(message, wParam, lParam);
        world.RunUntilIdle();
    }

    // A started world shared by the inputs of a run, made afresh every kInputsPerWorld inputs:
    // starting a monitor costs far more than an input, and the records placed for the inputs
    // pile up in it.
    static MonitorWorld& Shared() {
        static constexpr int kInputsPerWorld = 512;
        static std::unique_ptr<MonitorWorld> shared;
        static int inputs = 0;
        if (!shared || ++inputs == kInputsPerWorld) {
            shared.reset();
            shared = std::make_unique<MonitorWorld>();
            shared->Start();
            inputs = 0;
        }
        shared->world.GetTracing().Clear();
        shared->delivered.clear();
        return *shared;
    }

    platform::sim::SimWorld world;
    std::vector<Delivered> delivered;

private:
    platform::sim::SimRegistry _registry{world.GetScheduler(), world.GetFaults(),
                                         world.GetKernel()};
    std::unique_ptr<HidDeviceList> _devices;
    std::unique_ptr<SystemEventMonitor> _monitor;
    platform::Thread _run;
};

}  // namespace fuzz
