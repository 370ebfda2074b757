// The Windows process world: one for the whole process, built on the real platform.
#include "platform/win32/kernel_win32.h"
#include "platform/win32/tracing_win32.h"
#include "platform/world.h"

namespace platform {

// Built on first use, which may come from a static object's constructor: function statics are
// ready whenever they are first reached, and those built first are destroyed last, so the
// platform parts outlive the world and the world outlives the objects whose construction made
// it.
World* ProcessWorld() {
    static win32::Win32Tracing tracing;
    static win32::Win32Kernel kernel;
    static World world(Platform{tracing, kernel});
    return &world;
}

}  // namespace platform
