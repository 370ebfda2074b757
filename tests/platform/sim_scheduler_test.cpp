#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/sim_world.h"
#include "platform/sync.h"

using platform::Mutex;
using platform::Thread;
using platform::sim::ClockMode;
using platform::sim::SimWorld;

namespace {

// What the participants did, in order, with the virtual time of each step.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> lines;
    void Add(SimWorld& world, const std::string& what) {
        const auto now = world.Now();
        std::lock_guard<std::mutex> guard(mutex);
        lines.push_back(std::to_string(now) + " " + what);
    }
};

TEST(SimScheduler, SleepersWakeInTimeOrderTiesInOrderBegun) {
    SimWorld world;
    Journal journal;
    auto& kernel = world.GetKernel();
    const struct {
        const char* name;
        DWORD ms;
    } sleepers[] = {{"a", 30}, {"b", 10}, {"c", 30}, {"d", 20}, {"e", 10}};
    std::vector<Thread> threads;
    for (const auto& s : sleepers) {
        threads.emplace_back(kernel, [&, s] {
            kernel.Sleep(s.ms);
            journal.Add(world, s.name);
        });
    }
    world.RunUntilIdle();
    EXPECT_TRUE(journal.lines.empty());
    world.Advance(25);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"10 b", "10 e", "20 d"}));
    world.Advance(5);
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"10 b", "10 e", "20 d", "30 a", "30 c"}));
    EXPECT_EQ(world.Now(), 30u);
    for (auto& t : threads) t.join();
}

TEST(SimScheduler, ParticipantsRunOneAtATimeInTurnOrder) {
    SimWorld world;
    Journal journal;
    auto& kernel = world.GetKernel();
    std::vector<Thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back(kernel, [&, i] {
            for (int step = 0; step < 3; ++step) {
                journal.Add(world, "t" + std::to_string(i) + "." + std::to_string(step));
                kernel.Sleep(0);  // a yield: the others that can run go first
            }
        });
    }
    world.RunUntilIdle();
    for (auto& t : threads) t.join();
    EXPECT_EQ(journal.lines,
              (std::vector<std::string>{"0 t0.0", "0 t1.0", "0 t2.0", "0 t0.1", "0 t1.1", "0 t2.1",
                                        "0 t0.2", "0 t1.2", "0 t2.2"}));
}

TEST(SimScheduler, LockWaiterLetsTheSleepingHolderRun) {
    SimWorld world;
    Journal journal;
    auto& kernel = world.GetKernel();
    Mutex lock(kernel);
    Thread holder(kernel, [&] {
        std::lock_guard<Mutex> guard(lock);
        kernel.Sleep(50);
        journal.Add(world, "holder done");
    });
    Thread waiter(kernel, [&] {
        std::lock_guard<Mutex> guard(lock);
        journal.Add(world, "waiter got it");
    });
    world.Advance(100);
    holder.join();
    waiter.join();
    EXPECT_EQ(journal.lines, (std::vector<std::string>{"50 holder done", "50 waiter got it"}));
}

TEST(SimScheduler, AutoAdvanceMovesTheClockWhenNothingCanRun) {
    SimWorld world(ClockMode::AutoAdvance);
    world.GetKernel().Sleep(128);  // the test's own thread
    EXPECT_EQ(world.Now(), 128u);
}

TEST(SimScheduler, RecursiveLockReentersAndPlainLockRefuses) {
    SimWorld world;
    platform::RecursiveMutex recursive(world.GetKernel());
    recursive.lock();
    recursive.lock();
    recursive.unlock();
    recursive.unlock();
    Mutex plain(world.GetKernel());
    plain.lock();
    EXPECT_THROW(plain.lock(), std::system_error);
    plain.unlock();
}

TEST(SimScheduler, JoinWaitsForTheThreadToEnd) {
    SimWorld world;
    auto& kernel = world.GetKernel();
    bool ended = false;
    Thread sleeper(kernel, [&] {
        kernel.Sleep(1000);
        ended = true;
    });
    Thread joiner(kernel, [&] { sleeper.join(); });
    world.Advance(999);
    EXPECT_FALSE(ended);
    world.Advance(1);
    EXPECT_TRUE(ended);
    joiner.join();
    EXPECT_EQ(world.GetScheduler().ParticipantCount(), 0u);
}

TEST(SimScheduler, RealTimeSleepTakesRealTime) {
    SimWorld world(ClockMode::RealTime);
    const auto before = std::chrono::steady_clock::now();
    world.GetKernel().Sleep(20);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
}

}  // namespace

namespace {

TEST(SimKernel, NamedEventsShareOneNamespaceAndReportExisting) {
    SimWorld world;
    auto& kernel = world.GetKernel();
    HANDLE first = kernel.CreateEventW(nullptr, TRUE, FALSE, L"Global\\X");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(kernel.GetLastError(), ERROR_SUCCESS);
    HANDLE second = kernel.CreateEventW(nullptr, TRUE, FALSE, L"Global\\X");
    EXPECT_EQ(kernel.GetLastError(), ERROR_ALREADY_EXISTS);
    HANDLE opened = kernel.OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, L"Global\\X");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(kernel.OpenEventW(SYNCHRONIZE, FALSE, L"global\\x"), nullptr);  // names keep case
    EXPECT_EQ(kernel.GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(kernel.SetEvent(opened));
    EXPECT_EQ(kernel.WaitForMultipleObjects(1, &first, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(kernel.ResetEvent(second));
    EXPECT_EQ(kernel.WaitForMultipleObjects(1, &first, FALSE, 0), WAIT_TIMEOUT);
    for (HANDLE h : {first, second, opened}) EXPECT_TRUE(kernel.CloseHandle(h));
    EXPECT_FALSE(kernel.CloseHandle(first));
    EXPECT_EQ(kernel.GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(kernel.OpenEventW(SYNCHRONIZE, FALSE, L"Global\\X"),
              nullptr);  // gone with its handles
}

TEST(SimKernel, WaitReturnsTheFirstSignaledIndexAndFailsOnANullHandle) {
    SimWorld world;
    auto& kernel = world.GetKernel();
    HANDLE events[3];
    for (auto& e : events) e = kernel.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD result = 0;
    Thread waiter(kernel,
                  [&] { result = kernel.WaitForMultipleObjects(3, events, FALSE, INFINITE); });
    world.RunUntilIdle();
    kernel.SetEvent(events[2]);
    kernel.SetEvent(events[1]);
    world.RunUntilIdle();
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
    // An auto-reset event is consumed by the wait that it ended; the other stays set.
    EXPECT_EQ(kernel.WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(kernel.WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);
    HANDLE withNull[2] = {events[0], nullptr};
    EXPECT_EQ(kernel.WaitForMultipleObjects(2, withNull, FALSE, INFINITE), WAIT_FAILED);
    EXPECT_EQ(kernel.GetLastError(), ERROR_INVALID_HANDLE);
    for (auto& e : events) kernel.CloseHandle(e);
    EXPECT_EQ(kernel.OpenHandleCount(), 0u);
}

TEST(SimKernel, FaultPlanFailsTheChosenCallWithItsError) {
    SimWorld world;
    auto& kernel = world.GetKernel();
    {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail("CreateEventW", ERROR_ACCESS_DENIED, 2);
    }
    HANDLE a = kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(kernel.GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE c = kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(c, nullptr);
    kernel.CloseHandle(a);
    kernel.CloseHandle(c);
}

}  // namespace
