#include "platform/sim/sim_world.h"

namespace platform::sim {

SimWorld::SimWorld(ClockMode mode)
    : SimParts(mode),
      World(Platform{SimParts::tracing, SimParts::kernel, SimParts::registry, SimParts::security,
                     SimParts::hid, SimParts::com, SimParts::windowing, SimParts::services}) {
    // A dead handle still registers, but on a device object that is gone: it hears nothing,
    // also not of the device that came back in its place.
    static const char kGoneDevice = 0;
    windowing.SetDeviceHandleResolver([this](HANDLE handle) -> const void* {
        const SimHidDevice* device = hid.DeviceOfHandleLocked(handle);
        if (device && !hid.HandleAliveLocked(handle)) return &kGoneDevice;
        return device;
    });
}

SimWorld::~SimWorld() { DestroyInstances(); }

Scheduler::Millis SimWorld::Now() {
    Scheduler::Lock world(scheduler.Mutex());
    return scheduler.Now();
}

bool SimWorld::RemoveDevice(SimHidDevice& device) {
    windowing.SendDeviceHandleEvent(DBT_DEVICEQUERYREMOVE, &device);
    scheduler.RunUntilIdle();
    if (hid.LiveHandleCount(device) != 0) {
        windowing.SendDeviceHandleEvent(DBT_DEVICEQUERYREMOVEFAILED, &device);
        scheduler.RunUntilIdle();
        return false;
    }
    Gone(device);
    return true;
}

void SimWorld::PullDevice(SimHidDevice& device) { Gone(device); }

void SimWorld::Gone(SimHidDevice& device) {
    hid.SetPresent(device, false);
    windowing.SendDeviceHandleEvent(DBT_DEVICEREMOVECOMPLETE, &device);
    windowing.SendDeviceInterfaceChange(DBT_DEVICEREMOVECOMPLETE, SimHid::kHidGuid,
                                        device.Description().path);
    scheduler.RunUntilIdle();
}

void SimWorld::ArriveDevice(SimHidDevice& device) {
    hid.SetPresent(device, true);
    windowing.SendDeviceInterfaceChange(DBT_DEVICEARRIVAL, SimHid::kHidGuid,
                                        device.Description().path);
    scheduler.RunUntilIdle();
}

}  // namespace platform::sim
