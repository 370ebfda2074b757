// The COM runtime, under its Windows names: a thread joins an apartment, objects are created by
// class, and an object is put into its running state. Results are COM's own HRESULTs.
#pragma once

#include <utility>

#include "platform/win32types.h"

namespace platform {

class Com {
public:
    virtual ~Com() = default;

    virtual HRESULT CoInitializeEx(LPVOID reserved, DWORD coInit) = 0;
    virtual void CoUninitialize() = 0;
    virtual HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN outer, DWORD clsContext,
                                     REFIID riid, LPVOID* ppv) = 0;
    virtual HRESULT OleRun(LPUNKNOWN unknown) = 0;
};

// The one owner of a COM reference: releases it when it goes.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    // Takes over a reference the caller holds (one that QueryInterface or a creation handed out).
    explicit ComPtr(T* adopted) : _p(adopted) {}
    ComPtr(ComPtr&& other) noexcept : _p(std::exchange(other._p, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) reset(std::exchange(other._p, nullptr));
        return *this;
    }
    ~ComPtr() { reset(); }

    explicit operator bool() const { return _p != nullptr; }
    T* get() const { return _p; }
    T* operator->() const { return _p; }
    void reset(T* adopted = nullptr) {
        if (T* old = std::exchange(_p, adopted)) old->Release();
    }

private:
    T* _p = nullptr;
};

}  // namespace platform
