#include "settings/amb_reg_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/reg_file.h"
#include "platform/sim/utf8.h"
#include "platform/sync.h"
#include "rig/sim_rig.h"
#include "service/sim/settings_report.h"

namespace {

using namespace settings;
using Lines = std::vector<std::wstring>;
const HKEY kMachine = HKEY_LOCAL_MACHINE;
const wchar_t* const D = contract::kDisplayKey;
const wchar_t* const T = contract::kTouchKey;

// One stored value; another type stores the same 4 bytes under that type.
struct Stored {
    const wchar_t* key;
    const wchar_t* name;
    DWORD value;
    DWORD type = REG_DWORD;
};

struct Rig : rig::SimRig {
    AmbRegSettings settings{world.GetRegistry(), world.GetKernel(), world.GetSecurity(), kMachine};

    void Store(const std::vector<Stored>& values) {
        for (const Stored& v : values) {
            std::vector<BYTE> bytes(4);
            std::memcpy(bytes.data(), &v.value, 4);
            world.GetRegistry().SetValue(kMachine, v.key, v.name, v.type, bytes);
        }
    }
    Values Read() {
        settings.ReadSettings();
        Values values{};
        for (std::size_t id = 0; id < kSettingCount; ++id) values[id] = settings.GetValue(Id(id));
        return values;
    }
};

// Whole reads: what is stored, then (if anything) what is stored before a second read, and every
// value in force after the last read, in the table's order.
struct ReadCase {
    const char* label;
    std::vector<Stored> first;
    std::vector<Stored> then;
    Values expected;
};
void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.label; }
class WholeRead : public testing::TestWithParam<ReadCase> {};

TEST_P(WholeRead, GivesEveryValueInForce) {
    Rig rig;
    rig.Store(GetParam().first);
    if (!GetParam().then.empty()) {
        rig.Read();
        rig.Store(GetParam().then);
    }
    EXPECT_EQ(rig.Read(), GetParam().expected);
}

// clang-format off
// The native resolution, steps, interval, mode, viewport X and Y, Y position; legacy flag, ids,
// report ids, input method, touch viewport in thousandths.
INSTANTIATE_TEST_SUITE_P(Cases, WholeRead, testing::Values(
    ReadCase{"NothingUsable", {{T, L"IsLegacy", 1, REG_BINARY}}, {},
             {1920, 1080, 15, 0, 1, 30, 30, 90, 0, 0x04F3, 0x200A, 6, 5, 0, 132000, 150000, 2988000, 1776000}},
    ReadCase{"Legacy", {{T, L"IsLegacy", 0x100}}, {},
             {1920, 1080, 15, 0, 1, 26, 26, 80, 1, 0x03EB, 0x212A, 6, 5, 0, 100000, 192000, 100000, 55000}},
    ReadCase{"Pixels", {{D, L"Mode", 2}}, {},
             {1920, 1080, 15, 0, 2, 1740, 980, 90, 0, 0x04F3, 0x200A, 6, 5, 0, 132000, 150000, 2988000, 1776000}},
    // Rejected report ids and input method keep the last accepted; the ids start afresh.
    ReadCase{"ReloadKeepsReportIds",
             {{T, L"AMB_HidReportId", 7}, {T, L"AMBInputMethod", 3}, {T, L"VID", 0x1111}},
             {{T, L"AMB_HidReportId", 0}, {T, L"AMBInputMethod", 0}, {T, L"VID", 0}},
             {1920, 1080, 15, 0, 1, 30, 30, 90, 0, 0x04F3, 0x200A, 7, 5, 3, 132000, 150000, 2988000, 1776000}}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

// One setting judged: the values stored first, the range it accepts (low - 1 and high + 1 are
// refused; with wraps only the bits of high count), what is in force after a refusal and its
// warning, and what the settings report says it accepts.
struct Bound {
    const char* label;
    Id id;
    std::vector<Stored> given;
    DWORD low, high;
    bool wraps;
    DWORD fallback;
    const wchar_t* warning;
    const char* accepted;
};
void PrintTo(const Bound& c, std::ostream* out) { *out << c.label; }
class Bounds : public testing::TestWithParam<Bound> {};

// The settings report for what is stored: its accepted column by value name.
std::map<std::wstring, std::string> Accepted(const std::vector<Stored>& given) {
    Rig rig;
    rig.world.GetRegistry().CreateKey(kMachine, contract::kConfigurationKey);
    rig.Store(given);
    const auto file = std::filesystem::temp_directory_path() /
                      ("kelvo-settings-" + std::to_string(::getpid()) + ".reg");
    std::ofstream(file, std::ios::binary)
        << *platform::sim::SaveRegText(rig.world.GetRegistry(), kMachine, L"SOFTWARE");
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    EXPECT_EQ(kelvo::host::RunSettingsReport(file.string(), out, stderr), 0);
    std::fclose(out);
    std::filesystem::remove(file);
    std::istringstream lines(std::string(text, size));
    std::free(text);
    std::map<std::wstring, std::string> accepted;
    for (std::string line; std::getline(lines, line);) {
        if (line.size() < 86 || !line.starts_with("  ")) continue;
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        accepted[std::wstring(name.begin(), name.end())] =
            line.substr(58, line.find_last_not_of(' ', 85) - 57);
    }
    return accepted;
}

TEST_P(Bounds, TheSettingsTakeWhatTheReportSaysTheyAccept) {
    const Bound& c = GetParam();
    const Setting& setting = kSettings[c.id];
    std::vector<DWORD> tries{c.low, c.high, c.high + 1};
    if (c.low > 0) tries.push_back(c.low - 1);
    if (c.wraps) tries.push_back(c.high + 2);
    for (const DWORD tried : tries) {
        // Of another type, a value reads as 0.
        for (const DWORD type : {DWORD{REG_DWORD}, DWORD{REG_BINARY}}) {
            SCOPED_TRACE(std::to_string(tried) + (type == REG_DWORD ? "" : " binary"));
            const DWORD read = type == REG_DWORD ? tried : 0;
            const DWORD kept = c.wraps ? read & c.high : read;
            const bool taken = kept >= c.low && kept <= c.high;
            Rig rig;
            rig.Store(c.given);
            rig.Store({{setting.key, setting.name, tried, type}});
            EXPECT_EQ(rig.Read()[c.id], taken ? kept : c.fallback);
            const std::wstring warning(c.warning);
            Lines warned;
            for (const auto& line : rig.Lines(TRACE_LEVEL_WARNING)) {
                if (line.starts_with(warning.substr(0, warning.find('=')))) warned.push_back(line);
            }
            EXPECT_EQ(warned, taken ? Lines{} : Lines{warning});
        }
    }
    EXPECT_EQ(Accepted(c.given)[setting.name], c.accepted);
}

const std::vector<Stored> kLegacy{{T, L"IsLegacy", 1}};
const std::vector<Stored> kPixels{{D, L"Mode", 2}};
const std::vector<Stored> kWidePixels{{D, L"Mode", 2}, {D, L"NativeResolution_X", 2560}};
// Percentage mode bounds the Y position by trunc((1 - v/100) * 0.11999999731779099 * h), pixel
// mode by h - v; a default beyond the bound is clipped to it.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, Bounds, testing::Values(
    Bound{"NativeX", kNativeResolutionX, {}, 1, 7680, false, 1920,
          L"Default DisplayNativeResolutionX = 1920 used", "1 to 7680"},
    Bound{"NativeY", kNativeResolutionY, {}, 1, 4320, false, 1080,
          L"Default DisplayNativeResolutionY = 1080 used", "1 to 4320"},
    Bound{"Steps", kAnimationSteps, {}, 1, 50, false, 15, L"Default DisplayAnimationSteps = 15 used", "1 to 50"},
    Bound{"Interval", kAnimationInterval, {}, 0, 100, false, 5,
          L"Default DisplayAnimationIntervalMilliseconds = 5 used", "0 to 100 ms"},
    Bound{"Mode", kMode, {}, 2, 2, false, 1, L"Default DisplayMode = 1 used", "2; anything else is 1"},
    Bound{"ViewportX", kViewportX, {}, 1, 100, false, 30, L"Default DisplayViewportX = 30 used", "1 to 100 %"},
    Bound{"ViewportXLegacy", kViewportX, kLegacy, 1, 100, false, 26,
          L"Default DisplayViewportX = 26 used", "1 to 100 %"},
    Bound{"ViewportXPixels", kViewportX, kWidePixels, 1, 2560, false, 1740,
          L"Default DisplayViewportX = 1740 used", "1 to 2560 px"},
    Bound{"ViewportYPixels", kViewportY, kPixels, 1, 1080, false, 980,
          L"Default DisplayViewportY = 980 used", "1 to 1080 px"},
    Bound{"Position", kPositionY, {}, 1, 90, false, 90, L"Default PxPositionY = 90 used", "1 to 90 px"},
    Bound{"PositionLegacy", kPositionY, kLegacy, 1, 95, false, 80, L"Default PxPositionY = 80 used", "1 to 95 px"},
    Bound{"PositionClipped", kPositionY, {{D, L"ViewPort_Y", 50}}, 1, 64, false, 64,
          L"Default PxPositionY = 90 used", "1 to 64 px"},
    Bound{"PositionPixels", kPositionY, kPixels, 1, 100, false, 90, L"Default PxPositionY = 90 used", "1 to 100 px"},
    // The default viewport (980) is taller than the screen: no room below it.
    Bound{"PositionNoRoom", kPositionY, {{D, L"Mode", 2}, {D, L"NativeResolution_Y", 720}}, 1, 0, false, 0,
          L"Default PxPositionY = 90 used", "1 to 0 px"},
    Bound{"Vendor", kVendorId, {}, 1, 0xFFFF, true, 0x04F3, L"Default TouchVendorId = 0x04f3 used",
          "non-zero in the low 16 bits"},
    Bound{"VendorLegacy", kVendorId, kLegacy, 1, 0xFFFF, true, 0x03EB, L"Default TouchVendorId = 0x03eb used",
          "non-zero in the low 16 bits"},
    Bound{"ReportId", kReportId, {}, 1, 0xFF, true, 6, L"Default _touchReportID = 0x06 used",
          "non-zero in the low 8 bits"},
    Bound{"InputMethod", kInputMethod, {}, 1, 0xFF, true, 0, L"Default _touchInputMethod = 0x00 used",
          "non-zero in the low 8 bits"},
    Bound{"Left", kTouchLeft, {}, 1, 9998999, false, 132000, L"Default TouchViewportLeft = 132.000000 used",
          "1 to 9998999 (thousandths)"}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

// Whatever the report says a value accepts, the settings take, and nothing beyond: every row.
TEST(SettingsReport, EveryRowAcceptsWhatTheSettingsTake) {
    const auto accepted = Accepted({});
    for (const Setting& setting : kSettings) {
        if (!setting.warning) continue;  // IsLegacy takes anything
        const std::string text = accepted.at(setting.name);
        SCOPED_TRACE(text);
        unsigned low = 0, high = 0, bits = 0;
        std::vector<std::pair<DWORD, bool>> tries;  // a value, and whether it is taken
        if (std::sscanf(text.c_str(), "%u to %u", &low, &high) == 2) {
            tries = {{low, true}, {high, true}, {high + 1, false}};
            if (low > 0) tries.push_back({low - 1, false});
        } else if (std::sscanf(text.c_str(), "non-zero in the low %u bits", &bits) == 1) {
            tries = {{0, false}, {1u << bits, false}, {(1u << bits) - 1, true}};
        } else {
            ASSERT_EQ(std::sscanf(text.c_str(), "%u; anything else is", &high), 1);
            tries = {{high, true}, {high - 1, false}, {high + 1, false}};
        }
        const std::wstring warning(setting.warning, std::wcschr(setting.warning, L'='));
        for (const auto& [value, taken] : tries) {
            Rig rig;
            rig.Store({{setting.key, setting.name, value}});
            rig.Read();
            const auto lines = rig.Lines(TRACE_LEVEL_WARNING);
            EXPECT_EQ(
                std::none_of(lines.begin(), lines.end(),
                             [&](const std::wstring& line) { return line.starts_with(warning); }),
                taken)
                << platform::sim::ToUtf8(setting.name) << " = " << value;
        }
    }
}

TEST(AmbRegSettings, AGetterWaitsForAReadHalfThatHoldsTheLock) {
    Rig rig;
    // The half's first line cannot be written at once: the logger sleeps a millisecond, with the
    // settings lock held, and tries again.
    rig.world.GetTracing().FailEventWriteString({ERROR_NOT_ENOUGH_MEMORY});
    platform::Thread reader(rig.world.GetKernel(), [&] { rig.settings.ReadSettings(); });
    rig.world.RunUntilIdle();
    DWORD seen = 0;
    bool returned = false;
    platform::Thread getter(rig.world.GetKernel(), [&] {
        seen = rig.settings.GetPxPositionY();
        returned = true;
    });
    rig.world.RunUntilIdle();
    EXPECT_FALSE(returned);
    rig.world.Advance(1);
    reader.join();
    getter.join();
    EXPECT_EQ(seen, 90u);  // not the 0 the field held while the half ran
}

// The settings as the service extends them: each reload is recorded as the vendor id it read,
// whether it ran on the watch thread and the privileges it ran with; then onReload runs.
class WatchedSettings : public AmbRegSettings {
public:
    explicit WatchedSettings(platform::sim::SimWorld& world)
        : AmbRegSettings(world.GetRegistry(), world.GetKernel(), world.GetSecurity(), kMachine),
          _world(world) {}

    void ReadSettings() override {
        AmbRegSettings::ReadSettings();
        wchar_t line[64];
        std::swprintf(line, 64, L"%04x %ls", GetTouchVendorId(),
                      std::this_thread::get_id() == _test ? L"test" : L"watch");
        std::wstring reload = line;
        for (const auto& privilege : _world.GetSecurity().EffectivePrivileges()) {
            if (privilege.attributes & SE_PRIVILEGE_ENABLED) reload += L" " + privilege.name;
        }
        reloads.push_back(reload);
        if (onReload) onReload();
    }

    std::function<void()> onReload;
    Lines reloads;

private:
    platform::sim::SimWorld& _world;
    const std::thread::id _test = std::this_thread::get_id();
};

struct WatchRig : rig::SimRig {
    WatchRig() { SetVendor(0x1111); }
    ~WatchRig() {
        Kernel().SetEvent(gate);
        settings.StopMonitoring();
    }

    platform::sim::SimKernel& Kernel() { return world.GetKernel(); }
    platform::sim::SimRegistry& Registry() { return world.GetRegistry(); }
    void SetVendor(DWORD vendor) { Registry().SetDword(kMachine, T, L"VID", vendor); }
    void Run() { world.RunUntilIdle(); }
    // The first reload waits at the gate once its reads are done, standing for a long reload.
    void HoldFirstReload() {
        settings.onReload = [this] {
            if (settings.reloads.size() == 1)
                Kernel().WaitForMultipleObjects(1, &gate, FALSE, INFINITE);
        };
        settings.StartMonitoring();
        Run();
        SetVendor(0x2222);
        Run();
    }
    std::size_t Changes() {
        const auto lines = SimRig::Lines(TRACE_LEVEL_INFORMATION);
        return std::count(lines.begin(), lines.end(), L"Change(s) detected in registry settings!");
    }
    // Nothing of the watch is left: no key open, no wait armed.
    void ExpectReleased() {
        EXPECT_EQ(Registry().OpenKeyCount(), 0u);
        EXPECT_EQ(Registry().PendingNotifyCount(), 0u);
    }

    WatchedSettings settings{world};
    HANDLE gate = Kernel().CreateEventW(nullptr, TRUE, FALSE, nullptr);
};

// A change while the watch waits; whether it reloads (and what the reload read), and whether the
// root is made again before the next wait. A later change of the vendor id reloads in every case.
struct ChangeCase {
    const char* label;
    std::function<void(platform::sim::SimRegistry&)> change;
    const wchar_t* reload;
    bool recreateRoot;
};
void PrintTo(const ChangeCase& c, std::ostream* out) { *out << c.label; }
class WatchChange : public testing::TestWithParam<ChangeCase> {};

TEST_P(WatchChange, ReloadsOnTheWatchThreadWithOnlyChangeNotifyForValueChangesUnderTheRoot) {
    const ChangeCase& c = GetParam();
    WatchRig rig;
    const std::wstring root = contract::kConfigurationKey;
    rig.settings.onReload = [&] {
        if (c.recreateRoot) rig.Registry().CreateKey(kMachine, root);
    };
    rig.settings.StartMonitoring();
    rig.Run();
    EXPECT_EQ(rig.Registry().PendingNotifyCount(), 1u);
    c.change(rig.Registry());
    rig.Run();
    rig.SetVendor(0x3333);
    rig.Run();
    Lines expected{L"3333 watch SeChangeNotifyPrivilege"};
    if (c.reload) expected.insert(expected.begin(), c.reload);
    EXPECT_EQ(rig.settings.reloads, expected);
    EXPECT_EQ(rig.Changes(), expected.size());
    // The change is traced before the reload's lines.
    EXPECT_EQ(rig.world.GetTracing().Events().at(0).text,
              L"Change(s) detected in registry settings!");
}

// clang-format off
const std::wstring kRoot = contract::kConfigurationKey;
INSTANTIATE_TEST_SUITE_P(Cases, WatchChange, testing::Values(
    ChangeCase{"SetInASubkey", [](auto& r) { r.SetDword(kMachine, T, L"VID", 0x2222); },
               L"2222 watch SeChangeNotifyPrivilege", false},
    ChangeCase{"SetInTheRoot", [](auto& r) { r.SetDword(kMachine, kRoot, L"A", 1); },
               L"1111 watch SeChangeNotifyPrivilege", false},
    ChangeCase{"Deleted", [](auto& r) { r.DeleteValue(kMachine, T, L"VID"); },
               L"04f3 watch SeChangeNotifyPrivilege", false},
    ChangeCase{"SetTwoKeysDown", [](auto& r) { r.SetDword(kMachine, kRoot + L"\\A\\B", L"C", 1); },
               L"1111 watch SeChangeNotifyPrivilege", false},
    ChangeCase{"RootDeletedAndMadeAgain", [](auto& r) { r.DeleteTree(kMachine, kRoot); },
               L"04f3 watch SeChangeNotifyPrivilege", true},
    ChangeCase{"EmptySubkeyCreated", [](auto& r) { r.CreateKey(kMachine, kRoot + L"\\Icons"); }, nullptr, false},
    ChangeCase{"SetAboveTheRoot", [](auto& r) { r.SetDword(kMachine, L"SOFTWARE\\Corvane", L"F", 1); }, nullptr,
               false}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

// A watch that cannot wait: the fault planned (none: the root is missing) and the status logged
// where the wait found it and where the watch gave up.
struct FailureCase {
    const char* label;
    const char* fault;
    DWORD error;
    const wchar_t* status;
};
void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.label; }
class WatchFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(WatchFailure, EndsTheWatchWithTheFailureLogged) {
    const FailureCase& c = GetParam();
    WatchRig rig;
    if (c.fault)
        rig.Fail(c.fault, c.error);
    else
        rig.Registry().DeleteTree(kMachine, contract::kConfigurationKey);
    rig.settings.StartMonitoring();
    rig.Run();
    const std::wstring line = L"HRESULT: " + std::wstring(c.status) + L" @ LINE #### ";
    EXPECT_EQ(rig.Lines(TRACE_LEVEL_ERROR),
              (Lines{line + L"[registry.cpp]", line + L"[amb_reg_settings.cpp]"}));
    rig.SetVendor(0x2222);  // nobody watches
    rig.Run();
    EXPECT_TRUE(rig.settings.reloads.empty());
    rig.settings.StopMonitoring();
    rig.ExpectReleased();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, WatchFailure, testing::Values(
    FailureCase{"RootMissing", nullptr, 0, L"0x80070002"},
    FailureCase{"OpenDenied", "RegOpenKeyExW", ERROR_ACCESS_DENIED, L"0x80070005"},
    FailureCase{"NotifyRefused", "RegNotifyChangeKeyValue", ERROR_INVALID_PARAMETER, L"0x80070057"},
    FailureCase{"WaitFails", "WaitForMultipleObjects", ERROR_INVALID_HANDLE, L"0x80070006"}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

TEST(AmbRegSettingsWatch, ExceptionFromAReloadEndsTheWatchOnlyAndIsLogged) {
    WatchRig rig;
    rig.settings.onReload = [] { throw std::runtime_error("reload failed"); };
    rig.settings.StartMonitoring();
    rig.Run();
    rig.SetVendor(0x2222);
    rig.Run();
    EXPECT_EQ(rig.Lines(TRACE_LEVEL_CRITICAL),
              Lines{L"Settings watch thread ended by an exception: reload failed"});
    rig.SetVendor(0x3333);
    rig.Run();
    EXPECT_EQ(rig.settings.reloads.size(), 1u);
    rig.settings.StopMonitoring();
    rig.ExpectReleased();
}

TEST(AmbRegSettingsWatch, AChangeDuringAReloadIsNotLost) {
    WatchRig rig;
    rig.HoldFirstReload();
    rig.SetVendor(0x3333);  // after the held reload's reads
    rig.Kernel().SetEvent(rig.gate);
    rig.Run();
    EXPECT_EQ(rig.settings.reloads, (Lines{L"2222 watch SeChangeNotifyPrivilege",
                                           L"3333 watch SeChangeNotifyPrivilege"}));
}

TEST(AmbRegSettingsWatch, StopDuringAReloadEndsTheWatchAfterItThoughAChangeIsPending) {
    WatchRig rig;
    rig.HoldFirstReload();
    bool stopped = false;
    platform::Thread stopper(rig.Kernel(), [&] {
        rig.settings.StopMonitoring();
        stopped = true;
    });
    rig.Run();
    EXPECT_FALSE(stopped);  // waits for the reload to finish
    rig.SetVendor(0x3333);
    rig.Kernel().SetEvent(rig.gate);
    stopper.join();
    EXPECT_EQ(rig.settings.reloads.size(), 1u);
    rig.ExpectReleased();
}

TEST(AmbRegSettingsWatch, StopEndsAWaitingWatchAndOneNotYetRunAndItStartsAgainOnce) {
    WatchRig rig;
    rig.settings.StartMonitoring();
    rig.settings.StopMonitoring();  // before the watch has run
    rig.ExpectReleased();
    rig.settings.StartMonitoring();
    rig.settings.StartMonitoring();
    rig.Run();
    EXPECT_EQ(rig.Registry().PendingNotifyCount(), 1u);
    rig.settings.StopMonitoring();  // while it waits
    rig.ExpectReleased();
    rig.SetVendor(0x2222);
    rig.Run();
    EXPECT_TRUE(rig.settings.reloads.empty());
    EXPECT_EQ(rig.Changes(), 0u);
    EXPECT_TRUE(rig.Lines(TRACE_LEVEL_ERROR).empty());
}

}  // namespace
