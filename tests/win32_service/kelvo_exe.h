// Kelvo.exe as the programs of the Wine prefix reach it: its path, a run of it to its end, and
// the owner of a service control manager handle. The includer defines KELVO_EXE_PATH, the
// executable's path in the build tree.
#pragma once

#include <optional>
#include <string>

#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"

namespace kelvo_exe {

// A path of the build or source tree as Windows programs here see it: on drive Z:.
inline std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (const char c : unixPath) path.push_back(c == '/' ? L'\\' : c);
    return path;
}

inline std::wstring KelvoPath() { return WindowsPath(KELVO_EXE_PATH); }

// Runs Kelvo.exe with the arguments to its end; its exit code, or none when it could not be
// started or did not end within a minute (it is then ended).
inline std::optional<DWORD> Run(const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + KelvoPath() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return std::nullopt;
    }
    const platform::win32::UniqueHandle processHandle(process.hProcess);
    const platform::win32::UniqueHandle threadHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        return std::nullopt;
    }
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process.hProcess, &exitCode)) return std::nullopt;
    return exitCode;
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

}  // namespace kelvo_exe
