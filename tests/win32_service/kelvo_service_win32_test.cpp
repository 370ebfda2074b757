// Kelvo.exe as the service control manager runs it. This program plays the other components of
// the system: it creates the two touch events the touch manager signals (there is no touch
// controller here, so the touch manager uses them), and it sets the frame-toggle hot key.
//
// Both system metrics read 0 here, so the service starts in tablet mode, shows the frame and
// signals the disable event; the toggle hides the frame and signals the enable event.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"

namespace {

using platform::win32::UniqueHandle;

constexpr const wchar_t* kServiceName = L"Ambrel Manager";
constexpr const wchar_t* kAppId = L"{45A1373F-67AC-419B-964A-9478A683A046}";
constexpr const wchar_t* kAppIdKey = L"AppID\\{45A1373F-67AC-419B-964A-9478A683A046}";
constexpr const wchar_t* kEnableEvent = L"Global\\E1B3BA36-271D-421D-B020-610D3533D14F";
constexpr const wchar_t* kDisableEvent = L"Global\\D541C07D-A31D-4F4E-BF71-0BE5AA3EF88C";
constexpr const wchar_t* kToggleHotKey = L"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64";
// Generous bounds for a loaded machine; the test is about what happens, not how fast.
constexpr DWORD kStartMilliseconds = 30000;
constexpr DWORD kStopMilliseconds = 10000;

// Kelvo.exe as Windows programs here see it: the build tree lies on drive Z:.
std::wstring KelvoPath() {
    std::wstring path = L"Z:";
    for (const char c : std::string(KELVO_EXE_PATH)) path.push_back(c == '/' ? L'\\' : c);
    return path;
}

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : _handle(handle) {}
    ~ScHandle() {
        if (_handle != nullptr) ::CloseServiceHandle(_handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return _handle; }

private:
    SC_HANDLE _handle;
};

// Runs Kelvo.exe with the arguments to its end; its exit code.
DWORD RunKelvo(const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + KelvoPath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW failed: " << ::GetLastError();
        return 0xFFFFFFFF;
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ADD_FAILURE() << "Kelvo.exe did not end";
        return 0xFFFFFFFF;
    }
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    return exitCode;
}

DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool WaitForState(SC_HANDLE service, DWORD state, DWORD milliseconds) {
    for (DWORD waited = 0; waited < milliseconds; waited += 50) {
        if (State(service) == state) return true;
        ::Sleep(50);
    }
    return State(service) == state;
}

// A string value under HKEY_CLASSES_ROOT, or "-" when it cannot be read.
std::wstring ReadString(const wchar_t* path, const wchar_t* name) {
    wchar_t value[512];
    DWORD size = sizeof(value);
    const LSTATUS status =
        ::RegGetValueW(HKEY_CLASSES_ROOT, path, name, RRF_RT_REG_SZ, nullptr, value, &size);
    return status == ERROR_SUCCESS ? std::wstring(value) : L"-";
}

bool KeyExists(const wchar_t* path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    ::RegCloseKey(key);
    return true;
}

// The hot-key event, once the service's hot-keys thread has created it.
UniqueHandle OpenHotKey(const wchar_t* name) {
    for (DWORD waited = 0; waited < kStartMilliseconds; waited += 50) {
        if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name))
            return UniqueHandle(event);
        ::Sleep(50);
    }
    return UniqueHandle();
}

// Presses the hot key until the event comes. The hot-keys thread starts before the monitor's
// window exists, and a press it sees before then has no window to go to and is lost; nothing
// outside the service can tell when the window is there (it lives on the service's desktop).
bool PressUntil(HANDLE hotKey, HANDLE event) {
    for (DWORD waited = 0; waited < kStartMilliseconds; waited += 500) {
        if (!::SetEvent(hotKey)) return false;
        if (::WaitForSingleObject(event, 500) == WAIT_OBJECT_0) return true;
    }
    return false;
}

TEST(KelvoService, RunsUnderTheServiceControlManager) {
    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_NE(manager.get(), nullptr);
    // What a run that failed half way left behind.
    RunKelvo(L"-UnregServer");

    // Created first and manual-reset, so that no signal is missed.
    UniqueHandle enable(::CreateEventW(nullptr, TRUE, FALSE, kEnableEvent));
    UniqueHandle disable(::CreateEventW(nullptr, TRUE, FALSE, kDisableEvent));
    ASSERT_TRUE(enable && disable);

    ASSERT_EQ(RunKelvo(L"-Service"), 0u);
    EXPECT_EQ(ReadString(kAppIdKey, nullptr), L"AmbrelManager");
    EXPECT_EQ(ReadString(kAppIdKey, L"LocalService"), kServiceName);
    EXPECT_EQ(ReadString(L"AppID\\AMBMan.EXE", L"AppID"), kAppId);
    {
        ScHandle service(::OpenServiceW(
            manager.get(), kServiceName,
            SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
        ASSERT_NE(service.get(), nullptr) << ::GetLastError();
        // Wine's ChangeServiceConfigW drops the dependencies when given none to change (Windows
        // keeps them), so they are not looked at here.
        std::vector<BYTE> buffer(8192);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        DWORD needed = 0;
        ASSERT_TRUE(::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()),
                                          &needed));
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + KelvoPath() + L"\"");
        EXPECT_EQ(std::wstring(config->lpServiceStartName), L"LocalSystem");

        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
        ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, kStartMilliseconds))
            << "state " << State(service.get());

        // Tablet mode: the frame is shown, touch in its band is switched off.
        ASSERT_EQ(::WaitForSingleObject(disable.get(), kStartMilliseconds), WAIT_OBJECT_0);
        ASSERT_TRUE(::ResetEvent(enable.get()));

        UniqueHandle toggle = OpenHotKey(kToggleHotKey);
        ASSERT_TRUE(toggle) << ::GetLastError();
        // The frame goes, touch in the band comes back.
        EXPECT_TRUE(PressUntil(toggle.get(), enable.get()));

        SERVICE_STATUS status{};
        ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            << ::GetLastError();
        EXPECT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, kStopMilliseconds))
            << "state " << State(service.get());
    }

    EXPECT_EQ(RunKelvo(L"-UnregServer"), 0u);
    ::SetLastError(0);
    ScHandle gone(::OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
    EXPECT_EQ(gone.get(), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_FALSE(KeyExists(kAppIdKey));
    EXPECT_FALSE(KeyExists(L"AppID\\AMBMan.EXE"));
}

}  // namespace
