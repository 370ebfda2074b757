// The platform bundle: every area of Windows the system uses, as one set of references.
#pragma once

#include "platform/com.h"
#include "platform/hid.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "platform/services.h"
#include "platform/tracing.h"
#include "platform/windowing.h"

namespace platform {

struct Platform {
    Tracing& tracing;
    Kernel& kernel;
    Registry& registry;
    Security& security;
    Hid& hid;
    Com& com;
    Windowing& windowing;
    Services& services;
};

}  // namespace platform
