// The Windows process world: one for the whole process, built on the real platform.
#include "platform/win32/com_win32.h"
#include "platform/win32/hid_win32.h"
#include "platform/win32/kernel_win32.h"
#include "platform/win32/registry_win32.h"
#include "platform/win32/security_win32.h"
#include "platform/win32/services_win32.h"
#include "platform/win32/tracing_win32.h"
#include "platform/win32/windowing_win32.h"
#include "platform/world.h"

namespace platform {

// Built on first use, which may come from a static object's constructor: function statics are
// ready whenever they are first reached, and those built first are destroyed last, so the
// platform parts outlive the world and the world outlives the objects whose construction made
// it.
World* ProcessWorld() {
    static win32::Win32Tracing tracing;
    static win32::Win32Kernel kernel;
    static win32::Win32Registry registry;
    static win32::Win32Security security;
    static win32::Win32Hid hid;
    static win32::Win32Com com;
    static win32::Win32Windowing windowing;
    static win32::Win32Services services;
    static World world(
        Platform{tracing, kernel, registry, security, hid, com, windowing, services});
    return &world;
}

}  // namespace platform
