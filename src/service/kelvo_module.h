// The Kelvo service module: the process's one module object.
//
// Running the service means: join the multithreaded COM apartment, create and initialise the
// bezel controller, and let it run the system event monitor on the service thread until a stop or
// shutdown control stops the monitor from the control handler's thread.
//
// CKelvoModule (service/kelvo.h) is the module with the bezel controller; the controller is a
// parameter so that the module's control flow can be exercised with a stand-in. Controller must
// offer static Controller* GetInstance(PVOID), Initialize, RunSystemEventsMonitor (blocking),
// StopSystemEventsMonitor (from another thread) and Uninitialize.
#pragma once

#include <cstdarg>
#include <new>

#include "log/format.h"
#include "log/log.h"
#include "platform/com.h"
#include "service/resource.h"
#include "service/service_module.h"

inline constexpr const wchar_t* kKelvoVersion = L"" KELVO_VERSION_TEXT;

template <class Controller>
class CKelvoModuleT : public ServiceModuleT<CKelvoModuleT<Controller>, IDS_SERVICENAME> {
    using Base = ServiceModuleT<CKelvoModuleT<Controller>, IDS_SERVICENAME>;

public:
    static constexpr const wchar_t* kAppId = L"{45A1373F-67AC-419B-964A-9478A683A046}";
    static constexpr UINT kRegistryResourceId = IDR_KELVO;
    // LogEvent's room: 255 characters and the terminator.
    static constexpr std::size_t kEventChars = 256;

    CKelvoModuleT(platform::Services& services, platform::Registry& registry, platform::Com& com,
                  platform::Kernel& kernel)
        : Base(services, registry, kernel), _com(com) {
        this->m_status.dwControlsAccepted |= SERVICE_ACCEPT_SHUTDOWN;
        Log(TRACE_LEVEL_INFORMATION, L"Kelvo.exe %s ", kKelvoVersion);
    }

    // The library's registration, then the automatic start of the service it installed.
    HRESULT RegisterAppId(bool bService) override {
        const HRESULT hr = Base::RegisterAppId(bService);
        if (FAILED(hr)) return LogHResult(hr);
        // Only "Service" installs a service; there is nothing to configure otherwise.
        if (!bService) return hr;
        platform::Services& services = this->_services;
        ScHandle SCM(ScHandleCloser{&services},
                     services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!LogAssert(SCM != nullptr)) return Failed(L"Couldn't open service manager");
        ScHandle hService(
            ScHandleCloser{&services},
            services.OpenServiceW(SCM.get(), this->m_szServiceName, SERVICE_CHANGE_CONFIG));
        if (!LogAssert(hService != nullptr)) return Failed(L"Couldn't OpenService");
        if (!LogAssert(services.ChangeServiceConfigW(
                hService.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE, nullptr,
                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))) {
            return Failed(L"Couldn't ChangeServiceConfig");
        }
        return hr;
    }

    void ServiceMain(DWORD /*dwArgc*/, LPWSTR* /*lpszArgv*/) {
        HRESULT hr = S_OK;
        {
            CLogScope scope(
                TRACE_LEVEL_VERBOSE,
                L"void __cdecl CKelvoModule::ServiceMain(unsigned long,wchar_t **) throw()");
            this->m_status.dwControlsAccepted |= SERVICE_ACCEPT_POWEREVENT;
            this->m_status.dwCurrentState.store(SERVICE_START_PENDING);
            this->m_hServiceStatus = this->_services.RegisterServiceCtrlHandlerExW(
                this->m_szServiceName, _HandlerEx, this);
            if (this->m_hServiceStatus == 0) {
                LogAssertAt(__LINE__, LogSourceFileName(L"" __FILE__), L"m_hServiceStatus != NULL");
                LogEvent(L"Handler not installed");
                return;
            }
            this->ReportState(SERVICE_START_PENDING);

            hr = Run(SW_HIDE);
            Log(TRACE_LEVEL_VERBOSE, L"Run returned: %d", static_cast<int>(hr));
            LogEvent(L"Service stopped");
        }
        // Windows may end the process at any moment after this report: it comes last.
        this->ReportStopped(hr);
    }

    // The control handler. A code the service does not know is not implemented, as the control
    // manager expects to hear.
    static DWORD WINAPI _HandlerEx(DWORD dwOpcode, DWORD dwEventType, LPVOID /*lpEventData*/,
                                   LPVOID lpContext) {
        CLogScope scope(TRACE_LEVEL_VERBOSE,
                        L"unsigned long __cdecl CKelvoModule::_HandlerEx(unsigned long,unsigned "
                        L"long,void *,void *)");
        auto* module = static_cast<CKelvoModuleT*>(lpContext);
        switch (dwOpcode) {
            case SERVICE_CONTROL_STOP:
            case SERVICE_CONTROL_SHUTDOWN:
                module->OnStop();
                break;
            case SERVICE_CONTROL_PAUSE:
            case SERVICE_CONTROL_CONTINUE:
            case SERVICE_CONTROL_INTERROGATE:
            case SERVICE_CONTROL_DEVICEEVENT:
                break;
            case SERVICE_CONTROL_POWEREVENT:
                module->OnPowerEvent(dwEventType);
                break;
            default:
                Log(TRACE_LEVEL_INFORMATION, L"Unknown control code: 0x%x",
                    static_cast<unsigned>(dwOpcode));
                return ERROR_CALL_NOT_IMPLEMENTED;
        }
        return NO_ERROR;
    }

    HRESULT Run(int /*nShowCmd*/) {
        CLogScope scope(TRACE_LEVEL_VERBOSE, L"long __cdecl CKelvoModule::Run(int) throw()");
        // Controls are accepted from here on.
        if (this->m_bService && this->m_status.dwCurrentState.load() == SERVICE_START_PENDING) {
            LogEvent(L"Service started/resumed");
            this->ReportState(SERVICE_RUNNING, {SERVICE_START_PENDING});
        }
        const HRESULT hr = _com.CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) return LogHResult(hr);
        try {
            Controller* controller = Controller::GetInstance(nullptr);
            controller->Initialize();
            controller->RunSystemEventsMonitor();
            controller->Uninitialize();
        } catch (const std::bad_alloc& e) {
            Log(TRACE_LEVEL_CRITICAL,
                L"Caught std::bad_alloc exception: %S.  Restart service when system has enough "
                L"resources.",
                e.what());
        }
        _com.CoUninitialize();
        return hr;
    }

    void OnStop() {
        CLogScope scope(TRACE_LEVEL_VERBOSE, L"void __cdecl CKelvoModule::OnStop(void) throw()");
        // Only a running service stops: a stop that comes before it runs, or while it stops or
        // after it stopped, changes nothing (the control manager sends none then).
        if (this->m_bService && !this->ReportState(SERVICE_STOP_PENDING, {SERVICE_RUNNING})) {
            Log(TRACE_LEVEL_INFORMATION, L"Stop ignored: the service is not running (state %u)",
                static_cast<unsigned>(this->m_status.dwCurrentState.load()));
            return;
        }
        Controller::GetInstance(nullptr)->StopSystemEventsMonitor();
    }

    void OnPowerEvent(DWORD dwEventType) {
        CLogScope scope(TRACE_LEVEL_VERBOSE,
                        L"void __cdecl CKelvoModule::OnPowerEvent(unsigned long) throw()");
        switch (dwEventType) {
            case PBT_APMSUSPEND:
                Log(TRACE_LEVEL_INFORMATION, L"PBT_APMSUSPEND detected by service");
                break;
            case PBT_APMSTANDBY:
                Log(TRACE_LEVEL_INFORMATION, L"PBT_APMSTANDBY detected by service");
                break;
            case PBT_APMRESUMECRITICAL:
                Log(TRACE_LEVEL_INFORMATION, L"PBT_APMRESUMECRITICAL detected by service");
                break;
            case PBT_APMRESUMESUSPEND:
                Log(TRACE_LEVEL_INFORMATION, L"PBT_APMRESUMESUSPEND detected by service");
                break;
            case PBT_APMRESUMESTANDBY:
                Log(TRACE_LEVEL_INFORMATION, L"PBT_APMRESUMESTANDBY detected by service");
                break;
            case PBT_APMRESUMEAUTOMATIC:
                Log(TRACE_LEVEL_INFORMATION, L"PBT_APMRESUMEAUTOMATIC detected by service");
                break;
            default:
                Log(TRACE_LEVEL_WARNING, L"Unknown power event type (0x%x) detected by service",
                    static_cast<unsigned>(dwEventType));
                break;
        }
    }

    // printf-style: at most 255 characters to the trace log and the event log.
    void LogEvent(PCWSTR pszFormat, ...) {
        wchar_t chMsg[kEventChars];
        va_list args;
        va_start(args, pszFormat);
        FormatWideV(chMsg, kEventChars, pszFormat, args);
        va_end(args);
        Log(TRACE_LEVEL_VERBOSE, L"%s", chMsg);
        this->LogEventEx(0, chMsg);
    }

private:
    HRESULT Failed(PCWSTR what) {
        Log(TRACE_LEVEL_ERROR, L"%s: %s", what, this->m_szServiceName);
        return E_FAIL;
    }

    platform::Com& _com;
};

// The process entry's work (wWinMain's, and the simulated host's): the module's WinMain between
// the entry traces.
template <class Module>
int KelvoMain(Module& module, platform::Services& services, int nShowCmd) {
    CLogScope scope(
        TRACE_LEVEL_VERBOSE,
        L"int __cdecl wWinMain(struct HINSTANCE__ *,struct HINSTANCE__ *,wchar_t *,int)");
    Log(TRACE_LEVEL_VERBOSE, L"WinMain command line: %s", services.GetCommandLineW());
    const int result = module.WinMain(nShowCmd);
    Log(TRACE_LEVEL_VERBOSE, L"CAtlBaseModule::m_bInitFailed: %d",
        static_cast<int>(module.m_bInitFailed));
    Log(TRACE_LEVEL_VERBOSE, L"WinMain returning: %d", result);
    return result;
}
