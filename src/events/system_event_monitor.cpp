#include "events/system_event_monitor.h"

#include <mutex>

SystemEventMonitor::SystemEventMonitor(platform::Kernel& kernel, platform::Windowing& windowing,
                                       platform::Security& security, platform::Registry& registry,
                                       platform::Hid& hid, HidDeviceList& devices, PVOID recipient)
    : _callbacksLock(kernel),
      _modes(kernel, windowing),
      _window(kernel, windowing, devices, recipient, _modes,
              [this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
                  DispatchEvent(type, data, size);
              }),
      _hotKeys(kernel, security, registry, windowing, _modes, _window),
      _buttons(kernel, security, hid, devices, _window,
               [this](SystemEventType type, const unsigned char* data, std::uint64_t size) {
                   DispatchEvent(type, data, size);
               }),
      _workersLock(kernel) {
    _window.WatchDevices(_buttons);
}

void SystemEventMonitor::RegisterCallback(const SystemEventCallback& callback) {
    std::lock_guard<platform::Mutex> guard(_callbacksLock);
    using Plain = SystemEventCallbackFn*;
    const Plain* plain = callback.target<Plain>();
    if (plain) {
        for (const SystemEventCallback& registered : _callbacks) {
            const Plain* other = registered.target<Plain>();
            if (other && *other == *plain) return;
        }
    }
    _callbacks.push_back(callback);
}

void SystemEventMonitor::DispatchEvent(SystemEventType type, const unsigned char* data,
                                       std::uint64_t size) {
    std::lock_guard<platform::Mutex> guard(_callbacksLock);
    for (const SystemEventCallback& callback : _callbacks) {
        if (callback) callback(type, data, size);
    }
}

void SystemEventMonitor::Start() {
    if (!StartWorkers()) return;
    // The caller takes Start's return for the monitor's end (the service then reports itself
    // stopped), so no worker may outlive it, whether the window failed, its loop broke or an
    // exception is on its way out.
    struct StopWorkersOnExit {
        SystemEventMonitor& monitor;
        ~StopWorkersOnExit() { monitor.StopWorkers(); }
    } stopWorkersOnExit{*this};
    _window.Run();
}

void SystemEventMonitor::Stop() {
    StopWorkers();
    _window.Close();
}

bool SystemEventMonitor::StartWorkers() {
    std::lock_guard<platform::Mutex> guard(_workersLock);
    if (_window.TakeStopRequest()) return false;
    _buttons.Start();
    _hotKeys.Start();
    return true;
}

void SystemEventMonitor::StopWorkers() {
    std::lock_guard<platform::Mutex> guard(_workersLock);
    // The hot-keys thread may still be setting up: it sees the stop from here on.
    _hotKeys.MarkStopping();
    _buttons.Stop();
    _hotKeys.Stop();
}
