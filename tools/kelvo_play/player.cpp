#include "player.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <string_view>
#include <thread>
#include <type_traits>

#include "contract.h"
#include "devices/gfx_driver.h"
#include "events/monitor_window.h"
#include "events/system_event.h"

namespace kelvo::play {

namespace {

using platform::win32::UniqueHandle;
using namespace std::chrono_literals;

// The service as Kelvo.exe installs it.
constexpr const wchar_t* kServiceName = L"Ambrel Manager";
// Where the substitute graphics driver, loaded by a service, finds the file to log to.
constexpr const wchar_t* kDevelopmentKey = L"SOFTWARE\\Kelvo\\Development";
constexpr const wchar_t* kDriverLogValue = L"SubstituteDriverLog";
// Bounds for what takes a moment on a loaded machine: a start, a stop, a device taken up.
constexpr auto kSettleBound = 30s;
// The one device name of the device-interface broadcasts, as kelvo-sim gives it.
constexpr const wchar_t* kBroadcastDeviceName =
    L"\\\\?\\DISPLAY#KLV0A01#4&2b9f3c1d&0&UID4352#{e6dfdc31-31d0-46ac-86af-da1eb05fc599}";
// The graphics driver's classes, and the substitute's image beside this program.
constexpr const CLSID* kGfxClasses[] = {&CLSID_TheCorvaneAmbrel, &CLSID_GfxDeviceData};
constexpr const wchar_t* kSubstituteDriverImage = L"kelvo_substitute_driver.dll";

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::wstring ClassKey(const CLSID& clsid) {
    wchar_t text[40];
    ::StringFromGUID2(clsid, text, 40);
    return L"Software\\Classes\\CLSID\\" + std::wstring(text);
}

// A REG_SZ under HKEY_LOCAL_MACHINE; nothing when it is missing or not a string.
std::optional<std::wstring> ReadString(const std::wstring& key, const wchar_t* name) {
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value,
                       &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(value);
}

LSTATUS WriteString(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// The whole of a file another process appends to; empty when it cannot be read.
std::string ReadShared(const std::wstring& path) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    if (!file) return text;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read != 0)
        text.append(buffer, read);
    return text;
}

// Runs a program of the system to its end; whether it ended with 0. Its output is dropped, its
// errors go to this program's.
bool RunSystemProgram(std::wstring commandLine) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    const UniqueHandle nul(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherited,
                                         OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = nul.get();
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &process))
        return false;
    const UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    DWORD exitCode = 1;
    return ::WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0 &&
           ::GetExitCodeProcess(process.hProcess, &exitCode) && exitCode == 0;
}

// The name kelvo-sim gives the device in its timeline.
std::string TimelineName(const std::string& device) {
    if (device.rfind("touch-", 0) == 0) return "touch";
    if (device.rfind("button-", 0) == 0) return "button" + device.substr(7);
    return device;
}

// A report a substitute device received, as a timeline record. A GetFeature carries its report
// id only (the device does not keep what it answered) and the length asked for.
std::string HidRecord(host::Millis time, const substitute_hid::ReceivedReport& report,
                      host::TimelineFormat format) {
    using substitute_hid::ReportKind;
    const char* op = report.kind == ReportKind::GetFeature   ? "GetFeature"
                     : report.kind == ReportKind::SetFeature ? "SetFeature"
                                                             : "Write";
    std::string line = host::FormatHid(time, TimelineName(report.device), op, report.bytes, format);
    const bool length =
        report.kind == ReportKind::GetFeature || report.length != report.bytes.size();
    if (format == host::TimelineFormat::Json) {
        line.pop_back();
        if (length) line += ",\"length\":" + std::to_string(report.length);
        if (!report.accepted) line += ",\"refused\":true";
        return line + "}";
    }
    if (length) line += " length " + std::to_string(report.length);
    return report.accepted ? line : line + " (refused)";
}

// A line of the substitute driver's log ("SetInfo size=36 in=0 [01 00 ...] -> 0x00000000") as a
// timeline record; nothing for its object lines ("create ...", "destroy ...") and what it cannot
// read.
std::optional<std::string> GfxRecord(host::Millis time, const std::string& line,
                                     host::TimelineFormat format) {
    const auto hex = [&line](std::size_t begin, std::size_t end, auto& value) {
        const auto [last, error] =
            std::from_chars(line.data() + begin, line.data() + end, value, 16);
        return error == std::errc() && last == line.data() + end;
    };
    const std::size_t method = line.find(' '), open = line.find('['), close = line.find(']'),
                      arrow = line.find("-> 0x");
    if (method == std::string::npos || open == std::string::npos || close == std::string::npos ||
        close < open || arrow < close || arrow == std::string::npos)
        return std::nullopt;
    std::vector<BYTE> record;
    for (std::size_t i = open + 1; i + 2 <= close; i += 3) {
        if (!hex(i, i + 2, record.emplace_back())) return std::nullopt;
    }
    DWORD result = 0;
    if (!hex(arrow + 5, line.size(), result)) return std::nullopt;
    return host::FormatGfx(time, line.substr(0, method), record, static_cast<HRESULT>(result),
                           format);
}

// Joins the window station and desktop Wine gives services, where the service's window is.
void JoinServiceDesktop() {
    if (HWINSTA station =
            ::OpenWindowStationW(L"__wineservice_winstation", FALSE, MAXIMUM_ALLOWED)) {
        if (!::SetProcessWindowStation(station)) ::CloseWindowStation(station);
    }
    if (HDESK desktop = ::OpenDesktopW(L"Default", 0, FALSE, MAXIMUM_ALLOWED)) {
        if (!::SetThreadDesktop(desktop)) ::CloseDesktop(desktop);
    }
}

}  // namespace

bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ServiceWindowReachable() {
    DWORD session = 1;
    return RunningUnderWine() ||
           (::ProcessIdToSessionId(::GetCurrentProcessId(), &session) && session == 0);
}

Player::Player(std::FILE* out, host::TimelineFormat format)
    : _out(out), _format(format), _start(Clock::now()), _control(substitute_hid::Control::Open()) {
    if (RunningUnderWine()) JoinServiceDesktop();
    if (_control && !_control->Clear()) _control.reset();
    // The substitute driver logs to a file of this program's for as long as it plays.
    wchar_t directory[MAX_PATH];
    const DWORD length = ::GetTempPathW(MAX_PATH, directory);
    if (length == 0 || length >= MAX_PATH) return;
    const std::wstring log = std::wstring(directory) + L"kelvo-play-" +
                             std::to_wstring(::GetCurrentProcessId()) + L".log";
    const std::optional<std::wstring> previous = ReadString(kDevelopmentKey, kDriverLogValue);
    if (WriteString(kDevelopmentKey, kDriverLogValue, log) != ERROR_SUCCESS) {
        std::fprintf(stderr,
                     "kelvo-play: cannot set HKLM\\%s \"%s\": no records of the graphics "
                     "driver\n",
                     Narrow(kDevelopmentKey).c_str(), Narrow(kDriverLogValue).c_str());
        return;
    }
    _hadDriverLog = previous.has_value();
    _previousDriverLog = previous.value_or(L"");
    _driverLog = log;
    ::DeleteFileW(log.c_str());
}

Player::~Player() {
    if (_driverLog.empty()) return;
    if (_hadDriverLog) {
        WriteString(kDevelopmentKey, kDriverLogValue, _previousDriverLog);
    } else {
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kDevelopmentKey, kDriverLogValue);
    }
    ::DeleteFileW(_driverLog.c_str());
}

host::Millis Player::Now() const {
    return static_cast<host::Millis>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - _start).count());
}

void Player::Collect() {
    const host::Millis now = Now();
    if (_control) {
        const auto received = _control->Take();
        if (!received) {
            std::fprintf(stderr, "kelvo-play: the substitute devices' records were lost\n");
        } else {
            for (const substitute_hid::ReceivedReport& report : *received)
                std::fprintf(_out, "%s\n", HidRecord(now, report, _format).c_str());
        }
    }
    if (!_driverLog.empty()) {
        // Whole lines only: the driver may be writing the last one.
        const std::string text = ReadShared(_driverLog);
        std::size_t line = 0, begin = 0;
        for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos;
             begin = end + 1, ++line) {
            if (line < _driverLogLines) continue;
            std::string record = text.substr(begin, end - begin);
            if (!record.empty() && record.back() == '\r') record.pop_back();
            if (const auto formatted = GfxRecord(now, record, _format))
                std::fprintf(_out, "%s\n", formatted->c_str());
        }
        _driverLogLines = line;
    }
    std::fflush(_out);
}

void Player::Pass(std::chrono::milliseconds time) {
    const Clock::time_point end = Clock::now() + time;
    for (Clock::time_point now = Clock::now(); now < end; now = Clock::now()) {
        Collect();
        std::this_thread::sleep_for(
            std::min<Clock::duration>(end - now, std::chrono::milliseconds(20)));
    }
    Collect();
}

void Player::Fail(int line, const std::string& message) {
    std::fprintf(stderr, "kelvo-play: line %d: %s\n", line, message.c_str());
}

bool Player::OpenService(DWORD access) {
    if (_service) return true;
    _manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (_manager) _service.reset(::OpenServiceW(_manager.get(), kServiceName, access));
    if (_service) return true;
    std::fprintf(stderr, "kelvo-play: cannot open the service \"%s\": error %lu\n",
                 Narrow(kServiceName).c_str(), static_cast<unsigned long>(::GetLastError()));
    return false;
}

namespace {

DWORD ServiceState(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

}  // namespace

bool Player::StopService() {
    SERVICE_STATUS status{};
    if (ServiceState(_service.get()) == SERVICE_STOPPED) return true;
    if (!::ControlService(_service.get(), SERVICE_CONTROL_STOP, &status) &&
        ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
        return false;
    const Clock::time_point end = Clock::now() + kSettleBound;
    while (ServiceState(_service.get()) != SERVICE_STOPPED && Clock::now() < end) Pass(20ms);
    return ServiceState(_service.get()) == SERVICE_STOPPED;
}

bool Player::Start(const std::wstring& registryFile) {
    if (!OpenService(SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)) return false;
    if (!StopService()) {
        std::fprintf(stderr, "kelvo-play: the running service did not stop\n");
        return false;
    }
    if (!registryFile.empty()) {
        const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, contract::kConfigurationKey);
        if ((status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) ||
            !RunSystemProgram(L"reg.exe import \"" + registryFile + L"\"")) {
            std::fprintf(stderr, "kelvo-play: cannot load the configuration from %s\n",
                         Narrow(registryFile).c_str());
            return false;
        }
    }
    // Nothing of before the start counts.
    if (_control) _control->Take();
    _driverLogLines = 0;
    if (!_driverLog.empty()) ::DeleteFileW(_driverLog.c_str());
    _start = Clock::now();
    if (!::StartServiceW(_service.get(), 0, nullptr)) {
        std::fprintf(stderr, "kelvo-play: cannot start the service: error %lu\n",
                     static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    _started = true;
    // It serves once it runs, its window answers and the hot keys can be pressed.
    const Clock::time_point end = Clock::now() + kSettleBound;
    const auto serving = [this] {
        DWORD_PTR answer = 0;
        const HWND window = ServiceWindowReachable() ? ServiceWindow() : nullptr;
        const UniqueHandle hotKey(::OpenEventW(
            SYNCHRONIZE, FALSE, contract::kHotKeyEventNames[contract::kHotKeyCount - 1]));
        return ServiceState(_service.get()) == SERVICE_RUNNING && hotKey &&
               (!ServiceWindowReachable() ||
                (window != nullptr &&
                 ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer)));
    };
    while (!serving()) {
        if (Clock::now() >= end) {
            std::fprintf(stderr, "kelvo-play: the service did not come to serve (state %lu)\n",
                         static_cast<unsigned long>(ServiceState(_service.get())));
            return false;
        }
        Pass(20ms);
    }
    Collect();
    return true;
}

HWND Player::ServiceWindow() { return ::FindWindowW(MonitorWindow::kClassName, nullptr); }

bool Player::HotKey(host::HotKey key) {
    const wchar_t* name = contract::kHotKeyEventNames[static_cast<std::size_t>(key)];
    const UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name));
    if (!event || !::SetEvent(event.get())) {
        Fail(_line, "the hot-key event " + Narrow(name) + " is not there");
        return false;
    }
    // The service resets the event a moment after it takes the press; a press before then would
    // count as the same one.
    const Clock::time_point end = Clock::now() + kSettleBound;
    while (::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0) {
        if (Clock::now() >= end) {
            Fail(_line, "the service did not take the hot key");
            return false;
        }
        Pass(5ms);
    }
    return true;
}

std::vector<std::string> Player::DeviceNames(int button) const {
    if (button != host::PlugDevice::kTouchController) return {"button-" + std::to_string(button)};
    std::vector<std::string> names;
    for (const substitute_hid::Interface& found : substitute_hid::PresentInterfaces()) {
        if (found.name.rfind("touch-", 0) == 0 &&
            std::find(names.begin(), names.end(), found.name) == names.end())
            names.push_back(found.name);
    }
    return names;
}

bool Player::Plug(const host::PlugDevice& plug) {
    const bool touch = plug.button == host::PlugDevice::kTouchController;
    const auto ofThisKind = [&](const std::string& name) {
        return touch ? name.rfind("touch-", 0) == 0
                     : name == "button-" + std::to_string(plug.button);
    };
    std::vector<std::string> names;
    if (!plug.plugged) {
        names = DeviceNames(plug.button);
        _unplugged.insert(_unplugged.end(), names.begin(), names.end());
    } else {
        // Those unplugged here before; or, for a controller, those a test machine has.
        std::copy_if(_unplugged.begin(), _unplugged.end(), std::back_inserter(names), ofThisKind);
        std::erase_if(_unplugged, ofThisKind);
        if (names.empty()) {
            names = touch ? std::vector<std::string>{"touch-v2", "touch-legacy"}
                          : DeviceNames(plug.button);
        }
    }
    for (const std::string& name : names) {
        if (!(plug.plugged ? substitute_hid::Add(name, substitute_hid::ExecutableDirectory())
                           : substitute_hid::Remove(name))) {
            Fail(_line, "cannot " + std::string(plug.plugged ? "add " : "remove ") + name +
                            ": error " + std::to_string(::GetLastError()));
            return false;
        }
    }
    // A button device gives no record when the service takes it up again, and a press before
    // then would be lost: under Wine, wait until the service holds it.
    const Clock::time_point end = Clock::now() + kSettleBound;
    while (plug.plugged && !touch && RunningUnderWine() && _service &&
           !ServiceHolds(names.front())) {
        if (Clock::now() >= end) {
            Fail(_line, "the service did not take " + names.front() + " up");
            return false;
        }
        Pass(50ms);
    }
    return true;
}

bool Player::Hold(const host::HoldDevice& hold) {
    const std::vector<std::string> names = DeviceNames(hold.button);
    if (!hold.open) {
        std::erase_if(_held, [&](const auto& held) {
            return std::find(names.begin(), names.end(), held.first) != names.end();
        });
        return true;
    }
    for (const substitute_hid::Interface& found : substitute_hid::PresentInterfaces()) {
        if (std::find(names.begin(), names.end(), found.name) == names.end()) continue;
        UniqueHandle device(::CreateFileW(found.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        if (!device) {
            Fail(_line,
                 "cannot open " + found.name + ": error " + std::to_string(::GetLastError()));
            return false;
        }
        _held.emplace_back(found.name, std::move(device));
    }
    return true;
}

bool Player::Gfx(bool registered) {
    if (!registered) {
        for (const CLSID* clsid : kGfxClasses) {
            const std::wstring key = ClassKey(*clsid);
            const std::wstring server = key + L"\\InprocServer32";
            const std::optional<std::wstring> image = ReadString(server, nullptr);
            if (!image) continue;
            _gfxClasses.push_back(
                {key, *image, ReadString(server, L"ThreadingModel").value_or(L"Both")});
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
        }
        return true;
    }
    if (_gfxClasses.empty()) {
        _gfxClasses.push_back(
            {ClassKey(CLSID_TheCorvaneAmbrel),
             substitute_hid::ExecutableDirectory() + L"\\" + kSubstituteDriverImage, L"Both"});
    }
    bool done = true;
    for (const GfxClass& gfxClass : _gfxClasses) {
        const std::wstring server = gfxClass.key + L"\\InprocServer32";
        done = WriteString(server, nullptr, gfxClass.server) == ERROR_SUCCESS &&
               WriteString(server, L"ThreadingModel", gfxClass.threading) == ERROR_SUCCESS && done;
    }
    _gfxClasses.clear();
    if (!done) Fail(_line, "cannot register the graphics driver's classes");
    return done;
}

// Whether the service's process holds a handle open on the named substitute device that still
// answers. Its handles are copied and asked for the device's strings. Under Wine only: Wine's
// class driver answers beside the read pending on a button's handle, where Windows would hold the
// question on a synchronous handle until the read ends, and the handle list is Wine's layout.
bool Player::ServiceHolds(const std::string& device) {
    SERVICE_STATUS_PROCESS state{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(_service.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&state), sizeof state, &needed))
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
    const std::wstring wideName(device.begin(), device.end());
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

bool Player::Play(const host::Command& command) {
    _line = command.line;
    const auto window = [this]() -> HWND {
        const HWND found = ServiceWindow();
        if (found == nullptr) Fail(_line, "the monitor window is not there");
        return found;
    };
    bool done = true;
    std::visit(
        [&](const auto& a) {
            using T = std::decay_t<decltype(a)>;
            DWORD_PTR answer = 0;
            if constexpr (std::is_same_v<T, host::Wait>) {
                Pass(std::chrono::milliseconds(a.milliseconds));
            } else if constexpr (std::is_same_v<T, host::SettingChange>) {
                const HWND target = window();
                done = target != nullptr &&
                       ::SendMessageTimeoutW(target, WM_SETTINGCHANGE, 0,
                                             reinterpret_cast<LPARAM>(a.name.c_str()),
                                             SMTO_ABORTIFHUNG, 5000, &answer) != 0;
            } else if constexpr (std::is_same_v<T, host::PowerEvent>) {
                const HWND target = window();
                done = target != nullptr &&
                       ::PostMessageW(target, WM_POWERBROADCAST, a.type, a.data) != 0;
            } else if constexpr (std::is_same_v<T, host::DeviceInterfaceChange>) {
                // The broadcast's record, its device name within it.
                struct {
                    DEV_BROADCAST_DEVICEINTERFACE_W header;
                    wchar_t name[128];
                } broadcast{};
                const std::size_t length = std::wcslen(kBroadcastDeviceName);
                broadcast.header.dbcc_size =
                    static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                       (length + 1) * sizeof(wchar_t));
                broadcast.header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
                broadcast.header.dbcc_classguid = a.classGuid;
                std::wmemcpy(broadcast.header.dbcc_name, kBroadcastDeviceName, length + 1);
                const HWND target = window();
                done = target != nullptr &&
                       ::SendMessageTimeoutW(target, WM_DEVICECHANGE, a.eventCode,
                                             reinterpret_cast<LPARAM>(&broadcast), SMTO_ABORTIFHUNG,
                                             5000, &answer) != 0;
            } else if constexpr (std::is_same_v<T, host::PressHotKey>) {
                done = HotKey(a.key);
            } else if constexpr (std::is_same_v<T, host::ButtonReport>) {
                done = _control.has_value() &&
                       _control->Inject("button-" + std::to_string(a.device), a.report);
                if (!done) Fail(_line, "the substitute button device takes no input");
            } else if constexpr (std::is_same_v<T, host::RegistrySet>) {
                const std::wstring key = a.key.empty()
                                             ? contract::kConfigurationKey
                                             : contract::kConfigurationKey + (L"\\" + a.key);
                done = ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), a.value.c_str(),
                                         REG_DWORD, &a.data, sizeof a.data) == ERROR_SUCCESS;
                if (!done) Fail(_line, "cannot write the configuration");
            } else if constexpr (std::is_same_v<T, host::RegistryDelete>) {
                const std::wstring key = a.key.empty()
                                             ? contract::kConfigurationKey
                                             : contract::kConfigurationKey + (L"\\" + a.key);
                const LSTATUS status =
                    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), a.value.c_str());
                done = status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
                if (!done) Fail(_line, "cannot write the configuration");
            } else if constexpr (std::is_same_v<T, host::PostMonitorEvent>) {
                const HWND target = window();
                done = target != nullptr && ::PostMessageW(target, WM_MONITOR_EVENT, a.type, 0);
            } else if constexpr (std::is_same_v<T, host::PlugDevice>) {
                done = Plug(a);
            } else if constexpr (std::is_same_v<T, host::HoldDevice>) {
                done = Hold(a);
            } else if constexpr (std::is_same_v<T, host::GfxDriver>) {
                done = Gfx(a.registered);
            } else if constexpr (std::is_same_v<T, host::Stop>) {
                done = OpenService(SERVICE_STOP | SERVICE_QUERY_STATUS) && StopService();
                if (!done) Fail(_line, "the service did not stop");
            } else {
                // Refused before play: the machine's metrics and power-setting records.
                static_assert(std::is_same_v<T, host::SetMetric> ||
                              std::is_same_v<T, host::PowerSettingChange>);
                done = false;
            }
        },
        command.action);
    Collect();
    return done;
}

bool Player::Finish() {
    bool done = true;
    if (_started && ServiceState(_service.get()) != SERVICE_STOPPED) {
        done = StopService();
        if (!done) std::fprintf(stderr, "kelvo-play: the service did not stop\n");
    }
    Collect();
    // The machine as it was found: the devices unplugged here back, the driver registered.
    _held.clear();
    for (const std::string& name : _unplugged) {
        if (!substitute_hid::Add(name, substitute_hid::ExecutableDirectory())) {
            std::fprintf(stderr, "kelvo-play: cannot add %s again\n", name.c_str());
            done = false;
        }
    }
    _unplugged.clear();
    if (!_gfxClasses.empty()) done = Gfx(true) && done;
    return done;
}

}  // namespace kelvo::play
