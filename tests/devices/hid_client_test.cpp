#include "devices/hid_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>

#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid_rig.h"
#include "platform/sim/touch_controller_sim.h"
#include "platform/sync.h"

namespace {

using hid_test::Bytes;
using hid_test::Device;
using hid_test::HidReport;
using hid_test::HidRig;
using platform::sim::SimHidDevice;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const wchar_t* kStatusLine = L"2 HRESULT: 0x%08x @ LINE #### [hid_client.cpp]";

std::wstring StatusLine(unsigned status) {
    wchar_t text[64];
    std::swprintf(text, 64, kStatusLine, status);
    return text;
}

// ---- The device list ----

TEST(HidDeviceList, ListsTheInterfacesInBusOrderAndTracesTheirNumber) {
    HidRig rig;
    rig.Plug(Device(L"\\\\?\\hid#a", 1, 1, 0xFF00, 1));
    rig.Plug(Device(L"\\\\?\\hid#b", 2, 2, 0xFF00, 1));
    rig.Plug(Device(L"\\\\?\\hid#c", 3, 3, 0xFF00, 1));
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    EXPECT_THAT(devices.Paths(), ElementsAre(L"\\\\?\\hid#a", L"\\\\?\\hid#b", L"\\\\?\\hid#c"));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"4 Total number of HID devices: 3"));
    EXPECT_EQ(rig.Hid().DeviceInfoListCount(), 0u);
}

TEST(HidDeviceList, WithNoDeviceEveryOpenFailsAtOnce) {
    HidRig rig;
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"4 Total number of HID devices: 0"));
    HidClient client(rig.Hid(), rig.Kernel(), devices);
    EXPECT_FALSE(client.Open(0, 0, 0, 0, 0, 0));
    EXPECT_THAT(rig.TakeTraces(), IsEmpty());
}

TEST(HidDeviceList, IsTakenOnceSoALaterDeviceIsNotFound) {
    HidRig rig;
    rig.Plug(Device(L"early", 1, 1, 0xFF00, 1));
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    rig.Plug(Device(L"late", 2, 2, 0xFF00, 1));
    HidClient client(rig.Hid(), rig.Kernel(), devices);
    EXPECT_FALSE(client.Open(2, 0, 0, 0, 0, 0));
    EXPECT_TRUE(client.Open(1, 0, 0, 0, 0, 0));
}

struct EnumerationFault {
    const char* name;
    const char* operation;
    DWORD error;
    unsigned nth;
    std::size_t paths;  // of the three plugged
    std::vector<std::wstring> traces;
    std::size_t listsLeft;
};

class HidDeviceListFault : public ::testing::TestWithParam<EnumerationFault> {};

TEST_P(HidDeviceListFault, KeepsThePathsGatheredAndTracesTheFailure) {
    const EnumerationFault& fault = GetParam();
    HidRig rig;
    for (const wchar_t* path : {L"a", L"b", L"c"}) rig.Plug(Device(path, 1, 1, 0xFF00, 1));
    rig.Fail(fault.operation, fault.error, fault.nth);
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    EXPECT_EQ(devices.Paths().size(), fault.paths);
    EXPECT_EQ(rig.TakeTraces(), fault.traces);
    EXPECT_EQ(rig.Hid().DeviceInfoListCount(), fault.listsLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HidDeviceListFault,
    ::testing::Values(
        EnumerationFault{"NoList",
                         "SetupDiGetClassDevsW",
                         ERROR_ACCESS_DENIED,
                         1,
                         0,
                         {StatusLine(0x80070005), L"4 Total number of HID devices: 0"},
                         0},
        EnumerationFault{"SecondInterface",
                         "SetupDiEnumDeviceInterfaces",
                         ERROR_GEN_FAILURE,
                         2,
                         1,
                         {StatusLine(0x8007001F), L"4 Total number of HID devices: 1"},
                         0},
        EnumerationFault{"NoMoreItemsIsTheEnd",
                         "SetupDiEnumDeviceInterfaces",
                         ERROR_NO_MORE_ITEMS,
                         3,
                         2,
                         {L"4 Total number of HID devices: 2"},
                         0},
        EnumerationFault{"SizeNotLearnt",
                         "SetupDiGetDeviceInterfaceDetailW",
                         ERROR_ACCESS_DENIED,
                         1,
                         0,
                         {L"1 ASSERT @ LINE #### [hid_client.cpp] executing [(!bSuccess && "
                          L"(GetLastError() == ERROR_INSUFFICIENT_BUFFER))]",
                          L"4 Total number of HID devices: 0"},
                         0},
        EnumerationFault{"DetailOfTheSecond",
                         "SetupDiGetDeviceInterfaceDetailW",
                         ERROR_NOT_ENOUGH_MEMORY,
                         4,
                         1,
                         {StatusLine(0x80070008), L"4 Total number of HID devices: 1"},
                         0},
        EnumerationFault{"ListNotDestroyed",
                         "SetupDiDestroyDeviceInfoList",
                         ERROR_INVALID_HANDLE,
                         1,
                         3,
                         {StatusLine(0x80070006), L"4 Total number of HID devices: 3"},
                         1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Finding a device ----

struct Search {
    const char* name;
    USHORT vendorId, productId, usagePage, usage;
    int outputLength, index;
    std::optional<std::wstring> found;
};

class HidClientMatching : public ::testing::TestWithParam<Search> {
protected:
    HidClientMatching() {
        // Windows keeps a touch screen to itself: a match that cannot be opened does not count.
        rig.Plug(Device(L"touchScreen", 0x04F3, 0x200A, 0x0D, 0x04, 7));
        rig.Plug(Device(L"touch19", 0x04F3, 0x200A, 0xFF00, 0x01, 64, 19, 12));
        rig.Plug(Device(L"touch20", 0x04F3, 0x200A, 0xFF00, 0x01, 20, 20, 12));
        rig.Plug(Device(L"buttons0", 0x1B96, 0x0B0A, 0xFFB3, 0x10, 2));
        rig.Plug(Device(L"buttons1", 0x1B96, 0x0B0B, 0xFFB3, 0x10, 2));
        rig.Plug(Device(L"noUsage", 0x1111, 0x0001, 0x0C, 0));
        rig.Plug(Device(L"noUsagePage", 0x2222, 0x0001, 0, 0x01));
        devices = std::make_unique<HidDeviceList>(rig.Hid(), rig.Kernel());
    }

    HidRig rig;
    std::unique_ptr<HidDeviceList> devices;
};

TEST_P(HidClientMatching, OpensTheIndexthMatchAndNothingElse) {
    const Search& search = GetParam();
    HidClient client(rig.Hid(), rig.Kernel(), *devices);
    const std::size_t handlesBefore = rig.Kernel().OpenHandleCount();
    EXPECT_EQ(client.Open(search.vendorId, search.productId, search.usagePage, search.usage,
                          search.outputLength, search.index),
              search.found.has_value());
    EXPECT_EQ(client.IsValid(), search.found.has_value());
    EXPECT_EQ(client.GetDevicePath(), search.found.value_or(L""));
    // Every device tried and not kept is closed again, and its parsed data freed.
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore + (search.found ? 1 : 0));
    EXPECT_EQ(rig.Hid().PreparsedDataCount(), 0u);
    client.Close();
    EXPECT_FALSE(client.IsValid());
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HidClientMatching,
    ::testing::Values(Search{"OutputLength20SkipsThe19", 0x04F3, 0x200A, 0, 0, 20, 0, L"touch20"},
                      Search{"OutputLength19", 0x04F3, 0x200A, 0, 0, 19, 0, L"touch19"},
                      Search{"SameIdsFirst", 0x04F3, 0x200A, 0, 0, 0, 0, L"touch19"},
                      Search{"SameIdsSecond", 0x04F3, 0x200A, 0, 0, 0, 1, L"touch20"},
                      Search{"SameIdsNoThird", 0x04F3, 0x200A, 0, 0, 0, 2, std::nullopt},
                      Search{"NegativeLengthMatchesAll", 0x04F3, 0x200A, 0, 0, -1, 1, L"touch20"},
                      Search{"OtherLength", 0x04F3, 0x200A, 0, 0, 21, 0, std::nullopt},
                      Search{"UsageFirst", 0, 0, 0xFFB3, 0x10, 0, 0, L"buttons0"},
                      Search{"UsageSecond", 0, 0, 0xFFB3, 0x10, 0, 1, L"buttons1"},
                      Search{"UsageNoThird", 0, 0, 0xFFB3, 0x10, 0, 2, std::nullopt},
                      Search{"UsageMustMatchWithItsPage", 0, 0, 0xFFB3, 0x11, 0, 0, std::nullopt},
                      Search{"UsageIgnoredWithoutPage", 0, 0, 0, 0x99, 0, 0, L"touch19"},
                      Search{"ProductAlone", 0, 0x0B0B, 0, 0, 0, 0, L"buttons1"},
                      Search{"VendorAndWrongProduct", 0x1B96, 0x200A, 0, 0, 0, 0, std::nullopt},
                      Search{"IndexCountsMatchesOnly", 0, 0, 0, 0, 0, 3, L"buttons1"},
                      Search{"DeviceWithoutUsageNeverMatches", 0x1111, 0, 0, 0, 0, 0, std::nullopt},
                      Search{"DeviceWithoutUsagePageNeverMatches", 0x2222, 0, 0, 0, 0, 0,
                             std::nullopt},
                      Search{"AllAndFullPage", 0x04F3, 0x200A, 0xFF00, 0x01, 20, 0, L"touch20"},
                      Search{"WindowsOwnCollection", 0, 0, 0x0D, 0x04, 0, 0, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// A device whose capabilities cannot be read must not be judged on those of the device tried
// before it: here the first device has a usage, the second none that could be read.
struct CapabilityFault {
    const char* name;
    const char* operation;
    bool refusedByDevice;
};

class HidClientCapabilityFault : public ::testing::TestWithParam<CapabilityFault> {};

TEST_P(HidClientCapabilityFault, LeavesTheDeviceUnmatched) {
    const CapabilityFault& fault = GetParam();
    HidRig rig;
    rig.Plug(Device(L"buttons", 0x1B96, 0x0B0A, 0xFFB3, 0x10, 2));
    SimHidDevice& unreadable = rig.Plug(Device(L"unreadable", 0x2222, 0x0001, 0xFF00, 0x01));
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    if (fault.refusedByDevice) {
        unreadable.Refuse(fault.operation, ERROR_GEN_FAILURE);
    } else {
        rig.Fail(fault.operation, static_cast<DWORD>(HIDP_STATUS_INVALID_PREPARSED_DATA), 2);
    }
    HidClient client(rig.Hid(), rig.Kernel(), devices);
    EXPECT_FALSE(client.Open(0x2222, 0, 0, 0, 0, 0));
    EXPECT_EQ(client.GetCapabilities().UsagePage, 0);
    EXPECT_EQ(client.GetCapabilities().Usage, 0);
    EXPECT_EQ(rig.Hid().PreparsedDataCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Reads, HidClientCapabilityFault,
                         ::testing::Values(CapabilityFault{"NoPreparsedData",
                                                           "HidD_GetPreparsedData", true},
                                           CapabilityFault{"NoCaps", "HidP_GetCaps", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HidClient, TracesEachDeviceTriedAndSkipsThoseThatFail) {
    HidRig rig;
    rig.Plug(Device(L"denied", 1, 1, 0xFF00, 1)).Refuse("CreateFileW", ERROR_ACCESS_DENIED);
    rig.Plug(Device(L"mute", 2, 2, 0xFF00, 1)).Refuse("HidD_GetAttributes", ERROR_GEN_FAILURE);
    rig.Plug(Device(L"keyboard", 3, 3, 0x01, 0x06, 9));
    auto description = Device(L"buttons", 0x1B96, 0x0B0A, 0xFFB3, 0x10, 2);
    description.inputValueCaps = {hid_test::ValueCaps(0xFFB3, 0x18),
                                  hid_test::ValueCaps(0xFFB3, 0x19)};
    SimHidDevice& buttons = rig.Plug(description);
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    rig.TakeTraces();

    HidClient client(rig.Hid(), rig.Kernel(), devices);
    ASSERT_TRUE(client.Open(0, 0, 0xFFB3, 0x10, 0, 0));
    EXPECT_THAT(
        rig.TakeTraces(),
        ElementsAre(L"4 Checking on device path: denied", StatusLine(0x80070005),
                    L"4 Checking on device path: mute", L"4 Checking on device path: keyboard",
                    L"4 Hid Device(keyboard) VID: 0x0003, PID: 0x0003, Ver: 0x0100",
                    L"4 Checking on device path: buttons",
                    L"4 Hid Device(buttons) VID: 0x1b96, PID: 0x0b0a, Ver: 0x0100",
                    L"4 UsagePage[0]=65459, ReportId[0]=24",
                    L"4 UsagePage[1]=65459, ReportId[1]=25", L"4 Found device: buttons"));
    // Synchronous I/O on a shared handle that no child process inherits.
    platform::sim::HidOpenRequest expected;
    expected.desiredAccess = 0xC0000000;
    expected.shareMode = 3;
    expected.creationDisposition = 3;
    EXPECT_EQ(buttons.LastOpen(), expected);
}

TEST(HidClient, OpeningAgainClosesTheDeviceHeldAndTheDestructorClosesTheLast) {
    HidRig rig;
    rig.Plug(Device(L"first", 1, 1, 0xFFB3, 0x10, 2));
    rig.Plug(Device(L"second", 1, 1, 0xFFB3, 0x10, 2));
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    const std::size_t handlesBefore = rig.Kernel().OpenHandleCount();
    {
        HidClient client(rig.Hid(), rig.Kernel(), devices);
        ASSERT_TRUE(client.Open(1, 1, 0, 0, 0, 0));
        ASSERT_TRUE(client.Open(1, 1, 0, 0, 0, 1));
        EXPECT_EQ(client.GetDevicePath(), L"second");
        EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore + 1);
        EXPECT_FALSE(client.Open(1, 1, 0, 0, 0, 2));
        EXPECT_FALSE(client.IsValid());
        EXPECT_EQ(client.GetDevicePath(), L"second");  // left as it was
        ASSERT_TRUE(client.Open(1, 1, 0, 0, 0, 0));
    }
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handlesBefore);
}

// ---- Reports ----

// A client opened on a plain device of 17-byte output reports and a touch controller answering
// feature reads.
class HidClientReports : public ::testing::Test {
protected:
    HidClientReports()
        : plain(rig.Plug(Device(L"plain", 1, 1, 0xFF00, 1, 4, 17, 12))),
          touch(rig.Hid().AddDevice<platform::sim::SimTouchController>(
              platform::sim::SimTouchController::Family::Current, 2,
              [] {
                  auto description =
                      platform::sim::SimTouchController::CurrentDescription(2, L"touch");
                  description.featureReportByteLength = 16;  // longer than any report it takes
                  return description;
              }())),
          devices(rig.Hid(), rig.Kernel()),
          client(rig.Hid(), rig.Kernel(), devices) {}

    void OpenPlain() {
        ASSERT_TRUE(client.Open(1, 1, 0, 0, 0, 0));
        rig.TakeTraces();
    }
    void OpenTouch() {
        ASSERT_TRUE(client.Open(0x04F3, 0x200A, 0, 0, 0, 0));
        rig.TakeTraces();
    }

    HidRig rig;
    SimHidDevice& plain;
    platform::sim::SimTouchController& touch;
    HidDeviceList devices;
    HidClient client;
};

TEST_F(HidClientReports, OutputReportIsDumpedSentAndItsOutcomeTraced) {
    OpenPlain();
    const Bytes report = {0x06, 0xFF, 0xFF, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                          0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0xAB, 0x10};
    EXPECT_TRUE(client.WriteOutputReport(report.data(), static_cast<DWORD>(report.size())));
    EXPECT_THAT(rig.TakeTraces(),
                ElementsAre(L"4 Sending Output Report bytes:\n 0x06 0xff 0xff 0x00 0x01 0x02 0x03 "
                            L"0x04 0x05 0x06 0x07 0x08 0x09 0x0a 0x0b 0xab\n 0x10",
                            L"4 Operation successful"));
    EXPECT_THAT(plain.Reports(), ElementsAre(HidReport{HidReport::Kind::Output, report}));
}

TEST_F(HidClientReports, FailedAndShortWritesAreFailures) {
    OpenPlain();
    const Bytes report(17, 0x42);
    rig.Fail("WriteFile", ERROR_GEN_FAILURE);
    EXPECT_FALSE(client.WriteOutputReport(report.data(), 17));
    EXPECT_EQ(rig.TakeTraces().back(), L"4 Operation failed");
    plain.LimitWrites(16);
    EXPECT_FALSE(client.WriteOutputReport(report.data(), 17));
    EXPECT_EQ(rig.TakeTraces().back(), L"4 Operation failed");
    // Longer than the collection's reports of either kind: never sent, and so never cut short.
    const Bytes tooLong(18, 0x42);
    EXPECT_FALSE(client.WriteOutputReport(tooLong.data(), 18));
    EXPECT_EQ(rig.TakeTraces().back(), L"4 Operation failed");
    EXPECT_FALSE(client.SetFeatureReport(tooLong.data(), 13));
    EXPECT_EQ(rig.TakeTraces().back(), L"4 Operation failed");
    EXPECT_EQ(plain.Reports().size(), 1u);  // the limited write
}

TEST_F(HidClientReports, FeatureReportIsDumpedAndSentInABufferOfTheCollectionsLength) {
    OpenPlain();
    const Bytes report = {0x06, 0xFF, 0xFF, 0x02};
    const Bytes padded = {0x06, 0xFF, 0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(client.SetFeatureReport(report.data(), 4));
    rig.Fail("HidD_SetFeature", ERROR_GEN_FAILURE);
    EXPECT_FALSE(client.SetFeatureReport(report.data(), 4));
    EXPECT_THAT(rig.TakeTraces(),
                ElementsAre(L"4 Setting Feature Report bytes:\n 0x06 0xff 0xff 0x02",
                            L"4 Operation successful",
                            L"4 Setting Feature Report bytes:\n 0x06 0xff 0xff 0x02",
                            L"4 Operation failed"));
    EXPECT_THAT(plain.Reports(), ElementsAre(HidReport{HidReport::Kind::SetFeature, padded}));
}

TEST_F(HidClientReports, NothingIsSentOrTracedWithoutBytesOrDevice) {
    const BYTE report[] = {0x06, 0x01, 0x00};
    HidClient::FeatureReport buffer{};
    EXPECT_FALSE(client.WriteOutputReport(report, 3));
    EXPECT_FALSE(client.SetFeatureReport(report, 3));
    EXPECT_FALSE(client.GetFeatureReport(buffer));
    EXPECT_TRUE(client.ReadInputReport().empty());
    OpenPlain();
    EXPECT_FALSE(client.WriteOutputReport(report, 0));
    EXPECT_FALSE(client.SetFeatureReport(report, 0));
    EXPECT_THAT(rig.TakeTraces(), IsEmpty());
    EXPECT_THAT(plain.Reports(), IsEmpty());
}

TEST_F(HidClientReports, FeatureReadAsksForTheCollectionsLengthAndDumpsTheReport) {
    OpenTouch();
    const BYTE select[] = {0x05, 0xFF, 0xFF, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    ASSERT_TRUE(client.SetFeatureReport(select, sizeof select));
    rig.TakeTraces();
    HidClient::FeatureReport buffer{0x05, 0, 0, 0x02};
    EXPECT_TRUE(client.GetFeatureReport(buffer));
    EXPECT_THAT(buffer, ElementsAre(0x05, 0xFF, 0xFF, 0x02, 0x30, 0x0C, 0x80, 0x07, 0, 0, 0, 0));
    EXPECT_THAT(rig.TakeTraces(),
                ElementsAre(L"4 Getting Feature Report bytes:\n 0x05 0xff 0xff 0x02 0x30 0x0c 0x80 "
                            L"0x07 0x00 0x00 0x00 0x00",
                            L"4 Operation successful"));
    EXPECT_EQ(touch.Reports().back(),
              (HidReport{HidReport::Kind::GetFeature,
                         {0x05, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}));
}

TEST_F(HidClientReports, FailedFeatureReadTracesOnlyTheOutcome) {
    OpenPlain();  // has no feature report to give
    HidClient::FeatureReport buffer{0x05};
    EXPECT_FALSE(client.GetFeatureReport(buffer));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"4 Operation failed"));
}

// ---- Input reports ----

class HidClientInput : public ::testing::Test {
protected:
    HidClientInput()
        : buttons(rig.Plug(Device(L"buttons", 0x1B96, 0x0B0A, 0xFFB3, 0x10, 3))),
          devices(rig.Hid(), rig.Kernel()),
          client(rig.Hid(), rig.Kernel(), devices) {
        EXPECT_TRUE(client.Open(0, 0, 0xFFB3, 0x10, 0, 0));
        rig.TakeTraces();
    }

    ~HidClientInput() override {
        if (reader.joinable()) {
            // Ends a read that a failed check left blocked.
            rig.Hid().CancelSynchronousIo(reader.NativeHandle());
            FinishRead();
        }
    }

    // Starts a read on a thread of the world's and runs until it blocks or is done.
    void StartRead() {
        reader = platform::Thread(rig.Kernel(), [this] { report = client.ReadInputReport(); });
        rig.world.RunUntilIdle();
    }
    Bytes FinishRead() {
        rig.world.RunUntilIdle();
        reader.join();
        return report;
    }

    HidRig rig;
    SimHidDevice& buttons;
    HidDeviceList devices;
    HidClient client;
    platform::Thread reader;
    Bytes report = {0xEE};
};

TEST_F(HidClientInput, ReadsOneWholeReport) {
    buttons.QueueInputReport({0x19, 0x01, 0x00});
    EXPECT_THAT(client.ReadInputReport(), ElementsAre(0x19, 0x01, 0x00));
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"4 Operation successful"));
}

TEST_F(HidClientInput, AShortReadYieldsNothing) {
    buttons.QueueInputReport({0x19, 0x01});
    EXPECT_THAT(client.ReadInputReport(), IsEmpty());
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"4 Operation failed"));
}

TEST_F(HidClientInput, BlocksUntilAReportArrives) {
    StartRead();
    EXPECT_THAT(report, ElementsAre(0xEE));  // still waiting
    buttons.QueueInputReport({0x18, 0x01, 0x00});
    EXPECT_THAT(FinishRead(), ElementsAre(0x18, 0x01, 0x00));
}

TEST_F(HidClientInput, ACancelledReadYieldsNothingAndTheNextReportWaits) {
    StartRead();
    ASSERT_TRUE(rig.Hid().CancelSynchronousIo(reader.NativeHandle()));
    buttons.QueueInputReport({0x1A, 0x01, 0x00});
    EXPECT_THAT(FinishRead(), IsEmpty());
    EXPECT_THAT(rig.TakeTraces(), ElementsAre(L"4 Operation failed"));
    EXPECT_THAT(client.ReadInputReport(), ElementsAre(0x1A, 0x01, 0x00));
}

// As on Windows: a close does not end a synchronous read on the handle, it waits for it.
TEST_F(HidClientInput, ClosingFromAnotherThreadWaitsForTheRead) {
    StartRead();
    std::atomic<bool> closed{false};
    platform::Thread closer(rig.Kernel(), [&] {
        client.Close();
        closed = true;
    });
    rig.world.RunUntilIdle();
    EXPECT_FALSE(closed);
    buttons.QueueInputReport({0x18, 0x01, 0x00});
    EXPECT_THAT(FinishRead(), ElementsAre(0x18, 0x01, 0x00));
    closer.join();
    EXPECT_FALSE(client.IsValid());
}

TEST(HidClient, ADeviceWithoutInputReportsIsNotRead) {
    HidRig rig;
    SimHidDevice& device = rig.Plug(Device(L"outputOnly", 1, 1, 0xFF00, 1, 0, 10));
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    HidClient client(rig.Hid(), rig.Kernel(), devices);
    ASSERT_TRUE(client.Open(1, 1, 0, 0, 0, 0));
    rig.TakeTraces();
    device.Refuse("ReadFile", ERROR_GEN_FAILURE);  // would show as "Operation failed"
    EXPECT_THAT(client.ReadInputReport(), IsEmpty());
    EXPECT_THAT(rig.TakeTraces(), IsEmpty());
}

}  // namespace
