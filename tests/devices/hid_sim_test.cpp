// The simulated HID bus and its substitute devices, through the platform calls.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "hid_rig.h"
#include "platform/sim/bezel_buttons_sim.h"
#include "platform/sync.h"

namespace {

using hid_test::Bytes;
using hid_test::Device;
using hid_test::HidReport;
using hid_test::HidRig;
using platform::sim::SimBezelButtons;
using ::testing::ElementsAre;

class SimHidBus : public HidRig {
public:
    HANDLE Open(const wchar_t* path) {
        return Hid().CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_DEVICE, nullptr);
    }
};

TEST(SimHid, WritesMustBeOneWholeOutputReport) {
    SimHidBus bus;
    auto& device = bus.Plug(Device(L"d", 1, 1, 0xFF00, 1, 0, 4));
    const HANDLE handle = bus.Open(L"D");  // paths are compared ignoring case
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const BYTE report[] = {1, 2, 3, 4, 5};
    DWORD written = 7;
    EXPECT_FALSE(bus.Hid().WriteFile(handle, report, 5, &written, nullptr));
    EXPECT_EQ(bus.Kernel().GetLastError(), ERROR_INVALID_USER_BUFFER);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(bus.Hid().WriteFile(handle, report, 4, &written, nullptr));
    EXPECT_EQ(written, 4u);
    EXPECT_THAT(device.Reports(), ElementsAre(HidReport{HidReport::Kind::Output, {1, 2, 3, 4}}));
    EXPECT_TRUE(bus.Hid().CloseHandle(handle));
    EXPECT_FALSE(bus.Hid().WriteFile(handle, report, 4, &written, nullptr));
    EXPECT_EQ(bus.Kernel().GetLastError(), ERROR_INVALID_HANDLE);
}

class SimBezelButtonsRead : public ::testing::Test {
protected:
    SimBezelButtonsRead()
        : buttons(bus.Hid().AddDevice<SimBezelButtons>(
              SimBezelButtons::ButtonsDescription(L"buttons", 3))),
          handle(bus.Open(L"buttons")) {}
    ~SimBezelButtonsRead() override {
        bus.Hid().CloseHandle(handle);  // ends a read that a failed check left blocked
        if (reader.joinable()) FinishRead();
    }

    void StartRead() {
        reader = platform::Thread(bus.Kernel(), [this] {
            BYTE buffer[3] = {};
            DWORD read = 0;
            result = bus.Hid().ReadFile(handle, buffer, 3, &read, nullptr);
            error = bus.Kernel().GetLastError();
            report.assign(buffer, buffer + read);
        });
        bus.world.RunUntilIdle();
    }
    void FinishRead() {
        bus.world.RunUntilIdle();
        reader.join();
    }

    SimHidBus bus;
    SimBezelButtons& buttons;
    HANDLE handle;
    platform::Thread reader;
    BOOL result = -1;
    DWORD error = 0;
    Bytes report;
};

TEST_F(SimBezelButtonsRead, PressesAndReleasesArriveInOrder) {
    buttons.Press(0x19);
    buttons.Release(0x19);
    for (const Bytes& expected : {Bytes{0x19, 1, 0}, Bytes{0x19, 0, 0}}) {
        StartRead();
        FinishRead();
        EXPECT_TRUE(result);
        EXPECT_EQ(report, expected);
    }
}

TEST_F(SimBezelButtonsRead, CancellingTheReaderAbortsItsReadOnly) {
    StartRead();
    EXPECT_EQ(result, -1);  // blocked
    const HANDLE readerThread = reader.NativeHandle();
    EXPECT_TRUE(bus.Hid().CancelSynchronousIo(readerThread));
    FinishRead();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    // Nothing is pending any more.
    EXPECT_FALSE(bus.Hid().CancelSynchronousIo(readerThread));
    EXPECT_EQ(bus.Kernel().GetLastError(), ERROR_NOT_FOUND);
}

}  // namespace
