// The one source of system events: Windows notifications arriving at a hidden window, hot-key
// named events and bezel-button reports. Every decoded event reaches the registered callbacks on
// the thread that runs the window; only the raw button reports are delivered on their button
// threads.
#pragma once

#include <cstdint>
#include <vector>

#include "devices/hid_client.h"
#include "events/bezel_button_source.h"
#include "events/hot_key_source.h"
#include "events/monitor_window.h"
#include "events/system_event.h"
#include "platform/hid.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/sync.h"
#include "platform/windowing.h"

class SystemEventMonitor {
public:
    static constexpr const wchar_t* kWindowClassName = MonitorWindow::kClassName;
    static constexpr const wchar_t* kWindowTitle = MonitorWindow::kTitle;

    // devices: the HID device list the button devices are found in, made again as HID devices
    // come and go. recipient: where suspend/resume notifications go; null for the monitor's own
    // window.
    SystemEventMonitor(platform::Kernel& kernel, platform::Windowing& windowing,
                       platform::Security& security, platform::Registry& registry,
                       platform::Hid& hid, HidDeviceList& devices, PVOID recipient);
    // The worker threads must have been stopped (Stop, or Start having returned).
    ~SystemEventMonitor() = default;
    SystemEventMonitor(const SystemEventMonitor&) = delete;
    SystemEventMonitor& operator=(const SystemEventMonitor&) = delete;

    // The process-wide monitor. The first call creates it and keeps recipient; later calls
    // return the same monitor and ignore their argument.
    static SystemEventMonitor* Instance(PVOID recipient);

    // Adds callback unless an equal one is registered: two callbacks are equal when both wrap
    // the same plain function. Any other callable (a bound member, a closure) is always added.
    void RegisterCallback(const SystemEventCallback& callback);
    // Delivers one event to every registered callback in registration order, under the
    // callbacks lock. A callback must not register callbacks or raise events itself.
    void DispatchEvent(SystemEventType type, const unsigned char* data, std::uint64_t size);
    // Another holder of HID devices (the bezel buttons are one already) for the window to tell
    // of their removal and arrival. Before Start.
    void WatchDevices(HidDeviceHolder& holder) { _window.WatchDevices(holder); }

    // Starts the hot-key and bezel-button threads, then creates the window and runs its message
    // loop on the calling thread until Stop. Returns at once if the window cannot be created, or
    // if a Stop came first. However it returns (or throws), the worker threads are stopped and
    // the window is gone when it does.
    void Start();
    // From any thread but the one in Start: stops the worker threads, then asks the window to
    // close; does not wait for the loop to end. A stop that finds no window yet is remembered,
    // and the window is closed as soon as it exists (or the next Start returns at once).
    void Stop();

    // Slate mode and undocked, from the override when a hot key or the registry set one,
    // otherwise from the system metric.
    bool IsTabletMode() { return _modes.IsTabletMode(); }
    bool IsUndocked() { return _modes.IsUndocked(); }

private:
    bool StartWorkers();
    void StopWorkers();

    platform::Mutex _callbacksLock;
    std::vector<SystemEventCallback> _callbacks;
    ModeOverrides _modes;
    MonitorWindow _window;
    HotKeySource _hotKeys;
    BezelButtonSource _buttons;
    // Orders starting the workers against stopping them.
    platform::Mutex _workersLock;
};
