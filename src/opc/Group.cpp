#include "opc/Group.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>

#include "opc/Enumerators.h"
#include "opc/ErrorText.h"
#include "opc/Server.h"

namespace telegate::opc {

using com::IidOf;

namespace {

constexpr DWORD kMinUpdateRate = 100;
constexpr size_t kMaxQueuedRequests = 10000;
constexpr double kTickJitterMs = 2.0;

// The arrays handed to one data callback; freed after the callback returns.
struct TCallbackArrays {
    DWORD Count = 0;
    OPCHANDLE* ClientID = nullptr;
    VARIANT* Values = nullptr;
    WORD* Quality = nullptr;
    FILETIME* Time = nullptr;
    HRESULT* Error = nullptr;

    bool Init(DWORD count, bool withValues) {
        Count = count;
        HRESULT hr = S_OK;
        ClientID = com::AllocOPCArray<OPCHANDLE>(count, hr);
        Error = com::AllocOPCArray<HRESULT>(count, hr);
        if (withValues) {
            Values = com::AllocOPCArray<VARIANT>(count, hr);
            Quality = com::AllocOPCArray<WORD>(count, hr);
            Time = com::AllocOPCArray<FILETIME>(count, hr);
        }
        return ClientID && Error && (!withValues || (Values && Quality && Time));
    }
    ~TCallbackArrays() {
        if (Values)
            for (DWORD i = 0; i < Count; ++i) VariantClear(&Values[i]);
        com::FreeOPCArray(ClientID);
        com::FreeOPCArray(Values);
        com::FreeOPCArray(Quality);
        com::FreeOPCArray(Time);
        com::FreeOPCArray(Error);
    }
};

HRESULT MasterQuality(const TCallbackArrays& a, DWORD n) {
    for (DWORD i = 0; i < n; ++i)
        if ((a.Quality[i] & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) return S_FALSE;
    return S_OK;
}

BOOL AsBool(bool b) {
    return b ? -1 : 0;
}

// The value as the client asked for it: its requested type, or the canonical one
// when it asked for none. A value that does not fit (overflow) is sent bad and
// empty for this update, never as garbage.
void AsRequested(TNodeValue& v, VARTYPE requested, VARTYPE canonical) {
    const VARTYPE target = requested != VT_EMPTY ? requested : canonical;
    if (target == VT_EMPTY || v.Value.vt() == VT_EMPTY || v.Value.vt() == target) return;
    VARIANT out;
    if (FAILED(com::ChangeType(v.Value.get(), target, out))) {
        v.Value.Clear();
        v.Quality = OPC_QUALITY_BAD;
        return;
    }
    v.Value = out;
    VariantClear(&out);
}

}  // namespace

#define LOG_LINE(text)                                   \
    do {                                                 \
        if (FCore.LogEnabled()) FCore.WriteOPCLog(text); \
    } while (0)

#define CATCH_ALL(name)                             \
    catch (const std::exception& e) {               \
        FCore.WriteOPCLog(name " - Exception");     \
        FCore.WriteOPCLogException(name, e.what()); \
        return E_UNEXPECTED;                        \
    }

sOPCGroup::sOPCGroup(sOPCDataAccess& server, sOPC& core)
    : FDataAccess(server),
      FCore(core),
      FHandle(core.NewHandle()),
      FTimer(core.Clock()),
      FConnectionPoint(*static_cast<IOPCItemMgt*>(this), *this, IidOf<IOPCDataCallback>(),
                       [this](IUnknown* sink, bool c) { OnCallbackConnect(sink, c); }) {
    FDataAccess.AddRef();
    FCore.WriteOPCLog("sOPCGroup.Create");
    FCore.RegisterGroup(this);
}

sOPCGroup::~sOPCGroup() {
    FCore.WriteOPCLog("sOPCGroup.Destroy");
    FCore.UnregisterGroup(this);
    FDataAccess.RemoveGroupFromList(this);
    {
        std::lock_guard lock(FItemLock);
        for (auto& item : FOPCItemList) --item->FOPCNode->Instance;
    }
    if (FDataCallback) FDataCallback->Release();
    FDataAccess.Release();
}

void sOPCGroup::Init(const std::string& szName, bool bActive, DWORD dwRequestedUpdateRate,
                     OPCHANDLE hClientGroup, const LONG* pTimeBias, const FLOAT* pPercentDeadband,
                     DWORD dwLCID) {
    std::lock_guard lock(FItemLock);
    FName = szName;
    FActive = bActive;
    SetUpdateRate(dwRequestedUpdateRate);
    FClientGroup = hClientGroup;
    if (pTimeBias) FTimeBias = *pTimeBias;
    if (pPercentDeadband) FPercentDeadband = *pPercentDeadband;
    FLCID = dwLCID;
}

std::string sOPCGroup::Name() const {
    std::lock_guard lock(FItemLock);
    return FName;
}

DWORD sOPCGroup::UpdateRate() const {
    std::lock_guard lock(FItemLock);
    return FRequestedUpdateRate;
}

void sOPCGroup::SetUpdateRate(DWORD rate) {
    FRequestedUpdateRate = std::max(rate, kMinUpdateRate);
    FGroupTimerEnabled = true;
}

sOPCItem* sOPCGroup::GetOPCItem(OPCHANDLE h) {
    auto it = FItemsByHandle.find(h);
    return it == FItemsByHandle.end() ? nullptr : it->second;
}

size_t sOPCGroup::ItemCount() const {
    std::lock_guard lock(FItemLock);
    return FOPCItemList.size();
}

bool sOPCGroup::ItemAttributesAt(size_t index, OPCITEMATTRIBUTES& a) {
    std::lock_guard lock(FItemLock);
    if (index >= FOPCItemList.size()) return false;
    const sOPCItem& it = *FOPCItemList[index];
    a.szAccessPath = com::TaskStrDup(it.stAccessPath);
    a.szItemID = com::TaskStrDup(it.FOPCNode->stItemID);
    a.bActive = AsBool(it.bActive);
    a.hClient = it.hClient;
    a.hServer = it.hServer;
    a.dwAccessRights = it.FOPCNode->dwAccessRights;
    a.dwBlobSize = 0;
    a.pBlob = nullptr;
    a.vtRequestedDataType = it.vtRequestedDataType;
    a.vtCanonicalDataType = it.FOPCNode->vtCanonicalDataType;
    a.dwEUType = static_cast<OPCEUTYPE>(it.FOPCNode->dwEUType);
    VariantInit(&a.vEUInfo);
    com::CopyVariant(&a.vEUInfo, &it.FOPCNode->vEUInfo.get());
    return true;
}

// ---- IUnknown ----------------------------------------------------------------------

HRESULT sOPCGroup::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IidOf<IUnknown>() || riid == IidOf<IOPCItemMgt>())
        *ppv = static_cast<IOPCItemMgt*>(this);
    else if (riid == IidOf<IOPCGroupStateMgt>())
        *ppv = static_cast<IOPCGroupStateMgt*>(this);
    else if (riid == IidOf<IOPCPublicGroupStateMgt>())
        *ppv = static_cast<IOPCPublicGroupStateMgt*>(this);
    else if (riid == IidOf<IOPCSyncIO>())
        *ppv = static_cast<IOPCSyncIO*>(this);
    else if (riid == IidOf<IOPCAsyncIO2>())
        *ppv = static_cast<IOPCAsyncIO2*>(this);
    else if (riid == IidOf<IConnectionPointContainer>())
        *ppv = static_cast<IConnectionPointContainer*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

// ---- IOPCItemMgt -------------------------------------------------------------------

HRESULT sOPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                            HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.AddItems - " + std::to_string(dwCount));
    com::Clear(ppAddResults);
    com::Clear(ppErrors);
    try {
        if (!ppAddResults || !ppErrors || (dwCount > 0 && !pItemArray) ||
            dwCount > com::kMaxCallCount)
            return E_INVALIDARG;
        if (dwCount == 0) return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* results = com::AllocOPCArray<OPCITEMRESULT>(dwCount, hr);
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!results || !errors) {
            com::FreeOPCArray(results);
            com::FreeOPCArray(errors);
            return E_OUTOFMEMORY;
        }
        HRESULT result = S_OK;
        // One address space for the whole call; every item keeps it alive.
        const TSpaceRef sp = FCore.SpaceRef();
        const bool built = FCore.AddressSpaceBuilt();
        {
            std::lock_guard lock(FItemLock);
            FOPCItemList.reserve(FOPCItemList.size() + dwCount);
            for (DWORD i = 0; i < dwCount; ++i) {
                const OPCITEMDEF& def = pItemArray[i];
                sOPCNode* node = built ? sp->Find(com::WideToUtf8(def.szItemID)) : nullptr;
                if (!node) {
                    errors[i] = OPC_E_UNKNOWNITEMID;
                    result = S_FALSE;
                    continue;
                }
                if (!com::RequestableType(def.vtRequestedDataType)) {
                    errors[i] = OPC_E_BADTYPE;
                    result = S_FALSE;
                    continue;
                }
                auto item = std::make_unique<sOPCItem>();
                item->FOPCNode = TNodeRef(sp, node);
                item->stAccessPath = com::WideToUtf8(def.szAccessPath);
                item->bActive = def.bActive != 0;
                item->hClient = def.hClient;
                item->hServer = FCore.NewHandle();
                item->vtRequestedDataType = def.vtRequestedDataType;
                ++node->Instance;
                if (FOPCItemList.empty()) FTimer.Start();
                results[i].hServer = item->hServer;
                results[i].vtCanonicalDataType = node->vtCanonicalDataType;
                results[i].dwAccessRights = node->dwAccessRights;
                results[i].dwBlobSize = 0;
                results[i].pBlob = nullptr;
                errors[i] = S_OK;
                FItemsByHandle.emplace(item->hServer, item.get());
                FOPCItemList.push_back(std::move(item));
            }
        }
        *ppAddResults = results;
        *ppErrors = errors;
        return result;
    }
    CATCH_ALL("sOPCGroup.AddItems")
}

HRESULT sOPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                 OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.ValidateItems - " + std::to_string(dwCount));
    (void)bBlobUpdate;  // no item has a blob
    com::Clear(ppValidationResults);
    com::Clear(ppErrors);
    try {
        if (!ppValidationResults || !ppErrors || !pItemArray || dwCount == 0 ||
            dwCount > com::kMaxCallCount)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* results = com::AllocOPCArray<OPCITEMRESULT>(dwCount, hr);
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!results || !errors) {
            com::FreeOPCArray(results);
            com::FreeOPCArray(errors);
            return E_OUTOFMEMORY;
        }
        HRESULT result = S_OK;
        const TSpaceRef sp = FCore.SpaceRef();
        const bool built = FCore.AddressSpaceBuilt();
        for (DWORD i = 0; i < dwCount; ++i) {
            const sOPCNode* node = built ? sp->Find(com::WideToUtf8(pItemArray[i].szItemID)) : nullptr;
            if (!node) {
                errors[i] = OPC_E_UNKNOWNITEMID;
                result = S_FALSE;
                continue;
            }
            if (!com::RequestableType(pItemArray[i].vtRequestedDataType)) {
                errors[i] = OPC_E_BADTYPE;
                result = S_FALSE;
                continue;
            }
            results[i].vtCanonicalDataType = node->vtCanonicalDataType;
            results[i].dwAccessRights = node->dwAccessRights;
        }
        *ppValidationResults = results;
        *ppErrors = errors;
        return result;
    }
    CATCH_ALL("sOPCGroup.ValidateItems")
}

HRESULT sOPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.RemoveItems - " + std::to_string(dwCount));
    com::Clear(ppErrors);
    try {
        if (!ppErrors || !phServer || dwCount == 0 || dwCount > com::kMaxCallCount)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!errors) return E_OUTOFMEMORY;
        HRESULT result = S_OK;
        std::lock_guard lock(FItemLock);
        bool removed = false;
        for (DWORD i = 0; i < dwCount; ++i) {
            auto it = FItemsByHandle.find(phServer[i]);
            if (it == FItemsByHandle.end()) {
                errors[i] = OPC_E_INVALIDHANDLE;
                result = S_FALSE;
                continue;
            }
            --it->second->FOPCNode->Instance;
            it->second->hServer = 0;  // marks it for the compaction below
            FItemsByHandle.erase(it);
            removed = true;
        }
        if (removed) {
            std::erase_if(FOPCItemList,
                          [](const std::unique_ptr<sOPCItem>& p) { return p->hServer == 0; });
            if (FOPCItemList.empty()) FTimer.Stop();
        }
        *ppErrors = errors;
        return result;
    }
    CATCH_ALL("sOPCGroup.RemoveItems")
}

namespace {
// The common frame of the per-handle item methods: checks, errors array, result.
template <typename Fn>
HRESULT PerHandle(DWORD dwCount, const OPCHANDLE* phServer, HRESULT** ppErrors, Fn fn) {
    com::Clear(ppErrors);
    if (!ppErrors || !phServer || dwCount == 0 || dwCount > com::kMaxCallCount) return E_INVALIDARG;
    HRESULT hr = S_OK;
    auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
    if (!errors) return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        errors[i] = fn(i, phServer[i]);
        if (errors[i] != S_OK) result = S_FALSE;
    }
    *ppErrors = errors;
    return result;
}
}  // namespace

HRESULT sOPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                  HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.SetActiveState - " + std::to_string(dwCount));
    try {
        std::lock_guard lock(FItemLock);
        return PerHandle(dwCount, phServer, ppErrors, [&](DWORD, OPCHANDLE h) {
            sOPCItem* item = GetOPCItem(h);
            if (!item) return OPC_E_INVALIDHANDLE;
            // An item that becomes active is sent with its current value.
            if (bActive && !item->bActive) item->FSentVersion = 0;
            item->bActive = bActive != 0;
            return S_OK;
        });
    }
    CATCH_ALL("sOPCGroup.SetActiveState")
}

HRESULT sOPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                    HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.SetClientHandles - " + std::to_string(dwCount));
    try {
        if (!phClient) {
            com::Clear(ppErrors);
            return E_INVALIDARG;
        }
        std::lock_guard lock(FItemLock);
        return PerHandle(dwCount, phServer, ppErrors, [&](DWORD i, OPCHANDLE h) {
            sOPCItem* item = GetOPCItem(h);
            if (!item) return OPC_E_INVALIDHANDLE;
            item->hClient = phClient[i];
            return S_OK;
        });
    }
    CATCH_ALL("sOPCGroup.SetClientHandles")
}

HRESULT sOPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.SetDatatypes - " + std::to_string(dwCount));
    try {
        if (!pRequestedDatatypes) {
            com::Clear(ppErrors);
            return E_INVALIDARG;
        }
        std::lock_guard lock(FItemLock);
        return PerHandle(dwCount, phServer, ppErrors, [&](DWORD i, OPCHANDLE h) {
            sOPCItem* item = GetOPCItem(h);
            if (!item) return OPC_E_INVALIDHANDLE;
            if (!com::RequestableType(pRequestedDatatypes[i])) return OPC_E_BADTYPE;
            item->vtRequestedDataType = pRequestedDatatypes[i];
            return S_OK;
        });
    }
    CATCH_ALL("sOPCGroup.SetDatatypes")
}

HRESULT sOPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
    FCore.WriteOPCLog("sOPCGroup.CreateEnumerator");
    (void)riid;
    com::Clear(ppUnk);
    try {
        if (!ppUnk) return E_INVALIDARG;
        if (ItemCount() == 0) return S_FALSE;
        *ppUnk = static_cast<IEnumOPCItemAttributes*>(new sOPCItemEnumerator(FCore, *this));
        return S_OK;
    }
    CATCH_ALL("sOPCGroup.CreateEnumerator")
}

// ---- IOPCGroupStateMgt ---------------------------------------------------------------

HRESULT sOPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                            OPCHANDLE* phServerGroup) {
    FCore.WriteOPCLog("sOPCGroup.GetState");
    com::Clear(ppName);
    try {
        if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID ||
            !phClientGroup || !phServerGroup)
            return E_INVALIDARG;
        std::lock_guard lock(FItemLock);
        LPWSTR name = com::TaskStrDup(FName);
        if (!name) return E_OUTOFMEMORY;
        *pUpdateRate = FRequestedUpdateRate;
        *pActive = AsBool(FActive);
        *ppName = name;
        *pTimeBias = FTimeBias;
        *pPercentDeadband = FPercentDeadband;
        *pLCID = FLCID;
        *phClientGroup = FClientGroup;
        *phServerGroup = FHandle;
        return S_OK;
    }
    CATCH_ALL("sOPCGroup.GetState")
}

HRESULT sOPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                            LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                            OPCHANDLE* phClientGroup) {
    FCore.WriteOPCLog("sOPCGroup.SetState");
    try {
        if (pPercentDeadband && !(*pPercentDeadband >= 0.0f && *pPercentDeadband <= 100.0f))
            return E_INVALIDARG;
        std::lock_guard lock(FItemLock);
        if (pRequestedUpdateRate) SetUpdateRate(*pRequestedUpdateRate);
        if (pActive) {
            // A group that becomes active sends every active item's current value.
            if (*pActive && !FActive) ResendAll();
            FActive = *pActive != 0;
        }
        if (pTimeBias) FTimeBias = *pTimeBias;
        if (pPercentDeadband) FPercentDeadband = *pPercentDeadband;
        if (pLCID) FLCID = *pLCID;
        if (phClientGroup) FClientGroup = *phClientGroup;
        if (pRevisedUpdateRate) *pRevisedUpdateRate = FRequestedUpdateRate;
        return S_OK;
    }
    CATCH_ALL("sOPCGroup.SetState")
}

HRESULT sOPCGroup::SetName(LPCWSTR szName) {
    const std::string name = com::WideToUtf8(szName);
    LOG_LINE("sOPCGroup.SetName - " + name);
    if (!szName) return E_INVALIDARG;
    std::lock_guard lock(FItemLock);
    FName = name;
    return S_OK;
}

sOPCGroup* sOPCGroup::CloneTo(const std::string& name) {
    auto* g = new sOPCGroup(FDataAccess, FCore);
    std::scoped_lock lock(FItemLock, g->FItemLock);
    g->FName = name;
    g->FActive = false;
    g->FRequestedUpdateRate = FRequestedUpdateRate;
    g->FGroupTimerEnabled = FGroupTimerEnabled.load();
    g->FClientGroup = FClientGroup;
    g->FTimeBias = FTimeBias;
    g->FPercentDeadband = FPercentDeadband;
    g->FLCID = FLCID;
    g->CallBackEnabled = CallBackEnabled.load();
    for (const auto& src : FOPCItemList) {
        auto item = std::make_unique<sOPCItem>();
        item->FOPCNode = src->FOPCNode;
        item->stAccessPath = src->stAccessPath;
        item->bActive = src->bActive;
        item->hClient = src->hClient;
        item->vtRequestedDataType = src->vtRequestedDataType;
        item->FQuality = src->FQuality;
        item->FSentVersion = 0;
        item->hServer = FCore.NewHandle();
        ++item->FOPCNode->Instance;
        g->FItemsByHandle.emplace(item->hServer, item.get());
        g->FOPCItemList.push_back(std::move(item));
    }
    if (!g->FOPCItemList.empty()) g->FTimer.Start();
    return g;
}

HRESULT sOPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    std::string name = com::WideToUtf8(szName);
    LOG_LINE("sOPCGroup.CloneGroup - " + name);
    com::Clear(ppUnk);
    try {
        if (!ppUnk) return E_INVALIDARG;
        if (!(riid == IidOf<IOPCItemMgt>()) && !(riid == IidOf<IUnknown>())) return E_NOINTERFACE;
        if (!FDataAccess.GenerateUniqueGroupName(name)) return OPC_E_DUPLICATENAME;
        sOPCGroup* g = CloneTo(name);
        FDataAccess.AddOPCGroup(g);
        *ppUnk = static_cast<IOPCItemMgt*>(g);  // the clone's first reference goes to the client
        return S_OK;
    }
    CATCH_ALL("sOPCGroup.CloneGroup")
}

// ---- IOPCPublicGroupStateMgt -----------------------------------------------------------

HRESULT sOPCGroup::GetState(BOOL* pPublic) {
    FCore.WriteOPCLog("sOPCGroup.GetState");
    if (!pPublic) return E_INVALIDARG;
    *pPublic = AsBool(FPublicGroupFlag);
    return S_OK;
}

HRESULT sOPCGroup::MoveToPublic() {
    FCore.WriteOPCLog("sOPCGroup.MoveToPublic");
    try {
        if (FPublicGroupFlag) return E_FAIL;
        return FDataAccess.ChangeGroupToPublic(Name());
    }
    CATCH_ALL("sOPCGroup.MoveToPublic")
}

// ---- IConnectionPointContainer ---------------------------------------------------------

HRESULT sOPCGroup::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    FCore.WriteOPCLog("sOPCGroup.EnumConnectionPoints - not implemented");
    com::Clear(ppEnum);
    return E_NOTIMPL;
}

HRESULT sOPCGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    FCore.WriteOPCLog("sOPCGroup.FindConnectionPoint");
    com::Clear(ppCP);
    if (!ppCP) return E_INVALIDARG;
    if (!(riid == IidOf<IOPCDataCallback>())) return E_NOINTERFACE;
    *ppCP = &FConnectionPoint;
    FConnectionPoint.AddRef();
    return S_OK;
}

void sOPCGroup::ResolveItems() {
    std::lock_guard lock(FItemLock);
    const TSpaceRef sp = FCore.SpaceRef();
    for (auto& item : FOPCItemList) {
        const std::string id = item->FOPCNode->stItemID;
        sOPCNode* found = sp->Find(id);
        TNodeRef node = found && found->NodeType == ntLeaf ? TNodeRef(sp, found)
                                                           : sOPC::RemovedNode(id);
        --item->FOPCNode->Instance;
        ++node->Instance;
        item->FOPCNode = std::move(node);  // lets go of the old space's node
        item->FSentVersion = 0;
    }
}

void sOPCGroup::ResendAll() {
    for (auto& item : FOPCItemList) item->FSentVersion = 0;
}

void sOPCGroup::OnCallbackConnect(IUnknown* sink, bool connecting) {
    IOPCDataCallback* old = nullptr;
    {
        std::lock_guard lock(FSinkLock);
        old = FDataCallback;
        FDataCallback = connecting ? static_cast<IOPCDataCallback*>(sink) : nullptr;
    }
    if (old) old->Release();
    // A new subscriber gets every active item's current value with the next update.
    if (connecting) {
        std::lock_guard lock(FItemLock);
        ResendAll();
    }
}

IOPCDataCallback* sOPCGroup::TakeSink() {
    std::lock_guard lock(FSinkLock);
    if (FDataCallback) FDataCallback->AddRef();
    return FDataCallback;
}

bool sOPCGroup::HasSink() {
    std::lock_guard lock(FSinkLock);
    return FDataCallback != nullptr;
}

// ---- IOPCSyncIO ---------------------------------------------------------------------------

HRESULT sOPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                        OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.Read - " + std::to_string(dwSource) + " - " + std::to_string(dwCount));
    com::Clear(ppItemValues);
    com::Clear(ppErrors);
    try {
        if (!ppItemValues || !ppErrors || !phServer || dwCount == 0 || dwCount > com::kMaxCallCount)
            return E_INVALIDARG;
        if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* values = com::AllocOPCArray<OPCITEMSTATE>(dwCount, hr);
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!values || !errors) {
            com::FreeOPCArray(values);
            com::FreeOPCArray(errors);
            return E_OUTOFMEMORY;
        }
        HRESULT result = S_OK;
        bool handedOut = false;
        {
            std::lock_guard lock(FItemLock);
            for (DWORD i = 0; i < dwCount; ++i) {
                sOPCItem* item = GetOPCItem(phServer[i]);
                if (!item) {
                    errors[i] = OPC_E_INVALIDHANDLE;
                    result = S_FALSE;
                    continue;
                }
                if (!item->ReadAble()) {
                    values[i].wQuality = 0;
                    errors[i] = OPC_E_BADRIGHTS;
                    result = S_FALSE;
                    continue;
                }
                values[i].hClient = item->hClient;
                if (dwSource == OPC_DS_DEVICE || FActive) {
                    if (dwSource == OPC_DS_DEVICE || item->bActive) {
                        TNodeValue v =
                            FCore.ReadNode(*item->FOPCNode, item->stAccessPath,
                                           item->vtRequestedDataType, dwSource == OPC_DS_DEVICE);
                        item->FQuality = v.Quality;
                        AsRequested(v, item->vtRequestedDataType,
                                    item->FOPCNode->vtCanonicalDataType);
                        v.Value.Detach(&values[i].vDataValue);
                        values[i].wQuality = v.Quality;
                        values[i].ftTimeStamp = FCore.FileTime(v.LastUpdate);
                    } else {
                        values[i].wQuality = kQualityOutOfService;
                    }
                    handedOut = true;
                } else {
                    values[i].wQuality = kQualityOutOfService;
                }
                errors[i] = S_OK;
            }
        }
        if (handedOut) FDataAccess.SetLastDataUpdateToClient(FCore.Now());
        *ppItemValues = values;
        *ppErrors = errors;
        return result;
    }
    CATCH_ALL("sOPCGroup.Read")
}

namespace {
// The answers of the writes of one call, filled by their completions.
struct TWriteWait {
    std::mutex Mu;
    std::condition_variable Cv;
    size_t Remaining = 0;
    std::vector<HRESULT> Result;
    std::vector<char> Done;
};
}  // namespace

HRESULT sOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.Write - " + std::to_string(dwCount));
    com::Clear(ppErrors);
    try {
        if (!pItemValues || !ppErrors || !phServer || dwCount == 0 || dwCount > com::kMaxCallCount)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!errors) return E_OUTOFMEMORY;
        struct TPending {
            DWORD Index;
            TNodeRef Node;
            std::string Path;
            VARTYPE Type;
        };
        std::vector<TPending> pending;
        {
            std::lock_guard lock(FItemLock);
            for (DWORD i = 0; i < dwCount; ++i) {
                sOPCItem* item = GetOPCItem(phServer[i]);
                if (!item)
                    errors[i] = OPC_E_INVALIDHANDLE;
                else if (!item->WriteAble())
                    errors[i] = OPC_E_BADRIGHTS;
                else
                    pending.push_back(
                        {i, item->FOPCNode, item->stAccessPath, item->vtRequestedDataType});
            }
        }
        // The commands run and are waited for with no lock of the group held: other
        // calls, other groups and the update cycles go on meanwhile.
        auto wait = std::make_shared<TWriteWait>();
        wait->Remaining = pending.size();
        wait->Result.assign(pending.size(), S_OK);
        wait->Done.assign(pending.size(), 0);
        for (size_t k = 0; k < pending.size(); ++k) {
            const TPending& p = pending[k];
            FCore.ItemWrite(*p.Node, pItemValues[p.Index], p.Path, p.Type, [wait, k](HRESULT r) {
                {
                    std::lock_guard lock(wait->Mu);
                    wait->Result[k] = r;
                    wait->Done[k] = 1;
                    --wait->Remaining;
                }
                wait->Cv.notify_all();
            });
        }
        std::vector<HRESULT> results;
        {
            // A write unanswered within the limit is reported as timed out; its
            // completion, if it comes, finds only the shared record.
            std::unique_lock lock(wait->Mu);
            wait->Cv.wait_for(lock, std::chrono::milliseconds(kSyncWriteLimitMs),
                              [&] { return wait->Remaining == 0; });
            results = wait->Result;
            for (size_t k = 0; k < results.size(); ++k)
                if (!wait->Done[k]) results[k] = TG_E_CMD_TIMEOUT;
        }
        HRESULT result = S_OK;
        for (size_t k = 0; k < pending.size(); ++k) errors[pending[k].Index] = results[k];
        for (DWORD i = 0; i < dwCount; ++i)
            if (errors[i] != S_OK) result = S_FALSE;
        *ppErrors = errors;
        return result;
    }
    CATCH_ALL("sOPCGroup.Write")
}

// ---- IOPCAsyncIO2 -------------------------------------------------------------------------

HRESULT sOPCGroup::QueueRequest(std::unique_ptr<sOPCAsyncIO2> req, DWORD* pdwCancelID) {
    std::lock_guard lock(FQueueLock);
    // A client that stopped returning from its callbacks cannot pile up requests
    // without end: its group's queue waits for it.
    if (AsyncIOList.size() >= kMaxQueuedRequests) return E_OUTOFMEMORY;
    req->pdwCancelID = FCore.NewHandle();
    *pdwCancelID = req->pdwCancelID;
    AsyncIOList.push_back(std::move(req));
    return S_OK;
}

bool sOPCGroup::AcceptAsyncItems(DWORD dwCount, const OPCHANDLE* phServer, const VARIANT* values,
                                 sOPCAsyncIO2& req, HRESULT* errors) {
    std::lock_guard lock(FItemLock);
    for (DWORD i = 0; i < dwCount; ++i) {
        sOPCItem* item = GetOPCItem(phServer[i]);
        if (!item)
            errors[i] = OPC_E_INVALIDHANDLE;
        else if (values ? !item->WriteAble() : !item->ReadAble())
            errors[i] = OPC_E_BADRIGHTS;
        else {
            errors[i] = S_OK;
            req.hServer.push_back(phServer[i]);
            if (values) req.ItemValues.emplace_back(values[i]);
        }
    }
    req.dwCount = static_cast<DWORD>(req.hServer.size());
    return req.dwCount > 0;
}

HRESULT sOPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                        DWORD* pdwCancelID, HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.Read - " + std::to_string(dwCount));
    com::Clear(ppErrors);
    if (pdwCancelID) *pdwCancelID = 0;
    try {
        if (!HasSink()) return CONNECT_E_NOCONNECTION;
        if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors || dwCount > com::kMaxCallCount)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!errors) return E_OUTOFMEMORY;
        auto req = std::make_unique<sOPCAsyncIO2>();
        req->OPCMode = omRead;
        req->dwTransactionID = dwTransactionID;
        req->DataSource = OPC_DS_DEVICE;
        // Items that are not valid are answered now; with none valid no transaction
        // starts and no completion is owed.
        const bool any = AcceptAsyncItems(dwCount, phServer, nullptr, *req, errors);
        const bool partial = req->dwCount != dwCount;
        if (any) {
            const HRESULT queued = QueueRequest(std::move(req), pdwCancelID);
            if (FAILED(queued)) {
                com::FreeOPCArray(errors);
                return queued;
            }
        }
        *ppErrors = errors;
        return partial ? S_FALSE : S_OK;
    }
    CATCH_ALL("sOPCGroup.Read")
}

HRESULT sOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
    LOG_LINE("sOPCGroup.Write - " + std::to_string(dwCount));
    com::Clear(ppErrors);
    if (pdwCancelID) *pdwCancelID = 0;
    try {
        if (!HasSink()) return CONNECT_E_NOCONNECTION;
        if (dwCount == 0 || !phServer || !pItemValues || !pdwCancelID || !ppErrors ||
            dwCount > com::kMaxCallCount)
            return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!errors) return E_OUTOFMEMORY;
        auto req = std::make_unique<sOPCAsyncIO2>();
        req->OPCMode = omWrite;
        req->dwTransactionID = dwTransactionID;
        const bool any = AcceptAsyncItems(dwCount, phServer, pItemValues, *req, errors);
        const bool partial = req->dwCount != dwCount;
        if (any) {
            const HRESULT queued = QueueRequest(std::move(req), pdwCancelID);
            if (FAILED(queued)) {
                com::FreeOPCArray(errors);
                return queued;
            }
        }
        *ppErrors = errors;
        return partial ? S_FALSE : S_OK;
    }
    CATCH_ALL("sOPCGroup.Write")
}

HRESULT sOPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
    LOG_LINE("sOPCGroup.Refresh2 - " + std::to_string(dwSource));
    if (pdwCancelID) *pdwCancelID = 0;
    try {
        if (!HasSink()) return CONNECT_E_NOCONNECTION;
        if (dwTransactionID == 0 || !pdwCancelID) return E_INVALIDARG;
        if (dwSource != OPC_DS_CACHE && dwSource != OPC_DS_DEVICE) return E_INVALIDARG;
        {
            std::lock_guard lock(FItemLock);
            if (!FActive) return E_FAIL;
            if (std::none_of(FOPCItemList.begin(), FOPCItemList.end(),
                             [](const auto& p) { return p->bActive; }))
                return E_FAIL;
        }
        auto req = std::make_unique<sOPCAsyncIO2>();
        req->OPCMode = omRefresh;
        req->dwTransactionID = dwTransactionID;
        req->DataSource = dwSource;
        return QueueRequest(std::move(req), pdwCancelID);
    }
    CATCH_ALL("sOPCGroup.Refresh2")
}

HRESULT sOPCGroup::Cancel2(DWORD dwCancelID) {
    LOG_LINE("sOPCGroup.Cancel2 - " + std::to_string(dwCancelID));
    std::lock_guard lock(FQueueLock);
    for (auto& r : AsyncIOList)
        if (r->pdwCancelID == dwCancelID && !r->FCancelFlag) {
            r->FCancelFlag = true;
            return S_OK;
        }
    return E_FAIL;
}

HRESULT sOPCGroup::SetEnable(BOOL bEnable) {
    LOG_LINE("sOPCGroup.SetEnable - " + std::to_string(bEnable));
    CallBackEnabled = bEnable != 0;
    return S_OK;
}

HRESULT sOPCGroup::GetEnable(BOOL* pbEnable) {
    FCore.WriteOPCLog("sOPCGroup.GetEnable");
    if (!pbEnable) return E_INVALIDARG;
    *pbEnable = AsBool(CallBackEnabled);
    return S_OK;
}

// ---- Tick, requests and the update cycle ---------------------------------------------------

void sOPCGroup::GroupTimerTick() {
    if (!FGroupTimerEnabled) return;
    // The client has not yet returned from the last callback: this group waits.
    if (FPendingCallbacks.load() > 0) return;
    for (;;) {
        std::unique_ptr<sOPCAsyncIO2> req;
        {
            std::lock_guard lock(FQueueLock);
            if (AsyncIOList.empty()) break;
            req = std::move(AsyncIOList.front());
            AsyncIOList.pop_front();
        }
        try {
            ProcessRequest(*req);
        } catch (const std::exception& e) {
            FCore.WriteOPCLogException("sOPCGroup.Timer 1", e.what());
        }
    }
    try {
        bool due = false;
        {
            std::lock_guard lock(FItemLock);
            // The stopwatch restarts a little after its tick began while the next ticks
            // keep to the 50 ms grid: a cycle is due when the rate has passed within
            // that jitter, so a rate of 100 gives a cycle every 100 ms, not every 150.
            if (FTimer.isRunning() && FTimer.msTime() + kTickJitterMs >= FRequestedUpdateRate) {
                FTimer.Start();
                due = FActive && !FOPCItemList.empty();
            }
        }
        // Nothing counts as sent while no subscriber can receive it.
        if (due && HasSink() && CallBackEnabled) {
            sOPCAsyncIO2 cycle;
            cycle.OPCMode = omTimerRefresh;
            ProcessRequest(cycle);
        }
    } catch (const std::exception& e) {
        FCore.WriteOPCLogException("sOPCGroup.Timer 2", e.what());
    }
}

void sOPCGroup::ProcessRequest(sOPCAsyncIO2& req) {
    if (req.FCancelFlag) {
        // A request cancelled while it waited: the client is told so in place of the
        // completion, in its turn, through the same queue as every other callback.
        OPCHANDLE clientGroup = 0;
        {
            std::lock_guard lock(FItemLock);
            clientGroup = FClientGroup;
        }
        const DWORD tid = req.dwTransactionID;
        Deliver([tid, clientGroup](IOPCDataCallback* sink) {
            sink->OnCancelComplete(tid, clientGroup);
        });
        return;
    }
    switch (req.OPCMode) {
        case omRead:
            RunRead(req);
            break;
        case omWrite:
            RunWrite(req);
            break;
        case omRefresh:
        case omTimerRefresh:
            RunRefresh(req);
            break;
    }
}

void sOPCGroup::Deliver(std::function<void(IOPCDataCallback*)> call, bool dataChange) {
    if (dataChange && !CallBackEnabled) return;
    IOPCDataCallback* sink = TakeSink();
    if (!sink) return;
    FDataAccess.SetLastDataUpdateToClient(FCore.Now());
    ++FPendingCallbacks;
    AddRef();
    FDataAccess.Callbacks().Post([this, sink, call = std::move(call)] {
        try {
            call(sink);
        } catch (const std::exception& e) {
            FCore.WriteOPCLogException("sOPCAsyncIO2.Refresh", e.what());
        }
        sink->Release();
        --FPendingCallbacks;
        Release();
    });
}

void sOPCGroup::RunRead(sOPCAsyncIO2& req) {
    auto a = std::make_shared<TCallbackArrays>();
    if (!a->Init(req.dwCount, true)) {
        FCore.WriteOPCLogException("sOPCAsyncIO2.Init", "out of memory");
        return;
    }
    bool anyFailed = false;
    OPCHANDLE clientGroup = 0;
    {
        std::lock_guard lock(FItemLock);
        clientGroup = FClientGroup;
        for (DWORD j = 0; j < req.dwCount; ++j) {
            sOPCItem* item = GetOPCItem(req.hServer[j]);
            if (!item) {
                a->Error[j] = OPC_E_INVALIDHANDLE;
            } else if (!item->ReadAble()) {
                a->Error[j] = OPC_E_BADRIGHTS;
            } else {
                TNodeValue v = FCore.ReadNode(*item->FOPCNode, item->stAccessPath,
                                              item->vtRequestedDataType, true);
                item->FQuality = v.Quality;
                AsRequested(v, item->vtRequestedDataType, item->FOPCNode->vtCanonicalDataType);
                a->ClientID[j] = item->hClient;
                v.Value.Detach(&a->Values[j]);
                a->Quality[j] = v.Quality;
                a->Time[j] = FCore.FileTime(v.LastUpdate);
                a->Error[j] = S_OK;
                continue;
            }
            anyFailed = true;
        }
    }
    // Items removed since the call are answered in the completion as well.
    const DWORD tid = req.dwTransactionID;
    const HRESULT masterError = anyFailed ? S_FALSE : S_OK;
    Deliver([a, tid, clientGroup, masterError](IOPCDataCallback* sink) {
        sink->OnReadComplete(tid, clientGroup, MasterQuality(*a, a->Count), masterError, a->Count,
                             a->ClientID, a->Values, a->Quality, a->Time, a->Error);
    });
}

namespace {
// The completions of one asynchronous write; the last one reports the request.
struct TAsyncWrite {
    std::mutex Mu;
    size_t Remaining = 0;
    std::shared_ptr<TCallbackArrays> A;
};
}  // namespace

void sOPCGroup::RunWrite(sOPCAsyncIO2& req) {
    auto a = std::make_shared<TCallbackArrays>();
    if (!a->Init(req.dwCount, false)) {
        FCore.WriteOPCLogException("sOPCAsyncIO2.Init", "out of memory");
        return;
    }
    struct TPending {
        DWORD Index;
        TNodeRef Node;
        std::string Path;
        VARTYPE Type;
        com::TVariant Value;
    };
    auto pending = std::make_shared<std::vector<TPending>>();
    OPCHANDLE clientGroup = 0;
    {
        std::lock_guard lock(FItemLock);
        clientGroup = FClientGroup;
        for (DWORD j = 0; j < req.dwCount; ++j) {
            sOPCItem* item = GetOPCItem(req.hServer[j]);
            if (!item) {
                a->Error[j] = OPC_E_INVALIDHANDLE;
                continue;
            }
            a->ClientID[j] = item->hClient;
            pending->push_back({j, item->FOPCNode, item->stAccessPath, item->vtRequestedDataType,
                                req.ItemValues[j]});
        }
    }
    const DWORD tid = req.dwTransactionID;
    // The group stays alive until the last command has answered; the update loop
    // does not wait for the station meanwhile.
    AddRef();
    auto state = std::make_shared<TAsyncWrite>();
    state->A = a;
    state->Remaining = pending->size() + 1;  // + 1 for the start below
    auto finish = [this, state, tid, clientGroup] {
        const auto& arr = state->A;
        HRESULT masterError = S_OK;
        for (DWORD k = 0; k < arr->Count; ++k)
            if (arr->Error[k] != S_OK) masterError = S_FALSE;
        Deliver([arr, tid, clientGroup, masterError](IOPCDataCallback* sink) {
            sink->OnWriteComplete(tid, clientGroup, masterError, arr->Count, arr->ClientID,
                                  arr->Error);
        });
        Release();
    };
    auto oneDone = [state, finish](DWORD index, HRESULT r) {
        bool last = false;
        {
            std::lock_guard lock(state->Mu);
            if (index != ~DWORD{0}) state->A->Error[index] = r;
            last = --state->Remaining == 0;
        }
        if (last) finish();
    };
    // The commands start on the core's write thread: taking a command may wait for
    // the application's main thread, and no other group's cycle waits with it.
    FCore.PostWriteStart([this, pending, oneDone] {
        for (TPending& p : *pending) {
            const DWORD index = p.Index;
            FCore.ItemWrite(*p.Node, p.Value.get(), p.Path, p.Type,
                            [oneDone, index](HRESULT r) { oneDone(index, r); });
        }
        oneDone(~DWORD{0}, S_OK);
    });
}

void sOPCGroup::RunRefresh(sOPCAsyncIO2& req) {
    const bool cycle = req.OPCMode == omTimerRefresh;
    const bool fromDevice = cycle || req.DataSource == OPC_DS_DEVICE;
    struct TEntry {
        OPCHANDLE hClient;
        TNodeValue v;
    };
    std::vector<TEntry> entries;
    OPCHANDLE clientGroup = 0;
    {
        std::lock_guard lock(FItemLock);
        clientGroup = FClientGroup;
        for (auto& p : FOPCItemList) {
            sOPCItem& item = *p;
            item.FTag = (item.bActive && item.ReadAble()) ? 1 : 0;
            if (item.FTag == 0) continue;
            TNodeValue v;
            if (cycle) {
                const bool moved =
                    FCore.ReadNodeIfMoved(*item.FOPCNode, item.stAccessPath,
                                          item.vtRequestedDataType, item.FSentVersion, v);
                item.FQuality = v.Quality;
                if (!moved) continue;
            } else {
                v = FCore.ReadNode(*item.FOPCNode, item.stAccessPath, item.vtRequestedDataType,
                                   fromDevice);
                item.FQuality = v.Quality;
            }
            item.FTag = 2;
            // What the client receives now is what later changes are measured against.
            item.FSentVersion = v.Version;
            AsRequested(v, item.vtRequestedDataType, item.FOPCNode->vtCanonicalDataType);
            entries.push_back(TEntry{item.hClient, std::move(v)});
        }
    }
    if (entries.empty()) return;
    auto a = std::make_shared<TCallbackArrays>();
    if (!a->Init(static_cast<DWORD>(entries.size()), true)) {
        FCore.WriteOPCLogException("sOPCAsyncIO2.Init", "out of memory");
        return;
    }
    for (size_t k = 0; k < entries.size(); ++k) {
        a->ClientID[k] = entries[k].hClient;
        entries[k].v.Value.Detach(&a->Values[k]);
        a->Quality[k] = entries[k].v.Quality;
        a->Time[k] = FCore.FileTime(entries[k].v.LastUpdate);
        a->Error[k] = S_OK;
    }
    const DWORD tid = req.dwTransactionID;
    Deliver(
        [a, tid, clientGroup](IOPCDataCallback* sink) {
            sink->OnDataChange(tid, clientGroup, MasterQuality(*a, a->Count), S_OK, a->Count,
                               a->ClientID, a->Values, a->Quality, a->Time, a->Error);
        },
        cycle);
}

}  // namespace telegate::opc
