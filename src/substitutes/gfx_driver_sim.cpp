#include "substitutes/gfx_driver_sim.h"

#include <algorithm>

namespace platform::sim {

namespace {

std::vector<BYTE> Bytes(const void* record, DWORD size, std::size_t recordSize) {
    if (record == nullptr) return {};
    const auto* begin = static_cast<const BYTE*>(record);
    // Never more than the record: the caller's buffer is that big, whatever size it claims.
    return {begin, begin + std::min<std::size_t>(size, recordSize)};
}

}  // namespace

// What the driver keeps of each object it made.
class SimGfxDriver::Tracked {
public:
    virtual ~Tracked() = default;
    ULONG refs = 1;
};

class SimGfxDriver::AmbrelObject final : public ITheCorvaneAmbrel, public Tracked {
public:
    explicit AmbrelObject(SimGfxDriver& driver) : _driver(driver) {}

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        const bool known =
            riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITheCorvaneAmbrel;
        return _driver.QueryInterface(*this, this, known, ppvObject);
    }
    ULONG AddRef() override { return _driver.AddRef(*this); }
    ULONG Release() override { return _driver.Release(*this); }

    HRESULT GetTypeInfoCount(UINT*) override { return _driver.Unused(); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return _driver.Unused(); }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return _driver.Unused();
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return _driver.Unused();
    }

    HRESULT GetInfo(DWORD size, FrameInfo* info, DWORD* errorCode) override {
        return _driver.FrameCall(*this, Method::GetInfo, size, info, errorCode);
    }
    HRESULT SetInfo(DWORD size, FrameInfo* info, DWORD* errorCode) override {
        return _driver.FrameCall(*this, Method::SetInfo, size, info, errorCode);
    }

private:
    SimGfxDriver& _driver;
};

class SimGfxDriver::DeviceDataObject final : public IGfxDeviceData, public Tracked {
public:
    explicit DeviceDataObject(SimGfxDriver& driver) : _driver(driver) {}

    HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
        const bool known = riid == IID_IUnknown || riid == IID_IGfxDeviceData;
        return _driver.QueryInterface(*this, this, known, ppvObject);
    }
    ULONG AddRef() override { return _driver.AddRef(*this); }
    ULONG Release() override { return _driver.Release(*this); }

#define SIM_GFX_UNUSED_SLOT(n) \
    HRESULT UnusedSlot##n() override { return _driver.Unused(); }
    GFX_DEVICE_DATA_UNUSED_SLOTS(SIM_GFX_UNUSED_SLOT)
#undef SIM_GFX_UNUSED_SLOT

    HRESULT GetDeviceData(REFGUID dataId, DWORD size, void* data, DWORD* errorCode) override {
        return _driver.DeviceDataCall(*this, Method::GetDeviceData, dataId, size, data, errorCode);
    }
    HRESULT SetDeviceData(REFGUID dataId, DWORD size, void* data, DWORD* errorCode) override {
        return _driver.DeviceDataCall(*this, Method::SetDeviceData, dataId, size, data, errorCode);
    }

private:
    SimGfxDriver& _driver;
};

SimGfxDriver::SimGfxDriver(Scheduler& scheduler) : _scheduler(scheduler) {}

SimGfxDriver::~SimGfxDriver() = default;

std::shared_ptr<SimGfxDriver> SimGfxDriver::Install(Scheduler& scheduler, SimCom& com,
                                                    bool frameClass, bool deviceDataClass) {
    auto driver = std::make_shared<SimGfxDriver>(scheduler);
    if (frameClass) driver->Register(com, CLSID_TheCorvaneAmbrel);
    if (deviceDataClass) driver->Register(com, CLSID_GfxDeviceData);
    return driver;
}

void SimGfxDriver::Register(SimCom& com, REFCLSID clsid) {
    com.RegisterClass(clsid, [driver = shared_from_this(), clsid](REFIID riid, LPVOID* ppv) {
        return driver->CreateInstanceLocked(clsid, riid, ppv);
    });
}

void SimGfxDriver::SetFeatureEnabled(bool on) {
    Scheduler::Lock world(_scheduler.Mutex());
    _frame.featureOn = on;
}

void SimGfxDriver::Script(Method method, Outcome outcome, unsigned nth) {
    Scheduler::Lock world(_scheduler.Mutex());
    Plan& plan = _plans[method];
    plan.outcomes[plan.calls + std::max(nth, 1u)] = outcome;
}

void SimGfxDriver::SetCallListener(std::function<void(const Call&)> listener) {
    Scheduler::Lock world(_scheduler.Mutex());
    _callListener = std::move(listener);
}

std::vector<SimGfxDriver::Call> SimGfxDriver::Calls() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _calls;
}

SubstituteFrame::Viewport SimGfxDriver::Viewport() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _frame.viewport;
}

std::size_t SimGfxDriver::ObjectsCreated() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _objects.size();
}

std::size_t SimGfxDriver::LiveReferences() {
    Scheduler::Lock world(_scheduler.Mutex());
    std::size_t references = 0;
    for (const auto& object : _objects) references += object->refs;
    return references;
}

std::size_t SimGfxDriver::Misuses() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _misuses;
}

HRESULT SimGfxDriver::CreateInstanceLocked(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (rclsid == CLSID_TheCorvaneAmbrel) {
        if (!(riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITheCorvaneAmbrel)) {
            return E_NOINTERFACE;
        }
        auto object = std::make_unique<AmbrelObject>(*this);
        *ppv = static_cast<ITheCorvaneAmbrel*>(object.get());
        _objects.push_back(std::move(object));
        return S_OK;
    }
    if (rclsid == CLSID_GfxDeviceData) {
        if (!(riid == IID_IUnknown || riid == IID_IGfxDeviceData)) return E_NOINTERFACE;
        auto object = std::make_unique<DeviceDataObject>(*this);
        *ppv = static_cast<IGfxDeviceData*>(object.get());
        _objects.push_back(std::move(object));
        return S_OK;
    }
    return REGDB_E_CLASSNOTREG;
}

ULONG SimGfxDriver::AddRef(Tracked& object) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (!UsableLocked(object)) return 0;
    return ++object.refs;
}

ULONG SimGfxDriver::Release(Tracked& object) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (!UsableLocked(object)) return 0;
    return --object.refs;
}

HRESULT SimGfxDriver::QueryInterface(Tracked& object, IUnknown* self, bool known, void** ppv) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!UsableLocked(object)) return E_UNEXPECTED;
    const std::optional<Outcome> scripted = TakeScript(Method::QueryInterface);
    if (scripted && FAILED(scripted->result)) return scripted->result;
    if (!known) return E_NOINTERFACE;
    ++object.refs;
    *ppv = self;
    return scripted ? scripted->result : S_OK;
}

HRESULT SimGfxDriver::Unused() {
    Scheduler::Lock world(_scheduler.Mutex());
    ++_misuses;
    return E_NOTIMPL;
}

HRESULT SimGfxDriver::FrameCall(Tracked& object, Method method, DWORD size, FrameInfo* info,
                                DWORD* errorCode) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (!UsableLocked(object)) return E_UNEXPECTED;
    Call call{method,
              _scheduler.Now(),
              size,
              GUID{},
              errorCode != nullptr ? *errorCode : 0,
              Bytes(info, size, sizeof(FrameInfo)),
              S_OK};
    const std::optional<Outcome> scripted = TakeScript(method);
    if (scripted && FAILED(scripted->result)) {
        if (errorCode != nullptr) *errorCode = scripted->errorCode;
        if (info != nullptr) info->dwAmbrelErrorCode = scripted->frameErrorCode;
        call.result = scripted->result;
    } else {
        call.result = method == Method::GetInfo ? _frame.GetInfo(size, info, errorCode)
                                                : _frame.SetInfo(size, info, errorCode);
        if (scripted) call.result = scripted->result;
    }
    _calls.push_back(call);
    if (_callListener) _callListener(call);
    return call.result;
}

HRESULT SimGfxDriver::DeviceDataCall(Tracked& object, Method method, REFGUID dataId, DWORD size,
                                     void* data, DWORD* errorCode) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (!UsableLocked(object)) return E_UNEXPECTED;
    Call call{method,
              _scheduler.Now(),
              size,
              dataId,
              errorCode != nullptr ? *errorCode : 0,
              Bytes(data, size, sizeof(FrameDeviceData)),
              S_OK};
    const std::optional<Outcome> scripted = TakeScript(method);
    if (scripted && FAILED(scripted->result)) {
        if (errorCode != nullptr) *errorCode = scripted->errorCode;
        call.result = scripted->result;
    } else {
        call.result = method == Method::GetDeviceData
                          ? _frame.GetDeviceData(dataId, size, data, errorCode)
                          : _frame.SetDeviceData(dataId, size, data, errorCode);
        if (scripted) call.result = scripted->result;
    }
    _calls.push_back(call);
    if (_callListener) _callListener(call);
    return call.result;
}

std::optional<SimGfxDriver::Outcome> SimGfxDriver::TakeScript(Method method) {
    Plan& plan = _plans[method];
    ++plan.calls;
    auto it = plan.outcomes.find(plan.calls);
    if (it == plan.outcomes.end()) return std::nullopt;
    const Outcome outcome = it->second;
    plan.outcomes.erase(it);
    return outcome;
}

bool SimGfxDriver::UsableLocked(const Tracked& object) {
    if (object.refs != 0) return true;
    ++_misuses;
    return false;
}

}  // namespace platform::sim
