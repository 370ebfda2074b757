// The substitute graphics driver DLL: the classes of the frame interface (ITheCorvaneAmbrel)
// and of the device-data interface (IGfxDeviceData), served in-process, threading model Both.
//
// Register each class under HKLM\Software\Classes\CLSID\{clsid}\InprocServer32 (default value:
// this DLL's path, ThreadingModel "Both"); leaving a class out leaves it missing, as on a machine
// whose driver lacks it. Environment of the process that loads it:
//   KELVO_SUBSTITUTE_DRIVER_LOG      a file to which each call is appended as one line;
//   KELVO_SUBSTITUTE_DRIVER_FEATURE  "0" switches the frame feature off (on otherwise).
// A variable that is unset or empty gives way to HKLM\SOFTWARE\Kelvo\Development, where a service
// under Wine (which does not inherit the environment) finds the same: "SubstituteDriverLog"
// (REG_SZ) and "SubstituteDriverFeature" (REG_DWORD, 0 off). Both are read again at each call.
// Log lines: "create <class>" and "destroy <class>" for each object, and for each record
//   <method>[ <data identifier>] size=<n> in=<error code passed in> [<bytes as received>] -> <hr>
// with the bytes as two hex digits each, separated by blanks, and the result as 0x%08X.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>

#include "devices/gfx_driver.h"
#include "substitutes/substitute_frame.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"

namespace {

using platform::sim::SubstituteFrame;
using platform::win32::UniqueHandle;

std::atomic<long> g_objects{0};
std::atomic<long> g_serverLocks{0};
// One display for every object; also keeps the log's lines whole.
std::mutex g_mutex;
SubstituteFrame g_frame;

// Under HKLM: where a service finds what the variables give a test program.
constexpr wchar_t kDevelopmentKey[] = L"SOFTWARE\\Kelvo\\Development";

std::wstring Environment(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD length = ::GetEnvironmentVariableW(name, value, 1024);
    if (length == 0 || length >= 1024) return {};
    return std::wstring(value, length);
}

// A development value of the wrong type or too long is ignored, and the debugger told why.
void ReportUnusable(const wchar_t* name, LSTATUS status) {
    const std::wstring text = L"kelvo_substitute_driver: HKLM\\" + std::wstring(kDevelopmentKey) +
                              L"\\" + name + L" ignored, error " + std::to_wstring(status) + L"\n";
    ::OutputDebugStringW(text.c_str());
}

// A REG_SZ of the development key; empty when it is missing or cannot be used.
std::wstring DevelopmentString(const wchar_t* name) {
    wchar_t value[1024];
    DWORD size = sizeof value;
    const LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kDevelopmentKey, name, RRF_RT_REG_SZ,
                                          nullptr, value, &size);
    if (status == ERROR_SUCCESS) return value;
    if (status != ERROR_FILE_NOT_FOUND) ReportUnusable(name, status);
    return {};
}

std::wstring LogPath() {
    const std::wstring path = Environment(L"KELVO_SUBSTITUTE_DRIVER_LOG");
    return path.empty() ? DevelopmentString(L"SubstituteDriverLog") : path;
}

bool FeatureOn() {
    const std::wstring feature = Environment(L"KELVO_SUBSTITUTE_DRIVER_FEATURE");
    if (!feature.empty()) return feature != L"0";
    DWORD value = 1;
    DWORD size = sizeof value;
    const LSTATUS status =
        ::RegGetValueW(HKEY_LOCAL_MACHINE, kDevelopmentKey, L"SubstituteDriverFeature",
                       RRF_RT_REG_DWORD, nullptr, &value, &size);
    if (status == ERROR_SUCCESS) return value != 0;
    if (status != ERROR_FILE_NOT_FOUND) ReportUnusable(L"SubstituteDriverFeature", status);
    return true;
}

void Log(const std::string& line) {
    const std::wstring path = LogPath();
    if (path.empty()) return;
    UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

std::string Describe(const char* method, const GUID* dataId, DWORD size, const DWORD* errorCode,
                     const void* record, std::size_t recordSize) {
    std::string line = method;
    if (dataId != nullptr) {
        wchar_t wide[40];
        ::StringFromGUID2(*dataId, wide, 40);
        line += ' ';
        for (const wchar_t* c = wide; *c != 0; ++c) line += static_cast<char>(*c);
    }
    line += " size=" + std::to_string(size) +
            " in=" + (errorCode != nullptr ? std::to_string(*errorCode) : std::string("null")) +
            " [";
    if (record != nullptr) {
        // Never more than the record: the caller's buffer is that big, whatever size it claims.
        const auto* bytes = static_cast<const BYTE*>(record);
        const std::size_t count = size < recordSize ? size : recordSize;
        for (std::size_t i = 0; i < count; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
            line += hex;
        }
    }
    return line + "]";
}

// Handles one record under the lock and logs it with the answer.
template <class Handle>
HRESULT Answer(const std::string& received, Handle handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_frame.featureOn = FeatureOn();
    const HRESULT hr = handle();
    Log(received + " -> " + Hex(static_cast<DWORD>(hr)));
    return hr;
}

// Reference counting and lifetime logging shared by the two classes.
template <class Interface>
class Object : public Interface {
public:
    explicit Object(const char* name) : _name(name) {
        ++g_objects;
        Log(std::string("create ") + _name);
    }
    virtual ~Object() {
        Log(std::string("destroy ") + _name);
        --g_objects;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return ++_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = --_refs;
        if (refs == 0) delete this;
        return refs;
    }

protected:
    HRESULT Hand(bool known, void** ppv) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!known) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<Interface*>(this);
        return S_OK;
    }

private:
    const char* _name;
    std::atomic<ULONG> _refs{1};
};

class Ambrel final : public Object<ITheCorvaneAmbrel> {
public:
    Ambrel() : Object("TheCorvaneAmbrel") {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return Hand(riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ITheCorvaneAmbrel,
                    ppv);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE GetInfo(DWORD size, FrameInfo* info, DWORD* errorCode) override {
        return Answer(Describe("GetInfo", nullptr, size, errorCode, info, sizeof(FrameInfo)),
                      [&] { return g_frame.GetInfo(size, info, errorCode); });
    }
    HRESULT STDMETHODCALLTYPE SetInfo(DWORD size, FrameInfo* info, DWORD* errorCode) override {
        return Answer(Describe("SetInfo", nullptr, size, errorCode, info, sizeof(FrameInfo)),
                      [&] { return g_frame.SetInfo(size, info, errorCode); });
    }
};

class GfxDeviceData final : public Object<IGfxDeviceData> {
public:
    GfxDeviceData() : Object("GfxDeviceData") {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return Hand(riid == IID_IUnknown || riid == IID_IGfxDeviceData, ppv);
    }

#define SUBSTITUTE_UNUSED_SLOT(n) \
    HRESULT STDMETHODCALLTYPE UnusedSlot##n() override { return E_NOTIMPL; }
    GFX_DEVICE_DATA_UNUSED_SLOTS(SUBSTITUTE_UNUSED_SLOT)
#undef SUBSTITUTE_UNUSED_SLOT

    HRESULT STDMETHODCALLTYPE GetDeviceData(REFGUID dataId, DWORD size, void* data,
                                            DWORD* errorCode) override {
        return Answer(
            Describe("GetDeviceData", &dataId, size, errorCode, data, sizeof(FrameDeviceData)),
            [&] { return g_frame.GetDeviceData(dataId, size, data, errorCode); });
    }
    HRESULT STDMETHODCALLTYPE SetDeviceData(REFGUID dataId, DWORD size, void* data,
                                            DWORD* errorCode) override {
        return Answer(
            Describe("SetDeviceData", &dataId, size, errorCode, data, sizeof(FrameDeviceData)),
            [&] { return g_frame.SetDeviceData(dataId, size, data, errorCode); });
    }
};

// One factory per class; static, so its references only keep the server locked.
template <class Class>
class Factory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IID_IUnknown || riid == IID_IClassFactory)) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++g_serverLocks); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--g_serverLocks); }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) Class();
        if (object == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();  // the creation's own reference
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            ++g_serverLocks;
        } else {
            --g_serverLocks;
        }
        return S_OK;
    }
};

Factory<Ambrel> g_ambrelFactory;
Factory<GfxDeviceData> g_deviceDataFactory;

}  // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (rclsid == CLSID_TheCorvaneAmbrel) return g_ambrelFactory.QueryInterface(riid, ppv);
    if (rclsid == CLSID_GfxDeviceData) return g_deviceDataFactory.QueryInterface(riid, ppv);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return g_objects == 0 && g_serverLocks == 0 ? S_OK : S_FALSE; }
