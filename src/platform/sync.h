// Owners for the platform's locks and threads, shaped like std::mutex and std::thread.
#pragma once

#include <functional>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/kernel.h"

namespace platform {

class Mutex {
public:
    explicit Mutex(Kernel& kernel, bool recursive = false) : _impl(kernel.CreateLock(recursive)) {}
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() { _impl->lock(); }
    void unlock() { _impl->unlock(); }

private:
    std::unique_ptr<LockImpl> _impl;
};

class RecursiveMutex : public Mutex {
public:
    explicit RecursiveMutex(Kernel& kernel) : Mutex(kernel, true) {}
};

// A joinable worker thread. As with std::thread, destroying one that is still joinable ends the
// process: its owner must stop and join it first.
class Thread {
public:
    Thread() = default;
    Thread(Kernel& kernel, std::function<void()> body)
        : _impl(kernel.StartThread(std::move(body))) {}
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&& other) noexcept {
        if (joinable()) std::terminate();
        _impl = std::move(other._impl);
        return *this;
    }
    ~Thread() {
        if (joinable()) std::terminate();
    }

    bool joinable() const { return _impl != nullptr; }
    void join() {
        if (!_impl) throw std::system_error(std::make_error_code(std::errc::invalid_argument));
        _impl->join();
        _impl.reset();
    }
    HANDLE NativeHandle() const { return _impl ? _impl->NativeHandle() : nullptr; }

private:
    std::unique_ptr<ThreadImpl> _impl;
};

}  // namespace platform
