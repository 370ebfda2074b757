// The simulated kernel: last error per thread, sleeps on the scheduler's clock, a handle table
// with named events and waits, and locks and threads that the scheduler runs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/kernel.h"
#include "platform/sim/faults.h"
#include "platform/sim/scheduler.h"

namespace platform::sim {

// Anything a simulated handle can stand for. Other areas (files, tokens) derive their objects.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    // What the fault plan calls the object: an event's name, a device's path; empty if unnamed.
    virtual std::wstring FaultName() const { return {}; }
};

class SimEvent : public KernelObject {
public:
    std::wstring FaultName() const override { return name; }

    std::wstring name;
    bool manualReset = true;
    bool signaled = false;
};

class SimKernel : public Kernel {
public:
    SimKernel(Scheduler& scheduler, FaultPlan& faults) : _scheduler(scheduler), _faults(faults) {}

    DWORD GetLastError() override;
    void SetLastError(DWORD errorCode) override;
    void Sleep(DWORD milliseconds) override;
    ULONGLONG GetTickCount64() override;
    BOOL CloseHandle(HANDLE object) override;
    HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                        LPCWSTR name) override;
    HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) override;
    BOOL SetEvent(HANDLE event) override;
    BOOL ResetEvent(HANDLE event) override;
    DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                 DWORD milliseconds) override;
    std::unique_ptr<LockImpl> CreateLock(bool recursive) override;
    std::unique_ptr<ThreadImpl> StartThread(std::function<void()> body) override;

    // The handle a started thread reports; sim operations that take a thread handle map it back.
    static HANDLE ThreadHandle(std::uint32_t threadId);

    // For the other simulated areas; world lock held.
    HANDLE AddHandle(std::shared_ptr<KernelObject> object);
    template <class T>
    std::shared_ptr<T> Object(HANDLE handle) {
        auto it = _handles.find(Key(handle));
        return it == _handles.end() ? nullptr : std::dynamic_pointer_cast<T>(it->second);
    }
    // Fails the named operation on its argument if the fault plan says so, setting the last
    // error.
    bool Faulted(std::string_view operation, std::wstring_view argument = {});
    // The fault plan's name of the object behind a handle; empty for none.
    std::wstring FaultName(HANDLE handle);
    std::shared_ptr<SimEvent> FindEvent(const std::wstring& name);

    // Called for each successful CreateEventW, OpenEventW, SetEvent and ResetEvent of a named
    // event, with the operation's name, under the world lock, in order.
    void SetNamedEventListener(
        std::function<void(std::string_view operation, const std::wstring& name)> listener);

    std::size_t OpenHandleCount();

private:
    void NamedEventUsed(std::string_view operation, const SimEvent& event);
    static std::uintptr_t Key(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

    Scheduler& _scheduler;
    FaultPlan& _faults;
    std::map<std::uintptr_t, std::shared_ptr<KernelObject>> _handles;
    std::uintptr_t _nextHandle = 0x100;
    std::map<std::wstring, std::weak_ptr<SimEvent>> _namedEvents;
    std::function<void(std::string_view, const std::wstring&)> _namedEventListener;
};

}  // namespace platform::sim
