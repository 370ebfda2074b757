// Platforms without a process world: every world is made by its host or test.
#include "platform/world.h"

namespace platform {

World* ProcessWorld() { return nullptr; }

}  // namespace platform
