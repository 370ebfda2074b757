// The real machine as kelvo-play drives it: the installed service through the service control
// manager, its hot-key events, its configuration and its monitor window; the substitute HID
// devices (tools/substitute_hid) and the substitute graphics driver (tools/substitute_driver)
// where they are installed, whose received reports and records are the timeline.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"
#include "scenario/record_format.h"
#include "scenario/scenario.h"
#include "substitute_hid_control.h"

namespace kelvo::play {

// Whether this process runs under Wine rather than on Windows.
bool RunningUnderWine();

// Whether the service's window can be reached from here: under Wine it is on the window station
// Wine gives services, which this process joins; on Windows it is in session 0, which only a
// process of session 0 reaches.
bool ServiceWindowReachable();

class Player {
public:
    // Records go to out in the format; the clock starts now.
    Player(std::FILE* out, host::TimelineFormat format);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Gives the service this configuration (the key made anew from a .reg file, as reg import
    // loads it), starts the service (stopping it first if it runs) and waits until it serves:
    // its window answers and its hot-key events are there. The clock starts again here.
    bool Start(const std::wstring& registryFile);
    // Plays one command; false (with a line on standard error) when it could not be done.
    bool Play(const host::Command& command);
    // Stops the service if Start started it and it still runs, writes the last records, and
    // leaves the machine as it found it: devices unplugged here plugged in again, devices held
    // closed, the driver's classes taken away registered again.
    bool Finish();

private:
    using Clock = std::chrono::steady_clock;

    host::Millis Now() const;
    // Writes what the devices and the driver received since the last look.
    void Collect();
    // Sleeps for the time, looking for records as it goes.
    void Pass(std::chrono::milliseconds time);
    bool OpenService(DWORD access);
    bool StopService();
    HWND ServiceWindow();
    bool HotKey(host::HotKey key);
    bool Plug(const host::PlugDevice& plug);
    bool Hold(const host::HoldDevice& hold);
    bool Gfx(bool registered);
    bool ServiceHolds(const std::string& device);
    std::vector<std::string> DeviceNames(int button) const;
    void Fail(int line, const std::string& message);

    std::FILE* _out;
    host::TimelineFormat _format;
    Clock::time_point _start;
    std::optional<substitute_hid::Control> _control;
    std::wstring _driverLog, _previousDriverLog;
    bool _hadDriverLog = false;
    std::size_t _driverLogLines = 0;
    platform::win32::UniqueServiceHandle _manager, _service;
    bool _started = false;
    int _line = 0;
    // The devices unplugged here, by their name, to plug in again.
    std::vector<std::string> _unplugged;
    // Devices this program holds open, by their name.
    std::vector<std::pair<std::string, platform::win32::UniqueHandle>> _held;
    // The graphics driver's class registrations taken away: class key, server and threading.
    struct GfxClass {
        std::wstring key, server, threading;
    };
    std::vector<GfxClass> _gfxClasses;
};

}  // namespace kelvo::play
