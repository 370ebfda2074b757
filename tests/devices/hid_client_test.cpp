// The HID client on the simulated bus: which devices the list holds, which one a search opens,
// and the bytes each report reaches a device with.
#include "devices/hid_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hid_rig.h"

namespace {

// A table's case shows as its name.
template <class Case>
requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

using namespace hid_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Paths = std::vector<std::wstring>;

// The nth call of an operation fails.
struct EnumerationFault {
    const char* name;
    const char* operation;
    unsigned nth;
    std::size_t paths;  // of the three plugged, in bus order
    std::size_t listsLeft;
    DWORD error = ERROR_GEN_FAILURE;
};

class HidDeviceListFault : public ::testing::TestWithParam<EnumerationFault> {};

TEST_P(HidDeviceListFault, KeepsThePathsGathered) {
    const EnumerationFault& fault = GetParam();
    HidRig rig;
    const Paths all = {L"a", L"b", L"c"};
    for (const std::wstring& path : all) rig.Plug(Device(path, 1, 1, 0xFF00, 1));
    if (fault.operation) rig.Fail(fault.operation, fault.error, fault.nth);
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    EXPECT_EQ(devices.Paths(), Paths(all.begin(), all.begin() + fault.paths));
    EXPECT_EQ(rig.Hid().DeviceInfoListCount(), fault.listsLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, HidDeviceListFault,
    ::testing::Values(EnumerationFault{"None", nullptr, 0, 3, 0},
                      EnumerationFault{"NoList", "SetupDiGetClassDevsW", 1, 0, 0},
                      EnumerationFault{"Second", "SetupDiEnumDeviceInterfaces", 2, 1, 0},
                      EnumerationFault{"NoMoreItems", "SetupDiEnumDeviceInterfaces", 3, 2, 0,
                                       ERROR_NO_MORE_ITEMS},
                      EnumerationFault{"NoSize", "SetupDiGetDeviceInterfaceDetailW", 1, 0, 0},
                      EnumerationFault{"NoDetail", "SetupDiGetDeviceInterfaceDetailW", 4, 1, 0},
                      EnumerationFault{"NotDestroyed", "SetupDiDestroyDeviceInfoList", 1, 3, 1}),
    kByName);

// One search (golden/hid_searches.txt); found names the device that then takes a report through
// the client, if any.
struct Search {
    std::string name;
    USHORT vendorId, productId, usagePage, usage;
    int outputLength, index;
    std::wstring found;
};

std::vector<Search> Searches() {
    std::vector<Search> searches;
    for (const auto& f : ReadTable(KELVO_HID_SEARCHES)) {
        searches.push_back({f.at(0), USHORT(Hex(f.at(1))), USHORT(Hex(f.at(2))),
                            USHORT(Hex(f.at(3))), USHORT(Hex(f.at(4))), std::stoi(f.at(5)),
                            std::stoi(f.at(6)),
                            f.at(7) == "-" ? L"" : std::wstring(f[7].begin(), f[7].end())});
    }
    return searches;
}

class HidClientMatching : public ::testing::TestWithParam<Search> {
protected:
    HidClientMatching() {
        Add(Device(L"denied", 1, 1, 0xFF00, 1)).Refuse("CreateFileW", ERROR_ACCESS_DENIED);
        Add(Device(L"mute", 2, 1, 0xFF00, 1)).Refuse("HidD_GetAttributes", ERROR_GEN_FAILURE);
        // Windows keeps a touch screen to itself: a match that cannot be opened does not count.
        Add(Device(L"touchScreen", 0x04F3, 0x200A, 0x0D, 0x04, 7));
        Add(Device(L"touch19", 0x04F3, 0x200A, 0xFF00, 0x01, 64, 19));
        Add(Device(L"touch20", 0x04F3, 0x200A, 0xFF00, 0x01, 20, 20));
        Add(Device(L"buttons0", 0x1B96, 0x0B0A, 0xFFB3, 0x10, 2));
        Add(Device(L"buttons1", 0x1B96, 0x0B0B, 0xFFB3, 0x10, 2));
        // Judged on its own capabilities, none, not on those of the device before it.
        Add(Device(L"unreadable", 3, 1, 0xFF00, 1))
            .Refuse("HidD_GetPreparsedData", ERROR_GEN_FAILURE);
        Add(Device(L"noUsage", 0x1111, 1, 0x0C, 0));
        Add(Device(L"noUsagePage", 0x2222, 1, 0, 0x01));
        devices.emplace(rig.Hid(), rig.Kernel());
        Add(Device(L"late", 4, 1, 0xFF00, 1));  // after the list was made
    }
    // Each device takes one-byte feature reports, so that the one opened shows.
    SimHidDevice& Add(platform::sim::HidDeviceDescription description) {
        description.featureReportByteLength = 1;
        return *plugged.emplace_back(&rig.Plug(std::move(description)));
    }
    HidRig rig;
    std::vector<SimHidDevice*> plugged;
    std::optional<HidDeviceList> devices;
};

TEST_P(HidClientMatching, OpensTheIndexthMatchAndNothingElse) {
    const Search& s = GetParam();
    const std::size_t handles = rig.Kernel().OpenHandleCount();
    {
        HidClient client(rig.Hid(), rig.Kernel(), *devices);
        // Opening again closes what the client held.
        client.Open(s.vendorId, s.productId, s.usagePage, s.usage, s.outputLength, s.index);
        EXPECT_EQ(
            client.Open(s.vendorId, s.productId, s.usagePage, s.usage, s.outputLength, s.index),
            !s.found.empty());
        // Every device tried and not kept is closed again, and its parsed data freed.
        EXPECT_EQ(rig.Kernel().OpenHandleCount(), handles + (s.found.empty() ? 0 : 1));
        EXPECT_EQ(rig.Hid().PreparsedDataCount(), 0u);
        const BYTE report[] = {0x42};
        client.SetFeatureReport(report, 1);
    }
    EXPECT_EQ(rig.Kernel().OpenHandleCount(), handles);
    Paths reached;
    for (SimHidDevice* device : plugged) {
        if (!device->Reports().empty()) reached.push_back(device->Description().path);
    }
    EXPECT_EQ(reached, s.found.empty() ? Paths{} : Paths{s.found});
}

INSTANTIATE_TEST_SUITE_P(Rules, HidClientMatching, ::testing::ValuesIn(Searches()), kByName);

// A report goes whole, zero-padded to the collection's length, or not at all; a write the device
// takes only in part is a failure, and so is a read of less than a whole input report.
TEST(HidClient, ExchangesOnlyWholeReports) {
    HidRig rig;
    SimHidDevice& device = rig.Plug(Device(L"plain", 1, 1, 0xFF00, 1, 4, 17, 12));
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    HidClient client(rig.Hid(), rig.Kernel(), devices);
    ASSERT_TRUE(client.Open(1, 1, 0, 0, 0, 0));
    // Synchronous I/O on a shared handle that no child process inherits.
    EXPECT_EQ(device.LastOpen(), (platform::sim::HidOpenRequest{0xC0000000, 3, {}, 0, 0, 3, 0}));
    const Bytes report(18, 1);
    EXPECT_FALSE(client.WriteOutputReport(report.data(), 18));
    EXPECT_FALSE(client.SetFeatureReport(report.data(), 13));
    EXPECT_FALSE(client.WriteOutputReport(report.data(), 0));
    EXPECT_FALSE(client.SetFeatureReport(report.data(), 0));
    EXPECT_THAT(device.Reports(), IsEmpty());
    device.LimitWrites(16);
    EXPECT_FALSE(client.WriteOutputReport(report.data(), 17));
    EXPECT_EQ(device.Reports().size(), 1u);
    device.QueueInputReport({7, 1, 2, 3});
    device.QueueInputReport({7, 1});
    EXPECT_EQ(client.ReadInputReport(), Bytes({7, 1, 2, 3}));
    EXPECT_EQ(client.ReadInputReport(), Bytes());
}

// Asked for in a buffer of the collection's feature length; the caller gets the first 12 bytes.
TEST(HidClient, FeatureReadAsksForTheCollectionsLength) {
    HidRig rig;
    auto description = SimTouchController::CurrentDescription(2, L"touch");
    description.featureReportByteLength = 16;
    auto& touch = rig.Hid().AddDevice<SimTouchController>(SimTouchController::Family::Current, 2,
                                                          description);
    // This one has no feature report to give.
    rig.Plug(Device(L"plain", 1, 1, 0xFF00, 1, 0, 0, 12));
    const HidDeviceList devices(rig.Hid(), rig.Kernel());
    HidClient client(rig.Hid(), rig.Kernel(), devices);
    HidClient::FeatureReport buffer{5, 0, 0, 2};
    ASSERT_TRUE(client.Open(1, 1, 0, 0, 0, 0));
    EXPECT_FALSE(client.GetFeatureReport(buffer));
    ASSERT_TRUE(client.Open(0x04F3, 0x200A, 0, 0, 0, 0));
    const BYTE select[] = {5, 0xFF, 0xFF, 2, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(client.SetFeatureReport(select, sizeof select));
    EXPECT_TRUE(client.GetFeatureReport(buffer));
    EXPECT_THAT(buffer, ElementsAre(5, 0xFF, 0xFF, 2, 0x30, 0x0C, 0x80, 0x07, 0, 0, 0, 0));
    EXPECT_EQ(touch.Reports().back().bytes,
              Bytes({5, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
