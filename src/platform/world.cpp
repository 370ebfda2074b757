#include "platform/world.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace platform {

namespace {
std::atomic<World*> g_current{nullptr};
}

World::World(const Platform& platform) : _platform(platform), _previous(g_current.exchange(this)) {}

World::~World() {
    DestroyInstances();
    g_current.store(_previous);
}

World& World::Current() {
    if (World* world = g_current.load(std::memory_order_acquire)) return *world;
    if (World* world = ProcessWorld()) return *world;
    std::fputs("kelvo: no platform world\n", stderr);
    std::abort();
}

std::size_t World::NextSlot() {
    static std::atomic<std::size_t> next{0};
    const std::size_t slot = next.fetch_add(1);
    if (slot >= kMaxInstanceKinds) std::terminate();
    return slot;
}

void* World::Create(std::size_t slot, const std::function<Owned()>& make) {
    std::lock_guard<std::recursive_mutex> guard(_creation);
    if (void* p = _slots[slot].load(std::memory_order_acquire)) return p;
    Owned owned = make();
    _owned.emplace_back(slot, owned);
    _slots[slot].store(owned.object, std::memory_order_release);
    return owned.object;
}

void World::Destroy(std::size_t slot) {
    Owned owned{nullptr, nullptr};
    {
        std::lock_guard<std::recursive_mutex> guard(_creation);
        for (auto it = _owned.begin(); it != _owned.end(); ++it) {
            if (it->first == slot) {
                owned = it->second;
                _owned.erase(it);
                break;
            }
        }
        _slots[slot].store(nullptr, std::memory_order_release);
    }
    if (owned.object) owned.destroy(owned.object);
}

void World::DestroyInstances() {
    for (;;) {
        Owned owned{nullptr, nullptr};
        {
            std::lock_guard<std::recursive_mutex> guard(_creation);
            if (_owned.empty()) return;
            owned = _owned.back().second;
            _slots[_owned.back().first].store(nullptr, std::memory_order_release);
            _owned.pop_back();
        }
        // Outside the creation lock: a destructor may log, and so create a late logger.
        owned.destroy(owned.object);
    }
}

}  // namespace platform
