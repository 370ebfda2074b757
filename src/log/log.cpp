#include "log/log.h"

#include <memory>
#include <type_traits>

#include "log/format.h"
#include "platform/world.h"

namespace {

// Room for the longest retry report: its text, a 10-digit status and a 3-digit wait.
constexpr std::size_t kReportChars = 128;

template <class Char>
void CopyName(wchar_t (&name)[CLogScope::kNameChars], const Char* text) {
    std::size_t length = 0;
    if (text != nullptr) {
        for (; length + 1 < CLogScope::kNameChars && text[length] != 0; ++length) {
            name[length] =
                static_cast<wchar_t>(static_cast<std::make_unsigned_t<Char>>(text[length]));
        }
    }
    name[length] = 0;
}

}  // namespace

template <class Provider>
CLog<Provider>::CLog(platform::Tracing& tracing, platform::Kernel& kernel)
    : _handle(0), _tracing(tracing), _kernel(kernel) {
    if (_tracing.EventRegister(&Provider::ProviderId, nullptr, nullptr, &_handle) != 0) {
        _handle = 0;
        _tracing.OutputDebugStringW(L"[CRITICAL] CLog failed to initialize\n");
    }
}

template <class Provider>
CLog<Provider>::~CLog() {
    if (_handle != 0) _tracing.EventUnregister(_handle);
}

template <class Provider>
CLog<Provider>* CLog<Provider>::Instance() {
    try {
        return platform::World::Current().Instance<CLog>([](platform::World& world) {
            const platform::Platform& platform = world.GetPlatform();
            return std::make_unique<CLog>(platform.tracing, platform.kernel);
        });
    } catch (...) {
        // Out of memory at creation: this message is lost, a later one tries again.
        return nullptr;
    }
}

template <class Provider>
void CLog<Provider>::Log(UCHAR level, PCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    LogV(level, format, args);
    va_end(args);
}

template <class Provider>
void CLog<Provider>::LogV(UCHAR level, PCWSTR format, va_list args) {
    if (!Accepts(level)) return;
    try {
        wchar_t text[kBufferChars];
        FormatWideV(text, kBufferChars, format, args);
        WriteString(level, text);
    } catch (...) {
        try {
            _tracing.OutputDebugStringW(L"[CRITICAL] liblog encountered an exception\n");
        } catch (...) {
            // Nowhere left to report to; the caller goes on regardless.
        }
    }
}

template <class Provider>
void CLog<Provider>::WriteString(UCHAR level, PCWSTR text) {
    if (_handle == 0) return;
    for (int attempt = 0;;) {
        const ULONG status = _tracing.EventWriteString(_handle, level, 0, text);
        if (status == 0) return;
        // A failed write no session would have recorded is not worth a report.
        if (!_tracing.EventProviderEnabled(_handle, level, 0)) return;
        wchar_t report[kReportChars];
        if (status == ERROR_NOT_ENOUGH_MEMORY) {
            // The session's buffers are full: give its consumer time to drain them.
            const DWORD wait = DWORD{1} << attempt;
            FormatWide(report, kReportChars,
                       L"Error calling EventWriteString for enabled message.  result=%u Sleeping "
                       L"%ums.\n",
                       static_cast<unsigned>(status), static_cast<unsigned>(wait));
            _tracing.OutputDebugStringW(report);
            _kernel.Sleep(wait);
        } else {
            FormatWide(report, kReportChars,
                       L"Error calling EventWriteString for enabled message.  result=%u\n",
                       static_cast<unsigned>(status));
            _tracing.OutputDebugStringW(report);
        }
        if (++attempt == kWriteAttempts) {
            _tracing.OutputDebugStringW(
                L"Error calling EventWriteString. could not succeed with retries.\n");
            return;
        }
    }
}

template class CLog<LogProviderKelvo>;

CLogScope::CLogScope(UCHAR level, PCWSTR name) : _level(level) {
    CopyName(_name, name);
    Log(_level, L">>> %s", _name);
}

CLogScope::CLogScope(UCHAR level, const char* name) : _level(level) {
    CopyName(_name, name);
    Log(_level, L">>> %s", _name);
}

CLogScope::~CLogScope() { Log(_level, L"<<< %s", _name); }

std::string HexDump(const unsigned char* bytes, std::size_t length) {
    constexpr std::size_t kBytesPerLine = 16;
    constexpr char kDigits[] = "0123456789abcdef";
    std::string dump;
    if (bytes == nullptr || length == 0) return dump;
    dump.reserve(length * 5 + (length - 1) / kBytesPerLine);
    for (std::size_t lineStart = 0; lineStart < length; lineStart += kBytesPerLine) {
        char line[kBytesPerLine * 5 + 1];
        std::size_t used = 0;
        for (std::size_t i = lineStart; i < length && i < lineStart + kBytesPerLine; ++i) {
            line[used++] = ' ';
            line[used++] = '0';
            line[used++] = 'x';
            line[used++] = kDigits[bytes[i] >> 4];
            line[used++] = kDigits[bytes[i] & 0x0F];
        }
        line[used] = 0;
        if (lineStart != 0) dump += '\n';
        dump.append(line, used);
    }
    return dump;
}

HRESULT LogHResultAt(HRESULT hr, int line, PCWSTR file) {
    if (FAILED(hr)) {
        Log(TRACE_LEVEL_ERROR, L"HRESULT: 0x%08x @ LINE %04i [%s]", static_cast<unsigned>(hr), line,
            file);
    }
    return hr;
}

bool LogAssertAt(int line, PCWSTR file, PCWSTR expression) {
    Log(TRACE_LEVEL_CRITICAL, L"ASSERT @ LINE %04i [%s] executing [%s]", line, file, expression);
    return false;
}

// The texts are the Windows compiler's signatures of the two members, the same on every build.
CLogLifetime<CLog<LogProviderKelvo>>::CLogLifetime() {
    Log(TRACE_LEVEL_VERBOSE,
        L"Creating CLogLifetime __cdecl CLogLifetime<class CLog<struct LogProviderKelvo> "
        L">::CLogLifetime(void)");
}

CLogLifetime<CLog<LogProviderKelvo>>::~CLogLifetime() {
    Log(TRACE_LEVEL_VERBOSE,
        L"Destroying CLogLifetime __cdecl CLogLifetime<class CLog<struct LogProviderKelvo> "
        L">::~CLogLifetime(void)");
    platform::World::Current().Release<CLog<LogProviderKelvo>>();
}
