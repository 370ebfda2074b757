// The display customizer on the real COM runtime, against the substitute driver DLL registered
// in the test's prefix: what reaches the driver is its log, compared with golden/<case>.log.
// Also where the development key points the DLL's log and the trace tee, for a program without
// the variables.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "devices/display_customizer.h"
#include "devices/gfx_driver.h"
#include "platform/win32/com_win32.h"
#include "platform/win32/kernel_win32.h"
#include "platform/win32/tracing_win32.h"
#include "platform/win32/windows_sdk.h"

namespace {

std::wstring Beside(const std::wstring& name) {
    wchar_t path[MAX_PATH];
    std::wstring directory(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH));
    return directory.substr(0, directory.find_last_of(L"\\/") + 1) + name;
}

std::wstring TempPath(const std::wstring& name) {
    wchar_t directory[MAX_PATH + 1];
    return std::wstring(directory, ::GetTempPathW(MAX_PATH + 1, directory)) + name +
           std::to_wstring(::GetCurrentProcessId()) + L".log";
}

std::string Read(const std::wstring& path) {
    std::ostringstream text;
    text << std::ifstream(std::string(path.begin(), path.end()), std::ios::binary).rdbuf();
    return text.str();
}

// REG_SZ values under HKEY_LOCAL_MACHINE for the owner's life, on the last key of a chain
// (each key the one before it and a subkey). The values go with the owner, and so does the first
// key of the chain that was made for them, so that nothing is left of the test.
struct Values {
    using Named = std::pair<const wchar_t*, std::wstring>;
    Values(const std::vector<std::wstring>& chain, const std::vector<Named>& values) : _values(values) {
        for (const std::wstring& key : chain) {
            HKEY existing = nullptr;
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &existing);
            if (existing == nullptr && _made.empty()) _made = key;
            ::RegCloseKey(existing);
        }
        EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, chain.back().c_str(), 0, nullptr, 0,
                                    KEY_SET_VALUE, nullptr, &_key, nullptr), ERROR_SUCCESS);
        for (const auto& [name, text] : values) {
            ::RegSetValueExW(_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        }
    }
    ~Values() {
        for (const auto& value : _values) ::RegDeleteValueW(_key, value.first);
        ::RegCloseKey(_key);
        if (!_made.empty()) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, _made.c_str());
    }
    std::vector<Named> _values;
    std::wstring _made;
    HKEY _key = nullptr;
};

// The substitute DLL as the in-process server of the class.
std::unique_ptr<Values> Register(const CLSID& clsid) {
    wchar_t text[40];
    ::StringFromGUID2(clsid, text, 40);
    const std::wstring key = L"Software\\Classes\\CLSID\\" + std::wstring(text);
    return std::make_unique<Values>(std::vector<std::wstring>{key, key + L"\\InprocServer32"},
                                    std::vector<Values::Named>{{nullptr, Beside(L"kelvo_substitute_driver.dll")},
                                                               {L"ThreadingModel", L"Both"}});
}

// Each case connects, sends one request and hides the frame in four steps, and lets go.
struct Case {
    const char* name;  // also the golden log's
    std::vector<CLSID> classes;
    const wchar_t* feature;
    HRESULT connected;
    HRESULT sent;  // each request's result
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

const Case kCases[] = {
    {"frame", {CLSID_TheCorvaneAmbrel, CLSID_GfxDeviceData}, L"1", S_OK, S_OK},
    {"device_data", {CLSID_GfxDeviceData}, L"1", S_OK, S_OK},
    {"feature_off", {CLSID_TheCorvaneAmbrel, CLSID_GfxDeviceData}, L"0", CO_E_NOT_SUPPORTED, E_FAIL},
    {"no_class", {}, L"1", REGDB_E_CLASSNOTREG, E_UNEXPECTED},
};

class DisplayCustomizerWin32 : public testing::TestWithParam<Case> {};

TEST_P(DisplayCustomizerWin32, TheDriverReceivesExactlyTheGoldenRecords) {
    const Case& c = GetParam();
    const std::wstring log = TempPath(L"kelvo_substitute_driver_");
    ::DeleteFileW(log.c_str());
    // Both set, so that the development key, which other programs may be using, plays no part.
    ::SetEnvironmentVariableW(L"KELVO_SUBSTITUTE_DRIVER_LOG", log.c_str());
    ::SetEnvironmentVariableW(L"KELVO_SUBSTITUTE_DRIVER_FEATURE", c.feature);
    std::vector<std::unique_ptr<Values>> registration;
    for (const CLSID& clsid : c.classes) registration.push_back(Register(clsid));
    platform::win32::Win32Com com;
    platform::win32::Win32Kernel kernel;
    ASSERT_EQ(com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    // The apartment as the simulated COM keeps it.
    EXPECT_EQ(com.CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    {
        DisplayCustomizer customizer(com, kernel);
        EXPECT_EQ(customizer.Initialize(1920, 1080), c.connected);
        EXPECT_EQ(customizer.SetFrame(true, 30, 30, 90), c.sent);
        EXPECT_EQ(customizer.SetFrameAnimated(false, 80, 80, 25, 4, 1), c.sent);
        customizer.Uninitialize();
    }
    registration.clear();
    com.CoUninitialize();
    const std::wstring golden = Beside(L"golden\\" + std::wstring(c.name, c.name + std::strlen(c.name)) + L".log");
    ASSERT_NE(::GetFileAttributesW(golden.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Read(log), Read(golden));
    ::DeleteFileW(log.c_str());
}

INSTANTIATE_TEST_SUITE_P(Classes, DisplayCustomizerWin32, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// CTest keeps other users of the key away, but any program of the prefix that builds its tracing
// or loads the driver while a value is set writes to that file too: the test looks for its own
// line among the file's.
TEST(DevelopmentKeyWin32, NamesTheTraceFileAndTheDriverLogWhenTheirVariablesAreUnset) {
    const auto frame = Register(CLSID_TheCorvaneAmbrel);
    platform::win32::Win32Com com;
    platform::win32::Win32Kernel kernel;
    ASSERT_EQ(com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    for (const std::wstring value : {L"TraceFile", L"SubstituteDriverLog"}) {
        const bool trace = value == L"TraceFile";
        const std::wstring path = TempPath(L"kelvo_development_" + value + L"_");
        ::DeleteFileW(path.c_str());
        ::SetEnvironmentVariableW(trace ? L"KELVO_TRACE_FILE" : L"KELVO_SUBSTITUTE_DRIVER_LOG", nullptr);
        {
            const Values key({L"SOFTWARE\\Kelvo", L"SOFTWARE\\Kelvo\\Development"}, {{value.c_str(), path}});
            if (trace) {
                static constexpr GUID kProvider = {
                    0x13046BD6, 0xC656, 0x4BD4, {0xB3, 0xCB, 0xE6, 0x51, 0x24, 0xF2, 0x08, 0x6A}};
                platform::win32::Win32Tracing tracing;
                REGHANDLE handle = 0;
                EXPECT_EQ(tracing.EventRegister(&kProvider, nullptr, nullptr, &handle), 0u);
                EXPECT_EQ(tracing.EventWriteString(handle, 4, 0, L"Teed by the development key"), 0u);
                tracing.EventUnregister(handle);
            } else {
                EXPECT_EQ(DisplayCustomizer(com, kernel).Initialize(1920, 1080), S_OK);
            }
        }
        const std::string line = trace ? "\nL4 Teed by the development key\n" : "\ncreate TheCorvaneAmbrel\n";
        EXPECT_NE(("\n" + Read(path)).find(line), std::string::npos) << line;
        ::DeleteFileW(path.c_str());
    }
    com.CoUninitialize();
}

}  // namespace
