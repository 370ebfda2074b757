// The HID client against Windows' own HID stack (SetupAPI, hid.dll, the HID class driver), with
// the substitute devices of tools/substitute_hid installed by the fixture kelvo_hid_devices:
// touch-v2 and touch-legacy (each a vendor and a touchscreen collection), three bezel buttons
// and the control device through which the tests see what the devices received. The tests hold
// the devices' resource lock: they count on the default set being present and nothing else, and
// some send to the devices and read what they received.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "devices/hid_client.h"
#include "devices/touch_manager.h"
#include "platform/win32/hid_win32.h"
#include "platform/win32/kernel_win32.h"
#include "platform/win32/unique_handle.h"
#include "substitute_hid_control.h"

namespace {

using platform::win32::UniqueHandle;
using platform::win32::Win32Hid;
using platform::win32::Win32Kernel;
using substitute_hid::Control;
using substitute_hid::Interface;
using substitute_hid::ReceivedReport;
using substitute_hid::ReportKind;
using Bytes = std::vector<BYTE>;

// The ordinal-th present substitute interface of this usage page (and name, unless empty), in
// SetupAPI's order.
std::optional<Interface> Present(const std::string& name, USHORT usagePage, int ordinal) {
    for (const Interface& found : substitute_hid::PresentInterfaces()) {
        if (found.usagePage != usagePage || (!name.empty() && found.name != name)) continue;
        if (ordinal-- == 0) return found;
    }
    return std::nullopt;
}

UniqueHandle OpenInterface(const Interface& found) {
    return UniqueHandle(::CreateFileW(found.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
}

std::string Describe(const std::vector<ReceivedReport>& reports) {
    std::string text;
    for (const ReceivedReport& report : reports) text += "\n  " + substitute_hid::ToString(report);
    return text;
}

// A blocking read on a thread of its own, which the test cancels as the service cancels its
// readers (std::thread has no Windows handle under mingw's posix threads).
class ReaderThread {
public:
    explicit ReaderThread(std::function<void()> body)
        : _body(std::move(body)),
          _thread(::CreateThread(nullptr, 0, &ReaderThread::Run, this, 0, nullptr)) {}
    ~ReaderThread() {
        if (!Cancel()) ::WaitForSingleObject(_thread.get(), INFINITE);
    }
    ReaderThread(const ReaderThread&) = delete;
    ReaderThread& operator=(const ReaderThread&) = delete;

    bool Ended(std::chrono::milliseconds wait) const {
        return ::WaitForSingleObject(_thread.get(), static_cast<DWORD>(wait.count())) ==
               WAIT_OBJECT_0;
    }
    // Cancels the read until the thread ends: a cancel that comes before the read is lost.
    bool Cancel() {
        for (int i = 0; i < 500 && !Ended(std::chrono::milliseconds(10)); ++i) {
            ::CancelSynchronousIo(_thread.get());
        }
        return Ended(std::chrono::milliseconds(0));
    }

private:
    static DWORD WINAPI Run(void* self) {
        static_cast<ReaderThread*>(self)->_body();
        return 0;
    }

    std::function<void()> _body;
    UniqueHandle _thread;
};

TEST(Win32HidDeviceList, HoldsWhatSetupApiPresents) {
    Win32Hid hid;
    Win32Kernel kernel;
    const HidDeviceList devices(hid, kernel);
    std::vector<std::wstring> substitutes;
    for (const Interface& found : substitute_hid::PresentInterfaces()) {
        substitutes.push_back(found.path);
    }
    // The substitute devices among them, in the same order.
    std::vector<std::wstring> listed;
    std::copy_if(devices.Paths().begin(), devices.Paths().end(), std::back_inserter(listed),
                 [&](const std::wstring& path) {
                     return std::find(substitutes.begin(), substitutes.end(), path) !=
                            substitutes.end();
                 });
    EXPECT_EQ(listed, substitutes);
    EXPECT_EQ(substitutes.size(), 8u);  // the default set: touch-v2, touch-legacy, buttons, control
}

// One search of the service and the substitute interface it must open: the index-th of the
// usage page given (and name, unless empty); none when name is null.
struct Search {
    const char* test;
    USHORT vendorId, productId, usagePage, usage;
    int outputLength, index;
    const char* name;
    USHORT foundPage, input, output, feature;
};

void PrintTo(const Search& search, std::ostream* out) { *out << search.test; }

class Win32HidClientSearch : public ::testing::TestWithParam<Search> {};

TEST_P(Win32HidClientSearch, OpensTheMatchingSubstituteDeviceAndNoOther) {
    const Search& search = GetParam();
    Win32Hid hid;
    Win32Kernel kernel;
    const HidDeviceList devices(hid, kernel);
    HidClient client(hid, kernel, devices);
    const bool found = client.Open(search.vendorId, search.productId, search.usagePage,
                                   search.usage, search.outputLength, search.index);
    if (search.name == nullptr) {
        EXPECT_FALSE(found);
        EXPECT_FALSE(client.IsValid());
        EXPECT_TRUE(client.GetDevicePath().empty());
        return;
    }
    const std::optional<Interface> expected = Present(search.name, search.foundPage, search.index);
    ASSERT_TRUE(expected);
    ASSERT_TRUE(found);
    EXPECT_TRUE(client.IsValid());
    EXPECT_EQ(client.GetDevicePath(), expected->path);
    const HIDP_CAPS& caps = client.GetCapabilities();
    EXPECT_EQ(caps.UsagePage, search.foundPage);
    EXPECT_EQ(caps.InputReportByteLength, search.input);
    EXPECT_EQ(caps.OutputReportByteLength, search.output);
    EXPECT_EQ(caps.FeatureReportByteLength, search.feature);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Win32HidClientSearch,
    ::testing::Values(
        Search{"TouchV2", 0x04F3, 0x200A, 0, 0, 20, 0, "touch-v2", 0xFF00, 20, 20, 12},
        Search{"TouchLegacy", 0x03EB, 0x212A, 0, 0, 10, 0, "touch-legacy", 0xFF00, 14, 10, 12},
        Search{"TouchV1IsAbsent", 0x04F3, 0x200A, 0, 0, 19, 0, nullptr, 0, 0, 0, 0},
        Search{"BezelButtons0", 0, 0, 0xFFB3, 0x10, 0, 0, "", 0xFFB3, 4, 0, 0},
        Search{"BezelButtons1", 0, 0, 0xFFB3, 0x10, 0, 1, "", 0xFFB3, 4, 0, 0},
        Search{"BezelButtons2", 0, 0, 0xFFB3, 0x10, 0, 2, "", 0xFFB3, 4, 0, 0},
        Search{"BezelButtons3IsAbsent", 0, 0, 0xFFB3, 0x10, 0, 3, nullptr, 0, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.test); });

bool Signaled(const UniqueHandle& event) {
    return ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}

// One test for all uses of the two global names, so that no other test process of this suite
// creates or holds them meanwhile. A current controller nobody has (vendor 0x04F3, product
// 0x7FFF) stands for the missing one.
TEST(Win32TouchManager, WithoutTheControllerFallsBackToTheNamedEvents) {
    constexpr USHORT kVendor = 0x04F3, kAbsentProduct = 0x7FFF;
    Win32Hid hid;
    Win32Kernel kernel;
    const HidDeviceList devices(hid, kernel);
    {
        TouchManager touch(hid, kernel, devices);
        EXPECT_FALSE(touch.Initialize(false, kVendor, kAbsentProduct, 6, 5, 0));  // no events
        EXPECT_FALSE(touch.IsInitialized());
    }

    const UniqueHandle enable(::CreateEventW(nullptr, TRUE, FALSE, TouchManager::kEnableEventName));
    const UniqueHandle disable(
        ::CreateEventW(nullptr, TRUE, FALSE, TouchManager::kDisableEventName));
    ASSERT_TRUE(enable && disable);
    {
        TouchManager legacy(hid, kernel, devices);
        EXPECT_FALSE(legacy.Initialize(true, 0x03EB, kAbsentProduct, 6, 5, 0));
    }

    TouchManager touch(hid, kernel, devices);
    ASSERT_TRUE(touch.Initialize(false, kVendor, kAbsentProduct, 6, 5, 0));
    EXPECT_TRUE(touch.IsInitialized());
    EXPECT_FALSE(touch.SetBezelTouchMode(2));
    EXPECT_TRUE(Signaled(disable));
    EXPECT_FALSE(Signaled(enable));
    EXPECT_FALSE(touch.SetBezelTouchMode(1));
    EXPECT_TRUE(Signaled(enable));
    EXPECT_FALSE(touch.SetViewport(10, 20, 110, 220));
}

TEST(SubstituteTouchController, IsNotReachedByReportsTheStackRefuses) {
    // Shorter than the collection's feature length: Windows refuses it before the device, as
    // Wine does when the report is declared that long.
    std::optional<Control> control = Control::Open();
    ASSERT_TRUE(control);
    ASSERT_TRUE(control->Clear());
    const std::optional<Interface> vendor = Present("touch-v2", 0xFF00, 0);
    ASSERT_TRUE(vendor);
    const UniqueHandle device = OpenInterface(*vendor);
    BYTE mode[] = {6, 0xFF, 0xFF, 2};
    EXPECT_FALSE(::HidD_SetFeature(device.get(), mode, sizeof mode));
    const std::optional<std::vector<ReceivedReport>> received = control->Take();
    ASSERT_TRUE(received);
    EXPECT_TRUE(received->empty()) << Describe(*received);
}

// A button device's client, opened as the service opens the index-th.
struct ButtonClient {
    Win32Hid hid;
    Win32Kernel kernel;
    HidDeviceList devices{hid, kernel};
    HidClient client{hid, kernel, devices};
    std::string name;

    explicit ButtonClient(int index) {
        if (!client.Open(0, 0, 0xFFB3, 0x10, 0, index)) return;
        for (const Interface& found : substitute_hid::PresentInterfaces()) {
            if (found.path == client.GetDevicePath()) name = found.name;
        }
    }
};

TEST(SubstituteBezelButtons, EndABlockedReadWhenCancelled) {
    std::optional<Control> control = Control::Open();
    ASSERT_TRUE(control);
    ButtonClient button(1);
    ASSERT_FALSE(button.name.empty());
    Bytes report = {1};
    ReaderThread reader([&] { report = button.client.ReadInputReport(); });
    EXPECT_FALSE(reader.Ended(std::chrono::milliseconds(200)));
    // As the service stops its button threads.
    EXPECT_TRUE(reader.Cancel());
    EXPECT_TRUE(report.empty());
    // The device goes on delivering.
    ASSERT_TRUE(control->Inject(button.name, Bytes{0x19, 1, 0, 0}));
    EXPECT_EQ(button.client.ReadInputReport(), (Bytes{0x19, 1, 0, 0}));
}

// Adds a device and takes it away again; the default set stays as it is, for the tests of other
// processes that rely on it.
TEST(SubstituteTouchController, FailsABlockedReadWhenTheDeviceGoes) {
    const substitute_hid::Kind touchV1[] = {substitute_hid::Kind::TouchV1};
    ASSERT_TRUE(substitute_hid::Add(touchV1, substitute_hid::ExecutableDirectory()));
    const std::optional<Interface> found = Present("touch-v1", 0xFF00, 0);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->inputLength, 64);
    EXPECT_EQ(found->outputLength, 19);
    const UniqueHandle device = OpenInterface(*found);
    ASSERT_TRUE(device);
    BOOL read = TRUE;
    DWORD error = 0;
    ReaderThread reader([&] {
        BYTE buffer[64];
        DWORD count = 0;
        read = ::ReadFile(device.get(), buffer, sizeof buffer, &count, nullptr);
        error = ::GetLastError();
    });
    EXPECT_FALSE(reader.Ended(std::chrono::milliseconds(200)));
    EXPECT_TRUE(substitute_hid::Remove(touchV1));
    EXPECT_TRUE(reader.Ended(std::chrono::seconds(10)));
    ASSERT_TRUE(reader.Cancel());
    EXPECT_FALSE(read);
    // Wine fails the read as access denied (from STATUS_DELETE_PENDING); Windows as not connected.
    EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_DEVICE_NOT_CONNECTED) << error;
    EXPECT_FALSE(Present("touch-v1", 0xFF00, 0));
}

}  // namespace
