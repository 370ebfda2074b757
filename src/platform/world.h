// A platform world: one platform and the process-wide objects built on it.
//
// The system's accessors (GetInstance, Instance) resolve through the current world. On Windows
// the process has one world for its whole life; a test builds a simulated world of its own, and
// destroying that world destroys every object created in it, so each test starts fresh.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace platform {

class World {
public:
    explicit World(const Platform& platform);
    virtual ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // The current world; on Windows the process world is created on first use.
    static World& Current();

    const Platform& GetPlatform() const { return _platform; }

    // The world's one T, created by make() on first use.
    template <class T, class Make>
    T* Instance(Make&& make) {
        const std::size_t slot = SlotOf<T>();
        if (void* p = _slots[slot].load(std::memory_order_acquire)) return static_cast<T*>(p);
        return static_cast<T*>(Create(slot, [&]() -> Owned {
            std::unique_ptr<T> object = make(*this);
            T* raw = object.release();
            return Owned{raw, [](void* p) { delete static_cast<T*>(p); }};
        }));
    }

    // Destroys the world's T now, if there is one; a later Instance creates it afresh.
    template <class T>
    void Release() {
        Destroy(SlotOf<T>());
    }

    static constexpr std::size_t kMaxInstanceKinds = 32;

protected:
    // Destroys every instance, newest first. Derived worlds call it before their platform goes.
    void DestroyInstances();

private:
    struct Owned {
        void* object;
        void (*destroy)(void*);
    };

    static std::size_t NextSlot();
    template <class T>
    static std::size_t SlotOf() {
        static const std::size_t slot = NextSlot();
        return slot;
    }

    void* Create(std::size_t slot, const std::function<Owned()>& make);
    void Destroy(std::size_t slot);

    Platform _platform;
    World* _previous;
    std::atomic<void*> _slots[kMaxInstanceKinds] = {};
    std::recursive_mutex _creation;
    std::vector<std::pair<std::size_t, Owned>> _owned;  // in creation order
};

// The process world for platforms that have one (Windows); null elsewhere.
World* ProcessWorld();

}  // namespace platform
