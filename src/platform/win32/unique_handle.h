// The owner of a kernel handle: closes it when it goes.
#pragma once

#include "platform/owner.h"
#include "platform/win32/windows_sdk.h"

namespace platform::win32 {

struct KernelHandleCloser {
    using Value = HANDLE;
    static HANDLE Empty() { return nullptr; }
    // Creation functions report failure as null or as INVALID_HANDLE_VALUE.
    static bool IsOpen(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};

using UniqueHandle = Owner<KernelHandleCloser>;

}  // namespace platform::win32
