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

// A started world shared by the inputs of a run (starting a monitor costs far more than an
// input), made afresh every 512 inputs, as the records placed for them pile up in it.
class MonitorWorld {
public:
    MonitorWorld()
        : _devices(world.GetHid(), world.GetKernel()),
          _monitor(world.GetKernel(), world.GetWindowing(), world.GetSecurity(), world.GetRegistry(),
                   world.GetHid(), _devices, nullptr) {
        _monitor.RegisterCallback([this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
            delivered.push_back({type, std::vector<unsigned char>(data, data + size)});
        });
        _run = platform::Thread(world.GetKernel(), [this] { _monitor.Start(); });
        world.RunUntilIdle();
    }
    ~MonitorWorld() {
        _monitor.Stop();
        world.RunUntilIdle();
        _run.join();
    }

    static MonitorWorld& Shared() {
        static std::unique_ptr<MonitorWorld> shared;
        static int inputs = 0;
        if (!shared || ++inputs == 512) {
            shared.reset();
            shared = std::make_unique<MonitorWorld>();
            inputs = 0;
        }
        shared->world.GetTracing().Clear();
        shared->delivered.clear();
        return *shared;
    }
    // Sends one message to the monitor window and lets it be handled.
    void Send(UINT message, WPARAM wParam, LPARAM lParam) {
        world.GetWindowing().Broadcast(message, wParam, lParam);
        world.RunUntilIdle();
    }

    platform::sim::SimWorld world;
    std::vector<Delivered> delivered;

private:
    HidDeviceList _devices;
    SystemEventMonitor _monitor;
    platform::Thread _run;
};

}  // namespace fuzz
