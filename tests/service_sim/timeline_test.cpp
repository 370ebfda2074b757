#include "service/sim/timeline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/gfx_driver.h"

namespace kelvo::host {
namespace {

using platform::sim::SimGfxDriver;
using platform::sim::TraceEvent;

TEST(TimelineTest, TimeStampsAreSecondsAndMilliseconds) {
    EXPECT_EQ(TimeStamp(0), "[0.000]");
    EXPECT_EQ(TimeStamp(5), "[0.005]");
    EXPECT_EQ(TimeStamp(1005), "[1.005]");
    EXPECT_EQ(TimeStamp(61234), "[61.234]");
}

struct TraceCase {
    const char* name;
    Millis time;
    UCHAR level;
    std::wstring text;
    std::string line;
    std::string json;
};

class TraceFormatTest : public testing::TestWithParam<TraceCase> {};

TEST_P(TraceFormatTest, BothForms) {
    const TraceCase& c = GetParam();
    const TraceEvent event{c.time, GUID{}, c.level, 0, c.text};
    EXPECT_EQ(FormatTrace(event, TimelineFormat::Text), c.line);
    EXPECT_EQ(FormatTrace(event, TimelineFormat::Json), c.json);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TraceFormatTest,
    testing::Values(
        TraceCase{"Plain", 1000, 4, L"System is in UNLOCKED.", "[1.000] L4 System is in UNLOCKED.",
                  R"({"t":1000,"type":"trace","level":4,"text":"System is in UNLOCKED."})"},
        TraceCase{"MultiLine", 7, 5, L"Report:\n 0x19 0x01\n 0x00",
                  "[0.007] L5 Report:\n   0x19 0x01\n   0x00",
                  R"({"t":7,"type":"trace","level":5,"text":"Report:\n 0x19 0x01\n 0x00"})"},
        TraceCase{"Escapes", 0, 2, L"a \"b\" \\c\td\x01\x7F", "[0.000] L2 a \"b\" \\c\td\x01\x7F",
                  R"({"t":0,"type":"trace","level":2,"text":"a \"b\" \\c\td\u0001\u007f"})"},
        TraceCase{
            "NonAscii", 2500, 3, L"\u00FC\u20AC\U0001F600",
            "[2.500] L3 \xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80",
            "{\"t\":2500,\"type\":\"trace\",\"level\":3,\"text\":\"\xC3\xBC\xE2\x82\xAC\xF0\x9F"
            "\x98\x80\"}"},
        TraceCase{"BadCodeUnit", 1, 1, std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x",
                  "[0.001] L1 \xEF\xBF\xBDx",
                  "{\"t\":1,\"type\":\"trace\",\"level\":1,\"text\":\"\xEF\xBF\xBDx\"}"}),
    [](const testing::TestParamInfo<TraceCase>& info) { return info.param.name; });

TEST(TimelineTest, HidRecordsShowTheBytesAsTheyCrossedTheBus) {
    const std::vector<BYTE> bytes = {0x06, 0xFF, 0xFF, 0x02};
    EXPECT_EQ(FormatHid(1000, "touch", "SetFeature", bytes, TimelineFormat::Text),
              "[1.000] touch SetFeature 06 ff ff 02");
    EXPECT_EQ(FormatHid(1000, "touch", "SetFeature", bytes, TimelineFormat::Json),
              R"({"t":1000,"type":"hid","device":"touch","op":"SetFeature","bytes":"06ffff02"})");
    EXPECT_EQ(FormatHid(3, "button2", "Read", {0x19, 0x01, 0x00, 0x00}, TimelineFormat::Text),
              "[0.003] button2 Read 19 01 00 00");
}

std::vector<BYTE> Bytes(const void* record, std::size_t size) {
    std::vector<BYTE> bytes(size);
    std::memcpy(bytes.data(), record, size);
    return bytes;
}

TEST(TimelineTest, FrameRequestsShowWhatTheyAskFor) {
    FrameInfo info{kFrameRecordHeader, 0, 0, kFrameRecordConstant, 0, 1, 30, 31, 90};
    SimGfxDriver::Call call{SimGfxDriver::Method::SetInfo, 1250, sizeof info, GUID{}, 0,
                            Bytes(&info, sizeof info),     S_OK};
    EXPECT_EQ(FormatGfx(call, TimelineFormat::Text),
              "[1.250] gfx SetInfo enable=1 x=30 y=31 p=90 hr=0x00000000");
    EXPECT_EQ(FormatGfx(call, TimelineFormat::Json),
              R"({"t":1250,"type":"gfx","op":"SetInfo","enable":1,"x":30,"y":31,"p":90,"hr":0,)"
              R"("record":"010000000000000000000000001000000000000001000000)"
              R"(1e0000001f0000005a000000"})");

    // A refused request keeps its status; JSON gives the HRESULT's bits as a decimal number.
    call.result = static_cast<HRESULT>(0x80070057);
    EXPECT_EQ(FormatGfx(call, TimelineFormat::Text),
              "[1.250] gfx SetInfo enable=1 x=30 y=31 p=90 hr=0x80070057");
    EXPECT_NE(FormatGfx(call, TimelineFormat::Json).find(R"("hr":2147942487,)"), std::string::npos);
}

TEST(TimelineTest, DeviceDataRequestsAreReadFromTheirOwnLayout) {
    FrameDeviceData data{};
    data.dwHeader = kFrameRecordHeader;
    data.dwConstant = kFrameRecordConstant;
    data.bEnable = 1;
    data.dwPercentageX = 95;
    data.dwPercentageY = 94;
    data.dwYPositionPx = 10;
    const SimGfxDriver::Call call{
        SimGfxDriver::Method::SetDeviceData, 2000, sizeof data, GUID_GfxFrameDeviceData, 0,
        Bytes(&data, sizeof data),           S_OK};
    EXPECT_EQ(FormatGfx(call, TimelineFormat::Text),
              "[2.000] gfx SetDeviceData enable=1 x=95 y=94 p=10 hr=0x00000000");
}

TEST(TimelineTest, QueriesShowOnlyTheirAnswer) {
    FrameInfo info{kFrameRecordHeader, 0, 0, kFrameRecordConstant, 0, 0, 0, 0, 0};
    const SimGfxDriver::Call call{
        SimGfxDriver::Method::GetInfo,   0, sizeof info, GUID{}, 0, Bytes(&info, sizeof info),
        static_cast<HRESULT>(0x80004005)};
    EXPECT_EQ(FormatGfx(call, TimelineFormat::Text), "[0.000] gfx GetInfo hr=0x80004005");
    const std::string json = FormatGfx(call, TimelineFormat::Json);
    EXPECT_EQ(json.rfind(R"({"t":0,"type":"gfx","op":"GetInfo","hr":2147500037,"record":")", 0), 0u)
        << json;
}

TEST(TimelineTest, ShortRecordsReadAsZeroWhereTheyEnd) {
    const SimGfxDriver::Call call{
        SimGfxDriver::Method::SetInfo, 0, 4, GUID{}, 0, {1, 0, 0, 0}, E_INVALIDARG};
    EXPECT_EQ(FormatGfx(call, TimelineFormat::Text),
              "[0.000] gfx SetInfo enable=0 x=0 y=0 p=0 hr=0x80070057");
}

TEST(TimelineTest, NamedEventsAndServiceStates) {
    const std::wstring name = L"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64";
    EXPECT_EQ(FormatNamedEvent(3000, "SetEvent", name, TimelineFormat::Text),
              "[3.000] event SetEvent Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64");
    EXPECT_EQ(FormatNamedEvent(3000, "SetEvent", name, TimelineFormat::Json),
              R"({"t":3000,"type":"event","op":"SetEvent",)"
              R"("name":"Global\\B8FABD2A-0DA3-465B-9DFA-712AB3F86F64"})");

    struct Case {
        DWORD state;
        const char* name;
    };
    const Case states[] = {{SERVICE_STOPPED, "SERVICE_STOPPED"},
                           {SERVICE_START_PENDING, "SERVICE_START_PENDING"},
                           {SERVICE_STOP_PENDING, "SERVICE_STOP_PENDING"},
                           {SERVICE_RUNNING, "SERVICE_RUNNING"},
                           {7, "SERVICE_PAUSED"},
                           {42, "42"}};
    for (const Case& c : states) {
        EXPECT_EQ(FormatServiceStatus(8000, c.state, TimelineFormat::Text),
                  std::string("[8.000] service SetServiceStatus ") + c.name);
        EXPECT_EQ(FormatServiceStatus(8000, c.state, TimelineFormat::Json),
                  std::string(R"({"t":8000,"type":"service","op":"SetServiceStatus","state":")") +
                      c.name + "\"}");
    }
}

}  // namespace
}  // namespace kelvo::host
