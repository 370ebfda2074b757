// The frame's configuration: display geometry, the touch controller's identity, report ids and
// touch viewport, read from the registry with a validated default for every value that is missing
// or out of range, as the setting table says. Each getter takes the settings lock for its one
// field. A watch thread can re-read the settings whenever something changes under the configuration
// root.
#pragma once

#include <atomic>
#include <cstddef>

#include "contract.h"
#include "platform/kernel.h"
#include "platform/owner.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/sync.h"
#include "platform/win32types.h"
#include "settings/registry.h"
#include "settings/setting_table.h"

class AmbRegSettings {
public:
    // Reads nothing: the values stay zero (report ids 6 and 5) until the first ReadSettings.
    AmbRegSettings(platform::Registry& registry, platform::Kernel& kernel,
                   platform::Security& security, HKEY root);
    // The owner stops the watch first: destroying a running watch thread ends the process.
    ~AmbRegSettings() = default;
    AmbRegSettings(const AmbRegSettings&) = delete;
    AmbRegSettings& operator=(const AmbRegSettings&) = delete;

    // Reads every value again. Owners extend it to apply what was read; the watch thread calls it
    // after each change.
    virtual void ReadSettings();
    // Each takes the lock for its whole run; the lock is not held between the two.
    void ReadDisplaySettings();
    void ReadTouchSettings();

    // Starts the watch thread unless it runs.
    void StartMonitoring();
    // Ends the watch thread and waits for it. Never from the watch thread itself.
    void StopMonitoring();

    // One value in force as the registry holds it (the touch viewport in thousandths).
    DWORD GetValue(settings::Id id) const;
    VBDisplayMode GetDisplayMode() const;
    DWORD GetDisplayNativeResolutionX() const;
    DWORD GetDisplayNativeResolutionY() const;
    DWORD GetDisplayViewportX() const;
    DWORD GetDisplayViewportY() const;
    DWORD GetPxPositionY() const;
    DWORD GetDisplayAnimationSteps() const;
    DWORD GetDisplayAnimationIntervalMilliseconds() const;
    bool IsLegacy() const;
    USHORT GetTouchVendorId() const;
    USHORT GetTouchProductId() const;
    BYTE GetTouchReportId() const;
    BYTE GetTouchPropsReportId() const;
    BYTE GetTouchInputMethod() const;
    float GetTouchViewportLeft() const;
    float GetTouchViewportTop() const;
    float GetTouchViewportRight() const;
    float GetTouchViewportBottom() const;

private:

    // A value of the configuration; a read that fails (missing, unreadable, another type) reads
    // as 0, as a missing value does.
    DWORD ReadValue(LPCWSTR subKeyPath, LPCWSTR valueName) const;
    // Reads IsLegacy, then the settings [first, end) of the table in its order.
    void ReadSettingsFrom(std::size_t first, std::size_t end);
    HRESULT WatchSettings();

    platform::Registry& _registry;
    platform::Kernel& _kernel;
    platform::Security& _security;

    mutable platform::Mutex _lock;
    settings::Values _values{};

    HKEY _root;
    platform::Thread _watchThread;
    RegKey _watchKey;
    std::atomic<bool> _running{false};
    // Set to end the watch; made when the watch starts and closed once it has ended.
    platform::KernelHandle _stopEvent;
    platform::KernelHandle _changeEvent;
};
