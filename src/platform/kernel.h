// Kernel services: last error, sleeping, events and waits, and the locks and threads that the
// system's objects own.
//
// Locks and threads come from the platform so that the simulated one can schedule them on its
// virtual clock; on Windows they are plain standard library objects.
#pragma once

#include <functional>
#include <memory>

#include "platform/owner.h"
#include "platform/win32types.h"

namespace platform {

class LockImpl {
public:
    virtual ~LockImpl() = default;
    virtual void lock() = 0;
    virtual void unlock() = 0;
};

class ThreadImpl {
public:
    virtual ~ThreadImpl() = default;
    virtual void join() = 0;
    // A handle that thread-directed Windows calls (CancelSynchronousIo) accept; null until the
    // thread has started running.
    virtual HANDLE NativeHandle() = 0;
};

class Kernel {
public:
    virtual ~Kernel() = default;

    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD errorCode) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
    // Milliseconds since the system started (the virtual clock in a simulated world).
    virtual ULONGLONG GetTickCount64() = 0;

    virtual BOOL CloseHandle(HANDLE object) = 0;
    virtual HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                BOOL initialState, LPCWSTR name) = 0;
    virtual HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) = 0;
    virtual BOOL SetEvent(HANDLE event) = 0;
    virtual BOOL ResetEvent(HANDLE event) = 0;
    virtual DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                         DWORD milliseconds) = 0;

    virtual std::unique_ptr<LockImpl> CreateLock(bool recursive) = 0;
    virtual std::unique_ptr<ThreadImpl> StartThread(std::function<void()> body) = 0;
};

// A kernel handle (an event, a thread, a timer), given back through the kernel it came from.
using KernelHandleCloser = InterfaceCloser<HANDLE, Kernel, &Kernel::CloseHandle>;
using KernelHandle = Owner<KernelHandleCloser>;

}  // namespace platform
