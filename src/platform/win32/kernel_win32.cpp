#include "platform/win32/kernel_win32.h"

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/win32/unique_handle.h"

// Newer SDKs define it; mingw-w64 10 does not.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace platform::win32 {

namespace {

// Null where Windows rejects the high-resolution flag (before Windows 10 version 1803).
UniqueHandle CreateHighResolutionTimer() {
    return UniqueHandle(::CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
}

// A relative due time is negative, in units of 100 ns.
bool SleepOnTimer(HANDLE timer, DWORD milliseconds) {
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    return ::SetWaitableTimer(timer, &dueTime, 0, nullptr, nullptr, FALSE) &&
           ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
}

template <class StdMutex>
class StdLock : public LockImpl {
public:
    void lock() override { _mutex.lock(); }
    void unlock() override { _mutex.unlock(); }

private:
    StdMutex _mutex;
};

// With mingw's posix threads, std::thread::native_handle() is a pthread, not a Windows handle,
// so the thread duplicates its own pseudo handle into a real one as its first act.
class Win32Thread : public ThreadImpl {
public:
    explicit Win32Thread(std::function<void()> body)
        : _thread([this, body = std::move(body)] {
              HANDLE self = nullptr;
              if (::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(),
                                    ::GetCurrentProcess(), &self, 0, FALSE,
                                    DUPLICATE_SAME_ACCESS)) {
                  _handle.store(self, std::memory_order_release);
              }
              body();
          }) {}

    ~Win32Thread() override { CloseThreadHandle(); }

    void join() override {
        _thread.join();
        CloseThreadHandle();
    }

    HANDLE NativeHandle() override { return _handle.load(std::memory_order_acquire); }

private:
    void CloseThreadHandle() {
        if (HANDLE handle = _handle.exchange(nullptr)) ::CloseHandle(handle);
    }

    std::atomic<HANDLE> _handle{nullptr};
    std::thread _thread;  // last: the body may publish the handle as soon as it starts
};

}  // namespace

Win32Kernel::Win32Kernel(bool highResolutionSleep)
    : _highResolutionTimer(highResolutionSleep && CreateHighResolutionTimer()) {}

DWORD Win32Kernel::GetLastError() { return ::GetLastError(); }

void Win32Kernel::SetLastError(DWORD errorCode) { ::SetLastError(errorCode); }

void Win32Kernel::Sleep(DWORD milliseconds) {
    // 0 gives up the time slice and INFINITE never returns: only ::Sleep means exactly that.
    if (milliseconds != 0 && milliseconds != INFINITE && _highResolutionTimer) {
        // Like ::Sleep, leave the caller's last error as it was.
        const DWORD lastError = ::GetLastError();
        const UniqueHandle timer = CreateHighResolutionTimer();
        const bool slept = timer && SleepOnTimer(timer.get(), milliseconds);
        ::SetLastError(lastError);
        if (slept) return;
    }
    ::Sleep(milliseconds);
}

BOOL Win32Kernel::CloseHandle(HANDLE object) { return ::CloseHandle(object); }

HANDLE Win32Kernel::CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                 BOOL initialState, LPCWSTR name) {
    return ::CreateEventW(attributes, manualReset, initialState, name);
}

HANDLE Win32Kernel::OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) {
    return ::OpenEventW(desiredAccess, inheritHandle, name);
}

BOOL Win32Kernel::SetEvent(HANDLE event) { return ::SetEvent(event); }

BOOL Win32Kernel::ResetEvent(HANDLE event) { return ::ResetEvent(event); }

DWORD Win32Kernel::WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                          DWORD milliseconds) {
    return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

std::unique_ptr<LockImpl> Win32Kernel::CreateLock(bool recursive) {
    if (recursive) return std::make_unique<StdLock<std::recursive_mutex>>();
    return std::make_unique<StdLock<std::mutex>>();
}

std::unique_ptr<ThreadImpl> Win32Kernel::StartThread(std::function<void()> body) {
    return std::make_unique<Win32Thread>(std::move(body));
}

bool Win32Kernel::SleepsOnHighResolutionTimer() const { return _highResolutionTimer; }

}  // namespace platform::win32
