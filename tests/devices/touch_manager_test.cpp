#include "devices/touch_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid_rig.h"
#include "platform/sim/touch_controller_sim.h"

namespace {

using hid_test::Bytes;
using hid_test::HidReport;
using hid_test::HidRig;
using platform::sim::SimTouchController;
using Family = SimTouchController::Family;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr BYTE kReportId = 6;
constexpr BYTE kPropsReportId = 5;

HidReport Output(Bytes bytes) { return {HidReport::Kind::Output, std::move(bytes)}; }
HidReport Feature(Bytes bytes) { return {HidReport::Kind::SetFeature, std::move(bytes)}; }
HidReport FeatureRead(Bytes bytes) { return {HidReport::Kind::GetFeature, std::move(bytes)}; }

HidReport SelectProperty(BYTE key) {
    return Feature({kPropsReportId, 0xFF, 0xFF, key, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
}
HidReport ReadProperty(BYTE key) {
    return FeatureRead({kPropsReportId, 0, 0, key, 0, 0, 0, 0, 0, 0, 0, 0});
}
// Mode reports reach the controller zero-padded to its 12-byte feature report length.
HidReport CurrentMode(BYTE mode) {
    return Feature({kReportId, 0xFF, 0xFF, mode, 0, 0, 0, 0, 0, 0, 0, 0});
}
HidReport LegacyMode(BYTE mode) { return Feature({kReportId, mode, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}); }

// Lines of the HID client, which its own tests cover; what is left is the touch manager's.
bool IsClientLine(const std::wstring& trace) {
    static const wchar_t* const kPrefixes[] = {L"4 Checking on device path",
                                               L"4 Hid Device(",
                                               L"4 UsagePage[",
                                               L"4 Found device",
                                               L"4 HIDP_CAPS",
                                               L"4 Sending Output Report",
                                               L"4 Setting Feature Report",
                                               L"4 Getting Feature",
                                               L"4 Operation "};
    for (const wchar_t* prefix : kPrefixes) {
        if (trace.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

class TouchRig : public HidRig {
public:
    using HidRig::Plug;

    SimTouchController& PlugLegacy() {
        return Hid().AddDevice<SimTouchController>(
            Family::Legacy, 1, SimTouchController::LegacyDescription(L"legacy-touch"));
    }
    SimTouchController& PlugCurrent(USHORT version) {
        return Hid().AddDevice<SimTouchController>(
            Family::Current, version, SimTouchController::CurrentDescription(version, L"touch"));
    }
    SimTouchController& Plug(Family family, USHORT version) {
        return family == Family::Legacy ? PlugLegacy() : PlugCurrent(version);
    }

    // Made on first use, with the devices plugged in so far; the device list's trace is left
    // out of what the tests see.
    TouchManager& Touch() {
        if (!touch) {
            devices = std::make_unique<HidDeviceList>(Hid(), Kernel());
            TakeTraces();
            touch = std::make_unique<TouchManager>(Hid(), Kernel(), *devices);
        }
        return *touch;
    }
    bool Initialize(Family family) {
        return family == Family::Legacy
                   ? Touch().Initialize(true, 0x03EB, 0x212A, kReportId, kPropsReportId, 0)
                   : Touch().Initialize(false, 0x04F3, 0x200A, kReportId, kPropsReportId, 0);
    }

    std::vector<std::wstring> TakeTouchTraces() {
        std::vector<std::wstring> traces = TakeTraces();
        std::erase_if(traces, IsClientLine);
        return traces;
    }

    // The reports that reached the device since the last call.
    std::vector<HidReport> TakeReports(platform::sim::SimHidDevice& device) {
        std::vector<HidReport> reports = device.Reports();
        std::vector<HidReport> fresh(reports.begin() + static_cast<std::ptrdiff_t>(_seen),
                                     reports.end());
        _seen = reports.size();
        return fresh;
    }

    bool Signaled(HANDLE event) {
        return Kernel().WaitForMultipleObjects(1, &event, FALSE, 0) == WAIT_OBJECT_0;
    }

    std::unique_ptr<HidDeviceList> devices;
    std::unique_ptr<TouchManager> touch;

private:
    std::size_t _seen = 0;
};

// ---- Initialisation ----

TEST(TouchManager, InitializeReadsTheThreePropertiesOfTheController) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(2);
    EXPECT_TRUE(rig.Initialize(Family::Current));
    EXPECT_TRUE(rig.Touch().IsInitialized());
    EXPECT_THAT(
        rig.TakeTraces(),
        ElementsAre(
            L"4 Checking on device path: touch",
            L"4 Hid Device(touch) VID: 0x04f3, PID: 0x200a, Ver: 0x0202",
            L"4 UsagePage[0]=65280, ReportId[0]=7", L"4 Found device: touch",
            L"4 HIDP_CAPS: InputReportByteLength=20, OutputReportByteLength=20, "
            L"FeatureReportByteLength=12",
            L"4 Setting Feature Report bytes:\n 0x05 0xff 0xff 0x01 0xff 0xff 0xff 0xff 0x00 0x00 "
            L"0x00 0x00",
            L"4 Operation successful",
            L"4 Getting Feature Report bytes:\n 0x05 0xff 0xff 0x01 0x02 0x00 0x00 0x00 0x00 0x00 "
            L"0x00 0x00",
            L"4 Operation successful", L"4 Touch FW version: 0x02 (2.0)",
            L"4 Setting Feature Report bytes:\n 0x05 0xff 0xff 0x02 0xff 0xff 0xff 0xff 0x00 0x00 "
            L"0x00 0x00",
            L"4 Operation successful",
            L"4 Getting Feature Report bytes:\n 0x05 0xff 0xff 0x02 0x30 0x0c 0x80 0x07 0x00 0x00 "
            L"0x00 0x00",
            L"4 Operation successful", L"4 Touch panel dimension: width=3120, height=1920",
            L"4 Setting Feature Report bytes:\n 0x05 0xff 0xff 0x03 0xff 0xff 0xff 0xff 0x00 0x00 "
            L"0x00 0x00",
            L"4 Operation successful",
            L"4 Getting Feature Report bytes:\n 0x05 0xff 0xff 0x03 0x01 0x00 0x00 0x00 0x00 0x00 "
            L"0x00 0x00",
            L"4 Operation successful", L"4 PalmReportSupport: 1"));
    EXPECT_THAT(controller.Reports(),
                ElementsAre(SelectProperty(1), ReadProperty(1), SelectProperty(2), ReadProperty(2),
                            SelectProperty(3), ReadProperty(3)));
}

TEST(TouchManager, InitializeOnceIsEnoughAndLaterSettingsAreNotTakenOver) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(2);
    ASSERT_TRUE(rig.Initialize(Family::Current));
    rig.TakeReports(controller);
    rig.TakeTraces();
    EXPECT_TRUE(rig.Touch().Initialize(true, 0x03EB, 0x212A, 9, 8, 1));
    EXPECT_THAT(rig.TakeTraces(), IsEmpty());
    EXPECT_THAT(rig.TakeReports(controller), IsEmpty());
    EXPECT_TRUE(rig.Touch().SetBezelTouchMode(1));
    EXPECT_THAT(rig.TakeReports(controller), ElementsAre(CurrentMode(1)));
}

struct VersionCase {
    const char* name;
    USHORT deviceVersion;           // decides the report lengths of the device
    std::optional<DWORD> property;  // property 1; none: it cannot be read
    std::wstring trace;
    std::size_t viewportLength;
};

class TouchManagerVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(TouchManagerVersion, DecidesTheViewportFormat) {
    const VersionCase& c = GetParam();
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(c.deviceVersion);
    if (c.property) {
        controller.SetProperty(1, *c.property);
    } else {
        controller.RemoveProperty(1);
    }
    EXPECT_TRUE(rig.Initialize(Family::Current));
    EXPECT_THAT(rig.TakeTouchTraces(), Contains(c.trace));
    EXPECT_TRUE(rig.Touch().SetViewport(10, 20, 110, 220));
    EXPECT_EQ(controller.Viewport().size(), c.viewportLength);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, TouchManagerVersion,
    ::testing::Values(
        VersionCase{"Input20KeepsVersion2", 2, std::nullopt,
                    L"3 Failed to get touch FW version property!  Current FW version: 0x02 "
                    L"(2.0)",
                    20},
        VersionCase{"OtherInputKeepsVersion1", 1, std::nullopt,
                    L"3 Failed to get touch FW version property!  Current FW version: 0x01 "
                    L"(1.0)",
                    19},
        VersionCase{"PropertySaysVersion1", 1, 1, L"4 Touch FW version: 0x01 (1.0)", 19},
        VersionCase{"PropertySaysVersion2", 2, 0xABCD0002, L"4 Touch FW version: 0x02 (2.0)", 20}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TouchManager, AnUnsupportedVersionFailsInitializeButKeepsTheDevice) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(1);
    controller.SetProperty(1, 0x0003);
    EXPECT_FALSE(rig.Initialize(Family::Current));
    EXPECT_THAT(rig.TakeTouchTraces(), ElementsAre(L"4 Touch FW version: 0x03 (3.0)",
                                                   L"2 Touch FW version not supported"));
    EXPECT_THAT(rig.TakeReports(controller), ElementsAre(SelectProperty(1), ReadProperty(1)));
    EXPECT_TRUE(rig.Touch().IsInitialized());
    EXPECT_FALSE(rig.Touch().SetViewport(10, 20, 110, 220));
    EXPECT_THAT(rig.TakeTouchTraces(), ElementsAre(L"2 Touch FW version not supported: 0x03"));
    EXPECT_THAT(rig.TakeReports(controller), IsEmpty());
}

struct PropertyWarning {
    const char* name;
    BYTE removed;
    std::wstring warning;
};

class TouchManagerPropertyWarning : public ::testing::TestWithParam<PropertyWarning> {};

TEST_P(TouchManagerPropertyWarning, LeavesInitializeSuccessful) {
    TouchRig rig;
    rig.PlugCurrent(2).RemoveProperty(GetParam().removed);
    EXPECT_TRUE(rig.Initialize(Family::Current));
    const std::vector<std::wstring> traces = rig.TakeTouchTraces();
    EXPECT_EQ(std::count(traces.begin(), traces.end(), GetParam().warning), 1);
    EXPECT_EQ(std::count(traces.begin(), traces.end(),
                         L"2 Failed to get feature report from HID device."),
              1);
}

INSTANTIATE_TEST_SUITE_P(
    Properties, TouchManagerPropertyWarning,
    ::testing::Values(PropertyWarning{"PanelSize", 2,
                                      L"3 Failed to get touch panel size property!"},
                      PropertyWarning{"PalmReport", 3, L"3 Failed to get Palm Report property!"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Properties ----

struct PropertyFault {
    const char* name;
    std::function<void(SimTouchController&)> arrange;
    std::vector<std::wstring> traces;
};

class TouchManagerPropertyFault : public ::testing::TestWithParam<PropertyFault> {};

TEST_P(TouchManagerPropertyFault, ReadFailsAndLeavesTheValue) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(2);
    ASSERT_TRUE(rig.Initialize(Family::Current));
    rig.TakeTraces();
    GetParam().arrange(controller);
    DWORD value = 0x1234;
    EXPECT_FALSE(rig.Touch().GetProperty(2, value));
    EXPECT_EQ(value, 0x1234u);
    EXPECT_EQ(rig.TakeTouchTraces(), GetParam().traces);
}

INSTANTIATE_TEST_SUITE_P(
    Responses, TouchManagerPropertyFault,
    ::testing::Values(
        PropertyFault{"ReadRefused",
                      [](SimTouchController& c) { c.Refuse("HidD_GetFeature", ERROR_GEN_FAILURE); },
                      {L"2 Failed to get feature report from HID device."}},
        PropertyFault{"WrongReportId",
                      [](SimTouchController& c) {
                          c.SetPropertyResponse(2, {7, 0xFF, 0xFF, 2, 1, 2, 3, 4, 0, 0, 0, 0});
                      },
                      {L"2 ReportId in feature report incorrect: 7"}},
        PropertyFault{"WrongSecurityNumber",
                      [](SimTouchController& c) {
                          c.SetPropertyResponse(2, {5, 0xFF, 0x00, 2, 1, 2, 3, 4, 0, 0, 0, 0});
                      },
                      {L"2 Security# in feature report incorrect: 255"}},
        PropertyFault{"SelectionRefused",
                      [](SimTouchController& c) { c.Refuse("HidD_SetFeature", ERROR_GEN_FAILURE); },
                      {L"2 Failed to set feature report to HID device: key=2, value=0xffffffff",
                       L"2 Failed to send property key!"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TouchManager, PropertiesTravelLittleEndian) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(2);
    ASSERT_TRUE(rig.Initialize(Family::Current));
    rig.TakeReports(controller);
    EXPECT_TRUE(rig.Touch().SetProperty(9, 0x01020304));
    EXPECT_THAT(rig.TakeReports(controller),
                ElementsAre(Feature({5, 0xFF, 0xFF, 9, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0})));
    EXPECT_EQ(controller.Property(9), 0x01020304u);
    DWORD value = 0;
    EXPECT_TRUE(rig.Touch().GetProperty(9, value));
    EXPECT_EQ(value, 0x01020304u);
}

// ---- Viewports and bezel touch modes ----

struct ControllerCase {
    const char* name;
    Family family;
    USHORT version;
    std::function<bool(TouchManager&)> setViewport;
    Bytes viewport;
    std::function<HidReport(BYTE)> modeReport;
};

class TouchManagerController : public ::testing::TestWithParam<ControllerCase> {};

TEST_P(TouchManagerController, SendsTheViewportAndModesInItsFormat) {
    const ControllerCase& c = GetParam();
    TouchRig rig;
    SimTouchController& controller = rig.Plug(c.family, c.version);
    ASSERT_TRUE(rig.Initialize(c.family));
    rig.TakeReports(controller);
    EXPECT_TRUE(c.setViewport(rig.Touch()));
    EXPECT_THAT(rig.TakeReports(controller), ElementsAre(Output(c.viewport)));

    EXPECT_TRUE(rig.Touch().SetBezelTouchMode(1));
    EXPECT_THAT(rig.TakeReports(controller), ElementsAre(c.modeReport(1)));
    EXPECT_TRUE(rig.Touch().SetBezelTouchMode(2));
    EXPECT_THAT(rig.TakeReports(controller),
                ElementsAre(c.modeReport(1), c.modeReport(2), Output(c.viewport)));
    EXPECT_TRUE(rig.Touch().SetBezelTouchMode(3));
    EXPECT_THAT(rig.TakeReports(controller),
                ElementsAre(c.modeReport(1), c.modeReport(3), Output(c.viewport)));
    EXPECT_EQ(controller.BezelTouchMode(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, TouchManagerController,
    ::testing::Values(
        ControllerCase{"Legacy",
                       Family::Legacy,
                       1,
                       [](TouchManager& t) { return t.SetViewportLegacy(100, 192, 100, 55); },
                       {kReportId, 0x00, 0x64, 0x00, 0xC0, 0x00, 0x64, 0x00, 0x37, 0x00},
                       LegacyMode},
        ControllerCase{
            "Version1",
            Family::Current,
            1,
            [](TouchManager& t) { return t.SetViewport(132.5f, 150.25f, 2988, 1776.75f); },
            {kReportId, 0xFF, 0xFF, 0x00, 0x80, 0x04, 0x43, 0x00, 0x40, 0x16, 0x43, 0x00, 0xC0,
             0x3A, 0x45, 0x00, 0x18, 0xDE, 0x44},
            CurrentMode},
        ControllerCase{
            "Version2",
            Family::Current,
            2,
            [](TouchManager& t) { return t.SetViewport(132.5f, 150.25f, 2988, 1776.75f); },
            {kReportId, 0xFF, 0xFF, 0x84, 0x00, 0x00, 0x00, 0x96, 0x00, 0x00,
             0x00,      0xAC, 0x0B, 0x00, 0x00, 0xF0, 0x06, 0x00, 0x00, 0x00},
            CurrentMode}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TouchManager, LegacyModeBeforeAnyViewportSendsTheZeroViewport) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugLegacy();
    ASSERT_TRUE(rig.Initialize(Family::Legacy));
    rig.TakeReports(controller);
    EXPECT_TRUE(rig.Touch().SetBezelTouchMode(2));
    EXPECT_THAT(
        rig.TakeReports(controller),
        ElementsAre(LegacyMode(1), LegacyMode(2), Output({kReportId, 0, 0, 0, 0, 0, 0, 0, 0, 0})));
}

struct ModeFault {
    const char* name;
    bool viewportFirst;
    const char* operation;
    unsigned nth;
    std::vector<std::wstring> traces;
    DWORD deviceMode;
};

class TouchManagerModeFault : public ::testing::TestWithParam<ModeFault> {};

TEST_P(TouchManagerModeFault, StopsWithTheFailureAndLeavesTheLastModeSet) {
    const ModeFault& fault = GetParam();
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(2);
    ASSERT_TRUE(rig.Initialize(Family::Current));
    if (fault.viewportFirst) {
        ASSERT_TRUE(rig.Touch().SetViewport(10, 20, 110, 220));
    }
    rig.TakeTraces();
    if (fault.operation) rig.Fail(fault.operation, ERROR_GEN_FAILURE, fault.nth);
    EXPECT_FALSE(rig.Touch().SetBezelTouchMode(2));
    EXPECT_EQ(rig.TakeTouchTraces(), fault.traces);
    EXPECT_EQ(controller.BezelTouchMode(), fault.deviceMode);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TouchManagerModeFault,
    ::testing::Values(ModeFault{"FirstReport",
                                true,
                                "HidD_SetFeature",
                                1,
                                {L"2 Failed to set feature report to HID device: mode=1"},
                                0},
                      ModeFault{"SecondReport",
                                true,
                                "HidD_SetFeature",
                                2,
                                {L"2 Failed to set feature report to HID device: mode=2"},
                                1},
                      ModeFault{"Viewport",
                                true,
                                "WriteFile",
                                1,
                                {L"2 Failed to send output report to HID device.",
                                 L"2 Failed to config viewport dimension."},
                                2},
                      ModeFault{"NoViewportYet",
                                false,
                                nullptr,
                                0,
                                {L"2 Invalid viewport dimension",
                                 L"2 Failed to config viewport dimension."},
                                2}),
    [](const auto& info) { return std::string(info.param.name); });

class TouchManagerInvalidMode : public ::testing::TestWithParam<DWORD> {};

TEST_P(TouchManagerInvalidMode, IsRejectedBeforeAnyReport) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(2);
    ASSERT_TRUE(rig.Initialize(Family::Current));
    rig.TakeReports(controller);
    rig.TakeTraces();
    EXPECT_FALSE(rig.Touch().SetBezelTouchMode(GetParam()));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"2 Invalid bezel touch mode: " +
                                              std::to_wstring(static_cast<int>(GetParam()))));
    EXPECT_THAT(rig.TakeReports(controller), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(OutOfRange, TouchManagerInvalidMode,
                         ::testing::Values(DWORD{0}, DWORD{4}, DWORD{0xFFFFFFFF}));

struct Rectangle {
    const char* name;
    float left, top, right, bottom;
};

class TouchManagerInvalidViewport : public ::testing::TestWithParam<Rectangle> {};

TEST_P(TouchManagerInvalidViewport, IsRejectedBeforeAnyReport) {
    const Rectangle& r = GetParam();
    TouchRig rig;
    SimTouchController& controller = rig.PlugCurrent(2);
    ASSERT_TRUE(rig.Initialize(Family::Current));
    rig.TakeReports(controller);
    rig.TakeTraces();
    EXPECT_FALSE(rig.Touch().SetViewport(r.left, r.top, r.right, r.bottom));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"2 Invalid viewport dimension"));
    EXPECT_THAT(rig.TakeReports(controller), IsEmpty());
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(Rectangles, TouchManagerInvalidViewport,
                         ::testing::Values(Rectangle{"NegativeLeft", -1, 0, 10, 10},
                                           Rectangle{"NegativeTop", 0, -0.5f, 10, 10},
                                           Rectangle{"LeftEqualsRight", 5, 0, 5, 10},
                                           Rectangle{"RightBeforeLeft", 10, 0, 5, 10},
                                           Rectangle{"TopEqualsBottom", 0, 5, 10, 5},
                                           Rectangle{"NaNLeft", kNaN, 0, 10, 10},
                                           Rectangle{"NaNTop", 0, kNaN, 10, 10},
                                           Rectangle{"NaNRight", 0, 0, kNaN, 10},
                                           Rectangle{"NaNBottom", 0, 0, 10, kNaN},
                                           // Version 2 carries 16 bits per coordinate.
                                           Rectangle{"BeyondSixteenBits", 0, 0, 65536, 10},
                                           Rectangle{"InfiniteBottom", 0, 0, 10, kInfinity}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Operation {
    const char* name;
    std::function<bool(TouchManager&)> call;
};

class TouchManagerNotInitialized : public ::testing::TestWithParam<Operation> {};

TEST_P(TouchManagerNotInitialized, RefusesWithTheInitializationTrace) {
    TouchRig rig;
    EXPECT_FALSE(GetParam().call(rig.Touch()));
    EXPECT_THAT(rig.TakeTraces(),
                ElementsAre(L"2 Initialization was incorrect: invalid HID client"));
}

INSTANTIATE_TEST_SUITE_P(
    Operations, TouchManagerNotInitialized,
    ::testing::Values(
        Operation{"SetViewport", [](TouchManager& t) { return t.SetViewport(1, 2, 3, 4); }},
        Operation{"SetViewportLegacy",
                  [](TouchManager& t) { return t.SetViewportLegacy(1, 2, 3, 4); }},
        Operation{"SetBezelTouchMode", [](TouchManager& t) { return t.SetBezelTouchMode(2); }},
        Operation{"GetProperty",
                  [](TouchManager& t) {
                      DWORD value = 0;
                      return t.GetProperty(1, value);
                  }},
        Operation{"SetProperty", [](TouchManager& t) { return t.SetProperty(1, 2); }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Without the controller: the named events ----

class TouchManagerFallback : public ::testing::Test {
protected:
    HANDLE CreateEvent(const wchar_t* name) {
        return rig.Kernel().CreateEventW(nullptr, TRUE, FALSE, name);
    }
    ~TouchManagerFallback() override {
        rig.touch.reset();
        for (HANDLE event : {enable, disable}) {
            if (event) rig.Kernel().CloseHandle(event);
        }
    }

    TouchRig rig;
    HANDLE enable = nullptr;
    HANDLE disable = nullptr;
};

TEST_F(TouchManagerFallback, SignalsTheEventsAndReportsTheModeAsNotApplied) {
    rig.Plug(hid_test::Device(L"keyboard", 0x046D, 0xC31C, 0x01, 0x06, 8));
    enable = CreateEvent(TouchManager::kEnableEventName);
    disable = CreateEvent(TouchManager::kDisableEventName);
    EXPECT_TRUE(rig.Initialize(Family::Current));
    EXPECT_TRUE(rig.Touch().IsInitialized());
    EXPECT_THAT(rig.TakeTouchTraces(), IsEmpty());

    EXPECT_FALSE(rig.Touch().SetBezelTouchMode(1));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"4 Signaled to enable I2C touch on AMB."));
    EXPECT_TRUE(rig.Signaled(enable));
    EXPECT_FALSE(rig.Signaled(disable));

    EXPECT_FALSE(rig.Touch().SetBezelTouchMode(2));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"4 Signaled to disable I2C touch on AMB."));
    EXPECT_TRUE(rig.Signaled(disable));

    rig.Kernel().ResetEvent(enable);
    rig.Kernel().ResetEvent(disable);
    EXPECT_FALSE(rig.Touch().SetBezelTouchMode(3));
    EXPECT_THAT(rig.TakeTraces(), IsEmpty());
    EXPECT_FALSE(rig.Signaled(enable));
    EXPECT_FALSE(rig.Signaled(disable));
}

TEST_F(TouchManagerFallback, HasNoDeviceForViewportsOrProperties) {
    enable = CreateEvent(TouchManager::kEnableEventName);
    disable = CreateEvent(TouchManager::kDisableEventName);
    ASSERT_TRUE(rig.Initialize(Family::Current));
    rig.TakeTraces();
    EXPECT_FALSE(rig.Touch().SetViewport(10, 20, 110, 220));
    EXPECT_FALSE(rig.Touch().SetViewportLegacy(10, 20, 110, 220));
    DWORD value = 0;
    EXPECT_FALSE(rig.Touch().GetProperty(1, value));
    EXPECT_THAT(rig.TakeTraces(),
                ElementsAre(L"2 Failed to send output report to HID device.",
                            L"2 Failed to send output report to HID device.",
                            L"2 Initialization was incorrect: invalid HID client"));
}

TEST_F(TouchManagerFallback, FailsWhileAnEventIsMissingAndSucceedsOnceBothExist) {
    const std::wstring missing = L"2 HRESULT: 0x80070002 @ LINE #### [touch_manager.cpp]";
    EXPECT_FALSE(rig.Initialize(Family::Current));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(missing, missing));
    EXPECT_FALSE(rig.Touch().IsInitialized());

    enable = CreateEvent(TouchManager::kEnableEventName);
    EXPECT_FALSE(rig.Initialize(Family::Current));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(missing));

    const std::size_t handlesWithOneEvent = rig.Kernel().OpenHandleCount();
    disable = CreateEvent(TouchManager::kDisableEventName);
    EXPECT_TRUE(rig.Initialize(Family::Current));
    EXPECT_THAT(rig.TakeTraces(), IsEmpty());
    // The test's second event, and the manager's second: the first it opened again, not twice.
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesWithOneEvent + 2);
}

TEST_F(TouchManagerFallback, IsNotTakenForTheLegacyController) {
    enable = CreateEvent(TouchManager::kEnableEventName);
    disable = CreateEvent(TouchManager::kDisableEventName);
    const std::size_t handles = rig.Kernel().OpenHandleCount();
    EXPECT_FALSE(rig.Initialize(Family::Legacy));
    EXPECT_FALSE(rig.Touch().IsInitialized());
    EXPECT_THAT(rig.TakeTraces(), IsEmpty());
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handles);
}

// ---- Lifetime ----

TEST(TouchManager, DestructionClosesTheDeviceAndTheEvents) {
    TouchRig rig;
    rig.PlugCurrent(2);
    const std::size_t before = rig.Kernel().OpenHandleCount();
    ASSERT_TRUE(rig.Initialize(Family::Current));
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), before + 1);
    rig.touch.reset();
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), before);
}

TEST(TouchManager, TheProcessWideInstanceIsBuiltOnTheWorldsBus) {
    platform::sim::SimWorld world;
    world.GetHid().AddDevice<SimTouchController>(
        Family::Current, 2, SimTouchController::CurrentDescription(2, L"touch"));
    TouchManager* touch = TouchManager::GetInstance();
    ASSERT_NE(touch, nullptr);
    EXPECT_EQ(TouchManager::GetInstance(), touch);
    EXPECT_THAT(HidDeviceList::Instance().Paths(), ElementsAre(L"touch"));
    EXPECT_TRUE(touch->Initialize(false, 0x04F3, 0x200A, kReportId, kPropsReportId, 0));
}

}  // namespace
