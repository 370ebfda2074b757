// Devices that leave the bus and come back: what their handles do then, and what Plug and Play
// tells the windows registered for them, in order, with the exact records.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/sync.h"
#include "rig/golden.h"
#include "rig/sim_rig.h"

namespace {

using platform::sim::ClockMode;
using platform::sim::HidDeviceDescription;
using platform::sim::SimHid;
using platform::sim::SimHidDevice;

constexpr const wchar_t* kPath = L"\\\\?\\HID#VID_1234&PID_0001#1&2&0#{hid}";
constexpr GUID kOtherClass = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};

HidDeviceDescription Vendor(const wchar_t* path) {
    HidDeviceDescription d;
    d.path = path;
    d.vendorId = 0x1234;
    d.productId = 1;
    d.usagePage = 0xFF00;
    d.usage = 1;
    d.inputReportByteLength = 4;
    d.outputReportByteLength = 4;
    d.featureReportByteLength = 4;
    return d;
}

HANDLE Open(SimHid& hid, const wchar_t* path) {
    return hid.CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
}

std::vector<std::wstring> Enumerated(SimHid& hid) {
    std::vector<std::wstring> paths;
    HDEVINFO set = hid.SetupDiGetClassDevsW(&SimHid::kHidGuid, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; hid.SetupDiEnumDeviceInterfaces(set, nullptr, &SimHid::kHidGuid, i, &data);
         ++i) {
        alignas(8) BYTE buffer[512];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        hid.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof buffer, nullptr, nullptr);
        paths.push_back(detail->DevicePath);
    }
    hid.SetupDiDestroyDeviceInfoList(set);
    return paths;
}

// One call through a device handle; FALSE with the last error set when it fails.
using Call = BOOL (*)(SimHid&, HANDLE);
BYTE g_buffer[4];
DWORD g_moved;
PHIDP_PREPARSED_DATA g_preparsed;
HIDD_ATTRIBUTES g_attributes;

// Gone from the bus, a device takes each handle opened on it along: every call through one fails
// with ERROR_DEVICE_NOT_CONNECTED, also once the device is back, while a new open works.
TEST(SimHidPresence, HandlesDieWithTheirDeviceObjectAndStayDead) {
    const struct {
        const char* name;
        Call call;
    } calls[] = {
        {"HidD_GetAttributes",
         [](SimHid& h, HANDLE f) -> BOOL { return h.HidD_GetAttributes(f, &g_attributes); }},
        {"HidD_GetPreparsedData",
         [](SimHid& h, HANDLE f) -> BOOL { return h.HidD_GetPreparsedData(f, &g_preparsed); }},
        {"ReadFile",
         [](SimHid& h, HANDLE f) { return h.ReadFile(f, g_buffer, 4, &g_moved, nullptr); }},
        {"WriteFile",
         [](SimHid& h, HANDLE f) { return h.WriteFile(f, g_buffer, 4, &g_moved, nullptr); }},
        {"HidD_SetFeature",
         [](SimHid& h, HANDLE f) -> BOOL { return h.HidD_SetFeature(f, g_buffer, 4); }},
        {"HidD_GetFeature",
         [](SimHid& h, HANDLE f) -> BOOL { return h.HidD_GetFeature(f, g_buffer, 4); }},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.name);
        rig::SimRig rig;
        SimHid& hid = rig.world.GetHid();
        auto& kernel = rig.world.GetKernel();
        SimHidDevice& first = hid.AddDevice<SimHidDevice>(Vendor(L"\\\\?\\first"));
        SimHidDevice& device = hid.AddDevice<SimHidDevice>(Vendor(kPath));
        hid.AddDevice<SimHidDevice>(Vendor(L"\\\\?\\last"));
        const std::size_t handlesBefore = kernel.OpenHandleCount();
        const HANDLE dead = Open(hid, kPath);
        hid.SetPresent(device, false);
        EXPECT_FALSE(c.call(hid, dead));
        EXPECT_EQ(kernel.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        // Absent: not listed, not to be opened.
        EXPECT_EQ(Enumerated(hid), (std::vector<std::wstring>{L"\\\\?\\first", L"\\\\?\\last"}));
        EXPECT_EQ(Open(hid, kPath), INVALID_HANDLE_VALUE);
        EXPECT_EQ(kernel.GetLastError(), ERROR_FILE_NOT_FOUND);
        // Back: listed where it was; the old handle is still dead, a new one works.
        hid.SetPresent(device, true);
        EXPECT_EQ(Enumerated(hid),
                  (std::vector<std::wstring>{L"\\\\?\\first", kPath, L"\\\\?\\last"}));
        EXPECT_FALSE(c.call(hid, dead));
        EXPECT_EQ(kernel.GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        const HANDLE fresh = Open(hid, kPath);
        EXPECT_TRUE(hid.HidD_GetAttributes(fresh, &g_attributes));
        EXPECT_EQ(hid.OpenHandleCount(device), 2u);
        EXPECT_EQ(hid.OpenHandleCount(first), 0u);
        EXPECT_TRUE(hid.CloseHandle(dead));
        EXPECT_TRUE(hid.CloseHandle(fresh));
        EXPECT_EQ(hid.OpenHandleCount(device), 0u);
        EXPECT_EQ(kernel.OpenHandleCount(), handlesBefore);
        if (g_preparsed) hid.HidD_FreePreparsedData(std::exchange(g_preparsed, nullptr));
    }
}

// What the windows registered for the device hear, one line per WM_DEVICECHANGE.
struct Listener {
    platform::sim::SimWorld* world = nullptr;
    std::map<std::uintptr_t, std::string> names;  // handles and registrations, as named here
    std::vector<std::string> heard;
    HANDLE device = nullptr;
    bool closeAtQueryRemove = false;

    std::string Name(const void* value) {
        auto it = names.find(reinterpret_cast<std::uintptr_t>(value));
        return it == names.end() ? "?" : it->second;
    }

    void Heard(HWND window, WPARAM event, LPARAM record) {
        auto& windowing = world->GetWindowing();
        const auto* at = reinterpret_cast<const void*>(record);
        DEV_BROADCAST_HDR header{};
        windowing.ReadForeignMemory(at, &header, sizeof header);
        char line[256];
        if (header.dbch_devicetype == DBT_DEVTYP_HANDLE) {
            DEV_BROADCAST_HANDLE h{};
            windowing.ReadForeignMemory(at, &h, offsetof(DEV_BROADCAST_HANDLE, dbch_data));
            const GUID zero{};
            std::snprintf(line, sizeof line,
                          "%s %#llx handle size=%lu reserved=%lu handle=%s notify=%s eventguid=%s "
                          "nameoffset=%ld",
                          Name(window).c_str(), static_cast<unsigned long long>(event),
                          static_cast<unsigned long>(h.dbch_size),
                          static_cast<unsigned long>(h.dbch_reserved), Name(h.dbch_handle).c_str(),
                          Name(h.dbch_hdevnotify).c_str(),
                          h.dbch_eventguid == zero ? "zero" : "set",
                          static_cast<long>(h.dbch_nameoffset));
        } else {
            std::vector<BYTE> bytes(header.dbch_size);
            windowing.ReadForeignMemory(at, bytes.data(), bytes.size());
            const auto* i = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
            const std::wstring name = i->dbcc_name;
            const std::size_t whole = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) +
                                      (name.size() + 1) * sizeof(WCHAR);
            std::snprintf(line, sizeof line, "%s %#llx interface size=%s class=%s name=%s",
                          Name(window).c_str(), static_cast<unsigned long long>(event),
                          i->dbcc_size == whole ? "whole" : std::to_string(i->dbcc_size).c_str(),
                          i->dbcc_classguid == SimHid::kHidGuid ? "hid" : "other",
                          name == kPath ? "the device's path" : "?");
        }
        heard.push_back(line);
        if (event == DBT_DEVICEQUERYREMOVE && closeAtQueryRemove && device) {
            world->GetHid().CloseHandle(std::exchange(device, nullptr));
            heard.push_back("  closes its handle");
        }
    }
};

Listener* g_listener = nullptr;

LRESULT CALLBACK ListenerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto& windowing = g_listener->world->GetWindowing();
    if (message == WM_DEVICECHANGE) g_listener->Heard(window, wParam, lParam);
    if (message == WM_DESTROY) windowing.PostQuitMessage(0);
    return windowing.DefWindowProcW(window, message, wParam, lParam);
}

HDEVNOTIFY RegisterInterface(platform::sim::SimWindowing& windowing, HWND window,
                             const GUID& classGuid) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = classGuid;
    return windowing.RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

HDEVNOTIFY RegisterHandle(platform::sim::SimWindowing& windowing, HWND window, HANDLE handle) {
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = handle;
    return windowing.RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

struct RemovalCase {
    const char* name;
    ClockMode mode;
};

void PrintTo(const RemovalCase& c, std::ostream* out) { *out << c.name; }

class SimDeviceRemoval : public testing::TestWithParam<RemovalCase> {};

// A removal in order asks first: vetoed while the window keeps its handle open, done once it
// closes it at the query. Then the handle registration hears no more of the device, while the
// interface registration hears it come back and be pulled out. Each step runs from the driver's
// thread on either clock.
TEST_P(SimDeviceRemoval, AsksTheHandleRegistrationsAndTellsTheInterfaceOnes) {
    rig::SimRig rig(GetParam().mode);
    auto& world = rig.world;
    auto& windowing = world.GetWindowing();
    SimHid& hid = world.GetHid();
    SimHidDevice& device = hid.AddDevice<SimHidDevice>(Vendor(kPath));
    const std::size_t handlesBefore = world.GetKernel().OpenHandleCount();
    Listener listener;
    listener.world = &world;
    g_listener = &listener;
    HWND window = nullptr;
    bool ready = false;
    platform::Thread loop(world.GetKernel(), [&] {
        WNDCLASSEXW cls{};
        cls.cbSize = sizeof cls;
        cls.lpfnWndProc = ListenerProc;
        cls.lpszClassName = L"Listener";
        windowing.RegisterClassExW(&cls);
        window = windowing.CreateWindowExW(0, L"Listener", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                           nullptr, nullptr);
        listener.device = Open(hid, kPath);
        const HDEVNOTIFY byHandle = RegisterHandle(windowing, window, listener.device);
        const HDEVNOTIFY byInterface = RegisterInterface(windowing, window, SimHid::kHidGuid);
        listener.names = {{reinterpret_cast<std::uintptr_t>(window), "window"},
                          {reinterpret_cast<std::uintptr_t>(listener.device), "its-handle"},
                          {reinterpret_cast<std::uintptr_t>(byHandle), "by-handle"},
                          {reinterpret_cast<std::uintptr_t>(byInterface), "by-interface"}};
        ready = byHandle && byInterface;
        MSG msg;
        while (windowing.GetMessageW(&msg, nullptr, 0, 0) > 0) windowing.DispatchMessageW(&msg);
        windowing.UnregisterDeviceNotification(byHandle);
        windowing.UnregisterDeviceNotification(byInterface);
        windowing.UnregisterClassW(L"Listener", nullptr);
    });
    world.RunUntilIdle();
    ASSERT_TRUE(ready);

    std::string trace;
    auto step = [&](const std::string& what) {
        trace += what + "\n";
        for (const auto& line : listener.heard) trace += "  " + line + "\n";
        listener.heard.clear();
    };
    const bool vetoed = !world.RemoveDevice(device);
    step(std::string("remove with the handle open: ") + (vetoed ? "vetoed" : "removed"));
    EXPECT_TRUE(hid.IsPresent(device));
    listener.closeAtQueryRemove = true;
    const bool removed = world.RemoveDevice(device);
    step(std::string("remove, the handle closed at the query: ") +
         (removed ? "removed" : "vetoed"));
    EXPECT_FALSE(hid.IsPresent(device));
    world.ArriveDevice(device);
    step("back");
    world.PullDevice(device);
    step("pulled out");
    world.ArriveDevice(device);
    step("back again");
    EXPECT_TRUE(rig::MatchesGolden(KELVO_PLATFORM_GOLDEN "/device_removal.txt", trace));

    windowing.PostMessageW(window, WM_CLOSE, 0, 0);
    loop.join();
    g_listener = nullptr;
    EXPECT_EQ(world.GetKernel().OpenHandleCount(), handlesBefore);
    EXPECT_EQ(windowing.Count().registrations, 0u);
    EXPECT_EQ(windowing.Count().windows, 0u);
}

INSTANTIATE_TEST_SUITE_P(Clocks, SimDeviceRemoval,
                         testing::Values(RemovalCase{"Manual", ClockMode::Manual},
                                         RemovalCase{"RealTime", ClockMode::RealTime}),
                         [](const auto& info) { return std::string(info.param.name); });

// A read blocked on the device ends at once with ERROR_DEVICE_NOT_CONNECTED when it goes.
TEST(SimHidPresence, BlockedReadEndsWhenTheDeviceGoes) {
    rig::SimRig rig;
    SimHid& hid = rig.world.GetHid();
    SimHidDevice& device = hid.AddDevice<SimHidDevice>(Vendor(kPath));
    const HANDLE handle = Open(hid, kPath);
    BOOL read = TRUE;
    DWORD error = 0;
    platform::Thread reader(rig.world.GetKernel(), [&] {
        BYTE buffer[4];
        DWORD got = 0;
        read = hid.ReadFile(handle, buffer, sizeof buffer, &got, nullptr);
        error = rig.world.GetKernel().GetLastError();
    });
    rig.world.RunUntilIdle();
    ASSERT_EQ(hid.PendingReadCount(), 1u);
    rig.world.PullDevice(device);
    EXPECT_EQ(hid.PendingReadCount(), 0u);
    reader.join();
    EXPECT_FALSE(read);
    EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(hid.CloseHandle(handle));
}

// Only a live window with a filter for one interface class or one device handle may register,
// and an interface event reaches each registration for its class, and no one else.
TEST(SimWindowingDevices, RegistrationsAreStrictAndEventsReachOnlyTheirRegistrations) {
    rig::SimRig rig;
    auto& world = rig.world;
    auto& windowing = world.GetWindowing();
    Listener listener;
    listener.world = &world;
    g_listener = &listener;
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = ListenerProc;
    cls.lpszClassName = L"Listener";
    std::vector<HDEVNOTIFY> registered;
    std::vector<std::string> refusals;
    HWND first = nullptr;
    platform::Thread loop(world.GetKernel(), [&] {
        windowing.RegisterClassExW(&cls);
        auto create = [&] {
            return windowing.CreateWindowExW(0, L"Listener", L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                                             nullptr, nullptr);
        };
        const HWND twice = create(), other = create(), none = create();
        first = twice;
        listener.names = {{reinterpret_cast<std::uintptr_t>(twice), "twice"},
                          {reinterpret_cast<std::uintptr_t>(other), "other"},
                          {reinterpret_cast<std::uintptr_t>(none), "none"}};
        registered = {RegisterInterface(windowing, twice, SimHid::kHidGuid),
                      RegisterInterface(windowing, twice, SimHid::kHidGuid),
                      RegisterInterface(windowing, other, kOtherClass)};

        const HANDLE event = world.GetKernel().CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DEV_BROADCAST_DEVICEINTERFACE_W shortFilter{};
        shortFilter.dbcc_size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid);
        shortFilter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        DEV_BROADCAST_HDR volume{};
        volume.dbch_size = sizeof volume;
        volume.dbch_devicetype = 2;
        DEV_BROADCAST_DEVICEINTERFACE_W good{};
        good.dbcc_size = sizeof good;
        good.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        const HWND gone = reinterpret_cast<HWND>(0x7777);
        const struct {
            const char* what;
            HANDLE recipient;
            void* filter;
            DWORD flags;
        } cases[] = {
            {"no such window", gone, &good, DEVICE_NOTIFY_WINDOW_HANDLE},
            {"a service status handle", twice, &good, 1},
            {"all interface classes", twice, &good, 4},
            {"no filter", twice, nullptr, DEVICE_NOTIFY_WINDOW_HANDLE},
            {"a filter shorter than its class", twice, &shortFilter, DEVICE_NOTIFY_WINDOW_HANDLE},
            {"a volume filter", twice, &volume, DEVICE_NOTIFY_WINDOW_HANDLE},
        };
        for (const auto& c : cases) {
            const HDEVNOTIFY got =
                windowing.RegisterDeviceNotificationW(c.recipient, c.filter, c.flags);
            refusals.push_back(
                std::string(c.what) + ": " +
                (got ? "registered" : std::to_string(world.GetKernel().GetLastError())));
        }
        const HDEVNOTIFY byEvent = RegisterHandle(windowing, twice, event);
        refusals.push_back(
            std::string("an event's handle: ") +
            (byEvent ? "registered" : std::to_string(world.GetKernel().GetLastError())));
        world.GetKernel().CloseHandle(event);
        MSG msg;
        while (windowing.GetMessageW(&msg, nullptr, 0, 0) > 0) windowing.DispatchMessageW(&msg);
        for (HDEVNOTIFY r : registered) windowing.UnregisterDeviceNotification(r);
        windowing.DestroyWindow(other);
        windowing.DestroyWindow(none);
        windowing.UnregisterClassW(L"Listener", nullptr);
    });
    world.RunUntilIdle();
    EXPECT_EQ(refusals,
              (std::vector<std::string>{"no such window: 87", "a service status handle: 87",
                                        "all interface classes: 87", "no filter: 87",
                                        "a filter shorter than its class: 13",
                                        "a volume filter: 13", "an event's handle: 6"}));
    EXPECT_EQ(windowing.Count().registrations, 3u);
    windowing.SendDeviceInterfaceChange(DBT_DEVICEARRIVAL, SimHid::kHidGuid, kPath);
    windowing.SendDeviceInterfaceChange(DBT_DEVICEREMOVECOMPLETE, kOtherClass, kPath);
    world.RunUntilIdle();
    const std::string hidArrival =
        "twice 0x8000 interface size=whole class=hid name=the device's path";
    EXPECT_EQ(listener.heard,
              (std::vector<std::string>{
                  hidArrival, hidArrival,
                  "other 0x8004 interface size=whole class=other name=the device's path"}));
    windowing.PostMessageW(first, WM_CLOSE, 0, 0);
    loop.join();
    g_listener = nullptr;
    EXPECT_EQ(windowing.Count().registrations, 0u);
}

}  // namespace
