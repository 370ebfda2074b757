#include "platform/sim/scheduler.h"

#include <algorithm>
#include <thread>

namespace platform::sim {

namespace {
thread_local bool t_participant = false;
thread_local std::uint32_t t_threadId = 0;
const std::function<bool()> kAlwaysReady = [] { return true; };
}  // namespace

Scheduler::Scheduler(ClockMode mode) : _mode(mode), _realStart(std::chrono::steady_clock::now()) {}

bool& Scheduler::IsParticipant() { return t_participant; }

void Scheduler::SetMode(ClockMode mode) {
    Lock lock(_mutex);
    if (_mode == ClockMode::RealTime || mode == ClockMode::RealTime) {
        _realStart = std::chrono::steady_clock::now() - std::chrono::milliseconds(Now());
    }
    _mode = mode;
    Schedule();
}

Scheduler::Millis Scheduler::Now() const {
    if (_mode != ClockMode::RealTime) return _virtualNow;
    return static_cast<Millis>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - _realStart)
                                   .count());
}

namespace {

// The whole millisecond a virtual clock jumps to for a deadline.
Scheduler::Millis CeilMillis(Scheduler::Deadline deadline) {
    return (deadline.micros + 999) / 1000;
}

}  // namespace

std::uint64_t Scheduler::NowMicros() const {
    if (_mode != ClockMode::RealTime) return _virtualNow * 1000;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - _realStart)
                                          .count());
}

Scheduler::Deadline Scheduler::DeadlineAfter(Millis delay) const {
    return {NowMicros() + delay * 1000};
}

bool Scheduler::Reached(Deadline deadline) const { return NowMicros() >= deadline.micros; }

bool Scheduler::Due(const Waiter& w) const {
    return !w.granted && ((*w.ready)() || (w.deadline && Reached(*w.deadline)));
}

Scheduler::Waiter* Scheduler::EarliestDeadline() {
    Waiter* best = nullptr;
    for (Waiter* w : _waiters) {
        if (w->granted || !w->deadline) continue;
        if (!best || *w->deadline < *best->deadline) best = w;  // ties: the earlier waiter
    }
    return best;
}

void Scheduler::Schedule() {
    for (;;) {
        if (_tokenHeld) return;
        Waiter* next = nullptr;
        for (Waiter* w : _waiters) {
            if (Due(*w)) {
                next = w;
                if (w->participant) break;
                // A non-participant goes on at once and does not hold the turn.
                w->granted = true;
                w->cv.notify_one();
                next = nullptr;
            }
        }
        if (next) {
            next->granted = true;
            _tokenHeld = true;
            next->cv.notify_one();
            return;
        }
        if (_mode == ClockMode::AutoAdvance && _pendingStarts == 0) {
            if (Waiter* due = EarliestDeadline()) {
                _virtualNow = std::max(_virtualNow, CeilMillis(*due->deadline));
                continue;
            }
        }
        _idle.notify_all();
        return;
    }
}

bool Scheduler::Wait(Lock& lock, const std::function<bool()>& ready,
                     std::optional<Deadline> deadline) {
    Waiter me;
    me.ready = &ready;
    me.deadline = deadline;
    me.seq = _nextSeq++;
    me.participant = t_participant;
    auto position = _waiters.insert(_waiters.end(), &me);
    if (me.participant) _tokenHeld = false;
    Schedule();
    while (!me.granted) {
        if (_mode == ClockMode::RealTime && me.deadline) {
            me.cv.wait_until(lock, _realStart + std::chrono::microseconds(me.deadline->micros));
            Schedule();
        } else {
            me.cv.wait(lock);
        }
    }
    _waiters.erase(position);
    return ready();
}

void Scheduler::Notify(Lock&) {
    // On a virtual clock a driver's changes take effect together when it next runs the world,
    // so that what it injects in one step cannot race with what that step wakes.
    if (!t_participant && _mode != ClockMode::RealTime) return;
    Schedule();
}

std::unique_ptr<Scheduler::StartedThread> Scheduler::StartThread(std::function<void()> body) {
    auto started = std::make_unique<StartedThread>();
    StartedThread* self = started.get();
    {
        Lock lock(_mutex);
        self->id = _nextThreadId++;
        self->start.ready = &kAlwaysReady;
        self->start.seq = _nextSeq++;
        self->start.participant = true;
        _waiters.push_back(&self->start);
        ++_pendingStarts;
        ++_participants;
    }
    self->thread = std::thread([this, self, body = std::move(body)] {
        {
            Lock lock(_mutex);
            t_participant = true;
            t_threadId = self->id;
            --_pendingStarts;
            while (!self->start.granted) self->start.cv.wait(lock);
            _waiters.remove(&self->start);
        }
        body();
        Lock lock(_mutex);
        t_participant = false;
        self->finished = true;
        --_participants;
        _tokenHeld = false;
        Schedule();
    });
    // The new thread runs when the spawner next blocks (a participant) or hands the world over
    // (a driver running it or advancing the clock), in the order threads were started.
    return started;
}

void Scheduler::JoinThread(StartedThread& thread) {
    {
        Lock lock(_mutex);
        const std::function<bool()> finished = [&thread] { return thread.finished; };
        Wait(lock, finished);
    }
    thread.thread.join();
}

std::uint32_t Scheduler::ThreadId(const StartedThread& thread) { return thread.id; }

std::uint32_t Scheduler::CurrentThreadId() { return t_threadId; }

bool Scheduler::IdleLocked() {
    if (_tokenHeld || _pendingStarts != 0) return false;
    return std::none_of(_waiters.begin(), _waiters.end(),
                        [this](const Waiter* w) { return Due(*w); });
}

void Scheduler::WaitForIdle(Lock& lock) {
    Schedule();
    _idle.wait(lock, [this] { return IdleLocked(); });
}

void Scheduler::RunUntilIdle() {
    Lock lock(_mutex);
    WaitForIdle(lock);
}

void Scheduler::AdvanceBy(Millis milliseconds) {
    Lock lock(_mutex);
    WaitForIdle(lock);
    const Millis target = _virtualNow + milliseconds;
    for (;;) {
        Waiter* due = EarliestDeadline();
        if (!due || CeilMillis(*due->deadline) > target) break;
        _virtualNow = std::max(_virtualNow, CeilMillis(*due->deadline));
        WaitForIdle(lock);
    }
    _virtualNow = target;
    WaitForIdle(lock);
}

bool Scheduler::AdvanceToNextDue() {
    Lock lock(_mutex);
    WaitForIdle(lock);
    Waiter* due = EarliestDeadline();
    if (!due) return false;
    _virtualNow = std::max(_virtualNow, CeilMillis(*due->deadline));
    WaitForIdle(lock);
    return true;
}

std::size_t Scheduler::ParticipantCount() {
    Lock lock(_mutex);
    return _participants;
}

}  // namespace platform::sim
