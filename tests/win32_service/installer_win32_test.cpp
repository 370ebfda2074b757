// Kelvo.exe as its own installer, and the service's last moments, under the service control
// manager: what a user installing, replacing or removing the service meets, what the service
// control manager, the event log and Explorer read from the executable and its registration, and
// what the service has said by the time it reports SERVICE_STOPPED.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "kelvo_exe.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"

namespace {

using kelvo_exe::kServiceName;
using kelvo_exe::ScHandle;
using kelvo_exe::Start;
using kelvo_exe::State;
using kelvo_exe::Stop;
using platform::win32::UniqueHandle;

constexpr const wchar_t* kEventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ambrel Manager";
constexpr const wchar_t* kAppIdKey = L"AppID\\{45A1373F-67AC-419B-964A-9478A683A046}";
constexpr const wchar_t* kExeAppIdKey = L"AppID\\AMBMan.EXE";
constexpr DWORD kStopMilliseconds = 10000;
constexpr DWORD kMarkedForDeletion = 0x80070430;  // HRESULT_FROM_WIN32(1072)
constexpr const char* kMarkedMessage =
    "Service is marked for deletion: close the programs that hold it open, or restart Windows, "
    "then try again";
// The desktop of the window station Wine runs services on, which has no WSF_VISIBLE (only WinSta0
// has it): nobody can see a window there, or close it.
constexpr const wchar_t* kHiddenDesktop = L"__wineservice_winstation\\Default";

// A registry value as "type:text" (a number in decimal), or "-" when it cannot be read.
std::wstring Value(HKEY root, const wchar_t* key, const wchar_t* name) {
    wchar_t data[512] = {};
    DWORD type = REG_NONE, size = sizeof(data) - sizeof(wchar_t), number = 0;
    if (::RegGetValueW(root, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) !=
        ERROR_SUCCESS) {
        return L"-";
    }
    std::memcpy(&number, data, sizeof number);
    return std::to_wstring(type) + L":" + (type == REG_DWORD ? std::to_wstring(number) : data);
}

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
        EXPECT_EQ(Installer(L"-UnregServer"), 0u);  // a running service is stopped first
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

    const ScHandle _manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    const kelvo_exe::ScopedValue _absentController{L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch",
                                                   L"SOFTWARE\\Corvane", L"PID", 0x0001};
};

using KelvoServiceStop = KelvoInstaller;

// Installing again while the service runs replaces it. The old one is stopped first, so that it
// is removed at once rather than only marked for deletion, which would refuse the new one.
TEST_F(KelvoInstaller, InstallingAgainStopsTheRunningServiceAndReplacesIt) {
    ASSERT_EQ(Installer(L"-Service"), 0u);
    // Closed before the installer runs: a handle held here would keep the old service.
    ASSERT_TRUE(Start(Open(SERVICE_START | SERVICE_QUERY_STATUS).get())) << ::GetLastError();
    std::string error;
    EXPECT_EQ(Installer(L"-Service", &error), 0u) << error;

    const ScHandle service = Open(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS |
                                  SERVICE_CHANGE_CONFIG);
    ASSERT_NE(service.get(), nullptr) << ::GetLastError();
    // A service marked for deletion refuses any change of its configuration, even none; Wine
    // starts one all the same.
    EXPECT_TRUE(::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                       SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, nullptr))
        << ::GetLastError();
    ASSERT_TRUE(Start(service.get())) << ::GetLastError() << ", state " << State(service.get());
    EXPECT_TRUE(Stop(service.get())) << ::GetLastError() << ", state " << State(service.get());
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

// What installing writes: the service as the control manager keeps it, the AppID that tells the
// program it is a service, and the event source, through which the event log finds the service's
// texts in Kelvo.exe's message table (message 0 is its one insertion string as it stands).
// Removing a service that is not running takes all of it away and has nothing to complain of.
TEST_F(KelvoInstaller, RegistersTheEventSourceWithTheServiceAndRemovesItWithIt) {
    ASSERT_EQ(Installer(L"-Service"), 0u);
    const std::wstring path = kelvo_exe::KelvoPath();
    const struct {
        HKEY root;
        const wchar_t *key, *name;
        std::wstring value;
    } values[] = {
        {HKEY_CLASSES_ROOT, kAppIdKey, nullptr, L"1:AmbrelManager"},
        {HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService", L"1:Ambrel Manager"},
        {HKEY_CLASSES_ROOT, kExeAppIdKey, L"AppID", L"1:{45A1373F-67AC-419B-964A-9478A683A046}"},
        {HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile", L"2:" + path},
        {HKEY_LOCAL_MACHINE, kEventSourceKey, L"TypesSupported", L"4:7"},  // error, warning, info
    };
    for (const auto& v : values) EXPECT_EQ(Value(v.root, v.key, v.name), v.value);
    {
        // Wine's ChangeServiceConfigW drops the dependencies when given none to change (Windows
        // keeps them), so they are not looked at here.
        const ScHandle service = Open(SERVICE_QUERY_CONFIG);
        std::vector<BYTE> buffer(8192);
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        DWORD needed = 0;
        ASSERT_TRUE(::QueryServiceConfigW(service.get(), c, 8192, &needed));
        EXPECT_EQ(std::to_wstring(c->dwServiceType) + L" " + std::to_wstring(c->dwStartType) + L" " +
                      std::to_wstring(c->dwErrorControl) + L" " + c->lpBinaryPathName + L" " +
                      c->lpDisplayName + L" " + c->lpServiceStartName,
                  L"16 2 1 \"" + path + L"\" Ambrel Manager LocalSystem");  // own process, auto
    }  // closed before the removal, which it would keep

    const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&::FreeLibrary)> module(
        ::LoadLibraryExW(path.c_str(), nullptr,
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

    std::string error;
    EXPECT_EQ(Installer(L"-UnregServer", &error), 0u);
    EXPECT_EQ(error, "");
    for (const auto& v : values) {
        HKEY opened = nullptr;
        EXPECT_EQ(::RegOpenKeyExW(v.root, v.key, 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
        if (opened != nullptr) ::RegCloseKey(opened);
    }
    ::SetLastError(0);
    EXPECT_EQ(Open(SERVICE_QUERY_STATUS).get(), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

// What Explorer's properties and installers read from Kelvo.exe: 1.0.471.0 throughout.
TEST(KelvoExe, CarriesItsVersion) {
    const std::wstring path = kelvo_exe::KelvoPath();
    DWORD ignored = 0;
    std::vector<BYTE> info(::GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty()) << "no version resource: error " << ::GetLastError();
    ASSERT_TRUE(
        ::GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    std::map<std::wstring, std::wstring> expected = {
        {L"CompanyName", L"Kelvo"},         {L"FileDescription", L"Kelvo tablet frame service"},
        {L"FileVersion", L"1.0.471.0"},     {L"InternalName", L"Kelvo"},
        {L"OriginalFilename", L"Kelvo.exe"}, {L"ProductName", L"Kelvo"},
        {L"ProductVersion", L"1.0.471.0"},
    };
    std::map<std::wstring, std::wstring> found;
    void* value = nullptr;
    UINT length = 0;
    for (const auto& [name, text] : expected) {
        const std::wstring query = L"\\StringFileInfo\\040904B0\\" + name;
        if (::VerQueryValueW(info.data(), query.c_str(), &value, &length) && length != 0) {
            found[name] = static_cast<const wchar_t*>(value);
        }
    }
    if (::VerQueryValueW(info.data(), L"\\", &value, &length) &&
        length >= sizeof(VS_FIXEDFILEINFO)) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        for (const DWORD part : {fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                 fixed->dwProductVersionMS, fixed->dwProductVersionLS}) {
            found[L"(fixed)"] += std::to_wstring(HIWORD(part)) + L"." + std::to_wstring(LOWORD(part)) + L".";
        }
    }
    expected[L"(fixed)"] = L"1.0.471.0.1.0.471.0.";
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

// Windows may end a service's process at any moment once the service has reported
// SERVICE_STOPPED, so the service thread says all it has to say before. This process ends the
// service's process the moment it sees the state, a few times over, and finds the service
// thread's last lines in the trace each time. The trace is written through to the file line by
// line.
TEST_F(KelvoServiceStop, ReportsStoppedOnlyAfterItsLastTraceLines) {
    wchar_t directory[MAX_PATH + 1];
    const std::wstring trace =
        std::wstring(directory, ::GetTempPathW(MAX_PATH + 1, directory)) + L"kelvo_stop.log";
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
        ASSERT_TRUE(Start(service.get())) << ::GetLastError() << ", state " << State(service.get());
        SERVICE_STATUS_PROCESS running{};
        DWORD needed = 0;
        ASSERT_TRUE(::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                                           reinterpret_cast<BYTE*>(&running), sizeof(running),
                                           &needed));
        const UniqueHandle process(
            ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, running.dwProcessId));
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
        EXPECT_EQ(LastWords(std::string(trace.begin(), trace.end())),
                  (std::vector<std::string>{"L5 Run returned: 0", kServiceStopped,
                                            kServiceMainLeft}));
    }
}

}  // namespace
