// Another process of the session, as the system's peers are: it finds the monitor window by its
// class, or opens a hot-key event by its name, and does one thing to it.
//   events_peer post MESSAGE WPARAM LPARAM   PostMessageW to the monitor window
//   events_peer setting NAME                 WM_SETTINGCHANGE with the setting's name, sent
//   events_peer set EVENT                    SetEvent on the named event
// Numbers are decimal or 0x hex. Exit code 0 when the step was done, else the last error (or 87
// for a bad command line).
#include <cwchar>
#include <string>

#include "events/system_event_monitor.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"

namespace {

constexpr DWORD kSendTimeoutMilliseconds = 10000;

DWORD Failure() {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

ULONG_PTR Number(const wchar_t* text) { return std::wcstoull(text, nullptr, 0); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"set" && argc == 3) {
        const platform::win32::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]));
        if (!event || !::SetEvent(event.get())) return static_cast<int>(Failure());
        return 0;
    }
    const HWND window = ::FindWindowW(SystemEventMonitor::kWindowClassName, nullptr);
    if (command == L"post" && argc == 5) {
        if (!window) return static_cast<int>(Failure());
        if (!::PostMessageW(window, static_cast<UINT>(Number(argv[2])), Number(argv[3]),
                            static_cast<LPARAM>(Number(argv[4])))) {
            return static_cast<int>(Failure());
        }
        return 0;
    }
    if (command == L"setting" && argc == 3) {
        if (!window) return static_cast<int>(Failure());
        DWORD_PTR result = 0;
        if (!::SendMessageTimeoutW(window, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(argv[2]),
                                   SMTO_ABORTIFHUNG, kSendTimeoutMilliseconds, &result)) {
            return static_cast<int>(Failure());
        }
        return 0;
    }
    return ERROR_INVALID_PARAMETER;
}
