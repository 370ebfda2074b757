// Any bytes as a scenario: the parser either gives commands, each with its line, or names the
// first bad line as "line N: ...".
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_world.h"
#include "scenario/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int buttons = data[0] % 5;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string error;
    const auto scenario = kelvo::host::ParseScenario(text, buttons, &error);
    if (!scenario) {
        fuzz::Check(error.rfind("line ", 0) == 0, "a bad scenario names its line");
        return 0;
    }
    int line = 0;
    for (const kelvo::host::Command& command : scenario->commands) {
        fuzz::Check(command.line > line, "commands come in line order");
        line = command.line;
        if (const auto* button = std::get_if<kelvo::host::ButtonReport>(&command.action)) {
            fuzz::Check(button->device >= 0 && button->device < buttons, "a button that exists");
            fuzz::Check(button->report.size() == kelvo::host::kButtonReportLength, "report length");
        }
    }
    return 0;
}
