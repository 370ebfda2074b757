// The display customizer against the simulated graphics driver, and the substitute driver's own
// answers to what the customizer never sends. The stories are played from
// golden/display_customizer.txt: each line not indented is a step, and the indented lines after
// it are what reached the driver and COM, byte for byte, and the state it left. The file is the
// expected transcript; KELVO_REGENERATE_GOLDEN=1 (./run golden) writes the transcript in its place.
#include "devices/display_customizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "rig/golden.h"
#include "rig/sim_rig.h"

namespace {

using platform::sim::ClockMode;
using platform::sim::Scheduler;
using platform::sim::SimGfxDriver;
using Method = SimGfxDriver::Method;

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string Bytes(const std::vector<BYTE>& bytes) {
    std::string text;
    for (BYTE b : bytes) text += (text.empty() ? "" : " ") + Hex(b).substr(8);
    return "[" + text + "]";
}

// A class or interface that is none of the driver's.
constexpr GUID kOther = {0x4AFD1957, 0x3482, 0x4CAE, {0x82, 0xA0, 0x55, 0x0B, 0xDF, 0x47, 0x9E, 0x4F}};

const std::pair<const GUID*, const char*> kNames[] = {
    {&CLSID_TheCorvaneAmbrel, "frame"},   {&CLSID_GfxDeviceData, "data"},
    {&IID_IUnknown, "IUnknown"},          {&IID_IDispatch, "IDispatch"},
    {&IID_IGfxDeviceData, "IGfxDeviceData"}, {&IID_ITheCorvaneAmbrel, "ITheCorvaneAmbrel"},
    {&GUID_GfxFrameDeviceData, "frame-device-data"}, {&kOther, "other"}};

std::string Name(const GUID& id) {
    for (const auto& [guid, name] : kNames) {
        if (*guid == id) return name;
    }
    return Hex(id.Data1);
}

GUID Id(const std::string& name) {
    for (const auto& [guid, known] : kNames) {
        if (name == known) return *guid;
    }
    ADD_FAILURE() << "unknown name " << name;
    return kOther;
}

// An outer object for aggregation; COM refuses before calling it.
struct Outer : IUnknown {
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
};

// Hands the driver one record made of the given fields, as a caller other than the customizer
// could, and writes what the driver wrote back.
void CallDirectly(platform::sim::SimCom& com, const std::string& method, const GUID& dataId,
                  const std::function<DWORD(int)>& n, std::ostream& out) {
    void* object = nullptr;
    DWORD code = 0x5A5A;  // the driver overwrites it either way
    HRESULT hr = E_FAIL;
    if (method == "GetInfo" || method == "SetInfo") {
        com.CoCreateInstance(CLSID_TheCorvaneAmbrel, nullptr, CLSCTX_ALL, IID_ITheCorvaneAmbrel, &object);
        auto* ambrel = static_cast<ITheCorvaneAmbrel*>(object);
        FrameInfo r{n(3), 0, 0, n(4), 0, n(5), n(6), n(7), n(8)};
        hr = method == "GetInfo" ? ambrel->GetInfo(n(2), &r, &code) : ambrel->SetInfo(n(2), &r, &code);
        out << "  frame code " << Hex(r.dwAmbrelErrorCode) << " supported " << r.dwSupported;
    } else {
        com.CoCreateInstance(CLSID_GfxDeviceData, nullptr, CLSCTX_ALL, IID_IGfxDeviceData, &object);
        auto* data = static_cast<IGfxDeviceData*>(object);
        FrameDeviceData r{n(3), {}, n(4), 0, BYTE(n(5)), {}, n(6), n(7), n(8), 0};
        hr = method == "GetDeviceData" ? data->GetDeviceData(dataId, n(2), &r, &code)
                                       : data->SetDeviceData(dataId, n(2), &r, &code);
        out << "  supported " << int(r.bSupported);
    }
    out << " code " << Hex(code) << " = " << Hex(hr) << "\n";
    static_cast<IUnknown*>(object)->Release();
}

const char* const kMethods[] = {"QueryInterface", "GetInfo", "SetInfo", "GetDeviceData",
                                "SetDeviceData"};
const char* Name(Method method) { return kMethods[static_cast<int>(method)]; }

// One story's world: the rig with the classes it registers, COM on the test's thread, and what
// of it was already written out.
struct Story {
    Story(bool frame, bool data) : rig(ClockMode::AutoAdvance, frame, data) {
        EXPECT_EQ(rig.world.GetCom().CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        Scheduler::Lock lock(rig.world.GetScheduler().Mutex());
        rig.world.GetFaults().SetRecording(true);
    }
    ~Story() { rig.world.GetCom().CoUninitialize(); }

    rig::SimRig rig;
    std::optional<DisplayCustomizer> customizer{std::in_place, rig.world.GetCom(),
                                                rig.world.GetKernel()};
    std::size_t creations = 0, calls = 0, operations = 0;
};

// Carries out one step and writes what came of it.
void Play(std::optional<Story>& story, const std::string& step, std::ostream& out) {
    std::vector<std::string> w;  // the step's words
    std::istringstream in(step);
    for (std::string word; in >> word;) w.push_back(word);
    if (w[0] == "instance") w.erase(w.begin());
    // The ith word as a number: decimal, or hexadecimal after 0x; 0 when there is none.
    const std::function<DWORD(int)> n = [&w](int i) {
        return i < int(w.size()) ? DWORD(std::stoul(w[i], nullptr, 0)) : 0;
    };
    const std::string& verb = w[0];
    if (verb == "case") {
        story.reset();
        story.emplace(step.find("frame") != std::string::npos, step.find("data") != std::string::npos);
        return;
    }
    rig::SimRig& rig = story->rig;
    platform::sim::SimCom& com = rig.world.GetCom();
    SimGfxDriver& driver = *rig.gfx;
    DisplayCustomizer* customizer =
        step.starts_with("instance") ? DisplayCustomizer::GetInstance() : &*story->customizer;
    std::optional<HRESULT> hr;
    if (verb == "feature-off") {
        driver.SetFeatureEnabled(false);
    } else if (verb == "register-frame") {
        driver.Register(com, CLSID_TheCorvaneAmbrel);
    } else if (verb == "fail") {
        rig.Fail(w[1], n(2), n(3));
    } else if (verb == "script") {  // method, nth, status, error code, frame error code
        const auto method = std::find(std::begin(kMethods), std::end(kMethods), w[1]) - kMethods;
        driver.Script(Method(method), {HRESULT(n(3)), n(4), n(5)}, n(2));
    } else if (verb == "Initialize") {
        hr = customizer->Initialize(n(1), n(2));
    } else if (verb == "Uninitialize") {
        customizer->Uninitialize();
    } else if (verb == "SetFrame") {
        hr = customizer->SetFrame(n(1), n(2), n(3), n(4));
    } else if (verb == "SetFramePixels") {
        hr = customizer->SetFramePixels(n(1), n(2), n(3), n(4));
    } else if (verb == "SetFrameAnimated") {
        hr = customizer->SetFrameAnimated(n(1), n(2), n(3), n(4), n(5), n(6));
    } else if (verb == "create") {  // class, context, interface, "aggregated"
        Outer outer;
        void* object = &outer;
        if (SUCCEEDED(com.CoCreateInstance(Id(w[1]), w.size() > 4 ? &outer : nullptr, n(2), Id(w[3]),
                                           &object))) {
            static_cast<IUnknown*>(object)->Release();
        } else if (object != nullptr) {
            ADD_FAILURE() << "a failed creation left its object";
        }
    } else if (verb == "enter-apartment") {  // the model; on another thread, which leaves it again
        if (w.size() < 3) hr = com.CoInitializeEx(nullptr, n(1));
        else std::thread([&] { hr = com.CoInitializeEx(nullptr, n(1)), com.CoUninitialize(); }).join();
    } else if (verb == "leave-apartment") {
        com.CoUninitialize();
    } else if (verb == "call") {  // method, size, header, constant, enable, x, y, offset, data id
        CallDirectly(com, w[1], w.size() > 9 ? Id(w[9]) : GUID_GfxFrameDeviceData, n, out);
    } else if (verb == "release-instance") {
        rig.world.Release<DisplayCustomizer>();
    } else if (verb == "end") {
        story->customizer.reset();
    } else if (verb == "errors") {
        // Only the driver's own codes, which reach nothing but the trace.
        for (const std::wstring& line : rig.Lines(TRACE_LEVEL_ERROR)) {
            out << "  error " << std::string(line.begin(), line.end()) << "\n";
        }
        rig.world.GetTracing().Clear();
    } else {
        ADD_FAILURE() << "unknown step: " << step;
    }
    if (hr) out << "  = " << Hex(*hr) << "\n";
    const auto creations = rig.world.GetCom().Creations();
    for (std::size_t i = story->creations; i < creations.size(); ++i) {
        const auto& c = creations[i];
        out << "  create " << Name(c.clsid) << (c.aggregated ? " aggregated" : "") << " context "
            << Hex(c.clsContext) << " " << Name(c.iid) << " = " << Hex(c.result) << "\n";
    }
    story->creations = creations.size();
    std::vector<std::string> operations;
    {
        Scheduler::Lock lock(rig.world.GetScheduler().Mutex());
        operations = rig.world.GetFaults().Calls();
    }
    for (std::size_t i = story->operations; i < operations.size(); ++i) {
        if (operations[i] == "OleRun") out << "  run\n";
    }
    story->operations = operations.size();
    const auto calls = driver.Calls();
    for (std::size_t i = story->calls; i < calls.size(); ++i) {
        const auto& c = calls[i];
        out << "  " << Name(c.method) << " at " << c.time << " size " << c.size << " in "
            << c.errorCodeIn << " " << Bytes(c.record) << " = " << Hex(c.result) << "\n";
        if (c.method == Method::GetDeviceData || c.method == Method::SetDeviceData) {
            out << "    for " << Name(c.dataId) << "\n";
        }
    }
    story->calls = calls.size();
    const auto view = driver.Viewport();
    out << "  apartments " << com.InitializedThreads() << " held " << driver.LiveReferences() << " misused " << driver.Misuses() << " shown "
        << view.enabled << " " << view.dwPercentageX << " " << view.dwPercentageY << " "
        << view.dwYPositionPx << " now " << rig.world.Now() << "\n";
}

TEST(DisplayCustomizer, PlaysTheGoldenStories) {
    std::ifstream file(KELVO_DISPLAY_GOLDEN, std::ios::binary);
    ASSERT_TRUE(file) << KELVO_DISPLAY_GOLDEN;
    std::optional<Story> story;
    std::string want, got, all, name;  // one story's expected and actual transcript
    auto compare = [&] {
        EXPECT_EQ(got, want) << name;
        all += got;
        want.clear();
        got.clear();
    };
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("case ")) compare(), name = line;
        want += line + "\n";
        if (line.starts_with("  ")) continue;
        std::ostringstream out;
        out << line << "\n";
        if (!line.empty() && !line.starts_with("#")) Play(story, line, out);
        got += out.str();
    }
    story.reset();
    compare();
    if (rig::Regenerating()) {
        std::ofstream(KELVO_DISPLAY_GOLDEN, std::ios::binary) << all;
    }
}

// Another thread's request falls between two steps: the lock is not held while pausing.
TEST(DisplayCustomizer, RequestOfAnotherThreadFallsBetweenTwoSteps) {
    rig::SimRig rig(ClockMode::Manual);
    platform::sim::SimCom& com = rig.world.GetCom();
    DisplayCustomizer customizer(com, rig.world.GetKernel());
    ASSERT_EQ(com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ASSERT_EQ(customizer.Initialize(1920, 1080), S_OK);
    HRESULT animated = S_FALSE, single = S_FALSE;
    std::atomic<bool> singleDone{false};
    auto inApartment = [&com](auto body) {
        return [&com, body] {
            com.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            body();
            com.CoUninitialize();
        };
    };
    platform::Thread animation(rig.world.GetKernel(), inApartment([&] {
        animated = customizer.SetFrameAnimated(true, 80, 80, 25, 3, 10);
    }));
    rig.world.RunUntilIdle();  // the first step is sent; the animation pauses
    platform::Thread other(rig.world.GetKernel(), inApartment([&] {
        single = customizer.SetFrame(true, 50, 50, 0);
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
    std::vector<std::pair<DWORD, DWORD>> sent;  // width and offset of each request, in order
    for (const auto& call : rig.gfx->Calls()) {
        if (call.method == Method::SetInfo) sent.emplace_back(call.record[24], call.record[32]);
    }
    EXPECT_EQ(sent, (std::vector<std::pair<DWORD, DWORD>>{{93, 8}, {50, 0}, {87, 16}, {80, 25}}));
    customizer.Uninitialize();
    com.CoUninitialize();
}

}  // namespace
