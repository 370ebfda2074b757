// The fault plan of a simulated world: any operation can be told to fail with a chosen error.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32types.h"

namespace platform::sim {

class FaultPlan {
public:
    // The nth next call of the operation (1: the very next one) fails with this error.
    void Fail(std::string operation, DWORD error, unsigned nth = 1);
    // Every call of the operation fails with this error until Clear.
    void FailAlways(std::string operation, DWORD error);
    void Clear();

    // Called by each simulated operation (world lock held): records the call and says whether it
    // is to fail, and with what error.
    std::optional<DWORD> Take(std::string_view operation);

    // Every operation taken since recording began, in order.
    void SetRecording(bool on) { _recording = on; }
    const std::vector<std::string>& Calls() const { return _calls; }

private:
    struct Plan {
        std::map<unsigned, DWORD> once;  // by the call number it falls on
        std::optional<DWORD> always;
        unsigned calls = 0;
    };
    std::map<std::string, Plan, std::less<>> _plans;
    bool _recording = false;
    std::vector<std::string> _calls;
};

}  // namespace platform::sim
