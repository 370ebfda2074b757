#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/win32/kernel_win32.h"
#include "platform/win32/unique_handle.h"

using platform::Mutex;
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

TEST(Win32Kernel, LastErrorIsTheThreadsOwn) {
    Win32Kernel kernel;
    for (const DWORD mine : {DWORD{0}, DWORD{5}, DWORD{995}, DWORD{0xFFFFFFFF}}) {
        // Both threads hold their values at the same time; only atomics run in between, since
        // starting or joining a thread may itself change the last error.
        std::atomic<bool> theirsSet{false};
        std::atomic<bool> mineChecked{false};
        DWORD theirs = 0;
        Thread worker(kernel, [&] {
            kernel.SetLastError(87);
            theirsSet = true;
            while (!mineChecked) std::this_thread::yield();
            theirs = kernel.GetLastError();
        });
        kernel.SetLastError(mine);
        while (!theirsSet) std::this_thread::yield();
        EXPECT_EQ(kernel.GetLastError(), mine);
        EXPECT_EQ(::GetLastError(), mine);
        mineChecked = true;
        worker.join();
        EXPECT_EQ(theirs, 87u);
        ::SetLastError(mine + 1);
        EXPECT_EQ(kernel.GetLastError(), mine + 1);
    }
}

TEST(Win32Kernel, EventsAreSignaledResetAndWaitedFor) {
    Win32Kernel win32;
    platform::Kernel& kernel = win32;
    struct Case {
        BOOL manualReset;
        DWORD secondWait;  // after one wait has been satisfied
    };
    for (const Case c : {Case{FALSE, WAIT_TIMEOUT}, Case{TRUE, WAIT_OBJECT_0 + 1}}) {
        const UniqueHandle quiet(kernel.CreateEventW(nullptr, c.manualReset, FALSE, nullptr));
        const UniqueHandle event(kernel.CreateEventW(nullptr, c.manualReset, FALSE, nullptr));
        ASSERT_TRUE(quiet && event);
        const HANDLE both[] = {quiet.get(), event.get()};
        EXPECT_EQ(kernel.WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
        ASSERT_TRUE(kernel.SetEvent(event.get()));
        EXPECT_EQ(kernel.WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
        EXPECT_EQ(kernel.WaitForMultipleObjects(2, both, FALSE, 0), c.secondWait);
        ASSERT_TRUE(kernel.ResetEvent(event.get()));
        EXPECT_EQ(kernel.WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);

        // Most likely set while the wait blocks; set before it, the wait must end all the same.
        Thread setter(kernel, [&] {
            ::Sleep(10);
            kernel.SetEvent(event.get());
        });
        EXPECT_EQ(kernel.WaitForMultipleObjects(2, both, FALSE, kLongEnough), WAIT_OBJECT_0 + 1);
        setter.join();
    }
}

TEST(Win32Kernel, NamedEventsAreSharedAndOpenedByName) {
    Win32Kernel kernel;
    const std::wstring name = L"KelvoTestEvent" + std::to_wstring(::GetCurrentProcessId());
    const UniqueHandle created(kernel.CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(created);
    EXPECT_EQ(kernel.GetLastError(), 0u);
    const UniqueHandle again(kernel.CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(again);
    EXPECT_EQ(kernel.GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const UniqueHandle opened(
        kernel.OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()));
    ASSERT_TRUE(opened);
    ASSERT_TRUE(kernel.SetEvent(opened.get()));
    const HANDLE first[] = {created.get()};
    EXPECT_EQ(kernel.WaitForMultipleObjects(1, first, FALSE, 0), WAIT_OBJECT_0);

    EXPECT_EQ(kernel.OpenEventW(SYNCHRONIZE, FALSE, (name + L"Missing").c_str()), nullptr);
    EXPECT_EQ(kernel.GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const HANDLE withNull[] = {created.get(), nullptr};
    EXPECT_EQ(kernel.WaitForMultipleObjects(2, withNull, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(kernel.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE closing = kernel.CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(closing, nullptr);
    EXPECT_TRUE(kernel.CloseHandle(closing));
}

struct SleepCase {
    bool highResolution;
    DWORD milliseconds;
};

class Win32KernelSleep : public testing::TestWithParam<SleepCase> {};

TEST_P(Win32KernelSleep, LastsAtLeastTheTimeAskedAndKeepsTheLastError) {
    const SleepCase c = GetParam();
    Win32Kernel kernel(c.highResolution);
    if (!c.highResolution) {
        EXPECT_FALSE(kernel.SleepsOnHighResolutionTimer());
    }
    for (int round = 0; round < 5; ++round) {
        kernel.SetLastError(1450);
        const auto start = std::chrono::steady_clock::now();
        kernel.Sleep(c.milliseconds);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_GE(elapsed, std::chrono::milliseconds(c.milliseconds)) << "round " << round;
        EXPECT_EQ(kernel.GetLastError(), 1450u);
    }
}

INSTANTIATE_TEST_SUITE_P(TimerAndFallback, Win32KernelSleep,
                         testing::Values(SleepCase{true, 1}, SleepCase{true, 5},
                                         SleepCase{true, 16}, SleepCase{false, 1},
                                         SleepCase{false, 5}, SleepCase{false, 16}),
                         [](const testing::TestParamInfo<SleepCase>& info) {
                             return std::string(info.param.highResolution ? "Timer" : "Fallback") +
                                    std::to_string(info.param.milliseconds) + "ms";
                         });

TEST(Win32Kernel, UsesTheHighResolutionTimerWhenTheSystemHasOne) {
    const UniqueHandle probe(
        ::CreateWaitableTimerExW(nullptr, nullptr, 0x2, TIMER_ALL_ACCESS));  // high resolution
    EXPECT_EQ(Win32Kernel().SleepsOnHighResolutionTimer(), static_cast<bool>(probe));
    EXPECT_FALSE(Win32Kernel(false).SleepsOnHighResolutionTimer());
}

TEST(Win32Kernel, ThreadHandleIsRealAndCancelsItsSynchronousRead) {
    Win32Kernel kernel;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    const UniqueHandle reader(readEnd);
    const UniqueHandle writer(writeEnd);

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

TEST(Win32Kernel, JoiningClosesTheThreadHandle) {
    Win32Kernel kernel;
    DWORD before = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int i = 0; i < 20; ++i) {
        Thread worker(kernel, [] {});
        ASSERT_TRUE(WaitFor([&] { return worker.NativeHandle() != nullptr; }));
        worker.join();
    }
    DWORD after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
}

TEST(Win32Kernel, LocksExcludeEachOther) {
    Win32Kernel kernel;
    for (const bool recursive : {false, true}) {
        Mutex mutex(kernel, recursive);
        long counter = 0;  // deliberately not atomic: only the lock protects it
        std::vector<Thread> workers;
        for (int t = 0; t < 4; ++t) {
            workers.emplace_back(kernel, [&] {
                for (int i = 0; i < 20000; ++i) {
                    mutex.lock();
                    ++counter;
                    mutex.unlock();
                }
            });
        }
        for (Thread& worker : workers) worker.join();
        EXPECT_EQ(counter, 80000) << (recursive ? "recursive" : "plain");
    }
}

TEST(Win32Kernel, RecursiveLockIsReenteredAndFreedByTheLastUnlock) {
    Win32Kernel kernel;
    platform::RecursiveMutex mutex(kernel);
    mutex.lock();
    mutex.lock();
    mutex.lock();
    std::atomic<bool> acquired{false};
    Thread other(kernel, [&] {
        mutex.lock();
        acquired = true;
        mutex.unlock();
    });
    mutex.unlock();
    mutex.unlock();
    ::Sleep(20);
    EXPECT_FALSE(acquired);
    mutex.unlock();
    other.join();
    EXPECT_TRUE(acquired);
}

}  // namespace
