#include "events/device_watch.h"

#include <algorithm>
#include <utility>

#include "log/log.h"

using event_translation::DeviceRequest;

DeviceWatch::DeviceWatch(platform::Kernel& kernel, platform::Windowing& windowing,
                         HidDeviceList& devices)
    : _kernel(kernel), _windowing(windowing), _devices(devices) {}

void DeviceWatch::AddHolder(HidDeviceHolder& holder, std::function<void()> changed) {
    if (std::find(_holders.begin(), _holders.end(), &holder) != _holders.end()) return;
    holder.SetHandlesChanged(std::move(changed));
    _holders.push_back(&holder);
}

void DeviceWatch::Start(HWND hwnd) {
    _hwnd = hwnd;
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = event_translation::kHidInterfaceClass;
    _interfaceRegistration =
        _windowing.RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!_interfaceRegistration) LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
}

void DeviceWatch::Register(HANDLE handle) {
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = handle;
    const HDEVNOTIFY notify =
        _windowing.RegisterDeviceNotificationW(_hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (!notify) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
        return;
    }
    _handleRegistrations.push_back({notify, handle});
}

void DeviceWatch::Unregister(HDEVNOTIFY notify) {
    if (!_windowing.UnregisterDeviceNotification(notify)) {
        LogHResult(HRESULT_FROM_WIN32(_kernel.GetLastError()));
    }
}

void DeviceWatch::SyncHandles() {
    if (!_hwnd) return;
    std::vector<HANDLE> held;
    for (HidDeviceHolder* holder : _holders) {
        holder->VisitHandles([this, &held](HANDLE handle) {
            held.push_back(handle);
            const bool registered =
                std::any_of(_handleRegistrations.begin(), _handleRegistrations.end(),
                            [handle](const HandleRegistration& registration) {
                                return !registration.released && registration.handle == handle;
                            });
            // Registered while the holder keeps the handle open.
            if (!registered) Register(handle);
        });
    }
    std::erase_if(_handleRegistrations, [this, &held](const HandleRegistration& registration) {
        if (registration.released ||
            std::find(held.begin(), held.end(), registration.handle) != held.end()) {
            return false;
        }
        Unregister(registration.notify);
        return true;
    });
}

std::vector<DeviceWatch::HandleRegistration>::iterator DeviceWatch::Find(HDEVNOTIFY notify,
                                                                         HANDLE handle) {
    return std::find_if(_handleRegistrations.begin(), _handleRegistrations.end(),
                        [notify, handle](const HandleRegistration& registration) {
                            return registration.notify == notify && registration.handle == handle;
                        });
}

void DeviceWatch::OnHandleChange(DeviceRequest request, HDEVNOTIFY notify, HANDLE handle) {
    if (request == DeviceRequest::None) return;
    const auto found = Find(notify, handle);
    if (found == _handleRegistrations.end()) {
        // A notification that was on its way when its registration went.
        Log(TRACE_LEVEL_INFORMATION, L"Device handle notification of no registration held");
        return;
    }
    switch (request) {
        case DeviceRequest::QueryRemove:
            Log(TRACE_LEVEL_INFORMATION, L"Device removal asked: closing its handle");
            if (!found->released) {
                found->released = true;
                for (HidDeviceHolder* holder : _holders) holder->Release(handle);
            }
            break;
        case DeviceRequest::QueryRemoveFailed: {
            Log(TRACE_LEVEL_INFORMATION, L"Device removal failed: opening it again");
            Unregister(found->notify);
            _handleRegistrations.erase(found);
            for (HidDeviceHolder* holder : _holders) holder->Reacquire();
            break;
        }
        default: {
            Log(TRACE_LEVEL_INFORMATION, L"Device of a handle held removed");
            const bool released = found->released;
            Unregister(found->notify);
            _handleRegistrations.erase(found);
            // Pulled out without a query: the handle is still open, and useless.
            if (!released) {
                for (HidDeviceHolder* holder : _holders) holder->Release(handle);
            }
            break;
        }
    }
    SyncHandles();
}

void DeviceWatch::OnInterfaceChange(DeviceRequest request, const std::wstring& path) {
    if (request == DeviceRequest::Arrived) {
        Log(TRACE_LEVEL_INFORMATION, L"HID device arrived: %s", path.c_str());
        _devices.Refresh();
        for (HidDeviceHolder* holder : _holders) holder->Reacquire();
    } else if (request == DeviceRequest::Removed) {
        Log(TRACE_LEVEL_INFORMATION, L"HID device removed: %s", path.c_str());
        _devices.Refresh();
        for (HidDeviceHolder* holder : _holders) holder->Removed(path);
    } else {
        return;
    }
    SyncHandles();
}

void DeviceWatch::Stop() {
    for (const HandleRegistration& registration : _handleRegistrations) {
        Unregister(registration.notify);
    }
    _handleRegistrations.clear();
    if (_interfaceRegistration) {
        Unregister(_interfaceRegistration);
        _interfaceRegistration = nullptr;
    }
    _hwnd = nullptr;
}
