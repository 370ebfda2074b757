// A substitute touch controller on the simulated HID bus, built as real ones are: a touch screen
// collection (digitizer page, input only), which Windows opens for itself, and a vendor-defined
// collection that speaks the controller's report protocol. This class is the vendor collection.
//
// Its feature reports are 12 bytes long, so every feature report reaches it zero-padded to 12:
// property requests (props report id, security number 0xFFFF, key, value; value 0xFFFFFFFF
// selects the property that the next feature read returns) and bezel touch mode reports (legacy:
// id, mode; current: id, 0xFF 0xFF, mode). Viewport output reports are 10 bytes (legacy), or 19
// or 20 bytes after id, 0xFF 0xFF (current). A report it does not understand is refused with
// ERROR_INVALID_PARAMETER; every report that reaches it is recorded all the same
// (SimHidDevice::Reports).
#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/hid_sim.h"

namespace platform::sim {

class SimTouchController : public SimHidDevice {
public:
    enum class Family { Legacy, Current };

    static constexpr BYTE kDefaultReportId = 6;
    static constexpr BYTE kDefaultPropsReportId = 5;
    static constexpr std::size_t kPropertyReportLength = 12;
    using PropertyResponse = std::array<BYTE, kPropertyReportLength>;

    // The controllers the system looks for by default: the legacy USB one (vendor 0x03EB,
    // product 0x212A, 10-byte output reports) and the current one (vendor 0x04F3, product
    // 0x200A) with 19-byte output reports for protocol version 1 and 20-byte input and output
    // reports for version 2.
    static HidDeviceDescription LegacyDescription(std::wstring path);
    static HidDeviceDescription CurrentDescription(USHORT protocolVersion, std::wstring path);
    // The vendor collection's usage page and usage.
    static constexpr USHORT kVendorUsagePage = 0xFF00;
    static constexpr USHORT kVendorUsage = 0x0001;

    // Plugs a whole controller in: its touch screen collection at touchScreenPath, then the
    // vendor collection.
    struct Plugged {
        SimHidDevice& touchScreen;
        SimTouchController& controller;
    };
    static Plugged Plug(SimHid& hid, std::wstring touchScreenPath, Family family,
                        USHORT protocolVersion, HidDeviceDescription description,
                        BYTE reportId = kDefaultReportId,
                        BYTE propsReportId = kDefaultPropsReportId);

    // Properties to begin with: 1 the protocol version, 2 a 3120 x 1920 panel, 3 palm reports
    // supported.
    SimTouchController(Scheduler& scheduler, Family family, USHORT protocolVersion,
                       HidDeviceDescription description, BYTE reportId = kDefaultReportId,
                       BYTE propsReportId = kDefaultPropsReportId);

    // Each takes the world lock.
    void SetProperty(BYTE key, DWORD value);
    // A read of this property is then refused with ERROR_GEN_FAILURE.
    void RemoveProperty(BYTE key);
    // A read of this property is then answered with these bytes as they stand.
    void SetPropertyResponse(BYTE key, const PropertyResponse& response);
    std::optional<DWORD> Property(BYTE key);
    // The mode of the last mode report taken; 0 before any.
    DWORD BezelTouchMode();
    // The last viewport report taken; empty before any.
    std::vector<BYTE> Viewport();

protected:
    DWORD OnOutputReport(const std::vector<BYTE>& report) override;
    DWORD OnSetFeature(const std::vector<BYTE>& report) override;
    DWORD OnGetFeature(BYTE* buffer, DWORD length) override;

private:
    bool Secured(const std::vector<BYTE>& report) const;

    const Family _family;
    const BYTE _reportId;
    const BYTE _propsReportId;
    std::map<BYTE, DWORD> _properties;
    std::map<BYTE, PropertyResponse> _responses;
    std::optional<BYTE> _selected;
    DWORD _mode = 0;
    std::vector<BYTE> _viewport;
};

}  // namespace platform::sim
