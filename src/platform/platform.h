// The platform bundle: every area of Windows the system uses, as one set of references.
#pragma once

#include "platform/kernel.h"
#include "platform/tracing.h"

namespace platform {

struct Platform {
    Tracing& tracing;
    Kernel& kernel;
};

}  // namespace platform
