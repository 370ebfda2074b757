// The controller's reports, byte for byte, and what the answers to property reads mean.
#include "devices/touch_protocol.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <ostream>
#include <string>

#include "hid_rig.h"

namespace {

// A table's case shows as its name.
template <class Case>
requires requires(const Case& c) { c.name; }
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
using hid_test::kByName;

using namespace touch_protocol;
using Fault = PropertyResponse::Fault;

Bytes Of(const PropertyReport& report) { return {report.begin(), report.end()}; }

// golden/touch_reports.txt: a line a case, its name and then the bytes in hex.
std::map<std::string, Bytes> GoldenReports() {
    std::map<std::string, Bytes> reports;
    for (const auto& fields : hid_test::ReadTable(KELVO_TOUCH_REPORTS)) {
        for (std::size_t i = 1; i < fields.size(); ++i) {
            reports[fields[0]].push_back(static_cast<BYTE>(hid_test::Hex(fields[i])));
        }
    }
    return reports;
}

struct Encoding {
    const char* name;
    Bytes report;
};

class TouchProtocolEncoding : public ::testing::TestWithParam<Encoding> {};

TEST_P(TouchProtocolEncoding, GivesTheGoldenBytes) {
    static const std::map<std::string, Bytes> golden = GoldenReports();
    ASSERT_TRUE(golden.contains(GetParam().name));
    EXPECT_EQ(GetParam().report, golden.at(GetParam().name));
}

const Viewport kViewport{132.5f, 150.25f, 2988, 1776.75f};

INSTANTIATE_TEST_SUITE_P(
    Reports, TouchProtocolEncoding,
    ::testing::Values(
        Encoding{"SelectForReading", Of(PropertyRequest(5, 2, kSelectForReading))},
        Encoding{"LegacyViewportBigEndian", LegacyViewportReport(6, {100, 0x1234, 0xABCD, 55})},
        Encoding{"Version1Floats", Version1ViewportReport(6, kViewport)},
        Encoding{"Version2Truncated", Version2ViewportReport(6, kViewport).value_or(Bytes{})},
        Encoding{"Version2Largest",
                 Version2ViewportReport(9, {0, 1, 65535.9f, 2}).value_or(Bytes{})},
        Encoding{"LegacyMode", LegacyModeReport(6, 2)}, Encoding{"CurrentMode", ModeReport(8, 3)}),
    kByName);

struct Answer {
    const char* name;
    PropertyReport response;
    Fault fault;
    DWORD value;
};

class TouchProtocolAnswer : public ::testing::TestWithParam<Answer> {};

TEST_P(TouchProtocolAnswer, IsTakenOnlyWithTheReportIdAndSecurityNumber) {
    const PropertyResponse parsed = ParsePropertyResponse(GetParam().response, 5);
    EXPECT_EQ(parsed.fault, GetParam().fault);
    EXPECT_EQ(parsed.value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Responses, TouchProtocolAnswer,
    ::testing::Values(
        Answer{"Framed", {5, 0xFF, 0xFF, 2, 0x30, 0x0C, 0x80, 0x07, 9}, Fault::None, 0x07800C30},
        Answer{"WrongReportId", {7, 0xFF, 0xFF, 2, 1, 2, 3, 4}, Fault::ReportId, 0x04030201},
        Answer{"ReportIdFirst", {4, 0x00, 0xFF, 2}, Fault::ReportId, 0},
        Answer{"HighSecurityByte", {5, 0xFF, 0x00, 2}, Fault::SecurityNumber, 0},
        Answer{"LowSecurityByte", {5, 0x00, 0xFF, 2}, Fault::SecurityNumber, 0}),
    kByName);

struct Rectangle {
    const char* name;
    Viewport viewport;
    bool valid, fitsVersion2;
};

class TouchProtocolViewport : public ::testing::TestWithParam<Rectangle> {};

TEST_P(TouchProtocolViewport, IsJudgedBeforeItIsSent) {
    EXPECT_EQ(IsValidViewport(GetParam().viewport), GetParam().valid);
    EXPECT_EQ(Version2ViewportReport(6, GetParam().viewport).has_value(), GetParam().fitsVersion2);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Rectangles, TouchProtocolViewport,
    ::testing::Values(Rectangle{"Plain", {0, 0, 10, 10}, true, true},
                      Rectangle{"NegativeLeft", {-1, 0, 10, 10}, false, true},
                      Rectangle{"NegativeTop", {0, -0.5f, 10, 10}, false, true},
                      Rectangle{"NegativeRightAndBottom", {-9, -9, -1, -1}, false, true},
                      Rectangle{"LeftEqualsRight", {5, 0, 5, 10}, false, true},
                      Rectangle{"TopEqualsBottom", {0, 5, 10, 5}, false, true},
                      Rectangle{"NaNLeft", {kNaN, 0, 10, 10}, false, false},
                      Rectangle{"NaNTop", {0, kNaN, 10, 10}, false, false},
                      Rectangle{"NaNRight", {0, 0, kNaN, 10}, false, false},
                      Rectangle{"NaNBottom", {0, 0, 10, kNaN}, false, false},
                      Rectangle{"BeyondSixteenBits", {0, 0, 65536, 10}, true, false},
                      Rectangle{"LeftBeyondSixteenBits", {65536, 0, 70000, 10}, true, false},
                      Rectangle{"InfiniteBottom", {0, 0, 10, kInfinity}, true, false}),
    kByName);

}  // namespace
