// What holds HID devices open, and gives them back when the system asks for them.
//
// The monitor window hears what the system says of HID interfaces and of the device handles held
// (events/device_watch.h) and passes it on here, on its own thread. A holder closes a device the
// system wants to remove or has removed, and opens again what it should hold once a HID interface
// arrives or a removal it gave way to has failed. Whenever a holder opens or closes a device on
// its own, it says so, so that the watch can follow its handles.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "platform/win32types.h"

class HidDeviceHolder {
public:
    // Calls visit with each device handle held now, under the holder's lock: the handle stays
    // open until visit returns. visit must not call the holder.
    virtual void VisitHandles(const std::function<void(HANDLE)>& visit) = 0;
    // The system wants the device of this handle, or it is gone: the handle is closed if held.
    virtual void Release(HANDLE handle) = 0;
    // The interface with this path went away: its device is closed if held.
    virtual void Removed(const std::wstring& path) = 0;
    // A HID interface arrived, or a removal given way to failed: what should be open is opened.
    virtual void Reacquire() = 0;

    // Set once, before the holder opens anything; called from any thread.
    void SetHandlesChanged(std::function<void()> changed) { _handlesChanged = std::move(changed); }

protected:
    ~HidDeviceHolder() = default;
    void HandlesChanged() const {
        if (_handlesChanged) _handlesChanged();
    }

private:
    std::function<void()> _handlesChanged;
};

// Device interface paths name the same interface whatever the case of their letters: the path
// in a notification need not be spelled as SetupAPI spells it.
bool SameDevicePath(const std::wstring& a, const std::wstring& b);
