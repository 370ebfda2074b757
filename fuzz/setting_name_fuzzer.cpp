// The name a WM_SETTINGCHANGE carries: any characters, terminated or not, readable or not. Only
// "ConvertibleSlateMode" and "SystemDockMode" raise an event, matched with the first character as
// it stands and the rest without regard to case (checked here for ASCII names), and only when the
// terminator is there to be read.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_world.h"

namespace {

bool AsciiMatches(const std::wstring& name, const std::wstring& expected) {
    if (name.size() != expected.size() || name[0] != expected[0]) return false;
    const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; };
    return std::equal(name.begin(), name.end(), expected.begin(),
                      [&](wchar_t a, wchar_t b) { return lower(a) == lower(b); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool readable = input.ConsumeBool();
    const bool terminated = input.ConsumeBool();
    const bool wide = input.ConsumeBool();  // else each byte is one ASCII-range character
    std::wstring name;
    while (input.remaining_bytes() > 0 && name.size() < 64) {
        const wchar_t c = wide ? static_cast<wchar_t>(input.ConsumeIntegral<std::uint16_t>())
                               : static_cast<wchar_t>(input.ConsumeIntegral<std::uint8_t>() & 0x7F);
        if (c == 0) break;
        name.push_back(c);
    }

    fuzz::MonitorWorld& rig = fuzz::MonitorWorld::Shared();
    rig.world.GetWindowing().SetSystemMetric(SM_CONVERTIBLESLATEMODE, 1);
    rig.world.GetWindowing().SetSystemMetric(SM_SYSTEMDOCKED, 0);
    platform::sim::SimWindowing& windowing = rig.world.GetWindowing();
    const LPARAM lParam =
        terminated ? windowing.PlaceString(name, readable)
                   : windowing.PlaceRecord(name.data(), name.size() * sizeof(wchar_t), readable);
    rig.Send(WM_SETTINGCHANGE, 0, lParam);

    fuzz::Check(rig.delivered.size() <= 1, "a setting change raises at most one event");
    const bool ascii = std::all_of(name.begin(), name.end(), [](wchar_t c) { return c < 0x80; });
    if (!ascii || name.empty()) return 0;
    SystemEventType expected = EvtRawData;
    if (readable && terminated && AsciiMatches(name, L"ConvertibleSlateMode")) {
        expected = EvtClamshellMode;
    } else if (readable && terminated && AsciiMatches(name, L"SystemDockMode")) {
        expected = EvtUndocked;
    }
    if (expected == EvtRawData) {
        fuzz::Check(rig.delivered.empty(), "other names raise nothing");
    } else {
        fuzz::Check(rig.delivered.size() == 1 && rig.delivered[0].type == expected,
                    "the two setting names raise their mode event");
    }
    return 0;
}
