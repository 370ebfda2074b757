#include "core/vb_controller.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"

using platform::sim::SimWorld;

namespace {

// A step of a test: a system event, or a change of the dock metric before the next one.
struct Step {
    SystemEventType type;
    std::vector<unsigned char> data = {};
    int dockedMetric = -1;  // -1 leaves the metric as it is
};

struct ControllerCase {
    const char* name;
    int slateMetric;  // 0: slate mode
    int dockedMetric;
    std::vector<Step> steps;
    const char* state;
    std::vector<std::wstring> lines;  // the controller's own lines, in order
};

bool IsControllerLine(const std::wstring& text) {
    for (const wchar_t* prefix : {L"System ", L"Virtual Bezel", L"Graphics mode", L"Ambrel "}) {
        if (text.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

std::vector<std::wstring> ControllerLines(SimWorld& world) {
    std::vector<std::wstring> lines;
    for (const auto& event : world.GetTracing().Events()) {
        if (IsControllerLine(event.text)) lines.push_back(event.text);
    }
    return lines;
}

class VbControllerTest : public testing::TestWithParam<ControllerCase> {};

TEST_P(VbControllerTest, RaisesTheEventsOfTheTableAndLogsThem) {
    const ControllerCase& c = GetParam();
    SimWorld world;
    world.GetWindowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, c.slateMetric);
    world.GetWindowing().SetSystemMetric(SM_SYSTEMDOCKED, c.dockedMetric);
    VbController* controller = VbController::GetInstance(nullptr);
    controller->Initialize();
    for (const Step& step : c.steps) {
        if (step.dockedMetric >= 0) {
            world.GetWindowing().SetSystemMetric(SM_SYSTEMDOCKED, step.dockedMetric);
        }
        controller->OnSystemEvent(step.type, step.data.empty() ? nullptr : step.data.data(),
                                  step.data.size());
    }
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), c.state);
    EXPECT_EQ(ControllerLines(world), c.lines);
    controller->Uninitialize();
}

const std::wstring kClamshell = L"System is currently in CLASMSHELL mode.";
const std::wstring kTablet = L"System is currently in TABLET mode.";
const std::wstring kDocked = L"System is currently in DOCKED.";
const std::wstring kUndocked = L"System is currently in UNDOCKED.";

INSTANTIATE_TEST_SUITE_P(
    Events, VbControllerTest,
    testing::Values(
        ControllerCase{
            "TabletDockedStartShowsTheFrame", 0, 1, {}, "DetachedHasAMB", {kTablet, kDocked}},
        ControllerCase{"ClamshellStartHidesIt", 1, 1, {}, "AttachedNoAMB", {kClamshell, kDocked}},
        ControllerCase{"UnlockInDetachedIsRejected",
                       0,
                       0,
                       {{EvtUnlocked}},
                       "DetachedHasAMB",
                       {kTablet, kUndocked, L"System is in UNLOCKED.",
                        L"System event Unlocked not handled in DetachedHasAMB state."}},
        ControllerCase{
            "ModeNotificationsChangeOnlyTheLog",
            1,
            1,
            {{EvtClamshellMode}, {EvtTabletMode}},
            "AttachedNoAMB",
            {kClamshell, kDocked, L"System is in CLAMSHELL mode.", L"System is in TABLET mode."}},
        ControllerCase{"DisplayOnWhileAttachedIsRejectedByDockState",
                       1,
                       1,
                       {{EvtDisplayOn}},
                       "AttachedNoAMB",
                       {kClamshell, kDocked, L"System monitor display turned on.",
                        L"System event DockedResume not handled in AttachedNoAMB state."}},
        ControllerCase{
            "SuspendTwiceThenResumeUndocked",
            0,
            0,
            {{EvtDisplayOff}, {EvtSuspend}, {EvtResume}, {EvtDisplayOn}},
            "DetachedHasAMB",
            {kTablet, kUndocked, L"System monitor display turned off.",
             L"System is being SUSPENDED.", L"System event Suspend not handled in OffHasAMB state.",
             L"System is being RESUMED.", L"System monitor display turned on.",
             L"System event UndockedResume not handled in DetachedHasAMB state."}},
        ControllerCase{
            "CriticalResumeStartsOverFromInit",
            1,
            1,
            {{EvtResumeCritical, {}, 0}},
            "DetachedHasAMB",
            {kClamshell, kDocked, L"System is being RESUMED from previous CRITICAL condition."}},
        ControllerCase{"RawAndPowerDataAreDumped",
                       1,
                       1,
                       {{static_cast<SystemEventType>(25), {1, 2, 3}},
                        {EvtOemPowerEvent, {0x2A, 0, 0, 0}},
                        {EvtPowerSettingChange, {0xFF}},
                        {EvtRawData}},
                       "AttachedNoAMB",
                       {kClamshell, kDocked, L"System event (25) raw data:\n 0x01 0x02 0x03",
                        L"System detected OEM power event: 0x2a",
                        L"System power setting changed with event data:\n 0xff",
                        L"System event (0) raw data:\n"}},
        ControllerCase{"OtherPowerEventsOnlyLog",
                       1,
                       1,
                       {{EvtBatteryLow},
                        {EvtPowerStatusChange},
                        {EvtAwayModeEnter},
                        {EvtAwayModeExit},
                        {EvtStandby}},
                       "OffNoAMB",
                       {kClamshell, kDocked, L"System battery is low.",
                        L"System power status changed.", L"System is entering Away Mode.",
                        L"System exits Away Mode.", L"System is entering CONNECTED STANDBY."}}),
    [](const testing::TestParamInfo<ControllerCase>& info) { return info.param.name; });

TEST(VbControllerUndockTimer, UnlockWithoutUndockDocksAgainWhenTheTimerFires) {
    SimWorld world;
    VbController* controller = VbController::GetInstance(nullptr);
    controller->Initialize();
    controller->OnSystemEvent(EvtUnlocked, nullptr, 0);
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "DetachingHasAMB");
    const UINT_PTR id = controller->UndockTimerId();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(world.GetWindowing().Count().timers, 1u);
    VbController::UndockTimerProc(nullptr, WM_TIMER, id, 0);
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "AttachedNoAMB");
    EXPECT_EQ(controller->UndockTimerId(), 0u);
    EXPECT_EQ(world.GetWindowing().Count().timers, 0u);
    controller->Uninitialize();
}

TEST(VbControllerUndockTimer, UndockInTimeDisarmsIt) {
    SimWorld world;
    VbController* controller = VbController::GetInstance(nullptr);
    controller->Initialize();
    controller->OnSystemEvent(EvtUnlocked, nullptr, 0);
    controller->OnSystemEvent(EvtUndocked, nullptr, 0);
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "DetachedHasAMB");
    EXPECT_EQ(controller->UndockTimerId(), 0u);
    EXPECT_EQ(world.GetWindowing().Count().timers, 0u);
    controller->Uninitialize();
}

TEST(VbControllerUndockTimer, SecondUnlockKeepsOneTimerAndARejectedExpiryStillDisarms) {
    SimWorld world;
    VbController* controller = VbController::GetInstance(nullptr);
    controller->Initialize();
    controller->OnSystemEvent(EvtUnlocked, nullptr, 0);
    controller->OnSystemEvent(EvtLocked, nullptr, 0);
    controller->OnSystemEvent(EvtUnlocked, nullptr, 0);
    EXPECT_EQ(world.GetWindowing().Count().timers, 1u);
    controller->OnSystemEvent(EvtLocked, nullptr, 0);
    world.GetTracing().Clear();
    VbController::UndockTimerProc(nullptr, WM_TIMER, controller->UndockTimerId(), 0);
    EXPECT_EQ(ControllerLines(world),
              std::vector<std::wstring>{L"System event Docked not handled in AttachedNoAMB "
                                        L"state."});
    EXPECT_EQ(controller->UndockTimerId(), 0u);
    EXPECT_EQ(world.GetWindowing().Count().timers, 0u);
    controller->Uninitialize();
}

TEST(VbControllerUndockTimer, AnExceptionInItsProcedureIsLoggedAndTheTimerStillGoes) {
    SimWorld world;
    // The service's run thread has COM, so the frame requests reach the driver.
    ASSERT_EQ(world.GetCom().CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    VbController* controller = VbController::GetInstance(nullptr);
    controller->Initialize();
    controller->OnSystemEvent(EvtUnlocked, nullptr, 0);
    const UINT_PTR id = controller->UndockTimerId();
    ASSERT_NE(id, 0u);
    bool driverFails = true;
    world.GetCom().GfxDriver().SetCallListener([&driverFails](const auto&) {
        if (driverFails) throw std::runtime_error("driver gone");
    });
    world.GetTracing().Clear();
    VbController::UndockTimerProc(nullptr, WM_TIMER, id, 0);
    std::vector<std::wstring> critical;
    for (const auto& event : world.GetTracing().Events()) {
        if (event.level == TRACE_LEVEL_CRITICAL) critical.push_back(event.text);
    }
    EXPECT_EQ(critical,
              std::vector<std::wstring>{L"Caught exception in the undock timer: driver gone"});
    // The hide did not finish, so the state stays; the timer is gone all the same.
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "DetachingHasAMB");
    EXPECT_EQ(controller->UndockTimerId(), 0u);
    EXPECT_EQ(world.GetWindowing().Count().timers, 0u);
    // The service carries on: the next event is handled.
    driverFails = false;
    controller->OnSystemEvent(EvtLocked, nullptr, 0);
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "AttachedNoAMB");
    controller->Uninitialize();
    world.GetCom().CoUninitialize();
}

TEST(VbControllerUndockTimer, FailedTimerCreationIsLoggedAndLeavesNoTimer) {
    SimWorld world;
    VbController* controller = VbController::GetInstance(nullptr);
    controller->Initialize();
    {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail("SetTimer", ERROR_NOT_ENOUGH_MEMORY);
    }
    world.GetTracing().Clear();
    controller->OnSystemEvent(EvtUnlocked, nullptr, 0);
    EXPECT_EQ(controller->UndockTimerId(), 0u);
    bool logged = false;
    for (const auto& event : world.GetTracing().Events()) {
        logged |= event.text.rfind(L"HRESULT: 0x80070008 @ LINE ", 0) == 0;
    }
    EXPECT_TRUE(logged);
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "DetachingHasAMB");
    controller->Uninitialize();
}

}  // namespace
