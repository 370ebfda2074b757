// The simulated world with devices on its HID bus: a plain device described in one line, the
// default touch controllers, and what reached a device since the last look.
#pragma once

#include <cstddef>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/hid_sim.h"
#include "rig/sim_rig.h"
#include "substitutes/touch_controller_sim.h"

namespace hid_test {

using Bytes = std::vector<BYTE>;
using platform::sim::HidReport;
using platform::sim::SimHidDevice;
using platform::sim::SimTouchController;

inline platform::sim::HidDeviceDescription Device(std::wstring path, USHORT vendorId,
                                                  USHORT productId, USHORT usagePage, USHORT usage,
                                                  USHORT input = 0, USHORT output = 0,
                                                  USHORT feature = 0) {
    return {std::move(path), vendorId, productId, 0x0100,  usagePage,
            usage,           input,    output,    feature, {}};
}

// The fields of each line of a table kept as data; lines that start with # say what it holds.
inline std::vector<std::vector<std::string>> ReadTable(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        std::istringstream in(line);
        std::vector<std::string> fields(std::istream_iterator<std::string>(in), {});
        if (!fields.empty() && !fields[0].starts_with('#')) rows.push_back(std::move(fields));
    }
    return rows;
}
inline unsigned Hex(const std::string& field) { return std::stoul(field, nullptr, 16); }

// Names the cases of a table by their name field.
inline constexpr auto kByName = [](const auto& info) { return std::string(info.param.name); };

inline void PrintTo(const HidReport& report, std::ostream* out) {
    static const char* const kKinds[] = {"Output", "SetFeature", "GetFeature"};
    *out << kKinds[static_cast<int>(report.kind)] << "{" << std::hex;
    for (BYTE b : report.bytes) *out << " " << static_cast<unsigned>(b);
    *out << std::dec << " }";
}

struct HidRig : rig::SimRig {
    platform::sim::SimHid& Hid() { return world.GetHid(); }
    platform::sim::SimKernel& Kernel() { return world.GetKernel(); }
    SimHidDevice& Plug(platform::sim::HidDeviceDescription description) {
        return Hid().AddDevice<SimHidDevice>(std::move(description));
    }
    // The legacy controller, or the current one of this protocol version.
    SimTouchController& PlugTouch(bool legacy, USHORT version = 1) {
        using Family = SimTouchController::Family;
        return legacy ? Hid().AddDevice<SimTouchController>(
                            Family::Legacy, 1, SimTouchController::LegacyDescription(L"legacy"))
                      : Hid().AddDevice<SimTouchController>(
                            Family::Current, version,
                            SimTouchController::CurrentDescription(version, L"touch"));
    }
    // The reports that reached the device since the last call.
    std::vector<HidReport> TakeReports(SimHidDevice& device) {
        const std::vector<HidReport> all = device.Reports();
        std::vector<HidReport> fresh(all.begin() + static_cast<std::ptrdiff_t>(_seen), all.end());
        _seen = all.size();
        return fresh;
    }

private:
    std::size_t _seen = 0;
};

}  // namespace hid_test
