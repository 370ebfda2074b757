// Kelvo.exe as its own installer, and the service's last moments, under the service control
// manager: what a user installing, replacing or removing the service meets, what the event log
// and Explorer read from the executable, and what the service has said by the time it reports
// SERVICE_STOPPED.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kelvo_exe.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"

namespace {

using kelvo_exe::kServiceName;
using kelvo_exe::ScHandle;
using kelvo_exe::State;
using kelvo_exe::WaitForState;
using platform::win32::UniqueHandle;

constexpr const wchar_t* kEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ambrel Manager";
constexpr DWORD kStartMilliseconds = 30000;
constexpr DWORD kStopMilliseconds = 10000;
constexpr DWORD kMarkedForDeletion = 0x80070430;  // HRESULT_FROM_WIN32(1072)
constexpr const char* kMarkedMessage =
    "Service is marked for deletion: close the programs that hold it open, or restart Windows, "
    "then try again";
// The desktop of the window station Wine runs services on, which has no WSF_VISIBLE (only WinSta0
// has it): nobody can see a window there, or close it.
constexpr const wchar_t* kHiddenDesktop = L"__wineservice_winstation\\Default";

// The service is removed before and after each test, however it ended. The installer runs on the
// hidden desktop throughout: a message box there cannot hold a test up for longer than the run's
// bound.
class KelvoInstaller : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(_manager.get(), nullptr) << ::GetLastError();
        // The substitute touch controller may be installed in this prefix: a product id that no
        // device has leaves the service without one.
        ASSERT_EQ(_absentController.status(), ERROR_SUCCESS);
        Installer(L"-UnregServer");
    }
    void TearDown() override {
        {
            ScHandle service(
                ::OpenServiceW(_manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
            SERVICE_STATUS status{};
            if (service.get() != nullptr &&
                ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
                WaitForState(service.get(), SERVICE_STOPPED, kStopMilliseconds);
            }
        }
        EXPECT_EQ(Installer(L"-UnregServer"), 0u);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    }

    // Kelvo.exe run to its end on the hidden desktop: its exit code, 0xFFFFFFFF when it did not
    // end; what it wrote to standard error goes to standardError when one is given.
    static DWORD Installer(const std::wstring& arguments, std::string* standardError = nullptr) {
        return kelvo_exe::Run(arguments, kHiddenDesktop, standardError).value_or(0xFFFFFFFF);
    }

    ScHandle Open(DWORD access) const {
        return ScHandle(::OpenServiceW(_manager.get(), kServiceName, access));
    }

    ScHandle _manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    const kelvo_exe::ScopedValue _absentController{L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch",
                                                   L"SOFTWARE\\Corvane", L"PID", 0x0001};
};

using KelvoServiceStop = KelvoInstaller;

// Installing again while the service runs replaces it. The old one is stopped first, so that it
// is removed at once rather than only marked for deletion, which would refuse the new one.
TEST_F(KelvoInstaller, InstallingAgainStopsTheRunningServiceAndReplacesIt) {
    ASSERT_EQ(Installer(L"-Service"), 0u);
    {
        // Closed before the installer runs: a handle held here would keep the old service.
        const ScHandle service = Open(SERVICE_START | SERVICE_QUERY_STATUS);
        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
        ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, kStartMilliseconds))
            << "state " << State(service.get());
    }
    std::string error;
    EXPECT_EQ(Installer(L"-Service", &error), 0u) << error;

    const ScHandle service = Open(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS |
                                  SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG);
    ASSERT_NE(service.get(), nullptr) << ::GetLastError();
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    ASSERT_TRUE(
        ::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    // A service marked for deletion refuses any change of its configuration, even none; Wine
    // starts one all the same.
    EXPECT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr))
        << ::GetLastError();
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
    ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, kStartMilliseconds))
        << "state " << State(service.get());
    SERVICE_STATUS status{};
    ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << ::GetLastError();
    EXPECT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, kStopMilliseconds))
        << "state " << State(service.get());
}

// While another program holds the service open, removing it only marks it for deletion, and it
// can be neither removed nor created again until that program lets go. The installer says so and
// ends; where no window can be seen it says it on standard error, not in a message box that
// would wait for ever.
TEST_F(KelvoInstaller, SaysOnStandardErrorWhereNoWindowCanBeSeenThatTheServiceIsMarked) {
    for (const wchar_t* then : {L"-UnregServer", L"-Service"}) {
        SCOPED_TRACE(testing::Message() << L"then " << then);
        ASSERT_EQ(Installer(L"-Service"), 0u);
        const ScHandle held = Open(SERVICE_QUERY_STATUS);
        ASSERT_NE(held.get(), nullptr) << ::GetLastError();
        ASSERT_EQ(Installer(L"-UnregServer"), 0u);

        std::string error;
        EXPECT_EQ(Installer(then, &error), kMarkedForDeletion) << "4294967295: it did not end";
        EXPECT_TRUE(error == kMarkedMessage + std::string("\r\n") ||
                    error == kMarkedMessage + std::string("\n"))
            << "standard error: " << error;
    }  // with the last handle gone, the marked service goes
}

// The event log finds the service's texts through the source's registration: Kelvo.exe's message
// table, whose message 0 is its one insertion string as it stands.
TEST_F(KelvoInstaller, RegistersTheEventSourceWithTheServiceAndRemovesItWithIt) {
    ASSERT_EQ(Installer(L"-Service"), 0u);
    wchar_t file[MAX_PATH] = {};
    DWORD type = REG_NONE, size = sizeof(file);
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile",
                             RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, file, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(std::wstring(file), kelvo_exe::KelvoPath());
    DWORD types = 0;
    size = sizeof(types);
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"TypesSupported",
                             RRF_RT_REG_DWORD, nullptr, &types, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);  // error, warning, information

    wchar_t expanded[MAX_PATH] = {};
    ASSERT_NE(::ExpandEnvironmentStringsW(file, expanded, MAX_PATH), 0u);
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&::FreeLibrary)> module(
        ::LoadLibraryExW(expanded, nullptr,
                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE),
        &::FreeLibrary);
    ASSERT_NE(module, nullptr) << ::GetLastError();
    const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(L"Service stopped")};
    wchar_t* text = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                             FORMAT_MESSAGE_ALLOCATE_BUFFER,
                         module.get(), 0, 0, reinterpret_cast<wchar_t*>(&text), 0,
                         reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
    const std::wstring message = text != nullptr ? std::wstring(text, length) : L"-";
    ::LocalFree(text);
    EXPECT_EQ(message, L"Service stopped") << "error " << ::GetLastError();

    EXPECT_EQ(Installer(L"-UnregServer"), 0u);
    HKEY key = nullptr;
    const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, KEY_READ, &key);
    if (key != nullptr) ::RegCloseKey(key);
    EXPECT_EQ(opened, ERROR_FILE_NOT_FOUND);
}

// What Explorer's properties and installers read from Kelvo.exe.
TEST(KelvoExe, CarriesItsVersion) {
    const std::wstring path = kelvo_exe::KelvoPath();
    DWORD ignored = 0;
    std::vector<BYTE> info(::GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty()) << "no version resource: error " << ::GetLastError();
    ASSERT_TRUE(
        ::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    std::map<std::wstring, std::wstring> found;
    void* value = nullptr;
    UINT length = 0;
    if (::VerQueryValueW(info.data(), L"\\", &value, &length) &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        const auto version = [](DWORD high, DWORD low) {
            return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." +
                   std::to_wstring(HIWORD(low)) + L"." + std::to_wstring(LOWORD(low));
        };
        found[L"(fixed) file version"] = version(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        found[L"(fixed) product version"] =
            version(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    }
    const std::map<std::wstring, std::wstring> expected = {
        {L"(fixed) file version", L"1.0.471.0"},
        {L"(fixed) product version", L"1.0.471.0"},
        {L"CompanyName", L"Kelvo"},
        {L"FileDescription", L"Kelvo tablet frame service"},
        {L"FileVersion", L"1.0.471.0"},
        {L"InternalName", L"Kelvo"},
        {L"OriginalFilename", L"Kelvo.exe"},
        {L"ProductName", L"Kelvo"},
        {L"ProductVersion", L"1.0.471.0"},
    };
    for (const auto& [name, text] : expected) {
        if (name[0] == L'(') continue;
        const std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
        if (::VerQueryValueW(info.data(), query.c_str(), &value, &length) && length != 0) {
            found[name] = static_cast<const wchar_t*>(value);
        }
    }
    EXPECT_EQ(found, expected);
}

// ---- The service's last moments ----

constexpr const char* kServiceStopped = "L5 Service stopped";
constexpr const char* kServiceMainLeft =
    "L5 <<< void __cdecl CKelvoModule::ServiceMain(unsigned long,wchar_t **) throw()";

// The lines of the trace only the service thread writes at its end, from its last "Run returned"
// on.
std::vector<std::string> LastWords(const std::string& trace) {
    std::vector<std::string> words;
    for (const std::string& line : kelvo_exe::FileLines(trace)) {
        if (line.rfind("L5 Run returned: ", 0) == 0) {
            words = {line};
        } else if (!words.empty() && (line == kServiceStopped || line == kServiceMainLeft)) {
            words.push_back(line);
        }
    }
    return words;
}

DWORD ProcessId(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof(status), &needed)
               ? status.dwProcessId
               : 0;
}

// Windows may end a service's process at any moment once the service has reported
// SERVICE_STOPPED, so the service thread says all it has to say before. This process ends the
// service's process the moment it sees the state, a few times over, and finds the service
// thread's last lines in the trace each time. The trace is written through to the file line by
// line.
TEST_F(KelvoServiceStop, ReportsStoppedOnlyAfterItsLastTraceLines) {
    wchar_t directory[MAX_PATH + 1];
    const std::wstring trace =
        std::wstring(directory, ::GetTempPathW(MAX_PATH + 1, directory)) + L"kelvo_stop.log";
    const std::string traceFile(trace.begin(), trace.end());  // the temporary path is ASCII here
    const kelvo_exe::ScopedValue tracing(L"SOFTWARE\\Kelvo\\Development", L"SOFTWARE\\Kelvo",
                                         L"TraceFile", trace);
    ASSERT_EQ(tracing.status(), ERROR_SUCCESS);
    const std::unique_ptr<const wchar_t, decltype(&::DeleteFileW)> removal(trace.c_str(),
                                                                           &::DeleteFileW);
    ASSERT_EQ(Installer(L"-Service"), 0u);
    const ScHandle service = Open(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    ASSERT_NE(service.get(), nullptr) << ::GetLastError();

    for (int cycle = 1; cycle <= 5; ++cycle) {
        SCOPED_TRACE(testing::Message() << "cycle " << cycle);
        ::DeleteFileW(trace.c_str());
        ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();
        ASSERT_TRUE(WaitForState(service.get(), SERVICE_RUNNING, kStartMilliseconds))
            << "state " << State(service.get());
        const UniqueHandle process(
            ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, ProcessId(service.get())));
        ASSERT_TRUE(process) << ::GetLastError();
        SERVICE_STATUS status{};
        ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
            << ::GetLastError();
        // No pause between looks: the sooner the process ends, the less it can say too late.
        const ULONGLONG deadline = ::GetTickCount64() + kStopMilliseconds;
        while (State(service.get()) != SERVICE_STOPPED && ::GetTickCount64() < deadline) {
        }
        ::TerminateProcess(process.get(), 1);
        ASSERT_EQ(::WaitForSingleObject(process.get(), kStopMilliseconds), WAIT_OBJECT_0);
        ASSERT_EQ(State(service.get()), static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(
            LastWords(traceFile),
            (std::vector<std::string>{"L5 Run returned: 0", kServiceStopped, kServiceMainLeft}));
    }
}

}  // namespace
