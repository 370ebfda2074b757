#include "devices/display_customizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/sim/com_sim.h"
#include "platform/sim/sim_world.h"
#include "platform/sync.h"

namespace {

using platform::sim::ClockMode;
using platform::sim::Scheduler;
using platform::sim::SimCom;
using platform::sim::SimGfxDriver;
using platform::sim::SimWorld;
using Method = SimGfxDriver::Method;
using Outcome = SimGfxDriver::Outcome;
using Viewport = platform::sim::SubstituteFrame::Viewport;
using Bytes = std::vector<BYTE>;

// ---- Expected records, byte by byte as the driver defines them ----

void Put32(Bytes& bytes, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<BYTE>(value >> shift));
}

Bytes FrameInfoBytes(DWORD enable, DWORD x, DWORD y, DWORD p) {
    Bytes b;
    Put32(b, 1);       // header
    Put32(b, 0);       // reserved
    Put32(b, 0);       // frame error code
    Put32(b, 0x1000);  // constant
    Put32(b, 0);       // supported
    Put32(b, enable);
    Put32(b, x);
    Put32(b, y);
    Put32(b, p);
    return b;
}

Bytes FrameDeviceDataBytes(BYTE enable, DWORD x, DWORD y, DWORD p) {
    Bytes b;
    Put32(b, 1);
    b.insert(b.end(), 20, 0);
    Put32(b, 0x1000);
    b.push_back(0);  // supported
    b.push_back(enable);
    b.insert(b.end(), 2, 0);
    Put32(b, x);
    Put32(b, y);
    Put32(b, p);
    Put32(b, 0);
    return b;
}

std::string Text(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

const char* Name(Method method) {
    switch (method) {
        case Method::QueryInterface:
            return "QueryInterface";
        case Method::GetInfo:
            return "GetInfo";
        case Method::SetInfo:
            return "SetInfo";
        case Method::GetDeviceData:
            return "GetDeviceData";
        case Method::SetDeviceData:
            return "SetDeviceData";
    }
    return "?";
}

// One call as a line that a failing comparison shows in full.
std::string Line(Method method, const GUID& dataId, DWORD size, DWORD errorCodeIn,
                 const Bytes& record) {
    std::string line = Name(method);
    if (method == Method::GetDeviceData || method == Method::SetDeviceData) {
        line += " " + Text(dataId);
    }
    line += " size=" + std::to_string(size) + " in=" + std::to_string(errorCodeIn) + " [";
    for (std::size_t i = 0; i < record.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", record[i]);
        line += hex;
    }
    return line + "]";
}

std::vector<std::string> Lines(const std::vector<SimGfxDriver::Call>& calls) {
    std::vector<std::string> lines;
    for (const auto& call : calls) {
        lines.push_back(Line(call.method, call.dataId, call.size, call.errorCodeIn, call.record));
    }
    return lines;
}

std::string Expected(Method method, const Bytes& record) {
    return Line(method, GUID_GfxFrameDeviceData, static_cast<DWORD>(record.size()), 0, record);
}

const std::string kFrameQuery = Expected(Method::GetInfo, FrameInfoBytes(0, 0, 0, 0));
const std::string kDeviceDataQuery =
    Expected(Method::GetDeviceData, FrameDeviceDataBytes(0, 0, 0, 0));

// The two channels a request can take.
enum class Channel { Frame, DeviceData };

std::string Request(Channel channel, bool enable, DWORD x, DWORD y, DWORD p) {
    return channel == Channel::Frame
               ? Expected(Method::SetInfo, FrameInfoBytes(enable ? 1 : 0, x, y, p))
               : Expected(Method::SetDeviceData, FrameDeviceDataBytes(enable ? 1 : 0, x, y, p));
}

// ---- Traces ----

struct Trace {
    UCHAR level;
    std::wstring text;
    bool operator==(const Trace&) const = default;
};

void PrintTo(const Trace& trace, std::ostream* out) {
    *out << int(trace.level) << " " << testing::PrintToString(trace.text);
}

// The failure line, with its source line left open.
Trace Failure(HRESULT hr) {
    wchar_t text[96];
    std::swprintf(text, 96, L"HRESULT: 0x%08x @ LINE #### [display_customizer.cpp]",
                  static_cast<unsigned>(hr));
    return {TRACE_LEVEL_ERROR, text};
}

Trace Info(std::wstring text) { return {TRACE_LEVEL_INFORMATION, std::move(text)}; }
Trace Error(std::wstring text) { return {TRACE_LEVEL_ERROR, std::move(text)}; }

const Trace kFeatureOff = Error(
    L"Ambrel feature not supported.  Please check if gfx driver's registry setting "
    L"Display_EnableAMB was set to 1.");

// The values are traced as signed ("%d"): 0xFFFFFFFF reads -1.
std::wstring FrameArguments(bool enable, DWORD x, DWORD y, DWORD p) {
    auto d = [](DWORD value) { return std::to_wstring(static_cast<int>(value)); };
    return L"enableAMB = " + std::to_wstring(enable ? 1 : 0) + L", dwPercentageX = " + d(x) +
           L", dwPercentageY = " + d(y) + L", dwYPositionPx = " + d(p);
}

// ---- The rig: a simulated world, its COM and driver, and a customizer on them ----

struct Rig {
    explicit Rig(ClockMode mode = ClockMode::AutoAdvance) : world(mode) {
        EXPECT_EQ(com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        customizer.emplace(com, world.GetKernel());
    }
    ~Rig() {
        customizer.reset();
        // Whatever happened, nothing may be left held or misused once the customizer is gone.
        EXPECT_EQ(driver.LiveReferences(), 0u);
        EXPECT_EQ(driver.Misuses(), 0u);
        com.CoUninitialize();
    }

    void Offer(Channel channel) {
        driver.OfferFrameInterface(channel == Channel::Frame);
        driver.OfferDeviceDataInterface(true);
    }
    void Fail(const std::string& operation, HRESULT hr, unsigned nth = 1) {
        Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, static_cast<DWORD>(hr), nth);
    }
    std::vector<Trace> Traces() {
        std::vector<Trace> traces;
        for (const auto& event : world.GetTracing().Events()) {
            std::wstring text = event.text;
            // The source line of a failure line moves with every edit of the source.
            constexpr std::wstring_view kAt = L"@ LINE ";
            if (const auto at = text.find(kAt); at != std::wstring::npos) {
                text.replace(at + kAt.size(), 4, L"####");
            }
            traces.push_back({event.level, text});
        }
        return traces;
    }
    void ClearTraces() { world.GetTracing().Clear(); }
    std::vector<std::string> Calls() { return Lines(driver.Calls()); }
    std::vector<Scheduler::Millis> CallTimes() {
        std::vector<Scheduler::Millis> times;
        for (const auto& call : driver.Calls()) times.push_back(call.time);
        return times;
    }
    DisplayCustomizer& Customizer() { return *customizer; }

    SimWorld world;
    SimCom& com = world.GetCom();
    SimGfxDriver& driver = com.GfxDriver();
    std::optional<DisplayCustomizer> customizer;
};

// ---- Initialize ----

struct Fault {
    const char* operation;
    HRESULT hr;
    unsigned nth;
};

struct Script {
    Method method;
    Outcome outcome;
};

struct InitializeCase {
    const char* name;
    bool frameOffered;
    bool deviceDataOffered;
    bool featureOn;
    std::vector<Fault> faults;
    std::vector<Script> scripts;
    HRESULT expected;
    std::vector<CLSID> created;  // the classes asked for, in order
    bool oleRun;                 // whether the frame object was run
    std::vector<std::string> calls;
    std::vector<Trace> traces;
    std::size_t held;  // references held afterwards
};

void PrintTo(const InitializeCase& c, std::ostream* out) { *out << c.name; }

class DisplayCustomizerInitialize : public testing::TestWithParam<InitializeCase> {};

TEST_P(DisplayCustomizerInitialize, ConnectsAsTheDriverAllows) {
    const InitializeCase& c = GetParam();
    Rig rig;
    rig.driver.OfferFrameInterface(c.frameOffered);
    rig.driver.OfferDeviceDataInterface(c.deviceDataOffered);
    rig.driver.SetFeatureEnabled(c.featureOn);
    for (const Fault& fault : c.faults) rig.Fail(fault.operation, fault.hr, fault.nth);
    for (const Script& script : c.scripts) rig.driver.Script(script.method, script.outcome);
    {
        Scheduler::Lock lock(rig.world.GetScheduler().Mutex());
        rig.world.GetFaults().SetRecording(true);
    }

    EXPECT_EQ(rig.Customizer().Initialize(1920, 1080), c.expected);

    const auto creations = rig.com.Creations();
    ASSERT_EQ(creations.size(), c.created.size());
    for (std::size_t i = 0; i < creations.size(); ++i) {
        const bool frame = c.created[i] == CLSID_TheCorvaneAmbrel;
        EXPECT_TRUE(creations[i].clsid == c.created[i]) << i;
        EXPECT_FALSE(creations[i].aggregated);
        EXPECT_EQ(creations[i].clsContext, frame ? 0x17u : 0x15u);
        EXPECT_TRUE(creations[i].iid == (frame ? IID_IUnknown : IID_IGfxDeviceData)) << i;
    }
    std::vector<std::string> operations;
    {
        Scheduler::Lock lock(rig.world.GetScheduler().Mutex());
        operations = rig.world.GetFaults().Calls();
    }
    EXPECT_EQ(std::count(operations.begin(), operations.end(), "OleRun"), c.oleRun ? 1 : 0);
    EXPECT_EQ(rig.Calls(), c.calls);
    EXPECT_EQ(rig.Traces(), c.traces);
    EXPECT_EQ(rig.driver.LiveReferences(), c.held);

    rig.Customizer().Uninitialize();
    EXPECT_EQ(rig.driver.LiveReferences(), 0u);
    EXPECT_EQ(rig.Customizer().SetFrame(true, 80, 80, 25), E_UNEXPECTED);
}

constexpr HRESULT kDriverFailure = static_cast<HRESULT>(0x887A0005);
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005);
const CLSID kFrame = CLSID_TheCorvaneAmbrel;
const CLSID kData = CLSID_GfxDeviceData;

const Trace kGetInfoCodes =
    Error(L"ITheCorvaneAmbrel::raw_GetInfo ErrorCode: 0x00000011, Ambrel ErrorCode: 0x00000022");

// clang-format off
const InitializeCase kInitializeCases[] = {
    // name, frame class, device-data class, feature on, faults, scripts, result, classes asked
    // for, run, records, traces, references held
    {"FrameInterfaceFeatureOn", true, true, true, {}, {}, S_OK, {kFrame}, true,
     {kFrameQuery}, {}, 1},
    {"FrameInterfaceFeatureOff", true, true, false, {}, {}, CO_E_NOT_SUPPORTED, {kFrame}, true,
     {kFrameQuery}, {kFeatureOff}, 1},
    {"QuerySuccessStatusIsTheResult", true, true, true, {}, {{Method::GetInfo, {S_FALSE}}},
     S_FALSE, {kFrame}, true,
     {kFrameQuery}, {}, 1},
    {"QueryFails", true, true, true, {}, {{Method::GetInfo, {kDriverFailure, 0x11, 0x22}}},
     kDriverFailure, {kFrame}, true,
     {kFrameQuery}, {Failure(kDriverFailure), kGetInfoCodes}, 1},
    {"FallbackWithoutFrameClass", false, true, true, {}, {}, S_OK, {kFrame, kData}, false,
     {kDeviceDataQuery}, {Failure(REGDB_E_CLASSNOTREG)}, 1},
    {"FallbackFeatureOff", false, true, false, {}, {}, CO_E_NOT_SUPPORTED, {kFrame, kData}, false,
     {kDeviceDataQuery}, {Failure(REGDB_E_CLASSNOTREG), kFeatureOff}, 1},
    {"FallbackQueryFails", false, true, true, {}, {{Method::GetDeviceData, {kDriverFailure, 0x33}}},
     kDriverFailure, {kFrame, kData}, false,
     {kDeviceDataQuery}, {Failure(REGDB_E_CLASSNOTREG), Failure(kDriverFailure),
                          Error(L"GetDeviceData error code: 0x00000033")}, 1},
    {"FallbackWhenCreationFails", true, true, true, {{"CoCreateInstance", E_OUTOFMEMORY, 1}}, {},
     S_OK, {kFrame, kData}, false,
     {kDeviceDataQuery}, {Failure(E_OUTOFMEMORY)}, 1},
    {"FallbackWhenRunFails", true, true, true, {{"OleRun", E_FAIL, 1}}, {},
     S_OK, {kFrame, kData}, true,
     {kDeviceDataQuery}, {Failure(E_FAIL)}, 1},
    {"FallbackWhenInterfaceMissing", true, true, true, {}, {{Method::QueryInterface, {E_NOINTERFACE}}},
     S_OK, {kFrame, kData}, true,
     {kDeviceDataQuery}, {Failure(E_NOINTERFACE)}, 1},
    {"FallbackCreationFails", false, true, true, {{"CoCreateInstance", kAccessDenied, 2}}, {},
     kAccessDenied, {kFrame, kData}, false,
     {}, {Failure(REGDB_E_CLASSNOTREG), Failure(kAccessDenied)}, 0},
    {"NeitherInterface", false, false, true, {}, {},
     REGDB_E_CLASSNOTREG, {kFrame, kData}, false,
     {}, {Failure(REGDB_E_CLASSNOTREG), Failure(REGDB_E_CLASSNOTREG)}, 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Driver, DisplayCustomizerInitialize, testing::ValuesIn(kInitializeCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DisplayCustomizer, SecondInitializeWithFrameHeldOnlyStoresTheResolution) {
    Rig rig;
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    EXPECT_EQ(rig.Customizer().Initialize(1920, 0), S_FALSE);
    EXPECT_EQ(rig.com.Creations().size(), 1u);
    EXPECT_EQ(rig.Calls(), std::vector<std::string>{kFrameQuery});
    // A height of 0 now: the vertical bound is off.
    EXPECT_EQ(rig.Customizer().SetFrameAnimated(true, 80, 80, 200, 2, 0), S_OK);
    const std::vector<std::string> expected = {kFrameQuery,
                                               Request(Channel::Frame, true, 90, 90, 100),
                                               Request(Channel::Frame, true, 80, 80, 200)};
    EXPECT_EQ(rig.Calls(), expected);
}

TEST(DisplayCustomizer, SecondInitializeWithFallbackHeldKeepsItAndTriesTheFrameAgain) {
    Rig rig;
    rig.Offer(Channel::DeviceData);
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    rig.ClearTraces();
    EXPECT_EQ(rig.Customizer().Initialize(1920, 1080), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(rig.Traces(), std::vector<Trace>{Failure(REGDB_E_CLASSNOTREG)});
    EXPECT_EQ(rig.com.Creations().size(), 3u);  // frame, data, frame
    EXPECT_EQ(rig.Calls(), std::vector<std::string>{kDeviceDataQuery});
    EXPECT_EQ(rig.driver.LiveReferences(), 1u);

    // Once the frame class is there, it is taken and preferred; the fallback stays held.
    rig.driver.OfferFrameInterface(true);
    EXPECT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    EXPECT_EQ(rig.driver.LiveReferences(), 2u);
    EXPECT_EQ(rig.Customizer().SetFrame(true, 80, 80, 25), S_OK);
    const std::vector<std::string> expected = {kDeviceDataQuery, kFrameQuery,
                                               Request(Channel::Frame, true, 80, 80, 25)};
    EXPECT_EQ(rig.Calls(), expected);
    rig.Customizer().Uninitialize();
    EXPECT_EQ(rig.driver.LiveReferences(), 0u);
}

TEST(DisplayCustomizer, InitializesAgainAfterUninitialize) {
    Rig rig;
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    rig.Customizer().Uninitialize();
    rig.Customizer().Uninitialize();  // nothing left to release
    EXPECT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    EXPECT_EQ(rig.Calls(), (std::vector<std::string>{kFrameQuery, kFrameQuery}));
    EXPECT_EQ(rig.driver.LiveReferences(), 1u);
    EXPECT_EQ(rig.driver.ObjectsCreated(), 2u);
}

TEST(DisplayCustomizer, FeatureOffLeavesTheInterfaceForLaterRequests) {
    Rig rig;
    rig.driver.SetFeatureEnabled(false);
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), CO_E_NOT_SUPPORTED);
    rig.ClearTraces();
    // The substitute refuses requests while its feature is off; they reach it all the same.
    EXPECT_EQ(rig.Customizer().SetFrame(true, 80, 80, 25), E_FAIL);
    const std::vector<std::string> calls = {kFrameQuery, Request(Channel::Frame, true, 80, 80, 25)};
    EXPECT_EQ(rig.Calls(), calls);
    const std::vector<Trace> traces = {
        Info(FrameArguments(true, 80, 80, 25)), Failure(E_FAIL),
        Error(L"ITheCorvaneAmbrel::raw_SetInfo ErrorCode: 0x00000105, Ambrel ErrorCode: "
              L"0x00000105")};
    EXPECT_EQ(rig.Traces(), traces);
}

TEST(DisplayCustomizer, TheProcessWideInstanceIsBuiltOnTheWorldsPlatform) {
    Rig rig;
    DisplayCustomizer* instance = DisplayCustomizer::GetInstance();
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(DisplayCustomizer::GetInstance(), instance);
    EXPECT_EQ(instance->Initialize(1920, 1080), S_OK);
    EXPECT_EQ(rig.Calls(), std::vector<std::string>{kFrameQuery});
    // Destroyed with the world's other instances, releasing what it holds.
    rig.world.Release<DisplayCustomizer>();
    EXPECT_EQ(rig.driver.LiveReferences(), 0u);
}

// ---- SetFrame ----

struct FrameCase {
    const char* name;
    bool enable;
    DWORD x;
    DWORD y;
    DWORD p;
    HRESULT expected;
    Viewport shown;
};

void PrintTo(const FrameCase& c, std::ostream* out) { *out << c.name; }
void PrintTo(Channel channel, std::ostream* out) {
    *out << (channel == Channel::Frame ? "Frame" : "DeviceData");
}

class DisplayCustomizerSetFrame : public testing::TestWithParam<std::tuple<Channel, FrameCase>> {};

TEST_P(DisplayCustomizerSetFrame, SendsOneExactRecord) {
    const auto& [channel, c] = GetParam();
    Rig rig;
    rig.Offer(channel);
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    rig.ClearTraces();
    const auto before = rig.Calls();

    EXPECT_EQ(rig.Customizer().SetFrame(c.enable, c.x, c.y, c.p), c.expected);

    auto expected = before;
    if (SUCCEEDED(c.expected)) expected.push_back(Request(channel, c.enable, c.x, c.y, c.p));
    EXPECT_EQ(rig.Calls(), expected);
    EXPECT_EQ(rig.Traces(), std::vector<Trace>{Info(FrameArguments(c.enable, c.x, c.y, c.p))});
    EXPECT_EQ(rig.driver.Viewport(), c.shown);
}

const FrameCase kFrameCases[] = {
    {"Show", true, 80, 70, 25, S_OK, {true, 80, 70, 25}},
    {"Hide", false, 80, 70, 25, S_OK, {}},
    {"FullScreenViewport", true, 100, 100, 0, S_OK, {true, 100, 100, 0}},
    {"SmallestViewportLargestOffset", true, 1, 1, 0xFFFFFFFF, S_OK, {true, 1, 1, 0xFFFFFFFF}},
    {"WidthZero", true, 0, 70, 25, E_INVALIDARG, {}},
    {"WidthOver100", true, 101, 70, 25, E_INVALIDARG, {}},
    {"HeightZero", false, 80, 0, 25, E_INVALIDARG, {}},
    {"HeightOver100", true, 80, 101, 25, E_INVALIDARG, {}},
};

std::string ChannelName(Channel channel) {
    return channel == Channel::Frame ? "Frame" : "DeviceData";
}

INSTANTIATE_TEST_SUITE_P(Requests, DisplayCustomizerSetFrame,
                         testing::Combine(testing::Values(Channel::Frame, Channel::DeviceData),
                                          testing::ValuesIn(kFrameCases)),
                         [](const auto& info) {
                             return ChannelName(std::get<0>(info.param)) +
                                    std::get<1>(info.param).name;
                         });

class DisplayCustomizerChannel : public testing::TestWithParam<Channel> {};

TEST_P(DisplayCustomizerChannel, FailedRequestIsTracedWithTheDriversCodes) {
    const Channel channel = GetParam();
    Rig rig;
    rig.Offer(channel);
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    rig.ClearTraces();
    rig.driver.Script(channel == Channel::Frame ? Method::SetInfo : Method::SetDeviceData,
                      {kDriverFailure, 0x44, 0x55});

    EXPECT_EQ(rig.Customizer().SetFrame(false, 30, 30, 90), kDriverFailure);

    const Trace codes =
        channel == Channel::Frame
            ? Error(
                  L"ITheCorvaneAmbrel::raw_SetInfo ErrorCode: 0x00000044, Ambrel ErrorCode: "
                  L"0x00000055")
            : Error(L"SetDeviceData error code: 0x00000044");
    const std::vector<Trace> traces = {Info(FrameArguments(false, 30, 30, 90)),
                                       Failure(kDriverFailure), codes};
    EXPECT_EQ(rig.Traces(), traces);
    EXPECT_EQ(rig.Calls().back(), Request(channel, false, 30, 30, 90));
}

TEST_P(DisplayCustomizerChannel, PixelViewportNeverReachesTheDriver) {
    const Channel channel = GetParam();
    Rig rig;
    rig.Offer(channel);
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    rig.ClearTraces();
    struct {
        DWORD width;
        DWORD height;
        HRESULT expected;
    } const cases[] = {{0, 600, E_INVALIDARG}, {800, 0, E_INVALIDARG}, {800, 600, E_NOTIMPL}};
    for (const auto& c : cases) {
        EXPECT_EQ(rig.Customizer().SetFramePixels(true, c.width, c.height, 25), c.expected)
            << c.width << "x" << c.height;
        EXPECT_EQ(rig.Customizer().SetFramePixels(false, c.width, c.height, 25), c.expected);
    }
    EXPECT_EQ(rig.Calls().size(), 1u);  // the query only
    EXPECT_TRUE(rig.Traces().empty());
}

INSTANTIATE_TEST_SUITE_P(Channels, DisplayCustomizerChannel,
                         testing::Values(Channel::Frame, Channel::DeviceData),
                         [](const auto& info) { return ChannelName(info.param); });

TEST(DisplayCustomizer, RequestsWithoutInterfaceFailUnexpectedAfterTheArgumentChecks) {
    Rig rig;
    EXPECT_EQ(rig.Customizer().SetFrame(true, 80, 80, 25), E_UNEXPECTED);
    EXPECT_EQ(rig.Customizer().SetFrame(true, 0, 80, 25), E_INVALIDARG);
    EXPECT_EQ(rig.Customizer().SetFrameAnimated(true, 80, 80, 25, 0, 10), E_INVALIDARG);
    EXPECT_EQ(rig.Customizer().SetFrameAnimated(false, 80, 80, 25, 1, 10), E_UNEXPECTED);
    const std::vector<Trace> traces = {
        Info(FrameArguments(true, 80, 80, 25)),
        Info(FrameArguments(true, 0, 80, 25)),
        Info(FrameArguments(true, 80, 80, 25) + L", dwSteps = 0, dwIntervalMilliseconds = 10"),
        Info(FrameArguments(false, 80, 80, 25) + L", dwSteps = 1, dwIntervalMilliseconds = 10"),
        Info(FrameArguments(false, 80, 80, 25)),
    };
    EXPECT_EQ(rig.Traces(), traces);
    EXPECT_TRUE(rig.Calls().empty());
    EXPECT_TRUE(rig.com.Creations().empty());
}

// ---- SetFrameAnimated ----

struct Step {
    bool enable;
    DWORD x;
    DWORD y;
    DWORD p;
};

struct AnimationCase {
    const char* name;
    bool enable;
    DWORD x;
    DWORD y;
    DWORD p;
    DWORD steps;
    DWORD interval;
    DWORD nativeHeight;
    std::vector<Step> sent;
};

void PrintTo(const AnimationCase& c, std::ostream* out) { *out << c.name; }

class DisplayCustomizerAnimation
    : public testing::TestWithParam<std::tuple<Channel, AnimationCase>> {};

TEST_P(DisplayCustomizerAnimation, SendsTheStepsWithPausesBetween) {
    const auto& [channel, c] = GetParam();
    Rig rig;
    rig.Offer(channel);
    ASSERT_EQ(rig.Customizer().Initialize(1920, c.nativeHeight), S_OK);
    const std::size_t queries = rig.Calls().size();
    const Scheduler::Millis start = rig.world.Now();

    EXPECT_EQ(rig.Customizer().SetFrameAnimated(c.enable, c.x, c.y, c.p, c.steps, c.interval),
              S_OK);

    std::vector<std::string> expected;
    std::vector<Scheduler::Millis> times;
    for (const Step& step : c.sent) {
        expected.push_back(Request(channel, step.enable, step.x, step.y, step.p));
        times.push_back(start + times.size() * c.interval);
    }
    auto calls = rig.Calls();
    calls.erase(calls.begin(), calls.begin() + queries);
    EXPECT_EQ(calls, expected);
    auto callTimes = rig.CallTimes();
    callTimes.erase(callTimes.begin(), callTimes.begin() + queries);
    EXPECT_EQ(callTimes, times);
    // No pause after the last request.
    EXPECT_EQ(rig.world.Now(), start + (c.steps - 1) * c.interval);
}

// clang-format off
const AnimationCase kAnimationCases[] = {
    // name, show, x %, y %, offset px, steps, interval ms, native height; the requests sent
    {"WorkedExampleShowing", true, 80, 80, 25, 4, 10, 1080,
     {{true, 95, 95, 6}, {true, 90, 90, 12}, {true, 85, 85, 18}, {true, 80, 80, 25}}},
    {"WorkedExampleHiding", false, 80, 80, 25, 4, 10, 1080,
     {{true, 85, 85, 18}, {true, 90, 90, 12}, {true, 95, 95, 6}, {false, 80, 80, 25}}},
    {"ShowingBoundedByTheHeight", true, 80, 80, 200, 4, 5, 1080,
     {{true, 95, 95, 6}, {true, 90, 90, 12}, {true, 85, 85, 19}, {true, 80, 80, 200}}},
    {"HidingBoundedByTheHeight", false, 80, 80, 200, 4, 0, 1080,
     {{true, 85, 85, 19}, {true, 90, 90, 12}, {true, 95, 95, 6}, {false, 80, 80, 200}}},
    {"NoBoundWithoutTheHeight", true, 80, 80, 200, 4, 5, 0,
     {{true, 95, 95, 50}, {true, 90, 90, 100}, {true, 85, 85, 150}, {true, 80, 80, 200}}},
    // Close to full height the bound comes out 0, which bounds nothing.
    {"BoundOfZeroIsIgnored", true, 99, 99, 50, 2, 4, 1080,
     {{true, 100, 100, 25}, {true, 99, 99, 50}}},
    {"HalvesRoundUp", true, 33, 67, 10, 2, 7, 1080,
     {{true, 67, 84, 5}, {true, 33, 67, 10}}},
    // 0.12 in single precision is a little less: the bound is 47, not 48.
    {"BoundUsesTheSinglePrecisionFactor", true, 20, 20, 200, 2, 3, 1000,
     {{true, 60, 60, 47}, {true, 20, 20, 200}}},
    {"FullScreenViewport", true, 100, 100, 0, 3, 1, 1080,
     {{true, 100, 100, 0}, {true, 100, 100, 0}, {true, 100, 100, 0}}},
    {"OneStepShowing", true, 30, 30, 90, 1, 100, 1080, {{true, 30, 30, 90}}},
    {"OneStepHiding", false, 30, 30, 90, 1, 100, 1080, {{false, 30, 30, 90}}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Animations, DisplayCustomizerAnimation,
                         testing::Combine(testing::Values(Channel::Frame, Channel::DeviceData),
                                          testing::ValuesIn(kAnimationCases)),
                         [](const auto& info) {
                             return ChannelName(std::get<0>(info.param)) +
                                    std::get<1>(info.param).name;
                         });

struct StepFailureCase {
    const char* name;
    unsigned failingRequest;  // 1-based
    std::vector<Trace> traces;
    Viewport left;
};

void PrintTo(const StepFailureCase& c, std::ostream* out) { *out << c.name; }

class DisplayCustomizerAnimationFailure : public testing::TestWithParam<StepFailureCase> {};

TEST_P(DisplayCustomizerAnimationFailure, StopsAtTheFailedStep) {
    const StepFailureCase& c = GetParam();
    Rig rig;
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    rig.ClearTraces();
    rig.driver.Script(Method::SetInfo, {kDriverFailure, 0x44, 0x55}, c.failingRequest);

    EXPECT_EQ(rig.Customizer().SetFrameAnimated(true, 80, 80, 25, 4, 10), kDriverFailure);

    const std::vector<std::string> all = {kFrameQuery, Request(Channel::Frame, true, 95, 95, 6),
                                          Request(Channel::Frame, true, 90, 90, 12),
                                          Request(Channel::Frame, true, 85, 85, 18),
                                          Request(Channel::Frame, true, 80, 80, 25)};
    EXPECT_EQ(rig.Calls(),
              std::vector<std::string>(all.begin(), all.begin() + 1 + c.failingRequest));
    EXPECT_EQ(rig.Traces(), c.traces);
    EXPECT_EQ(rig.driver.Viewport(), c.left);
    EXPECT_EQ(rig.world.Now(), (c.failingRequest - 1) * 10u);
}

const Trace kAnimatedArguments = Info(
    L"enableAMB = 1, dwPercentageX = 80, dwPercentageY = 80, dwYPositionPx = 25, dwSteps = 4, "
    L"dwIntervalMilliseconds = 10");
const Trace kSetInfoCodes =
    Error(L"ITheCorvaneAmbrel::raw_SetInfo ErrorCode: 0x00000044, Ambrel ErrorCode: 0x00000055");

const StepFailureCase kStepFailureCases[] = {
    {"FirstStep",
     1,
     {kAnimatedArguments, Info(L"AMB: dwPercentX=95, dwPercentY=95, dwYPos=6"),
      Info(FrameArguments(true, 95, 95, 6)), Failure(kDriverFailure), kSetInfoCodes,
      Failure(kDriverFailure)},
     {}},
    {"SecondStep",
     2,
     {kAnimatedArguments, Info(L"AMB: dwPercentX=95, dwPercentY=95, dwYPos=6"),
      Info(FrameArguments(true, 95, 95, 6)), Info(L"AMB: dwPercentX=90, dwPercentY=90, dwYPos=12"),
      Info(FrameArguments(true, 90, 90, 12)), Failure(kDriverFailure), kSetInfoCodes,
      Failure(kDriverFailure)},
     {true, 95, 95, 6}},
    // The last request's failure is its own result, traced once by the request.
    {"FinalRequest",
     4,
     {kAnimatedArguments, Info(L"AMB: dwPercentX=95, dwPercentY=95, dwYPos=6"),
      Info(FrameArguments(true, 95, 95, 6)), Info(L"AMB: dwPercentX=90, dwPercentY=90, dwYPos=12"),
      Info(FrameArguments(true, 90, 90, 12)), Info(L"AMB: dwPercentX=85, dwPercentY=85, dwYPos=18"),
      Info(FrameArguments(true, 85, 85, 18)), Info(FrameArguments(true, 80, 80, 25)),
      Failure(kDriverFailure), kSetInfoCodes},
     {true, 85, 85, 18}},
};

INSTANTIATE_TEST_SUITE_P(Steps, DisplayCustomizerAnimationFailure,
                         testing::ValuesIn(kStepFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DisplayCustomizer, AnimationRejectsBadArgumentsBeforeAnyRequest) {
    struct {
        DWORD x;
        DWORD y;
        DWORD steps;
    } const cases[] = {{0, 80, 4}, {101, 80, 4}, {80, 0, 4}, {80, 101, 4}, {80, 80, 0}};
    Rig rig;
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    for (const auto& c : cases) {
        rig.ClearTraces();
        EXPECT_EQ(rig.Customizer().SetFrameAnimated(true, c.x, c.y, 25, c.steps, 10), E_INVALIDARG);
        EXPECT_EQ(rig.Traces().size(), 1u);
    }
    EXPECT_EQ(rig.Calls(), std::vector<std::string>{kFrameQuery});
    EXPECT_EQ(rig.world.Now(), 0u);
}

// Another thread's request falls between two steps: the lock is not held while pausing.
TEST(DisplayCustomizer, RequestOfAnotherThreadFallsBetweenTwoSteps) {
    Rig rig(ClockMode::Manual);
    ASSERT_EQ(rig.Customizer().Initialize(1920, 1080), S_OK);
    platform::sim::SimKernel& kernel = rig.world.GetKernel();
    HRESULT animated = S_FALSE;
    HRESULT single = S_FALSE;
    std::atomic<bool> singleDone{false};
    auto inApartment = [&rig](auto body) {
        return [&rig, body] {
            rig.com.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            body();
            rig.com.CoUninitialize();
        };
    };
    platform::Thread animation(kernel, inApartment([&] {
                                   animated =
                                       rig.Customizer().SetFrameAnimated(true, 80, 80, 25, 3, 10);
                               }));
    rig.world.RunUntilIdle();  // the first step is sent; the animation pauses
    platform::Thread other(kernel, inApartment([&] {
                               single = rig.Customizer().SetFrame(true, 50, 50, 0);
                               singleDone = true;
                           }));
    rig.world.RunUntilIdle();
    EXPECT_TRUE(singleDone);
    rig.world.Advance(10);
    rig.world.Advance(10);
    animation.join();
    other.join();
    EXPECT_EQ(animated, S_OK);
    EXPECT_EQ(single, S_OK);
    const std::vector<std::string> expected = {
        kFrameQuery, Request(Channel::Frame, true, 93, 93, 8),
        Request(Channel::Frame, true, 50, 50, 0), Request(Channel::Frame, true, 87, 87, 16),
        Request(Channel::Frame, true, 80, 80, 25)};
    EXPECT_EQ(rig.Calls(), expected);
}

}  // namespace
