// The touch manager against the simulated controllers: which reports reach the device, in which
// order, what a failure stops, and the named events when the controller is absent. The reports'
// bytes are touch_protocol_test's; the traces are the golden timelines'.
#include "devices/touch_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "contract.h"
#include "hid_rig.h"

namespace {

// A table's case shows as its name.
template <class Case>
requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

using namespace hid_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

HidReport Feature(Bytes bytes) {
    bytes.resize(12);  // the controller's feature report length
    return {HidReport::Kind::SetFeature, std::move(bytes)};
}
HidReport Select(BYTE key) { return Feature({5, 0xFF, 0xFF, key, 0xFF, 0xFF, 0xFF, 0xFF}); }
HidReport Read(BYTE key) {
    return {HidReport::Kind::GetFeature, {5, 0, 0, key, 0, 0, 0, 0, 0, 0, 0, 0}};
}
HidReport Mode(BYTE mode) { return Feature({6, 0xFF, 0xFF, mode}); }

struct TouchRig : HidRig {
    TouchManager& Touch() {
        if (!touch) {
            devices = std::make_unique<HidDeviceList>(Hid(), Kernel());
            touch = std::make_unique<TouchManager>(Hid(), Kernel(), *devices);
        }
        return *touch;
    }
    bool Initialize(bool legacy) {
        return legacy ? Touch().Initialize(true, 0x03EB, 0x212A, 6, 5, 0)
                      : Touch().Initialize(false, 0x04F3, 0x200A, 6, 5, 0);
    }
    HANDLE Event(const wchar_t* name) { return Kernel().CreateEventW(nullptr, TRUE, FALSE, name); }
    bool Signaled(HANDLE event) {
        return Kernel().WaitForMultipleObjects(1, &event, FALSE, 0) == WAIT_OBJECT_0;
    }
    std::unique_ptr<HidDeviceList> devices;
    std::unique_ptr<TouchManager> touch;
};

// The protocol version: the input report length says 2 or 1 until property 1 answers; a
// property that cannot be read leaves initialisation successful, a version other than 1 or 2
// fails it and leaves the controller open with nothing to send.
struct VersionCase {
    const char* name;
    USHORT deviceVersion;
    std::optional<DWORD> version;  // property 1's value; none: refused
    bool misframed;                // property 1 answered with another report id
    BYTE missing;                  // another property refused
    int format;                    // of the viewport: 1 floats, 2 whole numbers, 0 none
};

class TouchManagerVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(TouchManagerVersion, DecidesTheViewportFormat) {
    const VersionCase& c = GetParam();
    TouchRig rig;
    SimTouchController& controller = rig.PlugTouch(false, c.deviceVersion);
    controller.SetProperty(1, c.version.value_or(0));
    if (!c.version) controller.RemoveProperty(1);
    if (c.misframed) controller.SetPropertyResponse(1, {7, 0xFF, 0xFF, 1, 1});
    if (c.missing) controller.RemoveProperty(c.missing);
    EXPECT_EQ(rig.Initialize(false), c.format != 0);
    EXPECT_TRUE(rig.Touch().IsInitialized());
    std::vector<HidReport> reads = {Select(1), Read(1), Select(2), Read(2), Select(3), Read(3)};
    reads.resize(c.format ? 6 : 2);
    EXPECT_EQ(rig.TakeReports(controller), reads);
    EXPECT_EQ(rig.Touch().SetViewport(10, 20, 110, 220), c.format != 0);
    // The report id, the security number and the first coordinate.
    const Bytes formats[] = {Bytes(7, 0),
                             {6, 0xFF, 0xFF, 0x00, 0x00, 0x20, 0x41},
                             {6, 0xFF, 0xFF, 0x0A, 0x00, 0x00, 0x00}};
    Bytes viewport = controller.Viewport();
    viewport.resize(7);
    EXPECT_EQ(viewport, formats[c.format]);
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, TouchManagerVersion,
    ::testing::Values(VersionCase{"Input20KeepsVersion2", 2, std::nullopt, false, 0, 2},
                      VersionCase{"OtherInputKeepsVersion1", 1, std::nullopt, false, 0, 1},
                      VersionCase{"PropertySaysVersion1", 2, 1, false, 0, 1},
                      VersionCase{"PropertySaysVersion2", 2, 0xABCD0002, false, 0, 2},
                      VersionCase{"MisframedAnswerIsNotTaken", 2, 1, true, 0, 2},
                      VersionCase{"PanelSizeMissing", 2, 2, false, 2, 2},
                      VersionCase{"PalmReportMissing", 1, 1, false, 3, 1},
                      VersionCase{"Version3IsNotSupported", 1, 3, false, 0, 0}),
    kByName);

TEST(TouchManager, InitializesOnceKeepsTheFirstSettingsAndClosesTheDeviceAtTheEnd) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugTouch(false, 2);
    const std::size_t handles = rig.Kernel().OpenHandleCount();
    ASSERT_TRUE(rig.Initialize(false));
    rig.TakeReports(controller);
    EXPECT_TRUE(rig.Touch().Initialize(true, 0x03EB, 0x212A, 9, 8, 1));
    EXPECT_TRUE(rig.Touch().SetBezelTouchMode(contract::kTouchInFrameEnabled));
    EXPECT_THAT(rig.TakeReports(controller), ElementsAre(Mode(1)));
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handles + 1);
    rig.touch.reset();
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handles);
}

// The viewport sent again is the last one that reached the controller; one refused, not
// encodable or not taken is neither sent nor remembered.
TEST(TouchManager, Mode3IsSentAfterMode1AndResendsTheLastViewport) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugTouch(false, 2);
    ASSERT_TRUE(rig.Initialize(false));
    ASSERT_TRUE(rig.Touch().SetViewport(10, 20, 110, 220));
    const HidReport viewport = rig.TakeReports(controller).back();
    EXPECT_FALSE(rig.Touch().SetViewport(5, 0, 5, 10));
    EXPECT_FALSE(rig.Touch().SetViewport(0, 0, 70000, 5));
    rig.Fail("WriteFile", ERROR_GEN_FAILURE);
    EXPECT_FALSE(rig.Touch().SetViewport(1, 2, 3, 4));
    EXPECT_TRUE(rig.Touch().SetBezelTouchMode(3));
    EXPECT_THAT(rig.TakeReports(controller), ElementsAre(Mode(1), Mode(3), viewport));
    EXPECT_EQ(controller.BezelTouchMode(), 3u);
}

TEST(TouchManager, TheLegacyControllersFirstViewportIsZero) {
    TouchRig rig;
    SimTouchController& controller = rig.PlugTouch(true);
    ASSERT_TRUE(rig.Initialize(true));
    ASSERT_TRUE(rig.Touch().SetBezelTouchMode(contract::kTouchInFrameDisabled));
    EXPECT_EQ(controller.Viewport(), Bytes({6, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// A mode change, after a viewport (or none), stops at the first step that fails; the controller
// keeps the last mode it took. A mode out of range sends nothing.
struct ModeFault {
    const char* name;
    DWORD mode;
    bool viewportFirst;
    const char* operation;
    unsigned nth;
    std::size_t reports;
    DWORD deviceMode;
};

class TouchManagerModeFault : public ::testing::TestWithParam<ModeFault> {};

TEST_P(TouchManagerModeFault, StopsAtTheFailure) {
    const ModeFault& fault = GetParam();
    TouchRig rig;
    SimTouchController& controller = rig.PlugTouch(false, 2);
    ASSERT_TRUE(rig.Initialize(false));
    if (fault.viewportFirst) {
        ASSERT_TRUE(rig.Touch().SetViewport(10, 20, 110, 220));
    }
    rig.TakeReports(controller);
    if (fault.operation) rig.Fail(fault.operation, ERROR_GEN_FAILURE, fault.nth);
    EXPECT_FALSE(rig.Touch().SetBezelTouchMode(fault.mode));
    EXPECT_EQ(rig.TakeReports(controller).size(), fault.reports);
    EXPECT_EQ(controller.BezelTouchMode(), fault.deviceMode);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, TouchManagerModeFault,
    ::testing::Values(ModeFault{"FirstReport", 2, true, "HidD_SetFeature", 1, 0, 0},
                      ModeFault{"SecondReport", 2, true, "HidD_SetFeature", 2, 1, 1},
                      ModeFault{"Viewport", 2, true, "WriteFile", 1, 2, 2},
                      ModeFault{"NoViewportYet", 2, false, nullptr, 0, 2, 2},
                      ModeFault{"Mode0", 0, true, nullptr, 0, 0, 0},
                      ModeFault{"Mode4", 4, true, nullptr, 0, 0, 0}),
    kByName);

// Without the controller: the named events, each opened once, and closed with the manager. The
// legacy controller has no such stand-in.
TEST(TouchManager, FallsBackToTheNamedEventsOnceBothExist) {
    TouchRig rig;
    const std::size_t handles = rig.Kernel().OpenHandleCount();
    EXPECT_FALSE(rig.Initialize(false));
    const HANDLE enable = rig.Event(contract::kTouchEnableEventName);
    EXPECT_FALSE(rig.Initialize(false));
    EXPECT_FALSE(rig.Touch().IsInitialized());
    const HANDLE disable = rig.Event(contract::kTouchDisableEventName);
    TouchManager legacy(rig.Hid(), rig.Kernel(), *rig.devices);
    EXPECT_FALSE(legacy.Initialize(true, 0x03EB, 0x212A, 6, 5, 0));
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handles + 3);  // the test's two, the manager's first
    EXPECT_TRUE(rig.Initialize(false));
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handles + 4);
    EXPECT_FALSE(rig.Touch().SetBezelTouchMode(3));
    EXPECT_FALSE(rig.Signaled(enable) || rig.Signaled(disable));
    EXPECT_FALSE(rig.Touch().SetViewport(10, 20, 110, 220));
    rig.touch.reset();
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handles + 2);
    for (HANDLE event : {enable, disable}) rig.Kernel().CloseHandle(event);
}

}  // namespace
