// The graphics driver's frame interfaces, as this system calls them, and the records they take.
//
// The driver lives outside this system; these declarations give only what is called. Both the
// display customizer and the substitute drivers (simulated and the development DLL) build on
// them, so the table slots and the record layouts below are the contract between them.
#pragma once

#include <bit>
#include <cstddef>

#include "platform/win32types.h"

// ---- Records ----

// Exchanged with ITheCorvaneAmbrel: 36 bytes of little-endian u32.
struct FrameInfo {
    DWORD dwHeader;           // 1
    DWORD dwReserved;         // 0
    DWORD dwAmbrelErrorCode;  // the driver's own code, filled on return
    DWORD dwConstant;         // 4096
    DWORD dwSupported;        // a query's answer: nonzero when the frame feature is on
    DWORD dwEnable;           // a request: 1 shows the frame, 0 hides it
    DWORD dwPercentageX;      // viewport width, percent of the native width
    DWORD dwPercentageY;      // viewport height, percent of the native height
    DWORD dwYPositionPx;      // viewport offset from the top, pixels
};

// Exchanged with IGfxDeviceData under GUID_GfxFrameDeviceData: 48 bytes, little-endian.
struct FrameDeviceData {
    DWORD dwHeader;      // 1
    BYTE reserved1[20];  // zero
    DWORD dwConstant;    // 4096
    BYTE bSupported;     // a query's answer: nonzero when the frame feature is on
    BYTE bEnable;        // a request: 1 shows the frame, 0 hides it
    BYTE reserved2[2];   // zero
    DWORD dwPercentageX;
    DWORD dwPercentageY;
    DWORD dwYPositionPx;
    DWORD dwReserved;  // 0
};

// The records are sent as they lie in memory.
static_assert(std::endian::native == std::endian::little, "the driver's records are little-endian");

static_assert(sizeof(FrameInfo) == 36);
static_assert(offsetof(FrameInfo, dwHeader) == 0);
static_assert(offsetof(FrameInfo, dwReserved) == 4);
static_assert(offsetof(FrameInfo, dwAmbrelErrorCode) == 8);
static_assert(offsetof(FrameInfo, dwConstant) == 12);
static_assert(offsetof(FrameInfo, dwSupported) == 16);
static_assert(offsetof(FrameInfo, dwEnable) == 20);
static_assert(offsetof(FrameInfo, dwPercentageX) == 24);
static_assert(offsetof(FrameInfo, dwPercentageY) == 28);
static_assert(offsetof(FrameInfo, dwYPositionPx) == 32);

static_assert(sizeof(FrameDeviceData) == 48);
static_assert(offsetof(FrameDeviceData, dwHeader) == 0);
static_assert(offsetof(FrameDeviceData, reserved1) == 4);
static_assert(offsetof(FrameDeviceData, dwConstant) == 24);
static_assert(offsetof(FrameDeviceData, bSupported) == 28);
static_assert(offsetof(FrameDeviceData, bEnable) == 29);
static_assert(offsetof(FrameDeviceData, reserved2) == 30);
static_assert(offsetof(FrameDeviceData, dwPercentageX) == 32);
static_assert(offsetof(FrameDeviceData, dwPercentageY) == 36);
static_assert(offsetof(FrameDeviceData, dwYPositionPx) == 40);
static_assert(offsetof(FrameDeviceData, dwReserved) == 44);

constexpr DWORD kFrameRecordHeader = 1;
constexpr DWORD kFrameRecordConstant = 0x1000;

// ---- Identifiers ----

// {071BCD17-1720-430B-AB8B-D6E4AB56689F}
inline constexpr CLSID CLSID_TheCorvaneAmbrel = {
    0x071BCD17, 0x1720, 0x430B, {0xAB, 0x8B, 0xD6, 0xE4, 0xAB, 0x56, 0x68, 0x9F}};
// {1E3B3626-4746-42D9-B643-746231609AB3}
inline constexpr IID IID_ITheCorvaneAmbrel = {
    0x1E3B3626, 0x4746, 0x42D9, {0xB6, 0x43, 0x74, 0x62, 0x31, 0x60, 0x9A, 0xB3}};
// {7160A13D-73DA-4CEA-95B9-37356478588A}
inline constexpr CLSID CLSID_GfxDeviceData = {
    0x7160A13D, 0x73DA, 0x4CEA, {0x95, 0xB9, 0x37, 0x35, 0x64, 0x78, 0x58, 0x8A}};
// {F932C038-6484-45CA-8FA1-7C8C279F7AEE}
inline constexpr IID IID_IGfxDeviceData = {
    0xF932C038, 0x6484, 0x45CA, {0x8F, 0xA1, 0x7C, 0x8C, 0x27, 0x9F, 0x7A, 0xEE}};
// The frame's data identifier on IGfxDeviceData: {4AFD1957-3482-4CAE-82A0-550BDF479E4E}
inline constexpr GUID GUID_GfxFrameDeviceData = {
    0x4AFD1957, 0x3482, 0x4CAE, {0x82, 0xA0, 0x55, 0x0B, 0xDF, 0x47, 0x9E, 0x4E}};

// ---- Interfaces ----

// The driver's frame interface. Its own methods follow IDispatch's, GetInfo first.
struct ITheCorvaneAmbrel : IDispatch {
    // size is sizeof(FrameInfo); *errorCode is 0 on the way in and the driver's code on return.
    virtual HRESULT STDMETHODCALLTYPE GetInfo(DWORD size, FrameInfo* info, DWORD* errorCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetInfo(DWORD size, FrameInfo* info, DWORD* errorCode) = 0;
};

// Slots 3 to 42 of IGfxDeviceData: the driver's other methods, which this system never calls.
// Implementations generate theirs from the same list.
// clang-format off
#define GFX_DEVICE_DATA_UNUSED_SLOTS(SLOT) \
    SLOT(3)  SLOT(4)  SLOT(5)  SLOT(6)  SLOT(7)  SLOT(8)  SLOT(9)  SLOT(10) SLOT(11) SLOT(12) \
    SLOT(13) SLOT(14) SLOT(15) SLOT(16) SLOT(17) SLOT(18) SLOT(19) SLOT(20) SLOT(21) SLOT(22) \
    SLOT(23) SLOT(24) SLOT(25) SLOT(26) SLOT(27) SLOT(28) SLOT(29) SLOT(30) SLOT(31) SLOT(32) \
    SLOT(33) SLOT(34) SLOT(35) SLOT(36) SLOT(37) SLOT(38) SLOT(39) SLOT(40) SLOT(41) SLOT(42)
// clang-format on

// The driver's generic device-data interface: GetDeviceData in slot 43, SetDeviceData in 44.
struct IGfxDeviceData : IUnknown {
#define GFX_DEVICE_DATA_DECLARE_UNUSED(n) virtual HRESULT STDMETHODCALLTYPE UnusedSlot##n() = 0;
    GFX_DEVICE_DATA_UNUSED_SLOTS(GFX_DEVICE_DATA_DECLARE_UNUSED)
#undef GFX_DEVICE_DATA_DECLARE_UNUSED

    // size is that of the record under dataId; *errorCode is 0 on the way in.
    virtual HRESULT STDMETHODCALLTYPE GetDeviceData(REFGUID dataId, DWORD size, void* data,
                                                    DWORD* errorCode) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetDeviceData(REFGUID dataId, DWORD size, void* data,
                                                    DWORD* errorCode) = 0;
};
