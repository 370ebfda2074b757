// Kernel services on Windows: the real last error, sleep, events and waits, standard locks, and
// standard threads that also carry a real Windows handle of themselves.
#pragma once

#include "platform/kernel.h"

namespace platform::win32 {

class Win32Kernel : public Kernel {
public:
    // Sleeps wait on a high-resolution waitable timer where Windows has one (10, version 1803
    // on), which wakes within a fraction of a millisecond without raising the system timer
    // resolution; elsewhere, or when highResolutionSleep is false, on ::Sleep, which wakes on the
    // scheduler's tick.
    explicit Win32Kernel(bool highResolutionSleep = true);

    DWORD GetLastError() override;
    void SetLastError(DWORD errorCode) override;
    void Sleep(DWORD milliseconds) override;
    ULONGLONG GetTickCount64() override { return ::GetTickCount64(); }
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

    bool SleepsOnHighResolutionTimer() const;

private:
    const bool _highResolutionTimer;
};

}  // namespace platform::win32
