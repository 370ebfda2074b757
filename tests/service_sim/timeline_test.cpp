// What the golden timelines cannot reach: texts no trace of the service holds, and driver
// records no request of the service makes.
#include "service/sim/timeline.h"
#include "service/sim/timeline_svg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kelvo::host {
namespace {

using platform::sim::SimGfxDriver;
using platform::sim::TraceEvent;

struct TraceCase {
    const char* name;
    std::wstring text;
    std::string line;
    std::string json;
};

class TraceFormatTest : public testing::TestWithParam<TraceCase> {};

TEST_P(TraceFormatTest, BothForms) {
    const TraceEvent event{2500, GUID{}, 3, 0, GetParam().text};
    EXPECT_EQ(FormatTrace(event, TimelineFormat::Text), "[2.500] L3 " + GetParam().line);
    EXPECT_EQ(FormatTrace(event, TimelineFormat::Json),
              R"({"t":2500,"type":"trace","level":3,"text":")" + GetParam().json + "\"}");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, TraceFormatTest,
    testing::Values(TraceCase{"Escapes", L"a \"b\" \\c\td\x01\x7F", "a \"b\" \\c\td\x01\x7F",
                              R"(a \"b\" \\c\td\u0001\u007f)"},
                    TraceCase{"NonAscii", L"\u00FC\u20AC\U0001F600",
                              "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80",
                              "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"},
                    TraceCase{"BadCodeUnit", std::wstring(1, static_cast<wchar_t>(0xD800)) + L"x",
                              "\xEF\xBF\xBDx", "\xEF\xBF\xBDx"}),
    [](const testing::TestParamInfo<TraceCase>& info) { return info.param.name; });

TEST(TimelineTest, RefusedAndShortRecordsKeepTheirStatus) {
    // JSON gives the HRESULT's bits as a decimal number; a short record reads as zero where it
    // ends.
    const SimGfxDriver::Call call{
        SimGfxDriver::Method::SetInfo, 0, 4, GUID{}, 0, {1, 0, 0, 0}, E_INVALIDARG};
    EXPECT_EQ(FormatGfx(call, TimelineFormat::Text),
              "[0.000] gfx SetInfo enable=0 x=0 y=0 p=0 hr=0x80070057");
    EXPECT_EQ(FormatGfx(call, TimelineFormat::Json),
              R"({"t":0,"type":"gfx","op":"SetInfo","enable":0,"x":0,"y":0,"p":0,)"
              R"("hr":2147942487,"record":"01000000"})");
    EXPECT_EQ(FormatServiceStatus(8000, 42, TimelineFormat::Text),
              "[8.000] service SetServiceStatus 42");
}

TEST(TimelineSvgTest, TextsStayWellFormedAndWithoutSourcePlaces) {
    // A warning's lines go into the picture as they are, less the source line and file that
    // move with every edit.
    const std::string statusLine = "HRESULT: 0x80070002 @ LINE 0078 [registry.cpp]";
    const std::vector<TimelineRecord> records = {
        {TimelineRecord::Kind::Trace, 0, 2, {}, "a<b & \"c\"\x01>", {}, S_OK},
        {TimelineRecord::Kind::Trace, 0, 2, {}, statusLine, {}, S_OK}};
    const std::string svg = TimelineSvg(records, std::nullopt);
    EXPECT_NE(svg.find("a&lt;b &amp; &quot;c&quot; &gt;"), std::string::npos);
    EXPECT_NE(svg.find("HRESULT: 0x80070002<"), std::string::npos);
    EXPECT_EQ(svg.find("registry.cpp"), std::string::npos);
    EXPECT_EQ(
        std::count_if(svg.begin(), svg.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\n'; }),
        0);
}

}  // namespace
}  // namespace kelvo::host
