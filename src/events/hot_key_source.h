// The hot keys: named events that other programs set, served by a thread of their own, and the
// slate and dock modes they override.
#pragma once

#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/sync.h"
#include "platform/windowing.h"

class MonitorWindow;

// Slate mode and docking: from an override when a hot key or the registry set one, otherwise
// from the system metric. The system's own announcement of a mode ends its override.
class ModeOverrides {
public:
    enum Mode { Slate, Docked };

    ModeOverrides(platform::Kernel& kernel, platform::Windowing& windowing);

    bool IsTabletMode();
    bool IsUndocked();
    // The start-up value: the registry's 0 or 1 becomes the override, anything else leaves the
    // mode to the metric.
    void SetInitial(Mode mode, int fromSystem, bool fromRegistry, DWORD initial);
    // A hot key's toggle: flips a known value, sets the override and posts the event of the
    // value left (the mode's first event for 0, the next for 1) while still holding the lock.
    void Toggle(Mode mode, MonitorWindow& window);
    void FromSystem(Mode mode, int metric);

private:
    struct Value {
        int value = -1;
        bool override = false;
    };

    platform::Windowing& _windowing;
    platform::Mutex _lock;
    Value _values[2];
};

class HotKeySource {
public:
    HotKeySource(platform::Kernel& kernel, platform::Security& security,
                 platform::Registry& registry, platform::Windowing& windowing,
                 ModeOverrides& modes, MonitorWindow& window);
    HotKeySource(const HotKeySource&) = delete;
    HotKeySource& operator=(const HotKeySource&) = delete;

    // Starts the thread unless it runs.
    void Start();
    // Stopping is in two steps, so that a thread still setting up sees the stop from the first:
    // the mark, then the stop event is set and the thread joined.
    void MarkStopping();
    void Stop();

private:
    HRESULT Thread();
    HANDLE CreateNamedEvent(const wchar_t* name);
    void WidenAccessList(HANDLE event);
    void ReadInitialMode(const wchar_t* valueName, int metric, ModeOverrides::Mode mode);

    platform::Kernel& _kernel;
    platform::Security& _security;
    platform::Registry& _registry;
    platform::Windowing& _windowing;
    ModeOverrides& _modes;
    MonitorWindow& _window;
    platform::Thread _thread;
    // Orders a stop against the thread still setting up: the stop event is published, set and
    // cleared under it, so a thread that starts after the stop sees it instead of blocking.
    platform::Mutex _stopLock;
    bool _stopping = false;
    HANDLE _stopEvent = nullptr;
};
