#include "service/service_module.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <mutex>
#include <string>

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

wchar_t Upper(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

}  // namespace

PCWSTR FindSwitch(PCWSTR text) {
    for (; text != nullptr && *text != 0; ++text) {
        if (*text == L'-' || *text == L'/') return text + 1;
    }
    return nullptr;
}

bool IsSwitchWord(PCWSTR token, PCWSTR word) {
    for (; *word != 0; ++token, ++word) {
        if (Upper(*token) != Upper(*word)) return false;
    }
    return *token == 0 || IsBlank(*token);
}

PCWSTR SkipProgramName(PCWSTR commandLine) {
    if (commandLine == nullptr) return nullptr;
    PCWSTR p = commandLine;
    while (IsBlank(*p)) ++p;
    if (*p == L'"') {
        for (++p; *p != 0 && *p != L'"'; ++p) {
        }
        return *p == L'"' ? p + 1 : p;
    }
    while (*p != 0 && !IsBlank(*p)) ++p;
    return p;
}

namespace {

void WriteLine(std::FILE* stream, PCWSTR text) {
    std::string line;
    for (PCWSTR p = text; p != nullptr && *p != 0; ++p) {
        char32_t c = static_cast<char32_t>(*p);
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c < 0xDC00 && p[1] >= 0xDC00 && p[1] < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(p[1]) - 0xDC00);
                ++p;
            }
        }
        if ((c >= 0xD800 && c < 0xE000) || c > 0x10FFFF) c = 0xFFFD;
        AppendUtf8(line, c);
    }
    line.push_back('\n');
    std::fputs(line.c_str(), stream);
    std::fflush(stream);
}

}  // namespace

void WriteConsoleLine(PCWSTR text) { WriteLine(stdout, text); }

void WriteErrorLine(PCWSTR text) { WriteLine(stderr, text); }

ServiceModule::ServiceModule(platform::Services& services, platform::Registry& registry,
                             platform::Kernel& kernel, PCWSTR appId, UINT registryResourceId,
                             UINT serviceNameId)
    : _services(services),
      _registry(registry),
      _kernel(kernel),
      _appId(appId),
      _registryResourceId(registryResourceId),
      _reportLock(kernel) {
    m_bInitFailed =
        _services.LoadStringW(nullptr, serviceNameId, m_szServiceName, kServiceNameChars) == 0;
}

LSTATUS ServiceModule::ReadServiceMode() {
    RegKey key(_registry);
    const LSTATUS status =
        key.Open(HKEY_CLASSES_ROOT, (L"AppID\\" + std::wstring(_appId)).c_str(), KEY_READ);
    if (status == ERROR_SUCCESS) m_bService = HasLocalService(key);
    return status;
}

HRESULT ServiceModule::RunDispatcher(LPSERVICE_MAIN_FUNCTIONW serviceMain) {
    SERVICE_TABLE_ENTRYW st[] = {{m_szServiceName, serviceMain}, {nullptr, nullptr}};
    if (!_services.StartServiceCtrlDispatcherW(st)) {
        return static_cast<HRESULT>(_kernel.GetLastError());
    }
    // The dispatcher returns once the service has reported its last status.
    return m_status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
               ? static_cast<HRESULT>(m_status.dwServiceSpecificExitCode)
               : static_cast<HRESULT>(m_status.dwWin32ExitCode);
}

bool ServiceModule::ParseCommandLine(LPCWSTR lpCmdLine, HRESULT* pnRetCode) {
    *pnRetCode = S_OK;
    // The program's own path may hold "-" or "/" too; only the arguments are switches.
    const PCWSTR arguments = SkipProgramName(lpCmdLine);
    for (PCWSTR token = FindSwitch(arguments); token != nullptr; token = FindSwitch(token)) {
        if (IsSwitchWord(token, L"UnregServer")) {
            *pnRetCode = UnregisterAppId();
            return false;
        }
        if (IsSwitchWord(token, L"RegServer")) {
            *pnRetCode = RegisterAppId(false);
            return false;
        }
        if (IsSwitchWord(token, L"UnregServerPerUser")) {
            SetPerUserRegistration(true);
            *pnRetCode = UnregisterAppId();
            return false;
        }
        if (IsSwitchWord(token, L"RegServerPerUser")) {
            SetPerUserRegistration(true);
            *pnRetCode = RegisterAppId(false);
            return false;
        }
    }
    for (PCWSTR token = FindSwitch(arguments); token != nullptr; token = FindSwitch(token)) {
        if (IsSwitchWord(token, L"Service")) {
            *pnRetCode = RegisterAppId(true);
            return false;
        }
    }
    return true;
}

HRESULT ServiceModule::RegisterAppId(bool bService) {
    HRESULT hr = Uninstall();
    if (FAILED(hr)) return hr;
    hr = UpdateRegistryAppId(true);
    if (FAILED(hr)) return hr;
    RegKey keyAppID(_registry);
    LSTATUS status = keyAppID.Open(ClassesRoot(), AppIdPath().c_str(), KEY_WRITE);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    RegKey key(_registry);
    status = key.Create(keyAppID.Handle(), _appId, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_WRITE, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    _registry.RegDeleteValueW(key.Handle(), L"LocalService");
    if (!bService) return S_OK;
    // Without this value Start would not find the service and run in the foreground.
    status = _registry.RegSetValueExW(
        key.Handle(), L"LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>(m_szServiceName),
        static_cast<DWORD>((std::char_traits<wchar_t>::length(m_szServiceName) + 1) *
                           sizeof(wchar_t)));
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    hr = Install();
    if (FAILED(hr)) return hr;
    return RegisterEventLogSource();
}

HRESULT ServiceModule::UnregisterAppId() {
    const HRESULT hr = Uninstall();
    if (FAILED(hr)) return hr;
    // The event log source is the machine's, like the service.
    if (!_perUser) {
        _registry.RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                                (kEventLogSources + std::wstring(m_szServiceName)).c_str());
    }
    RegKey keyAppID(_registry);
    LSTATUS status = keyAppID.Open(ClassesRoot(), AppIdPath().c_str(), KEY_WRITE);
    RegKey key(_registry);
    if (status == ERROR_SUCCESS) status = key.Open(keyAppID.Handle(), _appId, KEY_WRITE);
    // A key that is not there holds no value to delete; the script's keys go below.
    if (status == ERROR_SUCCESS) {
        _registry.RegDeleteValueW(key.Handle(), L"LocalService");
    } else if (status != ERROR_FILE_NOT_FOUND) {
        return HRESULT_FROM_WIN32(static_cast<DWORD>(status));
    }
    return UpdateRegistryAppId(false);
}

HRESULT ServiceModule::UpdateRegistryAppId(bool bRegister) {
    const HRSRC resource =
        _services.FindResourceW(nullptr, MAKEINTRESOURCEW(_registryResourceId), L"REGISTRY");
    const HGLOBAL loaded =
        resource != nullptr ? _services.LoadResource(nullptr, resource) : nullptr;
    const void* bytes = loaded != nullptr ? _services.LockResource(loaded) : nullptr;
    if (bytes == nullptr) return LastErrorStatus();
    Registrar registrar(_registry);
    registrar.SetPerUser(_perUser);
    registrar.AddReplacement(L"APPID", _appId);
    const DWORD size = _services.SizeofResource(nullptr, resource);
    return bRegister ? registrar.ResourceRegister(bytes, size)
                     : registrar.ResourceUnregister(bytes, size);
}

BOOL ServiceModule::IsInstalled() {
    ScHandle scm(ScHandleCloser{&_services},
                 _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (scm == nullptr) return FALSE;
    ScHandle service(ScHandleCloser{&_services},
                     _services.OpenServiceW(scm.get(), m_szServiceName, SERVICE_QUERY_CONFIG));
    return service == nullptr ? FALSE : TRUE;
}

HRESULT ServiceModule::Install() {
    // The path to run, in double quotes: it may hold blanks.
    wchar_t szFilePath[MAX_PATH + 3];
    if (!ModulePath(szFilePath + 1)) return E_FAIL;
    const std::size_t length = std::char_traits<wchar_t>::length(szFilePath + 1);
    szFilePath[0] = L'"';
    szFilePath[length + 1] = L'"';
    szFilePath[length + 2] = 0;
    ScHandle scm(ScHandleCloser{&_services},
                 _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (scm == nullptr) {
        Message(L"Could not open Service Manager");
        return E_FAIL;
    }
    ScHandle service(ScHandleCloser{&_services},
                     _services.CreateServiceW(
                         scm.get(), m_szServiceName, m_szServiceName, SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                         szFilePath, nullptr, nullptr, L"RPCSS\0", nullptr, nullptr));
    if (service == nullptr) {
        const DWORD error = _kernel.GetLastError();
        if (error == ERROR_SERVICE_EXISTS) return S_OK;
        // Removed while some program held it open: it goes once that program closes it.
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) return MarkedForDelete();
        Message(L"Could not start service");
        return E_FAIL;
    }
    return S_OK;
}

HRESULT ServiceModule::Uninstall() {
    if (!IsInstalled()) return S_OK;
    ScHandle scm(ScHandleCloser{&_services},
                 _services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (scm == nullptr) {
        Message(L"Could not open Service Manager");
        return E_FAIL;
    }
    ScHandle service(ScHandleCloser{&_services},
                     _services.OpenServiceW(scm.get(), m_szServiceName,
                                            SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (service == nullptr) {
        Message(L"Could not open service");
        return E_FAIL;
    }
    SERVICE_STATUS status{};
    if (!_services.ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = _kernel.GetLastError();
        // Not running, or stopping already: nothing to stop.
        if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
            Message(L"Could not stop service");
        }
    }
    // A running service that is deleted is only marked for deletion, and goes when it stops:
    // a reinstall in between would find it there, and then lose it.
    if (!WaitUntilStopped(service.get())) {
        Message(kServiceNotStoppedMessage);
        return HRESULT_FROM_WIN32(ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    if (_services.DeleteService(service.get())) return S_OK;
    if (_kernel.GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) return MarkedForDelete();
    Message(L"Could not delete service");
    return E_FAIL;
}

void ServiceModule::LogEventEx(int id, LPCWSTR pszMessage, WORD type) {
    if (!m_bService) WriteConsoleLine(pszMessage);
    ReportEvent(static_cast<DWORD>(id), pszMessage, type);
}

bool ServiceModule::ReportState(DWORD state, std::initializer_list<DWORD> from) {
    std::lock_guard<platform::Mutex> lock(_reportLock);
    const DWORD current = m_status.dwCurrentState.load();
    if (from.size() != 0 && std::find(from.begin(), from.end(), current) == from.end()) {
        return false;
    }
    return ReportLocked(state);
}

void ServiceModule::ReportStopped(HRESULT result) {
    std::lock_guard<platform::Mutex> lock(_reportLock);
    m_status.dwWin32ExitCode = SUCCEEDED(result) ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    m_status.dwServiceSpecificExitCode = SUCCEEDED(result) ? 0 : static_cast<DWORD>(result);
    ReportLocked(SERVICE_STOPPED);
}

bool ServiceModule::HasLocalService(RegKey& key) {
    wchar_t value[MAX_PATH];
    DWORD size = sizeof(value);
    DWORD type = REG_NONE;
    const LSTATUS status =
        key.QueryValue(L"LocalService", &type, reinterpret_cast<LPBYTE>(value), &size);
    if (status != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        Log(TRACE_LEVEL_WARNING, L"LocalService of the AppID is not a string (type %u)",
            static_cast<unsigned>(type));
        return false;
    }
    return true;
}

bool ServiceModule::ReportLocked(DWORD state) {
    if (_stopReported) return false;
    m_status.dwCurrentState.exchange(state);
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    m_status.dwCheckPoint = pending ? m_status.dwCheckPoint + 1 : 0;
    m_status.dwWaitHint = !pending                         ? 0
                          : state == SERVICE_START_PENDING ? kStartWaitHint
                                                           : kStopWaitHint;
    SERVICE_STATUS status{m_status.dwServiceType,
                          state,
                          state == SERVICE_RUNNING ? m_status.dwControlsAccepted : 0,
                          m_status.dwWin32ExitCode,
                          m_status.dwServiceSpecificExitCode,
                          m_status.dwCheckPoint,
                          m_status.dwWaitHint};
    _stopReported = state == SERVICE_STOPPED;
    _services.SetServiceStatus(m_hServiceStatus, &status);
    return true;
}

bool ServiceModule::WaitUntilStopped(SC_HANDLE service) {
    for (DWORD waited = 0;; waited += kStopPollMilliseconds) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (!_services.QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                            reinterpret_cast<LPBYTE>(&status), sizeof(status),
                                            &needed)) {
            // Its state cannot be known: removing it is all that is left to try.
            LastErrorStatus();
            return true;
        }
        if (status.dwCurrentState == SERVICE_STOPPED) return true;
        if (waited >= kStopWaitMilliseconds) return false;
        _kernel.Sleep(kStopPollMilliseconds);
    }
}

HRESULT ServiceModule::MarkedForDelete() {
    Message(kServiceMarkedForDeleteMessage);
    return HRESULT_FROM_WIN32(ERROR_SERVICE_MARKED_FOR_DELETE);
}

HRESULT ServiceModule::RegisterEventLogSource() {
    wchar_t path[MAX_PATH + 1];
    if (!ModulePath(path)) return E_FAIL;
    RegKey key(_registry);
    LSTATUS status =
        key.Create(HKEY_LOCAL_MACHINE, (kEventLogSources + std::wstring(m_szServiceName)).c_str(),
                   nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, nullptr);
    const DWORD types = kEventTypesSupported;
    if (status == ERROR_SUCCESS) {
        status = _registry.RegSetValueExW(
            key.Handle(), L"EventMessageFile", 0, REG_EXPAND_SZ,
            reinterpret_cast<const BYTE*>(path),
            static_cast<DWORD>((std::char_traits<wchar_t>::length(path) + 1) * sizeof(wchar_t)));
    }
    if (status == ERROR_SUCCESS) {
        status = _registry.RegSetValueExW(key.Handle(), L"TypesSupported", 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&types), sizeof(types));
    }
    return status == ERROR_SUCCESS ? S_OK
                                   : LogHResult(HRESULT_FROM_WIN32(static_cast<DWORD>(status)));
}

bool ServiceModule::ModulePath(LPWSTR path) {
    // One character of room more than a path can have: a result that fills it was cut.
    const DWORD length = _services.GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    if (length == 0 || length >= MAX_PATH) {
        LastErrorStatus();
        return false;
    }
    return true;
}

void ServiceModule::ReportEvent(DWORD id, LPCWSTR text, WORD type) {
    const HANDLE hEventSource = _services.RegisterEventSourceW(nullptr, m_szServiceName);
    if (hEventSource == nullptr) return;
    LPCWSTR strings[] = {text};
    _services.ReportEventW(hEventSource, type, 0, id, nullptr, 1, 0, strings, nullptr);
    _services.DeregisterEventSource(hEventSource);
}

void ServiceModule::Message(LPCWSTR text) {
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    const HWINSTA station = _services.GetProcessWindowStation();
    const bool visible =
        station != nullptr &&
        _services.GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed) &&
        (flags.dwFlags & WSF_VISIBLE) != 0;
    if (visible) {
        _services.MessageBoxW(nullptr, text, m_szServiceName, MB_OK);
        return;
    }
    WriteErrorLine(text);
    ReportEvent(0, text, EVENTLOG_ERROR_TYPE);
}

HRESULT ServiceModule::LastErrorStatus() {
    const HRESULT hr = HRESULT_FROM_WIN32(_kernel.GetLastError());
    return FAILED(hr) ? LogHResult(hr) : E_FAIL;
}
