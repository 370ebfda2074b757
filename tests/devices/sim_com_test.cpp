// The simulated COM runtime and graphics driver: what the display customizer's tests rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/com_sim.h"
#include "platform/sim/sim_world.h"

namespace {

using platform::sim::Scheduler;
using platform::sim::SimCom;
using platform::sim::SimGfxDriver;
using platform::sim::SimWorld;
using Method = SimGfxDriver::Method;
using Viewport = platform::sim::SubstituteFrame::Viewport;

constexpr GUID kOtherData = {
    0x4AFD1957, 0x3482, 0x4CAE, {0x82, 0xA0, 0x55, 0x0B, 0xDF, 0x47, 0x9E, 0x4F}};

struct Rig {
    SimWorld world;
    SimCom com{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
    SimGfxDriver& driver = com.GfxDriver();

    void Fail(const std::string& operation, HRESULT hr) {
        Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, static_cast<DWORD>(hr));
    }

    template <class T>
    T* Create(REFCLSID clsid, REFIID iid) {
        void* object = nullptr;
        EXPECT_EQ(com.CoCreateInstance(clsid, nullptr, CLSCTX_ALL, iid, &object), S_OK);
        return static_cast<T*>(object);
    }
};

TEST(SimCom, ApartmentsCountPerThreadAndRefuseAnotherModel) {
    Rig rig;
    EXPECT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    int reserved = 0;
    EXPECT_EQ(rig.com.CoInitializeEx(&reserved, COINIT_MULTITHREADED), E_INVALIDARG);
    EXPECT_EQ(rig.com.InitializedThreads(), 1u);

    HRESULT otherThread = S_FALSE;
    std::thread([&] {
        otherThread = rig.com.CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        rig.com.CoUninitialize();
    }).join();
    EXPECT_EQ(otherThread, S_OK);

    rig.com.CoUninitialize();
    EXPECT_EQ(rig.com.InitializedThreads(), 1u);
    rig.com.CoUninitialize();
    EXPECT_EQ(rig.com.InitializedThreads(), 0u);
    rig.Fail("CoInitializeEx", E_OUTOFMEMORY);
    EXPECT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), E_OUTOFMEMORY);
    EXPECT_EQ(rig.com.InitializedThreads(), 0u);
}

// An outer object for aggregation; the driver refuses before calling it.
struct Outer : IUnknown {
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
};

struct CreationCase {
    const char* name;
    bool initialized;
    bool frameOffered;
    bool deviceDataOffered;
    CLSID clsid;
    bool aggregated;
    DWORD clsContext;
    IID iid;
    HRESULT expected;
};

class SimComCreation : public testing::TestWithParam<CreationCase> {};

TEST_P(SimComCreation, AnswersAsComDoes) {
    const CreationCase& c = GetParam();
    Rig rig;
    rig.driver.OfferFrameInterface(c.frameOffered);
    rig.driver.OfferDeviceDataInterface(c.deviceDataOffered);
    if (c.initialized) {
        ASSERT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    }
    Outer outer;
    void* object = &rig;
    const HRESULT hr = rig.com.CoCreateInstance(c.clsid, c.aggregated ? &outer : nullptr,
                                                c.clsContext, c.iid, &object);
    EXPECT_EQ(hr, c.expected);
    EXPECT_EQ(rig.driver.LiveReferences(), SUCCEEDED(hr) ? 1u : 0u);
    if (FAILED(hr)) {
        EXPECT_EQ(object, nullptr);
    } else {
        static_cast<IUnknown*>(object)->Release();
        EXPECT_EQ(rig.driver.LiveReferences(), 0u);
    }
    const auto creations = rig.com.Creations();
    ASSERT_EQ(creations.size(), 1u);
    EXPECT_TRUE(creations[0].clsid == c.clsid);
    EXPECT_EQ(creations[0].aggregated, c.aggregated);
    EXPECT_EQ(creations[0].clsContext, c.clsContext);
    EXPECT_TRUE(creations[0].iid == c.iid);
    EXPECT_EQ(creations[0].result, c.expected);
    EXPECT_EQ(rig.driver.Misuses(), 0u);
    if (c.initialized) rig.com.CoUninitialize();
}

const CreationCase kCreationCases[] = {
    {"FrameClass", true, true, true, CLSID_TheCorvaneAmbrel, false, CLSCTX_ALL, IID_IUnknown, S_OK},
    {"FrameInterfaceDirectly", true, true, true, CLSID_TheCorvaneAmbrel, false,
     CLSCTX_INPROC_SERVER, IID_ITheCorvaneAmbrel, S_OK},
    {"DeviceDataClass", true, true, true, CLSID_GfxDeviceData, false, CLSCTX_SERVER,
     IID_IGfxDeviceData, S_OK},
    {"WithoutApartment", false, true, true, CLSID_GfxDeviceData, false, CLSCTX_SERVER,
     IID_IGfxDeviceData, CO_E_NOTINITIALIZED},
    {"Aggregated", true, true, true, CLSID_TheCorvaneAmbrel, true, CLSCTX_ALL, IID_IUnknown,
     CLASS_E_NOAGGREGATION},
    {"FrameClassNotOffered", true, false, true, CLSID_TheCorvaneAmbrel, false, CLSCTX_ALL,
     IID_IUnknown, REGDB_E_CLASSNOTREG},
    {"DeviceDataClassNotOffered", true, true, false, CLSID_GfxDeviceData, false, CLSCTX_SERVER,
     IID_IGfxDeviceData, REGDB_E_CLASSNOTREG},
    {"OnlyOutOfProcessAskedFor", true, true, true, CLSID_GfxDeviceData, false, CLSCTX_LOCAL_SERVER,
     IID_IGfxDeviceData, REGDB_E_CLASSNOTREG},
    {"InterfaceOfTheOtherClass", true, true, true, CLSID_GfxDeviceData, false, CLSCTX_SERVER,
     IID_ITheCorvaneAmbrel, E_NOINTERFACE},
    {"UnknownClass", true, true, true, IID_IDispatch, false, CLSCTX_ALL, IID_IUnknown,
     REGDB_E_CLASSNOTREG},
};

INSTANTIATE_TEST_SUITE_P(Classes, SimComCreation, testing::ValuesIn(kCreationCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A method reached through the raw table, as a caller compiled elsewhere would reach it.
template <class Fn, class Interface>
Fn Slot(Interface* object, int index) {
    void** table = *reinterpret_cast<void***>(object);
    Fn fn;
    std::memcpy(&fn, &table[index], sizeof fn);
    return fn;
}

TEST(SimGfxDriver, MethodsSitInTheDriversTableSlots) {
    Rig rig;
    ASSERT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    auto* ambrel = rig.Create<ITheCorvaneAmbrel>(CLSID_TheCorvaneAmbrel, IID_ITheCorvaneAmbrel);
    auto* data = rig.Create<IGfxDeviceData>(CLSID_GfxDeviceData, IID_IGfxDeviceData);

    using FrameMethod = HRESULT (*)(ITheCorvaneAmbrel*, DWORD, FrameInfo*, DWORD*);
    using DataMethod = HRESULT (*)(IGfxDeviceData*, REFGUID, DWORD, void*, DWORD*);
    FrameInfo info{};
    info.dwHeader = 1;
    info.dwConstant = 0x1000;
    DWORD code = 0;
    // IUnknown's three and IDispatch's four come first.
    Slot<FrameMethod>(ambrel, 7)(ambrel, sizeof info, &info, &code);
    Slot<FrameMethod>(ambrel, 8)(ambrel, sizeof info, &info, &code);
    FrameDeviceData record{};
    record.dwHeader = 1;
    record.dwConstant = 0x1000;
    Slot<DataMethod>(data, 43)(data, GUID_GfxFrameDeviceData, sizeof record, &record, &code);
    Slot<DataMethod>(data, 44)(data, GUID_GfxFrameDeviceData, sizeof record, &record, &code);

    const auto calls = rig.driver.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].method, Method::GetInfo);
    EXPECT_EQ(calls[1].method, Method::SetInfo);
    EXPECT_EQ(calls[2].method, Method::GetDeviceData);
    EXPECT_EQ(calls[3].method, Method::SetDeviceData);
    EXPECT_EQ(rig.driver.Misuses(), 0u);
    ambrel->Release();
    data->Release();
    rig.com.CoUninitialize();
}

TEST(SimGfxDriver, CountsMisusesInsteadOfCrashing) {
    Rig rig;
    ASSERT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    auto* data = rig.Create<IGfxDeviceData>(CLSID_GfxDeviceData, IID_IGfxDeviceData);
    EXPECT_EQ(data->UnusedSlot3(), E_NOTIMPL);
    EXPECT_EQ(rig.driver.Misuses(), 1u);
    EXPECT_EQ(data->AddRef(), 2u);
    EXPECT_EQ(rig.driver.LiveReferences(), 2u);
    EXPECT_EQ(data->Release(), 1u);
    EXPECT_EQ(data->Release(), 0u);
    EXPECT_EQ(rig.driver.LiveReferences(), 0u);
    EXPECT_EQ(data->Release(), 0u);  // one too many
    FrameDeviceData record{};
    DWORD code = 0;
    EXPECT_EQ(data->GetDeviceData(GUID_GfxFrameDeviceData, sizeof record, &record, &code),
              E_UNEXPECTED);
    EXPECT_EQ(rig.driver.Misuses(), 3u);
    EXPECT_TRUE(rig.driver.Calls().empty());
    EXPECT_EQ(rig.driver.ObjectsCreated(), 1u);
    rig.com.CoUninitialize();
}

// One record handed to the driver, and how the substitute answers it.
struct RecordCase {
    const char* name;
    Method method;
    bool featureOn;
    DWORD size;
    GUID dataId;
    // Fields set on a zeroed record before the call.
    DWORD header;
    DWORD constant;
    DWORD enable;
    DWORD x;
    DWORD y;
    DWORD p;
    HRESULT expected;
    DWORD expectedCode;
    DWORD expectedSupported;  // the query's answer in the record
    Viewport expectedViewport;
};

class SimGfxDriverRecords : public testing::TestWithParam<RecordCase> {};

TEST_P(SimGfxDriverRecords, HonourTheContract) {
    const RecordCase& c = GetParam();
    Rig rig;
    rig.driver.SetFeatureEnabled(c.featureOn);
    ASSERT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    DWORD code = 0x5A5A;  // the driver overwrites it either way
    HRESULT hr = S_OK;
    DWORD supported = 0;
    std::vector<BYTE> sent;
    if (c.method == Method::GetInfo || c.method == Method::SetInfo) {
        auto* ambrel = rig.Create<ITheCorvaneAmbrel>(CLSID_TheCorvaneAmbrel, IID_ITheCorvaneAmbrel);
        FrameInfo info{};
        info.dwHeader = c.header;
        info.dwConstant = c.constant;
        info.dwEnable = c.enable;
        info.dwPercentageX = c.x;
        info.dwPercentageY = c.y;
        info.dwYPositionPx = c.p;
        sent.assign(reinterpret_cast<BYTE*>(&info), reinterpret_cast<BYTE*>(&info) + sizeof info);
        hr = c.method == Method::GetInfo ? ambrel->GetInfo(c.size, &info, &code)
                                         : ambrel->SetInfo(c.size, &info, &code);
        supported = info.dwSupported;
        if (c.size == sizeof info) {
            EXPECT_EQ(info.dwAmbrelErrorCode, c.expectedCode);
        }
        ambrel->Release();
    } else {
        auto* data = rig.Create<IGfxDeviceData>(CLSID_GfxDeviceData, IID_IGfxDeviceData);
        FrameDeviceData record{};
        record.dwHeader = c.header;
        record.dwConstant = c.constant;
        record.bEnable = static_cast<BYTE>(c.enable);
        record.dwPercentageX = c.x;
        record.dwPercentageY = c.y;
        record.dwYPositionPx = c.p;
        sent.assign(reinterpret_cast<BYTE*>(&record),
                    reinterpret_cast<BYTE*>(&record) + sizeof record);
        hr = c.method == Method::GetDeviceData
                 ? data->GetDeviceData(c.dataId, c.size, &record, &code)
                 : data->SetDeviceData(c.dataId, c.size, &record, &code);
        supported = record.bSupported;
        data->Release();
    }
    EXPECT_EQ(hr, c.expected);
    EXPECT_EQ(code, c.expectedCode);
    EXPECT_EQ(supported, c.expectedSupported);
    EXPECT_EQ(rig.driver.Viewport(), c.expectedViewport);
    const auto calls = rig.driver.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].method, c.method);
    EXPECT_EQ(calls[0].size, c.size);
    EXPECT_EQ(calls[0].errorCodeIn, 0x5A5Au);
    EXPECT_EQ(calls[0].result, c.expected);
    // At most the record's own size is read, whatever size the caller claims.
    sent.resize(std::min<std::size_t>(sent.size(), c.size));
    EXPECT_EQ(calls[0].record, sent);
    rig.com.CoUninitialize();
}

constexpr GUID kFrameData = GUID_GfxFrameDeviceData;
constexpr DWORD kC = 0x1000;
const Viewport kFull{};
const Viewport kShown{true, 80, 70, 25};

// clang-format off
const RecordCase kRecordCases[] = {
    // name                       method                 on     size id          hdr const en  x   y   p   result        code   sup viewport
    {"QueryFeatureOn",            Method::GetInfo,       true,  36, {},         1,  kC,   0,  0,  0,  0,  S_OK,         0,     1,  kFull},
    {"QueryFeatureOff",           Method::GetInfo,       false, 36, {},         1,  kC,   0,  0,  0,  0,  S_OK,         0,     0,  kFull},
    {"QueryBadSize",              Method::GetInfo,       true,  48, {},         1,  kC,   0,  0,  0,  0,  E_INVALIDARG, 0x101, 0,  kFull},
    {"Show",                      Method::SetInfo,       true,  36, {},         1,  kC,   1,  80, 70, 25, S_OK,         0,     0,  kShown},
    {"Hide",                      Method::SetInfo,       true,  36, {},         1,  kC,   0,  80, 70, 25, S_OK,         0,     0,  kFull},
    {"RequestWithoutConstant",    Method::SetInfo,       true,  36, {},         1,  0,    1,  80, 70, 25, E_INVALIDARG, 0x102, 0,  kFull},
    {"RequestEnableNotAFlag",     Method::SetInfo,       true,  36, {},         1,  kC,   2,  80, 70, 25, E_INVALIDARG, 0x102, 0,  kFull},
    {"RequestZeroPercent",        Method::SetInfo,       true,  36, {},         1,  kC,   1,  0,  70, 25, E_INVALIDARG, 0x104, 0,  kFull},
    {"RequestFeatureOff",         Method::SetInfo,       false, 36, {},         1,  kC,   1,  80, 70, 25, E_FAIL,       0x105, 0,  kFull},
    {"DataQueryFeatureOn",        Method::GetDeviceData, true,  48, kFrameData, 1,  kC,   0,  0,  0,  0,  S_OK,         0,     1,  kFull},
    {"DataQueryOtherIdentifier",  Method::GetDeviceData, true,  48, kOtherData, 1,  kC,   0,  0,  0,  0,  E_INVALIDARG, 0x103, 0,  kFull},
    {"DataQueryShortSize",        Method::GetDeviceData, true,  36, kFrameData, 1,  kC,   0,  0,  0,  0,  E_INVALIDARG, 0x101, 0,  kFull},
    {"DataShow",                  Method::SetDeviceData, true,  48, kFrameData, 1,  kC,   1,  80, 70, 25, S_OK,         0,     0,  kShown},
    {"DataRequestBadHeader",      Method::SetDeviceData, true,  48, kFrameData, 0,  kC,   1,  80, 70, 25, E_INVALIDARG, 0x102, 0,  kFull},
    {"DataRequestOver100Percent", Method::SetDeviceData, true,  48, kFrameData, 1,  kC,   1,  80, 101, 25, E_INVALIDARG, 0x104, 0, kFull},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Substitute, SimGfxDriverRecords, testing::ValuesIn(kRecordCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimGfxDriver, ScriptedOutcomesFallOnTheirCall) {
    Rig rig;
    ASSERT_EQ(rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    auto* ambrel = rig.Create<ITheCorvaneAmbrel>(CLSID_TheCorvaneAmbrel, IID_ITheCorvaneAmbrel);
    constexpr HRESULT kFailure = static_cast<HRESULT>(0x887A0005);
    rig.driver.Script(Method::SetInfo, {kFailure, 0x44, 0x55}, 2);
    rig.driver.Script(Method::GetInfo, {S_FALSE});

    FrameInfo info{};
    info.dwHeader = 1;
    info.dwConstant = 0x1000;
    DWORD code = 0;
    EXPECT_EQ(ambrel->GetInfo(sizeof info, &info, &code), S_FALSE);
    EXPECT_EQ(info.dwSupported, 1u);  // handled, then answered as scripted

    info.dwEnable = 1;
    info.dwPercentageX = info.dwPercentageY = 90;
    EXPECT_EQ(ambrel->SetInfo(sizeof info, &info, &code), S_OK);
    info.dwPercentageX = info.dwPercentageY = 80;
    EXPECT_EQ(ambrel->SetInfo(sizeof info, &info, &code), kFailure);
    EXPECT_EQ(code, 0x44u);
    EXPECT_EQ(info.dwAmbrelErrorCode, 0x55u);
    EXPECT_EQ(rig.driver.Viewport(), (Viewport{true, 90, 90, 0}));  // the failed one not applied
    EXPECT_EQ(ambrel->SetInfo(sizeof info, &info, &code), S_OK);
    EXPECT_EQ(rig.driver.Viewport(), (Viewport{true, 80, 80, 0}));

    rig.driver.Script(Method::QueryInterface, {E_NOINTERFACE});
    void* again = &rig;
    EXPECT_EQ(ambrel->QueryInterface(IID_ITheCorvaneAmbrel, &again), E_NOINTERFACE);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(ambrel->QueryInterface(IID_IDispatch, &again), S_OK);
    EXPECT_EQ(again, static_cast<void*>(ambrel));
    static_cast<IUnknown*>(again)->Release();
    ambrel->Release();
    EXPECT_EQ(rig.driver.LiveReferences(), 0u);
    rig.com.CoUninitialize();
}

}  // namespace
