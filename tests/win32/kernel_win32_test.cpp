// The kernel backend against the real system (under Wine on Linux): its own work (sleeps on a
// high-resolution timer, threads that carry a real handle, locks) and the event answers the
// simulated kernel imitates. Blocking waits are the monitor's (tests/win32_events).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "platform/win32/kernel_win32.h"
#include "platform/win32/unique_handle.h"

using platform::Thread;
using platform::win32::UniqueHandle;
using platform::win32::Win32Kernel;

namespace {

// A wait that only a broken build would reach.
constexpr DWORD kLongEnough = 30000;

// Polls until ready() holds, for at most kLongEnough.
template <class Ready>
bool WaitFor(Ready ready) {
    const ULONGLONG deadline = ::GetTickCount64() + kLongEnough;
    while (!ready()) {
        if (::GetTickCount64() > deadline) return false;
        ::Sleep(1);
    }
    return true;
}

// The answers the hot keys rely on, as the simulated kernel gives them: a name made twice is the
// same event, and says so; a satisfied wait takes an auto-reset event's signal; a null handle
// fails the wait. (Events set by another process are in tests/win32_events.)
TEST(Win32Kernel, EventsAreSharedByNameTakenByWaitsAndRefusedAsTheSystemDoes) {
    Win32Kernel kernel;
    const std::wstring name = L"KelvoTestEvent" + std::to_wstring(::GetCurrentProcessId());
    const UniqueHandle created(kernel.CreateEventW(nullptr, FALSE, FALSE, name.c_str()));
    EXPECT_EQ(kernel.GetLastError(), 0u);
    const UniqueHandle again(kernel.CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(kernel.GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(created && again);
    const HANDLE events[] = {created.get(), nullptr};
    ASSERT_TRUE(kernel.SetEvent(again.get()));
    EXPECT_EQ(kernel.WaitForMultipleObjects(1, events, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(kernel.WaitForMultipleObjects(1, events, FALSE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(kernel.WaitForMultipleObjects(2, events, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(kernel.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// On the timer where the system has one, and without it, a sleep lasts at least the time asked
// and leaves the last error as it was.
TEST(Win32Kernel, SleepLastsAtLeastTheTimeAskedAndKeepsTheLastError) {
    const UniqueHandle probe(
        ::CreateWaitableTimerExW(nullptr, nullptr, 0x2, TIMER_ALL_ACCESS));  // high resolution
    EXPECT_EQ(Win32Kernel().SleepsOnHighResolutionTimer(), static_cast<bool>(probe));
    for (const bool timer : {true, false}) {
        Win32Kernel kernel(timer);
        EXPECT_EQ(kernel.SleepsOnHighResolutionTimer(), timer && probe);
        for (const DWORD milliseconds : {1, 5, 16}) {
            kernel.SetLastError(1450);
            const auto start = std::chrono::steady_clock::now();
            kernel.Sleep(milliseconds);
            EXPECT_GE(std::chrono::steady_clock::now() - start,
                      std::chrono::milliseconds(milliseconds))
                << timer << " " << milliseconds;
            EXPECT_EQ(::GetLastError(), 1450u);
        }
    }
}

TEST(Win32Kernel, ThreadHandleIsRealAndCancelsItsSynchronousRead) {
    Win32Kernel kernel;
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    const UniqueHandle reader(readEnd), writer(writeEnd);

    std::atomic<DWORD> threadId{0};
    BOOL readResult = TRUE;
    DWORD readError = 0;
    Thread worker(kernel, [&] {
        threadId = ::GetCurrentThreadId();
        char buffer[8];
        DWORD read = 0;
        readResult = ::ReadFile(reader.get(), buffer, sizeof buffer, &read, nullptr);
        readError = ::GetLastError();
    });
    ASSERT_TRUE(WaitFor([&] { return worker.NativeHandle() && threadId != 0; }));
    const HANDLE handle = worker.NativeHandle();
    EXPECT_EQ(::GetThreadId(handle), threadId.load());
    EXPECT_EQ(::WaitForSingleObject(handle, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // Fails with ERROR_NOT_FOUND until the read is under way.
    const bool cancelled = WaitFor([&] { return ::CancelSynchronousIo(handle) != FALSE; });
    if (!cancelled) {
        DWORD written = 0;
        ::WriteFile(writer.get(), "x", 1, &written, nullptr);  // let the thread end
    }
    worker.join();
    ASSERT_TRUE(cancelled);
    EXPECT_FALSE(readResult);
    EXPECT_EQ(readError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
}

TEST(Win32Kernel, LocksExcludeEachOtherAndTheRecursiveOneIsReentered) {
    Win32Kernel kernel;
    for (const bool recursive : {false, true}) {
        platform::Mutex mutex(kernel, recursive);
        long counter = 0;  // deliberately not atomic: only the lock protects it
        std::vector<Thread> workers;
        for (int t = 0; t < 4; ++t) {
            workers.emplace_back(kernel, [&] {
                for (int i = 0; i < 20000; ++i) {
                    mutex.lock();
                    if (recursive) mutex.lock();
                    ++counter;
                    if (recursive) mutex.unlock();
                    mutex.unlock();
                }
            });
        }
        for (Thread& worker : workers) worker.join();
        EXPECT_EQ(counter, 80000) << recursive;
    }
}

}  // namespace
