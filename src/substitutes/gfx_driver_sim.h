// The simulated graphics driver: an in-process COM server offering the frame interface
// (ITheCorvaneAmbrel), the device-data interface (IGfxDeviceData), both or neither, as its
// classes are registered with the simulated COM runtime.
//
// Records are handled by SubstituteFrame. Every record that reaches the driver is kept as the
// bytes it arrived with, and any call can be scripted to answer a chosen HRESULT and driver error
// code. The driver keeps every object it made until it goes itself, so that references are
// checked: what the system still holds, releases below zero and calls through a released object
// (or through a slot the system has no business calling) are counted rather than crashing.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "devices/gfx_driver.h"
#include "platform/sim/com_sim.h"
#include "platform/sim/scheduler.h"
#include "substitutes/substitute_frame.h"

namespace platform::sim {

class SimGfxDriver : public std::enable_shared_from_this<SimGfxDriver> {
public:
    enum class Method { QueryInterface, GetInfo, SetInfo, GetDeviceData, SetDeviceData };

    // One record as it reached the driver (QueryInterface calls are not kept).
    struct Call {
        Method method;
        Scheduler::Millis time;
        DWORD size;
        GUID dataId;               // the device-data methods' identifier; zeroed for the others
        DWORD errorCodeIn;         // the error code as the caller passed it in
        std::vector<BYTE> record;  // exactly as received, before the driver wrote to it
        HRESULT result;            // what the driver answered
    };

    // A scripted answer. A failure writes the codes (errorCode, and for FrameInfo also its frame
    // error code) and leaves the record alone; a success lets the driver handle the record and
    // then answers this status.
    struct Outcome {
        HRESULT result;
        DWORD errorCode = 0;
        DWORD frameErrorCode = 0;
    };

    explicit SimGfxDriver(Scheduler& scheduler);
    ~SimGfxDriver();
    SimGfxDriver(const SimGfxDriver&) = delete;
    SimGfxDriver& operator=(const SimGfxDriver&) = delete;

    // The driver as a machine has it installed: a new driver with the classes asked for
    // registered. COM keeps it for as long as it keeps the classes, so that the objects it handed
    // out stay valid to the end of the world.
    static std::shared_ptr<SimGfxDriver> Install(Scheduler& scheduler, SimCom& com,
                                                 bool frameClass = true,
                                                 bool deviceDataClass = true);
    // Registers one of its classes, CLSID_TheCorvaneAmbrel or CLSID_GfxDeviceData. The driver
    // must be owned by a shared_ptr (Install, or std::make_shared).
    void Register(SimCom& com, REFCLSID clsid);

    // The driver's setting that switches the frame feature on; on at first.
    void SetFeatureEnabled(bool on);
    // The nth next call of the method (1: the very next) answers the outcome.
    void Script(Method method, Outcome outcome, unsigned nth = 1);

    std::vector<Call> Calls();
    // Called for each call as it is kept, under the world lock, in order.
    void SetCallListener(std::function<void(const Call&)> listener);
    // What the desktop shows now.
    SubstituteFrame::Viewport Viewport();
    std::size_t ObjectsCreated();
    // References handed out and not yet released, over all objects.
    std::size_t LiveReferences();
    // Releases below zero, calls through released objects, calls of the unused slots.
    std::size_t Misuses();

private:
    class Tracked;
    class AmbrelObject;
    class DeviceDataObject;

    // Each takes the world lock itself.
    ULONG AddRef(Tracked& object);
    ULONG Release(Tracked& object);
    HRESULT QueryInterface(Tracked& object, IUnknown* self, bool known, void** ppv);
    HRESULT Unused();
    HRESULT FrameCall(Tracked& object, Method method, DWORD size, FrameInfo* info,
                      DWORD* errorCode);
    HRESULT DeviceDataCall(Tracked& object, Method method, REFGUID dataId, DWORD size, void* data,
                           DWORD* errorCode);

    // The class's factory, world lock held.
    HRESULT CreateInstanceLocked(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
    // World lock held: the scripted outcome for this call of the method, if any.
    std::optional<Outcome> TakeScript(Method method);
    bool UsableLocked(const Tracked& object);

    Scheduler& _scheduler;
    SubstituteFrame _frame;
    struct Plan {
        unsigned calls = 0;
        std::map<unsigned, Outcome> outcomes;  // by the call number it falls on
    };
    std::map<Method, Plan> _plans;
    std::vector<Call> _calls;
    std::function<void(const Call&)> _callListener;
    std::vector<std::unique_ptr<Tracked>> _objects;
    std::size_t _misuses = 0;
};

}  // namespace platform::sim
