// A first look at the system: named events fed to the bezel state machine on the simulated
// platform, with every action traced.
#pragma once

#include <cstdio>

namespace kelvo::host {

int RunDemo(std::FILE* out);

}  // namespace kelvo::host
