// A simulated Windows in this process: the platform parts, the clock that drives them, and the
// process-wide objects of the system built on them.
#pragma once

#include "platform/sim/com_sim.h"
#include "platform/sim/hid_sim.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/security_sim.h"
#include "platform/sim/services_sim.h"
#include "platform/sim/tracing_sim.h"
#include "platform/sim/windowing_sim.h"
#include "platform/world.h"

namespace platform::sim {

// Constructed before the World base, which is handed references to them.
struct SimParts {
    explicit SimParts(ClockMode mode)
        : scheduler(mode),
          tracing(scheduler),
          kernel(scheduler, faults),
          registry(scheduler, faults, kernel),
          security(scheduler, faults, kernel),
          hid(scheduler, faults, kernel),
          com(scheduler, faults, kernel),
          windowing(scheduler, faults, kernel),
          services(scheduler, faults, kernel) {}

    Scheduler scheduler;
    FaultPlan faults;
    SimTracing tracing;
    SimKernel kernel;
    SimRegistry registry;
    SimSecurity security;
    SimHid hid;
    SimCom com;
    SimWindowing windowing;
    SimServices services;
};

class SimWorld : private SimParts, public World {
public:
    explicit SimWorld(ClockMode mode = ClockMode::Manual);
    ~SimWorld() override;

    Scheduler& GetScheduler() { return scheduler; }
    SimTracing& GetTracing() { return tracing; }
    SimKernel& GetKernel() { return kernel; }
    SimRegistry& GetRegistry() { return registry; }
    SimSecurity& GetSecurity() { return security; }
    SimHid& GetHid() { return hid; }
    SimCom& GetCom() { return com; }
    SimWindowing& GetWindowing() { return windowing; }
    SimServices& GetServices() { return services; }
    // Guarded by the world lock: hold Scheduler::Lock on GetScheduler().Mutex() to change it.
    FaultPlan& GetFaults() { return faults; }

    // Runs every participant thread until each is blocked in a platform wait.
    void RunUntilIdle() { scheduler.RunUntilIdle(); }
    // Moves the virtual clock, waking due waits in time order.
    void Advance(Scheduler::Millis milliseconds) { scheduler.AdvanceBy(milliseconds); }
    Scheduler::Millis Now();

    // Devices leaving and joining the bus, as Plug and Play tells the windows. Each runs the world
    // until idle after each round of notices; call them as a driver (not from a participant).
    //
    // A removal in order (a driver update, an eject): a query-remove to each handle registration
    // on the device, then, if a handle opened on it since it came is still open, the removal is
    // vetoed: a query-remove-failed to those registrations, and false. Otherwise the device goes,
    // then a remove-complete to its handle registrations and the removal of its HID interface to
    // the interface registrations, and true.
    bool RemoveDevice(SimHidDevice& device);
    // A device pulled out (a surprise removal, which asks no one): it goes at once, then the
    // remove-complete and the interface removal as above.
    void PullDevice(SimHidDevice& device);
    // The device is back: present again, then the arrival of its HID interface.
    void ArriveDevice(SimHidDevice& device);

private:
    void Gone(SimHidDevice& device);
};

}  // namespace platform::sim
