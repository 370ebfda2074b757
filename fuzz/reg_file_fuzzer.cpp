// Any bytes as a .reg file. A file either loads or names its fault; and what loads must come back
// the same: saved, loaded into a fresh registry and saved again, it gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_world.h"
#include "platform/sim/reg_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto* world = new platform::sim::SimWorld;
    platform::sim::SimRegistry loaded(world->GetScheduler(), world->GetFaults(),
                                      world->GetKernel());
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto error = platform::sim::LoadRegText(loaded, text)) {
        fuzz::Check(!error->message.empty(), "a refused file names its fault");
        return 0;
    }
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT}) {
        const auto saved = platform::sim::SaveRegText(loaded, root, L"");
        if (!saved) continue;
        platform::sim::SimRegistry again(world->GetScheduler(), world->GetFaults(),
                                         world->GetKernel());
        fuzz::Check(!platform::sim::LoadRegText(again, *saved), "a saved file loads");
        fuzz::Check(platform::sim::SaveRegText(again, root, L"") == saved,
                    "a saved file comes back the same");
    }
    return 0;
}
