// The simulated COM runtime: apartments per thread, and the classes registered with it, each an
// in-process server made by its factory (whoever builds the world registers them).
//
// CoCreateInstance asks the fault plan first under its own name ("CoCreateInstance", likewise
// "CoInitializeEx", "OleRun"; for these the planned error is the HRESULT answered), then wants
// the calling thread in an apartment, as COM does. Objects are handed out directly: in-process,
// threading model Both, nothing is marshalled.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include "platform/com.h"
#include "platform/sim/faults.h"
#include "platform/sim/kernel_sim.h"
#include "platform/sim/scheduler.h"

namespace platform::sim {

class SimCom : public Com {
public:
    SimCom(Scheduler& scheduler, FaultPlan& faults, SimKernel& kernel);

    HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) override;
    void CoUninitialize() override;
    HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                             LPVOID* ppv) override;
    HRESULT OleRun(LPUNKNOWN unknown) override;

    // One CoCreateInstance as it was asked for, whatever it answered.
    struct Creation {
        CLSID clsid;
        bool aggregated;  // an outer object was given
        DWORD clsContext;
        IID iid;
        HRESULT result;
    };

    // Makes an object of a registered class and hands out the interface asked for; called with
    // the world lock held. What it captures lives as long as the registration.
    using Factory = std::function<HRESULT(REFIID riid, LPVOID* ppv)>;
    // Registers the class as an in-process server.
    void RegisterClass(REFCLSID clsid, Factory factory);
    // Takes the class away: later CoCreateInstance of it fails with REGDB_E_CLASSNOTREG, while
    // objects made before live on.
    void UnregisterClass(REFCLSID clsid);

    std::vector<Creation> Creations();
    // Threads that have initialised COM more often than they uninitialised it.
    std::size_t InitializedThreads();

private:
    HRESULT CreateLocked(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                         LPVOID* ppv);

    struct Apartment {
        DWORD coInit;
        unsigned initializations;
    };

    Scheduler& _scheduler;
    FaultPlan& _faults;
    std::vector<std::pair<CLSID, Factory>> _classes;
    std::map<std::thread::id, Apartment> _apartments;
    std::vector<Creation> _creations;
};

}  // namespace platform::sim
