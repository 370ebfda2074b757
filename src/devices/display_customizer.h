// The display customizer: applies the frame to the screen through the graphics driver.
//
// Showing the frame shrinks the desktop to a viewport of a percentage of the native width and
// height, moved down by a number of pixels; hiding it restores the full desktop. A change goes
// to the driver in one request or as an animation of intermediate requests. The driver's frame
// interface is preferred; its device-data interface serves when the frame interface cannot be
// had. All driver calls and all changes of the held interfaces happen under one lock; the
// customizer runs on its caller's thread.
//
// A driver that could not be reached at start-up (its class not registered yet, its server not
// running) is tried again on the next request and on a graphics mode change, at most once a
// second. Once an interface is held it is kept until Uninitialize.
#pragma once

#include "platform/com.h"
#include "devices/gfx_driver.h"
#include "platform/kernel.h"
#include "platform/sync.h"
#include "platform/win32types.h"

class DisplayCustomizer {
public:
    DisplayCustomizer(platform::Com& com, platform::Kernel& kernel);
    DisplayCustomizer(const DisplayCustomizer&) = delete;
    DisplayCustomizer& operator=(const DisplayCustomizer&) = delete;

    // The process-wide customizer, created on first use.
    static DisplayCustomizer* GetInstance();

    // Connects to the driver and checks that its frame feature is on. S_FALSE when the frame
    // interface is held already; CO_E_NOT_SUPPORTED when the feature is off (the interface stays
    // held, so later requests still reach the driver).
    HRESULT Initialize(DWORD nativeResolutionX, DWORD nativeResolutionY);
    // Releases both driver interfaces and tries the driver no more; Initialize may follow again.
    void Uninitialize();
    // Connects to the driver if Initialize could not and the last try is a second old.
    void ConnectIfDue();

    // One request. E_INVALIDARG for a percentage of 0 or above 100; E_UNEXPECTED when no driver
    // interface is held; otherwise the driver's status.
    HRESULT SetFrame(bool enableAMB, DWORD dwPercentageX, DWORD dwPercentageY, DWORD dwYPositionPx);
    // dwSteps requests, a pause of dwIntervalMilliseconds after each but the last: the
    // intermediate ones always show a frame, the last carries the exact target and enableAMB.
    // Returns the status of the first failing request, else of the last.
    HRESULT SetFrameAnimated(bool enableAMB, DWORD dwPercentageX, DWORD dwPercentageY,
                             DWORD dwYPositionPx, DWORD dwSteps, DWORD dwIntervalMilliseconds);
    // The pixel viewport is not supported: E_INVALIDARG for a zero width or height, otherwise
    // E_NOTIMPL. Nothing reaches the driver.
    HRESULT SetFramePixels(bool enableAMB, DWORD dwWidthPx, DWORD dwHeightPx, DWORD dwYPositionPx);

private:
    static constexpr ULONGLONG kConnectIntervalMilliseconds = 1000;

    // Under the lock: the frame interface, else the device-data interface, and whether the
    // driver's frame feature is on.
    HRESULT Connect();
    void ConnectIfDueLocked();
    // Under the lock. Each leaves its field empty on failure and returns the failing step's
    // status.
    HRESULT CreateAmbrel();
    HRESULT CreateGfxDeviceData();
    // Under the lock: asks the held interface whether the frame feature is on.
    HRESULT QueryAmbrel(bool* featureOn);
    HRESULT QueryGfxDeviceData(bool* featureOn);

    platform::Com& _com;
    platform::Kernel& _kernel;
    platform::Mutex _lock;
    DWORD _nativeResolutionY = 0;  // bounds the vertical offset during an animation
    // Between Initialize and Uninitialize, with no interface held: when the driver was last tried.
    bool _connectWanted = false;
    ULONGLONG _lastConnectTry = 0;
    platform::ComPtr<IGfxDeviceData> _gfxDeviceData;
    platform::ComPtr<ITheCorvaneAmbrel> _ambrel;
};
