// What the model test (tests/model) leaves to this file: the undock timer when its creation or
// its procedure fails.
#include "core/vb_controller.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "contract.h"
#include "rig/sim_rig.h"

namespace {

TEST(VbController, AFailedUndockTimerIsLoggedAndTheLatchIsStillTaken) {
    rig::SimRig rig;
    // Pixels (the model test has percentages): the request the display customizer refuses.
    rig.world.GetRegistry().SetDword(HKEY_LOCAL_MACHINE, contract::kDisplayKey, L"Mode",
                                     VBDisplayModePixels);
    VbController* controller = VbController::GetInstance(nullptr);
    controller->Initialize();
    rig.Fail("SetTimer", ERROR_NOT_ENOUGH_MEMORY);
    rig.world.GetTracing().Clear();
    controller->OnSystemEvent(EvtUnlocked, nullptr, 0);
    // No touch controller here, and no pixel frames: both requests fail first, then the timer.
    EXPECT_EQ(rig.Lines(TRACE_LEVEL_ERROR),
              (std::vector<std::wstring>{
                  L"Initialization was incorrect: invalid HID client",
                  L"HRESULT: 0x80004001 @ LINE #### [vb_state_machine_context.cpp]",
                  L"HRESULT: 0x80070008 @ LINE #### [vb_controller.cpp]"}));
    EXPECT_EQ(controller->UndockTimerId(), 0u);
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "DetachingHasAMB");
    controller->Uninitialize();
}

TEST(VbController, AnExceptionInTheUndockTimerIsLoggedAndTheTimerStillGoes) {
    rig::SimRig rig;
    // The service's run thread has COM, so the frame requests reach the driver.
    ASSERT_EQ(rig.world.GetCom().CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    VbController* controller = VbController::GetInstance(nullptr);
    controller->Initialize();
    controller->OnSystemEvent(EvtUnlocked, nullptr, 0);
    ASSERT_NE(controller->UndockTimerId(), 0u);
    bool driverFails = true;
    rig.gfx->SetCallListener([&driverFails](const auto&) {
        if (driverFails) throw std::runtime_error("driver gone");
    });
    rig.world.GetTracing().Clear();
    VbController::UndockTimerProc(nullptr, WM_TIMER, controller->UndockTimerId(), 0);
    EXPECT_EQ(rig.Lines(TRACE_LEVEL_CRITICAL),
              std::vector<std::wstring>{L"Caught exception in the undock timer: driver gone"});
    // The hide did not finish, so the state stays; the timer is gone all the same.
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "DetachingHasAMB");
    EXPECT_EQ(controller->UndockTimerId(), 0u);
    EXPECT_EQ(rig.world.GetWindowing().Count().timers, 0u);
    driverFails = false;
    controller->OnSystemEvent(EvtLocked, nullptr, 0);
    EXPECT_STREQ(controller->Context().CurrentState()->Name(), "AttachedNoAMB");
    controller->Uninitialize();
    rig.world.GetCom().CoUninitialize();
}

}  // namespace
