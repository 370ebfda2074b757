#include "service/sim/timeline_svg.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>

#include "contract.h"
#include "substitutes/touch_controller_sim.h"

namespace kelvo::host {

namespace {

// The texts of the controller's event table (src/core/vb_controller.cpp), up to their first
// formatted field.
constexpr std::string_view kEventTexts[] = {
    "System is in CLAMSHELL mode.",
    "System is in TABLET mode.",
    "System is in DOCKED.",
    "System is in UNDOCKED.",
    "System is in LOCKED.",
    "System is in UNLOCKED.",
    "Virtual Bezel is TOGGLED.",
    "System is being SUSPENDED.",
    "System is entering CONNECTED STANDBY.",
    "System is being RESUMED.",
    "System is being RESUMED from previous CRITICAL condition.",
    "System battery is low.",
    "System power status changed.",
    "System power setting changed with event data:",
    "System detected OEM power event: ",
    "System is entering Away Mode.",
    "System exits Away Mode.",
    "System monitor display turned off.",
    "System monitor display turned on.",
    "Graphics mode changed.",
};
// What the controller finds the machine in when it starts.
constexpr std::string_view kStartState = "System is currently in ";
// An event the state machine refused: "System event Docked not handled in Init state."
constexpr std::string_view kRejectedHead = "System event ";
constexpr std::string_view kRejectedMiddle = " not handled in ";
constexpr std::string_view kRejectedTail = " state.";

// Geometry, in pixels.
constexpr int kTitleWidth = 168;  // the lane titles
constexpr int kAxisStart = kTitleWidth + 14;
constexpr int kSlot = 4;        // one drawn record
constexpr int kMinColumn = 14;  // one millisecond
constexpr int kBrokenGap = 60;  // a quiet stretch longer than kBreakMillis
constexpr int kTail = 40;       // after the last millisecond
constexpr int kRight = 16;
constexpr int kLaneGap = 12;
constexpr int kBand = 16;
constexpr int kSizePlot = 64;
constexpr int kOffsetPlot = 40;
constexpr int kRow = 13;  // a row of labels
// Labels are 10-pixel monospace: kCharTenths tenths of a pixel a character.
constexpr int kCharTenths = 61;

struct Column {
    Millis time = 0;
    int slots = 0;
    int x = 0;
    int width = 0;
};

enum class Lane { Service, Events, Frame, Touch, Warnings };

using Frame = FrameRequest;

// One drawn record (for warnings: a run of them with nothing drawn between), in its slot.
struct Mark {
    Lane lane;
    std::size_t column;
    int slot;
    DWORD value = 0;  // Service: the state; Touch: the mode; Warnings: the most severe level
    Frame frame;
    std::string label;   // Events and rejected events: what the marker says
    bool start = false;  // Events: the state the controller found, not an event
    bool rejected = false;
    std::vector<std::string> texts;  // Warnings: the lines
};

struct Picture {
    std::vector<Column> columns;
    std::vector<Mark> marks;
    int end = 0;  // the axis's right end
};

bool StartsWith(std::string_view text, std::string_view head) {
    return text.substr(0, head.size()) == head;
}

std::string FirstLine(std::string_view text) {
    return std::string(text.substr(0, text.find('\n')));
}

// A status or assertion line without the source line and file, which move with every edit.
std::string WithoutSourcePlace(std::string text) {
    const std::size_t at = text.find("@ LINE ");
    if (at == std::string::npos) return text;
    const std::size_t close = text.find(']', at);
    if (close == std::string::npos) return text;
    const std::size_t from = at > 0 && text[at - 1] == ' ' ? at - 1 : at;
    return text.erase(from, close + 1 - from);
}

// A request the graphics driver took; none for a query or a refused request.
std::optional<Frame> FrameOf(const TimelineRecord& record) {
    if (record.kind != TimelineRecord::Kind::Gfx || FAILED(record.result)) return std::nullopt;
    return FrameRequestOf(record.op, record.bytes);
}

// The bezel touch mode a record hands the touch controller, as the controller reads it.
std::optional<DWORD> TouchModeOf(const TimelineRecord& record,
                                 const std::optional<TouchModeReports>& touch) {
    static const std::string kEnable = ToUtf8(contract::kTouchEnableEventName);
    static const std::string kDisable = ToUtf8(contract::kTouchDisableEventName);
    if (record.kind == TimelineRecord::Kind::NamedEvent && record.op == "SetEvent") {
        if (record.text == kEnable) return contract::kTouchInFrameEnabled;
        if (record.text == kDisable) return contract::kTouchInFrameDisabled;
        return std::nullopt;
    }
    if (!touch || record.kind != TimelineRecord::Kind::Hid || record.text != "touch" ||
        record.op != "SetFeature") {
        return std::nullopt;
    }
    // Feature reports reach the controller zero-padded to the property report's length.
    const std::vector<BYTE>& b = record.bytes;
    if (b.size() < platform::sim::SimTouchController::kPropertyReportLength) return std::nullopt;
    const bool secured = b[1] == 0xFF && b[2] == 0xFF;
    if (b[0] == touch->propsReportId && secured) return std::nullopt;
    if (b[0] != touch->reportId) return std::nullopt;
    if (touch->legacy) return b[1];
    if (secured) return b[3];
    return std::nullopt;
}

std::string EventLabel(std::string_view text) {
    std::string label = FirstLine(text);
    while (!label.empty() && (label.back() == '.' || label.back() == ':' || label.back() == ' '))
        label.pop_back();
    return label;
}

// "Docked not handled in Init" for "System event Docked not handled in Init state."; none for
// another line.
std::optional<std::string> RejectedLabel(std::string_view text) {
    if (!StartsWith(text, kRejectedHead) || text.size() < kRejectedTail.size() ||
        text.substr(text.size() - kRejectedTail.size()) != kRejectedTail ||
        text.find(kRejectedMiddle) == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(text.substr(kRejectedHead.size(),
                                   text.size() - kRejectedHead.size() - kRejectedTail.size()));
}

// The drawn records, each in its column and slot.
Picture Collect(const std::vector<TimelineRecord>& records,
                const std::optional<TouchModeReports>& touch) {
    Picture picture;
    auto place = [&picture](Millis time, Lane lane) -> Mark& {
        // A clock never runs back; should a record claim it did, it joins the last column.
        if (picture.columns.empty() || time > picture.columns.back().time) {
            picture.columns.push_back({time});
        }
        Column& column = picture.columns.back();
        Mark mark{};
        mark.lane = lane;
        mark.column = picture.columns.size() - 1;
        mark.slot = column.slots++;
        picture.marks.push_back(std::move(mark));
        return picture.marks.back();
    };
    for (const TimelineRecord& record : records) {
        if (record.kind == TimelineRecord::Kind::ServiceStatus) {
            place(record.time, Lane::Service).value = record.number;
        } else if (const std::optional<Frame> frame = FrameOf(record)) {
            place(record.time, Lane::Frame).frame = *frame;
        } else if (const std::optional<DWORD> mode = TouchModeOf(record, touch)) {
            place(record.time, Lane::Touch).value = *mode;
        } else if (record.kind != TimelineRecord::Kind::Trace) {
            continue;
        } else if (record.number == TRACE_LEVEL_INFORMATION) {
            const bool event = std::any_of(
                std::begin(kEventTexts), std::end(kEventTexts),
                [&record](std::string_view text) { return StartsWith(record.text, text); });
            const bool start = StartsWith(record.text, kStartState);
            if (!event && !start) continue;
            Mark& mark = place(record.time, Lane::Events);
            mark.label =
                start ? "start: " +
                            EventLabel(std::string_view(record.text).substr(kStartState.size()))
                      : EventLabel(record.text);
            mark.start = start;
        } else if (record.number >= TRACE_LEVEL_CRITICAL && record.number <= TRACE_LEVEL_WARNING) {
            const std::optional<std::string> rejected = RejectedLabel(record.text);
            Mark* last = picture.marks.empty() ? nullptr : &picture.marks.back();
            const bool joins = !rejected && last && last->lane == Lane::Warnings &&
                               !last->rejected && record.time <= picture.columns.back().time;
            Mark& mark = joins ? *last : place(record.time, Lane::Warnings);
            if (!joins) mark.value = record.number;
            mark.value = std::min<DWORD>(mark.value, record.number);
            mark.rejected = rejected.has_value();
            if (rejected) mark.label = *rejected;
            mark.texts.push_back(WithoutSourcePlace(FirstLine(record.text)));
        }
    }
    return picture;
}

// Where each column stands: a quiet stretch up to kBreakMillis takes a pixel a millisecond, a
// longer one kBrokenGap.
int GapWidth(Millis quiet) {
    return quiet > kBreakMillis ? kBrokenGap : 8 + static_cast<int>(quiet);
}

void Lay(Picture& picture) {
    int x = kAxisStart;
    for (std::size_t c = 0; c < picture.columns.size(); ++c) {
        Column& column = picture.columns[c];
        if (c > 0) x += GapWidth(column.time - picture.columns[c - 1].time);
        column.x = x;
        column.width = std::max(kMinColumn, column.slots * kSlot + 6);
        x += column.width;
    }
    picture.end = x + kTail;
}

int SlotX(const Picture& picture, const Mark& mark) {
    const Column& column = picture.columns[mark.column];
    return column.x + (column.width - column.slots * kSlot) / 2 + mark.slot * kSlot + kSlot / 2;
}

// The label font's width of a UTF-8 text.
int TextWidth(std::string_view text) {
    int characters = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++characters;
    }
    return (characters * kCharTenths + 9) / 10;
}

std::string Escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                // XML has no place for the other control characters.
                out += static_cast<unsigned char>(c) < 0x20 && c != '\n' ? ' ' : c;
        }
    }
    return out;
}

// "s.mmm": the timeline's time stamp without its brackets.
std::string TimeLabel(Millis time) {
    const std::string stamp = TimeStamp(time);
    return stamp.substr(1, stamp.size() - 2);
}

std::string Number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    std::string text = buffer;
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0)
        text.resize(text.size() - 2);
    return text;
}

class Svg {
public:
    void Add(const std::string& element) { _body += element + "\n"; }
    void Rect(int x, int y, int width, int height, std::string_view fill,
              std::string_view extra = {}) {
        Add("<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
            std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" fill=\"" +
            std::string(fill) + "\"" + (extra.empty() ? "" : " " + std::string(extra)) + "/>");
    }
    void Line(int x1, int y1, int x2, int y2, std::string_view style) {
        Add("<line x1=\"" + std::to_string(x1) + "\" y1=\"" + std::to_string(y1) + "\" x2=\"" +
            std::to_string(x2) + "\" y2=\"" + std::to_string(y2) + "\" " + std::string(style) +
            "/>");
    }
    // anchor: start, middle or end.
    void Text(int x, int y, std::string_view cls, std::string_view text,
              std::string_view anchor = "start", std::string_view extra = {}) {
        std::string element = "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) +
                              "\" class=\"" + std::string(cls) + "\"";
        if (anchor != "start") element += " text-anchor=\"" + std::string(anchor) + "\"";
        if (!extra.empty()) element += " " + std::string(extra);
        Add(element + ">" + Escaped(text) + "</text>");
    }
    const std::string& Body() const { return _body; }

private:
    std::string _body;
};

// Greedy rows for labels that start at x: the first row whose last label ends before it.
class Rows {
public:
    int Place(int x, int width) {
        std::size_t row = 0;
        while (row < _ends.size() && _ends[row] + 10 > x) ++row;
        if (row == _ends.size()) _ends.push_back(0);
        _ends[row] = x + width;
        return static_cast<int>(row);
    }
    int Count() const { return static_cast<int>(_ends.size()); }

private:
    std::vector<int> _ends;
};

struct Band {
    int from, to;
    std::string fill, label;
};

// A state lane's bands: a band from each change to the next, the last to the axis's end.
template <class Value>
std::vector<Band> Bands(const Picture& picture, Lane lane, Value value) {
    std::vector<Band> bands;
    std::string last;
    for (const Mark& mark : picture.marks) {
        if (mark.lane != lane) continue;
        auto [fill, label] = value(mark);
        if (!bands.empty() && fill + label == last) continue;
        const int x = SlotX(picture, mark);
        if (!bands.empty()) bands.back().to = x;
        bands.push_back({x, picture.end, fill, label});
        last = fill + label;
    }
    return bands;
}

void DrawBands(Svg& svg, const std::vector<Band>& bands, int top, int height) {
    for (const Band& band : bands) {
        svg.Rect(band.from, top, band.to - band.from, height, band.fill);
        if (band.to - band.from >= TextWidth(band.label) + 8) {
            svg.Text(band.from + 4, top + height - 4, "b", band.label);
        }
    }
}

std::pair<std::string, std::string> ServiceBand(const Mark& mark) {
    switch (mark.value) {
        case SERVICE_START_PENDING:
            return {"#f1ce63", "START_PENDING"};
        case SERVICE_RUNNING:
            return {"#8cd17d", "RUNNING"};
        case SERVICE_STOP_PENDING:
            return {"#f28e2b", "STOP_PENDING"};
        case SERVICE_STOPPED:
            return {"#bab0ac", "STOPPED"};
    }
    return {"#d4a6c8", ServiceStateName(mark.value)};
}

std::pair<std::string, std::string> ShownBand(const Mark& mark) {
    if (mark.frame.enable != 0) return {"#4e79a7", "shown"};
    return {"#dde3ea", "hidden"};
}

std::pair<std::string, std::string> TouchBand(const Mark& mark) {
    if (mark.value == contract::kTouchInFrameEnabled) return {"#b6dfb0", "1: on"};
    if (mark.value == contract::kTouchInFrameDisabled) return {"#e8a33d", "2: off"};
    return {"#d4a6c8", std::to_string(mark.value)};
}

const char* WarningColour(DWORD level) {
    if (level <= TRACE_LEVEL_CRITICAL) return "#b2182b";
    if (level == TRACE_LEVEL_ERROR) return "#e15759";
    return "#f0a30a";
}

// A value's steps: from each record to the next, held to the axis's end; faint where the frame
// is hidden.
void DrawSteps(Svg& svg, const Picture& picture, DWORD (*value)(const Frame&), double top,
               double height, double scale, std::string_view style) {
    std::string shown, hidden;
    const Mark* previous = nullptr;
    auto y = [&](DWORD v) {
        return Number(top + height - std::min<double>(v, scale) * height / scale);
    };
    for (const Mark& mark : picture.marks) {
        if (mark.lane != Lane::Frame) continue;
        const int x = SlotX(picture, mark);
        // Appended piece by piece: GCC 12 at -O3 warns falsely on "H" + std::to_string(x).
        const std::string column = std::to_string(x);
        if (previous) {
            (previous->frame.enable != 0 ? shown : hidden).append("H").append(column);
            (previous->frame.enable != 0 || mark.frame.enable != 0 ? shown : hidden)
                .append("M")
                .append(column)
                .append(" ")
                .append(y(value(previous->frame)))
                .append("V")
                .append(y(value(mark.frame)));
        }
        (mark.frame.enable != 0 ? shown : hidden)
            .append("M")
            .append(column)
            .append(" ")
            .append(y(value(mark.frame)));
        previous = &mark;
    }
    if (!previous) return;
    (previous->frame.enable != 0 ? shown : hidden).append("H").append(std::to_string(picture.end));
    if (!hidden.empty()) {
        svg.Add("<path d=\"" + hidden + "\" fill=\"none\" " + std::string(style) +
                " stroke-opacity=\"0.35\"/>");
    }
    if (!shown.empty()) {
        svg.Add("<path d=\"" + shown + "\" fill=\"none\" " + std::string(style) + "/>");
    }
}

DWORD FrameX(const Frame& frame) { return frame.x; }
DWORD FrameY(const Frame& frame) { return frame.y; }
DWORD FrameP(const Frame& frame) { return frame.p; }

// 1, 2 or 5 times a power of ten, at least the value.
DWORD Ceiling(DWORD value) {
    for (DWORD power = 1;; power *= 10) {
        for (DWORD step : {1u, 2u, 5u}) {
            if (step * power >= value) return step * power;
        }
        if (power > 0xFFFFFFFFu / 100) return value;
    }
}

// The open element of a warning's mark, its tip at x, top.
std::string TriangleAt(int x, int top, std::string_view fill) {
    return "<path d=\"M" + std::to_string(x) + " " + std::to_string(top) + "l4.5 9h-9z\" fill=\"" +
           std::string(fill) + "\"";
}

// The open element of a rejected event's mark, centred at x, y.
std::string CrossAt(int x, int y) {
    return "<path d=\"M" + std::to_string(x - 4) + " " + std::to_string(y - 4) +
           "l8 8m0 -8l-8 8\" stroke=\"#b07aa1\" stroke-width=\"2.5\"";
}

// What the colours and shapes mean, in one line from x; returns where it ends.
int Legend(Svg& svg, int x, int y) {
    struct Item {
        const char* group;  // starts a group
        const char* fill;
        const char* text;
        char shape = 's';  // s a swatch, t a warning's triangle, x a rejected event's cross
    };
    static constexpr Item kItems[] = {
        {"service", "#f1ce63", "START_PENDING"},
        {nullptr, "#8cd17d", "RUNNING"},
        {nullptr, "#f28e2b", "STOP_PENDING"},
        {nullptr, "#bab0ac", "STOPPED"},
        {"frame", "#4e79a7", "shown"},
        {nullptr, "#dde3ea", "hidden"},
        {"touch", "#b6dfb0", "on"},
        {nullptr, "#e8a33d", "off"},
        {"warnings", "#b2182b", "critical", 't'},
        {nullptr, "#e15759", "error", 't'},
        {nullptr, "#f0a30a", "warning", 't'},
        {nullptr, "#b07aa1", "rejected event", 'x'},
    };
    for (const Item& item : kItems) {
        if (item.group) {
            svg.Text(x, y, "s", item.group);
            x += TextWidth(item.group) + 8;
        }
        if (item.shape == 't') {
            svg.Add(TriangleAt(x + 5, y - 9, item.fill) + "/>");
        } else if (item.shape == 'x') {
            svg.Add(CrossAt(x + 5, y - 4) + "/>");
        } else {
            svg.Rect(x, y - 9, 10, 10, item.fill);
        }
        svg.Text(x + 14, y, "a", item.text);
        x += 14 + TextWidth(item.text) + 12;
    }
    return x;
}

void LaneTitle(Svg& svg, int top, int height, std::string_view title, std::string_view sub) {
    const int middle = top + height / 2;
    svg.Text(12, middle + (sub.empty() ? 4 : 0), "t", title);
    if (!sub.empty()) svg.Text(12, middle + 12, "s", sub);
}

// A lane's marker, with the row of its label (-1: none).
struct Labelled {
    const Mark* mark;
    int x;
    std::string label;  // a run of warnings: how many
    int row;
};

std::vector<Labelled> LabelRows(const Picture& picture, Lane lane, Rows& rows) {
    std::vector<Labelled> labelled;
    for (const Mark& mark : picture.marks) {
        if (mark.lane != lane) continue;
        std::string label = mark.label;
        if (label.empty() && mark.texts.size() > 1)
            label = "\xC3\x97" + std::to_string(mark.texts.size());
        const int x = SlotX(picture, mark);
        const int row = label.empty() ? -1 : rows.Place(x - 2, TextWidth(label));
        labelled.push_back({&mark, x, std::move(label), row});
    }
    return labelled;
}

// The tooltip of a run of warnings: each distinct line once, with its count.
std::string WarningTitle(const Mark& mark) {
    std::vector<std::pair<std::string, int>> lines;
    for (const std::string& text : mark.texts) {
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&text](const auto& line) { return line.first == text; });
        if (it == lines.end()) {
            lines.push_back({text, 1});
        } else {
            ++it->second;
        }
    }
    std::string title;
    for (const auto& [text, count] : lines) {
        if (!title.empty()) title += "\n";
        title += (count > 1 ? std::to_string(count) + " \xC3\x97 " : "") + text;
    }
    return title;
}

}  // namespace

std::string TimelineSvg(const std::vector<TimelineRecord>& records,
                        const std::optional<TouchModeReports>& touch) {
    Picture picture = Collect(records, touch);
    Lay(picture);
    // The lanes run at least as far as the legend.
    Svg legend;
    picture.end = std::max(picture.end, Legend(legend, 12, 72));

    Rows eventRows, warningRows;
    const std::vector<Labelled> events = LabelRows(picture, Lane::Events, eventRows);
    const std::vector<Labelled> warnings = LabelRows(picture, Lane::Warnings, warningRows);

    // The lanes from the top.
    const int serviceTop = 92;
    const int eventsTop = serviceTop + kBand + kLaneGap;
    const int eventsHeight = 12 + std::max(1, eventRows.Count()) * kRow;
    const int shownTop = eventsTop + eventsHeight + kLaneGap;
    const int sizeTop = shownTop + kBand + kLaneGap + 4;
    const int offsetTop = sizeTop + kSizePlot + kLaneGap + 4;
    const int touchTop = offsetTop + kOffsetPlot + kLaneGap;
    const int warningsTop = touchTop + kBand + kLaneGap;
    const int warningsHeight = 12 + std::max(1, warningRows.Count()) * kRow;
    const int axisY = warningsTop + warningsHeight + kLaneGap;
    const int width = picture.end + kRight;
    const int height = axisY + 46;

    Svg svg;
    svg.Rect(0, 0, width, height, "#ffffff");
    svg.Text(12, 22, "h", "kelvo-sim timeline");
    svg.Text(12, 38, "s",
             "Time runs to the right. Each millisecond in which something happened is a shaded "
             "column, each record in it a slot, in the order they came;");
    svg.Text(12, 51, "s",
             "the quiet stretches between are shortened, those over " +
                 std::to_string(kBreakMillis) + " ms broken (zig-zag on the axis).");
    svg.Add(legend.Body());

    // Each millisecond's column, faintly, across the lanes.
    for (const Column& column : picture.columns) {
        svg.Rect(column.x, serviceTop - 4, column.width, axisY - serviceTop + 4, "#f2f4f7");
    }
    // The broken stretches, across the lanes.
    std::vector<int> breaks;
    for (std::size_t c = 1; c < picture.columns.size(); ++c) {
        const Column& column = picture.columns[c];
        if (column.time - picture.columns[c - 1].time <= kBreakMillis) continue;
        breaks.push_back(column.x - kBrokenGap / 2);
        svg.Line(breaks.back(), serviceTop - 4, breaks.back(), axisY - 6,
                 "stroke=\"#c8ccd2\" stroke-dasharray=\"2 3\"");
    }

    // Service.
    LaneTitle(svg, serviceTop, kBand, "service", "SetServiceStatus");
    DrawBands(svg, Bands(picture, Lane::Service, ServiceBand), serviceTop, kBand);

    // Events.
    LaneTitle(svg, eventsTop, eventsHeight, "events", "the controller's level-4 lines");
    const int markerY = eventsTop + 5;
    svg.Line(kAxisStart, markerY, picture.end, markerY, "stroke=\"#c8ccd2\"");
    for (const Labelled& event : events) {
        const int textY = eventsTop + 8 + (event.row + 1) * kRow - 3;
        svg.Line(event.x, markerY, event.x, textY - 8, "stroke=\"#8a8f98\"");
    }
    for (const Labelled& event : events) {
        const int textY = eventsTop + 8 + (event.row + 1) * kRow - 3;
        svg.Rect(event.x - 3, textY - 9, TextWidth(event.label) + 3, 12, "#ffffff",
                 "fill-opacity=\"0.85\"");
        svg.Text(event.x - 2, textY, event.mark->start ? "lf" : "l", event.label);
        svg.Add("<path d=\"M" + std::to_string(event.x) + " " + std::to_string(markerY - 4) +
                "l4 4l-4 4l-4 -4z\" fill=\"" + (event.mark->start ? "#8a8f98" : "#2f3b52") +
                "\"/>");
    }
    if (events.empty()) svg.Text(kAxisStart, markerY + 14, "lf", "none recorded");

    // The frame.
    LaneTitle(svg, shownTop, kBand, "frame", "shown (enable)");
    DrawBands(svg, Bands(picture, Lane::Frame, ShownBand), shownTop, kBand);

    DWORD sizeScale = 100, offsetScale = 1;
    for (const Mark& mark : picture.marks) {
        if (mark.lane != Lane::Frame) continue;
        sizeScale = std::max({sizeScale, mark.frame.x, mark.frame.y});
        offsetScale = std::max(offsetScale, mark.frame.p);
    }
    sizeScale = Ceiling(sizeScale);
    offsetScale = Ceiling(offsetScale);
    LaneTitle(svg, sizeTop, kSizePlot - 12, "frame size", "percent of the screen");
    svg.Line(12, sizeTop + kSizePlot - 14, 30, sizeTop + kSizePlot - 14,
             "stroke=\"#4e79a7\" stroke-width=\"2\"");
    svg.Text(34, sizeTop + kSizePlot - 10, "s", "x");
    svg.Line(52, sizeTop + kSizePlot - 14, 70, sizeTop + kSizePlot - 14,
             "stroke=\"#e15759\" stroke-width=\"2\" stroke-dasharray=\"4 3\"");
    svg.Text(74, sizeTop + kSizePlot - 10, "s", "y");
    LaneTitle(svg, offsetTop, kOffsetPlot, "frame offset", "p, pixels from the top");
    for (const auto& [top, plot, scale] : {std::tuple{sizeTop, kSizePlot, sizeScale},
                                           std::tuple{offsetTop, kOffsetPlot, offsetScale}}) {
        svg.Line(kAxisStart, top, picture.end, top, "stroke=\"#dfe3e8\"");
        svg.Line(kAxisStart, top + plot, picture.end, top + plot, "stroke=\"#c8ccd2\"");
        svg.Text(kAxisStart - 4, top + 4, "a", std::to_string(scale), "end");
        svg.Text(kAxisStart - 4, top + plot + 3, "a", "0", "end");
    }
    for (const Mark& mark : picture.marks) {
        if (mark.lane != Lane::Frame) continue;
        const int x = SlotX(picture, mark);
        svg.Line(x, sizeTop + kSizePlot, x, sizeTop + kSizePlot + 3, "stroke=\"#8a8f98\"");
    }
    DrawSteps(svg, picture, FrameX, sizeTop, kSizePlot, sizeScale,
              "stroke=\"#4e79a7\" stroke-width=\"2\"");
    DrawSteps(svg, picture, FrameY, sizeTop, kSizePlot, sizeScale,
              "stroke=\"#e15759\" stroke-width=\"2\" stroke-dasharray=\"4 3\"");
    DrawSteps(svg, picture, FrameP, offsetTop, kOffsetPlot, offsetScale,
              "stroke=\"#59a14f\" stroke-width=\"2\"");
    const bool anyFrame = std::any_of(picture.marks.begin(), picture.marks.end(),
                                      [](const Mark& mark) { return mark.lane == Lane::Frame; });
    if (!anyFrame) svg.Text(kAxisStart, shownTop + kBand - 4, "lf", "no request taken");

    // Touch.
    LaneTitle(svg, touchTop, kBand, "touch in the band", "mode the controller took");
    const std::vector<Band> touchBands = Bands(picture, Lane::Touch, TouchBand);
    DrawBands(svg, touchBands, touchTop, kBand);
    if (touchBands.empty()) svg.Text(kAxisStart, touchTop + kBand - 4, "lf", "no mode taken");

    // Warnings and rejected events.
    LaneTitle(svg, warningsTop, warningsHeight, "warnings", "levels 1-3, rejected events");
    const int warnY = warningsTop + 6;
    svg.Line(kAxisStart, warnY, picture.end, warnY, "stroke=\"#c8ccd2\"");
    for (const Labelled& warning : warnings) {
        const Mark& mark = *warning.mark;
        const int x = warning.x;
        if (warning.row >= 0) {
            const int textY = warningsTop + 8 + (warning.row + 1) * kRow - 3;
            svg.Line(x, warnY, x, textY - 8, "stroke=\"#8a8f98\"");
        }
        const std::string shape =
            mark.rejected ? CrossAt(x, warnY) : TriangleAt(x, warnY - 5, WarningColour(mark.value));
        svg.Add(shape + "><title>" + Escaped(WarningTitle(mark)) + "</title></path>");
    }
    for (const Labelled& warning : warnings) {
        if (warning.row < 0) continue;
        const int textY = warningsTop + 8 + (warning.row + 1) * kRow - 3;
        svg.Rect(warning.x - 3, textY - 9, TextWidth(warning.label) + 3, 12, "#ffffff",
                 "fill-opacity=\"0.85\"");
        svg.Text(warning.x - 2, textY, "l", warning.label);
    }
    if (warnings.empty()) svg.Text(kAxisStart, warnY + 14, "lf", "none recorded");

    // The axis: each millisecond's column with its time, labels in two rows where they crowd.
    LaneTitle(svg, axisY, 20, "time", "seconds, virtual clock");
    svg.Line(kAxisStart - 6, axisY, picture.end, axisY, "stroke=\"#2f3b52\"");
    Rows timeRows;
    for (const Column& column : picture.columns) {
        svg.Rect(column.x, axisY - 3, column.width, 6, "#2f3b52");
        const std::string label = TimeLabel(column.time);
        const int labelWidth = TextWidth(label);
        const int middle = column.x + column.width / 2;
        const int row = timeRows.Place(middle - labelWidth / 2, labelWidth);
        if (row > 1) continue;
        svg.Text(middle, axisY + 16 + row * 12, "a", label, "middle");
    }
    for (int x : breaks) {
        svg.Rect(x - 5, axisY - 6, 10, 12, "#ffffff");
        svg.Add("<path d=\"M" + std::to_string(x - 7) + " " + std::to_string(axisY) +
                "l3 -5l4 10l4 -10l4 10l2 -5\" fill=\"none\" stroke=\"#2f3b52\"/>");
    }

    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
        std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
        std::to_string(width) + " " + std::to_string(height) +
        "\" font-family=\"sans-serif\">\n"
        "<style>\n"
        ".h{font-size:15px;font-weight:bold;fill:#2f3b52}\n"
        ".t{font-size:12px;font-weight:bold;fill:#2f3b52}\n"
        ".s{font-size:10px;fill:#6b7280}\n"
        ".l,.lf,.b,.a{font-family:monospace;font-size:10px;fill:#2f3b52}\n"
        ".lf{fill:#8a8f98}\n"
        ".a{fill:#4b5563}\n"
        "</style>\n";
    return out + svg.Body() + "</svg>\n";
}

}  // namespace kelvo::host
