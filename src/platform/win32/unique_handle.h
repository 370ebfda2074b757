// The one owner of a kernel handle: closes it when it goes.
#pragma once

#include <utility>

#include "platform/win32/windows_sdk.h"

namespace platform::win32 {

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : _handle(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : _handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    // Creation functions report failure as null or as INVALID_HANDLE_VALUE.
    explicit operator bool() const { return _handle != nullptr && _handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return _handle; }
    HANDLE release() { return std::exchange(_handle, nullptr); }
    void reset(HANDLE handle = nullptr) {
        if (*this) ::CloseHandle(_handle);
        _handle = handle;
    }

private:
    HANDLE _handle = nullptr;
};

}  // namespace platform::win32
