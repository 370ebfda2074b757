// The fault plan of a simulated world: any operation can be told to fail with a chosen error,
// every call of it or only the calls on one argument (a device path, a value name, a key path,
// an event name, ...).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32types.h"

namespace platform::sim {

// One call as the plan sees it: the operation and what it works on; the argument is empty
// where the call names nothing.
struct FaultPoint {
    std::string operation;
    std::wstring argument;

    // "operation(argument)", in UTF-8.
    std::string Name() const;
    bool operator==(const FaultPoint&) const = default;
};

class FaultPlan {
public:
    // The nth next call of the operation (1: the very next one) fails with this error.
    void Fail(std::string operation, DWORD error, unsigned nth = 1);
    // The nth next call of the operation on this argument fails with this error.
    void Fail(const FaultPoint& point, DWORD error, unsigned nth = 1);
    // Every call of the operation fails with this error until Clear.
    void FailAlways(std::string operation, DWORD error);
    void Clear();

    // Called by each simulated operation (world lock held) with what it works on: records the
    // call and says whether it is to fail, and with what error.
    std::optional<DWORD> Take(std::string_view operation, std::wstring_view argument = {});

    // Every call taken since recording began, in order: the operations alone, and with their
    // arguments.
    void SetRecording(bool on) { _recording = on; }
    const std::vector<std::string>& Calls() const { return _calls; }
    const std::vector<FaultPoint>& Points() const { return _points; }

private:
    struct Plan {
        std::map<unsigned, DWORD> once;  // by the call number it falls on
        std::optional<DWORD> always;
        unsigned calls = 0;
    };
    static void Plant(Plan& plan, DWORD error, unsigned nth);
    static std::optional<DWORD> Count(Plan& plan);

    std::map<std::string, Plan, std::less<>> _plans;
    // Counted only from the moment a fault is planned on them.
    std::map<std::pair<std::string, std::wstring>, Plan> _pointPlans;
    bool _recording = false;
    std::vector<std::string> _calls;
    std::vector<FaultPoint> _points;
};

}  // namespace platform::sim
