#include <gtest/gtest.h>

#include <cwchar>
#include <cwctype>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/services_win32.h"

using platform::win32::Win32Services;

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && Lower(text.substr(text.size() - tail.size())) == tail;
}

// Closes a control manager or service handle through the backend.
class ScHandle {
public:
    ScHandle(Win32Services& services, SC_HANDLE handle) : _services(services), _handle(handle) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() { reset(); }
    SC_HANDLE get() const { return _handle; }
    explicit operator bool() const { return _handle != nullptr; }
    void reset() {
        if (_handle) {
            EXPECT_TRUE(_services.CloseServiceHandle(std::exchange(_handle, nullptr)));
        }
    }

private:
    Win32Services& _services;
    SC_HANDLE _handle;
};

// A control handler that takes nothing; only its registration matters.
DWORD WINAPI IgnoreControl(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }

struct InstalledConfig {
    DWORD serviceType, startType, errorControl;
    std::wstring binaryPath, displayName, account;
};

InstalledConfig Query(SC_HANDLE service) {
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    if (!::QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
        ADD_FAILURE() << "QueryServiceConfigW failed: " << ::GetLastError();
        return {};
    }
    auto text = [](LPCWSTR s) { return std::wstring(s ? s : L""); };
    return InstalledConfig{config->dwServiceType,       config->dwStartType,
                           config->dwErrorControl,      text(config->lpBinaryPathName),
                           text(config->lpDisplayName), text(config->lpServiceStartName)};
}

class Win32ServicesTest : public testing::Test {
protected:
    Win32Services services;
    // Unique to the run, so that parallel runs and leftovers of a crashed one do not meet.
    const std::wstring name = L"KelvoTestService" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring path = L"\"C:\\Program Files\\Kelvo Test\\KelvoTest.exe\"";

    SC_HANDLE Create(SC_HANDLE manager) {
        return services.CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, path.c_str(), nullptr, nullptr,
                                       L"RPCSS\0", nullptr, nullptr);
    }
};

TEST_F(Win32ServicesTest, ControlManagerOpensForConnectingAndForEverything) {
    for (const DWORD access : {DWORD{SC_MANAGER_CONNECT}, DWORD{SC_MANAGER_ALL_ACCESS}}) {
        ScHandle manager(services, services.OpenSCManagerW(nullptr, nullptr, access));
        EXPECT_TRUE(manager) << "access 0x" << std::hex << access;
    }
}

// The life of an installed service as registration and removal see it: created on demand,
// changed to start automatically, refused a stop while it is not running, marked for deletion
// and gone once its last handle is closed.
TEST_F(Win32ServicesTest, ServiceIsCreatedReconfiguredAndDeleted) {
    ScHandle manager(services, services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    ScHandle service(services, Create(manager.get()));
    ASSERT_TRUE(service) << ::GetLastError();

    InstalledConfig config = Query(service.get());
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.binaryPath, path);
    EXPECT_EQ(config.displayName, name);
    EXPECT_EQ(config.account, L"LocalSystem");

    {
        ScHandle changing(
            services, services.OpenServiceW(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG));
        ASSERT_TRUE(changing);
        EXPECT_TRUE(services.ChangeServiceConfigW(
            changing.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr,
            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    }
    config = Query(service.get());
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.binaryPath, path);

    SERVICE_STATUS status{};
    ::SetLastError(0);
    EXPECT_FALSE(services.ControlService(service.get(), SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));

    ASSERT_TRUE(services.DeleteService(service.get()));
    ::SetLastError(0);
    EXPECT_FALSE(services.DeleteService(service.get()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    ::SetLastError(0);
    EXPECT_EQ(Create(manager.get()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

    service.reset();
    ::SetLastError(0);
    EXPECT_EQ(services.OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

struct Refusal {
    const char* name;
    std::function<bool(Win32Services&, SC_HANDLE manager, const std::wstring& name)> call;
    DWORD error;
};

// What a process that the control manager did not start meets. (Starting the dispatcher there
// is left out: under Wine it waits for a control manager that never calls.)
TEST_F(Win32ServicesTest, RefusalsLeaveTheirLastError) {
    const Refusal refusals[] = {
        {"open a service that is not installed",
         [](Win32Services& s, SC_HANDLE m, const std::wstring&) {
             return s.OpenServiceW(m, L"KelvoNoSuchService", SERVICE_QUERY_STATUS) != nullptr;
         },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"control handler outside a service",
         [](Win32Services& s, SC_HANDLE, const std::wstring& n) {
             return s.RegisterServiceCtrlHandlerExW(n.c_str(), IgnoreControl, nullptr) != nullptr;
         },
         ERROR_SERVICE_DOES_NOT_EXIST},
        {"status without a handle",
         [](Win32Services& s, SC_HANDLE, const std::wstring&) {
             SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
             return s.SetServiceStatus(nullptr, &status) != FALSE;
         },
         ERROR_INVALID_HANDLE},
    };
    ScHandle manager(services, services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    for (const Refusal& r : refusals) {
        ::SetLastError(0);
        EXPECT_FALSE(r.call(services, manager.get(), name)) << r.name;
        EXPECT_EQ(::GetLastError(), r.error) << r.name;
    }
}

TEST_F(Win32ServicesTest, CreatingAnInstalledServiceAgainIsRefused) {
    ScHandle manager(services, services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    ScHandle service(services, Create(manager.get()));
    ASSERT_TRUE(service);
    ::SetLastError(0);
    EXPECT_EQ(Create(manager.get()), nullptr);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    EXPECT_TRUE(services.DeleteService(service.get()));
}

TEST_F(Win32ServicesTest, EventSourceReportsAnInformationEntry) {
    const HANDLE source = services.RegisterEventSourceW(nullptr, name.c_str());
    ASSERT_NE(source, nullptr);
    LPCWSTR strings[] = {L"Service started/resumed"};
    EXPECT_TRUE(services.ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0,
                                      strings, nullptr));
    EXPECT_TRUE(services.DeregisterEventSource(source));
}

struct StringCase {
    const char* name;
    UINT id;
    int bufferMax;
    const wchar_t* text;
};

class Win32ServicesStrings : public testing::TestWithParam<StringCase> {};

// The strings of tests/win32/win32_tests.rc.
TEST_P(Win32ServicesStrings, AreLoadedWholeTruncatedOrNotAtAll) {
    const StringCase c = GetParam();
    Win32Services services;
    std::vector<wchar_t> buffer(static_cast<std::size_t>(c.bufferMax) + 1, L'#');
    const int length =
        services.LoadStringW(::GetModuleHandleW(nullptr), c.id, buffer.data(), c.bufferMax);
    EXPECT_EQ(length, static_cast<int>(std::wcslen(c.text)));
    if (length > 0) {
        EXPECT_EQ(std::wstring(buffer.data()), c.text);
    }
    EXPECT_EQ(buffer[static_cast<std::size_t>(c.bufferMax)], L'#');  // nothing past the buffer
}

INSTANTIATE_TEST_SUITE_P(
    Table, Win32ServicesStrings,
    testing::Values(StringCase{"Whole", 100, 256, L"Kelvo test service"},
                    StringCase{"ExactFit", 100, 19, L"Kelvo test service"},
                    StringCase{"Truncated", 100, 6, L"Kelvo"},  // the terminator takes a place
                    StringCase{"NextInBlock", 102, 256, L"Second string of the block"},
                    StringCase{"GapInBlock", 101, 256, L""},
                    StringCase{"NoSuchBlock", 999, 256, L""}),
    [](const testing::TestParamInfo<StringCase>& info) { return std::string(info.param.name); });

TEST(Win32Services, ScriptResourceIsFoundByIdAndTypeAndReadWhole) {
    Win32Services services;
    const HMODULE module = ::GetModuleHandleW(nullptr);
    const HRSRC script = services.FindResourceW(module, MAKEINTRESOURCEW(101), L"REGISTRY");
    ASSERT_NE(script, nullptr);
    const HGLOBAL loaded = services.LoadResource(module, script);
    ASSERT_NE(loaded, nullptr);
    const auto* bytes = static_cast<const char*>(services.LockResource(loaded));
    ASSERT_NE(bytes, nullptr);
    const DWORD size = services.SizeofResource(module, script);
    EXPECT_EQ(std::string(bytes, size), "HKCR\n{\n}\n");

    struct Missing {
        UINT id;
        LPCWSTR type;
        DWORD error;
    };
    for (const Missing& m : {Missing{102, L"REGISTRY", 1814},  // ERROR_RESOURCE_NAME_NOT_FOUND
                             Missing{101, L"KELVONOSUCHTYPE", 1813}}) {  // ..._TYPE_NOT_FOUND
        ::SetLastError(0);
        EXPECT_EQ(services.FindResourceW(module, MAKEINTRESOURCEW(m.id), m.type), nullptr);
        EXPECT_EQ(::GetLastError(), m.error) << m.id;
    }
}

TEST(Win32Services, ModuleFileNameIsWholeOrReportsTheShortBuffer) {
    Win32Services services;
    wchar_t path[MAX_PATH];
    const DWORD length = services.GetModuleFileNameW(nullptr, path, MAX_PATH);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    EXPECT_EQ(std::wcslen(path), length);
    EXPECT_TRUE(EndsWith(path, L"\\win32_tests.exe")) << std::string(path, path + length);

    wchar_t user32[MAX_PATH];
    const DWORD user32Length =
        services.GetModuleFileNameW(::GetModuleHandleW(L"User32.dll"), user32, MAX_PATH);
    EXPECT_TRUE(EndsWith(std::wstring(user32, user32Length), L"\\user32.dll"));

    // A buffer that is too short is filled and its whole size returned (whether the last place
    // holds a terminator differs: Windows writes one, Wine does not).
    wchar_t shortBuffer[6];
    ::SetLastError(0);
    EXPECT_EQ(services.GetModuleFileNameW(nullptr, shortBuffer, 5), 5u);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(shortBuffer, 4), std::wstring(path, 4));
}

TEST(Win32Services, CommandLineNamesTheProgram) {
    Win32Services services;
    const LPWSTR commandLine = services.GetCommandLineW();
    ASSERT_NE(commandLine, nullptr);
    EXPECT_NE(Lower(commandLine).find(L"win32_tests"), std::wstring::npos);
    EXPECT_EQ(services.GetCommandLineW(), commandLine);  // the process's one copy
}

}  // namespace
