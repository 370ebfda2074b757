// What the scripts cannot show: stops racing a button thread between two reads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "monitor_rig.h"
#include "substitutes/bezel_buttons_sim.h"

namespace {

using events_test::MonitorRig;
using platform::sim::SimBezelButtons;

SimBezelButtons& Plug(MonitorRig& r, int n) {
    return r.world.GetHid().AddDevice<SimBezelButtons>(
        SimBezelButtons::ButtonsDescription(L"\\\\?\\HID#buttons" + std::to_wstring(n)));
}

// Windows' close of a device waits for a synchronous read on it, and CancelSynchronousIo finds
// nothing while the thread is between two reads. A stop that comes just then, with the thread
// entering its read right after the cancel found nothing, must still end the thread at once:
// just after a report, and between the device's open and its first read. The stop comes from
// a thread of its own, as the service's control handler would send it.
struct StopPoint {
    const char* name;
    int reportsFirst;
};
void PrintTo(const StopPoint& p, std::ostream* out) { *out << p.name; }

class BezelButtonsStopPoint : public testing::TestWithParam<StopPoint> {
protected:
    ~BezelButtonsStopPoint() override { r.world.GetHid().SetReadHooks(nullptr, nullptr); }
    MonitorRig r;
};

TEST_P(BezelButtonsStopPoint, StopEndsTheReadTheThreadEntersAfterACancelFoundNothing) {
    SimBezelButtons& buttons = Plug(r, 0);
    for (int i = 0; i < GetParam().reportsFirst; ++i) buttons.Press(0x18);
    platform::sim::SimKernel& kernel = r.world.GetKernel();
    platform::sim::SimHid& hid = r.world.GetHid();
    // The button thread waits at its read until the stop's first cancel has found nothing.
    HANDLE gate = kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> reads{0};
    std::atomic<bool> released{false};
    hid.SetReadHooks(
        [&] {
            if (++reads == GetParam().reportsFirst + 1) kernel.WaitForMultipleObjects(1, &gate, FALSE, INFINITE);
        },
        [&] {
            if (released.exchange(true)) return;
            kernel.SetEvent(gate);
            while (hid.PendingReadCount() == 0) kernel.Sleep(1);
        });
    r.Start();
    ASSERT_EQ(reads, GetParam().reportsFirst + 1);

    std::atomic<bool> stopped{false};
    platform::Thread stopper(kernel, [&] {
        r.monitor->Stop();
        stopped = true;
    });
    // Generous: a stop that works ends within the first few clock moves.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stopped && std::chrono::steady_clock::now() < guard) {
        if (!r.world.GetScheduler().AdvanceToNextDue()) std::this_thread::yield();
    }
    const bool stoppedInTime = stopped;
    if (!stoppedInTime) buttons.Press(0x1A);  // what a close waiting for the read needs
    while (!stopped) {
        r.world.RunUntilIdle();
        std::this_thread::yield();
    }
    stopper.join();
    r.world.RunUntilIdle();
    r.run.join();
    kernel.CloseHandle(gate);
    EXPECT_TRUE(stoppedInTime) << "the stop waited for a button press";
    EXPECT_TRUE(r.startReturned);
}

INSTANTIATE_TEST_SUITE_P(Points, BezelButtonsStopPoint,
                         testing::Values(StopPoint{"BeforeTheFirstRead", 0}, StopPoint{"JustAfterAReport", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
