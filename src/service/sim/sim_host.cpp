#include "service/sim/sim_host.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <type_traits>

#include "contract.h"
#include "events/system_event.h"
#include "events/system_event_monitor.h"
#include "platform/sim/reg_file.h"
#include "service/host_resources.h"
#include "substitutes/touch_controller_sim.h"

namespace kelvo::host {

namespace {

using platform::sim::Scheduler;
using platform::sim::SimHid;
using platform::sim::SimTouchController;

// The control manager starts the service with its binary path as the command line.
constexpr const wchar_t* kCommandLine = L"\"C:\\Program Files\\Kelvo\\Kelvo.exe\"";

// The one device name of the device-interface broadcasts.
constexpr const wchar_t* kBroadcastDeviceName =
    L"\\\\?\\DISPLAY#KLV0A01#4&2b9f3c1d&0&UID4352#{e6dfdc31-31d0-46ac-86af-da1eb05fc599}";

constexpr const wchar_t* kHidClassSuffix = L"#{4d1e55b2-f16f-11cf-88cb-001111000030}";

constexpr BYTE kDefaultReportId = 6;
constexpr BYTE kDefaultPropsReportId = 5;

std::wstring HidPath(USHORT vendorId, USHORT productId, unsigned collection, unsigned instance) {
    wchar_t path[96];
    std::swprintf(path, sizeof path / sizeof path[0],
                  L"\\\\?\\HID#VID_%04X&PID_%04X&Col%02u#7&2e41c3d5&0&%04u", vendorId, productId,
                  collection, instance);
    return path + std::wstring(kHidClassSuffix);
}

// A key below the configuration key; empty for that key itself.
std::wstring ConfigurationKey(const std::wstring& key) {
    return key.empty() ? contract::kConfigurationKey : contract::kConfigurationKey + (L"\\" + key);
}

// The hot key's event, as the component that sets it knows it.
const wchar_t* HotKeyEventName(HotKey key) {
    return contract::kHotKeyEventNames[static_cast<std::size_t>(key)];
}

const char* ExchangeName(SimHid::Exchange exchange) {
    switch (exchange) {
        case SimHid::Exchange::Write:
            return "Write";
        case SimHid::Exchange::SetFeature:
            return "SetFeature";
        case SimHid::Exchange::GetFeature:
            return "GetFeature";
        case SimHid::Exchange::Read:
            return "Read";
    }
    return "?";
}

}  // namespace

void SimHost::SetGfxRegistered(bool registered) {
    if (registered == _gfxRegistered) return;
    _gfxRegistered = registered;
    if (registered) {
        _gfxDriver->Register(_world.GetCom(), _gfxClass);
    } else {
        _world.GetCom().UnregisterClass(_gfxClass);
    }
}

std::vector<platform::sim::SimHidDevice*> SimHost::DevicesOf(int button) {
    if (button != PlugDevice::kTouchController) {
        return {_buttons.at(static_cast<std::size_t>(button))};
    }
    if (!_touch.front()) return {};
    return {_touch.begin(), _touch.end()};
}

// Plugs a device in or takes it out, as the scenario's line says; what cannot be done goes to
// standard error.
void SimHost::Replug(int line, const PlugDevice& plug) {
    const std::vector<platform::sim::SimHidDevice*> devices = DevicesOf(plug.button);
    const std::string name = plug.button == PlugDevice::kTouchController
                                 ? "the touch controller"
                                 : "button device " + std::to_string(plug.button);
    if (devices.empty()) {
        std::fprintf(stderr, "kelvo-sim: line %d: there is no touch controller\n", line);
        return;
    }
    platform::sim::SimHid& hid = _world.GetHid();
    if (hid.IsPresent(*devices.front()) == plug.plugged) {
        std::fprintf(stderr, "kelvo-sim: line %d: %s is %s already\n", line, name.c_str(),
                     plug.plugged ? "plugged in" : "out");
        return;
    }
    for (platform::sim::SimHidDevice* device : devices) {
        if (plug.plugged) {
            _world.ArriveDevice(*device);
        } else if (plug.pulled) {
            _world.PullDevice(*device);
        } else if (!_world.RemoveDevice(*device)) {
            std::fprintf(stderr, "kelvo-sim: line %d: the removal of %s was vetoed\n", line,
                         name.c_str());
            return;
        }
    }
}

// Another program opens the device (its first collection) for reading and writing, or closes it.
void SimHost::Hold(int line, const HoldDevice& hold) {
    const std::vector<platform::sim::SimHidDevice*> devices = DevicesOf(hold.button);
    if (devices.empty()) {
        std::fprintf(stderr, "kelvo-sim: line %d: there is no touch controller\n", line);
        return;
    }
    platform::sim::SimHid& hid = _world.GetHid();
    platform::sim::SimHidDevice* device = devices.front();
    const auto held = _heldByOthers.find(device);
    if (!hold.open) {
        if (held == _heldByOthers.end()) {
            std::fprintf(stderr, "kelvo-sim: line %d: the device is not open\n", line);
            return;
        }
        hid.CloseHandle(held->second);
        _heldByOthers.erase(held);
        return;
    }
    const HANDLE handle =
        hid.CreateFileW(device->Description().path.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held != _heldByOthers.end() || handle == INVALID_HANDLE_VALUE) {
        if (handle != INVALID_HANDLE_VALUE) hid.CloseHandle(handle);
        std::fprintf(stderr, "kelvo-sim: line %d: the device cannot be opened (again)\n", line);
        return;
    }
    _heldByOthers[device] = handle;
}

SimHost::SimHost(const WorldOptions& options, Timeline& timeline)
    : _options(options),
      _timeline(timeline),
      _world(options.realtime ? platform::sim::ClockMode::RealTime
                              : platform::sim::ClockMode::Manual),
      _gfxDriver(std::make_shared<platform::sim::SimGfxDriver>(_world.GetScheduler())) {}

SimHost::~SimHost() {
    for (const auto& [device, handle] : _heldByOthers) _world.GetHid().CloseHandle(handle);
    _touchEvents.clear();
    _logLifetime.reset();
    _module.reset();
}

platform::sim::SimRegistry& SimHost::Registry() { return _world.GetRegistry(); }

bool SimHost::Build(std::string* error) {
    Listen();
    std::vector<platform::sim::RegFileError> skipped;
    if (!_options.registryFile.empty() &&
        !platform::sim::LoadRegFile(Registry(), _options.registryFile, error, &skipped)) {
        if (error) *error = _options.registryFile + ": " + *error;
        return false;
    }
    for (const auto& line : skipped) {
        std::fprintf(stderr, "kelvo-sim: %s: %s (skipped, as reg import skips it)\n",
                     _options.registryFile.c_str(), line.Text().c_str());
    }
    _world.GetTracing().SetSessionLevel(_options.level);
    platform::sim::SimWindowing& windowing = _world.GetWindowing();
    windowing.SetSystemMetric(SM_CONVERTIBLESLATEMODE, _options.slate);
    windowing.SetSystemMetric(SM_SYSTEMDOCKED, _options.docked);
    AddTouchController();
    AddButtons();
    if (_options.touch == TouchKind::Events) CreateTouchEvents();

    // The driver's class; with none, the one it registers once installed.
    _gfxClass = _options.gfx == GfxKind::DeviceData ? CLSID_GfxDeviceData : CLSID_TheCorvaneAmbrel;
    if (_options.gfx != GfxKind::None) SetGfxRegistered(true);
    _gfxDriver->SetFeatureEnabled(_options.gfx != GfxKind::Off);

    SetUpService();
    return true;
}

void SimHost::Listen() {
    Scheduler& scheduler = _world.GetScheduler();
    _world.GetTracing().SetListener(
        [this](const platform::sim::TraceEvent& event) { _timeline.Trace(event); });
    // Each listener runs under the world lock, so the clock can be read directly.
    _world.GetHid().SetExchangeListener(
        [this, &scheduler](const platform::sim::SimHidDevice& device, SimHid::Exchange exchange,
                           const std::vector<BYTE>& bytes) {
            auto it = _deviceNames.find(&device);
            _timeline.Hid(scheduler.Now(), it == _deviceNames.end() ? "hid" : it->second,
                          ExchangeName(exchange), bytes);
        });
    _gfxDriver->SetCallListener(
        [this](const platform::sim::SimGfxDriver::Call& call) { _timeline.Gfx(call); });
    _world.GetKernel().SetNamedEventListener(
        [this, &scheduler](std::string_view operation, const std::wstring& name) {
            _timeline.NamedEvent(scheduler.Now(), operation, name);
        });
    _world.GetServices().SetStatusListener([this, &scheduler](const SERVICE_STATUS& status) {
        _timeline.ServiceStatus(scheduler.Now(), status.dwCurrentState);
    });
}

// A touch controller of the chosen kind, with the identity and report ids the service will look
// for: the registry's, else the defaults of the controller the registry names ("IsLegacy").
void SimHost::AddTouchController() {
    platform::sim::SimRegistry& registry = Registry();
    auto configured = [&registry](const wchar_t* name) {
        return registry.GetDword(HKEY_LOCAL_MACHINE, contract::kTouchKey, name).value_or(0);
    };
    const bool configuredLegacy = configured(L"IsLegacy") != 0;
    const TouchKind kind =
        _options.touch.value_or(configuredLegacy ? TouchKind::Legacy : TouchKind::Current1);
    if (kind == TouchKind::Events || kind == TouchKind::None) return;

    const bool legacy = kind == TouchKind::Legacy;
    const auto vendorId = static_cast<USHORT>(configured(L"VID"));
    const auto productId = static_cast<USHORT>(configured(L"PID"));
    const auto reportId = static_cast<BYTE>(configured(L"AMB_HidReportId"));
    const auto propsReportId = static_cast<BYTE>(configured(L"AMBProps_HidReportId"));
    const USHORT vid = vendorId != 0 ? vendorId : (configuredLegacy ? 0x03EB : 0x04F3);
    const USHORT pid = productId != 0 ? productId : (configuredLegacy ? 0x212A : 0x200A);
    const std::wstring path = HidPath(vid, pid, 2, 0);
    const USHORT version = kind == TouchKind::Current2 ? 2 : 1;
    platform::sim::HidDeviceDescription description =
        legacy ? SimTouchController::LegacyDescription(path)
               : SimTouchController::CurrentDescription(version, path);
    description.vendorId = vid;
    description.productId = pid;
    const SimTouchController::Plugged plugged = SimTouchController::Plug(
        _world.GetHid(), HidPath(vid, pid, 1, 0),
        legacy ? SimTouchController::Family::Legacy : SimTouchController::Family::Current, version,
        description, reportId != 0 ? reportId : kDefaultReportId,
        propsReportId != 0 ? propsReportId : kDefaultPropsReportId);
    _touchModes = TouchModeReports{legacy, reportId != 0 ? reportId : kDefaultReportId,
                                   propsReportId != 0 ? propsReportId : kDefaultPropsReportId};
    _deviceNames[&plugged.controller] = "touch";
    // A composite device: both collections leave and come back together.
    _touch = {&plugged.controller, &plugged.touchScreen};
}

void SimHost::AddButtons() {
    for (int i = 0; i < _options.buttons; ++i) {
        platform::sim::HidDeviceDescription description =
            platform::sim::SimBezelButtons::ButtonsDescription(
                L"", static_cast<USHORT>(kButtonReportLength));
        description.path = HidPath(description.vendorId, description.productId,
                                   static_cast<unsigned>(i + 1), static_cast<unsigned>(i + 1));
        auto& buttons =
            _world.GetHid().AddDevice<platform::sim::SimBezelButtons>(std::move(description));
        _deviceNames[&buttons] = "button" + std::to_string(i);
        _buttons.push_back(&buttons);
    }
}

void SimHost::CreateTouchEvents() {
    platform::sim::SimKernel& kernel = _world.GetKernel();
    for (const wchar_t* name :
         {contract::kTouchEnableEventName, contract::kTouchDisableEventName}) {
        _touchEvents.emplace_back(platform::KernelHandleCloser{&kernel},
                                  kernel.CreateEventW(nullptr, FALSE, FALSE, name));
    }
}

// Kelvo.exe as installed: its resources, the command line the control manager gives it, and
// the AppID that names the service.
void SimHost::SetUpService() {
    platform::sim::SimServices& services = _world.GetServices();
    AddKelvoResources(services);
    services.SetCommandLine(kCommandLine);
    Registry().SetString(HKEY_CLASSES_ROOT, L"AppID\\" + std::wstring(CKelvoModule::kAppId),
                         L"LocalService", KelvoServiceName());
}

void SimHost::Start() {
    platform::sim::SimWorld& world = _world;
    // As Kelvo.exe's static objects: the module's construction writes the process's first line,
    // the log's guard comes last.
    _module.emplace(world.GetServices(), Registry(), world.GetCom(), world.GetKernel());
    _logLifetime.emplace();
    _process = platform::Thread(world.GetKernel(), [this] {
        const int exitCode = KelvoMain(*_module, _world.GetServices(), SW_HIDE);
        Scheduler::Lock lock(_world.GetScheduler().Mutex());
        _exitCode = exitCode;
        _processEnded = true;
        _world.GetScheduler().Notify(lock);
    });
    RunUntilIdle();
}

void SimHost::RunUntilIdle() { _world.RunUntilIdle(); }

bool SimHost::ProcessEnded() {
    Scheduler::Lock lock(_world.GetScheduler().Mutex());
    return _processEnded;
}

void SimHost::Play(const Command& command) {
    Do(command.line, command.action);
    RunUntilIdle();
}

void SimHost::Do(int line, const Action& action) {
    platform::sim::SimWindowing& windowing = _world.GetWindowing();
    std::visit(
        [&](const auto& a) {
            using T = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<T, Wait>) {
                if (_options.realtime) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(a.milliseconds));
                } else {
                    _world.Advance(a.milliseconds);
                }
            } else if constexpr (std::is_same_v<T, SetMetric>) {
                windowing.SetSystemMetric(a.index, a.value);
            } else if constexpr (std::is_same_v<T, SettingChange>) {
                windowing.SendSettingChange(a.name);
            } else if constexpr (std::is_same_v<T, PowerEvent>) {
                // The control manager's notice reaches the service's handler first; the
                // broadcast to the windows follows once the handler is done.
                _world.GetServices().SendControl(SERVICE_CONTROL_POWEREVENT, a.type);
                RunUntilIdle();
                windowing.Broadcast(WM_POWERBROADCAST, a.type, a.data);
            } else if constexpr (std::is_same_v<T, PowerSettingChange>) {
                windowing.SendPowerSettingChange(a.setting, a.value);
            } else if constexpr (std::is_same_v<T, DeviceInterfaceChange>) {
                windowing.SendDeviceInterfaceChange(a.eventCode, a.classGuid, kBroadcastDeviceName);
            } else if constexpr (std::is_same_v<T, PressHotKey>) {
                platform::sim::SimKernel& kernel = _world.GetKernel();
                const wchar_t* name = HotKeyEventName(a.key);
                const platform::KernelHandle event(
                    platform::KernelHandleCloser{&kernel},
                    kernel.OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
                if (!event || !kernel.SetEvent(event.get())) {
                    std::fprintf(stderr, "kelvo-sim: line %d: the hot-key event %s is not there\n",
                                 line, ToUtf8(name).c_str());
                }
            } else if constexpr (std::is_same_v<T, ButtonReport>) {
                auto& device = *_buttons.at(static_cast<std::size_t>(a.device));
                if (device.DeclaresInputReport(a.report.front())) {
                    device.QueueInputReport(a.report);
                } else {
                    std::fprintf(stderr,
                                 "kelvo-sim: line %d: button %d has no input report %02x: the HID "
                                 "class driver drops it\n",
                                 line, a.device, a.report.front());
                }
            } else if constexpr (std::is_same_v<T, RegistrySet>) {
                Registry().SetDword(HKEY_LOCAL_MACHINE, ConfigurationKey(a.key), a.value, a.data);
            } else if constexpr (std::is_same_v<T, RegistryDelete>) {
                Registry().DeleteValue(HKEY_LOCAL_MACHINE, ConfigurationKey(a.key), a.value);
            } else if constexpr (std::is_same_v<T, PostMonitorEvent>) {
                const HWND window =
                    windowing.FindWindowW(SystemEventMonitor::kWindowClassName, nullptr);
                if (window == nullptr ||
                    !windowing.PostMessageW(window, WM_MONITOR_EVENT, a.type, 0)) {
                    std::fprintf(stderr, "kelvo-sim: line %d: the monitor window is not there\n",
                                 line);
                }
            } else if constexpr (std::is_same_v<T, PlugDevice>) {
                Replug(line, a);
            } else if constexpr (std::is_same_v<T, HoldDevice>) {
                Hold(line, a);
            } else if constexpr (std::is_same_v<T, GfxDriver>) {
                SetGfxRegistered(a.registered);
            } else {
                static_assert(std::is_same_v<T, Stop>);
            }
        },
        action);
}

std::optional<int> SimHost::Finish() {
    if (!_process.joinable()) return _exitCode;
    _world.GetServices().SendControl(SERVICE_CONTROL_STOP);
    RunUntilIdle();
    Scheduler& scheduler = _world.GetScheduler();
    constexpr Scheduler::Millis kStopAllowance = 60000;
    if (_options.realtime) {
        // The world runs on its own; the service has a minute to stop.
        Scheduler::Lock lock(scheduler.Mutex());
        const std::function<bool()> ended = [this] { return _processEnded; };
        if (!scheduler.Wait(lock, ended, scheduler.DeadlineAfter(kStopAllowance)))
            return std::nullopt;
    } else {
        // Only as far as the service needs; one that keeps waking itself has a minute.
        const Scheduler::Millis stopped = _world.Now();
        while (!ProcessEnded()) {
            if (_world.Now() - stopped > kStopAllowance || !scheduler.AdvanceToNextDue()) {
                return std::nullopt;
            }
        }
    }
    _process.join();
    // As Kelvo.exe's exit: its static objects go in the reverse order of their making.
    _logLifetime.reset();
    _module.reset();
    return _exitCode;
}

}  // namespace kelvo::host
