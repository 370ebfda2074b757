// The window manager as the monitor uses it, against the real one (under Wine on Linux): the
// answers the simulated window manager imitates (thread timers, the version test) and what only
// the real system shows (record layouts, the memory a message parameter points into). The monitor's own run on it (tests/win32_events) shows the
// rest: its window found, messages posted and sent to it from other threads and processes, its
// registrations, its loop ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "platform/win32/windowing_win32.h"
#include "platform/windowing.h"

using platform::win32::Win32Windowing;

namespace {

// The record layouts the system builds or reads, as Windows has them (32-bit Windows: shorter
// pointers).
static_assert(sizeof(WNDCLASSEXW) == (sizeof(void*) == 8 ? 80 : 48));
static_assert(sizeof(OSVERSIONINFOEXW) == 284);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);
static_assert(offsetof(POWERBROADCAST_SETTING, Data) == 20);
// The functions the monitor looks up at run time are called as the system declares them: a
// calling convention left out corrupts the stack on 32-bit Windows.
static_assert(std::is_same_v<platform::RegisterSuspendResumeNotificationFn,
                             decltype(&::RegisterSuspendResumeNotification)>);
static_assert(std::is_same_v<platform::UnregisterSuspendResumeNotificationFn,
                             decltype(&::UnregisterSuspendResumeNotification)>);

Win32Windowing g_windowing;

void CALLBACK IgnoreTimer(HWND, UINT, UINT_PTR, DWORD) {}

// Without a window the system names a thread timer itself, whatever it was asked for (the
// controller keeps the name it is given), unless asked for by the name of one of the thread's
// timers, which then starts over; a timer killed is gone. How its messages reach the procedure
// through the monitor's loop is in tests/win32_events.
TEST(Win32Windowing, ThreadTimersAreNamedByTheSystem) {
    Win32Windowing& w = g_windowing;
    const UINT_PTR id = w.SetTimer(nullptr, 3721, 60000, IgnoreTimer);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, 3721u);
    EXPECT_EQ(w.SetTimer(nullptr, id, 60000, IgnoreTimer), id);
    const UINT_PTR other = w.SetTimer(nullptr, 0, 60000, IgnoreTimer);
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, id);
    EXPECT_TRUE(w.KillTimer(nullptr, id));
    EXPECT_TRUE(w.KillTimer(nullptr, other));
    ::SetLastError(0);
    EXPECT_FALSE(w.KillTimer(nullptr, id));  // one timer went with the first kill
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A program without a compatibility manifest, as this one, is told 6.2 on any later Windows (Wine
// does the same with the test prefix's Windows 10); 6.2 is all the monitor asks for.
TEST(Win32Windowing, VersionTestJudgesMajorAndMinorTogether) {
    Win32Windowing& w = g_windowing;
    const ULONGLONG mask = w.VerSetConditionMask(
        w.VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), VER_MINORVERSION,
        VER_GREATER_EQUAL);
    EXPECT_EQ(mask, 0x1Bu);  // three bits a field, minor first
    struct Version {
        DWORD major, minor;
        bool atLeast;
    };
    for (const Version v : {Version{5, 9, true}, Version{6, 2, true}, Version{11, 0, false},
                            Version{99, 2, false}}) {
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof info;
        info.dwMajorVersion = v.major;
        info.dwMinorVersion = v.minor;
        ::SetLastError(0);
        EXPECT_EQ(w.VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, mask) != 0,
                  v.atLeast)
            << v.major << "." << v.minor;
        EXPECT_EQ(::GetLastError(), v.atLeast ? 0u : 1150u);  // ERROR_OLD_WIN_VERSION
    }
}

// Pages of every kind a message parameter could point into.
struct ForeignPages {
    static BYTE* Allocate(SIZE_T pages, DWORD type, DWORD protection) {
        return static_cast<BYTE*>(::VirtualAlloc(nullptr, pages * 4096, type, protection));
    }
    ForeignPages() {
        DWORD old = 0;
        for (SIZE_T i = 0; i < 4096; ++i) readable[i] = static_cast<BYTE>(i * 7);
        ::VirtualProtect(noAccess, 4096, PAGE_NOACCESS, &old);
        ::VirtualFree(freed, 0, MEM_RELEASE);
    }
    ~ForeignPages() {
        for (BYTE* p : {readable, reserved, guard}) ::VirtualFree(p, 0, MEM_RELEASE);
    }
    BYTE* const readable = Allocate(2, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    BYTE* const noAccess = readable + 4096;  // the second page, made so above
    BYTE* const reserved = Allocate(1, MEM_RESERVE, PAGE_NOACCESS);
    BYTE* const guard = Allocate(1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE | PAGE_GUARD);
    BYTE* const freed = Allocate(1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
};

TEST(Win32Windowing, ForeignMemoryIsCopiedOnlyWhenAllOfItCanBeRead) {
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    ASSERT_EQ(system.dwPageSize, 4096u);
    // Allocated first: nothing may take the freed page's place before the reads.
    std::vector<BYTE> buffer(4096);
    const ForeignPages p;
    // In the system's half of the address space; on 32-bit Windows in the last 64 KB, which a
    // program never gets even where it may use all 4 GB.
    const auto* kernel = reinterpret_cast<const BYTE*>(
        sizeof(void*) == 8 ? static_cast<std::uintptr_t>(0xFFFF800000000000) : 0xFFFF0000);
    const struct {
        const char* name;
        const BYTE* address;
        SIZE_T size;
        bool readable;
    } cases[] = {
        {"whole readable page", p.readable, 4096, true},
        {"last bytes before a no-access page", p.noAccess - 20, 20, true},
        {"record running into a no-access page", p.noAccess - 20, 21, false},
        {"no-access page", p.noAccess, 4, false},
        {"reserved page", p.reserved, 4, false},
        {"guard page", p.guard, 4, false},
        {"freed page", p.freed, 4, false},
        {"null", nullptr, 4, false},
        {"low address", reinterpret_cast<const BYTE*>(std::uintptr_t{0x1000}), 4, false},
        {"kernel address", kernel, 4, false},
        // Refused before anything is copied, however large it is.
        {"range wrapping the address space", p.readable, ~SIZE_T{0} - 100, false},
    };
    for (const auto& c : cases) {
        std::fill(buffer.begin(), buffer.end(), BYTE{0xEE});
        ::SetLastError(0);
        const bool read = g_windowing.ReadForeignMemory(c.address, buffer.data(), c.size);
        EXPECT_EQ(read, c.readable) << c.name;
        if (read) {
            EXPECT_EQ(std::memcmp(buffer.data(), c.address, c.size), 0) << c.name;
        } else {
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NOACCESS)) << c.name;
        }
    }
}

}  // namespace
