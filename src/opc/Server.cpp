#include "opc/Server.h"

#include <algorithm>
#include <exception>

#include "opc/Enumerators.h"
#include "opc/ErrorText.h"
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

// Each browse step works on one address space, which it holds (a rebuild may
// publish another meanwhile).
bool sOPCBrowse::BrowseUp() {
    if (FParent == 0) return false;
    const TSpaceRef held = FCore.SpaceRef();
    const TAddressSpace& sp = *held;
    const int idx = sp.IndexOfNode(FParent);
    FParent = idx < 0 ? 0 : sp.Nodes[static_cast<size_t>(idx)]->Parent;
    return true;
}

bool sOPCBrowse::BrowseDown(const std::string& stBranch) {
    const TSpaceRef held = FCore.SpaceRef();
    for (const auto& n : held->Nodes)
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
    const TSpaceRef held = FCore.SpaceRef();
    for (const auto& n : held->Nodes)
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
    const TSpaceRef held = FCore.SpaceRef();
    const TAddressSpace& sp = *held;
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

bool sOPCBrowse::GetItemID(const std::string& stItemDataID, std::string& out) {
    const TSpaceRef held = FCore.SpaceRef();
    const TAddressSpace& sp = *held;
    if (stItemDataID.empty()) {
        const int idx = sp.IndexOfNode(FParent);
        out =
            FParent == 0 || idx < 0 ? std::string() : sp.Nodes[static_cast<size_t>(idx)]->stItemID;
        return true;
    }
    bool found = false;
    for (const auto& n : sp.Nodes)
        if (n->NodeType != ntProperty && n->Parent == FParent && n->stItemDataID == stItemDataID) {
            out = n->stItemID;
            found = true;
        }
    return found;
}

std::vector<const sOPCNode*> sOPCBrowse::Properties(const TAddressSpace& sp,
                                                    const std::string& stItemID) {
    std::vector<const sOPCNode*> out;
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

IUnknown* sOPCDataAccess::ShutdownSink() {
    std::lock_guard lock(FSinkLock);
    if (FClientIUnknown) FClientIUnknown->AddRef();
    return FClientIUnknown;
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
            // A name the client already uses is refused; without a name the group
            // gets a unique one.
            if (!name.empty() && NameTaken(name)) return OPC_E_DUPLICATENAME;
            std::string candidate = name.empty() ? std::string("Group") : name;
            int i = 1;
            while (NameTaken(candidate) && i < 100000) candidate = "Group_" + std::to_string(i++);
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

HRESULT sOPCDataAccess::ErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    com::Clear(ppString);
    if (!ppString) return E_INVALIDARG;
    if (!LocaleSupported(dwLocale)) return E_INVALIDARG;
    std::string text;
    if (!ErrorText(dwError, dwLocale, text) && FCore.SystemErrorText)
        text = FCore.SystemErrorText(dwError, dwLocale);
    if (text.empty()) return E_INVALIDARG;  // a code nobody knows
    *ppString = com::TaskStrDup(text);
    return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT sOPCDataAccess::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
    LOG_LINE("sOPCDataAccess.GetErrorString 1 - " + std::to_string(dwError));
    try {
        return ErrorString(dwError, dwLocale, ppString);
    }
    CATCH_ALL("sOPCDataAccess.GetErrorString")
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
        // Zero until this client was first sent data.
        const TDateTime last = FLastDataUpdateToClient.load();
        if (last != 0.0) st->ftLastUpdateTime = FCore.FileTime(last);
        st->dwServerState = FCore.PollingRunning() ? OPC_STATUS_RUNNING : OPC_STATUS_SUSPENDED;
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
    if (it == FOPCGroup.end()) return E_INVALIDARG;
    FOPCGroup.erase(it);
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
    if (!LocaleSupported(dwLcid)) return E_INVALIDARG;
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
    if (!pdwCount || !pdwLcid) return E_INVALIDARG;
    HRESULT hr = S_OK;
    auto* ids = com::AllocOPCArray<LCID>(2, hr);
    if (!ids) return hr;
    ids[0] = kLocaleEnglish;
    ids[1] = kLocaleRussian;
    *pdwCount = 2;
    *pdwLcid = ids;
    return S_OK;
}

HRESULT sOPCDataAccess::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
    LOG_LINE("sOPCDataAccess.GetErrorString 2 - " + std::to_string(dwError));
    try {
        return ErrorString(dwError, FLcid.load(), ppString);
    }
    CATCH_ALL("sOPCDataAccess.GetErrorString")
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
        if (!szItemDataID) return E_INVALIDARG;
        std::string id;
        bool found = false;
        {
            std::lock_guard lock(FBrowseLock);
            found = FOPCBrowse.GetItemID(s, id);
        }
        if (!found) return E_INVALIDARG;
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
    const TNodeRef node = FCore.FindNode(s);
    if (!node) {
        FCore.WriteOPCLog("sOPCDataAccess.BrowseAccessPaths - Exception");
        FCore.WriteOPCLogException("sOPCDataAccess.BrowseAccessPaths", "unknown item ID");
        return E_UNEXPECTED;
    }
    if (!node->slAddressPathList) return S_FALSE;
    // The enumerator keeps the node's address space, and so the list, alive.
    std::shared_ptr<const std::vector<std::string>> list(node, &*node->slAddressPathList);
    *ppIEnumAccessPaths = new sOPCStringEnumerator(FCore, std::move(list));
    return S_OK;
}

// ---- IOPCItemProperties ---------------------------------------------------------------------

namespace {

// The properties every leaf has.
struct TStdProperty {
    DWORD Id;
    const char* Description;
    VARTYPE Type;
};
constexpr TStdProperty kLeafProperties[] = {
    {1, "Item Canonical DataType", VT_I2},
    {2, "Item Value", VT_VARIANT},
    {3, "Item Quality", VT_I2},
    {4, "Item Timestamp", VT_DATE},
    {5, "Item Access Rights", VT_I4},
    {6, "Server Scan Rate", VT_R4},
    {101, "Item Description", VT_BSTR},
};
constexpr float kScanRateMs = 100.0f;  // the fastest update rate of a group

bool IsLeafProperty(DWORD id) {
    for (const TStdProperty& p : kLeafProperties)
        if (p.Id == id) return true;
    return false;
}

}  // namespace

bool sOPCDataAccess::LeafProperty(sOPCNode& node, DWORD id, VARIANT& out) {
    VariantInit(&out);
    switch (id) {
        case 1:
            out.vt = VT_I2;
            out.iVal = static_cast<SHORT>(node.vtCanonicalDataType);
            return true;
        case 2:
        case 3:
        case 4: {
            TNodeValue v = FCore.ReadNode(node, "", VT_EMPTY, false);
            if (id == 2) {
                v.Value.Detach(&out);
            } else if (id == 3) {
                out.vt = VT_I2;
                out.iVal = static_cast<SHORT>(v.Quality);
            } else {
                // A UTC FILETIME as an automation date (days since 1899-12-30).
                const FILETIME ft = FCore.FileTime(v.LastUpdate);
                const double ticks = static_cast<double>(
                    (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
                out.vt = VT_DATE;
                out.date = v.LastUpdate == 0.0 ? 0.0 : ticks / 864e9 - 109205.0;
            }
            return true;
        }
        case 5:
            out.vt = VT_I4;
            out.lVal = static_cast<LONG>(node.dwAccessRights);
            return true;
        case 6:
            out.vt = VT_R4;
            out.fltVal = kScanRateMs;
            return true;
        case 101: {
            // Station and tag name: the parent branch's name before the leaf's own.
            std::string text = node.stItemDataID;
            const TSpaceRef held = FCore.SpaceRef();
            const TAddressSpace& sp = *held;
            const int idx = sp.IndexOfNode(node.Parent);
            if (node.Parent != 0 && idx >= 0)
                text = sp.Nodes[static_cast<size_t>(idx)]->stItemDataID + " " + text;
            out = com::MakeBstr(text);
            return out.bstrVal != nullptr;
        }
        default:
            return false;
    }
}

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
        const TSpaceRef sp = FCore.SpaceRef();
        const sOPCNode* node = FCore.AddressSpaceBuilt() ? sp->Find(s) : nullptr;
        if (!node) return OPC_E_INVALIDITEMID;
        std::vector<const sOPCNode*> props;
        {
            std::lock_guard lock(FBrowseLock);
            props = FOPCBrowse.Properties(*sp, s);
        }
        struct TEntry {
            DWORD Id;
            std::string Description;
            VARTYPE Type;
        };
        std::vector<TEntry> list;
        if (node->NodeType == ntLeaf)
            for (const TStdProperty& p : kLeafProperties)
                list.push_back({p.Id, p.Description, p.Type});
        for (const sOPCNode* p : props)
            if (node->NodeType != ntLeaf || !IsLeafProperty(p->dwPropertyID))
                list.push_back({p->dwPropertyID, p->stDescription, p->vtPropertyDataType});
        if (list.empty()) return S_OK;
        const DWORD n = static_cast<DWORD>(list.size());
        HRESULT hr = S_OK;
        auto* ids = com::AllocOPCArray<DWORD>(n, hr);
        auto* descs = com::AllocOPCArray<LPWSTR>(n, hr);
        auto* types = com::AllocOPCArray<VARTYPE>(n, hr);
        bool ok = ids && descs && types;
        for (DWORD i = 0; ok && i < n; ++i) {
            ids[i] = list[i].Id;
            descs[i] = com::TaskStrDup(list[i].Description);
            types[i] = list[i].Type;
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
        const TSpaceRef sp = FCore.SpaceRef();
        sOPCNode* node = FCore.AddressSpaceBuilt() ? sp->Find(s) : nullptr;
        if (!node) return OPC_E_INVALIDITEMID;
        if (dwCount == 0 || !pdwPropertyIDs || dwCount > com::kMaxCallCount) return E_INVALIDARG;
        std::vector<const sOPCNode*> props;
        {
            std::lock_guard lock(FBrowseLock);
            props = FOPCBrowse.Properties(*sp, s);
        }
        HRESULT hr = S_OK;
        auto* data = com::AllocOPCArray<VARIANT>(dwCount, hr);
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!data || !errors) {
            com::FreeOPCArray(data);
            com::FreeOPCArray(errors);
            return E_OUTOFMEMORY;
        }
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            errors[i] = S_OK;
            if (node->NodeType == ntLeaf && LeafProperty(*node, pdwPropertyIDs[i], data[i]))
                continue;
            const sOPCNode* match = nullptr;
            for (const sOPCNode* p : props)
                if (p->dwPropertyID == pdwPropertyIDs[i]) match = p;  // the last one wins
            if (match) {
                com::CopyVariant(&data[i], &match->vPropertyData.get());
            } else {
                errors[i] = OPC_E_INVALID_PID;
                result = S_FALSE;
            }
        }
        *ppvData = data;
        *ppErrors = errors;
        return result;
    }
    CATCH_ALL("sOPCDataAccess.GetItemProperties")
}

HRESULT sOPCDataAccess::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                      LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
    const std::string s = com::WideToUtf8(szItemID);
    LOG_LINE("sOPCDataAccess.LookupItemIDs - " + s + " - " + std::to_string(dwCount));
    com::Clear(ppszNewItemIDs);
    com::Clear(ppErrors);
    try {
        if (!ppszNewItemIDs || !ppErrors) return E_INVALIDARG;
        const TSpaceRef sp = FCore.SpaceRef();
        if (!FCore.AddressSpaceBuilt() || !sp->Find(s)) return OPC_E_INVALIDITEMID;
        if (dwCount == 0 || dwCount > com::kMaxCallCount) return E_INVALIDARG;
        if (!pdwPropertyIDs) return E_INVALIDARG;
        std::vector<const sOPCNode*> props;
        {
            std::lock_guard lock(FBrowseLock);
            props = FOPCBrowse.Properties(*sp, s);
        }
        HRESULT hr = S_OK;
        auto* ids = com::AllocOPCArray<LPWSTR>(dwCount, hr);
        auto* errors = com::AllocOPCArray<HRESULT>(dwCount, hr);
        if (!ids || !errors) {
            com::FreeOPCArray(ids);
            com::FreeOPCArray(errors);
            return E_OUTOFMEMORY;
        }
        // Only a property node has an item ID of its own; the standard properties
        // 1 to 6 never do.
        HRESULT result = S_OK;
        for (DWORD i = 0; i < dwCount; ++i) {
            const sOPCNode* match = nullptr;
            if (pdwPropertyIDs[i] > 6)
                for (const sOPCNode* p : props)
                    if (p->dwPropertyID == pdwPropertyIDs[i]) match = p;
            ids[i] = match ? com::TaskStrDup(match->stItemID) : nullptr;
            errors[i] = ids[i] ? S_OK : (match ? E_OUTOFMEMORY : OPC_E_INVALID_PID);
            if (errors[i] != S_OK) result = S_FALSE;
        }
        *ppszNewItemIDs = ids;
        *ppErrors = errors;
        return result;
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
