// kelvo-sim: the system on the simulated platform.
#include <cstdio>
#include <cstring>

#include "service/sim/demo.h"

namespace {

int Usage() {
    std::fputs("usage: kelvo-sim demo\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1 || (argc == 2 && std::strcmp(argv[1], "demo") == 0)) {
        return kelvo::host::RunDemo(stdout);
    }
    return Usage();
}
