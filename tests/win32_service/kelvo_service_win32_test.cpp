// Kelvo.exe as the service control manager runs it, with the substitute devices and driver. This
// program plays the other components of the system: the touch controller and the bezel buttons
// (the substitute HID devices, which it also unplugs and plugs in again), the graphics driver
// (the substitute DLL), and the hot keys.
//
// kelvo-sim plays each scenario of this folder with the same controller, buttons and metrics, and
// golden/<scenario>.txt holds what its controller and driver received, each record at its
// virtual time (a host test checks that kelvo-sim still gives it). The service here must give
// the same records, step by step; only the times differ. Both system metrics read 0 here, so the
// service starts as an undocked slate and shows the frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "devices/gfx_driver.h"
#include "kelvo_exe.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"
#include "substitute_hid_control.h"

namespace {

using kelvo_exe::FileLines;
using kelvo_exe::ScHandle;
using kelvo_exe::ScopedValue;
using kelvo_exe::State;
using platform::win32::UniqueHandle;

constexpr const wchar_t* kToggleHotKey = L"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64";
constexpr const wchar_t* kDockHotKey = L"Global\\D51F2B12-CFDB-4A41-8D09-4E49185BF450";
constexpr const wchar_t* kDevelopmentKey = L"SOFTWARE\\Kelvo\\Development";
// Generous bounds for a loaded machine; the test is about what happens, not how fast.
constexpr DWORD kStartMilliseconds = 30000;

DWORD RunKelvo(const std::wstring& arguments) {
    return kelvo_exe::Run(arguments).value_or(0xFFFFFFFF);
}

// The hot-key event, once the service's hot-keys thread has created it.
UniqueHandle OpenHotKey(const wchar_t* name) {
    for (DWORD waited = 0; waited < kStartMilliseconds; waited += 50, ::Sleep(50)) {
        if (HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name))
            return UniqueHandle(event);
    }
    return UniqueHandle();
}

std::string SourcePath(const std::string& name) {
    const std::wstring path = kelvo_exe::WindowsPath(KELVO_SERVICE_TEST_DIR "/" + name);
    return std::string(path.begin(), path.end());
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

// Golden records "[T] touch ..." and "[T] gfx ...", touch and gfx apart, by the step they follow.
// A GetFeature goes by its report id and length, since the substitute device does not keep what
// it answered.
struct Expected {
    std::vector<std::vector<std::string>> touch, gfx;
};

Expected GoldenRecords(const std::string& path, const std::vector<Step>& steps) {
    Expected expected{std::vector<std::vector<std::string>>(steps.size()),
                      std::vector<std::vector<std::string>>(steps.size())};
    for (const std::string& line : FileLines(path)) {
        const std::size_t close = line.find("] ");
        if (line.empty() || line[0] != '[' || close == std::string::npos) continue;
        const double time = std::stod(line.substr(1, close - 1));
        std::string record = line.substr(close + 2);
        std::size_t step = 0;
        while (step + 1 < steps.size() && steps[step + 1].time <= time) ++step;
        if (record.rfind("touch GetFeature ", 0) == 0) {
            std::istringstream bytes(record.substr(17));
            std::string id, byte;
            bytes >> id;
            std::size_t length = 1;
            while (bytes >> byte) ++length;
            record = "touch GetFeature " + id + " length " + std::to_string(length);
        }
        (record.rfind("gfx ", 0) == 0 ? expected.gfx : expected.touch)[step].push_back(record);
    }
    return expected;
}

// A record of the control device as kelvo-sim writes one.
std::string TouchLine(const substitute_hid::ReceivedReport& report) {
    std::string line = report.device == "touch-v2" ? "touch" : report.device;
    line += report.kind == substitute_hid::ReportKind::GetFeature   ? " GetFeature"
            : report.kind == substitute_hid::ReportKind::SetFeature ? " SetFeature"
                                                                    : " Write";
    for (const BYTE b : report.bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", b);
        line += hex;
    }
    if (report.kind == substitute_hid::ReportKind::GetFeature ||
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

// Whether the service's process holds a handle open on the named substitute device that still
// answers (a handle on a removed device does not). Its handles are copied and asked for the
// device's strings. Under Wine only: Wine's class driver answers beside the read pending on a
// button's handle, where Windows would hold the question on a synchronous handle until the read
// ends.
bool HoldsDevice(SC_HANDLE service, const std::string& name) {
    SERVICE_STATUS_PROCESS state{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&state),
                                sizeof state, &needed))
        return false;
    const DWORD processId = state.dwProcessId;
    // ntdll's SystemHandleInformation, as Wine fills it.
    struct HandleEntry {
        ULONG ownerPid;
        BYTE objectType, flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<BYTE> buffer(1 << 16);
    ULONG size = 0;
    LONG status = kInfoLengthMismatch;
    while (query != nullptr && status == kInfoLengthMismatch && buffer.size() < (1u << 26)) {
        buffer.resize(buffer.size() * 2);
        status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                       &size);
    }
    const UniqueHandle process(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, processId));
    if (status != 0 || !process) return false;
    const std::wstring wideName(name.begin(), name.end());
    ULONG count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    for (ULONG i = 0; i < count; ++i) {
        if (entries[i].ownerPid != processId) continue;
        HANDLE copy = nullptr;
        if (!::DuplicateHandle(process.get(), reinterpret_cast<HANDLE>(entries[i].value),
                               ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            continue;
        const UniqueHandle owned(copy);
        wchar_t text[64] = {};
        if (!::HidD_GetManufacturerString(copy, text, sizeof text - sizeof(wchar_t)) ||
            std::wcscmp(text, L"Kelvo") != 0)
            continue;
        std::memset(text, 0, sizeof text);
        if (::HidD_GetSerialNumberString(copy, text, sizeof text - sizeof(wchar_t)) &&
            wideName == text)
            return true;
    }
    return false;
}

// Plays the scenario of this folder against the service, with its golden records.
void PlayScenario(const std::string& name) {
    const std::vector<Step> steps = ScenarioSteps(SourcePath(name + ".scenario"));
    const Expected expected = GoldenRecords(SourcePath("golden/" + name + ".txt"), steps);
    ASSERT_GT(steps.size(), 1u);

    const ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_NE(manager.get(), nullptr);
    RunKelvo(L"-UnregServer");

    // The substitute driver beside this program, and where it logs for a service, which has no
    // variables.
    wchar_t self[MAX_PATH];
    std::wstring directory(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH));
    directory.resize(directory.find_last_of(L'\\') + 1);
    const std::wstring log = directory + std::wstring(name.begin(), name.end()) + L"_driver.log";
    ::DeleteFileW(log.c_str());
    wchar_t clsid[40];
    ::StringFromGUID2(CLSID_TheCorvaneAmbrel, clsid, 40);
    const std::wstring classKey = L"Software\\Classes\\CLSID\\" + std::wstring(clsid);
    const std::wstring serverKey = classKey + L"\\InprocServer32";
    const ScopedValue server(serverKey.c_str(), classKey.c_str(), L"",
                             directory + L"kelvo_substitute_driver.dll");
    const ScopedValue threading(serverKey.c_str(), classKey.c_str(), L"ThreadingModel",
                                std::wstring(L"Both"));
    const ScopedValue driverLog(kDevelopmentKey, kDevelopmentKey, L"SubstituteDriverLog", log);

    std::optional<substitute_hid::Control> control = substitute_hid::Control::Open();
    ASSERT_TRUE(control);
    ASSERT_TRUE(control->Clear());

    // Devices unplugged are back for the next test, however this one ends: after the service
    // has gone.
    struct Restore {
        ~Restore() {
            const std::vector<substitute_hid::Kind> kinds = substitute_hid::DefaultKinds();
            EXPECT_TRUE(substitute_hid::Add(kinds, substitute_hid::ExecutableDirectory()));
        }
    } restore;
    ASSERT_EQ(RunKelvo(L"-Service"), 0u);
    const ScHandle service(::OpenServiceW(manager.get(), kelvo_exe::kServiceName,
                                          SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_NE(service.get(), nullptr) << ::GetLastError();
    // However the test ends, the service does not outlive it to talk to the devices of the next
    // (removing it stops it first).
    struct Removal {
        ~Removal() { EXPECT_EQ(RunKelvo(L"-UnregServer"), 0u); }
    } removal;
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
        } else if (command.rfind("unplug ", 0) == 0 || command.rfind("plug ", 0) == 0) {
            const bool plug = command[0] == 'p';
            std::istringstream words(command.substr(command.find(' ') + 1));
            std::string what, index;
            words >> what >> index;
            ASSERT_TRUE(what == "touch" || (what == "button" && !index.empty()))
                << "no such device here";
            // The service's controller here is touch-v2. The add and the removal return once
            // the device's interfaces are there or gone.
            const std::string device = what == "touch" ? "touch-v2" : "button-" + index;
            ASSERT_TRUE(plug ? substitute_hid::Add(device, substitute_hid::ExecutableDirectory())
                             : substitute_hid::Remove(device))
                << ::GetLastError();
            // A button device gives no record when its thread takes it up again, and a press
            // made before then would be lost: the next step waits until the service holds it.
            DWORD waited = 0;
            for (; plug && what == "button" && waited < kStartMilliseconds &&
                   !HoldsDevice(service.get(), device);
                 waited += 50) {
                ::Sleep(50);
            }
            ASSERT_LT(waited, kStartMilliseconds) << "the service did not take the device up";
        } else if (command == "stop") {
            ASSERT_TRUE(kelvo_exe::Stop(service.get()))
                << ::GetLastError() << ", state " << State(service.get());
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

TEST(KelvoServiceWithDevices, GivesTheDevicesAndTheDriverWhatKelvoSimGives) {
    PlayScenario("frame_with_devices");
}

// The controller and a button device unplugged and plugged in again while the service runs: the
// controller that comes back gets the start-up exchange and the frame's touch mode again, and
// the button's thread serves the device that came back.
TEST(KelvoServiceWithDevices, ServesTheDevicesThatComeBack) { PlayScenario("devices_come_back"); }

}  // namespace
