// The simulated driver's tables and reference checks: what the customizer's stories
// (golden/display_customizer.txt) do not reach.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rig/sim_rig.h"

namespace platform::sim {
void PrintTo(SimGfxDriver::Method method, std::ostream* out) { *out << "method " << int(method); }
}  // namespace platform::sim

namespace {

using Method = platform::sim::SimGfxDriver::Method;

// A method reached through the raw table, as a caller compiled elsewhere would reach it.
template <class Fn, class Interface>
Fn Slot(Interface* object, int index) {
    void** table = *reinterpret_cast<void***>(object);
    Fn fn;
    std::memcpy(&fn, &table[index], sizeof fn);
    return fn;
}

TEST(SimGfxDriver, MethodsSitInTheDriversTableSlotsAndMisusesAreCounted) {
    rig::SimRig rig;
    platform::sim::SimGfxDriver& driver = *rig.gfx;
    ASSERT_EQ(rig.world.GetCom().CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    void* objects[2] = {};
    ASSERT_EQ(rig.world.GetCom().CoCreateInstance(CLSID_TheCorvaneAmbrel, nullptr, CLSCTX_ALL,
                                                  IID_ITheCorvaneAmbrel, &objects[0]), S_OK);
    ASSERT_EQ(rig.world.GetCom().CoCreateInstance(CLSID_GfxDeviceData, nullptr, CLSCTX_ALL,
                                                  IID_IGfxDeviceData, &objects[1]), S_OK);
    auto* ambrel = static_cast<ITheCorvaneAmbrel*>(objects[0]);
    auto* data = static_cast<IGfxDeviceData*>(objects[1]);
    using FrameMethod = HRESULT (*)(ITheCorvaneAmbrel*, DWORD, FrameInfo*, DWORD*);
    using DataMethod = HRESULT (*)(IGfxDeviceData*, REFGUID, DWORD, void*, DWORD*);
    FrameInfo info{1, 0, 0, 0x1000, 0, 0, 0, 0, 0};
    FrameDeviceData record{};
    DWORD code = 0;
    // IUnknown's three and IDispatch's four come first; then the device data's unused slots.
    Slot<FrameMethod>(ambrel, 7)(ambrel, sizeof info, &info, &code);
    Slot<FrameMethod>(ambrel, 8)(ambrel, sizeof info, &info, &code);
    Slot<DataMethod>(data, 43)(data, GUID_GfxFrameDeviceData, sizeof record, &record, &code);
    Slot<DataMethod>(data, 44)(data, GUID_GfxFrameDeviceData, sizeof record, &record, &code);
    std::vector<Method> methods;
    for (const auto& call : driver.Calls()) methods.push_back(call.method);
    EXPECT_EQ(methods, (std::vector<Method>{Method::GetInfo, Method::SetInfo, Method::GetDeviceData,
                                            Method::SetDeviceData}));
    EXPECT_EQ(driver.Misuses(), 0u);

    // An unused slot, a release too many and a call through the released object are counted.
    EXPECT_EQ(data->UnusedSlot3(), E_NOTIMPL);
    EXPECT_EQ(data->AddRef(), 2u);
    EXPECT_EQ(driver.LiveReferences(), 3u);
    EXPECT_EQ(data->Release(), 1u);
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(data->GetDeviceData(GUID_GfxFrameDeviceData, sizeof record, &record, &code), E_UNEXPECTED);
    EXPECT_EQ(driver.Misuses(), 3u);
    EXPECT_EQ(driver.Calls().size(), 4u);
    ambrel->Release();
    EXPECT_EQ(driver.LiveReferences(), 0u);
    EXPECT_EQ(driver.ObjectsCreated(), 2u);
    rig.world.GetCom().CoUninitialize();
}

}  // namespace
