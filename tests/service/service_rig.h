// A simulated world for the service module: registry, service control manager and COM, the
// module's resources, and readable views of what the module left behind.
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/com_sim.h"
#include "platform/sim/registry_sim.h"
#include "platform/sim/services_sim.h"
#include "platform/sim/sim_world.h"
#include "service/host_resources.h"

namespace service_test {

inline constexpr const wchar_t* kAppId = L"{45A1373F-67AC-419B-964A-9478A683A046}";
inline constexpr const wchar_t* kServiceName = L"Ambrel Manager";

// One line per key ("name") and value ("  name=REG_SZ:text", "  name=REG_DWORD:number"),
// indented by depth; subkeys in the registry's order.
inline void Render(const platform::sim::RegKeySnapshot& key, int depth, std::wstring& out) {
    const std::wstring indent(static_cast<std::size_t>(depth) * 2, L' ');
    out += indent + key.name + L"\n";
    for (const platform::sim::RegValue& value : key.values) {
        out += indent + L"  " + value.name + L"=";
        if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
            std::wstring text(value.data.size() / sizeof(wchar_t), L'\0');
            std::memcpy(text.data(), value.data.data(), text.size() * sizeof(wchar_t));
            if (!text.empty() && text.back() == L'\0') text.pop_back();
            out += (value.type == REG_SZ ? L"REG_SZ:" : L"REG_EXPAND_SZ:") + text;
        } else if (value.type == REG_DWORD && value.data.size() == sizeof(DWORD)) {
            DWORD number;
            std::memcpy(&number, value.data.data(), sizeof(number));
            out += L"REG_DWORD:" + std::to_wstring(number);
        } else {
            out += L"type " + std::to_wstring(value.type);
        }
        out += L"\n";
    }
    for (const platform::sim::RegKeySnapshot& subkey : key.subkeys) Render(subkey, depth + 1, out);
}

// The simulated control manager, with a hook called on the reporting thread after each status
// report: a test can make a control arrive at exactly that point.
class Services : public platform::sim::SimServices {
public:
    using SimServices::SimServices;

    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) override {
        const BOOL reported = SimServices::SetServiceStatus(handle, status);
        if (afterReport) afterReport(*status);
        return reported;
    }

    std::function<void(const SERVICE_STATUS&)> afterReport;
};

// The text with the four digits after "LINE " written as "####": source lines move.
inline std::wstring WithoutLineNumber(std::wstring text) {
    const std::size_t at = text.find(L"LINE ");
    if (at != std::wstring::npos && at + 9 <= text.size()) text.replace(at + 5, 4, L"####");
    return text;
}

struct Rig {
    platform::sim::SimWorld world;
    platform::sim::SimRegistry registry{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
    Services services{world.GetScheduler(), world.GetFaults(), world.GetKernel()};
    platform::sim::SimCom com{world.GetScheduler(), world.GetFaults(), world.GetKernel()};

    // The tree at root\path as Render writes it; "-" when the key does not exist.
    std::wstring Tree(HKEY root, const std::wstring& path) {
        const auto snapshot = registry.Snapshot(root, path);
        if (!snapshot) return L"-";
        std::wstring out;
        Render(*snapshot, 0, out);
        return out;
    }

    void Fail(const std::string& operation, DWORD error, unsigned nth = 1) {
        platform::sim::Scheduler::Lock lock(world.GetScheduler().Mutex());
        world.GetFaults().Fail(operation, error, nth);
    }

    std::vector<std::wstring> Lines(UCHAR level) {
        std::vector<std::wstring> lines;
        for (const auto& event : world.GetTracing().Events()) {
            if (event.level == level) lines.push_back(event.text);
        }
        return lines;
    }

    // Every trace line as "L<level> <text>", in order.
    std::vector<std::wstring> Trace() {
        std::vector<std::wstring> lines;
        for (const auto& event : world.GetTracing().Events()) {
            lines.push_back(L"L" + std::to_wstring(event.level) + L" " + event.text);
        }
        return lines;
    }
};

}  // namespace service_test
