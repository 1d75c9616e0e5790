// The enumerators the server hands out: strings (browse results, access paths,
// group names) and the items of a group.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "opc/ComObject.h"
#include "opc/Core.h"

namespace telegate::opc {

class sOPCGroup;

class sOPCStringEnumerator final : public TRefCounted, public IEnumString {
  public:
    // Reference count 1. Clones share the list; it is freed with the last of them.
    sOPCStringEnumerator(sOPC& core, std::shared_ptr<const std::vector<std::string>> list,
                         size_t pos = 0);
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    TELEGATE_REFCOUNT
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumString** ppenum) override;

  private:
    sOPC& FCore;
    std::shared_ptr<const std::vector<std::string>> FList;
    std::mutex FMu;
    size_t nextIndex;
};

class sOPCItemEnumerator final : public TRefCounted, public IEnumOPCItemAttributes {
  public:
    // Reference count 1; keeps the group alive and sees its live item list.
    sOPCItemEnumerator(sOPC& core, sOPCGroup& group, size_t pos = 0);
    ~sOPCItemEnumerator() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    TELEGATE_REFCOUNT
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray,
                                   ULONG* pceltFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

  private:
    sOPC& FCore;
    sOPCGroup& FGroup;
    std::mutex FMu;
    size_t nextIndex;
};

// Frees the strings and values inside attribute entries (not the array).
void ClearItemAttributes(OPCITEMATTRIBUTES& a);

}  // namespace telegate::opc
