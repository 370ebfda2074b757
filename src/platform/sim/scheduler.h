// The simulated platform's scheduler and clock.
//
// Every blocking operation of the simulated platform waits here, under one world lock. The
// service's own threads ("participants") run one at a time: a participant runs until it blocks
// in a platform wait, then the longest-waiting participant that can go on runs next. That makes
// a run deterministic, and lets a test run the world until every participant is blocked
// (RunUntilIdle) and then move the virtual clock, waking due waits in time order.
//
// Threads that are not participants (a test's own thread) may wait too; they are woken when they
// can go on but do not take part in the one-at-a-time rule.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace platform::sim {

enum class ClockMode {
    Manual,       // the clock moves only when the driver advances it
    AutoAdvance,  // it also jumps to the next due wait whenever nothing can run
    RealTime,     // it follows the real clock
};

class Scheduler {
public:
    using Lock = std::unique_lock<std::mutex>;
    using Millis = std::uint64_t;
    // The moment a wait ends, in microseconds since the world began. On the real clock it keeps
    // the part of a millisecond, so that a 5 ms wait ends 5 ms after it began, not at the next
    // whole millisecond after that.
    struct Deadline {
        std::uint64_t micros = 0;
        auto operator<=>(const Deadline&) const = default;
    };

private:
    struct Waiter {
        const std::function<bool()>* ready = nullptr;
        std::optional<Deadline> deadline;
        std::uint64_t seq = 0;
        bool participant = false;
        bool granted = false;
        std::condition_variable cv;
    };

public:
    explicit Scheduler(ClockMode mode);
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    std::mutex& Mutex() { return _mutex; }
    ClockMode Mode() const { return _mode; }
    void SetMode(ClockMode mode);

    // Milliseconds since the world began. Call with the world lock held.
    Millis Now() const;
    // The moment delay milliseconds from now. Call with the world lock held.
    Deadline DeadlineAfter(Millis delay) const;
    // Whether the clock has reached the deadline. Call with the world lock held.
    bool Reached(Deadline deadline) const;

    // Blocks until ready() holds or the clock reaches the deadline; ready() is evaluated under the
    // world lock, also by other threads. Returns whether ready() held.
    bool Wait(Lock& lock, const std::function<bool()>& ready,
              std::optional<Deadline> deadline = std::nullopt);

    // State that a waiter's ready() reads has changed: let whoever can go on run. A change made
    // by a non-participant on a virtual clock waits until it runs the world or waits itself.
    void Notify(Lock& lock);

    // Starts a participant thread. It begins running when the participants before it block.
    class StartedThread {
        friend class Scheduler;
        Waiter start;  // the thread's first wait: for its turn to run
        bool finished = false;
        std::uint32_t id = 0;
        std::thread thread;
    };
    std::unique_ptr<StartedThread> StartThread(std::function<void()> body);
    // Blocks, as a platform wait, until the thread has ended, then reclaims it.
    void JoinThread(StartedThread& thread);
    // A small identifier of a started thread, stable for its life (never 0).
    static std::uint32_t ThreadId(const StartedThread& thread);
    // The identifier of the calling thread if the scheduler started it; 0 on any other thread.
    static std::uint32_t CurrentThreadId();

    // Driver operations; call without holding the world lock, from a non-participant thread.
    void RunUntilIdle();
    void AdvanceBy(Millis milliseconds);
    // Moves the clock to the next due wait, if any, and runs until idle. Returns false if none.
    bool AdvanceToNextDue();

    std::size_t ParticipantCount();

private:
    std::uint64_t NowMicros() const;
    void Schedule();
    bool Due(const Waiter& w) const;
    Waiter* EarliestDeadline();
    bool IdleLocked();
    void WaitForIdle(Lock& lock);
    bool& IsParticipant();

    std::mutex _mutex;
    ClockMode _mode;
    Millis _virtualNow = 0;
    std::chrono::steady_clock::time_point _realStart;
    std::list<Waiter*> _waiters;  // in the order they began waiting
    std::uint64_t _nextSeq = 0;
    bool _tokenHeld = false;
    std::size_t _participants = 0;
    std::size_t _pendingStarts = 0;
    std::uint32_t _nextThreadId = 1;
    std::condition_variable _idle;
};

}  // namespace platform::sim
