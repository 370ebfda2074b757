#include "platform/win32/tracing_win32.h"

#include <algorithm>
#include <cwchar>
#include <string>

namespace platform::win32 {

namespace {

constexpr wchar_t kTraceFileVariable[] = L"KELVO_TRACE_FILE";
// Under HKLM: where a service finds what the variable gives a test program.
constexpr wchar_t kDevelopmentKey[] = L"SOFTWARE\\Kelvo\\Development";
constexpr wchar_t kTraceFileValue[] = L"TraceFile";

// The value of an environment variable; empty when it is unset or empty.
std::wstring EnvironmentVariable(const wchar_t* name) {
    std::wstring value(64, L'\0');
    for (;;) {
        const DWORD length =
            ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length);  // too small: length is the size needed, terminator included
    }
}

// A REG_SZ of the development key; empty when it is missing. One that cannot be read (another
// type) is ignored, and the debugger told why.
std::wstring DevelopmentString(const wchar_t* name) {
    std::wstring value(64, L'\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        const LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kDevelopmentKey, name,
                                              RRF_RT_REG_SZ, nullptr, value.data(), &size);
        if (status == ERROR_SUCCESS) {
            value.resize(std::wcslen(value.c_str()));
            return value;
        }
        if (status != ERROR_MORE_DATA) {
            if (status != ERROR_FILE_NOT_FOUND) {
                ::OutputDebugStringW((L"kelvo: HKLM\\" + std::wstring(kDevelopmentKey) + L"\\" +
                                      name + L" ignored, error " + std::to_wstring(status) + L"\n")
                                         .c_str());
            }
            return {};
        }
        // Always larger, so that the loop ends even if the size reported does not grow.
        value.resize(std::max<std::size_t>(value.size() + 1, size / sizeof(wchar_t) + 1));
    }
}

// Appends text as UTF-8; an unpaired surrogate becomes U+FFFD.
void AppendUtf8(std::string& out, const wchar_t* text, int length) {
    if (length == 0) return;
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(size));
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data() + start, size, nullptr, nullptr);
}

}  // namespace

Win32Tracing::Win32Tracing() {
    std::wstring path = EnvironmentVariable(kTraceFileVariable);
    if (path.empty()) path = DevelopmentString(kTraceFileValue);
    if (path.empty()) return;
    _traceFile.reset(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!_traceFile) {
        _traceFile.release();  // INVALID_HANDLE_VALUE: nothing to close
        ::OutputDebugStringW((L"kelvo: cannot open the trace file " + path + L"\n").c_str());
    }
}

ULONG Win32Tracing::EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback,
                                  PVOID callbackContext, PREGHANDLE regHandle) {
    return ::EventRegister(providerId, enableCallback, callbackContext, regHandle);
}

ULONG Win32Tracing::EventUnregister(REGHANDLE regHandle) { return ::EventUnregister(regHandle); }

ULONG Win32Tracing::EventWriteString(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword,
                                     PCWSTR string) {
    const ULONG status = ::EventWriteString(regHandle, level, keyword, string);
    if (status == ERROR_SUCCESS && _traceFile && string) AppendToTraceFile(level, string);
    return status;
}

BOOLEAN Win32Tracing::EventProviderEnabled(REGHANDLE regHandle, UCHAR level, ULONGLONG keyword) {
    return ::EventProviderEnabled(regHandle, level, keyword);
}

void Win32Tracing::OutputDebugStringW(LPCWSTR outputString) { ::OutputDebugStringW(outputString); }

void Win32Tracing::AppendToTraceFile(UCHAR level, PCWSTR string) {
    // Logging must not disturb the caller's last error.
    const DWORD lastError = ::GetLastError();
    std::string line = "L" + std::to_string(level) + " ";
    AppendUtf8(line, string, static_cast<int>(std::wcslen(string)));
    line += '\n';
    DWORD written = 0;
    std::lock_guard<std::mutex> lock(_traceFileWrite);
    ::WriteFile(_traceFile.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::SetLastError(lastError);
}

}  // namespace platform::win32
