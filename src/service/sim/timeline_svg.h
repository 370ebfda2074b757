// The timeline as one picture: kelvo-sim's records drawn in lanes on one time axis, as a
// self-contained SVG document (no scripts, no external references, generic fonts only).
//
//   service        SetServiceStatus, as bands: START_PENDING, RUNNING, STOP_PENDING, STOPPED
//   events         the controller's level-4 lines for the system events, as named markers
//   frame          each SetInfo / SetDeviceData the graphics driver took: shown or hidden as a
//                  band, the percentages x and y and the offset p as steps (an animation is a
//                  staircase)
//   touch in band  the bezel touch mode the touch controller took (1 touch on, 2 off), from its
//                  mode reports, or from the named events that stand in for it
//   warnings       trace levels 1 to 3, and the events the state machine rejected
//
// Each distinct millisecond is a column, each drawn record a slot of its own in it, so that
// records of one millisecond stand side by side in the order they came; a quiet stretch is
// short on the axis, and one longer than kBreakMillis is drawn broken. The axis is labelled with
// the real times. The same records give the same bytes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "service/sim/timeline.h"

namespace kelvo::host {

// How the touch controller on the HID bus tells a bezel touch mode report from its property
// reports: legacy id, mode; current id, 0xFF 0xFF, mode (property reports, with their own id,
// have the same head).
struct TouchModeReports {
    bool legacy = false;
    BYTE reportId = 0;
    BYTE propsReportId = 0;
};

// Quiet stretches longer than this are drawn broken.
inline constexpr Millis kBreakMillis = 50;

// touch: the controller whose mode reports ("touch" SetFeature records) to read; none reads
// the mode from the named events only.
std::string TimelineSvg(const std::vector<TimelineRecord>& records,
                        const std::optional<TouchModeReports>& touch);

}  // namespace kelvo::host
