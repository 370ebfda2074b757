#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "platform/sim/windowing_sim.h"
#include "platform/sync.h"

using platform::Thread;
using platform::sim::SimWindowing;
using platform::sim::SimWorld;

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Seen> g_seen;
LRESULT g_createResult = 0;
SimWindowing* g_windowing = nullptr;

LRESULT CALLBACK_Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    g_seen.push_back({message, wParam, lParam});
    if (message == WM_CREATE) return g_createResult;
    if (message == WM_DESTROY) g_windowing->PostQuitMessage(0);
    return g_windowing->DefWindowProcW(hwnd, message, wParam, lParam);
}

std::vector<UINT_PTR> g_timerFired;
void TimerProc(HWND, UINT, UINT_PTR id, DWORD) { g_timerFired.push_back(id); }

class SimWindowingTest : public ::testing::Test {
protected:
    SimWindowingTest() : windowing(world.GetScheduler(), world.GetFaults(), world.GetKernel()) {
        g_seen.clear();
        g_timerFired.clear();
        g_createResult = 0;
        g_windowing = &windowing;
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = CALLBACK_Proc;
        wc.lpszClassName = L"TestWindow";
        EXPECT_NE(windowing.RegisterClassExW(&wc), 0);
    }

    // Runs a message loop on a participant thread until WM_QUIT.
    Thread Loop(HWND* created) {
        return Thread(world.GetKernel(), [this, created] {
            *created = windowing.CreateWindowExW(0, L"testwindow", L"T", 0, 0, 0, 0, 0, nullptr,
                                                 nullptr, nullptr, this);
            if (!*created) return;
            MSG msg;
            while (windowing.GetMessageW(&msg, nullptr, 0, 0) > 0) windowing.DispatchMessageW(&msg);
        });
    }

    SimWorld world;
    SimWindowing windowing;
};

TEST_F(SimWindowingTest, PostedMessagesAndThreadTimersRunThroughTheLoopInVirtualTime) {
    HWND window = nullptr;
    Thread loop = Loop(&window);
    world.RunUntilIdle();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(windowing.FindWindowW(L"TestWindow", nullptr), window);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].message, WM_CREATE);

    EXPECT_TRUE(windowing.PostMessageW(window, WM_USER + 1, 7, 0));
    world.RunUntilIdle();
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[1].message, WM_USER + 1u);
    EXPECT_EQ(g_seen[1].wParam, 7u);

    windowing.PostMessageW(window, WM_CLOSE, 0, 0);
    world.RunUntilIdle();
    loop.join();
    EXPECT_EQ(g_seen.back().message, WM_DESTROY);
    EXPECT_FALSE(windowing.IsWindow(window));
    EXPECT_FALSE(windowing.PostMessageW(window, WM_USER, 0, 0));
    EXPECT_EQ(world.GetKernel().GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(SimWindowingTest, ThreadTimerFiresEveryPeriodUntilKilled) {
    UINT_PTR id = 0;
    Thread loop(world.GetKernel(), [&] {
        id = windowing.SetTimer(nullptr, 3721, 5000, TimerProc);
        MSG msg;
        while (windowing.GetMessageW(&msg, nullptr, 0, 0) > 0) {
            windowing.DispatchMessageW(&msg);
            if (g_timerFired.size() == 2) break;
        }
        windowing.KillTimer(nullptr, id);
    });
    world.Advance(4999);
    EXPECT_TRUE(g_timerFired.empty());
    world.Advance(1);
    EXPECT_EQ(g_timerFired, std::vector<UINT_PTR>{id});
    EXPECT_NE(id, 3721u);  // without a window the system picks the identifier
    world.Advance(5000);
    loop.join();
    EXPECT_EQ(g_timerFired.size(), 2u);
    EXPECT_EQ(windowing.Count().timers, 0u);
}

TEST_F(SimWindowingTest, ThreadTimerAskedForByItsOwnIdentifierStartsOverInsteadOfAddingOne) {
    UINT_PTR id = 0;
    UINT_PTR again = 0;
    std::size_t armed = 0;
    Thread loop(world.GetKernel(), [&] {
        id = windowing.SetTimer(nullptr, 3721, 5000, TimerProc);
        world.GetKernel().Sleep(3000);
        again = windowing.SetTimer(nullptr, id, 5000, TimerProc);
        armed = windowing.Count().timers;
        MSG msg;
        while (windowing.GetMessageW(&msg, nullptr, 0, 0) > 0) {
            windowing.DispatchMessageW(&msg);
            if (!g_timerFired.empty()) break;
        }
        windowing.KillTimer(nullptr, id);
    });
    world.Advance(7999);  // five seconds from the second arming, not the first
    EXPECT_TRUE(g_timerFired.empty());
    world.Advance(1);
    loop.join();
    EXPECT_EQ(again, id);
    EXPECT_EQ(armed, 1u);
    EXPECT_EQ(g_timerFired, std::vector<UINT_PTR>{id});
    EXPECT_EQ(windowing.Count().timers, 0u);
}

TEST_F(SimWindowingTest, FailingCreateHandlerDestroysTheWindow) {
    g_createResult = -1;
    HWND window = reinterpret_cast<HWND>(1);
    Thread loop = Loop(&window);
    world.RunUntilIdle();
    loop.join();
    EXPECT_EQ(window, nullptr);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[1].message, WM_DESTROY);
    EXPECT_EQ(windowing.Count().windows, 0u);
}

TEST_F(SimWindowingTest, BroadcastRecordsAreReadableOnlyThroughTheGuardedRead) {
    HWND window = nullptr;
    Thread loop = Loop(&window);
    world.RunUntilIdle();
    windowing.SendSettingChange(L"ConvertibleSlateMode");
    const GUID display = {
        0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};
    windowing.SendPowerSettingChange(display, 0, 4, false);
    world.RunUntilIdle();
    ASSERT_EQ(g_seen.size(), 3u);
    EXPECT_EQ(g_seen[1].message, WM_SETTINGCHANGE);
    wchar_t name[21] = {};
    ASSERT_TRUE(
        windowing.ReadForeignMemory(reinterpret_cast<void*>(g_seen[1].lParam), name, sizeof name));
    EXPECT_EQ(std::wstring(name), L"ConvertibleSlateMode");
    wchar_t tooFar[40];
    EXPECT_FALSE(windowing.ReadForeignMemory(reinterpret_cast<void*>(g_seen[1].lParam), tooFar,
                                             sizeof tooFar));
    EXPECT_EQ(g_seen[2].wParam, PBT_POWERSETTINGCHANGE);
    DWORD length = 0;
    EXPECT_FALSE(windowing.ReadForeignMemory(reinterpret_cast<void*>(g_seen[2].lParam), &length,
                                             sizeof length));
    windowing.PostMessageW(window, WM_CLOSE, 0, 0);
    world.RunUntilIdle();
    loop.join();
}

}  // namespace
