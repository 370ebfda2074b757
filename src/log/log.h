// The log facility: one logger per process writing each message as an ETW string event.
//
// Callers write Log(level, format, ...) with a wide format (%s wide, %S narrow, see format.h),
// LOG_SCOPE() for entry and exit traces, LogHResult(hr) where a failure status is detected and
// LogAssert(condition) for conditions that must hold. The logger never throws and never stops its
// caller; the only thing it reports to the debugger is its own trouble with ETW.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <type_traits>

#include "platform/kernel.h"
#include "platform/tracing.h"
#include "platform/win32types.h"

// The service's ETW provider.
struct LogProviderKelvo {
    // {13046BD6-C656-4BD4-B3CB-E65124F2086A}
    static constexpr GUID ProviderId = {
        0x13046BD6, 0xC656, 0x4BD4, {0xB3, 0xCB, 0xE6, 0x51, 0x24, 0xF2, 0x08, 0x6A}};
};

template <class Provider>
class CLog {
public:
    // Formatting room on the caller's stack: 1023 characters and the terminator.
    static constexpr std::size_t kBufferChars = 1024;
    // Offers of one message to ETW before it is given up.
    static constexpr int kWriteAttempts = 8;
    // The highest level written; the trace session may take less.
    static constexpr UCHAR kThreshold = TRACE_LEVEL_VERBOSE;

    // Registers the provider; on failure reports it once and drops every message from then on.
    CLog(platform::Tracing& tracing, platform::Kernel& kernel);
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // The current world's logger, created on first use; null when it cannot be created.
    static CLog* Instance();

    // Whether a message at this level would be written; checked before anything is formatted.
    bool Accepts(UCHAR level) const { return level <= kThreshold && _handle != 0; }

    void Log(UCHAR level, PCWSTR format, ...);
    void LogV(UCHAR level, PCWSTR format, va_list args);
    // Writes one finished text, retrying while the trace session's buffers are full.
    void WriteString(UCHAR level, PCWSTR text);

private:
    REGHANDLE _handle;
    platform::Tracing& _tracing;
    platform::Kernel& _kernel;
};

extern template class CLog<LogProviderKelvo>;

// Writes through the process's logger. Inline, so that a message nobody takes costs a test.
template <class... Args>
inline void Log(UCHAR level, PCWSTR format, Args... args) {
    static_assert((std::is_scalar_v<Args> && ...),
                  "Log takes numbers and string pointers only (pass c_str(), not a string)");
    if (level > CLog<LogProviderKelvo>::kThreshold) return;
    if (CLog<LogProviderKelvo>* log = CLog<LogProviderKelvo>::Instance()) {
        log->Log(level, format, args...);
    }
}

// Traces ">>> name" when constructed and "<<< name" when destroyed, so the exit line appears on
// every way out of a scope, exceptions included.
class CLogScope {
public:
    static constexpr std::size_t kNameChars = 512;

    CLogScope(UCHAR level, PCWSTR name);
    // For the compilers' narrow signature texts.
    CLogScope(UCHAR level, const char* name);
    ~CLogScope();
    CLogScope(const CLogScope&) = delete;
    CLogScope& operator=(const CLogScope&) = delete;

private:
    UCHAR _level;
    wchar_t _name[kNameChars];  // a copy, cut if longer
};

#ifdef _MSC_VER
#define KELVO_FUNCTION_SIGNATURE __FUNCSIG__
#else
#define KELVO_FUNCTION_SIGNATURE __PRETTY_FUNCTION__
#endif

// Verbose entry and exit traces of the enclosing function, named by its full signature.
#define LOG_SCOPE() CLogScope kelvoLogScope(TRACE_LEVEL_VERBOSE, KELVO_FUNCTION_SIGNATURE)

// " 0xNN" for each byte, 16 to a line, lines separated by "\n"; empty for no bytes.
std::string HexDump(const unsigned char* bytes, std::size_t length);

// The file name part of a source path, found while compiling.
consteval PCWSTR LogSourceFileName(PCWSTR path) {
    PCWSTR name = path;
    for (PCWSTR p = path; *p != 0; ++p) {
        if (*p == L'/' || *p == L'\\') name = p + 1;
    }
    return name;
}

// Logs a failure status with where it was detected; passes the status through.
HRESULT LogHResultAt(HRESULT hr, int line, PCWSTR file);
// Logs a condition that did not hold; returns false.
bool LogAssertAt(int line, PCWSTR file, PCWSTR expression);

// Logs hr when it is a failure; yields hr.
#define LogHResult(hr) LogHResultAt((hr), __LINE__, LogSourceFileName(L"" __FILE__))
// Logs the condition's text when it is false; yields whether it held. Never ends the process.
#define LogAssert(...)              \
    (static_cast<bool>(__VA_ARGS__) \
         ? true                     \
         : LogAssertAt(__LINE__, LogSourceFileName(L"" __FILE__), L"" #__VA_ARGS__))

// Marks the start and end of the process's logging: a static object constructed after every
// other one, whose destruction at exit releases the logger (and so unregisters the provider).
template <class Logger>
class CLogLifetime;

template <>
class CLogLifetime<CLog<LogProviderKelvo>> {
public:
    CLogLifetime();
    ~CLogLifetime();
    CLogLifetime(const CLogLifetime&) = delete;
    CLogLifetime& operator=(const CLogLifetime&) = delete;
};
