#include "opc/Enumerators.h"

#include <exception>

#include "opc/Group.h"

namespace telegate::opc {

using com::IidOf;

// The answer to a request for zero elements: a success code (top bit clear) with
// nothing fetched.
constexpr HRESULT kNothingRequested = 1781;

sOPCStringEnumerator::sOPCStringEnumerator(sOPC& core,
                                           std::shared_ptr<const std::vector<std::string>> list,
                                           size_t pos)
    : FCore(core), FList(std::move(list)), nextIndex(pos) {}

HRESULT sOPCStringEnumerator::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IidOf<IUnknown>() || riid == IidOf<IEnumString>()) {
        *ppv = static_cast<IEnumString*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT sOPCStringEnumerator::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) {
    if (FCore.LogEnabled())
        FCore.WriteOPCLog("sOPCStringEnumerator.Next - " + std::to_string(celt));
    try {
        if (!pceltFetched) return E_INVALIDARG;
        *pceltFetched = 0;
        if (celt == 0) return kNothingRequested;
        if (!rgelt) return E_INVALIDARG;
        std::lock_guard lock(FMu);
        if (nextIndex >= FList->size()) return S_FALSE;
        ULONG n = 0;
        while (n < celt && nextIndex < FList->size()) {
            LPWSTR s = com::TaskStrDup((*FList)[nextIndex]);
            if (!s) {
                for (ULONG k = 0; k < n; ++k) {
                    CoTaskMemFree(rgelt[k]);
                    rgelt[k] = nullptr;
                }
                nextIndex -= n;
                return E_OUTOFMEMORY;
            }
            rgelt[n++] = s;
            ++nextIndex;
        }
        *pceltFetched = n;
        return n == celt ? S_OK : S_FALSE;
    } catch (const std::exception& e) {
        FCore.WriteOPCLog("sOPCStringEnumerator.Next - Exception");
        FCore.WriteOPCLogException("sOPCStringEnumerator.Next", e.what());
        return E_UNEXPECTED;
    }
}

HRESULT sOPCStringEnumerator::Skip(ULONG celt) {
    if (FCore.LogEnabled())
        FCore.WriteOPCLog("sOPCStringEnumerator.Skip - " + std::to_string(celt));
    std::lock_guard lock(FMu);
    if (nextIndex + celt > FList->size()) {
        nextIndex = FList->size();
        return S_FALSE;
    }
    nextIndex += celt;
    return S_OK;
}

HRESULT sOPCStringEnumerator::Reset() {
    std::lock_guard lock(FMu);
    nextIndex = 0;
    return S_OK;
}

HRESULT sOPCStringEnumerator::Clone(IEnumString** ppenum) {
    FCore.WriteOPCLog("sOPCStringEnumerator.Clone");
    if (!ppenum) return E_INVALIDARG;
    *ppenum = nullptr;
    try {
        std::lock_guard lock(FMu);
        *ppenum = new sOPCStringEnumerator(FCore, FList, nextIndex);
        return S_OK;
    } catch (const std::exception& e) {
        FCore.WriteOPCLog("sOPCStringEnumerator.Clone - Exception");
        FCore.WriteOPCLogException("sOPCStringEnumerator.Clone", e.what());
        return E_UNEXPECTED;
    }
}

void ClearItemAttributes(OPCITEMATTRIBUTES& a) {
    CoTaskMemFree(a.szAccessPath);
    CoTaskMemFree(a.szItemID);
    a.szAccessPath = nullptr;
    a.szItemID = nullptr;
    VariantClear(&a.vEUInfo);
}

sOPCItemEnumerator::sOPCItemEnumerator(sOPC& core, sOPCGroup& group, size_t pos)
    : FCore(core), FGroup(group), nextIndex(pos) {
    FGroup.AddRef();
}

sOPCItemEnumerator::~sOPCItemEnumerator() {
    FGroup.Release();
}

HRESULT sOPCItemEnumerator::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IidOf<IUnknown>() || riid == IidOf<IEnumOPCItemAttributes>()) {
        *ppv = static_cast<IEnumOPCItemAttributes*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

HRESULT sOPCItemEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) {
    if (FCore.LogEnabled()) FCore.WriteOPCLog("sOPCItemEnumerator.Next - " + std::to_string(celt));
    com::Clear(ppItemArray);
    if (!pceltFetched || !ppItemArray) {
        FCore.WriteOPCLog("sOPCItemEnumerator.Next - Exception");
        FCore.WriteOPCLogException("sOPCItemEnumerator.Next", "null argument");
        return E_UNEXPECTED;
    }
    *pceltFetched = 0;
    if (celt == 0) return kNothingRequested;
    if (celt > com::kMaxCallCount) return E_INVALIDARG;
    try {
        std::lock_guard lock(FMu);
        if (nextIndex >= FGroup.ItemCount()) return S_FALSE;
        HRESULT hr = S_OK;
        auto* arr = com::AllocOPCArray<OPCITEMATTRIBUTES>(celt, hr);
        if (!arr) return E_OUTOFMEMORY;
        ULONG n = 0;
        while (n < celt && FGroup.ItemAttributesAt(nextIndex, arr[n])) {
            ++n;
            ++nextIndex;
        }
        if (n == 0) {
            com::FreeOPCArray(arr);
            return S_FALSE;
        }
        *ppItemArray = arr;
        *pceltFetched = n;
        return n == celt ? S_OK : S_FALSE;
    } catch (const std::exception& e) {
        FCore.WriteOPCLog("sOPCItemEnumerator.Next - Exception");
        FCore.WriteOPCLogException("sOPCItemEnumerator.Next", e.what());
        return E_UNEXPECTED;
    }
}

HRESULT sOPCItemEnumerator::Skip(ULONG celt) {
    if (FCore.LogEnabled()) FCore.WriteOPCLog("sOPCItemEnumerator.Skip - " + std::to_string(celt));
    std::lock_guard lock(FMu);
    const size_t count = FGroup.ItemCount();
    if (nextIndex + celt > count) {
        nextIndex = count;
        return S_FALSE;
    }
    nextIndex += celt;
    return S_OK;
}

HRESULT sOPCItemEnumerator::Reset() {
    std::lock_guard lock(FMu);
    nextIndex = 0;
    return S_OK;
}

HRESULT sOPCItemEnumerator::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) {
    FCore.WriteOPCLog("sOPCItemEnumerator.Clone");
    if (!ppEnumItemAttributes) return E_INVALIDARG;
    *ppEnumItemAttributes = nullptr;
    try {
        std::lock_guard lock(FMu);
        *ppEnumItemAttributes = new sOPCItemEnumerator(FCore, FGroup, nextIndex);
        return S_OK;
    } catch (const std::exception& e) {
        FCore.WriteOPCLog("sOPCItemEnumerator.Clone - Exception");
        FCore.WriteOPCLogException("sOPCItemEnumerator.Clone", e.what());
        return E_UNEXPECTED;
    }
}

}  // namespace telegate::opc
