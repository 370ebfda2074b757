#include "platform/sim/kernel_sim.h"

#include <system_error>
#include <thread>
#include <vector>

namespace platform::sim {

namespace {

thread_local DWORD t_lastError = 0;

// A lock whose waiters block through the scheduler, so that a participant waiting for it lets
// the holder run.
class SimLock : public LockImpl {
public:
    SimLock(Scheduler& scheduler, bool recursive) : _scheduler(scheduler), _recursive(recursive) {}

    void lock() override {
        const auto self = std::this_thread::get_id();
        Scheduler::Lock world(_scheduler.Mutex());
        if (_count != 0 && _owner == self) {
            if (!_recursive) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_deadlock_would_occur));
            }
            ++_count;
            return;
        }
        if (_count != 0) {
            const std::function<bool()> free = [this] { return _count == 0; };
            _scheduler.Wait(world, free);
        }
        _owner = self;
        _count = 1;
    }

    void unlock() override {
        Scheduler::Lock world(_scheduler.Mutex());
        if (--_count == 0) {
            _owner = {};
            _scheduler.Notify(world);
        }
    }

private:
    Scheduler& _scheduler;
    const bool _recursive;
    std::thread::id _owner;
    unsigned _count = 0;
};

class SimThread : public ThreadImpl {
public:
    SimThread(Scheduler& scheduler, std::function<void()> body)
        : _scheduler(scheduler), _started(scheduler.StartThread(std::move(body))) {}

    void join() override { _scheduler.JoinThread(*_started); }
    HANDLE NativeHandle() override {
        return SimKernel::ThreadHandle(Scheduler::ThreadId(*_started));
    }

private:
    Scheduler& _scheduler;
    std::unique_ptr<Scheduler::StartedThread> _started;
};

}  // namespace

DWORD SimKernel::GetLastError() { return t_lastError; }

void SimKernel::SetLastError(DWORD errorCode) { t_lastError = errorCode; }

void SimKernel::Sleep(DWORD milliseconds) {
    Scheduler::Lock world(_scheduler.Mutex());
    static const std::function<bool()> never = [] { return false; };
    _scheduler.Wait(world, never, _scheduler.DeadlineAfter(milliseconds));
}

ULONGLONG SimKernel::GetTickCount64() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _scheduler.Now();
}

std::unique_ptr<LockImpl> SimKernel::CreateLock(bool recursive) {
    return std::make_unique<SimLock>(_scheduler, recursive);
}

std::unique_ptr<ThreadImpl> SimKernel::StartThread(std::function<void()> body) {
    return std::make_unique<SimThread>(_scheduler, std::move(body));
}

BOOL SimKernel::CloseHandle(HANDLE object) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("CloseHandle", FaultName(object))) return FALSE;
    if (_handles.erase(Key(object)) == 0) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    _scheduler.Notify(world);
    return TRUE;
}

HANDLE SimKernel::CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                               LPCWSTR name) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("CreateEventW", name ? name : L"")) return nullptr;
    if (name && *name) {
        if (auto existing = FindEvent(name)) {
            t_lastError = ERROR_ALREADY_EXISTS;
            NamedEventUsed("CreateEventW", *existing);
            return AddHandle(existing);
        }
    }
    auto event = std::make_shared<SimEvent>();
    event->manualReset = manualReset != FALSE;
    event->signaled = initialState != FALSE;
    if (name && *name) {
        event->name = name;
        _namedEvents[event->name] = event;
        NamedEventUsed("CreateEventW", *event);
    }
    t_lastError = ERROR_SUCCESS;
    return AddHandle(std::move(event));
}

HANDLE SimKernel::OpenEventW(DWORD, BOOL, LPCWSTR name) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("OpenEventW", name ? name : L"")) return nullptr;
    auto event = name ? FindEvent(name) : nullptr;
    if (!event) {
        t_lastError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    NamedEventUsed("OpenEventW", *event);
    return AddHandle(std::move(event));
}

BOOL SimKernel::SetEvent(HANDLE handle) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("SetEvent", FaultName(handle))) return FALSE;
    auto event = Object<SimEvent>(handle);
    if (!event) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    event->signaled = true;
    NamedEventUsed("SetEvent", *event);
    _scheduler.Notify(world);
    return TRUE;
}

BOOL SimKernel::ResetEvent(HANDLE handle) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("ResetEvent", FaultName(handle))) return FALSE;
    auto event = Object<SimEvent>(handle);
    if (!event) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    event->signaled = false;
    NamedEventUsed("ResetEvent", *event);
    return TRUE;
}

DWORD SimKernel::WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                        DWORD milliseconds) {
    Scheduler::Lock world(_scheduler.Mutex());
    // Named after its first object: the waits differ in what they wait for first.
    if (Faulted("WaitForMultipleObjects", count && handles ? FaultName(handles[0]) : L"")) {
        return WAIT_FAILED;
    }
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles || waitAll) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<SimEvent>> events;
    for (DWORD i = 0; i < count; ++i) {
        auto event = Object<SimEvent>(handles[i]);
        if (!event) {
            t_lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        events.push_back(std::move(event));
    }
    auto firstSignaled = [&events]() -> DWORD {
        for (DWORD i = 0; i < events.size(); ++i) {
            if (events[i]->signaled) return i;
        }
        return WAIT_TIMEOUT;
    };
    const std::function<bool()> ready = [&] { return firstSignaled() != WAIT_TIMEOUT; };
    std::optional<Scheduler::Deadline> deadline;
    if (milliseconds != INFINITE) deadline = _scheduler.DeadlineAfter(milliseconds);
    if (!_scheduler.Wait(world, ready, deadline)) return WAIT_TIMEOUT;
    const DWORD index = firstSignaled();
    if (!events[index]->manualReset) events[index]->signaled = false;
    return WAIT_OBJECT_0 + index;
}

void SimKernel::SetNamedEventListener(
    std::function<void(std::string_view operation, const std::wstring& name)> listener) {
    Scheduler::Lock world(_scheduler.Mutex());
    _namedEventListener = std::move(listener);
}

void SimKernel::NamedEventUsed(std::string_view operation, const SimEvent& event) {
    if (_namedEventListener && !event.name.empty()) _namedEventListener(operation, event.name);
}

HANDLE SimKernel::AddHandle(std::shared_ptr<KernelObject> object) {
    const std::uintptr_t key = _nextHandle;
    _nextHandle += 4;
    _handles.emplace(key, std::move(object));
    return reinterpret_cast<HANDLE>(key);
}

bool SimKernel::Faulted(std::string_view operation, std::wstring_view argument) {
    if (auto error = _faults.Take(operation, argument)) {
        t_lastError = *error;
        return true;
    }
    return false;
}

std::wstring SimKernel::FaultName(HANDLE handle) {
    auto it = _handles.find(Key(handle));
    return it == _handles.end() ? std::wstring() : it->second->FaultName();
}

std::shared_ptr<SimEvent> SimKernel::FindEvent(const std::wstring& name) {
    auto it = _namedEvents.find(name);
    if (it == _namedEvents.end()) return nullptr;
    auto event = it->second.lock();
    if (!event) _namedEvents.erase(it);
    return event;
}

std::size_t SimKernel::OpenHandleCount() {
    Scheduler::Lock world(_scheduler.Mutex());
    return _handles.size();
}

HANDLE SimKernel::ThreadHandle(std::uint32_t threadId) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7E000000u + threadId));
}

}  // namespace platform::sim
