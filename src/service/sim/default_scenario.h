// The scenario kelvo-sim plays when it is given none: examples/default.scenario as it stands,
// built into the program.
#pragma once

#include <string_view>

namespace kelvo::host {

std::string_view DefaultScenario();

}  // namespace kelvo::host
