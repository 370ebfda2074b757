// The bezel buttons: one thread per button collection, each blocked in a read of its device.
// Every report goes to the dispatch raw, on the button's thread; a press of a known control is
// posted to the monitor window as its event.
//
// A thread whose device goes away ends. When a HID interface arrives, each thread that does not
// run starts again and serves the first button collection that no other thread serves.
#pragma once

#include <array>

#include "devices/hid_client.h"
#include "devices/hid_device_holder.h"
#include "events/system_event.h"
#include "platform/hid.h"
#include "platform/kernel.h"
#include "platform/security.h"
#include "platform/sync.h"

class MonitorWindow;

constexpr int BEZEL_BUTTON_EVENTS_COUNT = 3;

class BezelButtonSource final : public HidDeviceHolder {
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

    // On the monitor window's thread.
    void VisitHandles(const std::function<void(HANDLE)>& visit) override;
    void Release(HANDLE handle) override;
    void Removed(const std::wstring& path) override;
    void Reacquire() override;

private:
    // Under the threads lock. A thread started again serves the first collection no other
    // thread serves; at Start, thread N serves the Nth.
    void StartThread(int index, bool again);
    // Ends the thread's read and joins it.
    void EndThread(int index);
    // Ends the threads reading the device that matches, tracing line with each one's index.
    void EndThreadsOf(const std::function<bool(const HidClient&)>& device, const wchar_t* line);
    void Join(int index);
    HRESULT Thread(int indexDevice, bool again);
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
    // Orders starting and joining the threads: Start and Stop against the window's requests.
    platform::Mutex _threadsLock;
    // Orders a stop against a thread still setting up: a device is opened and closed under it,
    // so a thread that starts after the stop sees it instead of blocking for good.
    platform::Mutex _stopLock;
    bool _stopping = false;
    // A button thread holds its device open, from its open to the end of its read loop.
    std::array<bool, BEZEL_BUTTON_EVENTS_COUNT> _reading{};
    // Under the stop lock: a button thread's body has not returned yet.
    std::array<bool, BEZEL_BUTTON_EVENTS_COUNT> _running{};
};
