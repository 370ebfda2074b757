// The monitor in a simulated world, driven by the scripts in scripts/: each command is written
// to the transcript ("> command"), followed by the traces and deliveries it caused and whatever
// it looks at. golden/<script>.txt holds the transcript each script must give (written from the
// product instead when KELVO_REGENERATE_GOLDEN is set). The commands are listed in Run below.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract.h"
#include "monitor_rig.h"
#include "platform/sim/utf8.h"
#include "rig/golden.h"
#include "substitutes/bezel_buttons_sim.h"

namespace {

using events_test::MonitorRig;
using platform::sim::SimBezelButtons;

std::string g_calls;
void PlainA(SystemEventType, const unsigned char*, std::uint64_t) { g_calls += "A\n"; }
void PlainB(SystemEventType, const unsigned char*, std::uint64_t) { g_calls += "B\n"; }
// Not a plain function once wrapped in a lambda: added every time.
const auto Closure = [](SystemEventType, const unsigned char*, std::uint64_t) { g_calls += "closure\n"; };
std::vector<UINT_PTR> g_timers;
HWND g_timerWindow = nullptr;
void TimerProc(HWND hwnd, UINT, UINT_PTR id, DWORD) {
    g_timerWindow = hwnd;
    g_timers.push_back(id);
}

GUID Guid(const std::string& name) {
    if (name == "display") return GUID_CONSOLE_DISPLAY_STATE;
    if (name == "away") return GUID_SYSTEM_AWAYMODE;
    if (name == "gfx") return {0xE6DFDC31, 0x31D0, 0x46AC, {0x86, 0xAF, 0xDA, 0x1E, 0xB0, 0x5F, 0xC5, 0x99}};
    return {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};  // hid
}

class Script {
public:
    explicit Script(std::ostream& out) : _out(out) {}
    ~Script() { Close(); }

    void Run(const std::string& line) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (w.empty() || w[0][0] == '#') return;
        _out << "> " << line << "\n";
        const auto n = [&](std::size_t i) { return std::stoull(w.at(i), nullptr, 0); };
        const auto text = [&](std::size_t i) { return std::wstring(w.at(i).begin(), w.at(i).end()); };
        const auto flag = [&](std::size_t i, const char* yes) { return w.at(i) == yes; };
        const std::string& c = w[0];
        if (c == "new") {
            Close();
            g_calls.clear();
            _r = std::make_unique<MonitorRig>();
            return;
        }
        MonitorRig& r = *_r;
        auto& windowing = r.world.GetWindowing();
        auto& kernel = r.world.GetKernel();
        const auto locked = [&](const auto& act) {
            platform::sim::Scheduler::Lock lock(r.world.GetScheduler().Mutex());
            return act(r.world.GetFaults());
        };
        const auto send = [&](UINT message, WPARAM wParam, LPARAM lParam) {
            windowing.Broadcast(message, wParam, lParam);
            r.world.RunUntilIdle();
        };
        if (c == "metric") windowing.SetSystemMetric(w.at(1) == "slate" ? SM_CONVERTIBLESLATEMODE : SM_SYSTEMDOCKED, int(n(2)));
        else if (c == "registry") {
            auto& reg = r.world.GetRegistry();
            reg.CreateKey(HKEY_LOCAL_MACHINE, contract::kHotKeysKey);
            if (w.at(1) == "dword") reg.SetDword(HKEY_LOCAL_MACHINE, contract::kHotKeysKey, text(2), DWORD(n(3)));
            if (w.at(1) == "sz") reg.SetString(HKEY_LOCAL_MACHINE, contract::kHotKeysKey, text(2), text(3));
            if (w.at(1) == "binary") reg.SetValue(HKEY_LOCAL_MACHINE, contract::kHotKeysKey, text(2), REG_BINARY, {0, 0, 0, 0});
        } else if (c == "no-dacls") r.world.GetSecurity().SetNewObjectsHaveDacl(false);
        else if (c == "fail") r.Fail(w.at(1), DWORD(n(2)), w.size() > 3 ? unsigned(n(3)) : 1);
        else if (c == "fail-always") locked([&](auto& faults) { faults.FailAlways(w.at(1), DWORD(n(2))); return 0; });
        else if (c == "record") locked([](auto& faults) { faults.SetRecording(true); return 0; });
        else if (c == "calls") {
            for (std::size_t i = 1; i < w.size(); ++i) {
                _out << w[i] << " " << locked([&](auto& faults) { return std::count(faults.Calls().begin(), faults.Calls().end(), w[i]); }) << "\n";
            }
        }
        else if (c == "version") windowing.SetWindowsVersion(DWORD(n(1)), DWORD(n(2)));
        else if (c == "unexported") windowing.SetSuspendResumeExported(false);
        else if (c == "plug") {  // N LENGTH [USAGE-PAGE]: a button collection, or another one
            auto description = SimBezelButtons::ButtonsDescription(L"\\\\?\\HID#VID_1B96&PID_0B0A&Col0" + text(1), USHORT(n(2)));
            if (w.size() > 3) description.usagePage = USHORT(n(3));
            _buttons.push_back(&r.world.GetHid().AddDevice<SimBezelButtons>(description));
        } else if (c == "create") {
            r.Create();
            _handles = kernel.OpenHandleCount();
        } else if (c == "start") {
            if (!r.monitor) Run("create");
            r.Start();
        } else if (c == "stop") r.Stop();
        else if (c == "stop-only") r.monitor->Stop();
        else if (c == "join") r.run.join();
        else if (c == "send") send(UINT(n(1)), n(2), LPARAM(n(3)));
        else if (c == "post") { windowing.PostMessageW(windowing.FindWindowW(SystemEventMonitor::kWindowClassName, nullptr), UINT(n(1)), n(2), LPARAM(n(3))); r.world.RunUntilIdle(); }
        else if (c == "power-setting") { windowing.SendPowerSettingChange(Guid(w.at(1)), DWORD(n(2)), DWORD(n(3)), flag(4, "readable")); r.world.RunUntilIdle(); }
        else if (c == "send-bytes") {
            std::vector<BYTE> bytes;
            for (std::size_t i = 4; i < w.size(); ++i) bytes.push_back(BYTE(n(i)));
            send(UINT(n(1)), n(2), windowing.PlaceRecord(bytes.data(), bytes.size(), flag(3, "readable")));
        } else if (c == "send-name") {
            const std::wstring name = text(3);
            send(UINT(n(1)), n(2), windowing.PlaceRecord(name.c_str(), (name.size() + flag(4, "terminated")) * sizeof(wchar_t), flag(5, "readable")));
        } else if (c == "send-device") {  // CODE TYPE GUID NAME terminated readable SIZE (0: its own)
            const std::wstring name = w.at(4) == "-" ? L"" : text(4);
            const std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
            const std::size_t nameBytes = (name.size() + flag(5, "terminated")) * sizeof(wchar_t);
            std::vector<BYTE> bytes(n(2) == 5 ? nameOffset + nameBytes : sizeof(DEV_BROADCAST_HDR));
            DEV_BROADCAST_DEVICEINTERFACE_W header{};
            header.dbcc_size = n(7) != 0 ? DWORD(n(7)) : DWORD(bytes.size());
            header.dbcc_devicetype = DWORD(n(2));
            header.dbcc_classguid = Guid(w.at(3));
            std::memcpy(bytes.data(), &header, std::min(bytes.size(), nameOffset));
            if (n(2) == 5) std::memcpy(bytes.data() + nameOffset, name.c_str(), nameBytes);
            send(WM_DEVICECHANGE, n(1), windowing.PlaceRecord(bytes.data(), bytes.size(), flag(6, "readable")));
        } else if (c == "set" || c == "press") {
            const HANDLE event = kernel.OpenEventW(EVENT_MODIFY_STATE, FALSE, contract::kHotKeyEventNames[n(1)]);
            kernel.SetEvent(event);
            kernel.CloseHandle(event);
            if (c == "press") r.world.Advance(w.size() > 2 ? unsigned(n(2)) : 10);
        } else if (c == "advance") r.world.Advance(unsigned(n(1)));
        else if (c == "report" || c == "button" || c == "release") {
            SimBezelButtons& device = *_buttons.at(n(1));
            std::vector<BYTE> bytes;
            for (std::size_t i = 2; i < w.size(); ++i) bytes.push_back(BYTE(n(i)));
            if (c == "report") device.QueueInputReport(bytes);
            if (c == "button") device.Press(bytes.at(0));
            if (c == "release") device.Release(bytes.at(0));
            r.world.RunUntilIdle();
        } else if (c == "refuse") _buttons.at(n(1))->Refuse(w.at(2), DWORD(n(3)));
        else if (c == "throw-once" || c == "throw-always") {
            const auto type = SystemEventType(n(1));
            const bool once = c == "throw-once";
            r.monitor->RegisterCallback([type, once, thrown = false](SystemEventType t, const unsigned char*, std::uint64_t) mutable {
                if (t == type && !(once && std::exchange(thrown, true))) throw std::runtime_error("callback failed");
            });
        } else if (c == "register") {  // A, B: plain functions; closure; empty
            r.monitor->RegisterCallback(w.at(1) == "A" ? SystemEventCallback(&PlainA) : w.at(1) == "B" ? SystemEventCallback(&PlainB)
                                        : w.at(1) == "closure" ? SystemEventCallback(Closure) : SystemEventCallback());
        } else if (c == "dispatch") {
            const unsigned char data[] = {1, 2};
            r.monitor->DispatchEvent(SystemEventType(n(1)), data, sizeof data);
            _out << std::exchange(g_calls, {});
        } else if (c == "privileges-on") {  // the privileges enabled on the thread that delivers the type
            const auto type = SystemEventType(n(1));
            r.monitor->RegisterCallback([&r, type](SystemEventType t, const unsigned char*, std::uint64_t) {
                if (t != type) return;
                for (const auto& privilege : r.world.GetSecurity().EffectivePrivileges()) {
                    if (privilege.attributes & SE_PRIVILEGE_ENABLED) g_calls += "enabled " + platform::sim::ToUtf8(privilege.name) + "\n";
                }
            });
        } else if (c == "privileges") {
            _out << std::exchange(g_calls, {});
        } else if (c == "timer-on") {
            const auto type = SystemEventType(n(1));
            const UINT elapse = UINT(n(2));
            g_timers.clear();
            r.monitor->RegisterCallback([&windowing, type, elapse](SystemEventType t, const unsigned char*, std::uint64_t) {
                if (t == type) windowing.SetTimer(nullptr, 3721, elapse, TimerProc);
            });
        } else if (c == "timers") _out << "fired " << g_timers.size() << " with the window " << (g_timerWindow == _window) << "\n";
        else if (c == "modes") _out << "tablet=" << r.monitor->IsTabletMode() << " undocked=" << r.monitor->IsUndocked() << "\n";
        else if (c == "census") {
            const auto census = windowing.Count();
            _out << "windows " << census.windows << " classes " << census.classes << " registrations " << census.registrations
                 << " timers " << census.timers << " rpc strings " << census.rpcStrings << "\n";
        }
        else if (c == "handles") _out << "handles " << kernel.OpenHandleCount() - _handles << "\n";
        else if (c == "window") {
            if (!_window) _window = windowing.FindWindowW(SystemEventMonitor::kWindowClassName, nullptr);
            _out << "window " << (_window != nullptr && windowing.IsWindow(_window)) << " start returned " << r.startReturned
                 << " threw " << (r.startException != nullptr) << "\n";
        } else if (c == "make-event") _made.push_back(kernel.CreateEventW(nullptr, TRUE, FALSE, contract::kHotKeyEventNames[n(1)]));
        else if (c == "acl") {
            for (const wchar_t* name : contract::kHotKeyEventNames) {
                const HANDLE event = kernel.OpenEventW(SYNCHRONIZE, FALSE, name);
                const auto list = event ? r.world.GetSecurity().AccessList(event) : std::nullopt;
                _out << (event ? list ? "list" : "no list" : "gone");
                for (const auto& ace : list.value_or(std::vector<platform::sim::SimSecurity::Ace>{})) {
                    _out << " " << int(ace.type) << "/" << int(ace.flags) << "/0x" << std::hex << ace.mask << std::dec << "/"
                         << platform::sim::ToUtf8(ace.sid);
                }
                _out << "\n";
                if (event) kernel.CloseHandle(event);
            }
            _out << "allocations " << r.world.GetSecurity().OutstandingAllocations() << "\n";
        } else if (c == "set-made") {
            kernel.SetEvent(_made.at(n(1)));
            r.world.Advance(10);
        } else throw std::invalid_argument("unknown command: " + line);
        for (const std::wstring& trace : r.TakeTraces()) _out << platform::sim::ToUtf8(trace) << "\n";
        _out << std::exchange(r.delivered, {});
    }

private:
    void Close() {
        for (HANDLE h : _made) _r->world.GetKernel().CloseHandle(h);
        _made.clear();
        _buttons.clear();
        _window = nullptr;
        _r.reset();
    }

    std::ostream& _out;
    std::unique_ptr<MonitorRig> _r;
    std::vector<SimBezelButtons*> _buttons;
    std::vector<HANDLE> _made;
    std::size_t _handles = 0;
    HWND _window = nullptr;
};

class MonitorScript : public testing::TestWithParam<std::string> {};

TEST_P(MonitorScript, GivesItsGoldenTranscript) {
    const std::string dir = KELVO_EVENTS_TEST_DIR;
    std::ostringstream out;
    {
        Script script(out);
        std::ifstream in(dir + "/scripts/" + GetParam() + ".script");
        for (std::string line; std::getline(in, line);) script.Run(line);
    }
    EXPECT_TRUE(rig::MatchesGolden(dir + "/golden/" + GetParam() + ".txt", out.str()));
}

INSTANTIATE_TEST_SUITE_P(Scripts, MonitorScript,
                         testing::Values("window_messages", "hot_keys", "initial_modes", "hot_key_events",
                                         "hot_keys_thread_ends", "buttons", "lifecycle", "callbacks"),
                         [](const auto& info) { return info.param; });

}  // namespace
