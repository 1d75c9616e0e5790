#include "opc/Server.h"

#include <algorithm>
#include <exception>

#include "opc/Enumerators.h"
#include "opc/Group.h"

namespace telegate::opc {

using com::IidOf;

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

namespace {
constexpr const char* kVendorInfo = "Telegate OPC DA 2.0 server for IEC 60870-5-104 stations";
}

// ---- Browse filter pattern ---------------------------------------------------------------

namespace {

// The code points of a UTF-8 string; a byte that does not start a well-formed
// sequence stands for U+FFFD, so any input decodes.
std::u32string DecodeUtf8(const std::string& s) {
    std::u32string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        int extra = -1;
        char32_t cp = 0;
        if (b < 0x80) {
            extra = 0;
            cp = b;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            cp = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            cp = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            cp = b & 0x07u;
        }
        bool ok = extra >= 0 && i + static_cast<size_t>(extra) < s.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
            if ((c & 0xC0u) != 0x80u) ok = false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
                   (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF))
            ok = false;
        if (!ok) {
            out.push_back(U'\uFFFD');
            ++i;
            continue;
        }
        out.push_back(cp);
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

// Simple case folding for ASCII, Latin-1 and Cyrillic (station and signal names are
// often Russian).
char32_t FoldLower(char32_t c) {
    if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 0x20;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    return c;
}
char32_t FoldUpper(char32_t c) {
    if ((c >= U'a' && c <= U'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

}  // namespace

bool TBrowsePattern::Compile(const std::string& utf8) {
    FTokens.clear();
    FMinLength = 0;
    const std::u32string p = DecodeUtf8(utf8);
    for (size_t i = 0; i < p.size(); ++i) {
        TToken t;
        const char32_t c = p[i];
        if (c == U'*') {
            if (!FTokens.empty() && FTokens.back().Kind == tkStar) continue;  // ** is *
            t.Kind = tkStar;
        } else if (c == U'?') {
            t.Kind = tkAny;
        } else if (c == U'#') {
            t.Kind = tkDigit;
        } else if (c == U'[') {
            t.Kind = tkSet;
            size_t j = i + 1;
            if (j < p.size() && p[j] == U'!') {
                t.Negate = true;
                ++j;
            }
            const size_t first = j;
            // A ']' right at the start closes an empty list, which matches nothing a
            // client could want: refused below like an unterminated list.
            while (j < p.size() && p[j] != U']') {
                char32_t lo = p[j], hi = p[j];
                // '-' between two characters makes a range; at either end it is itself.
                if (j + 2 < p.size() && p[j + 1] == U'-' && p[j + 2] != U']') {
                    hi = p[j + 2];
                    if (hi < lo) return false;
                    j += 2;
                }
                t.Ranges.emplace_back(lo, hi);
                ++j;
            }
            if (j >= p.size() || j == first) return false;
            i = j;
        } else {
            t.Kind = tkChar;
            t.Char = c;
        }
        if (t.Kind != tkStar) ++FMinLength;
        FTokens.push_back(std::move(t));
    }
    return true;
}

bool TBrowsePattern::MatchOne(const TToken& t, char32_t c) const {
    switch (t.Kind) {
        case tkAny:
            return true;
        case tkDigit:
            return c >= U'0' && c <= U'9';
        case tkChar:
            return FoldLower(c) == FoldLower(t.Char);
        case tkSet: {
            const char32_t lower = FoldLower(c), upper = FoldUpper(c);
            bool in = false;
            for (const auto& [lo, hi] : t.Ranges)
                if ((c >= lo && c <= hi) || (lower >= lo && lower <= hi) ||
                    (upper >= lo && upper <= hi)) {
                    in = true;
                    break;
                }
            return in != t.Negate;
        }
        case tkStar:
            break;
    }
    return false;
}

bool TBrowsePattern::Match(const std::string& utf8) const {
    if (FTokens.empty()) return true;
    const std::u32string s = DecodeUtf8(utf8);
    if (s.size() < FMinLength) return false;
    // Every token but '*' takes exactly one character, so one remembered '*' is enough
    // to backtrack to: quadratic at worst, never exponential.
    size_t si = 0, pi = 0;
    size_t starP = std::u32string::npos, starS = 0;
    while (si < s.size()) {
        if (pi < FTokens.size() && FTokens[pi].Kind == tkStar) {
            starP = pi++;
            starS = si;
        } else if (pi < FTokens.size() && MatchOne(FTokens[pi], s[si])) {
            ++pi;
            ++si;
        } else if (starP != std::u32string::npos) {
            pi = starP + 1;
            si = ++starS;
        } else {
            return false;
        }
    }
    while (pi < FTokens.size() && FTokens[pi].Kind == tkStar) ++pi;
    return pi == FTokens.size();
}

// ---- Browsing -------------------------------------------------------------------------

// Each browse step works on one address space (a rebuild may publish another
// meanwhile; the one taken stays valid).
bool sOPCBrowse::BrowseUp() {
    if (FParent == 0) return false;
    const TAddressSpace& sp = FCore.Space();
    const int idx = sp.IndexOfNode(FParent);
    FParent = idx < 0 ? 0 : sp.Nodes[static_cast<size_t>(idx)]->Parent;
    return true;
}

bool sOPCBrowse::BrowseDown(const std::string& stBranch) {
    for (const auto& n : FCore.Space().Nodes)
        if (n->NodeType == ntBranch && n->Parent == FParent && n->stItemDataID == stBranch) {
            FParent = n->Ident;
            return true;
        }
    return false;
}

bool sOPCBrowse::BrowseTo(const std::string& stItemID) {
    if (stItemID.empty()) {
        FParent = 0;
        return true;
    }
    for (const auto& n : FCore.Space().Nodes)
        if (n->NodeType == ntBranch && n->stItemID == stItemID) {
            FParent = n->Ident;
            return true;
        }
    return false;
}

bool sOPCBrowse::BelowPosition(const TAddressSpace& sp, const sOPCNode& n) const {
    // Up the parent chain (bounded: a faulty construction may make it loop). A chain
    // that ends at an unknown parent ends at the root, as the node's item ID does.
    int32_t p = n.Parent;
    const auto& nodes = sp.Nodes;
    for (size_t steps = 0; steps <= nodes.size(); ++steps) {
        if (p == FParent) return true;
        const int idx = sp.IndexOfNode(p);
        if (idx < 0) return FParent == 0;
        p = nodes[static_cast<size_t>(idx)]->Parent;
    }
    return false;
}

std::vector<std::string> sOPCBrowse::BrowseOPCItems(DWORD Filter, const TBrowseFilter& filter) {
    std::vector<std::string> out;
    if (Filter != OPC_BRANCH && Filter != OPC_LEAF && Filter != OPC_FLAT) return out;
    const bool flat = Filter == OPC_FLAT;
    const int32_t kind = Filter == OPC_BRANCH ? ntBranch : ntLeaf;
    const TAddressSpace& sp = FCore.Space();
    for (const auto& n : sp.Nodes) {
        if (n->NodeType != kind) continue;
        if (flat ? !BelowPosition(sp, *n) : n->Parent != FParent) continue;
        if (kind == ntLeaf) {
            if (filter.DataType != VT_EMPTY && n->vtCanonicalDataType != filter.DataType) continue;
            if ((n->dwAccessRights & filter.AccessRights) != filter.AccessRights) continue;
        }
        // Flat answers are item IDs, and the pattern applies to what is answered.
        const std::string& name = flat ? n->stItemID : n->stItemDataID;
        if (!filter.Criteria.Match(name)) continue;
        if (FCore.LogEnabled()) FCore.WriteOPCLog("sOPCBrowse.BrowseOPCItems - " + name);
        out.push_back(name);
    }
    return out;
}

std::string sOPCBrowse::GetItemID(const std::string& stItemDataID) {
    std::string id = "?";
    for (const auto& n : FCore.Space().Nodes)
        if (n->Parent == FParent && n->stItemDataID == stItemDataID) id = n->stItemID;
    return id;
}

std::vector<const sOPCNode*> sOPCBrowse::Properties(const std::string& stItemID) {
    std::vector<const sOPCNode*> out;
    const TAddressSpace& sp = FCore.Space();
    const int idx = sp.IndexOfItemID(stItemID);
    if (idx < 0) return out;
    const int32_t ident = sp.Nodes[static_cast<size_t>(idx)]->Ident;
    for (const auto& n : sp.Nodes)
        if (n->NodeType == ntProperty && n->Parent == ident) out.push_back(n.get());
    return out;
}

// ---- Construction ----------------------------------------------------------------------

sOPCDataAccess* sOPCDataAccess::Create(sOPC& core) {
    return new sOPCDataAccess(core);
}

sOPCDataAccess::sOPCDataAccess(sOPC& core)
    : FCore(core),
      FIdent(core.NewHandle()),
      FOPCBrowse(core),
      FShutdown(*static_cast<IOPCServer*>(this), *this, IidOf<IOPCShutdown>(),
                [this](IUnknown* sink, bool c) { ConnectEvent(sink, c); }) {
    FCore.WriteOPCLog("sOPCDataAccess.Initialize - " + std::to_string(FIdent));
    FCore.WaitCanStart();
    FStartTime = FCore.Now();
    FCore.InitAddressSpace();
    FCore.AddDataAccessServer(this);
    FCore.UpAndDown(true);
}

sOPCDataAccess::~sOPCDataAccess() {
    FCore.WriteOPCLog("sOPCDataAccess.Destroy - " + std::to_string(FIdent));
    FCallbacks.Stop();
    if (FClientIUnknown) FClientIUnknown->Release();
    FCore.RemoveDataAccessServer(this);
}

HRESULT sOPCDataAccess::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid == IidOf<IUnknown>() || riid == IidOf<IOPCServer>())
        *ppv = static_cast<IOPCServer*>(this);
    else if (riid == IidOf<IOPCCommon>())
        *ppv = static_cast<IOPCCommon*>(this);
    else if (riid == IidOf<IOPCServerPublicGroups>())
        *ppv = static_cast<IOPCServerPublicGroups*>(this);
    else if (riid == IidOf<IOPCBrowseServerAddressSpace>())
        *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
    else if (riid == IidOf<IOPCItemProperties>())
        *ppv = static_cast<IOPCItemProperties*>(this);
    else if (riid == IidOf<IConnectionPointContainer>())
        *ppv = static_cast<IConnectionPointContainer*>(this);
    else if (riid == IidOf<IPersistFile>() || riid == IidOf<IPersist>())
        *ppv = static_cast<IPersistFile*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

void sOPCDataAccess::ConnectEvent(IUnknown* sink, bool connecting) {
    FCore.WriteOPCLog(std::string("sOPCDataAccess.ConnectEvent - ") + (connecting ? "1" : "0"));
    IUnknown* old = nullptr;
    {
        std::lock_guard lock(FSinkLock);
        old = FClientIUnknown;
        FClientIUnknown = connecting ? sink : nullptr;
    }
    if (old) old->Release();
    if (!connecting) FCore.UpAndDown(false);
}

bool sOPCDataAccess::ShutDown() {
    IUnknown* sink = nullptr;
    {
        std::lock_guard lock(FSinkLock);
        sink = FClientIUnknown;
        if (sink) sink->AddRef();
    }
    if (!sink) return false;
    IOPCShutdown* sd = nullptr;
    bool done = false;
    if (SUCCEEDED(sink->QueryInterface(IidOf<IOPCShutdown>(), reinterpret_cast<void**>(&sd))) &&
        sd) {
        const com::WString reason = com::W("Terminated by User.");
        sd->ShutdownRequest(reason.c_str());
        sd->Release();
        done = true;
    }
    sink->Release();
    return done;
}

// ---- Group list -------------------------------------------------------------------------

void sOPCDataAccess::AddOPCGroup(sOPCGroup* group) {
    std::lock_guard lock(FCS);
    FOPCGroup.push_back(group);
}

void sOPCDataAccess::RemoveGroupFromList(sOPCGroup* group) {
    std::lock_guard lock(FCS);
    auto it = std::find(FOPCGroup.begin(), FOPCGroup.end(), group);
    if (it != FOPCGroup.end()) FOPCGroup.erase(it);
}

sOPCGroup* sOPCDataAccess::FindGroup(const std::string& name) {
    std::lock_guard lock(FCS);
    for (sOPCGroup* g : FOPCGroup)
        if (g->Name() == name && g->TryAddRef()) return g;
    return nullptr;
}

bool sOPCDataAccess::NameTaken(const std::string& name) const {
    for (sOPCGroup* g : FOPCGroup)
        if (g->Name() == name) return true;
    return false;
}

bool sOPCDataAccess::GenerateUniqueGroupName(std::string& Name) {
    std::lock_guard lock(FCS);
    std::string candidate = Name;
    int i = 1;
    while (NameTaken(candidate) && i < 9999) candidate = Name + "_" + std::to_string(i++);
    if (NameTaken(candidate)) return false;
    Name = candidate;
    return true;
}

HRESULT sOPCDataAccess::ChangeGroupToPublic(const std::string& Name) {
    sOPCGroup* g = FindGroup(Name);
    if (!g) return E_FAIL;
    g->SetPublic();
    g->Release();
    return S_OK;
}

std::vector<std::string> sOPCDataAccess::GroupNames(int scope) const {
    std::lock_guard lock(FCS);
    std::vector<std::string> out;
    for (sOPCGroup* g : FOPCGroup)
        if (scope == 2 || (scope == 1) == g->IsPublic()) out.push_back(g->Name());
    return out;
}

int32_t sOPCDataAccess::GroupCount(bool PublicFlag) const {
    std::lock_guard lock(FCS);
    return static_cast<int32_t>(
        std::count_if(FOPCGroup.begin(), FOPCGroup.end(),
                      [&](sOPCGroup* g) { return g->IsPublic() == PublicFlag; }));
}

HRESULT sOPCDataAccess::GroupQuery(sOPCGroup* group, REFIID riid, LPUNKNOWN* ppUnk) {
    const HRESULT hr = group->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
    group->Release();
    return hr;
}

// ---- IOPCServer --------------------------------------------------------------------------

HRESULT sOPCDataAccess::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                 OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                 DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                 REFIID riid, LPUNKNOWN* ppUnk) {
    std::string name = com::WideToUtf8(szName);
    LOG_LINE("sOPCDataAccess.AddGroup - " + name);
    com::Clear(ppUnk);
    if (phServerGroup) *phServerGroup = 0;
    if (pRevisedUpdateRate) *pRevisedUpdateRate = 0;
    try {
        if (!ppUnk || !phServerGroup || !pRevisedUpdateRate) return E_INVALIDARG;
        if (pPercentDeadband && !(*pPercentDeadband >= 0.0f && *pPercentDeadband <= 100.0f))
            return E_INVALIDARG;
        (void)riid;  // the group is answered whatever riid names
        sOPCGroup* g = nullptr;
        {
            // Name choice and insertion under one lock: two clients' threads adding the
            // same name at once still get two names.
            std::lock_guard lock(FCS);
            std::string candidate = name;
            int i = 1;
            while (NameTaken(candidate) && i < 9999) candidate = name + "_" + std::to_string(i++);
            if (NameTaken(candidate)) return OPC_E_DUPLICATENAME;
            g = new sOPCGroup(*this, FCore);
            g->Init(candidate, bActive != 0, dwRequestedUpdateRate, hClientGroup, pTimeBias,
                    pPercentDeadband, dwLCID);
            FOPCGroup.push_back(g);
        }
        *phServerGroup = g->Handle();
        *pRevisedUpdateRate = g->UpdateRate();
        *ppUnk = static_cast<IOPCItemMgt*>(g);
        return S_OK;
    }
    CATCH_ALL("sOPCDataAccess.AddGroup")
}

HRESULT sOPCDataAccess::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    (void)dwLocale;
    LOG_LINE("sOPCDataAccess.GetErrorString 1 - " + std::to_string(dwError));
    com::Clear(ppString);
    if (!ppString) return E_INVALIDARG;
    *ppString = com::TaskStrDup("Error " + std::to_string(dwError));
    return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT sOPCDataAccess::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    const std::string name = com::WideToUtf8(szName);
    LOG_LINE("sOPCDataAccess.GetGroupByName - " + name);
    com::Clear(ppUnk);
    try {
        if (!ppUnk || !szName) return E_INVALIDARG;
        sOPCGroup* g = FindGroup(name);
        if (!g) return E_INVALIDARG;
        return GroupQuery(g, riid, ppUnk);
    }
    CATCH_ALL("sOPCDataAccess.GetGroupByName")
}

HRESULT sOPCDataAccess::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
    FCore.WriteOPCLog("sOPCDataAccess.GetStatus");
    com::Clear(ppServerStatus);
    try {
        if (!ppServerStatus) return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* st = com::AllocOPCArray<OPCSERVERSTATUS>(1, hr);
        if (!st) return E_OUTOFMEMORY;
        st->szVendorInfo = com::TaskStrDup(kVendorInfo);
        if (!st->szVendorInfo) {
            com::FreeOPCArray(st);
            return E_OUTOFMEMORY;
        }
        st->ftStartTime = FCore.FileTime(FStartTime);
        st->ftCurrentTime = FCore.FileTime(FCore.Now());
        st->ftLastUpdateTime = FCore.FileTime(FLastDataUpdateToClient.load());
        st->dwServerState = OPC_STATUS_RUNNING;
        st->dwGroupCount = static_cast<DWORD>(GroupCount(false) + GroupCount(true));
        st->dwBandWidth = 0xFFFFFFFFu;
        st->wMajorVersion = 1;
        st->wMinorVersion = 1;
        st->wBuildNumber = 1;
        *ppServerStatus = st;
        return S_OK;
    }
    CATCH_ALL("sOPCDataAccess.GetStatus")
}

HRESULT sOPCDataAccess::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    (void)bForce;
    FCore.WriteOPCLog("sOPCDataAccess.RemoveGroup");
    std::lock_guard lock(FCS);
    auto it = std::find_if(FOPCGroup.begin(), FOPCGroup.end(),
                           [&](sOPCGroup* g) { return g->Handle() == hServerGroup; });
    if (it != FOPCGroup.end()) FOPCGroup.erase(it);
    return S_OK;
}

HRESULT sOPCDataAccess::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) {
    (void)riid;
    LOG_LINE("sOPCDataAccess.CreateGroupEnumerator - " + std::to_string(dwScope));
    com::Clear(ppUnk);
    try {
        if (!ppUnk) return E_INVALIDARG;
        int scope = 0;
        if (dwScope == OPC_ENUM_PUBLIC_CONNECTIONS || dwScope == OPC_ENUM_PUBLIC) scope = 1;
        if (dwScope == OPC_ENUM_ALL_CONNECTIONS || dwScope == OPC_ENUM_ALL) scope = 2;
        auto list = std::make_shared<const std::vector<std::string>>(GroupNames(scope));
        *ppUnk = static_cast<IEnumString*>(new sOPCStringEnumerator(FCore, std::move(list)));
        return S_OK;
    }
    CATCH_ALL("sOPCDataAccess.CreateGroupEnumerator")
}

// ---- IOPCCommon ---------------------------------------------------------------------------

HRESULT sOPCDataAccess::SetLocaleID(LCID dwLcid) {
    FCore.WriteOPCLog("sOPCDataAccess.SetLocaleID");
    FLcid = dwLcid;
    return S_OK;
}

HRESULT sOPCDataAccess::GetLocaleID(LCID* pdwLcid) {
    FCore.WriteOPCLog("sOPCDataAccess.GetLocaleID");
    if (!pdwLcid) return E_INVALIDARG;
    *pdwLcid = FLcid;
    return S_OK;
}

HRESULT sOPCDataAccess::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
    FCore.WriteOPCLog("sOPCDataAccess.QueryAvailableLocaleIDs");
    if (pdwCount) *pdwCount = 0;
    com::Clear(pdwLcid);
    return S_FALSE;
}

HRESULT sOPCDataAccess::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    LOG_LINE("sOPCDataAccess.GetErrorString 2 - " + std::to_string(dwError));
    com::Clear(ppString);
    if (!ppString) return E_INVALIDARG;
    *ppString = com::TaskStrDup("Data Access Error " + std::to_string(dwError) + " ");
    return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT sOPCDataAccess::SetClientName(LPCWSTR szName) {
    if (!szName) {
        FCore.WriteOPCLog("sOPCDataAccess.SetClientName - Invalid Argument");
        return E_INVALIDARG;
    }
    const std::string name = com::WideToUtf8(szName);
    LOG_LINE("sOPCDataAccess.SetClientName - " + name);
    std::lock_guard lock(FNameLock);
    FClientName = name;
    return S_OK;
}

// ---- IOPCServerPublicGroups ---------------------------------------------------------------

HRESULT sOPCDataAccess::GetPublicGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    com::Clear(ppUnk);
    try {
        sOPCGroup* g = (ppUnk && szName) ? FindGroup(com::WideToUtf8(szName)) : nullptr;
        if (!g) {
            FCore.WriteOPCLog("sOPCDataAccess.GetPublicGroupByName - Invalid Argument");
            return E_INVALIDARG;
        }
        LOG_LINE("sOPCDataAccess.GetPublicGroupByName - " + com::WideToUtf8(szName));
        return GroupQuery(g, riid, ppUnk);
    }
    CATCH_ALL("sOPCDataAccess.GetPublicGroupByName")
}

HRESULT sOPCDataAccess::RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) {
    (void)bForce;
    FCore.WriteOPCLog("sOPCDataAccess.RemovePublicGroup");
    std::lock_guard lock(FCS);
    auto it = std::find_if(FOPCGroup.begin(), FOPCGroup.end(), [&](sOPCGroup* g) {
        return g->Handle() == hServerGroup && g->IsPublic();
    });
    if (it == FOPCGroup.end()) return E_INVALIDARG;
    FOPCGroup.erase(it);
    return S_OK;
}

// ---- IOPCBrowseServerAddressSpace ------------------------------------------------------------

HRESULT sOPCDataAccess::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
    FCore.WriteOPCLog("sOPCDataAccess.QueryOrganization");
    if (!pNameSpaceType) return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_HIERARCHIAL;
    return S_OK;
}

HRESULT sOPCDataAccess::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                             LPCWSTR szString) {
    const std::string s = com::WideToUtf8(szString);
    LOG_LINE("sOPCDataAccess.ChangeBrowsePosition - " + std::to_string(dwBrowseDirection) + " - " +
             s);
    try {
        std::lock_guard lock(FBrowseLock);
        switch (dwBrowseDirection) {
            case OPC_BROWSE_UP:
                return FOPCBrowse.BrowseUp() ? S_OK : E_FAIL;
            case OPC_BROWSE_DOWN:
                return FOPCBrowse.BrowseDown(s) ? S_OK : E_FAIL;
            case OPC_BROWSE_TO:
                return FOPCBrowse.BrowseTo(s) ? S_OK : E_INVALIDARG;
            default:
                return S_OK;
        }
    }
    CATCH_ALL("sOPCDataAccess.ChangeBrowsePosition")
}

HRESULT sOPCDataAccess::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                         VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                         LPENUMSTRING* ppIEnumString) {
    LOG_LINE("sOPCDataAccess.BrowseOPCItemIDs - " + std::to_string(dwBrowseFilterType));
    com::Clear(ppIEnumString);
    try {
        if (!ppIEnumString) return E_INVALIDARG;
        TBrowseFilter filter;
        if (!filter.Criteria.Compile(com::WideToUtf8(szFilterCriteria))) return OPC_E_INVALIDFILTER;
        filter.DataType = vtDataTypeFilter;
        filter.AccessRights = dwAccessRightsFilter;
        std::vector<std::string> names;
        {
            std::lock_guard lock(FBrowseLock);
            names = FOPCBrowse.BrowseOPCItems(dwBrowseFilterType, filter);
        }
        auto list = std::make_shared<const std::vector<std::string>>(std::move(names));
        *ppIEnumString = new sOPCStringEnumerator(FCore, std::move(list));
        return S_OK;
    }
    CATCH_ALL("sOPCDataAccess.BrowseOPCItemIDs")
}

HRESULT sOPCDataAccess::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
    const std::string s = com::WideToUtf8(szItemDataID);
    LOG_LINE("sOPCDataAccess.GetItemID - " + s);
    com::Clear(szItemID);
    try {
        if (!szItemID) return E_INVALIDARG;
        std::string id;
        {
            std::lock_guard lock(FBrowseLock);
            id = FOPCBrowse.GetItemID(s);
        }
        *szItemID = com::TaskStrDup(id);
        return *szItemID ? S_OK : E_OUTOFMEMORY;
    }
    CATCH_ALL("sOPCDataAccess.GetItemID")
}

HRESULT sOPCDataAccess::BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumAccessPaths) {
    const std::string s = com::WideToUtf8(szItemID);
    LOG_LINE("sOPCDataAccess.BrowseAccessPaths - " + s);
    com::Clear(ppIEnumAccessPaths);
    if (!ppIEnumAccessPaths) return E_INVALIDARG;
    sOPCNode* node = FCore.GetOPCNode(s, -1);
    if (!node) {
        FCore.WriteOPCLog("sOPCDataAccess.BrowseAccessPaths - Exception");
        FCore.WriteOPCLogException("sOPCDataAccess.BrowseAccessPaths", "unknown item ID");
        return E_UNEXPECTED;
    }
    if (!node->slAddressPathList) return S_FALSE;
    // The node's list lives as long as the core: the enumerator does not own it.
    std::shared_ptr<const std::vector<std::string>> list(&*node->slAddressPathList,
                                                         [](const std::vector<std::string>*) {});
    *ppIEnumAccessPaths = new sOPCStringEnumerator(FCore, std::move(list));
    return S_OK;
}

// ---- IOPCItemProperties ---------------------------------------------------------------------

HRESULT sOPCDataAccess::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                 DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                                 VARTYPE** ppvtDataTypes) {
    const std::string s = com::WideToUtf8(szItemID);
    LOG_LINE("sOPCDataAccess.QueryAvailableProperties - " + s);
    if (pdwCount) *pdwCount = 0;
    com::Clear(ppPropertyIDs);
    com::Clear(ppDescriptions);
    com::Clear(ppvtDataTypes);
    try {
        if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_INVALIDARG;
        if (!FCore.GetOPCNode(s, -1)) return OPC_E_INVALIDITEMID;
        std::vector<const sOPCNode*> props;
        {
            std::lock_guard lock(FBrowseLock);
            props = FOPCBrowse.Properties(s);
        }
        if (props.empty()) return S_OK;
        const DWORD n = static_cast<DWORD>(props.size());
        HRESULT hr = S_OK;
        auto* ids = com::AllocOPCArray<DWORD>(n, hr);
        auto* descs = com::AllocOPCArray<LPWSTR>(n, hr);
        auto* types = com::AllocOPCArray<VARTYPE>(n, hr);
        bool ok = ids && descs && types;
        for (DWORD i = 0; ok && i < n; ++i) {
            ids[i] = props[i]->dwPropertyID;
            descs[i] = com::TaskStrDup(props[i]->stDescription);
            types[i] = props[i]->vtPropertyDataType;
            ok = descs[i] != nullptr;
        }
        if (!ok) {
            if (descs)
                for (DWORD i = 0; i < n; ++i) CoTaskMemFree(descs[i]);
            com::FreeOPCArray(ids);
            com::FreeOPCArray(descs);
            com::FreeOPCArray(types);
            return E_OUTOFMEMORY;
        }
        *pdwCount = n;
        *ppPropertyIDs = ids;
        *ppDescriptions = descs;
        *ppvtDataTypes = types;
        return S_OK;
    }
    CATCH_ALL("sOPCDataAccess.QueryAvailableProperties")
}

HRESULT sOPCDataAccess::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                          VARIANT** ppvData, HRESULT** ppErrors) {
    const std::string s = com::WideToUtf8(szItemID);
    LOG_LINE("sOPCDataAccess.GetItemProperties - " + s);
    com::Clear(ppvData);
    com::Clear(ppErrors);
    try {
        if (!ppvData || !ppErrors) return E_INVALIDARG;
        if (!FCore.GetOPCNode(s, -1)) return OPC_E_INVALIDITEMID;
        if (dwCount == 0 || !pdwPropertyIDs || dwCount > com::kMaxCallCount) return E_INVALIDARG;
        std::vector<const sOPCNode*> props;
        {
            std::lock_guard lock(FBrowseLock);
            props = FOPCBrowse.Properties(s);
        }
        HRESULT hr = S_OK;
        auto* data = com::AllocOPCArray<VARIANT>(dwCount, hr);
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!data || !errors) {
            com::FreeOPCArray(data);
            com::FreeOPCArray(errors);
            return E_OUTOFMEMORY;
        }
        for (DWORD i = 0; i < dwCount; ++i) {
            const sOPCNode* match = nullptr;
            for (const sOPCNode* p : props)
                if (p->dwPropertyID == pdwPropertyIDs[i]) match = p;  // the last one wins
            if (match) com::CopyVariant(&data[i], &match->vPropertyData.get());
            errors[i] = S_OK;
        }
        *ppvData = data;
        *ppErrors = errors;
        return S_OK;
    }
    CATCH_ALL("sOPCDataAccess.GetItemProperties")
}

HRESULT sOPCDataAccess::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                      LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
    (void)pdwPropertyIDs;
    const std::string s = com::WideToUtf8(szItemID);
    LOG_LINE("sOPCDataAccess.LookupItemIDs - " + s + " - " + std::to_string(dwCount));
    com::Clear(ppszNewItemIDs);
    com::Clear(ppErrors);
    try {
        if (!ppszNewItemIDs || !ppErrors) return E_INVALIDARG;
        if (!FCore.GetOPCNode(s, -1)) return OPC_E_INVALIDITEMID;
        if (dwCount == 0 || dwCount > com::kMaxCallCount) return E_INVALIDARG;
        HRESULT hr = S_OK;
        auto* ids = com::AllocOPCArray<LPWSTR>(dwCount, hr);
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!ids || !errors) {
            com::FreeOPCArray(ids);
            com::FreeOPCArray(errors);
            return E_OUTOFMEMORY;
        }
        *ppszNewItemIDs = ids;
        *ppErrors = errors;
        return S_OK;
    }
    CATCH_ALL("sOPCDataAccess.LookupItemIDs")
}

// ---- IConnectionPointContainer and IPersistFile -----------------------------------------------

HRESULT sOPCDataAccess::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
    FCore.WriteOPCLog("sOPCDataAccess.EnumConnectionPoints - not implemented");
    com::Clear(ppEnum);
    return E_NOTIMPL;
}

HRESULT sOPCDataAccess::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
    FCore.WriteOPCLog("sOPCDataAccess.FindConnectionPoint");
    com::Clear(ppCP);
    if (!ppCP) return E_INVALIDARG;
    if (!(riid == IidOf<IOPCShutdown>())) return E_NOINTERFACE;
    *ppCP = &FShutdown;
    FShutdown.AddRef();
    return S_OK;
}

HRESULT sOPCDataAccess::GetClassID(CLSID*) {
    FCore.WriteOPCLog("sOPCDataAccess.GetClassID - not implemented");
    return S_FALSE;
}
HRESULT sOPCDataAccess::IsDirty() {
    FCore.WriteOPCLog("sOPCDataAccess.IsDirty - not implemented");
    return S_FALSE;
}
HRESULT sOPCDataAccess::Load(LPCOLESTR, DWORD) {
    FCore.WriteOPCLog("sOPCDataAccess.Load - not implemented");
    return S_FALSE;
}
HRESULT sOPCDataAccess::Save(LPCOLESTR, BOOL) {
    FCore.WriteOPCLog("sOPCDataAccess.Save - not implemented");
    return S_FALSE;
}
HRESULT sOPCDataAccess::SaveCompleted(LPCOLESTR) {
    FCore.WriteOPCLog("sOPCDataAccess.SaveCompleted - not implemented");
    return S_FALSE;
}
HRESULT sOPCDataAccess::GetCurFile(LPOLESTR* ppszFileName) {
    FCore.WriteOPCLog("sOPCDataAccess.GetCurFile - not implemented");
    com::Clear(ppszFileName);
    return S_FALSE;
}

}  // namespace telegate::opc
