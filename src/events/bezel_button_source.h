// The bezel buttons: one thread per button collection, each blocked in a read of its device.
// Every report goes to the dispatch raw, on the button's thread; a press of a known control is
// posted to the monitor window as its event.
#pragma once

#include <array>

#include "devices/hid_client.h"
#include "events/system_event.h"
#include "platform/hid.h"
#include "platform/kernel.h"
#include "platform/security.h"
#include "platform/sync.h"

class MonitorWindow;

constexpr int BEZEL_BUTTON_EVENTS_COUNT = 3;

class BezelButtonSource {
public:
    BezelButtonSource(platform::Kernel& kernel, platform::Security& security, platform::Hid& hid,
                      const HidDeviceList& devices, MonitorWindow& window,
                      SystemEventCallback dispatch);
    BezelButtonSource(const BezelButtonSource&) = delete;
    BezelButtonSource& operator=(const BezelButtonSource&) = delete;

    // Starts the threads that do not run.
    void Start();
    // Ends every read, blocked or about to begin, and joins the threads.
    void Stop();

private:
    HRESULT Thread(int indexDevice);
    // Ends button thread index's read for certain, whether it is blocked in it, about to enter
    // it or between two reads.
    void EndRead(int index);
    bool Stopping();
    void ProcessReport(const unsigned char* data, std::size_t size);

    platform::Kernel& _kernel;
    platform::Security& _security;
    platform::Hid& _hid;
    MonitorWindow& _window;
    SystemEventCallback _dispatch;
    std::array<HidClient, BEZEL_BUTTON_EVENTS_COUNT> _hidClients;
    std::array<platform::Thread, BEZEL_BUTTON_EVENTS_COUNT> _threads;
    // Orders a stop against a thread still setting up: a device is opened and closed under it,
    // so a thread that starts after the stop sees it instead of blocking for good.
    platform::Mutex _stopLock;
    bool _stopping = false;
    // A button thread holds its device open, from its open to the end of its read loop.
    std::array<bool, BEZEL_BUTTON_EVENTS_COUNT> _reading{};
};
