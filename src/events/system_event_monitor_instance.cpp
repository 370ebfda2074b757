// The process-wide system event monitor, built on the current world's platform.
#include <memory>

#include "events/system_event_monitor.h"
#include "platform/world.h"

SystemEventMonitor* SystemEventMonitor::Instance(PVOID recipient) {
    return platform::World::Current().Instance<SystemEventMonitor>(
        [recipient](platform::World& world) {
            const platform::Platform& platform = world.GetPlatform();
            return std::make_unique<SystemEventMonitor>(
                platform.kernel, platform.windowing, platform.security, platform.registry,
                platform.hid, HidDeviceList::Instance(), recipient);
        });
}
