#include "platform/sim/windowing_sim.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <utility>

namespace platform::sim {

namespace {

// The windowing of the newest live simulated world, for the functions found by GetProcAddress.
std::atomic<SimWindowing*> g_current{nullptr};

HPOWERNOTIFY WINAPI RegisterSuspendResumeTrampoline(HANDLE recipient, DWORD flags) {
    return g_current.load()->RegisterSuspendResumeNotification(recipient, flags);
}

BOOL WINAPI UnregisterSuspendResumeTrampoline(HPOWERNOTIFY handle) {
    return g_current.load()->UnregisterSuspendResumeNotification(handle);
}

std::wstring Lower(LPCWSTR text) {
    std::wstring out = text ? text : L"";
    for (wchar_t& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return out;
}

// Through the generic function pointer type, as GetProcAddress's callers cast back
// (FoundFunction); Fn is the type they cast back to.
template <class Fn>
FARPROC AsFarProc(Fn fn) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(fn));
}

HMODULE FakeModule(std::uintptr_t value) { return reinterpret_cast<HMODULE>(value); }

constexpr std::uintptr_t kProcessModule = 0x00400000;
constexpr std::uintptr_t kUser32Module = 0x7FF80000;
// Foreign records live here: a range the system never maps for itself.
constexpr std::uintptr_t kRecordBase = 0x00007FFE00000000;
constexpr std::uintptr_t kRecordStride = 0x1000;

std::vector<BYTE> Bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const BYTE*>(data);
    return std::vector<BYTE>(p, p + size);
}

}  // namespace

SimWindowing::SimWindowing(Scheduler& scheduler, FaultPlan&, SimKernel& kernel)
    : _scheduler(scheduler), _kernel(kernel), _nextRecord(kRecordBase) {
    _metrics[SM_CONVERTIBLESLATEMODE] = 1;
    _metrics[SM_SYSTEMDOCKED] = 1;
    _previous = g_current.exchange(this);
}

SimWindowing::~SimWindowing() { g_current.store(_previous); }

HMODULE SimWindowing::GetModuleHandleW(LPCWSTR moduleName) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("GetModuleHandleW", moduleName ? moduleName : L"")) return nullptr;
    if (!moduleName) return FakeModule(kProcessModule);
    if (Lower(moduleName) == L"user32.dll") return FakeModule(kUser32Module);
    SetError(126);  // ERROR_MOD_NOT_FOUND
    return nullptr;
}

FARPROC SimWindowing::GetProcAddress(HMODULE module, LPCSTR procName) {
    Scheduler::Lock world(_scheduler.Mutex());
    const std::wstring procNameWide =
        procName ? std::wstring(procName, procName + std::strlen(procName)) : L"";
    if (Faulted("GetProcAddress", procNameWide)) {
        return nullptr;
    }
    if (module == FakeModule(kUser32Module) && procName && _suspendResumeExported) {
        if (std::strcmp(procName, "RegisterSuspendResumeNotification") == 0) {
            return AsFarProc<RegisterSuspendResumeNotificationFn>(&RegisterSuspendResumeTrampoline);
        }
        if (std::strcmp(procName, "UnregisterSuspendResumeNotification") == 0) {
            return AsFarProc<UnregisterSuspendResumeNotificationFn>(
                &UnregisterSuspendResumeTrampoline);
        }
    }
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

ATOM SimWindowing::RegisterClassExW(const WNDCLASSEXW* windowClass) {
    Scheduler::Lock world(_scheduler.Mutex());
    const bool named = windowClass && windowClass->lpszClassName;
    if (Faulted("RegisterClassExW", named ? windowClass->lpszClassName : L"")) {
        return 0;
    }
    if (!windowClass || windowClass->cbSize != sizeof(WNDCLASSEXW) || !windowClass->lpszClassName ||
        !windowClass->lpfnWndProc) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring key = Lower(windowClass->lpszClassName);
    if (_classes.count(key)) {
        SetError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    _classes[key] =
        WindowClass{windowClass->lpszClassName, windowClass->lpfnWndProc, windowClass->hInstance};
    return static_cast<ATOM>(0xC000 + _classes.size());
}

BOOL SimWindowing::UnregisterClassW(LPCWSTR className, HINSTANCE) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("UnregisterClassW", className ? className : L"")) return FALSE;
    const std::wstring key = Lower(className);
    if (!_classes.count(key)) {
        SetError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    for (const auto& [handle, window] : _windows) {
        if (Lower(window.className.c_str()) == key) {
            SetError(ERROR_CLASS_HAS_WINDOWS);
            return FALSE;
        }
    }
    _classes.erase(key);
    return TRUE;
}

HWND SimWindowing::CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName,
                                   DWORD style, int x, int y, int width, int height, HWND parent,
                                   HMENU menu, HINSTANCE instance, LPVOID param) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("CreateWindowExW", className ? className : L"")) return nullptr;
    auto cls = _classes.find(Lower(className));
    if (cls == _classes.end()) {
        SetError(ERROR_CLASS_DOES_NOT_EXIST);
        return nullptr;
    }
    const std::uintptr_t key = _nextWindow;
    _nextWindow += 0x10;
    _windows[key] = Window{cls->second.name, windowName ? windowName : L"", cls->second.proc, 0,
                           std::this_thread::get_id()};
    HWND hwnd = reinterpret_cast<HWND>(key);
    CREATESTRUCTW create{
        param,      instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
        windowName, className, exStyle};
    if (Call(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create), world) == -1) {
        Call(hwnd, WM_DESTROY, 0, 0, world);
        _windows.erase(key);
        return nullptr;
    }
    return hwnd;
}

BOOL SimWindowing::DestroyWindow(HWND window) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("DestroyWindow")) return FALSE;
    Window* w = Find(window);
    if (!w) {
        SetError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (w->owner != std::this_thread::get_id()) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    Call(window, WM_DESTROY, 0, 0, world);
    _windows.erase(reinterpret_cast<std::uintptr_t>(window));
    return TRUE;
}

BOOL SimWindowing::IsWindow(HWND window) {
    Scheduler::Lock world(_scheduler.Mutex());
    return Find(window) ? TRUE : FALSE;
}

HWND SimWindowing::FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    Scheduler::Lock world(_scheduler.Mutex());
    for (const auto& [key, window] : _windows) {
        if (className && Lower(window.className.c_str()) != Lower(className)) continue;
        if (windowName && window.title != windowName) continue;
        return reinterpret_cast<HWND>(key);
    }
    return nullptr;
}

LONG_PTR SimWindowing::SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("SetWindowLongPtrW")) return 0;
    Window* w = Find(window);
    if (!w || index != GWLP_USERDATA) {
        SetError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    SetError(ERROR_SUCCESS);
    return std::exchange(w->userData, value);
}

LONG_PTR SimWindowing::GetWindowLongPtrW(HWND window, int index) {
    Scheduler::Lock world(_scheduler.Mutex());
    Window* w = Find(window);
    if (!w || index != GWLP_USERDATA) {
        SetError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return w->userData;
}

BOOL SimWindowing::GetMessageW(MSG* msg, HWND, UINT, UINT) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("GetMessageW")) return -1;
    Queue& queue = QueueOf(std::this_thread::get_id());
    auto dueTimer = [&]() -> Timer* {
        Timer* next = nullptr;
        for (Timer& t : queue.timers) {
            if (!next || t.due < next->due) next = &t;
        }
        return next;
    };
    const std::function<bool()> ready = [&] {
        Timer* t = dueTimer();
        return !queue.sent.empty() || !queue.posted.empty() || queue.quit ||
               (t && _scheduler.Reached(t->due));
    };
    for (;;) {
        std::optional<Scheduler::Deadline> deadline;
        if (Timer* t = dueTimer()) deadline = t->due;
        if (!_scheduler.Wait(world, ready, deadline)) continue;
        if (!queue.sent.empty()) {
            const MSG sent = queue.sent.front();
            queue.sent.pop_front();
            if (Find(sent.hwnd)) Call(sent.hwnd, sent.message, sent.wParam, sent.lParam, world);
            continue;
        }
        if (!queue.posted.empty()) {
            *msg = queue.posted.front();
            queue.posted.pop_front();
            return msg->message == WM_QUIT ? FALSE : TRUE;
        }
        if (queue.quit) {
            queue.quit = false;
            *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, 0, {}};
            return FALSE;
        }
        Timer* t = dueTimer();
        t->due = _scheduler.DeadlineAfter(t->elapse);
        *msg = MSG{nullptr,
                   WM_TIMER,
                   t->id,
                   reinterpret_cast<LPARAM>(t->proc),
                   static_cast<DWORD>(_scheduler.Now()),
                   {}};
        return TRUE;
    }
}

LRESULT SimWindowing::DispatchMessageW(const MSG* msg) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (!msg) return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        const auto tick = static_cast<DWORD>(_scheduler.Now());
        world.unlock();
        proc(msg->hwnd, WM_TIMER, msg->wParam, tick);
        return 0;
    }
    if (!Find(msg->hwnd)) return 0;
    return Call(msg->hwnd, msg->message, msg->wParam, msg->lParam, world);
}

LRESULT SimWindowing::DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
    if (message == WM_CLOSE) DestroyWindow(window);
    return 0;
}

BOOL SimWindowing::PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("PostMessageW", std::to_wstring(message) + L"," + std::to_wstring(wParam))) {
        return FALSE;
    }
    std::thread::id target = std::this_thread::get_id();
    if (window) {
        Window* w = Find(window);
        if (!w) {
            SetError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        target = w->owner;
    }
    QueueOf(target).posted.push_back(
        MSG{window, message, wParam, lParam, static_cast<DWORD>(_scheduler.Now()), {}});
    _scheduler.Notify(world);
    return TRUE;
}

void SimWindowing::PostQuitMessage(int exitCode) {
    Scheduler::Lock world(_scheduler.Mutex());
    Queue& queue = QueueOf(std::this_thread::get_id());
    queue.quit = true;
    queue.quitCode = exitCode;
}

UINT_PTR SimWindowing::SetTimer(HWND window, UINT_PTR idEvent, UINT elapse, TIMERPROC timerFunc) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("SetTimer", std::to_wstring(idEvent))) return 0;
    if (window) {  // only thread timers are simulated
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Asked for by the identifier of one of the thread's timers, that timer starts over;
    // otherwise the system picks the identifier, as Windows does without a window.
    auto& timers = QueueOf(std::this_thread::get_id()).timers;
    auto it = std::find_if(timers.begin(), timers.end(),
                           [idEvent](const Timer& t) { return t.id == idEvent; });
    if (idEvent != 0 && it != timers.end()) {
        *it = Timer{idEvent, elapse, _scheduler.DeadlineAfter(elapse), timerFunc};
        return idEvent;
    }
    const UINT_PTR id = _nextTimerId--;
    timers.push_back(Timer{id, elapse, _scheduler.DeadlineAfter(elapse), timerFunc});
    return id;
}

BOOL SimWindowing::KillTimer(HWND, UINT_PTR idEvent) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("KillTimer", std::to_wstring(idEvent))) return FALSE;
    auto& timers = QueueOf(std::this_thread::get_id()).timers;
    auto it = std::find_if(timers.begin(), timers.end(),
                           [idEvent](const Timer& t) { return t.id == idEvent; });
    if (it == timers.end()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    timers.erase(it);
    return TRUE;
}

int SimWindowing::GetSystemMetrics(int index) {
    Scheduler::Lock world(_scheduler.Mutex());
    auto it = _metrics.find(index);
    return it == _metrics.end() ? 0 : it->second;
}

HPOWERNOTIFY SimWindowing::RegisterPowerSettingNotification(HANDLE recipient, LPCGUID, DWORD) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("RegisterPowerSettingNotification")) return nullptr;
    const std::uintptr_t key = _nextRegistration++;
    _registrations[key] =
        Registration{Registration::Kind::PowerSetting, static_cast<HWND>(recipient)};
    return reinterpret_cast<HPOWERNOTIFY>(key);
}

BOOL SimWindowing::UnregisterPowerSettingNotification(HPOWERNOTIFY handle) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("UnregisterPowerSettingNotification")) return FALSE;
    if (_registrations.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HDEVNOTIFY SimWindowing::RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("RegisterDeviceNotificationW")) return nullptr;
    const HWND window = static_cast<HWND>(recipient);
    // Only windows receive device events here: a service status handle, a callback, every
    // interface class at once, or a recipient that is no live window are refused as Windows
    // refuses a bad recipient.
    if (flags != DEVICE_NOTIFY_WINDOW_HANDLE || !Find(window) || !filter) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DEV_BROADCAST_HDR header;
    std::memcpy(&header, filter, sizeof header);
    Registration registration{Registration::Kind::DeviceInterface, window};
    if (header.dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
        header.dbch_size >= offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name)) {
        DEV_BROADCAST_DEVICEINTERFACE_W interfaceFilter;
        std::memcpy(&interfaceFilter, filter, offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));
        registration.classGuid = interfaceFilter.dbcc_classguid;
    } else if (header.dbch_devicetype == DBT_DEVTYP_HANDLE &&
               header.dbch_size >= offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify)) {
        DEV_BROADCAST_HANDLE handleFilter;
        std::memcpy(&handleFilter, filter, offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify));
        const void* device = _deviceOfHandle ? _deviceOfHandle(handleFilter.dbch_handle) : nullptr;
        if (!device) {
            SetError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        registration.kind = Registration::Kind::DeviceHandle;
        registration.handle = handleFilter.dbch_handle;
        registration.device = device;
    } else {
        // Another kind of device, or a filter too short for its own kind.
        SetError(ERROR_INVALID_DATA);
        return nullptr;
    }
    const std::uintptr_t key = _nextRegistration++;
    _registrations[key] = registration;
    return reinterpret_cast<HDEVNOTIFY>(key);
}

void SimWindowing::SetDeviceHandleResolver(std::function<const void*(HANDLE)> resolver) {
    Scheduler::Lock world(_scheduler.Mutex());
    _deviceOfHandle = std::move(resolver);
}

BOOL SimWindowing::UnregisterDeviceNotification(HDEVNOTIFY handle) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("UnregisterDeviceNotification")) return FALSE;
    if (_registrations.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HPOWERNOTIFY SimWindowing::RegisterSuspendResumeNotification(HANDLE recipient, DWORD) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("RegisterSuspendResumeNotification")) return nullptr;
    const std::uintptr_t key = _nextRegistration++;
    _registrations[key] =
        Registration{Registration::Kind::SuspendResume, static_cast<HWND>(recipient)};
    return reinterpret_cast<HPOWERNOTIFY>(key);
}

BOOL SimWindowing::UnregisterSuspendResumeNotification(HPOWERNOTIFY handle) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("UnregisterSuspendResumeNotification")) return FALSE;
    if (_registrations.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void SimWindowing::SetSuspendResumeExported(bool exported) {
    Scheduler::Lock world(_scheduler.Mutex());
    _suspendResumeExported = exported;
}

void SimWindowing::SetWindowsVersion(DWORD major, DWORD minor) {
    Scheduler::Lock world(_scheduler.Mutex());
    _major = major;
    _minor = minor;
}

BOOL SimWindowing::VerifyVersionInfoW(LPOSVERSIONINFOEXW info, DWORD typeMask, ULONGLONG) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("VerifyVersionInfoW")) return FALSE;
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Major and minor are judged together, as Windows does for a greater-or-equal test.
    const DWORD wantMajor = (typeMask & VER_MAJORVERSION) ? info->dwMajorVersion : 0;
    const DWORD wantMinor = (typeMask & VER_MINORVERSION) ? info->dwMinorVersion : 0;
    if (_major > wantMajor || (_major == wantMajor && _minor >= wantMinor)) return TRUE;
    SetError(1150);  // ERROR_OLD_WIN_VERSION
    return FALSE;
}

ULONGLONG SimWindowing::VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                            BYTE condition) {
    for (int bit = 0; bit < 8; ++bit) {
        if (typeMask & (1u << bit)) {
            conditionMask |= static_cast<ULONGLONG>(condition & 7) << (bit * 3);
        }
    }
    return conditionMask;
}

RPC_STATUS SimWindowing::UuidToStringW(const UUID* uuid, RPC_WSTR* stringUuid) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("UuidToStringW")) return 14;  // RPC_S_OUT_OF_MEMORY
    if (!uuid || !stringUuid) return ERROR_INVALID_PARAMETER;
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned>(uuid->Data1), uuid->Data2, uuid->Data3, uuid->Data4[0],
                  uuid->Data4[1], uuid->Data4[2], uuid->Data4[3], uuid->Data4[4], uuid->Data4[5],
                  uuid->Data4[6], uuid->Data4[7]);
    auto wide = std::make_unique<wchar_t[]>(std::strlen(text) + 1);
    for (std::size_t i = 0; i <= std::strlen(text); ++i) wide[i] = static_cast<wchar_t>(text[i]);
    *stringUuid = wide.get();
    _rpcStrings.push_back(std::move(wide));
    return RPC_S_OK;
}

RPC_STATUS SimWindowing::RpcStringFreeW(RPC_WSTR* string) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (!string) return ERROR_INVALID_PARAMETER;
    auto it = std::find_if(_rpcStrings.begin(), _rpcStrings.end(),
                           [string](const auto& s) { return s.get() == *string; });
    if (it != _rpcStrings.end()) _rpcStrings.erase(it);
    *string = nullptr;
    return RPC_S_OK;
}

bool SimWindowing::ReadForeignMemory(const void* address, void* buffer, SIZE_T size) {
    Scheduler::Lock world(_scheduler.Mutex());
    if (Faulted("ReadForeignMemory")) return false;
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    for (const Record& record : _records) {
        if (start >= record.address && start - record.address <= record.bytes.size() &&
            size <= record.bytes.size() - (start - record.address)) {
            if (!record.readable) return false;
            std::memcpy(buffer, record.bytes.data() + (start - record.address), size);
            return true;
        }
    }
    return false;
}

void SimWindowing::SetSystemMetric(int index, int value) {
    Scheduler::Lock world(_scheduler.Mutex());
    _metrics[index] = value;
}

LPARAM SimWindowing::PlaceRecord(const void* bytes, std::size_t size, bool readable) {
    Scheduler::Lock world(_scheduler.Mutex());
    return PlaceRecordLocked(bytes, size, readable);
}

LPARAM SimWindowing::PlaceRecordLocked(const void* bytes, std::size_t size, bool readable) {
    const std::uintptr_t address = _nextRecord;
    _nextRecord += (size / kRecordStride + 1) * kRecordStride;
    _records.push_back(Record{address, Bytes(bytes, size), readable});
    return static_cast<LPARAM>(address);
}

LPARAM SimWindowing::PlaceString(const std::wstring& text, bool readable) {
    return PlaceRecord(text.c_str(), (text.size() + 1) * sizeof(wchar_t), readable);
}

void SimWindowing::SendLocked(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const Window* w = Find(window);
    if (!w) return;
    QueueOf(w->owner).sent.push_back(
        MSG{window, message, wParam, lParam, static_cast<DWORD>(_scheduler.Now()), {}});
}

void SimWindowing::Broadcast(UINT message, WPARAM wParam, LPARAM lParam) {
    Scheduler::Lock world(_scheduler.Mutex());
    for (const auto& [key, window] : _windows) {
        SendLocked(reinterpret_cast<HWND>(key), message, wParam, lParam);
    }
    _scheduler.Notify(world);
}

void SimWindowing::SendSettingChange(const std::wstring& name) {
    Broadcast(WM_SETTINGCHANGE, 0, PlaceString(name));
}

void SimWindowing::SendPowerSettingChange(const GUID& setting, DWORD value, DWORD dataLength,
                                          bool readable) {
    std::vector<BYTE> record(offsetof(POWERBROADCAST_SETTING, Data) + sizeof value);
    std::memcpy(record.data(), &setting, sizeof setting);
    std::memcpy(record.data() + offsetof(POWERBROADCAST_SETTING, DataLength), &dataLength,
                sizeof dataLength);
    std::memcpy(record.data() + offsetof(POWERBROADCAST_SETTING, Data), &value, sizeof value);
    Broadcast(WM_POWERBROADCAST, PBT_POWERSETTINGCHANGE,
              PlaceRecord(record.data(), record.size(), readable));
}

void SimWindowing::SendDeviceInterfaceChange(WPARAM eventCode, const GUID& classGuid,
                                             const std::wstring& name, bool readable) {
    const std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<BYTE> record(nameOffset + (name.size() + 1) * sizeof(wchar_t));
    DEV_BROADCAST_DEVICEINTERFACE_W header{};
    header.dbcc_size = static_cast<DWORD>(record.size());
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = classGuid;
    std::memcpy(record.data(), &header, nameOffset);
    std::memcpy(record.data() + nameOffset, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    Scheduler::Lock world(_scheduler.Mutex());
    const LPARAM placed = PlaceRecordLocked(record.data(), record.size(), readable);
    for (const auto& [key, registration] : _registrations) {
        if (registration.kind == Registration::Kind::DeviceInterface &&
            registration.classGuid == classGuid) {
            SendLocked(registration.window, WM_DEVICECHANGE, eventCode, placed);
        }
    }
    _scheduler.Notify(world);
}

void SimWindowing::SendDeviceHandleEvent(WPARAM eventCode, const void* device) {
    Scheduler::Lock world(_scheduler.Mutex());
    // The standard events carry no custom data: the record ends where its data would begin.
    constexpr std::size_t kSize = offsetof(DEV_BROADCAST_HANDLE, dbch_data);
    for (auto& [key, registration] : _registrations) {
        if (registration.kind != Registration::Kind::DeviceHandle || !device ||
            registration.device != device) {
            continue;
        }
        DEV_BROADCAST_HANDLE record{};
        record.dbch_size = static_cast<DWORD>(kSize);
        record.dbch_devicetype = DBT_DEVTYP_HANDLE;
        record.dbch_handle = registration.handle;
        record.dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(key);
        record.dbch_nameoffset = -1;
        SendLocked(registration.window, WM_DEVICECHANGE, eventCode,
                   PlaceRecordLocked(&record, kSize, true));
        if (eventCode == DBT_DEVICEREMOVECOMPLETE) registration.device = nullptr;
    }
    _scheduler.Notify(world);
}

SimWindowing::Census SimWindowing::Count() {
    Scheduler::Lock world(_scheduler.Mutex());
    std::size_t timers = 0;
    for (const auto& [thread, queue] : _queues) timers += queue.timers.size();
    return Census{_windows.size(), _classes.size(), _registrations.size(), timers,
                  _rpcStrings.size()};
}

SimWindowing::Queue& SimWindowing::QueueOf(std::thread::id thread) { return _queues[thread]; }

SimWindowing::Window* SimWindowing::Find(HWND window) {
    auto it = _windows.find(reinterpret_cast<std::uintptr_t>(window));
    return it == _windows.end() ? nullptr : &it->second;
}

LRESULT SimWindowing::Call(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                           Scheduler::Lock& lock) {
    const WNDPROC proc = Find(window)->proc;
    lock.unlock();
    const LRESULT result = proc(window, message, wParam, lParam);
    lock.lock();
    return result;
}

}  // namespace platform::sim
