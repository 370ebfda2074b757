// The simulated world's own promises that every other test leans on: one participant runs at a
// time, in an order fixed by the virtual clock and the order threads began in; and process-wide
// objects belong to one world.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "platform/sync.h"
#include "rig/sim_rig.h"

namespace {

using platform::Thread;

// What the participants did, in order, each with the virtual time it was done at.
struct Journal {
    rig::SimRig rig;
    std::mutex mutex;
    std::vector<std::string> lines;
    void Add(const std::string& what) {
        const auto now = rig.world.Now();
        std::lock_guard<std::mutex> guard(mutex);
        lines.push_back(std::to_string(now) + " " + what);
    }
};

// Sleepers wake in time order, ties in the order they began; a yield lets the others that can run
// go first; a thread waiting for a lock, or for another to end, lets the clock move on.
TEST(SimScheduler, ParticipantsRunInAnOrderFixedByTheClockAndTheOrderBegun) {
    Journal journal;
    auto& kernel = journal.rig.world.GetKernel();
    platform::Mutex lock(kernel);
    std::vector<Thread> threads;
    for (const auto& [name, ms] : {std::pair{"a", 30}, {"b", 10}, {"c", 10}}) {
        threads.emplace_back(kernel, [&, name, ms] {
            kernel.Sleep(ms);
            journal.Add(name);
        });
    }
    for (const char* name : {"y", "z"}) {
        threads.emplace_back(kernel, [&, name] {
            for (int step = 0; step < 2; ++step) {
                journal.Add(name + std::to_string(step));
                kernel.Sleep(0);
            }
        });
    }
    Thread holder(kernel, [&] {
        std::lock_guard<platform::Mutex> guard(lock);
        kernel.Sleep(20);
        journal.Add("holder");
    });
    threads.emplace_back(kernel, [&] {
        std::lock_guard<platform::Mutex> guard(lock);
        journal.Add("waiter");
    });
    threads.emplace_back(kernel, [&] {
        holder.join();
        journal.Add("joiner");
    });
    journal.rig.world.Advance(29);
    EXPECT_EQ(journal.lines,
              (std::vector<std::string>{"0 y0", "0 z0", "0 y1", "0 z1", "10 b", "10 c", "20 holder",
                                        "20 waiter", "20 joiner"}));
    journal.rig.world.Advance(1);
    for (auto& t : threads) t.join();
    EXPECT_EQ(journal.lines.back(), "30 a");
    EXPECT_EQ(journal.rig.world.GetScheduler().ParticipantCount(), 0u);
}

// The interactive host runs on the real clock: a sleep there takes at least its time.
TEST(SimScheduler, RealTimeSleepTakesRealTime) {
    rig::SimRig rig(platform::sim::ClockMode::RealTime);
    const auto before = std::chrono::steady_clock::now();
    rig.world.GetKernel().Sleep(20);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(20));
}

// A lock taken twice by its holder would hang a real thread; here it fails at once.
TEST(SimScheduler, PlainLockRefusesItsHolderAndRecursiveLockReenters) {
    rig::SimRig rig;
    platform::RecursiveMutex recursive(rig.world.GetKernel());
    recursive.lock();
    recursive.lock();
    recursive.unlock();
    recursive.unlock();
    platform::Mutex plain(rig.world.GetKernel());
    plain.lock();
    EXPECT_THROW(plain.lock(), std::system_error);
    plain.unlock();
}

std::vector<std::string> g_destroyed;
struct First {
    ~First() { g_destroyed.push_back("first"); }
};
struct Second {
    ~Second() { g_destroyed.push_back("second"); }
};

TEST(World, InstancesAreOnePerWorldAndDieWithItNewestFirst) {
    g_destroyed.clear();
    int made = 0;
    auto make = [&](platform::World&) {
        ++made;
        return std::make_unique<First>();
    };
    {
        rig::SimRig outer;
        First* first = outer.world.Instance<First>(make);
        EXPECT_EQ(outer.world.Instance<First>(make), first);
        outer.world.Instance<Second>([](platform::World&) { return std::make_unique<Second>(); });
        {
            rig::SimRig inner;  // a nested world shadows the outer one while it lives
            EXPECT_EQ(&platform::World::Current(), &inner.world);
            EXPECT_NE(inner.world.Instance<First>(make), first);
        }
        EXPECT_EQ(&platform::World::Current(), &outer.world);
        outer.world.Release<First>();
        outer.world.Instance<First>(make);  // made afresh after a release
        EXPECT_EQ(made, 3);
    }
    EXPECT_EQ(g_destroyed, (std::vector<std::string>{"first", "first", "first", "second"}));
}

}  // namespace
