// Owners of what the Windows API itself hands out: kernel handles and service control manager
// handles.
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
using UniqueServiceHandle = Owner<NullCloser<SC_HANDLE, &::CloseServiceHandle>>;

}  // namespace platform::win32
