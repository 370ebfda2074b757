// Kelvo.exe as the service control manager runs it. This program plays the other components of
// the system: the touch controller (two named events when the service finds none, or the
// substitute HID devices), the graphics driver (the substitute DLL), and the hot keys.
//
// Both system metrics read 0 here, so the service starts in tablet mode and shows the frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "events/system_event_monitor.h"
#include "kelvo_exe.h"
#include "platform/gfx_driver.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"
#include "substitute_hid_control.h"

namespace {

using kelvo_exe::FileLines;
using kelvo_exe::KelvoPath;
using kelvo_exe::kServiceName;
using kelvo_exe::ScHandle;
using kelvo_exe::ScopedValue;
using kelvo_exe::State;
using kelvo_exe::WaitForState;
using platform::win32::UniqueHandle;

constexpr const wchar_t* kAppId = L"{45A1373F-67AC-419B-964A-9478A683A046}";
constexpr const wchar_t* kAppIdKey = L"AppID\\{45A1373F-67AC-419B-964A-9478A683A046}";
constexpr const wchar_t* kEnableEvent = L"Global\\E1B3BA36-271D-421D-B020-610D3533D14F";
constexpr const wchar_t* kDisableEvent = L"Global\\D541C07D-A31D-4F4E-BF71-0BE5AA3EF88C";
constexpr const wchar_t* kToggleHotKey = L"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64";
constexpr const wchar_t* kDockHotKey = L"Global\\D51F2B12-CFDB-4A41-8D09-4E49185BF450";
constexpr const wchar_t* kTouchKey = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch";
constexpr const wchar_t* kDevelopmentKey = L"SOFTWARE\\Kelvo\\Development";
// Generous bounds for a loaded machine; the test is about what happens, not how fast.
constexpr DWORD kStartMilliseconds = 30000;
constexpr DWORD kStopMilliseconds = 10000;

// Runs Kelvo.exe with the arguments to its end; its exit code.
DWORD RunKelvo(const std::wstring& arguments) {
    const std::optional<DWORD> exitCode = kelvo_exe::Run(arguments);
    if (!exitCode) ADD_FAILURE() << "Kelvo.exe could not be run to its end: " << ::GetLastError();
    return exitCode.value_or(0xFFFFFFFF);
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
        if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name))
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
    // The substitute touch controller may be installed in this prefix: a product id that no
    // device has leaves the service without one, so that it signals the events.
    const ScopedValue absentController(kTouchKey, L"SOFTWARE\\Corvane", L"PID", 0x0001);

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

// ---- With the substitute devices and driver ----
//
// kelvo-sim plays frame_with_devices.scenario with the same controller, buttons and metrics, and
// golden/frame_with_devices.txt holds what its controller and driver received, each record at
// its virtual time (a host test checks that kelvo-sim still gives it). The service here must
// give the same records, step by step; only the times differ.

std::string SourcePath(const std::string& name) {
    std::string path = "Z:";
    for (const char c : std::string(KELVO_SERVICE_TEST_DIR) + "/" + name)
        path.push_back(c == '/' ? '\\' : c);
    return path;
}

// A command of the scenario and the virtual time it runs at; the service's start is the first,
// at 0.
struct Step {
    double time = 0;
    std::string command;
};

std::vector<Step> ScenarioSteps(const std::string& path) {
    std::vector<Step> steps{{0, "start"}};
    double now = 0;
    for (const std::string& line : FileLines(path)) {
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind("wait ", 0) == 0) {
            now += std::stod(line.substr(5)) / 1000;
        } else {
            steps.push_back({now, line});
        }
    }
    return steps;
}

// A record as both sides can give it: a GetFeature by its report id and length, since the
// substitute device does not keep what it answered.
std::string GetFeatureLine(const std::string& hex) {
    std::istringstream bytes(hex);
    std::string id, byte;
    bytes >> id;
    std::size_t length = id.empty() ? 0 : 1;
    while (bytes >> byte) ++length;
    return "touch GetFeature " + id + " length " + std::to_string(length);
}

// Golden records "[T] touch ..." and "[T] gfx ...", touch and gfx apart, by the step they follow.
struct Expected {
    std::vector<std::vector<std::string>> touch, gfx;
};

Expected GoldenRecords(const std::string& path, const std::vector<Step>& steps) {
    Expected expected;
    expected.touch.resize(steps.size());
    expected.gfx.resize(steps.size());
    for (const std::string& line : FileLines(path)) {
        const std::size_t close = line.find("] ");
        if (line.empty() || line[0] != '[' || close == std::string::npos) continue;
        const double time = std::stod(line.substr(1, close - 1));
        std::string record = line.substr(close + 2);
        std::size_t step = 0;
        while (step + 1 < steps.size() && steps[step + 1].time <= time) ++step;
        const std::string getFeature = "touch GetFeature ";
        if (record.rfind(getFeature, 0) == 0) {
            record = GetFeatureLine(record.substr(getFeature.size()));
        }
        (record.rfind("gfx ", 0) == 0 ? expected.gfx : expected.touch)[step].push_back(record);
    }
    return expected;
}

std::string Hex(const std::vector<BYTE>& bytes) {
    std::string text;
    for (const BYTE b : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, text.empty() ? "%02x" : " %02x", b);
        text += hex;
    }
    return text;
}

// A record of the control device as kelvo-sim writes one.
std::string TouchLine(const substitute_hid::ReceivedReport& report) {
    const std::string device = report.device == "touch-v2" ? "touch" : report.device;
    std::string line;
    switch (report.kind) {
        case substitute_hid::ReportKind::GetFeature:
            line = device + " GetFeature " + Hex(report.bytes) + " length " +
                   std::to_string(report.length);
            break;
        case substitute_hid::ReportKind::SetFeature:
            line = device + " SetFeature " + Hex(report.bytes);
            break;
        case substitute_hid::ReportKind::Output:
            line = device + " Write " + Hex(report.bytes);
            break;
    }
    if (report.kind != substitute_hid::ReportKind::GetFeature &&
        report.length != report.bytes.size())
        line += " length " + std::to_string(report.length);
    return report.accepted ? line : line + " (refused)";
}

// A line of the substitute driver's log ("SetInfo size=36 in=0 [01 00 ...] -> 0x00000000") as
// kelvo-sim writes the record; its own create and destroy lines give nothing.
std::optional<std::string> GfxLine(const std::string& line) {
    std::istringstream in(line);
    std::string method;
    in >> method;
    if (method == "create" || method == "destroy") return std::nullopt;
    const std::size_t open = line.find('['), close = line.find(']'), arrow = line.find("-> ");
    if (open == std::string::npos || close == std::string::npos || arrow == std::string::npos)
        return "gfx " + line;
    const std::string hr = line.substr(arrow + 3);
    if (method == "GetInfo") return "gfx GetInfo hr=" + hr;
    std::istringstream bytes(line.substr(open + 1, close - open - 1));
    std::vector<DWORD> fields;
    for (std::string a, b, c, d; bytes >> a >> b >> c >> d;)
        fields.push_back(static_cast<DWORD>(std::stoul(d + c + b + a, nullptr, 16)));
    if (method != "SetInfo" || fields.size() != 9) return "gfx " + line;
    return "gfx SetInfo enable=" + std::to_string(fields[5]) + " x=" + std::to_string(fields[6]) +
           " y=" + std::to_string(fields[7]) + " p=" + std::to_string(fields[8]) + " hr=" + hr;
}

std::wstring ExecutableDirectory() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

std::wstring Text(const GUID& guid) {
    wchar_t text[40];
    ::StringFromGUID2(guid, text, 40);
    return text;
}

TEST(KelvoServiceWithDevices, GivesTheDevicesAndTheDriverWhatKelvoSimGives) {
    const std::vector<Step> steps = ScenarioSteps(SourcePath("frame_with_devices.scenario"));
    const Expected expected = GoldenRecords(SourcePath("golden/frame_with_devices.txt"), steps);
    ASSERT_GT(steps.size(), 1u);

    ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_NE(manager.get(), nullptr);
    RunKelvo(L"-UnregServer");

    // The substitute driver, and where it logs for a service, which has no variables.
    const std::wstring driver = ExecutableDirectory() + L"kelvo_substitute_driver.dll";
    const std::wstring log = ExecutableDirectory() + L"frame_with_devices_driver.log";
    ::DeleteFileW(log.c_str());
    const std::wstring classKey = L"Software\\Classes\\CLSID\\" + Text(CLSID_TheCorvaneAmbrel);
    const std::wstring serverKey = classKey + L"\\InprocServer32";
    const ScopedValue server(serverKey.c_str(), classKey.c_str(), L"", driver);
    const ScopedValue threading(serverKey.c_str(), classKey.c_str(), L"ThreadingModel",
                                std::wstring(L"Both"));
    const ScopedValue driverLog(kDevelopmentKey, kDevelopmentKey, L"SubstituteDriverLog", log);

    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    ASSERT_TRUE(control);
    ASSERT_TRUE(control->Clear());

    ASSERT_EQ(RunKelvo(L"-Service"), 0u);
    ScHandle service(::OpenServiceW(manager.get(), kServiceName,
                                    SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_NE(service.get(), nullptr) << ::GetLastError();
    // However the test ends, the service does not outlive it to talk to the devices of the next.
    struct Removal {
        SC_HANDLE service;
        ~Removal() {
            SERVICE_STATUS status{};
            if (::ControlService(service, SERVICE_CONTROL_STOP, &status))
                WaitForState(service, SERVICE_STOPPED, kStopMilliseconds);
            EXPECT_EQ(RunKelvo(L"-UnregServer"), 0u);
        }
    } removal{service.get()};
    ASSERT_TRUE(::StartServiceW(service.get(), 0, nullptr)) << ::GetLastError();

    std::vector<std::string> touch, gfx, expectedTouch, expectedGfx;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const std::string& command = steps[i].command;
        SCOPED_TRACE(command);
        if (command.rfind("hotkey ", 0) == 0) {
            const std::string key = command.substr(7);
            ASSERT_TRUE(key == "toggle" || key == "dock") << "no such hot key here";
            const UniqueHandle hotKey = OpenHotKey(key == "toggle" ? kToggleHotKey : kDockHotKey);
            ASSERT_TRUE(hotKey && ::SetEvent(hotKey.get())) << ::GetLastError();
            // The service resets the event a while after taking a press, and a press before
            // then is taken for the same one: the next step waits for the reset.
            DWORD waited = 0;
            for (; waited < kStartMilliseconds &&
                   ::WaitForSingleObject(hotKey.get(), 0) == WAIT_OBJECT_0;
                 waited += 10) {
                ::Sleep(10);
            }
            ASSERT_LT(waited, kStartMilliseconds) << "the hot key was not taken";
        } else if (command.rfind("button ", 0) == 0) {
            std::istringstream words(command.substr(7));
            std::string index, byte;
            words >> index;
            std::vector<BYTE> report;
            while (words >> byte)
                report.push_back(static_cast<BYTE>(std::stoul(byte, nullptr, 16)));
            ASSERT_TRUE(control->Inject("button-" + index, report));
        } else if (command == "stop") {
            SERVICE_STATUS status{};
            ASSERT_TRUE(::ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
                << ::GetLastError();
            ASSERT_TRUE(WaitForState(service.get(), SERVICE_STOPPED, kStopMilliseconds))
                << "state " << State(service.get());
        } else {
            ASSERT_EQ(command, "start") << "not played here";
        }
        expectedTouch.insert(expectedTouch.end(), expected.touch[i].begin(),
                             expected.touch[i].end());
        expectedGfx.insert(expectedGfx.end(), expected.gfx[i].begin(), expected.gfx[i].end());
        // Until this step's records are all in (more would show as a difference).
        for (DWORD waited = 0; waited < kStartMilliseconds; waited += 20, ::Sleep(20)) {
            const auto received = control->Take();
            ASSERT_TRUE(received);
            for (const auto& report : *received) touch.push_back(TouchLine(report));
            gfx.clear();
            for (const std::string& line : FileLines(std::string(log.begin(), log.end()))) {
                if (auto record = GfxLine(line)) gfx.push_back(*record);
            }
            if (touch.size() >= expectedTouch.size() && gfx.size() >= expectedGfx.size()) break;
        }
        ASSERT_EQ(touch, expectedTouch);
        ASSERT_EQ(gfx, expectedGfx);
        if (i == 0) {
            ASSERT_TRUE(kelvo_exe::WaitForServiceWindow(kStartMilliseconds));
        }
    }
    ::DeleteFileW(log.c_str());
}

}  // namespace
