// One opened HID device, found among the HID device interfaces present when the list was last
// made.
//
// The client finds a device by vendor, product, top-level usage and output report length, opens
// it for synchronous reading and writing, and exchanges input, output and feature reports with
// it, tracing every exchange byte by byte. It has no lock and no thread: its owner serialises
// calls, except that another thread may Close it to end a read blocked in ReadInputReport once
// that thread's synchronous I/O has been cancelled.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/kernel.h"
#include "platform/sync.h"
#include "platform/win32types.h"

// The device interface paths of the HID devices present when the list was last made, in
// SetupAPI's order. The process's list is made at start-up and made again whenever a HID
// interface arrives or goes; clients read it from any thread.
class HidDeviceList {
public:
    // Enumerates the HID interfaces present now.
    HidDeviceList(platform::Hid& hid, platform::Kernel& kernel);
    HidDeviceList(const HidDeviceList&) = delete;
    HidDeviceList& operator=(const HidDeviceList&) = delete;

    // The process's list, made on first use.
    static HidDeviceList& Instance();

    // Enumerates again.
    void Refresh();
    // A copy: the list may be made again while a client walks it.
    std::vector<std::wstring> Paths() const;

private:
    std::vector<std::wstring> Enumerate();
    DWORD GetLastError() const { return _kernel.GetLastError(); }

    platform::Hid& _hid;
    platform::Kernel& _kernel;
    mutable platform::Mutex _lock;
    std::vector<std::wstring> _devicepaths;
};

class HidClient {
public:
    // The feature reports this client's callers exchange: at most this many bytes, the report
    // id byte included.
    static constexpr std::size_t kFeatureReportLength = 12;
    using FeatureReport = std::array<BYTE, kFeatureReportLength>;

    HidClient(platform::Hid& hid, platform::Kernel& kernel, const HidDeviceList& devices);
    virtual ~HidClient();
    HidClient(const HidClient&) = delete;
    HidClient& operator=(const HidClient&) = delete;

    // Opens the index-th matching device (from 0, in list order) for reading and writing. A
    // vendor id, product id or usage page of 0 and an output report length of 0 or less match
    // every device; the usage counts only with a nonzero usage page. Each device is asked what it
    // is through a handle without access; a match that cannot be opened for reading and writing
    // does not count, nor does one whose path is in skip. Closes whatever the client held first.
    bool Open(USHORT vendorId, USHORT productId, USHORT usagePage, USHORT usage,
              int outputReportLength, int index, const std::vector<std::wstring>& skip = {});
    bool IsValid() const;
    // The device held open (null when none), for the system to tell of its removal.
    HANDLE Handle() const { return _device.load(); }
    // The interface path of the device held open; empty when none. The owner serialises it with
    // Open and Close.
    const std::wstring& Path() const { return _path; }
    // Blocks until one whole input report has been read; empty on failure or cancellation.
    std::vector<BYTE> ReadInputReport();
    // The buffers start with the report id byte. Each report goes to the device in a buffer of
    // the collection's length for its kind, zero-padded; a longer one is not sent.
    bool WriteOutputReport(const BYTE* bytes, DWORD length);
    bool SetFeatureReport(const BYTE* bytes, DWORD length);
    // buffer[0] holds the report id on entry; the whole buffer holds the report's first bytes on
    // success.
    bool GetFeatureReport(FeatureReport& buffer);
    void Close();

    // Of the device last tried by Open.
    const HIDP_CAPS& GetCapabilities() const { return _caps; }

private:
    HANDLE OpenDevice(const std::wstring& path, DWORD access);
    bool ReadCapabilities(HANDLE device);
    DWORD GetLastError() const { return _kernel.GetLastError(); }

    platform::Hid& _hid;
    platform::Kernel& _kernel;
    const HidDeviceList& _devices;
    // Atomic so that Close from the stopping thread and a read on the owner's thread do not race.
    std::atomic<HANDLE> _device{nullptr};
    std::wstring _path;
    HIDP_CAPS _caps{};
};
