// A simulated world with a registry and tokens, and the trace lines the settings wrote in it.
#pragma once

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/sim/registry_sim.h"
#include "platform/sim/security_sim.h"
#include "platform/sim/sim_world.h"

namespace settings_test {

inline constexpr const wchar_t* kRoot = L"SOFTWARE\\Corvane\\Nolt\\AMB";
inline constexpr const wchar_t* kDisplay = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Display";
inline constexpr const wchar_t* kTouch = L"SOFTWARE\\Corvane\\Nolt\\AMB\\Touch";
inline constexpr const wchar_t* kHotKeys = L"SOFTWARE\\Corvane\\Nolt\\AMB\\HotKeys";

// One stored value; another type stores the same 4 bytes under that type (REG_QWORD: 8 bytes).
struct Entry {
    const wchar_t* key;
    const wchar_t* name;
    DWORD value;
    DWORD type = REG_DWORD;
};

// Whether line is the log facility's failure line for this status, written from file:
// "HRESULT: 0x%08x @ LINE %04i [%s]".
inline bool IsFailureLine(const std::wstring& line, HRESULT hr, const std::wstring& file) {
    wchar_t status[11];
    std::swprintf(status, 11, L"0x%08x", static_cast<unsigned>(hr));
    const std::wstring head = std::wstring(L"HRESULT: ") + status + L" @ LINE ";
    const std::wstring tail = L" [" + file + L"]";
    if (!line.starts_with(head) || !line.ends_with(tail)) return false;
    const std::wstring number = line.substr(head.size(), line.size() - head.size() - tail.size());
    return number.size() >= 4 && std::all_of(number.begin(), number.end(),
                                             [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

struct Rig {
    platform::sim::SimWorld world;
    platform::sim::SimRegistry registry{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
    platform::sim::SimSecurity security{world.GetScheduler(), world.GetFaults(), world.GetKernel()};

    platform::sim::SimKernel& Kernel() { return world.GetKernel(); }

    void Store(const Entry& entry) {
        std::vector<BYTE> bytes(entry.type == REG_QWORD ? 8 : 4);
        std::memcpy(bytes.data(), &entry.value, sizeof(DWORD));
        registry.SetValue(HKEY_LOCAL_MACHINE, entry.key, entry.name, entry.type, std::move(bytes));
    }
    void Store(const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) Store(entry);
    }

    void Fail(const std::string& operation, DWORD error, unsigned nth = 1) {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, error, nth);
    }

    // The texts traced at one level, in order.
    std::vector<std::wstring> Lines(UCHAR level) {
        std::vector<std::wstring> lines;
        for (const auto& event : world.GetTracing().Events()) {
            if (event.level == level) lines.push_back(event.text);
        }
        return lines;
    }
    // The lines at a level that begin with prefix.
    std::vector<std::wstring> LinesStarting(UCHAR level, const std::wstring& prefix) {
        std::vector<std::wstring> lines;
        for (const std::wstring& line : Lines(level)) {
            if (line.starts_with(prefix)) lines.push_back(line);
        }
        return lines;
    }
};

}  // namespace settings_test
