#include "platform/sim/sim_world.h"

namespace platform::sim {

SimWorld::SimWorld(ClockMode mode)
    : SimParts(mode),
      World(Platform{SimParts::tracing, SimParts::kernel, SimParts::registry, SimParts::security,
                     SimParts::hid, SimParts::com, SimParts::windowing, SimParts::services}) {}

SimWorld::~SimWorld() { DestroyInstances(); }

Scheduler::Millis SimWorld::Now() {
    Scheduler::Lock world(scheduler.Mutex());
    return scheduler.Now();
}

}  // namespace platform::sim
