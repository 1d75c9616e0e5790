// The task allocator, BSTR and VARIANT routines of the COM ABI set used where the
// platform has no COM runtime (ComAbi.h). On Windows the SDK's functions are used.
#include "opc/com/ComAbi.h"

#ifndef _WIN32

#include <cstdlib>
#include <cstring>

void* CoTaskMemAlloc(size_t cb) {
    return std::malloc(cb == 0 ? 1 : cb);
}
void CoTaskMemFree(void* pv) {
    std::free(pv);
}

// A BSTR points just past a 32-bit byte count and ends with a null character.
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
    const size_t bytes = static_cast<size_t>(cch) * sizeof(OLECHAR);
    if (bytes > 0x7FFFFFF0u) return nullptr;
    auto* block =
        static_cast<unsigned char*>(std::malloc(sizeof(uint32_t) + bytes + sizeof(OLECHAR)));
    if (!block) return nullptr;
    const uint32_t len = static_cast<uint32_t>(bytes);
    std::memcpy(block, &len, sizeof len);
    auto* str = reinterpret_cast<OLECHAR*>(block + sizeof(uint32_t));
    if (pch)
        std::memcpy(str, pch, bytes);
    else
        std::memset(str, 0, bytes);
    str[cch] = 0;
    return str;
}

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz) return nullptr;
    UINT n = 0;
    while (psz[n]) ++n;
    return SysAllocStringLen(psz, n);
}

void SysFreeString(BSTR bstr) {
    if (bstr) std::free(reinterpret_cast<unsigned char*>(bstr) - sizeof(uint32_t));
}

UINT SysStringLen(BSTR bstr) {
    if (!bstr) return 0;
    uint32_t len = 0;
    std::memcpy(&len, reinterpret_cast<unsigned char*>(bstr) - sizeof(uint32_t), sizeof len);
    return len / sizeof(OLECHAR);
}

void VariantInit(VARIANT* pvarg) {
    if (pvarg) std::memset(pvarg, 0, sizeof *pvarg);
}

HRESULT VariantClear(VARIANT* pvarg) {
    if (!pvarg) return E_INVALIDARG;
    if (pvarg->vt & (VT_ARRAY | VT_BYREF)) {
        if (pvarg->vt & VT_ARRAY) return DISP_E_BADVARTYPE;  // no safe arrays here
    } else if (pvarg->vt == VT_BSTR) {
        SysFreeString(pvarg->bstrVal);
    } else if (pvarg->vt == VT_UNKNOWN || pvarg->vt == VT_DISPATCH) {
        if (pvarg->punkVal) pvarg->punkVal->Release();
    }
    std::memset(pvarg, 0, sizeof *pvarg);
    return S_OK;
}

HRESULT VariantCopy(VARIANT* pvargDest, const VARIANT* pvargSrc) {
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (pvargSrc->vt & VT_ARRAY) return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc) return S_OK;
    VARIANT copy;
    std::memcpy(&copy, pvargSrc, sizeof copy);
    if (copy.vt == VT_BSTR && pvargSrc->bstrVal) {
        copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal) {
        copy.punkVal->AddRef();
    }
    VariantClear(pvargDest);
    std::memcpy(pvargDest, &copy, sizeof copy);
    return S_OK;
}

#endif  // !_WIN32
