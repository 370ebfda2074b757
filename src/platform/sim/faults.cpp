#include "platform/sim/faults.h"

namespace platform::sim {

void FaultPlan::Fail(std::string operation, DWORD error, unsigned nth) {
    Plan& plan = _plans[std::move(operation)];
    plan.once[plan.calls + (nth == 0 ? 1 : nth)] = error;
}

void FaultPlan::FailAlways(std::string operation, DWORD error) {
    _plans[std::move(operation)].always = error;
}

void FaultPlan::Clear() { _plans.clear(); }

std::optional<DWORD> FaultPlan::Take(std::string_view operation) {
    if (_recording) _calls.emplace_back(operation);
    auto it = _plans.find(operation);
    if (it == _plans.end()) {
        it = _plans.emplace(std::string(operation), Plan{}).first;
    }
    Plan& plan = it->second;
    ++plan.calls;
    if (plan.always) return plan.always;
    if (auto once = plan.once.find(plan.calls); once != plan.once.end()) {
        const DWORD error = once->second;
        plan.once.erase(once);
        return error;
    }
    return std::nullopt;
}

}  // namespace platform::sim
