// The display customizer on the real COM runtime, against the substitute driver DLL registered
// in the test's prefix. What reaches the driver is read back from the DLL's log. Also where the
// development key points the DLL's log and the trace tee, for a program without the variables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "devices/display_customizer.h"
#include "platform/gfx_driver.h"
#include "platform/win32/com_win32.h"
#include "platform/win32/kernel_win32.h"
#include "platform/win32/tracing_win32.h"
#include "platform/win32/windows_sdk.h"

namespace {

using platform::win32::Win32Com;
using platform::win32::Win32Kernel;
using platform::win32::Win32Tracing;
using Bytes = std::vector<BYTE>;

std::wstring Text(const GUID& guid) {
    wchar_t text[40];
    ::StringFromGUID2(guid, text, 40);
    return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::wstring TempPath(const std::wstring& name) {
    wchar_t directory[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, directory);
    return std::wstring(directory, length) + name;
}

std::vector<std::string> Lines(const std::wstring& path) {
    std::ifstream file(Narrow(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

std::wstring Directory() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

// The substitute's classes, registered for one test and removed after it.
class Registration {
public:
    explicit Registration(const std::vector<CLSID>& classes) {
        const std::wstring dll = Directory() + L"kelvo_substitute_driver.dll";
        for (const CLSID& clsid : classes) {
            const std::wstring key = L"Software\\Classes\\CLSID\\" + Text(clsid);
            _keys.push_back(key);
            HKEY server = nullptr;
            EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key + L"\\InprocServer32").c_str(), 0,
                                        nullptr, 0, KEY_SET_VALUE, nullptr, &server, nullptr),
                      ERROR_SUCCESS);
            if (server == nullptr) continue;
            SetString(server, nullptr, dll);
            SetString(server, L"ThreadingModel", L"Both");
            ::RegCloseKey(server);
        }
    }
    ~Registration() {
        for (const std::wstring& key : _keys) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    static void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
        EXPECT_EQ(
            ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
    }

    std::vector<std::wstring> _keys;
};

void Put32(Bytes& bytes, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<BYTE>(value >> shift));
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += hex;
    }
    return text;
}

// The log lines of one record; the query's answer is the substitute's success.
std::string InfoLine(const char* method, DWORD enable, DWORD x, DWORD y, DWORD p,
                     const char* result = "0x00000000") {
    Bytes b;
    for (DWORD field : std::initializer_list<DWORD>{1, 0, 0, 0x1000, 0, enable, x, y, p})
        Put32(b, field);
    return std::string(method) + " size=36 in=0 [" + Hex(b) + "] -> " + result;
}

std::string DataLine(const char* method, BYTE enable, DWORD x, DWORD y, DWORD p) {
    Bytes b;
    Put32(b, 1);
    b.insert(b.end(), 20, 0);
    Put32(b, 0x1000);
    b.insert(b.end(), {0, enable, 0, 0});
    for (DWORD field : std::initializer_list<DWORD>{x, y, p, 0}) Put32(b, field);
    return std::string(method) + " " + Narrow(Text(GUID_GfxFrameDeviceData)) + " size=48 in=0 [" +
           Hex(b) + "] -> 0x00000000";
}

class DisplayCustomizerWin32 : public testing::Test {
protected:
    void SetUp() override {
        _log = TempPath(L"kelvo_substitute_driver_" + std::to_wstring(::GetCurrentProcessId()) +
                        L".log");
        ::DeleteFileW(_log.c_str());
        // Both set, so that the development key, which other programs may be using, plays no part.
        ::SetEnvironmentVariableW(L"KELVO_SUBSTITUTE_DRIVER_LOG", _log.c_str());
        ::SetEnvironmentVariableW(L"KELVO_SUBSTITUTE_DRIVER_FEATURE", L"1");
        ASSERT_EQ(_com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        _customizer.emplace(_com, _kernel);
    }
    void TearDown() override {
        _customizer.reset();
        _registration.reset();
        _com.CoUninitialize();
        ::DeleteFileW(_log.c_str());
    }

    void Register(const std::vector<CLSID>& classes) { _registration.emplace(classes); }
    DisplayCustomizer& Customizer() { return *_customizer; }

    std::vector<std::string> LogLines() { return Lines(_log); }

private:
    Win32Com _com;
    Win32Kernel _kernel;
    std::optional<Registration> _registration;
    std::optional<DisplayCustomizer> _customizer;
    std::wstring _log;
};

TEST_F(DisplayCustomizerWin32, FrameInterfaceReceivesEveryRecord) {
    Register({CLSID_TheCorvaneAmbrel, CLSID_GfxDeviceData});
    EXPECT_EQ(Customizer().Initialize(1920, 1080), S_OK);
    EXPECT_EQ(Customizer().SetFrame(true, 30, 30, 90), S_OK);
    EXPECT_EQ(Customizer().SetFrameAnimated(false, 80, 80, 25, 4, 1), S_OK);
    Customizer().Uninitialize();

    const std::vector<std::string> expected = {
        "create TheCorvaneAmbrel",          InfoLine("GetInfo", 0, 0, 0, 0),
        InfoLine("SetInfo", 1, 30, 30, 90), InfoLine("SetInfo", 1, 85, 85, 18),
        InfoLine("SetInfo", 1, 90, 90, 12), InfoLine("SetInfo", 1, 95, 95, 6),
        InfoLine("SetInfo", 0, 80, 80, 25), "destroy TheCorvaneAmbrel",
    };
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(DisplayCustomizerWin32, DeviceDataInterfaceServesWithoutTheFrameClass) {
    Register({CLSID_GfxDeviceData});
    EXPECT_EQ(Customizer().Initialize(1920, 1080), S_OK);
    EXPECT_EQ(Customizer().SetFrameAnimated(true, 80, 80, 25, 4, 0), S_OK);
    EXPECT_EQ(Customizer().SetFrame(false, 80, 80, 25), S_OK);
    Customizer().Uninitialize();

    const std::vector<std::string> expected = {
        "create GfxDeviceData",
        DataLine("GetDeviceData", 0, 0, 0, 0),
        DataLine("SetDeviceData", 1, 95, 95, 6),
        DataLine("SetDeviceData", 1, 90, 90, 12),
        DataLine("SetDeviceData", 1, 85, 85, 18),
        DataLine("SetDeviceData", 1, 80, 80, 25),
        DataLine("SetDeviceData", 0, 80, 80, 25),
        "destroy GfxDeviceData",
    };
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(DisplayCustomizerWin32, FeatureOffFailsInitializeButRequestsStillReachTheDriver) {
    Register({CLSID_TheCorvaneAmbrel, CLSID_GfxDeviceData});
    ::SetEnvironmentVariableW(L"KELVO_SUBSTITUTE_DRIVER_FEATURE", L"0");
    EXPECT_EQ(Customizer().Initialize(1920, 1080), CO_E_NOT_SUPPORTED);
    EXPECT_EQ(Customizer().SetFrame(true, 30, 30, 90), E_FAIL);
    Customizer().Uninitialize();

    const std::vector<std::string> expected = {
        "create TheCorvaneAmbrel",
        InfoLine("GetInfo", 0, 0, 0, 0),
        InfoLine("SetInfo", 1, 30, 30, 90, "0x80004005"),
        "destroy TheCorvaneAmbrel",
    };
    EXPECT_EQ(LogLines(), expected);
}

TEST_F(DisplayCustomizerWin32, NeitherClassRegisteredFailsWithoutReachingAnyDriver) {
    EXPECT_EQ(Customizer().Initialize(1920, 1080), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(Customizer().SetFrame(true, 30, 30, 90), E_UNEXPECTED);
    EXPECT_TRUE(LogLines().empty());
}

// ---- The development key, which a service under Wine reads in place of the variables ----

constexpr wchar_t kDevelopmentKey[] = L"SOFTWARE\\Kelvo\\Development";

// One REG_SZ of HKLM\SOFTWARE\Kelvo\Development for the owner's life. The value goes with the
// owner, and so do the keys that were made for it, so that nothing is left of the test.
class DevelopmentValue {
public:
    DevelopmentValue(const wchar_t* name, const std::wstring& text) : _name(name) {
        HKEY parent = nullptr;
        _madeParent = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kelvo", 0, KEY_READ,
                                      &parent) != ERROR_SUCCESS;
        if (parent != nullptr) ::RegCloseKey(parent);
        DWORD disposition = 0;
        EXPECT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDevelopmentKey, 0, nullptr, 0,
                                    KEY_SET_VALUE, nullptr, &_key, &disposition),
                  ERROR_SUCCESS);
        _madeKey = disposition == REG_CREATED_NEW_KEY;
        EXPECT_EQ(
            ::RegSetValueExW(_key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
    }
    ~DevelopmentValue() {
        if (_key == nullptr) return;
        ::RegDeleteValueW(_key, _name);
        ::RegCloseKey(_key);
        if (_madeKey) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDevelopmentKey);
        if (_madeParent) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Kelvo");
    }
    DevelopmentValue(const DevelopmentValue&) = delete;
    DevelopmentValue& operator=(const DevelopmentValue&) = delete;

private:
    const wchar_t* _name;
    HKEY _key = nullptr;
    bool _madeKey = false;
    bool _madeParent = false;
};

// CTest keeps other users of the key away, but any program of the prefix that builds its tracing
// or loads the driver while a value is set writes to that file too: the test looks for its own
// line among the file's.
class DevelopmentKeyWin32 : public DisplayCustomizerWin32 {};

TEST_F(DevelopmentKeyWin32, NamesTheTraceFileAndTheDriverLogWhenTheirVariablesAreUnset) {
    Register({CLSID_TheCorvaneAmbrel});
    struct Case {
        const wchar_t* value;
        const wchar_t* variable;
        std::function<void()> write;
        std::string line;  // among the file's lines
    };
    const Case cases[] = {
        {L"TraceFile", L"KELVO_TRACE_FILE",
         [] {
             static constexpr GUID kProvider = {
                 0x13046BD6, 0xC656, 0x4BD4, {0xB3, 0xCB, 0xE6, 0x51, 0x24, 0xF2, 0x08, 0x6A}};
             Win32Tracing tracing;
             REGHANDLE handle = 0;
             EXPECT_EQ(tracing.EventRegister(&kProvider, nullptr, nullptr, &handle), 0u);
             EXPECT_EQ(tracing.EventWriteString(handle, 4, 0, L"Teed by the development key"), 0u);
             tracing.EventUnregister(handle);
         },
         "L4 Teed by the development key"},
        {L"SubstituteDriverLog", L"KELVO_SUBSTITUTE_DRIVER_LOG",
         [this] {
             EXPECT_EQ(Customizer().Initialize(1920, 1080), S_OK);
             Customizer().Uninitialize();
         },
         "create TheCorvaneAmbrel"},
    };
    for (const Case& c : cases) {
        const std::wstring path = TempPath(L"kelvo_development_" + std::wstring(c.value) + L"_" +
                                           std::to_wstring(::GetCurrentProcessId()) + L".log");
        ::DeleteFileW(path.c_str());
        ::SetEnvironmentVariableW(c.variable, nullptr);
        {
            const DevelopmentValue value(c.value, path);
            c.write();
        }
        const std::vector<std::string> lines = Lines(path);
        EXPECT_GE(std::count(lines.begin(), lines.end(), c.line), 1) << Narrow(c.value);
        ::DeleteFileW(path.c_str());
    }
}

TEST(Win32Com, ApartmentsAnswerAsComDoes) {
    Win32Com com;
    ASSERT_EQ(com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(com.CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
    EXPECT_EQ(com.CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
    com.CoUninitialize();
    void* object = &com;
    EXPECT_EQ(
        com.CoCreateInstance(CLSID_TheCorvaneAmbrel, nullptr, CLSCTX_ALL, IID_IUnknown, &object),
        REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);
    com.CoUninitialize();
}

}  // namespace
