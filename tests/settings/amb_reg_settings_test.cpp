#include "settings/amb_reg_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "settings_rig.h"

namespace {

using platform::sim::SimSecurity;
using settings_test::Entry;
using settings_test::IsFailureLine;
using settings_test::kDisplay;
using settings_test::kRoot;
using settings_test::kTouch;
using settings_test::Rig;
using Lines = std::vector<std::wstring>;
using Fields = std::map<std::string, double>;

const HKEY kMachine = HKEY_LOCAL_MACHINE;
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002);

// Every value the getters hand out, by name.
Fields Read(const AmbRegSettings& s) {
    const auto d = [](auto value) { return static_cast<double>(value); };
    return {{"mode", d(s.GetDisplayMode())},
            {"nativeX", d(s.GetDisplayNativeResolutionX())},
            {"nativeY", d(s.GetDisplayNativeResolutionY())},
            {"viewportX", d(s.GetDisplayViewportX())},
            {"viewportY", d(s.GetDisplayViewportY())},
            {"position", d(s.GetPxPositionY())},
            {"steps", d(s.GetDisplayAnimationSteps())},
            {"interval", d(s.GetDisplayAnimationIntervalMilliseconds())},
            {"legacy", d(s.IsLegacy())},
            {"vendor", d(s.GetTouchVendorId())},
            {"product", d(s.GetTouchProductId())},
            {"reportId", d(s.GetTouchReportId())},
            {"propsReportId", d(s.GetTouchPropsReportId())},
            {"inputMethod", d(s.GetTouchInputMethod())},
            {"left", d(s.GetTouchViewportLeft())},
            {"top", d(s.GetTouchViewportTop())},
            {"right", d(s.GetTouchViewportRight())},
            {"bottom", d(s.GetTouchViewportBottom())}};
}

// How each field's default is announced.
const std::map<std::string, std::wstring> kWarningOf{
    {"mode", L"Default DisplayMode"},
    {"nativeX", L"Default DisplayNativeResolutionX"},
    {"nativeY", L"Default DisplayNativeResolutionY"},
    {"viewportX", L"Default DisplayViewportX"},
    {"viewportY", L"Default DisplayViewportY"},
    {"position", L"Default PxPositionY"},
    {"steps", L"Default DisplayAnimationSteps"},
    {"interval", L"Default DisplayAnimationIntervalMilliseconds"},
    {"legacy", L"Default IsLegacy"},
    {"vendor", L"Default TouchVendorId"},
    {"product", L"Default TouchProductId"},
    {"reportId", L"Default _touchReportID"},
    {"propsReportId", L"Default _touchPropsReportID"},
    {"inputMethod", L"Default _touchInputMethod"},
    {"left", L"Default TouchViewportLeft"},
    {"top", L"Default TouchViewportTop"},
    {"right", L"Default TouchViewportRight"},
    {"bottom", L"Default TouchViewportBottom"}};

struct SettingsRig : Rig {
    AmbRegSettings settings{registry, Kernel(), security, kMachine};
};

TEST(AmbRegSettings, HoldsZerosAndTheReportIdsUntilTheFirstRead) {
    SettingsRig rig;
    Fields expected = Read(rig.settings);
    for (auto& field : expected) field.second = 0;
    expected["reportId"] = 6;
    expected["propsReportId"] = 5;
    EXPECT_EQ(Read(rig.settings), expected);
}

TEST(AmbRegSettings, NoConfigurationGivesEveryDefaultWithItsWarning) {
    SettingsRig rig;
    rig.settings.ReadSettings();
    EXPECT_EQ(Read(rig.settings), (Fields{{"mode", 1},
                                          {"nativeX", 1920},
                                          {"nativeY", 1080},
                                          {"viewportX", 30},
                                          {"viewportY", 30},
                                          {"position", 90},
                                          {"steps", 15},
                                          {"interval", 0},
                                          {"legacy", 0},
                                          {"vendor", 0x04F3},
                                          {"product", 0x200A},
                                          {"reportId", 6},
                                          {"propsReportId", 5},
                                          {"inputMethod", 0},
                                          {"left", 132},
                                          {"top", 150},
                                          {"right", 2988},
                                          {"bottom", 1776}}));
    EXPECT_EQ(
        rig.Lines(TRACE_LEVEL_WARNING),
        (Lines{L"Default DisplayNativeResolutionX = 1920 used",
               L"Default DisplayNativeResolutionY = 1080 used",
               L"Default DisplayAnimationSteps = 15 used", L"Default DisplayMode = 1 used",
               L"Default DisplayViewportX = 30 used", L"Default DisplayViewportY = 30 used",
               L"Default PxPositionY = 90 used", L"Default TouchVendorId = 0x04f3 used",
               L"Default TouchProductId = 0x200a used", L"Default _touchReportID = 0x06 used",
               L"Default _touchPropsReportID = 0x05 used", L"Default _touchInputMethod = 0x00 used",
               L"Default TouchViewportLeft = 132.000000 used",
               L"Default TouchViewportTop = 150.000000 used",
               L"Default TouchViewportRight = 2988.000000 used",
               L"Default TouchViewportBottom = 1776.000000 used"}));
}

// One value judged: what is stored, the field that results, and the default its warning names
// (null: no warning about that field).
struct ValueCase {
    const char* label;
    std::vector<Entry> stored;
    const char* field;
    double expected;
    const wchar_t* warned;
};
void PrintTo(const ValueCase& c, std::ostream* out) { *out << c.label; }

class ValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(ValueTest, IsTakenOrReplacedByItsDefault) {
    const ValueCase& c = GetParam();
    SettingsRig rig;
    rig.Store(c.stored);
    rig.settings.ReadSettings();
    EXPECT_EQ(Read(rig.settings).at(c.field), c.expected);
    const std::wstring about = kWarningOf.at(c.field);
    EXPECT_EQ(rig.LinesStarting(TRACE_LEVEL_WARNING, about + L" "),
              c.warned ? Lines{about + L" = " + c.warned + L" used"} : Lines{});
}

constexpr Entry D(const wchar_t* name, DWORD value, DWORD type = REG_DWORD) {
    return {kDisplay, name, value, type};
}
constexpr Entry T(const wchar_t* name, DWORD value, DWORD type = REG_DWORD) {
    return {kTouch, name, value, type};
}
constexpr Entry kPixels = D(L"Mode", 2);
constexpr Entry kLegacy = T(L"IsLegacy", 1);
// The string "5" in 2-byte characters with its terminator: the bytes 35 00 00 00.
constexpr DWORD kFive = 0x35;
constexpr const wchar_t* kPosition = L"ViewPort_YPosition_Px";

// Percentage mode bounds the Y position by trunc((1 - v/100) * 0.11999999731779099 * h): 90 for
// the default 30, 64 for 50, 95 for the legacy 26 (h = 1080). Pixel mode by h - v.
INSTANTIATE_TEST_SUITE_P(
    Display, ValueTest,
    testing::Values(
        ValueCase{"LegacyOfAnotherType", {T(L"IsLegacy", 1, REG_BINARY)}, "legacy", 0, nullptr},
        ValueCase{"NativeXLowest", {D(L"NativeResolution_X", 1)}, "nativeX", 1, nullptr},
        ValueCase{"NativeXHighest", {D(L"NativeResolution_X", 7680)}, "nativeX", 7680, nullptr},
        ValueCase{"NativeXTooHigh", {D(L"NativeResolution_X", 7681)}, "nativeX", 1920, L"1920"},
        ValueCase{
            "NativeXString", {D(L"NativeResolution_X", kFive, REG_SZ)}, "nativeX", 1920, L"1920"},
        ValueCase{"NativeYHighest", {D(L"NativeResolution_Y", 4320)}, "nativeY", 4320, nullptr},
        ValueCase{"NativeYTooHigh", {D(L"NativeResolution_Y", 4321)}, "nativeY", 1080, L"1080"},
        ValueCase{"StepsHighest", {D(L"AnimationSteps", 50)}, "steps", 50, nullptr},
        ValueCase{"StepsTooHigh", {D(L"AnimationSteps", 51)}, "steps", 15, L"15"},
        ValueCase{"StepsZero", {D(L"AnimationSteps", 0)}, "steps", 15, L"15"},
        ValueCase{"IntervalMissing", {}, "interval", 0, nullptr},
        ValueCase{"IntervalHighest",
                  {D(L"AnimationIntervalMilliseconds", 100)},
                  "interval",
                  100,
                  nullptr},
        ValueCase{
            "IntervalTooHigh", {D(L"AnimationIntervalMilliseconds", 101)}, "interval", 5, L"5"},
        ValueCase{"IntervalString",
                  {D(L"AnimationIntervalMilliseconds", kFive, REG_SZ)},
                  "interval",
                  0,
                  nullptr},
        ValueCase{"ModePixels", {kPixels}, "mode", 2, nullptr},
        ValueCase{"ModeOneStored", {D(L"Mode", 1)}, "mode", 1, L"1"},
        ValueCase{"ModeUnknown", {D(L"Mode", 3)}, "mode", 1, L"1"},
        ValueCase{"ModeBinary", {D(L"Mode", 2, REG_BINARY)}, "mode", 1, L"1"},
        ValueCase{"ViewportXHighest", {D(L"ViewPort_X", 100)}, "viewportX", 100, nullptr},
        ValueCase{"ViewportXTooHigh", {D(L"ViewPort_X", 101)}, "viewportX", 30, L"30"},
        ValueCase{"ViewportXLegacy", {kLegacy}, "viewportX", 26, L"26"},
        ValueCase{"ViewportYTooHigh", {D(L"ViewPort_Y", 101)}, "viewportY", 30, L"30"},
        ValueCase{"ViewportYLegacy", {kLegacy}, "viewportY", 26, L"26"},
        ValueCase{"PixelViewportX", {kPixels}, "viewportX", 1740, L"1740"},
        ValueCase{
            "PixelViewportXNative", {kPixels, D(L"ViewPort_X", 1920)}, "viewportX", 1920, nullptr},
        ValueCase{
            "PixelViewportXBeyond", {kPixels, D(L"ViewPort_X", 1921)}, "viewportX", 1740, L"1740"},
        ValueCase{"PixelViewportXBoundRead",
                  {kPixels, D(L"NativeResolution_X", 2560), D(L"ViewPort_X", 2500)},
                  "viewportX",
                  2500,
                  nullptr},
        ValueCase{
            "PixelViewportYBeyond", {kPixels, D(L"ViewPort_Y", 1081)}, "viewportY", 980, L"980"},
        ValueCase{"PositionAtTheBound", {D(kPosition, 90)}, "position", 90, nullptr},
        ValueCase{"PositionLowest", {D(kPosition, 1)}, "position", 1, nullptr},
        ValueCase{"PositionBeyond", {D(kPosition, 91)}, "position", 90, L"90"},
        ValueCase{"PositionFarBeyond", {D(kPosition, 200)}, "position", 90, L"90"},
        ValueCase{"PositionString", {D(kPosition, kFive, REG_SZ)}, "position", 90, L"90"},
        // The default is clipped to the bound without a further message.
        ValueCase{"PositionClipped", {D(L"ViewPort_Y", 50)}, "position", 64, L"90"},
        ValueCase{
            "PositionHalfBound", {D(L"ViewPort_Y", 50), D(kPosition, 64)}, "position", 64, nullptr},
        ValueCase{
            "PositionHalfBeyond", {D(L"ViewPort_Y", 50), D(kPosition, 65)}, "position", 64, L"90"},
        ValueCase{"PositionLegacyBound", {kLegacy, D(kPosition, 95)}, "position", 95, nullptr},
        ValueCase{"PositionLegacy", {kLegacy, D(kPosition, 96)}, "position", 80, L"80"},
        ValueCase{"PixelPosition", {kPixels}, "position", 90, L"90"},
        ValueCase{"PixelPositionBound", {kPixels, D(kPosition, 100)}, "position", 100, nullptr},
        ValueCase{"PixelPositionBeyond", {kPixels, D(kPosition, 101)}, "position", 90, L"90"},
        // The default viewport (980) is taller than the screen: no room below it.
        ValueCase{"PixelPositionNoRoom",
                  {kPixels, D(L"NativeResolution_Y", 720), D(kPosition, 500)},
                  "position",
                  0,
                  L"90"}),
    [](const auto& info) { return std::string(info.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Touch, ValueTest,
    testing::Values(
        ValueCase{"Vendor", {T(L"VID", 0x12345)}, "vendor", 0x2345, nullptr},
        ValueCase{"VendorZero", {T(L"VID", 0)}, "vendor", 0x04F3, L"0x04f3"},
        ValueCase{"VendorLow16Zero", {T(L"VID", 0x10000)}, "vendor", 0x04F3, L"0x04f3"},
        ValueCase{"VendorBinary", {T(L"VID", 0x1234, REG_BINARY)}, "vendor", 0x04F3, L"0x04f3"},
        ValueCase{"VendorLegacy", {kLegacy}, "vendor", 0x03EB, L"0x03eb"},
        ValueCase{"Product", {T(L"PID", 0x1ABCD)}, "product", 0xABCD, nullptr},
        ValueCase{"ProductLow16Zero", {T(L"PID", 0x20000)}, "product", 0x200A, L"0x200a"},
        ValueCase{"ProductLegacy", {kLegacy}, "product", 0x212A, L"0x212a"},
        ValueCase{"ReportId", {T(L"AMB_HidReportId", 0x107)}, "reportId", 7, nullptr},
        ValueCase{"ReportIdLow8Zero", {T(L"AMB_HidReportId", 0x100)}, "reportId", 6, L"0x06"},
        ValueCase{"PropsReportId", {T(L"AMBProps_HidReportId", 9)}, "propsReportId", 9, nullptr},
        ValueCase{
            "PropsReportIdZero", {T(L"AMBProps_HidReportId", 0)}, "propsReportId", 5, L"0x05"},
        ValueCase{"InputMethod", {T(L"AMBInputMethod", 2)}, "inputMethod", 2, nullptr},
        ValueCase{"LeftHighest", {T(L"ViewPort_Left", 9998999)}, "left", 9998.999f, nullptr},
        ValueCase{"LeftLowest", {T(L"ViewPort_Left", 1)}, "left", 0.001f, nullptr},
        ValueCase{"LeftTooHigh", {T(L"ViewPort_Left", 9999000)}, "left", 132, L"132.000000"},
        ValueCase{"LeftLegacy", {kLegacy}, "left", 100, L"100.000000"},
        ValueCase{"TopLegacy", {kLegacy}, "top", 192, L"192.000000"},
        ValueCase{"RightLegacy", {kLegacy}, "right", 100, L"100.000000"},
        ValueCase{"BottomLegacy", {kLegacy}, "bottom", 55, L"55.000000"},
        ValueCase{"Bottom", {T(L"ViewPort_Bottom", 1776500)}, "bottom", 1776.5, nullptr}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(AmbRegSettings, ARejectedReportIdKeepsTheLastOneAccepted) {
    SettingsRig rig;
    rig.Store({T(L"AMB_HidReportId", 7), T(L"AMBInputMethod", 3), T(L"VID", 0x1111)});
    rig.settings.ReadSettings();
    rig.registry.DeleteValue(kMachine, kTouch, L"AMB_HidReportId");
    rig.registry.DeleteValue(kMachine, kTouch, L"VID");
    rig.Store(T(L"AMBInputMethod", 0));
    rig.world.GetTracing().Clear();
    rig.settings.ReadSettings();
    EXPECT_EQ(rig.settings.GetTouchReportId(), 7);
    EXPECT_EQ(rig.settings.GetTouchInputMethod(), 3);
    EXPECT_EQ(rig.settings.GetTouchVendorId(), 0x04F3);  // the ids start afresh
    EXPECT_EQ(
        rig.LinesStarting(TRACE_LEVEL_WARNING, L"Default _touch"),
        (Lines{L"Default _touchReportID = 0x07 used", L"Default _touchPropsReportID = 0x05 used",
               L"Default _touchInputMethod = 0x03 used"}));
}

TEST(AmbRegSettings, AFailedReadIsLoggedAndItsDefaultUsed) {
    SettingsRig rig;
    rig.Store({T(L"VID", 0x1234), D(L"NativeResolution_X", 1280)});
    // Each value opens its key: the display half reads IsLegacy, NativeResolution_X and seven
    // more, the touch half IsLegacy, then VID.
    rig.Fail("RegQueryValueExW", ERROR_CANTREAD, 2);
    rig.Fail("RegOpenKeyExW", ERROR_ACCESS_DENIED, 11);
    rig.settings.ReadSettings();
    EXPECT_EQ(rig.settings.GetDisplayNativeResolutionX(), 1920u);
    EXPECT_EQ(rig.settings.GetTouchVendorId(), 0x04F3);
    const Lines errors = rig.Lines(TRACE_LEVEL_ERROR);
    for (const HRESULT hr : {static_cast<HRESULT>(0x800703F4), static_cast<HRESULT>(0x80070005)}) {
        EXPECT_EQ(
            std::count_if(errors.begin(), errors.end(),
                          [hr](auto& line) { return IsFailureLine(line, hr, L"registry.cpp"); }),
            1);
    }
    EXPECT_EQ(rig.LinesStarting(TRACE_LEVEL_WARNING, L"Default TouchVendorId"),
              Lines{L"Default TouchVendorId = 0x04f3 used"});
}

TEST(AmbRegSettings, AGetterWaitsForAReadHalfThatHoldsTheLock) {
    SettingsRig rig;
    // The half's first line cannot be written at once: the logger sleeps a millisecond, with the
    // settings lock held, and tries again.
    rig.world.GetTracing().FailEventWriteString({ERROR_NOT_ENOUGH_MEMORY});
    platform::Thread reader(rig.Kernel(), [&] { rig.settings.ReadDisplaySettings(); });
    rig.world.RunUntilIdle();
    DWORD seen = 0;
    bool returned = false;
    platform::Thread getter(rig.Kernel(), [&] {
        seen = rig.settings.GetPxPositionY();
        returned = true;
    });
    rig.world.RunUntilIdle();
    EXPECT_FALSE(returned);
    rig.world.Advance(1);
    reader.join();
    getter.join();
    EXPECT_EQ(seen, 90u);  // not the 0 the field held while the half ran
}

// Records each reload, with what it saw on the watch thread. The first reload can be held at the
// gate once its reads are done, standing for a long reload.
class WatchedSettings : public AmbRegSettings {
public:
    struct Reload {
        std::thread::id thread;
        USHORT vendor;
        std::vector<SimSecurity::Privilege> privileges;
    };

    explicit WatchedSettings(Rig& rig)
        : AmbRegSettings(rig.registry, rig.Kernel(), rig.security, kMachine),
          gate(rig.Kernel().CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          _rig(rig) {}
    ~WatchedSettings() { _rig.Kernel().CloseHandle(gate); }

    void ReadSettings() override {
        AmbRegSettings::ReadSettings();
        reloads.push_back(
            {std::this_thread::get_id(), GetTouchVendorId(), _rig.security.EffectivePrivileges()});
        if (holdFirstReload && reloads.size() == 1) {
            _rig.Kernel().WaitForMultipleObjects(1, &gate, FALSE, INFINITE);
        }
        if (throwOnReload) throw std::runtime_error("reload failed");
    }

    bool holdFirstReload = false;  // set before the watch starts
    bool throwOnReload = false;
    HANDLE gate;
    std::vector<Reload> reloads;

private:
    Rig& _rig;
};

struct WatchRig : Rig {
    WatchRig() { Store({{kRoot, L"MonitorSettings", 1}, T(L"VID", 0x1111)}); }
    ~WatchRig() { settings.StopMonitoring(); }

    void SetVendor(DWORD vendor) { registry.SetDword(kMachine, kTouch, L"VID", vendor); }
    std::size_t Changes() {
        return LinesStarting(TRACE_LEVEL_INFORMATION, L"Change(s) detected in registry settings!")
            .size();
    }
    void StartAndReloadOnce() {
        settings.StartMonitoring();
        world.RunUntilIdle();
        SetVendor(0x2222);
        world.RunUntilIdle();
        ASSERT_EQ(settings.reloads.size(), 1u);
    }

    WatchedSettings settings{*this};
};

TEST(AmbRegSettingsWatch, EachChangeUnderTheRootReloadsOnTheWatchThreadWithFewPrivileges) {
    WatchRig rig;
    rig.settings.StartMonitoring();
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.registry.PendingNotifyCount(), 1u);
    EXPECT_TRUE(rig.settings.reloads.empty());
    rig.SetVendor(0x2222);
    rig.world.RunUntilIdle();
    ASSERT_EQ(rig.settings.reloads.size(), 1u);
    const auto& reload = rig.settings.reloads[0];
    EXPECT_NE(reload.thread, std::this_thread::get_id());
    EXPECT_EQ(reload.vendor, 0x2222);
    for (const auto& privilege : reload.privileges) {
        EXPECT_EQ((privilege.attributes & SE_PRIVILEGE_ENABLED) != 0,
                  privilege.name == L"SeChangeNotifyPrivilege");
    }
    // The change is traced first, then the reload's lines.
    EXPECT_EQ(rig.world.GetTracing().Events().at(0).text,
              L"Change(s) detected in registry settings!");
    rig.SetVendor(0x3333);
    rig.world.RunUntilIdle();
    ASSERT_EQ(rig.settings.reloads.size(), 2u);
    EXPECT_EQ(rig.settings.reloads[1].vendor, 0x3333);
    EXPECT_EQ(rig.Changes(), 2u);
}

TEST(AmbRegSettingsWatch, ExceptionFromAReloadEndsTheWatchOnlyAndIsLogged) {
    WatchRig rig;
    rig.settings.throwOnReload = true;
    rig.StartAndReloadOnce();
    EXPECT_EQ(
        rig.Lines(TRACE_LEVEL_CRITICAL),
        std::vector<std::wstring>{L"Settings watch thread ended by an exception: reload failed"});
    rig.SetVendor(0x3333);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.settings.reloads.size(), 1u);
    rig.settings.StopMonitoring();
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(rig.registry.PendingNotifyCount(), 0u);
}

TEST(AmbRegSettingsWatch, AChangeDuringAReloadIsNotLost) {
    WatchRig rig;
    rig.settings.holdFirstReload = true;
    rig.StartAndReloadOnce();
    rig.SetVendor(0x3333);  // after the held reload's reads
    rig.Kernel().SetEvent(rig.settings.gate);
    rig.world.RunUntilIdle();
    ASSERT_EQ(rig.settings.reloads.size(), 2u);
    EXPECT_EQ(rig.settings.GetTouchVendorId(), 0x3333);
    EXPECT_EQ(rig.Changes(), 2u);
}

TEST(AmbRegSettingsWatch, StopEndsAWaitingWatchAndReleasesEverything) {
    WatchRig rig;
    rig.settings.StartMonitoring();
    rig.world.RunUntilIdle();
    rig.settings.StopMonitoring();
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(rig.registry.PendingNotifyCount(), 0u);
    rig.SetVendor(0x2222);
    rig.world.RunUntilIdle();
    EXPECT_TRUE(rig.settings.reloads.empty());
    EXPECT_EQ(rig.Changes(), 0u);
    EXPECT_TRUE(rig.Lines(TRACE_LEVEL_ERROR).empty());
}

TEST(AmbRegSettingsWatch, StopBeforeTheWatchHasRunEndsIt) {
    WatchRig rig;
    rig.settings.StartMonitoring();
    rig.settings.StopMonitoring();
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(rig.registry.PendingNotifyCount(), 0u);
}

TEST(AmbRegSettingsWatch, StopDuringAReloadEndsTheWatchAfterItThoughAChangeIsPending) {
    WatchRig rig;
    rig.settings.holdFirstReload = true;
    rig.StartAndReloadOnce();
    bool stopped = false;
    platform::Thread stopper(rig.Kernel(), [&] {
        rig.settings.StopMonitoring();
        stopped = true;
    });
    rig.world.RunUntilIdle();
    EXPECT_FALSE(stopped);  // waits for the reload to finish
    rig.SetVendor(0x3333);
    rig.Kernel().SetEvent(rig.settings.gate);
    stopper.join();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(rig.settings.reloads.size(), 1u);
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
}

TEST(AmbRegSettingsWatch, StartsAgainAfterAStopAndOnlyOnce) {
    WatchRig rig;
    rig.settings.StartMonitoring();
    rig.settings.StopMonitoring();
    rig.settings.StartMonitoring();
    rig.settings.StartMonitoring();
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.registry.PendingNotifyCount(), 1u);
    rig.SetVendor(0x2222);
    rig.world.RunUntilIdle();
    EXPECT_EQ(rig.Changes(), 1u);
}

TEST(AmbRegSettingsWatch, AMissingRootEndsTheWatchWithTheFailureLogged) {
    WatchRig rig;
    rig.registry.DeleteTree(kMachine, kRoot);
    rig.settings.StartMonitoring();
    rig.world.RunUntilIdle();
    // Where the wait found it, and where the watch gave up.
    const Lines errors = rig.Lines(TRACE_LEVEL_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(IsFailureLine(errors[0], kNotFound, L"registry.cpp"));
    EXPECT_TRUE(IsFailureLine(errors[1], kNotFound, L"amb_reg_settings.cpp"));
    rig.SetVendor(0x2222);  // the root is back, but nobody watches
    rig.world.RunUntilIdle();
    EXPECT_TRUE(rig.settings.reloads.empty());
}

}  // namespace
