#include "service/kelvo_module.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "service/host_resources.h"
#include "service_rig.h"

namespace {

using service_test::kAppId;
using service_test::kServiceName;
using service_test::WithoutLineNumber;
using testing::ElementsAre;
using testing::IsEmpty;

// Stands in for the bezel controller: records the calls; the monitor runs until it is stopped,
// and a stop that comes first is remembered, as the real monitor does.
class FakeController {
public:
    explicit FakeController(platform::Kernel& kernel)
        : _kernel(kernel), _stop(kernel.CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        s_current = this;
    }
    ~FakeController() {
        _kernel.CloseHandle(_stop);
        s_current = nullptr;
    }

    static FakeController* GetInstance(PVOID handle) {
        s_current->Record(handle == nullptr ? "GetInstance(null)" : "GetInstance(handle)");
        return s_current;
    }
    bool Initialize() {
        Record("Initialize");
        if (throwOnInitialize) throw std::bad_alloc();
        return true;
    }
    void RunSystemEventsMonitor() {
        Record("RunSystemEventsMonitor");
        _kernel.WaitForMultipleObjects(1, &_stop, FALSE, INFINITE);
    }
    void StopSystemEventsMonitor() {
        Record("StopSystemEventsMonitor");
        if (!ignoresStop) _kernel.SetEvent(_stop);
    }
    // Ends the monitor whatever it was asked.
    void EndMonitor() { _kernel.SetEvent(_stop); }
    void Uninitialize() { Record("Uninitialize"); }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(_lock);
        return _calls;
    }

    bool throwOnInitialize = false;
    bool ignoresStop = false;

private:
    void Record(const char* call) {
        std::lock_guard<std::mutex> lock(_lock);
        _calls.emplace_back(call);
    }

    static inline FakeController* s_current = nullptr;
    platform::Kernel& _kernel;
    HANDLE _stop;
    std::mutex _lock;
    std::vector<std::string> _calls;
};

using TestModule = CKelvoModuleT<FakeController>;

const std::wstring kAppIdPath = std::wstring(L"AppID\\") + kAppId;
const std::wstring kRegisteredTree = std::wstring(L"AppID\n") +
                                     L"  AMBMan.EXE\n"
                                     L"    AppID=REG_SZ:" +
                                     kAppId + L"\n  " + kAppId +
                                     L"\n"
                                     L"    =REG_SZ:AmbrelManager\n";
const std::wstring kServiceTree = kRegisteredTree + L"    LocalService=REG_SZ:Ambrel Manager\n";

const std::wstring kEventSourcePath = std::wstring(kEventLogSources) + kServiceName;

// A status report's members, comparable and printable.
template <class Reports>
std::vector<std::vector<DWORD>> Fields(const Reports& reports) {
    std::vector<std::vector<DWORD>> fields;
    for (const SERVICE_STATUS& r : reports) {
        fields.push_back({r.dwServiceType, r.dwCurrentState, r.dwControlsAccepted,
                          r.dwWin32ExitCode, r.dwServiceSpecificExitCode, r.dwCheckPoint,
                          r.dwWaitHint});
    }
    return fields;
}

const wchar_t* const kWinMainScope =
    L"int __cdecl wWinMain(struct HINSTANCE__ *,struct HINSTANCE__ *,wchar_t *,int)";
const wchar_t* const kServiceMainScope =
    L"void __cdecl CKelvoModule::ServiceMain(unsigned long,wchar_t **) throw()";
const wchar_t* const kRunScope = L"long __cdecl CKelvoModule::Run(int) throw()";
const wchar_t* const kHandlerScope =
    L"unsigned long __cdecl CKelvoModule::_HandlerEx(unsigned long,unsigned long,void *,void *)";
const wchar_t* const kOnStopScope = L"void __cdecl CKelvoModule::OnStop(void) throw()";
const wchar_t* const kPowerScope =
    L"void __cdecl CKelvoModule::OnPowerEvent(unsigned long) throw()";

struct Rig : service_test::Rig {
    explicit Rig(bool withResources = true) {
        if (withResources) AddKelvoResources(services);
    }

    TestModule& Module() {
        if (!module)
            module = std::make_unique<TestModule>(services, registry, com, world.GetKernel());
        return *module;
    }

    // The process as started with this command line, to its end.
    int Main(const std::wstring& commandLine) {
        services.SetCommandLine(commandLine);
        return KelvoMain(Module(), services, SW_HIDE);
    }

    // The process on a thread of the world, for a run that blocks until it is stopped.
    void StartMain(const std::wstring& commandLine, bool comFirst = false) {
        services.SetCommandLine(commandLine);
        TestModule& m = Module();
        main = platform::Thread(world.GetKernel(), [this, &m, comFirst] {
            if (comFirst) com.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            exitCode = KelvoMain(m, services, SW_HIDE);
            if (comFirst) com.CoUninitialize();
        });
        world.RunUntilIdle();
    }
    int JoinMain() {
        world.RunUntilIdle();
        main.join();
        return exitCode;
    }

    // Installs the service as "Kelvo.exe -Service" does.
    void Install() {
        ASSERT_EQ(Main(L"Kelvo.exe -Service"), S_OK);
        services.SetCommandLine(L"\"C:\\Program Files\\Kelvo\\Kelvo.exe\"");
    }

    // The registration as a second process does it while the service runs: on a thread of the
    // world, the world's clock going on until it is done.
    HRESULT RegisterWhileRunning(bool bService) {
        HRESULT hr = E_UNEXPECTED;
        bool done = false;
        platform::Thread installer(world.GetKernel(), [&] {
            hr = bService ? Module().RegisterAppId(true) : Module().UnregisterAppId();
            done = true;
        });
        for (int step = 0; step < 1000 && !done; ++step) world.Advance(50);
        installer.join();
        return hr;
    }

    std::vector<DWORD> States() {
        std::vector<DWORD> states;
        for (const SERVICE_STATUS& status : services.StatusReports()) {
            states.push_back(status.dwCurrentState);
        }
        return states;
    }
    // The states reported, a repeated report of the same state counted once.
    std::vector<DWORD> StateChanges() {
        std::vector<DWORD> changes;
        for (const DWORD state : States()) {
            if (changes.empty() || changes.back() != state) changes.push_back(state);
        }
        return changes;
    }
    std::vector<std::wstring> EventTexts() {
        std::vector<std::wstring> texts;
        for (const auto& entry : services.EventLog()) {
            EXPECT_EQ(entry.source, kServiceName);
            EXPECT_EQ(entry.type, EVENTLOG_INFORMATION_TYPE);
            EXPECT_EQ(entry.strings.size(), 1u);
            texts.push_back(entry.strings.empty() ? L"" : entry.strings[0]);
        }
        return texts;
    }
    std::vector<std::wstring> MessageTexts() {
        std::vector<std::wstring> texts;
        for (const auto& box : services.MessageBoxes()) {
            EXPECT_EQ(box.caption, kServiceName);
            texts.push_back(box.text);
        }
        return texts;
    }
    // The lines traced at this level and after the given line, in order.
    std::vector<std::wstring> LinesFrom(std::size_t first) {
        const auto all = Trace();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(first, all.size())), all.end()};
    }

    FakeController controller{world.GetKernel()};
    std::unique_ptr<TestModule> module;
    platform::Thread main;
    int exitCode = -12345;
};

// ---- Command line ----

struct CommandCase {
    const char* name;
    const wchar_t* commandLine;
    HRESULT exitCode;
    const wchar_t* classesRoot;  // HKEY_CLASSES_ROOT\AppID afterwards
    const wchar_t* userClasses;  // HKEY_CURRENT_USER\Software\Classes\AppID afterwards
    bool installed;
};

class CommandLine : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandLine, SwitchDecidesTheAction) {
    const CommandCase& c = GetParam();
    Rig rig;
    EXPECT_EQ(rig.Main(c.commandLine), c.exitCode);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), c.classesRoot);
    EXPECT_EQ(rig.Tree(HKEY_CURRENT_USER, L"Software\\Classes\\AppID"), c.userClasses);
    EXPECT_EQ(rig.services.Installed().count(L"ambrel manager"), c.installed ? 1u : 0u);
    EXPECT_THAT(rig.MessageTexts(), IsEmpty());
    EXPECT_THAT(rig.Lines(TRACE_LEVEL_CRITICAL), IsEmpty());
    // Nothing ran: no service, no controller.
    EXPECT_THAT(rig.services.StatusReports(), IsEmpty());
    EXPECT_THAT(rig.controller.Calls(), IsEmpty());
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
    EXPECT_EQ(rig.services.OpenHandleCount(), 0u);
}

const std::wstring kNoKey = L"-";
// Start without the AppID key: the exit code is the registry's status.
constexpr HRESULT kNoAppId = ERROR_FILE_NOT_FOUND;

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLine,
    testing::Values(
        CommandCase{"RegServer", L"Kelvo.exe -RegServer", S_OK, kRegisteredTree.c_str(),
                    kNoKey.c_str(), false},
        CommandCase{"RegServerSlashAnyCase", L"Kelvo.exe /rEgSeRvEr", S_OK, kRegisteredTree.c_str(),
                    kNoKey.c_str(), false},
        CommandCase{"RegServerAfterTwoDashes", L"Kelvo.exe --RegServer", S_OK,
                    kRegisteredTree.c_str(), kNoKey.c_str(), false},
        CommandCase{"RegServerPerUser", L"Kelvo.exe -RegServerPerUser", S_OK, kNoKey.c_str(),
                    kRegisteredTree.c_str(), false},
        CommandCase{"Service", L"\"C:\\Program Files\\Kelvo\\Kelvo.exe\" -Service", S_OK,
                    kServiceTree.c_str(), kNoKey.c_str(), true},
        CommandCase{"ServiceBetweenTabs", L"Kelvo.exe\t/service\t", S_OK, kServiceTree.c_str(),
                    kNoKey.c_str(), true},
        CommandCase{"RegistrationWordsComeFirst", L"Kelvo.exe -Service -RegServer", S_OK,
                    kRegisteredTree.c_str(), kNoKey.c_str(), false},
        CommandCase{"UnregServerWithNothingRegistered", L"Kelvo.exe -UnregServer", S_OK,
                    kNoKey.c_str(), kNoKey.c_str(), false},
        CommandCase{"LongerWordsAreNoSwitches", L"Kelvo.exe -RegServerX /Serviceman", kNoAppId,
                    kNoKey.c_str(), kNoKey.c_str(), false},
        CommandCase{"NoSwitch", L"Kelvo.exe", kNoAppId, kNoKey.c_str(), kNoKey.c_str(), false},
        CommandCase{"SwitchInTheProgramPathIsNone", L"\"C:\\Tools -Service x\\Kelvo.exe\"",
                    kNoAppId, kNoKey.c_str(), kNoKey.c_str(), false},
        CommandCase{"SwitchAfterQuotedProgramPath", L"\"C:\\Tools -x\\Kelvo.exe\" -regserver", S_OK,
                    kRegisteredTree.c_str(), kNoKey.c_str(), false}),
    [](const testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

// ---- Registration and removal ----

TEST(ServiceModule, ServiceSwitchInstallsAnAutomaticOwnProcessService) {
    Rig rig;
    rig.services.SetModuleFileName(L"C:\\Program Files\\Kelvo\\Kelvo.exe");
    ASSERT_EQ(rig.Main(L"Kelvo.exe -Service"), S_OK);
    const auto installed = rig.services.Installed();
    ASSERT_EQ(installed.size(), 1u);
    const auto& service = installed.at(L"ambrel manager");
    EXPECT_EQ(service.displayName, kServiceName);
    EXPECT_EQ(service.binaryPath, L"\"C:\\Program Files\\Kelvo\\Kelvo.exe\"");
    EXPECT_EQ(service.dependencies, L"RPCSS;");
    EXPECT_EQ(service.account, L"LocalSystem");
    EXPECT_EQ(service.serviceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(service.startType, SERVICE_AUTO_START);
    EXPECT_EQ(service.errorControl, SERVICE_ERROR_NORMAL);
    // The event log finds the texts of the service's events in Kelvo.exe.
    EXPECT_EQ(rig.Tree(HKEY_LOCAL_MACHINE, kEventSourcePath),
              L"Ambrel Manager\n"
              L"  EventMessageFile=REG_EXPAND_SZ:C:\\Program Files\\Kelvo\\Kelvo.exe\n"
              L"  TypesSupported=REG_DWORD:7\n");
}

TEST(ServiceModule, RegisteringAgainReplacesTheService) {
    Rig rig;
    rig.Install();
    ASSERT_EQ(rig.Main(L"Kelvo.exe -Service"), S_OK);
    EXPECT_EQ(rig.services.Installed().size(), 1u);
    // RegServer removes the service, and with nothing to configure it succeeds.
    EXPECT_EQ(rig.Main(L"Kelvo.exe -RegServer"), S_OK);
    EXPECT_THAT(rig.services.Installed(), IsEmpty());
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), kRegisteredTree);
    EXPECT_THAT(rig.Lines(TRACE_LEVEL_CRITICAL), IsEmpty());
    EXPECT_THAT(rig.Lines(TRACE_LEVEL_ERROR), IsEmpty());
}

TEST(ServiceModule, UnregisteringRemovesTheServiceAndTheAppIdKeys) {
    Rig rig;
    rig.Install();
    EXPECT_EQ(rig.Main(L"Kelvo.exe /UnregServer"), S_OK);
    EXPECT_THAT(rig.services.Installed(), IsEmpty());
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), L"AppID\n");
    EXPECT_EQ(rig.Tree(HKEY_LOCAL_MACHINE, kEventSourcePath), L"-");
    EXPECT_THAT(rig.MessageTexts(), IsEmpty());
    EXPECT_EQ(rig.registry.OpenKeyCount(), 0u);
}

// ---- Removing a service that runs, or cannot go yet ----

TEST(ServiceModule, ReinstallWhileRunningWaitsUntilTheServiceHasStopped) {
    Rig rig;
    rig.Install();
    rig.StartMain(L"Kelvo.exe");
    EXPECT_EQ(rig.RegisterWhileRunning(true), S_OK);
    EXPECT_EQ(rig.JoinMain(), 0);
    // Deleted once stopped, it is gone, and the new one is there to stay.
    const auto installed = rig.services.Installed();
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_FALSE(installed.begin()->second.markedForDelete);
    EXPECT_EQ(installed.begin()->second.startType, SERVICE_AUTO_START);
    EXPECT_THAT(rig.MessageTexts(), IsEmpty());
}

TEST(ServiceModule, AServiceThatDoesNotStopIsNotRemoved) {
    Rig rig;
    rig.Install();
    rig.controller.ignoresStop = true;
    rig.StartMain(L"Kelvo.exe");
    EXPECT_EQ(rig.RegisterWhileRunning(false), HRESULT_FROM_WIN32(ERROR_SERVICE_REQUEST_TIMEOUT));
    EXPECT_THAT(rig.MessageTexts(), ElementsAre(kServiceNotStoppedMessage));
    const auto installed = rig.services.Installed();
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_FALSE(installed.begin()->second.markedForDelete);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), kServiceTree);
    rig.controller.EndMonitor();
    EXPECT_EQ(rig.JoinMain(), 0);
}

class MarkedForDelete : public testing::TestWithParam<bool> {};

// Another program holds the removed service open, so a reinstall cannot create it again. The
// installer says so where someone can see it: a message box on a visible window station, else
// standard error and the event log.
TEST_P(MarkedForDelete, IsSaidWhereSomeoneCanSeeIt) {
    const bool visible = GetParam();
    Rig rig;
    rig.Install();
    ScHandle scm(rig.services, rig.services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle held(rig.services,
                  rig.services.OpenServiceW(scm.get(), kServiceName, SERVICE_QUERY_STATUS));
    ASSERT_EQ(rig.Main(L"Kelvo.exe -UnregServer"), S_OK);
    rig.services.SetWindowStationVisible(visible);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.Main(L"Kelvo.exe -Service"), HRESULT_FROM_WIN32(ERROR_SERVICE_MARKED_FOR_DELETE));
    const std::string errors = testing::internal::GetCapturedStderr();

    const std::wstring message = kServiceMarkedForDeleteMessage;
    const auto log = rig.services.EventLog();
    if (visible) {
        EXPECT_THAT(rig.MessageTexts(), ElementsAre(message));
        EXPECT_EQ(errors, "");
        EXPECT_THAT(log, IsEmpty());
    } else {
        EXPECT_THAT(rig.MessageTexts(), IsEmpty());
        EXPECT_EQ(errors, std::string(message.begin(), message.end()) + "\n");
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].type, EVENTLOG_ERROR_TYPE);
        EXPECT_THAT(log[0].strings, ElementsAre(message));
    }
}

INSTANTIATE_TEST_SUITE_P(WindowStation, MarkedForDelete, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Visible" : "Invisible";
                         });

TEST(ServiceModule, WithoutItsNameTheModuleDoesNothing) {
    Rig rig(false);
    EXPECT_EQ(rig.Main(L"Kelvo.exe -Service"), -1);
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), L"-");
    EXPECT_THAT(rig.services.Installed(), IsEmpty());
    const auto lines = rig.Lines(TRACE_LEVEL_VERBOSE);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], L"CAtlBaseModule::m_bInitFailed: 1");
    EXPECT_EQ(lines[lines.size() - 2], L"WinMain returning: -1");
}

TEST(ServiceModule, NoServiceIsInstalledWhenTheAppIdCannotNameIt) {
    Rig rig;
    // The script's values go in; the service's own name does not.
    rig.Fail("RegSetValueExW", ERROR_ACCESS_DENIED, 3);
    EXPECT_EQ(rig.Main(L"Kelvo.exe -Service"), static_cast<HRESULT>(0x80070005));
    EXPECT_THAT(rig.services.Installed(), IsEmpty());
    EXPECT_EQ(rig.Tree(HKEY_CLASSES_ROOT, L"AppID"), kRegisteredTree);
}

struct MessageCase {
    const char* name;
    bool installedBefore;
    const wchar_t* commandLine;
    const char* operation;
    DWORD error;
    unsigned nth;
    HRESULT exitCode;
    std::vector<std::wstring> messages;
    bool installedAfter;
};

class ServiceManagerFailures : public testing::TestWithParam<MessageCase> {};

TEST_P(ServiceManagerFailures, AreShownToTheUser) {
    const MessageCase& c = GetParam();
    Rig rig;
    if (c.installedBefore) rig.Install();
    rig.Fail(c.operation, c.error, c.nth);
    EXPECT_EQ(rig.Main(c.commandLine), c.exitCode);
    EXPECT_EQ(rig.MessageTexts(), c.messages);
    EXPECT_EQ(rig.services.Installed().size(), c.installedAfter ? 1u : 0u);
    EXPECT_EQ(rig.services.OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ServiceManagerFailures,
    testing::Values(
        // Installing: the second manager opened is the one that creates the service.
        MessageCase{"InstallCannotOpenManager",
                    false,
                    L"Kelvo.exe -Service",
                    "OpenSCManagerW",
                    ERROR_ACCESS_DENIED,
                    2,
                    E_FAIL,
                    {L"Could not open Service Manager"},
                    false},
        MessageCase{"InstallCannotCreate",
                    false,
                    L"Kelvo.exe -Service",
                    "CreateServiceW",
                    ERROR_ACCESS_DENIED,
                    1,
                    E_FAIL,
                    {L"Could not start service"},
                    false},
        // Removing: the second manager and service opened are the removal's own.
        MessageCase{"RemoveCannotOpenManager",
                    true,
                    L"Kelvo.exe -UnregServer",
                    "OpenSCManagerW",
                    ERROR_ACCESS_DENIED,
                    2,
                    E_FAIL,
                    {L"Could not open Service Manager"},
                    true},
        MessageCase{"RemoveCannotOpenService",
                    true,
                    L"Kelvo.exe -UnregServer",
                    "OpenServiceW",
                    ERROR_ACCESS_DENIED,
                    2,
                    E_FAIL,
                    {L"Could not open service"},
                    true},
        MessageCase{"RemoveCannotStop",
                    true,
                    L"Kelvo.exe -UnregServer",
                    "ControlService",
                    ERROR_ACCESS_DENIED,
                    1,
                    S_OK,
                    {L"Could not stop service"},
                    false},
        MessageCase{"RemoveWhileStopping",
                    true,
                    L"Kelvo.exe -UnregServer",
                    "ControlService",
                    ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
                    1,
                    S_OK,
                    {},
                    false},
        MessageCase{"RemoveCannotDelete",
                    true,
                    L"Kelvo.exe -UnregServer",
                    "DeleteService",
                    ERROR_ACCESS_DENIED,
                    1,
                    E_FAIL,
                    {L"Could not delete service"},
                    true},
        MessageCase{"ReplaceCannotDelete",
                    true,
                    L"Kelvo.exe -Service",
                    "DeleteService",
                    ERROR_ACCESS_DENIED,
                    1,
                    E_FAIL,
                    {L"Could not delete service"},
                    true}),
    [](const testing::TestParamInfo<MessageCase>& info) { return info.param.name; });

struct StartTypeCase {
    const char* name;
    const char* operation;
    unsigned nth;
    const wchar_t* expression;  // the start of the failed assertion's text
    const wchar_t* message;
};

class StartTypeFailures : public testing::TestWithParam<StartTypeCase> {};

TEST_P(StartTypeFailures, AreAssertedLoggedAndFail) {
    const StartTypeCase& c = GetParam();
    Rig rig;
    rig.Fail(c.operation, ERROR_ACCESS_DENIED, c.nth);
    EXPECT_EQ(rig.Main(L"Kelvo.exe -Service"), E_FAIL);
    const auto asserts = rig.Lines(TRACE_LEVEL_CRITICAL);
    ASSERT_EQ(asserts.size(), 1u);
    EXPECT_TRUE(WithoutLineNumber(asserts[0])
                    .starts_with(std::wstring(L"ASSERT @ LINE #### [kelvo_module.h] executing [") +
                                 c.expression))
        << asserts[0];
    EXPECT_THAT(rig.Lines(TRACE_LEVEL_ERROR),
                ElementsAre(std::wstring(c.message) + L": " + kServiceName));
    EXPECT_EQ(rig.services.OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    StartType, StartTypeFailures,
    testing::Values(
        // The third manager and the second service opened are the start-type change's.
        StartTypeCase{"NoManager", "OpenSCManagerW", 3, L"SCM != nullptr]",
                      L"Couldn't open service manager"},
        StartTypeCase{"NoService", "OpenServiceW", 2, L"hService != nullptr]",
                      L"Couldn't OpenService"},
        StartTypeCase{"NoChange", "ChangeServiceConfigW", 1, L"services.ChangeServiceConfigW(",
                      L"Couldn't ChangeServiceConfig"}),
    [](const testing::TestParamInfo<StartTypeCase>& info) { return info.param.name; });

// ---- Running as a service ----

TEST(ServiceModule, RunsUnderTheDispatcherUntilStopped) {
    Rig rig;
    rig.Install();
    const std::size_t first = rig.Trace().size();
    // What the service thread had written when it reported itself stopped.
    std::size_t linesAtStop = 0, eventsAtStop = 0;
    rig.services.afterReport = [&](const SERVICE_STATUS& status) {
        if (status.dwCurrentState != SERVICE_STOPPED) return;
        linesAtStop = rig.Trace().size();
        eventsAtStop = rig.services.EventLog().size();
    };
    rig.StartMain(L"\"C:\\Program Files\\Kelvo\\Kelvo.exe\"");

    EXPECT_THAT(rig.States(), ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING));
    EXPECT_THAT(rig.controller.Calls(),
                ElementsAre("GetInstance(null)", "Initialize", "RunSystemEventsMonitor"));
    EXPECT_EQ(rig.com.InitializedThreads(), 1u);

    EXPECT_TRUE(rig.services.SendControl(SERVICE_CONTROL_STOP));
    EXPECT_EQ(rig.JoinMain(), 0);

    // Controls only while running; a pending state has a wait hint and a check point.
    const SERVICE_STATUS expected[] = {
        {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 1, 5000},
        {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0x45, 0, 0, 0, 0},
        {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 1, 30000},
        {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0}};
    EXPECT_EQ(Fields(rig.services.StatusReports()), Fields(expected));
    EXPECT_THAT(rig.controller.Calls(),
                ElementsAre("GetInstance(null)", "Initialize", "RunSystemEventsMonitor",
                            "GetInstance(null)", "StopSystemEventsMonitor", "Uninitialize"));
    EXPECT_THAT(rig.EventTexts(), ElementsAre(L"Service started/resumed", L"Service stopped"));
    EXPECT_EQ(rig.com.InitializedThreads(), 0u);

    const std::wstring in = L"L5 >>> ", out = L"L5 <<< ";
    const auto lines = rig.LinesFrom(first);
    EXPECT_THAT(
        lines,
        ElementsAre(in + kWinMainScope,
                    L"L5 WinMain command line: \"C:\\Program Files\\Kelvo\\Kelvo.exe\"",
                    in + kServiceMainScope, in + kRunScope, L"L5 Service started/resumed",
                    in + kHandlerScope, in + kOnStopScope, out + kOnStopScope, out + kHandlerScope,
                    out + kRunScope, L"L5 Run returned: 0", L"L5 Service stopped",
                    out + kServiceMainScope, L"L5 CAtlBaseModule::m_bInitFailed: 0",
                    L"L5 WinMain returning: 0", out + kWinMainScope));
    // The process may end at any moment after the last report: the service thread's work was
    // done before it.
    EXPECT_EQ(eventsAtStop, 2u);
    ASSERT_EQ(linesAtStop, first + 13);
}

TEST(ServiceModule, FirstLineOfTheProcessNamesTheVersion) {
    Rig rig;
    rig.Module();
    const auto trace = rig.Trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace[0], L"L4 Kelvo.exe 1.0.471.0 ");
    EXPECT_EQ(rig.Module().m_status.dwControlsAccepted,
              SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN);
    EXPECT_EQ(std::wstring(rig.Module().m_szServiceName), kServiceName);
}

TEST(ServiceModule, ShutdownStopsLikeStop) {
    Rig rig;
    rig.Install();
    rig.StartMain(L"Kelvo.exe");
    rig.services.SendControl(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(rig.JoinMain(), 0);
    EXPECT_THAT(rig.States(), ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING,
                                          SERVICE_STOP_PENDING, SERVICE_STOPPED));
}

TEST(ServiceModule, ControlsWaitUntilTheServiceRuns) {
    Rig rig;
    rig.Install();
    DWORD refusedWith = 0;
    // A stop right after the start is reported, before Run has begun, is refused.
    rig.services.afterReport = [&](const SERVICE_STATUS& status) {
        if (status.dwCurrentState != SERVICE_START_PENDING) return;
        ScHandle scm(rig.services,
                     rig.services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(rig.services,
                         rig.services.OpenServiceW(scm.get(), kServiceName, SERVICE_STOP));
        SERVICE_STATUS ignored{};
        if (!rig.services.ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
            refusedWith = rig.world.GetKernel().GetLastError();
        }
        EXPECT_FALSE(rig.services.SendControl(SERVICE_CONTROL_SHUTDOWN));
    };
    rig.StartMain(L"Kelvo.exe");
    EXPECT_EQ(refusedWith, ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    EXPECT_THAT(rig.States(), ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING));
    EXPECT_TRUE(rig.services.SendControl(SERVICE_CONTROL_SHUTDOWN));
    EXPECT_EQ(rig.JoinMain(), 0);
    EXPECT_THAT(rig.States(), ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING,
                                          SERVICE_STOP_PENDING, SERVICE_STOPPED));
}

TEST(ServiceModule, AStopAsTheMonitorEndsReportsStoppedOnceAndLast) {
    Rig rig;
    rig.Install();
    // The stop reaches the handler while the service thread is finishing on its own.
    rig.services.afterReport = [&](const SERVICE_STATUS& status) {
        if (status.dwCurrentState != SERVICE_RUNNING) return;
        rig.controller.EndMonitor();
        rig.services.SendControl(SERVICE_CONTROL_STOP);
    };
    rig.StartMain(L"Kelvo.exe");
    EXPECT_EQ(rig.JoinMain(), 0);
    const auto states = rig.States();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), SERVICE_STOPPED);
    EXPECT_EQ(std::count(states.begin(), states.end(), SERVICE_STOPPED), 1);
}

TEST(ServiceModule, AllocationFailureIsLoggedAndTheServiceStops) {
    Rig rig;
    rig.Install();
    rig.controller.throwOnInitialize = true;
    rig.StartMain(L"Kelvo.exe");
    EXPECT_EQ(rig.JoinMain(), 0);
    EXPECT_THAT(rig.controller.Calls(), ElementsAre("GetInstance(null)", "Initialize"));
    EXPECT_THAT(rig.Lines(TRACE_LEVEL_CRITICAL),
                ElementsAre(L"Caught std::bad_alloc exception: std::bad_alloc.  Restart service "
                            L"when system has enough resources."));
    EXPECT_THAT(rig.States(), ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED));
    EXPECT_EQ(rig.services.StatusReports().back().dwWin32ExitCode, 0u);
    EXPECT_EQ(rig.com.InitializedThreads(), 0u);
}

TEST(ServiceModule, ComFailureStopsTheServiceWithItsStatus) {
    Rig rig;
    rig.Install();
    rig.Fail("CoInitializeEx", static_cast<DWORD>(RPC_E_CHANGED_MODE));
    rig.StartMain(L"Kelvo.exe");
    EXPECT_EQ(rig.JoinMain(), static_cast<int>(RPC_E_CHANGED_MODE));
    EXPECT_THAT(rig.controller.Calls(), IsEmpty());
    EXPECT_THAT(rig.States(), ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED));
    // A failure is the service's own error, with its HRESULT.
    EXPECT_EQ(rig.services.StatusReports().back().dwWin32ExitCode, ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(rig.services.StatusReports().back().dwServiceSpecificExitCode, 0x80010106u);
    const auto errors = rig.Lines(TRACE_LEVEL_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(WithoutLineNumber(errors[0]), L"HRESULT: 0x80010106 @ LINE #### [kelvo_module.h]");
}

TEST(ServiceModule, WithoutAHandlerNothingIsReported) {
    Rig rig;
    rig.Install();
    rig.Fail("RegisterServiceCtrlHandlerExW", ERROR_INVALID_PARAMETER);
    rig.StartMain(L"Kelvo.exe");
    EXPECT_EQ(rig.JoinMain(), 0);
    EXPECT_THAT(rig.services.StatusReports(), IsEmpty());
    EXPECT_THAT(rig.controller.Calls(), IsEmpty());
    EXPECT_THAT(rig.EventTexts(), ElementsAre(L"Handler not installed"));
    const auto asserts = rig.Lines(TRACE_LEVEL_CRITICAL);
    ASSERT_EQ(asserts.size(), 1u);
    EXPECT_EQ(WithoutLineNumber(asserts[0]),
              L"ASSERT @ LINE #### [kelvo_module.h] executing [m_hServiceStatus != NULL]");
}

TEST(ServiceModule, DispatcherFailureIsTheExitCode) {
    Rig rig;
    rig.Install();
    rig.Fail("StartServiceCtrlDispatcherW", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(rig.Main(L"Kelvo.exe"), 1063);
    EXPECT_THAT(rig.controller.Calls(), IsEmpty());
}

TEST(ServiceModule, WithoutLocalServiceRunsInTheForeground) {
    Rig rig;
    ASSERT_EQ(rig.Main(L"Kelvo.exe -RegServer"), S_OK);
    // COM is already joined on this thread: Run's S_FALSE is still a success.
    rig.StartMain(L"Kelvo.exe", true);
    EXPECT_THAT(rig.controller.Calls(),
                ElementsAre("GetInstance(null)", "Initialize", "RunSystemEventsMonitor"));
    rig.Module().OnStop();
    EXPECT_EQ(rig.JoinMain(), 0);
    EXPECT_FALSE(rig.Module().m_bService);
    EXPECT_THAT(rig.services.StatusReports(), IsEmpty());
    EXPECT_THAT(rig.EventTexts(), IsEmpty());
    EXPECT_THAT(rig.controller.Calls(),
                ElementsAre("GetInstance(null)", "Initialize", "RunSystemEventsMonitor",
                            "GetInstance(null)", "StopSystemEventsMonitor", "Uninitialize"));
}

// ---- Controls ----

struct ControlCase {
    const char* name;
    DWORD control;
    DWORD eventType;
    std::vector<std::wstring> lines;  // between the handler's entry and exit lines
    DWORD result = NO_ERROR;
};

class Controls : public testing::TestWithParam<ControlCase> {};

TEST_P(Controls, AreAnswered) {
    const ControlCase& c = GetParam();
    Rig rig;
    rig.Install();
    rig.StartMain(L"Kelvo.exe");
    const std::size_t first = rig.Trace().size();
    const std::size_t reports = rig.services.StatusReports().size();

    EXPECT_EQ(TestModule::_HandlerEx(c.control, c.eventType, nullptr, &rig.Module()), c.result);

    std::vector<std::wstring> expected{std::wstring(L"L5 >>> ") + kHandlerScope};
    expected.insert(expected.end(), c.lines.begin(), c.lines.end());
    expected.push_back(std::wstring(L"L5 <<< ") + kHandlerScope);
    EXPECT_EQ(rig.LinesFrom(first), expected);
    EXPECT_EQ(rig.services.StatusReports().size(), reports);
    EXPECT_EQ(rig.controller.Calls().size(), 3u);

    rig.services.SendControl(SERVICE_CONTROL_STOP);
    EXPECT_EQ(rig.JoinMain(), 0);
}

std::vector<std::wstring> PowerLines(const wchar_t* line) {
    return {std::wstring(L"L5 >>> ") + kPowerScope, line, std::wstring(L"L5 <<< ") + kPowerScope};
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Controls,
    testing::Values(
        ControlCase{"Pause", SERVICE_CONTROL_PAUSE, 0, {}},
        ControlCase{"Continue", SERVICE_CONTROL_CONTINUE, 0, {}},
        ControlCase{"Interrogate", SERVICE_CONTROL_INTERROGATE, 0, {}},
        ControlCase{"DeviceEvent", SERVICE_CONTROL_DEVICEEVENT, 0x8000, {}},
        ControlCase{"Unknown", 6, 0, {L"L4 Unknown control code: 0x6"}, ERROR_CALL_NOT_IMPLEMENTED},
        ControlCase{
            "UnknownHigh", 0x80, 0, {L"L4 Unknown control code: 0x80"}, ERROR_CALL_NOT_IMPLEMENTED},
        ControlCase{"Suspend", SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND,
                    PowerLines(L"L4 PBT_APMSUSPEND detected by service")},
        ControlCase{"Standby", SERVICE_CONTROL_POWEREVENT, PBT_APMSTANDBY,
                    PowerLines(L"L4 PBT_APMSTANDBY detected by service")},
        ControlCase{"ResumeCritical", SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMECRITICAL,
                    PowerLines(L"L4 PBT_APMRESUMECRITICAL detected by service")},
        ControlCase{"ResumeSuspend", SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND,
                    PowerLines(L"L4 PBT_APMRESUMESUSPEND detected by service")},
        ControlCase{"ResumeStandby", SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESTANDBY,
                    PowerLines(L"L4 PBT_APMRESUMESTANDBY detected by service")},
        ControlCase{"ResumeAutomatic", SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC,
                    PowerLines(L"L4 PBT_APMRESUMEAUTOMATIC detected by service")},
        ControlCase{"UnknownPowerEvent", SERVICE_CONTROL_POWEREVENT, 0xA,
                    PowerLines(L"L3 Unknown power event type (0xa) detected by service")}),
    [](const testing::TestParamInfo<ControlCase>& info) { return info.param.name; });

// ---- Event log ----

TEST(ServiceModule, LogEventReportsTheTextAndPrintsItInTheForeground) {
    Rig rig;
    TestModule& module = rig.Module();
    testing::internal::CaptureStdout();
    module.LogEvent(L"Value %d of %s", 7, L"\x00e9t\x00e9");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Value 7 of \xc3\xa9t\xc3\xa9\n");
    EXPECT_THAT(rig.EventTexts(), ElementsAre(L"Value 7 of \x00e9t\x00e9"));
    EXPECT_EQ(rig.Lines(TRACE_LEVEL_VERBOSE).back(), L"Value 7 of \x00e9t\x00e9");

    // As a service nothing is printed; long texts are cut to 255 characters.
    module.m_bService = true;
    testing::internal::CaptureStdout();
    module.LogEvent(L"%s", std::wstring(300, L'a').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(rig.EventTexts().back(), std::wstring(255, L'a'));

    // An event source that cannot be opened is skipped.
    rig.Fail("RegisterEventSourceW", ERROR_ACCESS_DENIED);
    module.LogEvent(L"lost");
    EXPECT_EQ(rig.EventTexts().size(), 2u);
    EXPECT_EQ(rig.services.OpenHandleCount(), 0u);
}

}  // namespace
