// kelvo-sim's command line.
//
//   kelvo-sim run [--registry FILE.reg] [--touch legacy|current1|current2|events|none]
//                 [--buttons N] [--gfx frame|devicedata|off|none] [--slate 0|1] [--docked 0|1]
//                 [--json] [--level N] [--realtime] [--interactive] [--svg FILE] [SCENARIO|-]
//   kelvo-sim settings FILE.reg
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32types.h"

namespace kelvo::host {

// What stands on the HID bus for the touch controller.
enum class TouchKind {
    Legacy,    // the legacy USB controller
    Current1,  // the current controller, protocol version 1
    Current2,  // the current controller, protocol version 2
    Events,    // no controller; the two touch events exist, as their waiting component made them
    None,      // nothing
};

// What the graphics driver offers.
enum class GfxKind {
    Frame,       // the frame interface
    DeviceData,  // the device-data interface only
    Off,         // the frame interface, with the frame feature switched off
    None,        // neither
};

struct WorldOptions {
    std::string registryFile;        // empty: no configuration beyond the AppID
    std::optional<TouchKind> touch;  // none: the kind the registry's "IsLegacy" selects
    int buttons = 3;
    GfxKind gfx = GfxKind::Frame;
    int slate = 1;   // SM_CONVERTIBLESLATEMODE as Windows reports it: 0 is slate mode
    int docked = 1;  // SM_SYSTEMDOCKED
    UCHAR level = TRACE_LEVEL_VERBOSE;  // the trace session enables levels up to this
    bool realtime = false;
};

struct RunOptions {
    WorldOptions world;
    bool json = false;
    bool interactive = false;
    std::string scenario;  // a file, "-" for standard input, empty for the built-in scenario
    std::string svg;       // where the picture of the timeline goes; empty: none
};

// Highest --buttons.
constexpr int kMaxButtons = 16;

// The arguments after "run"; none (and *error set) for a bad one.
std::optional<RunOptions> ParseRunOptions(const std::vector<std::string_view>& arguments,
                                          std::string* error);

// What --help and a usage error print.
extern const char kUsage[];

}  // namespace kelvo::host
