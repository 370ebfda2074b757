#include "platform/sim/com_sim.h"

namespace platform::sim {

// COM sets no last error, so the kernel has nothing to do here.
SimCom::SimCom(Scheduler& scheduler, FaultPlan& faults, SimKernel&)
    : _scheduler(scheduler), _faults(faults) {}

void SimCom::RegisterClass(REFCLSID clsid, Factory factory) {
    Scheduler::Lock world(_scheduler.Mutex());
    _classes.emplace_back(clsid, std::move(factory));
}

void SimCom::UnregisterClass(REFCLSID clsid) {
    Scheduler::Lock world(_scheduler.Mutex());
    std::erase_if(_classes, [&clsid](const auto& entry) { return entry.first == clsid; });
}

HRESULT SimCom::CoInitializeEx(LPVOID reserved, DWORD coInit) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto fault = _faults.Take("CoInitializeEx")) return static_cast<HRESULT>(*fault);
    if (reserved != nullptr ||
        (coInit != COINIT_MULTITHREADED && coInit != COINIT_APARTMENTTHREADED)) {
        return E_INVALIDARG;
    }
    auto [it, first] = _apartments.try_emplace(std::this_thread::get_id(), Apartment{coInit, 0});
    if (!first && it->second.coInit != coInit) return RPC_E_CHANGED_MODE;
    ++it->second.initializations;
    return first ? S_OK : S_FALSE;
}

void SimCom::CoUninitialize() {
    Scheduler::Lock world(_scheduler.Mutex());
    // Cannot fail; taken only so that the call shows in the recorded order.
    (void)_faults.Take("CoUninitialize");
    auto it = _apartments.find(std::this_thread::get_id());
    if (it != _apartments.end() && --it->second.initializations == 0) _apartments.erase(it);
}

HRESULT SimCom::CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                                 LPVOID* ppv) {
    Scheduler::Lock world(_scheduler.Mutex());
    const HRESULT hr = CreateLocked(rclsid, outer, clsContext, riid, ppv);
    _creations.push_back({rclsid, outer != nullptr, clsContext, riid, hr});
    return hr;
}

HRESULT SimCom::CreateLocked(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                             LPVOID* ppv) {
    if (ppv == nullptr) return E_INVALIDARG;
    *ppv = nullptr;
    if (auto fault = _faults.Take("CoCreateInstance")) return static_cast<HRESULT>(*fault);
    if (!_apartments.contains(std::this_thread::get_id())) return CO_E_NOTINITIALIZED;
    // No registered class can be aggregated.
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    // Every class is an in-process server.
    if ((clsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    for (const auto& [registered, factory] : _classes) {
        if (registered == rclsid) return factory(riid, ppv);
    }
    return REGDB_E_CLASSNOTREG;
}

std::vector<SimCom::Creation> SimCom::Creations() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _creations;
}

HRESULT SimCom::OleRun(LPUNKNOWN unknown) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (auto fault = _faults.Take("OleRun")) return static_cast<HRESULT>(*fault);
    // In-process objects are running as soon as they exist.
    return unknown != nullptr ? S_OK : E_INVALIDARG;
}

std::size_t SimCom::InitializedThreads() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _apartments.size();
}

}  // namespace platform::sim
