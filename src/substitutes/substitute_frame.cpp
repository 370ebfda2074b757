#include "substitutes/substitute_frame.h"

namespace platform::sim {

namespace {

bool IsPercentage(DWORD value) { return value >= 1 && value <= 100; }

template <class Record>
bool IsWellFormed(const Record& record) {
    return record.dwHeader == kFrameRecordHeader && record.dwConstant == kFrameRecordConstant;
}

// Refuses what cannot be read: no record, no room for the code, or a size that is not the
// record's, so nothing is written beyond what the caller handed in.
HRESULT CheckFrame(DWORD size, void* record, DWORD* errorCode, DWORD expectedSize) {
    if (record == nullptr || errorCode == nullptr) return E_POINTER;
    if (size != expectedSize) {
        *errorCode = kSubstituteFrameBadSize;
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT CheckDeviceData(REFGUID dataId, DWORD size, void* data, DWORD* errorCode) {
    if (data == nullptr || errorCode == nullptr) return E_POINTER;
    if (!(dataId == GUID_GfxFrameDeviceData)) {
        *errorCode = kSubstituteFrameUnknownData;
        return E_INVALIDARG;
    }
    return CheckFrame(size, data, errorCode, sizeof(FrameDeviceData));
}

}  // namespace

HRESULT SubstituteFrame::GetInfo(DWORD size, FrameInfo* info, DWORD* errorCode) {
    if (const HRESULT hr = CheckFrame(size, info, errorCode, sizeof(FrameInfo)); FAILED(hr)) {
        return hr;
    }
    if (!IsWellFormed(*info)) {
        *errorCode = info->dwAmbrelErrorCode = kSubstituteFrameBadRecord;
        return E_INVALIDARG;
    }
    info->dwSupported = featureOn ? 1 : 0;
    *errorCode = info->dwAmbrelErrorCode = kSubstituteFrameOk;
    return S_OK;
}

HRESULT SubstituteFrame::SetInfo(DWORD size, FrameInfo* info, DWORD* errorCode) {
    if (const HRESULT hr = CheckFrame(size, info, errorCode, sizeof(FrameInfo)); FAILED(hr)) {
        return hr;
    }
    DWORD code = kSubstituteFrameBadRecord;
    HRESULT hr = E_INVALIDARG;
    if (IsWellFormed(*info) && info->dwEnable <= 1) {
        hr = Apply(info->dwEnable != 0, info->dwPercentageX, info->dwPercentageY,
                   info->dwYPositionPx, &code);
    }
    *errorCode = info->dwAmbrelErrorCode = code;
    return hr;
}

HRESULT SubstituteFrame::GetDeviceData(REFGUID dataId, DWORD size, void* data, DWORD* errorCode) {
    if (const HRESULT hr = CheckDeviceData(dataId, size, data, errorCode); FAILED(hr)) return hr;
    auto* record = static_cast<FrameDeviceData*>(data);
    if (!IsWellFormed(*record)) {
        *errorCode = kSubstituteFrameBadRecord;
        return E_INVALIDARG;
    }
    record->bSupported = featureOn ? 1 : 0;
    *errorCode = kSubstituteFrameOk;
    return S_OK;
}

HRESULT SubstituteFrame::SetDeviceData(REFGUID dataId, DWORD size, void* data, DWORD* errorCode) {
    if (const HRESULT hr = CheckDeviceData(dataId, size, data, errorCode); FAILED(hr)) return hr;
    const auto* record = static_cast<const FrameDeviceData*>(data);
    DWORD code = kSubstituteFrameBadRecord;
    HRESULT hr = E_INVALIDARG;
    if (IsWellFormed(*record) && record->bEnable <= 1) {
        hr = Apply(record->bEnable != 0, record->dwPercentageX, record->dwPercentageY,
                   record->dwYPositionPx, &code);
    }
    *errorCode = code;
    return hr;
}

HRESULT SubstituteFrame::Apply(bool enable, DWORD x, DWORD y, DWORD p, DWORD* code) {
    if (!featureOn) {
        *code = kSubstituteFrameFeatureOff;
        return E_FAIL;
    }
    if (!IsPercentage(x) || !IsPercentage(y)) {
        *code = kSubstituteFrameBadViewport;
        return E_INVALIDARG;
    }
    viewport = enable ? Viewport{true, x, y, p} : Viewport{};
    *code = kSubstituteFrameOk;
    return S_OK;
}

}  // namespace platform::sim
