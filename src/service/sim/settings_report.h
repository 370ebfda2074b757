// kelvo-sim settings FILE.reg: the configuration a registry file gives the service, read by the
// service's own settings code, as a panel engineer wants to see it: every effective value with
// the range the service accepts and whether it came from the file, then every warning.
#pragma once

#include <cstdio>
#include <string>

namespace kelvo::host {

// Writes the report to out; a file that cannot be read or parsed gets the loader's error on err
// and exit code 2.
int RunSettingsReport(const std::string& file, std::FILE* out, std::FILE* err);

}  // namespace kelvo::host
