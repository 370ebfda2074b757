#include "platform/sim/faults.h"

#include "platform/sim/utf8.h"

namespace platform::sim {

std::string FaultPoint::Name() const { return operation + "(" + ToUtf8(argument) + ")"; }

void FaultPlan::Plant(Plan& plan, DWORD error, unsigned nth) {
    plan.once[plan.calls + (nth == 0 ? 1 : nth)] = error;
}

std::optional<DWORD> FaultPlan::Count(Plan& plan) {
    ++plan.calls;
    if (plan.always) return plan.always;
    if (auto once = plan.once.find(plan.calls); once != plan.once.end()) {
        const DWORD error = once->second;
        plan.once.erase(once);
        return error;
    }
    return std::nullopt;
}

void FaultPlan::Fail(std::string operation, DWORD error, unsigned nth) {
    Plant(_plans[std::move(operation)], error, nth);
}

void FaultPlan::Fail(const FaultPoint& point, DWORD error, unsigned nth) {
    Plant(_pointPlans[{point.operation, point.argument}], error, nth);
}

void FaultPlan::FailAlways(std::string operation, DWORD error) {
    _plans[std::move(operation)].always = error;
}

void FaultPlan::Clear() {
    _plans.clear();
    _pointPlans.clear();
}

std::optional<DWORD> FaultPlan::Take(std::string_view operation, std::wstring_view argument) {
    if (_recording) {
        _calls.emplace_back(operation);
        _points.push_back({std::string(operation), std::wstring(argument)});
    }
    auto it = _plans.find(operation);
    if (it == _plans.end()) {
        it = _plans.emplace(std::string(operation), Plan{}).first;
    }
    std::optional<DWORD> error = Count(it->second);
    if (!_pointPlans.empty()) {
        auto point = _pointPlans.find({std::string(operation), std::wstring(argument)});
        if (point != _pointPlans.end()) {
            const std::optional<DWORD> pointError = Count(point->second);
            if (!error) error = pointError;
        }
    }
    return error;
}

}  // namespace platform::sim
