// Kelvo.exe as the programs of the Wine prefix reach it: its path, a run of it to its end, the
// owner of a service control manager handle, the service's start, stop, state and window, and the
// registry values and files the tests give the service and read back. The includer defines
// KELVO_EXE_PATH, the executable's path in the build tree.
#pragma once

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "events/system_event_monitor.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"

namespace kelvo_exe {

// The service as Kelvo.exe installs it: its name, display name and event-log source.
inline constexpr const wchar_t* kServiceName = L"Ambrel Manager";

// A path of the build or source tree as Windows programs here see it: on drive Z:.
inline std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (const char c : unixPath) path.push_back(c == '/' ? L'\\' : c);
    return path;
}

inline std::wstring KelvoPath() { return WindowsPath(KELVO_EXE_PATH); }

// Runs Kelvo.exe with the arguments to its end; its exit code, or none when it could not be
// started or did not end within a minute (it is then ended). It runs on the desktop
// ("Station\\Desktop") when one is given, else on the caller's; what it writes to standard error
// is kept in standardError when one is given.
inline std::optional<DWORD> Run(const std::wstring& arguments, const wchar_t* desktop = nullptr,
                                std::string* standardError = nullptr) {
    using platform::win32::UniqueHandle;
    std::wstring commandLine = L"\"" + KelvoPath() + L"\" " + arguments;
    std::wstring desktopName = desktop != nullptr ? desktop : L"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (desktop != nullptr) startup.lpDesktop = desktopName.data();
    UniqueHandle errorRead, errorWrite;
    if (standardError != nullptr) {
        SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!::CreatePipe(&read, &write, &inherited, 0)) return std::nullopt;
        errorRead.reset(read);
        errorWrite.reset(write);
        ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = write;
    }
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, standardError != nullptr,
                          0, nullptr, nullptr, &startup, &process)) {
        return std::nullopt;
    }
    errorWrite.reset();
    const UniqueHandle processHandle(process.hProcess);
    const UniqueHandle threadHandle(process.hThread);
    const bool ended = ::WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(process.hProcess, 1);
    // Only what is in the pipe: a program it started may hold the pipe open still.
    DWORD available = 0;
    while (standardError != nullptr &&
           ::PeekNamedPipe(errorRead.get(), nullptr, 0, nullptr, &available, nullptr) &&
           available != 0) {
        std::string chunk(available, '\0');
        DWORD read = 0;
        if (!::ReadFile(errorRead.get(), chunk.data(), available, &read, nullptr)) break;
        standardError->append(chunk, 0, read);
    }
    DWORD exitCode = 0;
    if (!ended || !::GetExitCodeProcess(process.hProcess, &exitCode)) return std::nullopt;
    return exitCode;
}

using ScHandle = platform::win32::UniqueServiceHandle;

// The service's state, or 0 when it cannot be read.
inline DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

inline bool WaitForState(SC_HANDLE service, DWORD state, DWORD milliseconds) {
    for (DWORD waited = 0; waited < milliseconds; waited += 50) {
        if (State(service) == state) return true;
        ::Sleep(50);
    }
    return State(service) == state;
}

// Starts (stops) the service and waits, within generous bounds, until it runs (has stopped);
// whether it did.
inline bool Start(SC_HANDLE service) {
    return ::StartServiceW(service, 0, nullptr) && WaitForState(service, SERVICE_RUNNING, 30000);
}
inline bool Stop(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::ControlService(service, SERVICE_CONTROL_STOP, &status) &&
           WaitForState(service, SERVICE_STOPPED, 10000);
}

// Waits until the service's message loop runs, so that an event is not lost for want of its
// window; false when it does not within the bound. The window lives on the window station Wine
// gives services; this process joins it to find the window, and a sent message is answered only
// from the loop.
inline bool WaitForServiceWindow(DWORD milliseconds) {
    for (DWORD waited = 0; waited < milliseconds; waited += 50, ::Sleep(50)) {
        if (HWINSTA station =
                ::OpenWindowStationW(L"__wineservice_winstation", FALSE, MAXIMUM_ALLOWED)) {
            if (!::SetProcessWindowStation(station)) ::CloseWindowStation(station);
        }
        if (HDESK desktop = ::OpenDesktopW(L"Default", 0, FALSE, MAXIMUM_ALLOWED)) {
            if (!::SetThreadDesktop(desktop)) ::CloseDesktop(desktop);
        }
        const HWND window = ::FindWindowW(SystemEventMonitor::kWindowClassName, nullptr);
        DWORD_PTR answer = 0;
        if (window != nullptr &&
            ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer) != 0)
            return true;
    }
    return false;
}

// One value under HKEY_LOCAL_MACHINE for the owner's life. The value goes with the owner, and so
// does the key tree `created` when the owner made it.
class ScopedValue {
public:
    ScopedValue(const wchar_t* key, const wchar_t* created, const wchar_t* name, DWORD type,
                const void* data, DWORD size)
        : _key(key), _created(created), _name(name) {
        HKEY existing = nullptr;
        _madeTree =
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, created, 0, KEY_READ, &existing) != ERROR_SUCCESS;
        if (existing != nullptr) ::RegCloseKey(existing);
        _status = ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, name, type, data, size);
    }
    ScopedValue(const wchar_t* key, const wchar_t* created, const wchar_t* name, DWORD value)
        : ScopedValue(key, created, name, REG_DWORD, &value, sizeof value) {}
    ScopedValue(const wchar_t* key, const wchar_t* created, const wchar_t* name,
                const std::wstring& text)
        : ScopedValue(key, created, name, REG_SZ, text.c_str(),
                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) {}
    ~ScopedValue() {
        if (_madeTree) {
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, _created.c_str());
        } else {
            ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, _key.c_str(), _name.c_str());
        }
    }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

    // How setting the value went.
    LSTATUS status() const { return _status; }

private:
    std::wstring _key, _created, _name;
    bool _madeTree = false;
    LSTATUS _status = ERROR_SUCCESS;
};

// A text file's lines, without their line ends; none when it cannot be read.
inline std::vector<std::string> FileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace kelvo_exe
