#include <gtest/gtest.h>

#include <string>

#include "platform/sim/services_sim.h"
#include "platform/sim/sim_world.h"

using platform::sim::SimServices;
using platform::sim::SimWorld;

namespace {

class SimServicesTest : public testing::Test {
protected:
    SC_HANDLE Create(SC_HANDLE manager) {
        return services.CreateServiceW(manager, L"Kelvo Test", L"Kelvo Test", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, L"\"C:\\Kelvo Test.exe\"", nullptr,
                                       nullptr, L"RPCSS\0", nullptr, nullptr);
    }

    SimWorld world;
    SimServices services{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
};

// As the Windows control manager does: a deleted service stays, and can be opened, until its
// last handle is closed, and its name cannot be taken again before.
TEST_F(SimServicesTest, DeletedServiceLastsUntilItsLastHandleIsClosed) {
    const SC_HANDLE manager = services.OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    const SC_HANDLE service = Create(manager);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(services.DeleteService(service));

    const SC_HANDLE reopened = services.OpenServiceW(manager, L"kelvo test", SERVICE_QUERY_STATUS);
    EXPECT_NE(reopened, nullptr);
    EXPECT_EQ(Create(manager), nullptr);
    EXPECT_EQ(world.GetKernel().GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);

    EXPECT_TRUE(services.CloseServiceHandle(service));
    EXPECT_EQ(services.Installed().size(), 1u);
    EXPECT_TRUE(services.CloseServiceHandle(reopened));
    EXPECT_TRUE(services.Installed().empty());
    EXPECT_EQ(services.OpenServiceW(manager, L"Kelvo Test", SERVICE_QUERY_STATUS), nullptr);
    EXPECT_EQ(world.GetKernel().GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_TRUE(services.CloseServiceHandle(manager));
}

struct FileNameCase {
    const char* name;
    DWORD size;
    DWORD result;
    const wchar_t* text;
    DWORD error;  // last error after the call; 7 stands for "left alone"
};

class SimServicesFileName : public testing::TestWithParam<FileNameCase> {};

// A name that does not fit is cut and reported as filling the buffer, so that a caller can tell
// it from one that fits.
TEST_P(SimServicesFileName, IsWholeOrCutToTheBuffer) {
    const FileNameCase c = GetParam();
    SimWorld world;
    SimServices services(world.GetScheduler(), world.GetFaults(), world.GetKernel());
    services.SetModuleFileName(L"C:\\Kelvo\\Kelvo.exe");  // 18 characters
    world.GetKernel().SetLastError(7);
    wchar_t buffer[32];
    EXPECT_EQ(services.GetModuleFileNameW(nullptr, buffer, c.size), c.result);
    EXPECT_EQ(std::wstring(buffer), c.text);
    EXPECT_EQ(world.GetKernel().GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimServicesFileName,
    testing::Values(FileNameCase{"Roomy", 32, 18, L"C:\\Kelvo\\Kelvo.exe", 7},
                    FileNameCase{"ExactFit", 19, 18, L"C:\\Kelvo\\Kelvo.exe", 7},
                    FileNameCase{"NoRoomForTheTerminator", 18, 18, L"C:\\Kelvo\\Kelvo.ex",
                                 ERROR_INSUFFICIENT_BUFFER},
                    FileNameCase{"Short", 4, 4, L"C:\\", ERROR_INSUFFICIENT_BUFFER}),
    [](const testing::TestParamInfo<FileNameCase>& info) { return std::string(info.param.name); });

}  // namespace
