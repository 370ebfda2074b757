// The HID client against Windows' own HID stack (SetupAPI, hid.dll, the HID class driver), with
// the substitute devices of tools/substitute_hid installed by the fixture kelvo_hid_devices:
// touch-v2 and touch-legacy (each a vendor and a touchscreen collection), three bezel buttons
// and the control device through which the tests see what the devices received. The tests count
// on the default set being present and nothing else, and some send to the devices.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "contract.h"
#include "devices/hid_client.h"
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

// One search of the service and the capabilities of what it must open (none when name is null):
// the index-th interface of the usage page in SetupAPI's order; a touch controller shows which
// one took a report.
struct Search {
    const char* test;
    USHORT vendorId, productId, usagePage, usage;
    int outputLength, index;
    const char* name;
    USHORT foundPage, input, output, feature;
};
void PrintTo(const Search& search, std::ostream* out) { *out << search.test; }

class Win32HidClientSearch : public ::testing::TestWithParam<Search> {};

TEST_P(Win32HidClientSearch, OpensTheMatchingSubstituteDevice) {
    const Search& s = GetParam();
    std::optional<Control> control = Control::Open();
    ASSERT_TRUE(control && control->Clear());
    Win32Hid hid;
    Win32Kernel kernel;
    const HidDeviceList devices(hid, kernel);
    HidClient client(hid, kernel, devices);
    ASSERT_EQ(client.Open(s.vendorId, s.productId, s.usagePage, s.usage, s.outputLength, s.index),
              s.name != nullptr);
    EXPECT_EQ(client.IsValid(), s.name != nullptr);
    if (s.name == nullptr) return;
    const HIDP_CAPS& caps = client.GetCapabilities();
    EXPECT_EQ(std::tuple(caps.UsagePage, caps.InputReportByteLength, caps.OutputReportByteLength,
                         caps.FeatureReportByteLength),
              std::tuple(s.foundPage, s.input, s.output, s.feature));
    if (s.feature == 0) return;
    const BYTE select[] = {5, 0xFF, 0xFF, 1, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(client.SetFeatureReport(select, sizeof select));
    const auto received = control->Take();
    ASSERT_TRUE(received && received->size() == 1);
    EXPECT_EQ(received->front().device, s.name);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Win32HidClientSearch,
    ::testing::Values(
        Search{"TouchV2", 0x04F3, 0x200A, 0, 0, 20, 0, "touch-v2", 0xFF00, 20, 20, 12},
        Search{"TouchLegacy", 0x03EB, 0x212A, 0, 0, 10, 0, "touch-legacy", 0xFF00, 14, 10, 12},
        Search{"TouchV1IsAbsent", 0x04F3, 0x200A, 0, 0, 19, 0, nullptr, 0, 0, 0, 0},
        Search{"BezelButtons0", 0, 0, 0xFFB3, 0x10, 0, 0, "", 0xFFB3, 4, 0, 0},
        Search{"BezelButtons2", 0, 0, 0xFFB3, 0x10, 0, 2, "", 0xFFB3, 4, 0, 0},
        Search{"BezelButtons3IsAbsent", 0, 0, 0xFFB3, 0x10, 0, 3, nullptr, 0, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.test); });

// Shorter than the collection's feature length: Windows refuses it before the device, as Wine
// does when the report is declared that long; the simulated bus does the same.
TEST(SubstituteTouchController, IsNotReachedByReportsTheStackRefuses) {
    std::optional<Control> control = Control::Open();
    ASSERT_TRUE(control && control->Clear());
    const std::optional<Interface> vendor = Present("touch-v2", 0xFF00, 0);
    ASSERT_TRUE(vendor);
    const UniqueHandle device(::CreateFileW(vendor->path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
    BYTE mode[] = {6, 0xFF, 0xFF, 2};
    EXPECT_FALSE(::HidD_SetFeature(device.get(), mode, sizeof mode));
    const auto received = control->Take();
    ASSERT_TRUE(received);
    EXPECT_TRUE(received->empty());
}

// As the service stops its button threads; the device goes on delivering to the next read.
TEST(Win32HidClient, ABlockedReadEndsWhenItsThreadsIoIsCancelled) {
    std::optional<Control> control = Control::Open();
    ASSERT_TRUE(control);
    Win32Hid hid;
    Win32Kernel kernel;
    const HidDeviceList devices(hid, kernel);
    HidClient client(hid, kernel, devices);
    ASSERT_TRUE(
        client.Open(0, 0, contract::kBezelButtonUsagePage, contract::kBezelButtonUsage, 0, 1));
    const std::optional<Interface> button = Present("", contract::kBezelButtonUsagePage, 1);
    ASSERT_TRUE(button);
    Bytes report = {1};
    ReaderThread reader([&] { report = client.ReadInputReport(); });
    EXPECT_FALSE(reader.Ended(std::chrono::milliseconds(200)));
    EXPECT_TRUE(reader.Cancel());
    EXPECT_TRUE(report.empty());
    ASSERT_TRUE(control->Inject(button->name, Bytes{0x19, 1, 0, 0}));
    EXPECT_EQ(client.ReadInputReport(), (Bytes{0x19, 1, 0, 0}));
}

}  // namespace
