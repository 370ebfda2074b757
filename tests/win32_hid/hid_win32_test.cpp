#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/hid_client.h"
#include "devices/touch_manager.h"
#include "platform/win32/hid_win32.h"
#include "platform/win32/kernel_win32.h"
#include "platform/win32/unique_handle.h"

namespace {

using platform::win32::UniqueHandle;
using platform::win32::Win32Hid;
using platform::win32::Win32Kernel;

// The real calls, with every device the system tries to open, and what it gives back, recorded.
class RecordingHid : public Win32Hid {
public:
    HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                       LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override {
        tried.emplace_back(fileName);
        const HANDLE device =
            Win32Hid::CreateFileW(fileName, desiredAccess, shareMode, securityAttributes,
                                  creationDisposition, flagsAndAttributes, templateFile);
        if (device != INVALID_HANDLE_VALUE) ++opened;
        return device;
    }
    BOOL CloseHandle(HANDLE object) override {
        ++closed;
        return Win32Hid::CloseHandle(object);
    }

    std::vector<std::wstring> tried;
    int opened = 0;
    int closed = 0;
};

// What SetupAPI presents, asked directly.
std::vector<std::wstring> PresentHidInterfaces() {
    GUID guid;
    ::HidD_GetHidGuid(&guid);
    std::vector<std::wstring> paths;
    const HDEVINFO info =
        ::SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HANDLE_VALUE) return paths;
    for (DWORD member = 0;; ++member) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!::SetupDiEnumDeviceInterfaces(info, nullptr, &guid, member, &data)) break;
        DWORD required = 0;
        ::SetupDiGetDeviceInterfaceDetailW(info, &data, nullptr, 0, &required, nullptr);
        std::vector<DWORD> storage(required / sizeof(DWORD) + 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (::SetupDiGetDeviceInterfaceDetailW(info, &data, detail, required, nullptr, nullptr)) {
            paths.emplace_back(detail->DevicePath);
        }
    }
    ::SetupDiDestroyDeviceInfoList(info);
    return paths;
}

TEST(Win32HidDeviceList, HoldsWhatSetupApiPresents) {
    Win32Hid hid;
    Win32Kernel kernel;
    const HidDeviceList devices(hid, kernel);
    EXPECT_EQ(devices.Paths(), PresentHidInterfaces());
    for (const std::wstring& path : devices.Paths()) EXPECT_FALSE(path.empty());
}

struct SystemDevice {
    const char* name;
    USHORT vendorId, productId, usagePage, usage;
    int outputLength, index;
};

class Win32HidSystemDevice : public ::testing::TestWithParam<SystemDevice> {};

TEST_P(Win32HidSystemDevice, IsNotFoundAfterEveryInterfaceWasTried) {
    const SystemDevice& wanted = GetParam();
    RecordingHid hid;
    Win32Kernel kernel;
    const HidDeviceList devices(hid, kernel);
    {
        HidClient client(hid, kernel, devices);
        EXPECT_FALSE(client.Open(wanted.vendorId, wanted.productId, wanted.usagePage, wanted.usage,
                                 wanted.outputLength, wanted.index));
        EXPECT_FALSE(client.IsValid());
        EXPECT_TRUE(client.GetDevicePath().empty());
    }
    EXPECT_EQ(hid.tried, devices.Paths());
    EXPECT_EQ(hid.closed, hid.opened);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Win32HidSystemDevice,
    ::testing::Values(SystemDevice{"TouchController", 0x04F3, 0x200A, 0, 0, 20, 0},
                      SystemDevice{"TouchControllerVersion1", 0x04F3, 0x200A, 0, 0, 19, 0},
                      SystemDevice{"LegacyTouchController", 0x03EB, 0x212A, 0, 0, 10, 0},
                      SystemDevice{"BezelButtons0", 0, 0, 0xFFB3, 0x10, 0, 0},
                      SystemDevice{"BezelButtons1", 0, 0, 0xFFB3, 0x10, 0, 1},
                      SystemDevice{"BezelButtons2", 0, 0, 0xFFB3, 0x10, 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

bool Signaled(const UniqueHandle& event) {
    return ::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0;
}

// One test for all uses of the two global names, so that no other test process of this suite
// creates or holds them meanwhile.
TEST(Win32TouchManager, WithoutTheControllerFallsBackToTheNamedEvents) {
    Win32Hid hid;
    Win32Kernel kernel;
    const HidDeviceList devices(hid, kernel);
    {
        TouchManager touch(hid, kernel, devices);
        EXPECT_FALSE(touch.Initialize(false, 0x04F3, 0x200A, 6, 5, 0));  // no events yet
        EXPECT_FALSE(touch.IsInitialized());
    }

    const UniqueHandle enable(::CreateEventW(nullptr, TRUE, FALSE, TouchManager::kEnableEventName));
    const UniqueHandle disable(
        ::CreateEventW(nullptr, TRUE, FALSE, TouchManager::kDisableEventName));
    ASSERT_TRUE(enable && disable);
    {
        TouchManager legacy(hid, kernel, devices);
        EXPECT_FALSE(legacy.Initialize(true, 0x03EB, 0x212A, 6, 5, 0));
    }

    TouchManager touch(hid, kernel, devices);
    ASSERT_TRUE(touch.Initialize(false, 0x04F3, 0x200A, 6, 5, 0));
    EXPECT_TRUE(touch.IsInitialized());
    EXPECT_FALSE(touch.SetBezelTouchMode(2));
    EXPECT_TRUE(Signaled(disable));
    EXPECT_FALSE(Signaled(enable));
    EXPECT_FALSE(touch.SetBezelTouchMode(1));
    EXPECT_TRUE(Signaled(enable));
    EXPECT_FALSE(touch.SetViewport(10, 20, 110, 220));
}

}  // namespace
