// The substitute HID devices seen from a test: which are present, what they received, input to
// make them deliver, and adding or removing them (kelvo_substitute_hid.sys, see README.md).
//
// Devices are told apart by what the HID API answers (attributes, capabilities and the serial
// number string, which holds the device's name), never by their paths, which Wine makes
// differently from Windows.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32/unique_handle.h"
#include "platform/win32/windows_sdk.h"

namespace substitute_hid {

// A HID interface of a substitute device.
struct Interface {
    std::wstring path;
    std::string name;  // "touch-v2", "touch-legacy", "touch-v1", "button-N", "control"
    USHORT vendorId = 0, productId = 0, versionNumber = 0;
    USHORT usagePage = 0, usage = 0;
    USHORT inputLength = 0, outputLength = 0, featureLength = 0;  // report id included

    bool operator==(const Interface&) const = default;
};

// The substitute HID interfaces present now, in SetupAPI's order; other devices are left out.
std::vector<Interface> PresentInterfaces();

enum class ReportKind : BYTE { Output = 1, SetFeature = 2, GetFeature = 3 };

// A report that reached a substitute device, taken or refused.
struct ReceivedReport {
    std::string device;
    ReportKind kind = ReportKind::Output;
    std::vector<BYTE> bytes;  // as received; for GetFeature the report id only
    DWORD length = 0;         // bytes received; for GetFeature the length asked for
    bool accepted = false;

    bool operator==(const ReceivedReport&) const = default;
};

// One line, for test failure messages: "touch-v2 SetFeature 05 ff ff 01 ... (accepted)".
std::string ToString(const ReceivedReport& report);

// The control device of the driver. The reports every device receives are held in the driver
// until taken (up to 4096: one more is counted as lost). The driver keeps one read position for
// everyone: one process takes or clears at a time (tests hold RESOURCE_LOCK kelvo_hid_devices).
class Control {
public:
    // The control device, or nothing when it is not present (GetLastError says why it could
    // not be opened, ERROR_NOT_FOUND when it is not there).
    static std::optional<Control> Open();

    // Every report received since the last take, oldest first; nothing when the driver could
    // not be asked or had to drop records for want of room.
    std::optional<std::vector<ReceivedReport>> Take();
    // Forgets what was received so far.
    bool Clear();
    // The named device delivers this input report (report id first), to every handle open on
    // it. Waits while the device's queue is full; false when there is no such device or the
    // report is not one it delivers.
    bool Inject(std::string_view device, std::span<const BYTE> report);

private:
    explicit Control(platform::win32::UniqueHandle device) : _device(std::move(device)) {}
    bool Command(BYTE command, DWORD sequence, std::string_view name = {},
                 std::span<const BYTE> bytes = {});

    platform::win32::UniqueHandle _device;
};

// Device kinds, each one or more root devices. Buttons are three devices, named button-0 to 2.
enum class Kind { TouchLegacy, TouchV1, TouchV2, Buttons, Control };

// What the tests' fixture installs: touch-v2, touch-legacy, three buttons and the control device.
std::vector<Kind> DefaultKinds();

// The HID interfaces a kind presents, by name and usage page, as PresentInterfaces lists them.
struct ExpectedInterface {
    std::string name;
    USHORT usagePage = 0;
    auto operator<=>(const ExpectedInterface&) const = default;
};
std::vector<ExpectedInterface> ExpectedInterfaces(std::span<const Kind> kinds);

// The folder of this process's executable, where the installer and the tests keep the driver
// package (kelvo_substitute_hid.inf and .sys).
std::wstring ExecutableDirectory();

// Adds the devices of these kinds that are not installed yet and installs the driver on them.
// One driver update covers a whole set when none is installed yet. The devices arrive one by one
// after this returns.
bool Install(std::span<const Kind> kinds, const std::wstring& packageDirectory);
// Installs and waits until the kinds' interfaces are present.
bool Add(std::span<const Kind> kinds, const std::wstring& packageDirectory,
         std::chrono::milliseconds guard = std::chrono::seconds(60));
// Removes the devices of these kinds and waits until their interfaces are gone.
bool Remove(std::span<const Kind> kinds,
            std::chrono::milliseconds guard = std::chrono::seconds(60));
// The same for one device by its name ("touch-v2": both of its root devices under Wine,
// "button-1": one of the three button devices); false with ERROR_NOT_FOUND for an unknown name.
// Re-adding one button updates the driver of the button devices present too, which leaves them
// running and their open handles served under Wine.
bool Add(std::string_view device, const std::wstring& packageDirectory,
         std::chrono::milliseconds guard = std::chrono::seconds(60));
bool Remove(std::string_view device, std::chrono::milliseconds guard = std::chrono::seconds(60));
// Removes every substitute device and stops the driver, so that a new image can replace it.
bool RemoveAll(std::chrono::milliseconds guard = std::chrono::seconds(60));
// Waits until all of these interfaces are present (present) or none of them is (!present).
bool WaitForInterfaces(std::span<const ExpectedInterface> expected, bool present,
                       std::chrono::milliseconds guard);

}  // namespace substitute_hid
