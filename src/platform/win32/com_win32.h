// The COM runtime on Windows: the real ole32 calls.
#pragma once

#include "platform/com.h"

namespace platform::win32 {

class Win32Com : public Com {
public:
    HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) override;
    void CoUninitialize() override;
    HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext, REFIID riid,
                             LPVOID* ppv) override;
    HRESULT OleRun(LPUNKNOWN unknown) override;
};

}  // namespace platform::win32
