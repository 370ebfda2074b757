// The monitor window's watch over the HID devices the process holds open: it registers for the
// arrival and removal of HID interfaces and for the removal queries of each device handle held,
// and passes what the system says on to the holders (devices/hid_device_holder.h).
//
// As Windows asks of a program that holds a device open: at a query-remove the handle is closed
// and its registration kept, to hear whether the removal failed (the device is opened again) or
// completed (the registration goes). A device pulled out without a query is closed when its
// removal completes. Every HID arrival or removal makes the process's device list again first.
//
// Everything but HandlesChanged runs on the window's thread. A registration that fails is traced
// and leaves the rest working.
#pragma once

#include <string>
#include <vector>

#include "devices/hid_client.h"
#include "devices/hid_device_holder.h"
#include "events/event_translation.h"
#include "platform/kernel.h"
#include "platform/windowing.h"

class DeviceWatch {
public:
    DeviceWatch(platform::Kernel& kernel, platform::Windowing& windowing, HidDeviceList& devices);
    DeviceWatch(const DeviceWatch&) = delete;
    DeviceWatch& operator=(const DeviceWatch&) = delete;

    // Before the window exists; a holder added already stays as it is. changed is what the holder
    // calls when it opened or closed a device.
    void AddHolder(HidDeviceHolder& holder, std::function<void()> changed);

    // Registers the window for the HID interface class.
    void Start(HWND hwnd);
    // Registers each handle held that is not registered yet; a registration whose handle is no
    // longer held goes, unless its device is being removed.
    void SyncHandles();
    void OnInterfaceChange(event_translation::DeviceRequest request, const std::wstring& path);
    void OnHandleChange(event_translation::DeviceRequest request, HDEVNOTIFY notify, HANDLE handle);
    // Releases every registration.
    void Stop();

private:
    struct HandleRegistration {
        HDEVNOTIFY notify;
        HANDLE handle;
        // Closed at a query-remove: the outcome of the removal is still to come.
        bool released = false;
    };

    void Register(HANDLE handle);
    void Unregister(HDEVNOTIFY notify);
    std::vector<HandleRegistration>::iterator Find(HDEVNOTIFY notify, HANDLE handle);

    platform::Kernel& _kernel;
    platform::Windowing& _windowing;
    HidDeviceList& _devices;
    std::vector<HidDeviceHolder*> _holders;
    HWND _hwnd = nullptr;
    HDEVNOTIFY _interfaceRegistration = nullptr;
    std::vector<HandleRegistration> _handleRegistrations;
};
